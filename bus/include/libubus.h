/*
 * libubus.h: client side of the bus.
 *
 * A context is one connection to the broker. Objects registered on it serve
 * method calls from other clients; requests sent from it (lookups, calls,
 * events) are matched to their replies by sequence number and peer. The
 * synchronous calls wait on the socket themselves, so incoming calls for
 * local objects are queued meanwhile and dispatched from the event loop.
 * A context is not thread safe: use it from the thread running uloop.
 */
#ifndef __LIBUBUS_H
#define __LIBUBUS_H

#ifdef __cplusplus
extern "C" {
#endif

#include <libubox/avl.h>
#include <libubox/list.h>
#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
#include <stdint.h>
#include <ubusmsg.h>
#include <ubus_common.h>

#define UBUS_MAX_NOTIFY_PEERS 16

struct ubus_context;
struct ubus_msg_src;
struct ubus_object;
struct ubus_request;
struct ubus_request_data;
struct ubus_object_data;
struct ubus_event_handler;
struct ubus_object_type;

typedef void (*ubus_lookup_handler_t)(struct ubus_context *ctx, struct ubus_object_data *obj, void *priv);
typedef int (*ubus_handler_t)(struct ubus_context *ctx, struct ubus_object *obj, struct ubus_request_data *req,
                              const char *method, struct blob_attr *msg);
typedef void (*ubus_state_handler_t)(struct ubus_context *ctx, struct ubus_object *obj);
typedef void (*ubus_event_handler_t)(struct ubus_context *ctx, struct ubus_event_handler *ev, const char *type,
                                     struct blob_attr *msg);
typedef void (*ubus_data_handler_t)(struct ubus_request *req, int type, struct blob_attr *msg);
typedef void (*ubus_fd_handler_t)(struct ubus_request *req, int fd);
typedef void (*ubus_complete_handler_t)(struct ubus_request *req, int ret);

#define UBUS_OBJECT_TYPE(_name, _methods)                                                                              \
    {                                                                                                                  \
        .name = _name, .id = 0, .methods = _methods, .n_methods = ARRAY_SIZE(_methods)                                 \
    }

#define __UBUS_METHOD_BASE(_name, _handler, _mask, _tags)                                                              \
    .name = _name, .handler = _handler, .mask = _mask, .tags = _tags

#define __UBUS_METHOD_NOARG(_name, _handler, _mask, _tags)                                                             \
    __UBUS_METHOD_BASE(_name, _handler, _mask, _tags), .policy = NULL, .n_policy = 0

#define __UBUS_METHOD(_name, _handler, _mask, _policy, _tags)                                                          \
    __UBUS_METHOD_BASE(_name, _handler, _mask, _tags), .policy = _policy, .n_policy = ARRAY_SIZE(_policy)

#define UBUS_METHOD(_name, _handler, _policy)                                                                          \
    {                                                                                                                  \
        __UBUS_METHOD(_name, _handler, 0, _policy, 0)                                                                  \
    }

#define UBUS_METHOD_TAG(_name, _handler, _policy, _tags)                                                               \
    {                                                                                                                  \
        __UBUS_METHOD(_name, _handler, 0, _policy, _tags)                                                              \
    }

#define UBUS_METHOD_MASK(_name, _handler, _policy, _mask)                                                              \
    {                                                                                                                  \
        __UBUS_METHOD(_name, _handler, _mask, _policy, 0)                                                              \
    }

#define UBUS_METHOD_NOARG(_name, _handler)                                                                             \
    {                                                                                                                  \
        __UBUS_METHOD_NOARG(_name, _handler, 0, 0)                                                                     \
    }

#define UBUS_METHOD_TAG_NOARG(_name, _handler, _tags)                                                                  \
    {                                                                                                                  \
        __UBUS_METHOD_NOARG(_name, _handler, 0, _tags)                                                                 \
    }

#define UBUS_TAG_STATUS (1ul << 0)
#define UBUS_TAG_ADMIN (1ul << 1)
#define UBUS_TAG_PRIVATE (1ul << 2)

struct ubus_method {
    const char *name;
    ubus_handler_t handler;

    unsigned long mask;
    unsigned long tags;
    const struct blobmsg_policy *policy;
    int n_policy;
};

struct ubus_object_type {
    const char *name;
    uint32_t id;

    const struct ubus_method *methods;
    int n_methods;
};

struct ubus_object {
    struct avl_node avl;

    const char *name;
    uint32_t id;

    const char *path;
    struct ubus_object_type *type;

    ubus_state_handler_t subscribe_cb;
    bool has_subscribers;

    const struct ubus_method *methods;
    int n_methods;
};

struct ubus_event_handler {
    struct ubus_object obj;

    ubus_event_handler_t cb;
};

/*
 * Private receive state of a context: the frame being assembled from the
 * non-blocking socket, kept across reads because a frame may arrive in
 * several pieces.
 */
struct ubus_msg_rx {
    uint8_t head[12];       /* message header + body id_len */
    uint32_t head_len;      /* bytes of head[] received */
    struct blob_attr *body; /* body buffer (malloc), NULL if none */
    uint32_t body_cap;      /* allocated size of body */
    uint32_t body_len;      /* body length announced by the frame */
    uint32_t body_got;      /* body bytes received, including id_len */
    int fd;                 /* descriptor passed with this frame, or -1 */
};

struct ubus_context {
    struct list_head requests;
    struct avl_tree objects;
    struct list_head pending;

    struct uloop_fd sock;
    struct uloop_timeout pending_timer;

    uint32_t local_id;
    uint16_t request_seq;
    bool cancel_poll;
    int stack_depth;

    /*
	 * Runs once when the broker goes away, after every waiting request
	 * has ended with UBUS_STATUS_CONNECTION_FAILED. The default ends
	 * uloop_run() if the socket was in the loop. The library still uses
	 * ctx after it returns: free the context later, not from here.
	 */
    void (*connection_lost)(struct ubus_context *ctx);
    void (*monitor_cb)(struct ubus_context *ctx, uint32_t seq, struct blob_attr *data);

    /* private */
    struct ubus_msg_rx rx;
    bool lost;          /* the broker is gone; nothing more is sent */
    bool lost_in_uloop; /* socket was watched by uloop when lost */
};

struct ubus_object_data {
    uint32_t id;
    uint32_t type_id;
    const char *path;
    struct blob_attr *signature;
};

struct ubus_acl_key {
    const char *user;
    const char *group;
    const char *object;
};

struct ubus_request_data {
    uint32_t object;
    uint32_t peer;
    uint16_t seq;

    struct ubus_acl_key acl;

    /* internal use */
    bool deferred;
    int fd;
    int req_fd;
};

struct ubus_request {
    struct list_head list;

    struct list_head pending;
    int status_code;
    bool status_msg;
    bool blocked;
    bool cancelled;
    bool notify;

    uint32_t peer;
    uint16_t seq;

    ubus_data_handler_t raw_data_cb;
    ubus_data_handler_t data_cb;
    ubus_fd_handler_t fd_cb;
    ubus_complete_handler_t complete_cb;

    int fd;

    struct ubus_context *ctx;
    void *priv;
};

/*
 * Connect to the broker at path; NULL means $UBUS_SOCKET if set, else the
 * system socket. Returns NULL (or -1) on any failure.
 */
struct ubus_context *ubus_connect(const char *path);
int ubus_connect_ctx(struct ubus_context *ctx, const char *path);
void ubus_shutdown(struct ubus_context *ctx);
void ubus_free(struct ubus_context *ctx);

const char *ubus_strerror(int error);

static inline void ubus_add_uloop(struct ubus_context *ctx)
{
    uloop_fd_add(&ctx->sock, ULOOP_BLOCKING | ULOOP_READ);
}

/* process messages that are waiting on the socket, without uloop */
static inline void ubus_handle_event(struct ubus_context *ctx)
{
    ctx->sock.cb(&ctx->sock, ULOOP_READ);
}

/* ----------- raw request handling ----------- */

/* wait for a request to complete (timeout in ms, 0 = no limit) */
int ubus_complete_request(struct ubus_context *ctx, struct ubus_request *req, int timeout);

/* complete a request from the event loop, through req->complete_cb */
void ubus_complete_request_async(struct ubus_context *ctx, struct ubus_request *req);

/* forget a request: no more callbacks run for it */
void ubus_abort_request(struct ubus_context *ctx, struct ubus_request *req);

/* ----------- objects ----------- */

int ubus_lookup(struct ubus_context *ctx, const char *path, ubus_lookup_handler_t cb, void *priv);

int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id);

int ubus_add_object(struct ubus_context *ctx, struct ubus_object *obj);
int ubus_remove_object(struct ubus_context *ctx, struct ubus_object *obj);

/* ----------- rpc ----------- */

int ubus_invoke_fd(struct ubus_context *ctx, uint32_t obj, const char *method, struct blob_attr *msg,
                   ubus_data_handler_t cb, void *priv, int timeout, int fd);

/* call a method; timeout in ms, 0 = no limit */
static inline int ubus_invoke(struct ubus_context *ctx, uint32_t obj, const char *method, struct blob_attr *msg,
                              ubus_data_handler_t cb, void *priv, int timeout)
{
    return ubus_invoke_fd(ctx, obj, method, msg, cb, priv, timeout, -1);
}

int ubus_invoke_async_fd(struct ubus_context *ctx, uint32_t obj, const char *method, struct blob_attr *msg,
                         struct ubus_request *req, int fd);

static inline int ubus_invoke_async(struct ubus_context *ctx, uint32_t obj, const char *method, struct blob_attr *msg,
                                    struct ubus_request *req)
{
    return ubus_invoke_async_fd(ctx, obj, method, msg, req, -1);
}

/* send a reply to an incoming object method call */
int ubus_send_reply(struct ubus_context *ctx, struct ubus_request_data *req, struct blob_attr *msg);

static inline void ubus_defer_request(struct ubus_context *ctx, struct ubus_request_data *req,
                                      struct ubus_request_data *new_req)
{
    (void)ctx;
    memcpy(new_req, req, sizeof(*req));
    req->deferred = true;
}

static inline void ubus_request_set_fd(struct ubus_context *ctx, struct ubus_request_data *req, int fd)
{
    (void)ctx;
    req->fd = fd;
}

static inline int ubus_request_get_caller_fd(struct ubus_request_data *req)
{
    int fd = req->req_fd;
    req->req_fd = -1;

    return fd;
}

void ubus_complete_deferred_request(struct ubus_context *ctx, struct ubus_request_data *req, int ret);

/*
 * send a notification to all subscribers of an object
 * timeout < 0: send without waiting; otherwise wait for every subscriber
 */
int ubus_notify(struct ubus_context *ctx, struct ubus_object *obj, const char *type, struct blob_attr *msg,
                int timeout);

/* ----------- events ----------- */

int ubus_send_event(struct ubus_context *ctx, const char *id, struct blob_attr *data);

int ubus_register_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev, const char *pattern);

static inline int ubus_unregister_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev)
{
    return ubus_remove_object(ctx, &ev->obj);
}

#ifdef __cplusplus
}
#endif

#endif
