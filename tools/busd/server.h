// The broker's socket side: listens on a Unix stream socket, feeds the
// connections to the core (busd.h) and writes its output back, in one
// thread. Runs until SIGINT or SIGTERM, then removes the socket file.
//
// A client is read only until the broker sees it hang up: then it is
// disconnected at once, and messages it wrote that were not read yet are
// dropped, not delivered. A router's broker does the same, so a program
// that writes its last replies and closes at once loses them here too; one
// that makes a synchronous request after them and closes only once it is
// answered loses nothing.
#pragma once

namespace busd
{

// Returns the process exit status: 0 after a signal, 1 if the socket
// could not be set up.
int serve(const char *socket_path);

} // namespace busd
