// Start-up, serving and shutdown of the daemon. Returns the exit status,
// which is 0 on every path: a service manager respawns us either way.
#pragma once

int daemon_run();
