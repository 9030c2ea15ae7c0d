// Bytes from the broker socket, taken apart as the client library does it
// and then read the way the daemon's handlers and the CLI's printer read a
// message: each frame's DATA parsed with the three method policies and the
// matched values fetched, and the DATA printed as JSON. The raw body's
// unchecked contents also go to the parser and the printer, which must
// both survive them.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "bus/ubus/ubus_internal.h"
#include "fuzz/fuzz_input.h"
#include "methods/methods.h"
#include "methods/reply.h"
#include "tools/cli/blobmsg_json.h"

namespace
{

// Inputs larger than this might not fit the socket buffer in one write.
constexpr size_t INPUT_MAX = 65536;
constexpr int POLICY_SLOTS = 16;

void read_policy_values(const blobmsg_policy *policy, int count, void *data, size_t len)
{
    blob_attr *tb[POLICY_SLOTS];
    FUZZ_CHECK(count <= POLICY_SLOTS);
    blobmsg_parse(policy, count, tb, data, unsigned(len));
    for (int i = 0; i < count; i++) {
        if (!tb[i])
            continue;
        // A slot is filled only by a well-formed value of the policy's
        // name and type, so the handlers' getters are safe on it.
        FUZZ_CHECK(blobmsg_type(tb[i]) == policy[i].type);
        FUZZ_CHECK(strcmp(blobmsg_name(tb[i]), policy[i].name) == 0);
        switch (policy[i].type) {
        case BLOBMSG_TYPE_STRING:
            if (strcmp(policy[i].name, "at_port") == 0) {
                const char *path = port_path_arg(tb[i]);
                FUZZ_CHECK(!path || strlen(path) < 64);
            }
            FUZZ_CHECK(strlen(blobmsg_get_string(tb[i])) < blobmsg_data_len(tb[i]));
            break;
        case BLOBMSG_TYPE_INT32: (void)blobmsg_get_u32(tb[i]); break;
        case BLOBMSG_TYPE_INT8: (void)blobmsg_get_bool(tb[i]); break;
        default: break;
        }
    }
}

void read_as_handlers(void *data, size_t len)
{
    read_policy_values(open_policy, OPEN_POLICY_MAX, data, len);
    read_policy_values(sendat_policy, SENDAT_POLICY_MAX, data, len);
    read_policy_values(close_policy, CLOSE_POLICY_MAX, data, len);
}

void read_frame(ubus_msg_in *msg)
{
    if (blob_attr *data = msg->tb[UBUS_ATTR_DATA]) {
        read_as_handlers(blob_data(data), blob_len(data));
        blobmsg_format_json(data, true);
        blobmsg_format_json(data, false);
    }
    // The printer trusts the header of the attribute it is given (libubus
    // hands it a checked DATA); below that, nothing is checked yet.
    read_as_handlers(blob_data(msg->body), blob_len(msg->body));
    if (!blob_is_extended(msg->body))
        blobmsg_format_json(msg->body, true);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > INPUT_MAX)
        return 0;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        abort();
    FUZZ_CHECK(write(pair[1], data, size) == ssize_t(size));
    close(pair[1]);
    fcntl(pair[0], F_SETFL, O_NONBLOCK);

    ubus_context ctx;
    memset(&ctx, 0, sizeof(ctx));
    ctx.sock.fd = pair[0];
    ctx.rx.fd = -1;
    ctx.rx.later_fd = -1;
    while (ubus_rx_frame(&ctx) == UBUS_RX_FRAME) {
        ubus_msg_in msg;
        ubus_rx_take(&ctx, &msg);
        read_frame(&msg);
        ubus_rx_recycle(&ctx, &msg);
    }
    ubus_rx_reset(&ctx);
    close(pair[0]);
    return 0;
}
