// Start-up, serving and shutdown of the daemon. Returns the exit status: 0
// after serving until told to stop (or told to stop while starting), 1 when
// start-up failed (no broker, the
// object refused, no port engine), so that neither a service manager nor a
// script takes a daemon that never served for one that ended well.
#pragma once

int daemon_run();
