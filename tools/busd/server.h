// The broker's socket side: listens on a Unix stream socket, feeds the
// connections to the core (busd.h) and writes its output back, in one
// thread. Runs until SIGINT or SIGTERM, then removes the socket file.
#pragma once

namespace busd
{

// Returns the process exit status: 0 after a signal, 1 if the socket
// could not be set up.
int serve(const char *socket_path);

} // namespace busd
