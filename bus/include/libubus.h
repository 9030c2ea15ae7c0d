/*
 * libubus.h: the client side of the bus.
 *
 * One struct ubus_context is one connection to the broker. Objects added to
 * it answer calls from other clients; requests sent from it are paired with
 * their answers by sequence number and peer. The calls documented as
 * synchronous read the socket themselves until their answer is in, so a
 * call for a local object that arrives meanwhile waits in a queue until the
 * event loop runs again. No locking anywhere: keep a context on the thread
 * that runs uloop.
 */
#ifndef TARNEL_LIBUBUS_H
#define TARNEL_LIBUBUS_H

#ifdef __cplusplus
extern "C" {
#endif

#include <stdint.h>
#include <libubox/avl.h>
#include <libubox/list.h>
#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
#include <ubusmsg.h>

/* How many subscribers a waiting ubus_notify() keeps track of. */
#define UBUS_MAX_NOTIFY_PEERS 16

struct ubus_context;
struct ubus_object;
struct ubus_object_data;
struct ubus_event_handler;
struct ubus_subscriber;
struct ubus_request;
struct ubus_request_data;

/* A method of a local object; the return value becomes the call's status. */
typedef int (*ubus_handler_t)(struct ubus_context *ctx, struct ubus_object *obj, struct ubus_request_data *req,
                              const char *method, struct blob_attr *msg);
/* One DATA answer to an outgoing request. */
typedef void (*ubus_data_handler_t)(struct ubus_request *req, int type, struct blob_attr *msg);
/* An outgoing request has its final status. */
typedef void (*ubus_complete_handler_t)(struct ubus_request *req, int ret);
/* A descriptor came back with the answer to an outgoing request. */
typedef void (*ubus_fd_handler_t)(struct ubus_request *req, int fd);
/* One object found by ubus_lookup(). */
typedef void (*ubus_lookup_handler_t)(struct ubus_context *ctx, struct ubus_object_data *obj, void *priv);
/* An event matching one of the handler's patterns. */
typedef void (*ubus_event_handler_t)(struct ubus_context *ctx, struct ubus_event_handler *ev, const char *type,
                                     struct blob_attr *msg);
/* An object's subscriber count went from zero to some, or back. */
typedef void (*ubus_state_handler_t)(struct ubus_context *ctx, struct ubus_object *obj);
/* An object the subscriber followed went away (id is that object's). */
typedef void (*ubus_remove_handler_t)(struct ubus_context *ctx, struct ubus_subscriber *sub, uint32_t id);

/*
 * Static tables of methods and types. The initialisers name every field in
 * declaration order, which C++20 requires of designated initialisers.
 * ARRAY_SIZE needs the real array, not a pointer to it.
 */
#define UBUS_METHOD(_name, _handler, _policy)                                                                          \
    {                                                                                                                  \
        .name = (_name), .handler = (_handler), .mask = 0, .tags = 0, .policy = (_policy),                             \
        .n_policy = ARRAY_SIZE(_policy)                                                                                \
    }

#define UBUS_METHOD_NOARG(_name, _handler)                                                                             \
    {                                                                                                                  \
        .name = (_name), .handler = (_handler), .mask = 0, .tags = 0, .policy = NULL, .n_policy = 0                    \
    }

#define UBUS_OBJECT_TYPE(_name, _methods)                                                                              \
    {                                                                                                                  \
        .name = (_name), .id = 0, .methods = (_methods), .n_methods = ARRAY_SIZE(_methods)                             \
    }

struct ubus_method {
    const char *name; /* NULL matches every method name */
    ubus_handler_t handler;
    unsigned long mask; /* non-zero: bit i advertises policy[i] */
    unsigned long tags;
    const struct blobmsg_policy *policy; /* advertised only, never enforced */
    int n_policy;
};

struct ubus_object_type {
    const char *name; /* never sent */
    uint32_t id;      /* given by the broker with the first object of the type */
    const struct ubus_method *methods;
    int n_methods;
};

struct ubus_object {
    struct avl_node avl; /* the context's objects, by id */
    const char *name;    /* the path others look up; NULL: anonymous */
    uint32_t id;         /* given by the broker; 0 while not registered */
    const char *path;    /* never sent */
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
 * Follows other objects' notifications: an anonymous object of our own
 * whose every method is a notification type; cb gets each one as a call
 * (its return value is the answer a waiting notifier counts).
 */
struct ubus_subscriber {
    struct ubus_object obj;
    ubus_handler_t cb;
    ubus_remove_handler_t remove_cb;
};

/* What ubus_lookup() reports per object; only valid during the callback. */
struct ubus_object_data {
    uint32_t id;
    uint32_t type_id;
    const char *path;
    struct blob_attr *signature;
};

/* Who made an incoming call, as the broker names them. */
struct ubus_acl_key {
    const char *user;
    const char *group;
    const char *object;
};

/* An incoming call. Copy it with ubus_defer_request() to answer later. */
struct ubus_request_data {
    uint32_t object;
    uint32_t peer;
    uint16_t seq;
    struct ubus_acl_key acl;
    bool deferred;
    int fd;     /* sent back with the status, then closed */
    int req_fd; /* came with the call; closed when the handler returns */
};

/* An outgoing request. */
struct ubus_request {
    struct list_head list; /* on the context's open requests */
    struct list_head pending;
    int status_code;
    bool status_msg; /* the final status is in */
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
 * A frame being read from the non-blocking socket; it may come in pieces.
 * Reads take what the socket has into a staging area, from which frames
 * are cut; a large body is read straight into its buffer.
 */
struct ubus_msg_rx {
    uint8_t head[12];       /* message header and the body's header word */
    uint32_t head_len;      /* bytes of head[] in so far */
    struct blob_attr *body; /* malloc'ed, or NULL */
    uint32_t body_cap;
    uint32_t body_len; /* announced by the frame */
    uint32_t body_got; /* counting the header word */
    int fd;            /* passed with this frame, or -1 */
    uint8_t *stage;    /* malloc'ed, or NULL */
    uint32_t stage_pos, stage_end;
    bool drained;   /* the last read left the socket empty */
    int later_fd;   /* passed with a frame still to come, or -1 */
    int later_skip; /* frames to take before later_fd is the frame's */
};

struct ubus_context {
    struct list_head requests;
    struct avl_tree objects;
    struct list_head pending; /* calls that came during a synchronous wait */
    struct uloop_fd sock;
    struct uloop_timeout pending_timer;
    uint32_t local_id; /* our client id, from the broker's HELLO */
    uint16_t request_seq;
    bool cancel_poll;
    int stack_depth;

    /*
     * Runs once per lost connection, after every open request has ended.
     * The default ends uloop_run() only while the socket is still
     * registered with uloop, which it no longer is when uloop saw the
     * hang-up first: a program that must notice the loss sets its own,
     * and calls ubus_reconnect() from there or later. Do not free ctx in
     * here: the library still uses it afterwards.
     */
    void (*connection_lost)(struct ubus_context *ctx);
    void (*monitor_cb)(struct ubus_context *ctx, uint32_t seq, struct blob_attr *data);

    /* Nothing below is for callers. */
    struct ubus_msg_rx rx;
    bool lost; /* nothing more is sent until a reconnect */
};

/*
 * path NULL: $UBUS_SOCKET when set, else the system's socket. NULL (or -1)
 * when there is no broker or it does not greet properly.
 */
struct ubus_context *ubus_connect(const char *path);
int ubus_connect_ctx(struct ubus_context *ctx, const char *path);

/*
 * A new connection for an existing context, the old one closed first: its
 * open requests end, and every object is registered again under new ids
 * (their types too). path as for ubus_connect(). 0 on success, after which
 * the caller runs ubus_add_uloop() again; otherwise a status, 10
 * (UBUS_STATUS_CONNECTION_FAILED) when no broker answers, and the caller
 * tries again later.
 */
int ubus_reconnect(struct ubus_context *ctx, const char *path);

/* Closing the connection is what removes the objects: nothing is sent. */
void ubus_shutdown(struct ubus_context *ctx);
void ubus_free(struct ubus_context *ctx);

const char *ubus_strerror(int error);

static inline void ubus_add_uloop(struct ubus_context *ctx)
{
    uloop_fd_add(&ctx->sock, ULOOP_BLOCKING | ULOOP_READ);
}

/* Whatever the socket holds, handled now, for programs without uloop. */
static inline void ubus_handle_event(struct ubus_context *ctx)
{
    ctx->sock.cb(&ctx->sock, ULOOP_READ);
}

/* Asynchronous requests: timeouts in ms, 0 for none. */
int ubus_complete_request(struct ubus_context *ctx, struct ubus_request *req, int timeout);
void ubus_complete_request_async(struct ubus_context *ctx, struct ubus_request *req);
void ubus_abort_request(struct ubus_context *ctx, struct ubus_request *req);

/* Synchronous; path NULL lists every object, a trailing '*' a prefix. */
int ubus_lookup(struct ubus_context *ctx, const char *path, ubus_lookup_handler_t cb, void *priv);
/* Returns 0 without touching *id when the broker names no object. */
int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id);

int ubus_add_object(struct ubus_context *ctx, struct ubus_object *obj);
int ubus_remove_object(struct ubus_context *ctx, struct ubus_object *obj);

/* Method calls; msg NULL sends no arguments, timeout 0 waits forever. */
int ubus_invoke_fd(struct ubus_context *ctx, uint32_t obj, const char *method, struct blob_attr *msg,
                   ubus_data_handler_t cb, void *priv, int timeout, int fd);

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

/* Answering an incoming call: any number of replies, then one status. */
int ubus_send_reply(struct ubus_context *ctx, struct ubus_request_data *req, struct blob_attr *msg);

/*
 * The handler's return value is then ignored; complete new_req later. The
 * caller's descriptor is closed when the handler returns all the same:
 * new_req's req_fd names a closed descriptor (whose number may soon belong
 * to something else) and must never be used or closed.
 */
static inline void ubus_defer_request(struct ubus_context *ctx, struct ubus_request_data *req,
                                      struct ubus_request_data *new_req)
{
    (void)ctx;
    *new_req = *req;
    req->deferred = true;
}

/* Inside the handler only: keeps the descriptor the caller passed (-1 if
 * none), which is then the handler's to close. */
static inline int ubus_request_get_caller_fd(struct ubus_request_data *req)
{
    int fd = req->req_fd;
    req->req_fd = -1;
    return fd;
}

void ubus_complete_deferred_request(struct ubus_context *ctx, struct ubus_request_data *req, int ret);

/* timeout < 0: sent without waiting; else waits for every subscriber. */
int ubus_notify(struct ubus_context *ctx, struct ubus_object *obj, const char *type, struct blob_attr *msg,
                int timeout);

/* Registers sub's object; then subscribe to (or leave) object ids. */
int ubus_register_subscriber(struct ubus_context *ctx, struct ubus_subscriber *sub);
int ubus_subscribe(struct ubus_context *ctx, struct ubus_subscriber *sub, uint32_t id);
int ubus_unsubscribe(struct ubus_context *ctx, struct ubus_subscriber *sub, uint32_t id);

/* Events go through the broker's event object; listening takes an
 * anonymous object of our own, added by the first registration. */
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
