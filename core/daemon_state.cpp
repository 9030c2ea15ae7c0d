#include "core/daemon_state.h"

daemon_state g_daemon;
