#include "core/daemon.h"

#include <cstdio>

#include "core/bus_api.h"
#include "core/daemon_state.h"
#include "core/object.h"
#include "port/port.h"

int daemon_run()
{
    // A service log must show each line the moment it is written.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    registry_init();
    uloop_init();

    g_daemon.ctx = ubus_connect(nullptr);
    if (!g_daemon.ctx) {
        fprintf(stderr, "Failed to connect to ubus\n");
        uloop_done();
    } else {
        ubus_add_uloop(g_daemon.ctx);
        int ret = ubus_add_object(g_daemon.ctx, &tarnel_object);
        if (ret != 0) {
            fprintf(stderr, "Failed to add object: %s\n", ubus_strerror(ret));
        } else {
            port_monitor_start();
            printf("ubus-tarnel started\n");
            g_daemon.stopping = uloop_cancelling;
            uloop_run();
            g_daemon.stopping = nullptr;
            port_monitor_stop();
        }
        ubus_free(g_daemon.ctx);
        g_daemon.ctx = nullptr;
        uloop_done();
    }

    registry_destroy_all();
    registry_shutdown();
    return 0;
}
