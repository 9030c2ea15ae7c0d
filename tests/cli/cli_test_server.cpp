// A bus object for the client's end-to-end tests:
//   cli_test_server <socket> <object path>
// Methods: echo (replies with its arguments), fail (optionally replies, then
// returns the given status), silent (no reply), hang (never completes).
// Prints "ready" once registered and serves until SIGTERM/SIGINT.
#include <libubus.h>

#include <cstdio>

namespace
{

enum { FAIL_STATUS, FAIL_REPLY, __FAIL_MAX };
const blobmsg_policy fail_policy[] = {
    {.name = "status", .type = BLOBMSG_TYPE_INT32},
    {.name = "reply", .type = BLOBMSG_TYPE_BOOL},
};
const blobmsg_policy echo_policy[] = {
    {.name = "at_port", .type = BLOBMSG_TYPE_STRING},
    {.name = "timeout", .type = BLOBMSG_TYPE_INT32},
    {.name = "sendonly", .type = BLOBMSG_TYPE_BOOL},
};

blob_buf reply_buf;
ubus_request_data never_completed;

int echo(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    return ubus_send_reply(ctx, req, msg);
}

int fail(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    blob_attr *tb[__FAIL_MAX];
    blobmsg_parse(fail_policy, __FAIL_MAX, tb, blob_data(msg), blob_len(msg));
    if (tb[FAIL_REPLY] && blobmsg_get_bool(tb[FAIL_REPLY])) {
        blob_buf_init(&reply_buf, 0);
        blobmsg_add_u8(&reply_buf, "partial", 1);
        ubus_send_reply(ctx, req, reply_buf.head);
    }
    return tb[FAIL_STATUS] ? static_cast<int>(blobmsg_get_u32(tb[FAIL_STATUS])) : UBUS_STATUS_UNKNOWN_ERROR;
}

int silent(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *)
{
    return 0;
}

int hang(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *)
{
    ubus_defer_request(ctx, req, &never_completed);
    return 0;
}

const ubus_method methods[] = {
    UBUS_METHOD("echo", echo, echo_policy),
    UBUS_METHOD("fail", fail, fail_policy),
    UBUS_METHOD_NOARG("silent", silent),
    UBUS_METHOD_NOARG("hang", hang),
};
ubus_object_type type = UBUS_OBJECT_TYPE("cli_test", methods);

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s <socket> <object path>\n", argv[0]);
        return 2;
    }
    ubus_context *ctx = ubus_connect(argv[1]);
    if (!ctx) {
        fprintf(stderr, "cannot connect to %s\n", argv[1]);
        return 1;
    }
    ubus_object obj = {};
    obj.name = argv[2];
    obj.type = &type;
    obj.methods = methods;
    obj.n_methods = static_cast<int>(sizeof methods / sizeof methods[0]);
    int ret = ubus_add_object(ctx, &obj);
    if (ret) {
        fprintf(stderr, "cannot register %s: %s\n", argv[2], ubus_strerror(ret));
        return 1;
    }
    ubus_add_uloop(ctx);
    printf("ready\n");
    fflush(stdout);
    uloop_run();
    ubus_free(ctx);
    blob_buf_free(&reply_buf);
    return 0;
}
