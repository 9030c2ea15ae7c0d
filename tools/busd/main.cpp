// tarnel-busd: a small bus broker for development hosts.
#include "tools/busd/server.h"

#include <unistd.h>

#include <cstdio>

static const char *const kDefaultSocket = "/var/run/ubus/ubus.sock";

static int usage(const char *prog)
{
    fprintf(stderr, "Usage: %s [-s <socket>]\n", prog);
    return 2;
}

int main(int argc, char **argv)
{
    const char *path = kDefaultSocket;
    int ch;
    while ((ch = getopt(argc, argv, "s:h")) != -1) {
        switch (ch) {
        case 's': path = optarg; break;
        default: return usage(argv[0]);
        }
    }
    if (optind != argc)
        return usage(argv[0]);
    return busd::serve(path);
}
