// tarnel-ubus: a command-line bus client that scripts written for a router's
// own client can call unchanged: same commands, options, output and exit
// statuses.
#include <libubus.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "tools/cli/blobmsg_json.h"
#include "tools/cli/cli.h"

namespace
{

void usage(const char *prog)
{
    fprintf(stderr,
            "Usage: %s [<options>] <command> [<arguments>...]\n"
            "\n"
            "Options:\n"
            "  -s <socket>     bus socket to connect to\n"
            "  -t <seconds>    time limit for call and wait_for (default 30; 0: none for call),\n"
            "                  run time of listen and subscribe (default: until interrupted)\n"
            "  -S              compact output for scripts, no error messages\n"
            "  -v              list: show each object's methods and arguments\n"
            "\n"
            "Commands:\n"
            "  list [<path>]                    list objects (a trailing * matches a prefix)\n"
            "  call <path> <method> [<json>]    call a method, print each reply\n"
            "  listen [<pattern>...]            print events until interrupted (default: all)\n"
            "  subscribe <path>...              print the objects' notifications until interrupted\n"
            "  send <event> [<json>]            send an event\n"
            "  wait_for <path>...               wait until all objects exist\n",
            prog);
}

// Plain decimal only: a silent 0 from a typo would remove the call time limit.
bool parse_seconds(const char *s, int *out)
{
    if (!*s)
        return false;
    long long v = 0;
    for (const char *p = s; *p; p++) {
        if (*p < '0' || *p > '9')
            return false;
        if (v < INT_MAX)
            v = v * 10 + (*p - '0');
    }
    *out = v > INT_MAX / 1000 ? INT_MAX / 1000 : static_cast<int>(v);
    return true;
}

int dispatch(ubus_context *ctx, const cli_opts &o, int argc, char **argv)
{
    struct command {
        const char *name;
        int (*run)(ubus_context *, const cli_opts &, int, char **);
    };
    static const command commands[] = {
        {"list", cmd_list},           {"call", cmd_call}, {"listen", cmd_listen},
        {"subscribe", cmd_subscribe}, {"send", cmd_send}, {"wait_for", cmd_wait_for},
    };
    if (argc < 1)
        return CLI_USAGE;
    for (const command &c : commands)
        if (!strcmp(argv[0], c.name))
            return c.run(ctx, o, argc - 1, argv + 1);
    return CLI_USAGE;
}

// A non-zero status must never become exit status 0 (256, 512, ... would).
int exit_status(int ret)
{
    int code = ret & 0xff;
    return ret && !code ? 255 : code;
}

} // namespace

bool cli_message(blob_buf *buf, const char *json)
{
    blob_buf_init(buf, 0);
    return !json || blobmsg_add_json_text(buf, json);
}

int main(int argc, char **argv)
{
    const char *prog = argv[0];
    cli_opts o;
    int ch;
    // -m and -M filter the router tool's monitor command, which this one
    // lacks; they are accepted so that shared scripts still run.
    while ((ch = getopt(argc, argv, "m:M:vs:t:S")) != -1) {
        switch (ch) {
        case 'm':
        case 'M': break;
        case 's': o.socket = optarg; break;
        case 't':
            if (!parse_seconds(optarg, &o.timeout)) {
                usage(prog);
                return exit_status(CLI_USAGE);
            }
            o.timeout_given = true;
            break;
        case 'S': o.simple = true; break;
        case 'v': o.verbose = true; break;
        default: usage(prog); return exit_status(CLI_USAGE);
        }
    }

    ubus_context *ctx = ubus_connect(o.socket);
    if (!ctx) {
        if (!o.simple)
            fprintf(stderr, "Failed to connect to ubus\n");
        return 255;
    }
    int ret = dispatch(ctx, o, argc - optind, argv + optind);
    ubus_free(ctx);

    fflush(stdout);
    if (ret == CLI_USAGE)
        usage(prog);
    else if (ret > 0 && !o.simple)
        fprintf(stderr, "Command failed: %s\n", ubus_strerror(ret));
    return exit_status(ret);
}
