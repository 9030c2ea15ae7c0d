// call <path> <method> [<json>]: prints every reply as it arrives, then
// reports the final status. Scripts rely on the exact failure forms, which
// depend on whether stderr is a terminal (see report_failure).
#include <libubus.h>

#include <climits>
#include <cstdio>
#include <unistd.h>

#include "tools/cli/blobmsg_json.h"
#include "tools/cli/cli.h"

namespace
{

void on_reply(ubus_request *req, int type, blob_attr *msg)
{
    if (type != UBUS_MSG_DATA || !msg)
        return;
    auto *o = static_cast<const cli_opts *>(req->priv);
    printf("%s\n", blobmsg_format_json(msg, !o->simple).c_str());
}

// Towards a terminal the status is reported briefly and is the exit status.
// Otherwise the whole command line is repeated for the log it likely ends in
// and the status is returned negated; a plain invalid-argument status (-2)
// then also brings the usage text.
int report_failure(const cli_opts &o, int argc, char **argv, int status)
{
    if (status == 0 || o.simple || isatty(STDERR_FILENO))
        return status;
    fputs("Command failed: ubus call ", stderr);
    for (int i = 0; i < argc; i++)
        fprintf(stderr, "%s ", argv[i]);
    fprintf(stderr, "(%s)\n", ubus_strerror(status));
    return status == INT_MIN ? INT_MIN : -status;
}

} // namespace

int cmd_call(ubus_context *ctx, const cli_opts &o, int argc, char **argv)
{
    if (argc < 2 || argc > 3)
        return CLI_USAGE;
    blob_buf b = {};
    if (!cli_message(&b, argc == 3 ? argv[2] : nullptr)) {
        blob_buf_free(&b);
        return report_failure(o, argc, argv, UBUS_STATUS_PARSE_ERROR);
    }
    // The lookup may succeed without naming an object (no type, hidden);
    // there is nothing to call then.
    uint32_t id = 0;
    int ret = ubus_lookup_id(ctx, argv[0], &id);
    if (ret == 0 && id == 0)
        ret = UBUS_STATUS_NOT_FOUND;
    if (ret == 0)
        ret = report_failure(
            o, argc, argv,
            ubus_invoke(ctx, id, argv[1], b.head, on_reply, const_cast<cli_opts *>(&o), o.timeout * 1000));
    blob_buf_free(&b);
    return ret;
}
