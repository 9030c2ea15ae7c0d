// /usr/bin/tarnel: the daemon's command-line client (client/tarnel.h).
#include <cstring>
#include <iostream>

#include "client/tarnel.h"

namespace
{

const char HELP[] = R"(Usage: tarnel COMMAND [OPTIONS]

  tarnel at [-s SOCKET] [-p PORT] [-t SECONDS] [-e FLAGS] [-r] [COMMAND...]
    Sends each AT COMMAND to the modem through the daemon (its sendat), in
    order; without one, each non-blank line of standard input. Stops at the
    first command that does not end on OK or on a flag of -e. Prints the
    answer's lines between the command's echo and the final result, one per
    line, without blank lines.
      -p PORT     the modem's port (default: the only open port)
      -t SECONDS  how long the modem may take, 0 to 600 (default 5)
      -e FLAGS    comma-separated texts that end the command instead of the
                  daemon's default (OK, ERROR, +CMS ERROR:, +CME ERROR:,
                  NO CARRIER); a line matching one of yours that is not a
                  final result code is printed too
      -r          print the answer exactly as the modem sent it
      -s SOCKET   the bus socket (default: the bus library's)
    Exit status (of the last command run): 0 success; 1 the modem answered
    ERROR, +CME ERROR: or +CMS ERROR: (or NO CARRIER without -e), printed on
    standard error; 2 no answer within -t seconds; 3 the bus, the daemon or
    the port failed (its message on standard error), or no port was given
    and not exactly one is open.

  tarnel apply [-c FILE] [-s SOCKET]
    Sets up the enabled port sections of FILE (default /etc/config/tarnel):
    opens each new or changed port with its settings, init commands and
    unsolicited prefixes, makes its virtual ports (share, share_group), and
    closes the ports an earlier run set up that the file no longer names.
    Ports other programs opened are left alone. What was done is recorded
    in $TARNEL_STATE_DIR/applied (default /var/run/tarnel/applied); an
    unchanged port is not reopened. Prints one line per port (opened,
    unchanged, updated, closed, failed: MESSAGE); exit status 1 when a port
    failed or the file or the bus could not be used, else 0.
)";

} // namespace

const char *tarnel_help()
{
    return HELP;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::cerr << HELP;
        return 3;
    }
    const char *command = argv[1];
    if (!std::strcmp(command, "at"))
        return tarnel_at(argc - 1, argv + 1);
    if (!std::strcmp(command, "apply"))
        return tarnel_apply(argc - 1, argv + 1);
    if (!std::strcmp(command, "--help") || !std::strcmp(command, "-h") || !std::strcmp(command, "help")) {
        std::cout << HELP;
        return 0;
    }
    std::cerr << "tarnel: unknown command '" << command << "'\n" << HELP;
    return 3;
}
