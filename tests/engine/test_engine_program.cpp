// The real program with eight buses against pelmora-sim: it polls and fetches
// every bus, and a close request ends it with status 0 within 2 s, every
// worker thread joined.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>

#include "child_process.h"
#include "sim_child.h"
#include "x_windows.h"

namespace {

int count_of(const std::string &s, const std::string &what)
{
    int n = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1))
        n++;
    return n;
}

} // namespace

TEST(EngineProgram, EightBusesPollAndCloseWithinTwoSeconds)
{
    if (!getenv("DISPLAY"))
        GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
    Display *dpy = XOpenDisplay(nullptr);
    ASSERT_NE(dpy, nullptr);

    sim_child_t sim;
    ASSERT_EQ(sim_child_start(&sim, sim_child_bin(),
                              {"--automation", "0", "--buses", "8", "--events", "500", "--autostart", "--log-calls"}),
              0);

    std::vector<std::string> argv = {program_path()};
    for (int i = 0; i < 8; i++) {
        argv.push_back("--add-bus=BUS" + std::to_string(i));
        argv.push_back("--host=" + sim.hostport);
        argv.push_back("--idx=" + std::to_string(i));
    }
    child_process p;
    ASSERT_TRUE(p.start(argv, {"PELMORA_RPC_TIMEOUT_MS=1000", "PELMORA_RPC_CONNECT_TIMEOUT_MS=300", "-TC_MODE"}));

    Window w = x_wait_window(dpy, p.pid);
    ASSERT_NE(w, 0u) << p.err();

    /* Every bus polls its state and fetches its rows. */
    auto polled_all = [&] {
        std::set<std::string> states, events;
        std::lock_guard<std::mutex> g(sim.lock);
        for (const std::string &l : sim.lines) {
            if (l.compare(0, 27, "call PelmoraBox.GetState bu") == 0)
                states.insert(l.substr(0, l.find(" n=")));
            if (l.compare(0, 29, "call PelmoraBox.GetEvents2 bu") == 0)
                events.insert(l.substr(0, l.find(" n=")));
        }
        return states.size() == 8 && events.size() == 8;
    };
    for (int t = 0; t < 10000 && !polled_all(); t += 100)
        usleep(100000);
    ASSERT_TRUE(polled_all());
    usleep(1000 * 1000);

    auto t0 = std::chrono::steady_clock::now();
    x_close_request(dpy, w);
    bool ended = p.wait_ms(5000);
    int ms = (int)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    if (!ended)
        p.kill_now();
    ASSERT_TRUE(ended) << p.err();
    EXPECT_EQ(p.exit_code(), 0) << p.err();
    EXPECT_LE(ms, 2000);
    RecordProperty("close_ms", ms);
    printf("closed in %d ms\n", ms);

    std::string err = p.err();
    EXPECT_EQ(count_of(err, "bus_state_thread_proc: finished"), 8);
    EXPECT_EQ(count_of(err, "bus_events_update_thread_proc: finished"), 8);
    EXPECT_EQ(count_of(err, "library_stat_notify_proc: finished"), 8);
    EXPECT_EQ(count_of(err, "called off the main thread"), 0);
    EXPECT_NE(err.find("destroy occurred"), std::string::npos);

    XCloseDisplay(dpy);
    sim_child_stop(&sim);
}
