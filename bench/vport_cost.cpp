// What a virtual port adds to a command: a program on its link against a
// bus caller, the same command on the same modem, in alternating batches
// so that neither gets a quieter machine.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "bench/measure.h"

using bench_clock = std::chrono::steady_clock;
constexpr int VPORT_BATCH = 100;
constexpr int VPORT_WAIT_MS = 5000;

static bool share(bench_rig &rig, const std::string &port, const std::string &name)
{
    blob_buf b{};
    blob_buf_init(&b, 0);
    blobmsg_add_string(&b, "at_port", port.c_str());
    blobmsg_add_string(&b, "name", name.c_str());
    bool ok = false;
    int status = ubus_invoke(rig.ctx, rig.tarnel_id, "share", b.head, note_success, &ok, 5000);
    blob_buf_free(&b);
    return status == 0 && ok;
}

// Nanoseconds from writing "AT\r" to reading its "OK\r\n"; -1 on failure.
static int64_t vport_once(int fd)
{
    auto start = bench_clock::now();
    if (write(fd, "AT\r", 3) != 3)
        return -1;
    std::string got;
    while (got.find("OK\r\n") == std::string::npos) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, VPORT_WAIT_MS) != 1)
            return -1;
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return -1;
        got.append(buf, static_cast<size_t>(n));
    }
    return std::chrono::duration_cast<std::chrono::nanoseconds>(bench_clock::now() - start).count();
}

bool measure_vport(bench_rig &rig, vport_figures *out)
{
    fake_modem_options quiet;
    quiet.keep_log = false;
    fake_modem_ptr modem = rig_modem(rig, "ttyShared", quiet);
    if (!modem)
        return false;
    std::string port = fake_modem_link_path(modem.get());
    if (!share(rig, port, "bench")) {
        fprintf(stderr, "bench: share failed\n");
        return false;
    }
    int fd = open((rig.dir + "/run/bench").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio;
    if (fd < 0 || tcgetattr(fd, &tio) != 0) {
        fprintf(stderr, "bench: cannot open the virtual port: %s\n", strerror(errno));
        if (fd >= 0)
            close(fd);
        return false;
    }
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    sendat_client client;
    sendat_prepare(client, rig.ctx, rig.tarnel_id, port, "AT");
    latency_samples through_vport, through_bus;
    for (int i = 0; i < 20; i++) { // warm-up
        vport_once(fd);
        sendat_once(client);
    }
    for (int done = 0; done < VPORT_CALLS; done += VPORT_BATCH) {
        for (int i = 0; i < VPORT_BATCH; i++)
            through_vport.add(vport_once(fd));
        for (int i = 0; i < VPORT_BATCH; i++)
            through_bus.add(sendat_once(client));
    }
    sendat_release(client);
    close(fd);
    out->vport = through_vport.summary();
    out->sendat = through_bus.summary();
    return true;
}
