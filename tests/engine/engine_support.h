/* Test harness of the bus engine: an application record built from a command
 * line, the real main window, the GTK main loop run under the GDK lock until
 * a condition holds, the shutdown sequence, and the simulator's call log. */
#pragma once
#include <gtk/gtk.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "grid_probe.h"
#include "gui_loop.h"
#include "instance_lifecycle.h"
#include "sim_child.h"

/* GDK thread lock and GTK, once per process; false without a display.
 * Tests get short server time-outs; the benchmark keeps the console's own. */
bool engine_gtk_ready(bool f_short_timeouts = true);

struct engine_app
{
    instance_t *app = nullptr;
    bool started = false;

    /* Parses args (the program name is added) and builds the window. */
    bool create(const std::vector<std::string> &args);
    /* Shows the window and starts every bus's engine, as start-up does. */
    void start();
    /* f_exit = 1, bus_release of every bus on a separate thread while the
     * main loop serves hand-overs, then the window is destroyed. Returns the
     * milliseconds the releases took, or -1 when they did not end within
     * limit_ms. */
    int stop(int limit_ms = 10000);
    ~engine_app();
};

/* Command-line words for `buses` buses BUS0, BUS1, ... on one automation
 * server, bus i on its index i. */
std::vector<std::string> engine_bus_args(const std::string &hostport, int buses);

/* Runs the main loop (the caller holds the GDK lock) until pred () holds or
 * ms have passed; pred runs on the main loop under the lock every period_ms. */
inline bool engine_run_until(const std::function<bool()> &pred, int ms, int period_ms = 20)
{
    return gui_pump_until(pred, ms, period_ms);
}
/* Runs the main loop for ms. */
inline void engine_run_for(int ms)
{
    gui_pump_until({}, ms);
}

using clock_type = std::chrono::steady_clock;
/* Milliseconds since t0. */
inline int ms_since(clock_type::time_point t0)
{
    return (int)std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t0).count();
}

/* One parsed line of pelmora-sim --log-calls. */
struct sim_call
{
    std::string method;
    int bus;
    int n;
};
std::vector<sim_call> sim_calls(sim_child_t *c, size_t from = 0);
size_t sim_line_count(sim_child_t *c);

/* A temporary data folder with the given playlists (name -> lines). */
std::string engine_data_dir(const std::vector<std::pair<std::string, std::vector<std::string>>> &playlists);
void engine_remove_dir(const std::string &dir);
/* An event line of the playlist format. */
std::string engine_event_line(const char *dur, char type, const char *media, const char *title);
