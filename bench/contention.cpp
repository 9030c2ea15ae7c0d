// Whether one port's wait holds up anyone else: a call left waiting on a
// silent modem while other clients use "list" and another port, and slow
// modems driven side by side against one alone.
#include <chrono>
#include <vector>

#include "bench/async_calls.h"
#include "bench/measure.h"

using namespace std::chrono_literals;

constexpr int HOL_WARMUP = 100;
constexpr int HOL_ROUNDS = 1000;
constexpr char HOLD_COMMAND[] = "AT+HOLD";
constexpr int HOLD_TIMEOUT_S = 60;

static void time_rounds(bench_rig &rig, sendat_client &instant, int rounds, latency_summary *list,
                        latency_summary *sendat)
{
    latency_samples list_ns, sendat_ns;
    for (int i = 0; i < rounds; i++) {
        list_ns.add(list_once(rig.ctx, rig.tarnel_id));
        sendat_ns.add(sendat_once(instant));
    }
    *list = list_ns.summary();
    *sendat = sendat_ns.summary();
}

bool measure_head_of_line(bench_rig &rig, const std::string &instant_port, head_of_line_figures *out)
{
    fake_modem_ptr silent = rig_modem(rig, "ttyHold");
    ubus_context *hold_ctx = rig_client(rig), *instant_ctx = rig_client(rig);
    if (!silent || !hold_ctx || !instant_ctx)
        return false;
    fake_modem_set_answer(silent.get(), HOLD_COMMAND, {});
    sendat_client hold, instant;
    sendat_prepare(hold, hold_ctx, rig.tarnel_id, fake_modem_link_path(silent.get()), HOLD_COMMAND, HOLD_TIMEOUT_S);
    sendat_prepare(instant, instant_ctx, rig.tarnel_id, instant_port, "AT");

    latency_summary discard;
    time_rounds(rig, instant, HOL_WARMUP, &discard, &discard);
    time_rounds(rig, instant, HOL_ROUNDS, &out->list_alone, &out->sendat_alone);

    sendat_async held;
    held.client = &hold;
    bool ok =
        sendat_async_start(held) && fake_modem_wait_log_contains(silent.get(), std::string(HOLD_COMMAND) + "\r", 2s);
    if (ok) {
        time_rounds(rig, instant, HOL_ROUNDS, &out->list_held, &out->sendat_held);
        // Pump once first: a held call that ended early is noticed only then.
        pump_clients({hold_ctx}, 0);
        out->held_throughout = held.in_flight;
        fake_modem_inject(silent.get(), "\r\nOK\r\n");
    }
    out->held_answered = sendat_async_finish(held, 5000) && held.status == UBUS_STATUS_OK && held.success;
    sendat_release(hold);
    sendat_release(instant);
    return ok;
}

bool measure_concurrency(bench_rig &rig, concurrency_figures *out)
{
    fake_modem_options slow;
    slow.answer_delay_ms = CONCURRENCY_ANSWER_MS;
    slow.keep_log = false;
    std::vector<fake_modem_ptr> modems;
    std::vector<sendat_client> clients(CONCURRENCY_PORTS);
    bool ok = true;
    for (int i = 0; ok && i < CONCURRENCY_PORTS; i++) {
        modems.push_back(rig_modem(rig, "ttySlow" + std::to_string(i), slow));
        ubus_context *ctx = rig_client(rig);
        ok = modems.back() && ctx &&
             sendat_prepare(clients[i], ctx, rig.tarnel_id, fake_modem_link_path(modems.back().get()), "AT");
    }
    if (ok) {
        out->one = sendat_concurrent(std::span(clients).first(1), CONCURRENCY_SECONDS, &out->one_failed);
        out->all = sendat_concurrent(clients, CONCURRENCY_SECONDS, &out->all_failed);
    }
    for (sendat_client &client : clients)
        sendat_release(client);
    return ok;
}
