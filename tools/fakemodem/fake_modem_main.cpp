// tarnel-fakemodem: serves a simulated modem at a path until SIGINT or
// SIGTERM, for running the daemon without hardware.
#include "tools/fakemodem/fake_modem.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cerrno>
#include <string_view>

namespace
{

void usage(FILE *out)
{
    fprintf(out, "usage: tarnel-fakemodem [-e] [-d MS] [-m] PATH\n"
                 "Creates a pseudo-terminal that answers AT commands like a modem and\n"
                 "links PATH to it (an existing symlink at PATH is replaced).\n"
                 "  -e, --no-echo   do not echo commands back\n"
                 "  -d, --delay MS  answer each command MS milliseconds after it arrives\n"
                 "  -m, --moving-signal  each AT+CSQ a small step away from the last\n"
                 "  -h, --help      show this help\n"
                 "Known commands: AT, ATI, AT+CSQ, AT+CESQ, AT+CREG?, AT+CGREG?, AT+CEREG?,\n"
                 "AT+COPS?, AT+CGMI, AT+CGMM, AT+CGMR, AT+CGSN, AT+CPIN?,\n"
                 "AT+CRSM=176,12258,0,0,10, AT+CCID, AT+CMGL=\"ALL\"; AT+CMGS=... and\n"
                 "AT+CMGW=... prompt with \"> \" and take text up to Ctrl-Z, printing\n"
                 "\"message COMMAND: TEXT\"; others get ERROR.\n"
                 "SIGUSR1 sends an unsolicited RING. Stops on SIGINT or SIGTERM and\n"
                 "removes the link.\n");
}

} // namespace

int main(int argc, char **argv)
{
    fake_modem_options options;
    options.keep_log = false;
    // A script can see what was sent as a message (line-buffered below).
    options.on_message = [](const std::string &command, const std::string &text) {
        printf("message %s: %s\n", command.c_str(), text.c_str());
    };
    const char *path = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return 0;
        } else if (arg == "-e" || arg == "--no-echo") {
            options.echo = false;
        } else if (arg == "-m" || arg == "--moving-signal") {
            options.moving_signal = true;
        } else if ((arg == "-d" || arg == "--delay") && i + 1 < argc) {
            options.answer_delay_ms = atoi(argv[++i]);
        } else if (arg.starts_with("-") || path) {
            usage(stderr);
            return 2;
        } else {
            path = argv[i];
        }
    }
    if (!path) {
        usage(stderr);
        return 2;
    }

    // Blocked before the serving thread exists, so only sigwait sees them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    setvbuf(stdout, nullptr, _IOLBF, 0);
    fake_modem *modem = fake_modem_create(path, options);
    if (!modem) {
        fprintf(stderr, "tarnel-fakemodem: cannot create modem at %s: %s\n", path, strerror(errno));
        return 1;
    }
    printf("fake modem ready on %s -> %s\n", path, fake_modem_slave_name(modem).c_str());

    int signal_number = 0;
    while (sigwait(&stop_signals, &signal_number) != 0 || signal_number == SIGUSR1) {
        if (signal_number == SIGUSR1)
            fake_modem_inject(modem, "\r\nRING\r\n");
        signal_number = 0;
    }
    fake_modem_destroy(modem);
    return 0;
}
