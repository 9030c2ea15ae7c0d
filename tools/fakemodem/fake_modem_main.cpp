// tarnel-fakemodem: serves a simulated modem at a path until SIGINT or
// SIGTERM, for running the daemon without hardware. Unsolicited lines,
// incoming messages and a vanishing port come on demand: SIGUSR1 rings,
// and each line written to the control FIFO (-c) is carried out.
#include "tools/fakemodem/fake_modem.h"
#include "tools/fakemodem/fake_modem_control.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

namespace
{

void usage(FILE *out)
{
    fprintf(out, "usage: tarnel-fakemodem [-e] [-u] [-d MS] [-m] [-p PIN] [-c FIFO] PATH\n"
                 "Creates a pseudo-terminal that answers AT commands like a modem and\n"
                 "links PATH to it (an existing symlink at PATH is replaced).\n"
                 "  -e, --no-echo         do not echo commands back\n"
                 "  -u, --unframed        answer without V.250 framing: no CR LF in front,\n"
                 "                        the echo ended with CR LF\n"
                 "  -d, --delay MS        answer each command MS milliseconds after it arrives\n"
                 "  -m, --moving-signal   each AT+CSQ a small step away from the last\n"
                 "  -p, --sim-pin PIN     the SIM is locked until AT+CPIN=\"PIN\" (3 wrong: PUK\n"
                 "                        12345678 and a new PIN); locked, network queries\n"
                 "                        answer +CME ERROR: 11\n"
                 "  -c, --control FIFO    make FIFO and carry out each line written to it:\n"
                 "                        ring, sms FROM TEXT (UCS2 when the text needs it,\n"
                 "                        in concatenated parts when long), urc LINE, unplug,\n"
                 "                        replug,\n"
                 "                        pin PIN (lock the SIM), fail COMMAND N (N plain ERRORs)\n"
                 "  -h, --help            show this help\n"
                 "Known commands: AT, ATI, AT+CSQ, AT+CESQ, AT+CREG?, AT+CGREG?, AT+CEREG?,\n"
                 "AT+COPS?, AT+CGMI, AT+CGMM, AT+CGMR, AT+CGSN, AT+CPIN?,\n"
                 "AT+CRSM=176,12258,0,0,10, AT+CCID, AT+CPIN=..., AT+CPINR, AT+CGDCONT?,\n"
                 "AT+CGACT?, AT+CGPADDR, AT+CGPIAF?; a message store for AT+CMGF,\n"
                 "AT+CMGR, AT+CMGL, AT+CMGD, AT+CPMS in text and PDU mode (in PDU mode\n"
                 "AT+CMGS=<length> takes a PDU; one to its own number +15550100 comes\n"
                 "back); AT+CNUM; AT+CSCS; AT+CUSD=1,\"<code>\" answers +CUSD: after\n"
                 "300 ms (*111# a menu, any other code the balance); AT+CMGS=... and\n"
                 "AT+CMGW=... prompt with \"> \" and take text up to Ctrl-Z, printing\n"
                 "\"message COMMAND: TEXT\"; others get ERROR.\n"
                 "SIGUSR1 sends an unsolicited RING. Stops on SIGINT or SIGTERM and\n"
                 "removes the link and the FIFO.\n");
}

// Opened for reading and writing, so that it never reads end of file when
// a writer closes, and never blocks.
int open_control(const char *path)
{
    if (mkfifo(path, 0600) < 0 && errno != EEXIST)
        return -1;
    struct stat st;
    if (lstat(path, &st) < 0 || !S_ISFIFO(st.st_mode)) {
        errno = EEXIST;
        return -1;
    }
    return open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

// Carries out the whole lines read so far; a part line waits for its end.
void take_control(fake_modem *modem, int fd, std::string *pending)
{
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        pending->append(buf, static_cast<size_t>(n));
    for (size_t end; (end = pending->find('\n')) != std::string::npos; pending->erase(0, end + 1)) {
        std::string_view line(pending->data(), end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        std::string error;
        if (!line.empty() && !fake_modem_control(modem, line, &error))
            fprintf(stderr, "tarnel-fakemodem: %.*s: %s\n", int(line.size()), line.data(), error.c_str());
    }
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
    const char *path = nullptr, *control_path = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return 0;
        } else if (arg == "-e" || arg == "--no-echo") {
            options.echo = false;
        } else if (arg == "-u" || arg == "--unframed") {
            options.framed = false;
        } else if (arg == "-m" || arg == "--moving-signal") {
            options.moving_signal = true;
        } else if ((arg == "-d" || arg == "--delay") && i + 1 < argc) {
            options.answer_delay_ms = atoi(argv[++i]);
        } else if ((arg == "-p" || arg == "--sim-pin") && i + 1 < argc) {
            options.sim_pin = argv[++i];
        } else if ((arg == "-c" || arg == "--control") && i + 1 < argc) {
            control_path = argv[++i];
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

    // Blocked before the serving thread exists, so only the signalfd sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC);
    if (signal_fd < 0) {
        fprintf(stderr, "tarnel-fakemodem: signalfd: %s\n", strerror(errno));
        return 1;
    }

    setvbuf(stdout, nullptr, _IOLBF, 0);
    int control = -1;
    if (control_path && (control = open_control(control_path)) < 0) {
        fprintf(stderr, "tarnel-fakemodem: cannot make the control FIFO %s: %s\n", control_path, strerror(errno));
        return 1;
    }
    fake_modem *modem = fake_modem_create(path, options);
    if (!modem) {
        fprintf(stderr, "tarnel-fakemodem: cannot create modem at %s: %s\n", path, strerror(errno));
        if (control >= 0)
            unlink(control_path);
        return 1;
    }
    printf("fake modem ready on %s -> %s\n", path, fake_modem_slave_name(modem).c_str());

    std::string pending;
    for (bool stop = false; !stop;) {
        pollfd fds[2] = {{signal_fd, POLLIN, 0}, {control, POLLIN, 0}};
        if (poll(fds, control >= 0 ? 2 : 1, -1) < 0)
            continue;
        if (control >= 0 && (fds[1].revents & POLLIN))
            take_control(modem, control, &pending);
        signalfd_siginfo info;
        if ((fds[0].revents & POLLIN) && read(signal_fd, &info, sizeof info) == sizeof info) {
            if (info.ssi_signo == SIGUSR1)
                fake_modem_inject(modem, "\r\nRING\r\n");
            else
                stop = true;
        }
    }
    fake_modem_destroy(modem);
    if (control >= 0)
        unlink(control_path);
    return 0;
}
