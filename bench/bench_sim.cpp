/* pelmora-sim under load: 8 buses of 10,000 events each, running, asked for
 * their state (and for rows, 32 at a time, as a console's events thread does)
 * over loopback through the client library. Prints figures; never fails on time. */
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "pelmora.h"
#include "pelmorabox.h"
#include "sim_child.h"

static void report(const char *what, std::vector<double> &us)
{
    std::sort(us.begin(), us.end());
    double sum = 0;
    for (double v : us)
        sum += v;
    printf("%-34s n=%zu  median %.1f us  p90 %.1f us  p99 %.1f us  mean %.1f us\n", what, us.size(), us[us.size() / 2],
           us[us.size() * 9 / 10], us[us.size() * 99 / 100], sum / (double)us.size());
}

int main(int argc, char **argv)
{
    int buses = 8, events = 10000, calls = 8000;
    if (argc > 1)
        calls = atoi(argv[1]);
    std::string bin = std::string(PELMORA_BUILD_BIN_DIR) + "/pelmora-sim";
    sim_child_t sim;
    auto t0 = std::chrono::steady_clock::now();
    if (sim_child_start(&sim, bin,
                        {"--automation", "0", "--buses", std::to_string(buses), "--events", std::to_string(events),
                         "--autostart", "--data", "/tmp"}) != 0) {
        fprintf(stderr, "bench_sim: pelmora-sim did not start\n");
        return 1;
    }
    double start_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    printf("pelmora-sim: %d buses x %d events, started and listening after %.0f ms\n", buses, events, start_ms);
    pelmora_init("bench_sim", "0");
    pelmorabox_bus_state_t s;
    for (int i = 0; i < 200; i++)
        pelmorabox_get_state(sim.url.c_str(), i % buses, &s);

    std::vector<double> us;
    int failed = 0;
    for (int i = 0; i < calls; i++) {
        auto a = std::chrono::steady_clock::now();
        int r = pelmorabox_get_state(sim.url.c_str(), i % buses, &s);
        auto b = std::chrono::steady_clock::now();
        if (r != 0 || s.count <= 0)
            failed++;
        us.push_back(std::chrono::duration<double, std::micro>(b - a).count());
    }
    report("GetState", us);

    us.clear();
    std::vector<pelmorabox_event_t *> pe(32);
    std::vector<int64_t> idxs(32);
    for (int i = 0; i < calls / 8; i++) {
        for (int k = 0; k < 32; k++)
            idxs[k] = (i * 97 + k) % (events / 2);
        auto a = std::chrono::steady_clock::now();
        int r = pelmorabox_get_events2(sim.url.c_str(), i % buses, 32, idxs.data(), pe.data(), &s);
        auto b = std::chrono::steady_clock::now();
        if (r != 32)
            failed++;
        for (int k = 0; k < std::max(r, 0); k++)
            pelmorabox_event_destroy(&pe[k]);
        us.push_back(std::chrono::duration<double, std::micro>(b - a).count());
    }
    report("GetEvents2 (32 rows)", us);
    printf("failed calls: %d\n", failed);
    pelmora_release();
    sim_child_stop(&sim);
    return 0;
}
