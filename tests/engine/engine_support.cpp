/* Bus engine test harness: see engine_support.h. */
#include "engine_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "bus.h"
#include "opts.h"
#include "pelmora.h"
#include "ui.h"
#include "ui_bus.h"

bool engine_gtk_ready(bool f_short_timeouts)
{
    /* Short server time-outs, read once by pelmora_init. */
    if (f_short_timeouts && getenv("DISPLAY")) {
        setenv("PELMORA_RPC_TIMEOUT_MS", "1000", 0);
        setenv("PELMORA_RPC_CONNECT_TIMEOUT_MS", "300", 0);
    }
    return gui_ready(true, [] { pelmora_init("PelmoraBoxUI-test", "0"); });
}

std::vector<std::string> engine_bus_args(const std::string &hostport, int buses)
{
    std::vector<std::string> args;
    for (int i = 0; i < buses; i++) {
        args.push_back("--add-bus=BUS" + std::to_string(i));
        args.push_back("--host=" + hostport);
        args.push_back("--idx=" + std::to_string(i));
    }
    return args;
}

bool engine_app::create(const std::vector<std::string> &args)
{
    app = static_cast<instance_t *>(calloc(1, sizeof(instance_t)));
    instance_opt_defaults(app);
    std::vector<std::string> all = {"PelmoraBoxUI"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    if (instance_opt((int)all.size(), argv.data(), app) || !app->bus.count)
        return false;
    app->window = ui_create(app);
    return app->window != nullptr;
}

void engine_app::start()
{
    gtk_widget_show(app->window);
    for (int i = 0; i < app->bus.count; i++) {
        app->bus.list[i].app = app;
        bus_init(&app->bus.list[i]);
    }
    started = true;
}

int engine_app::stop(int limit_ms)
{
    int ms = 0;
    if (started) {
        app->f_exit = 1;
        std::atomic<bool> done{false};
        auto t0 = std::chrono::steady_clock::now();
        std::thread th([this, &done] {
            for (int i = 0; i < app->bus.count; i++)
                bus_release(&app->bus.list[i]);
            done = true;
        });
        bool ok = engine_run_until([&done] { return done.load(); }, limit_ms, 5);
        ms = (int)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        if (!ok) {
            /* Leave the stuck thread behind rather than hang the suite. */
            th.detach();
            started = false;
            return -1;
        }
        th.join();
        started = false;
    }
    if (app && app->window) {
        gtk_widget_destroy(app->window);
        app->window = nullptr;
    }
    return ms;
}

engine_app::~engine_app()
{
    if (app) {
        stop();
        free(app);
    }
}

std::vector<sim_call> sim_calls(sim_child_t *c, size_t from)
{
    std::vector<sim_call> out;
    std::lock_guard<std::mutex> g(c->lock);
    for (size_t i = from; i < c->lines.size(); i++) {
        char method[128];
        int bus = 0, n = 0;
        if (sscanf(c->lines[i].c_str(), "call %127s bus=%d n=%d", method, &bus, &n) == 3)
            out.push_back({method, bus, n});
    }
    return out;
}

size_t sim_line_count(sim_child_t *c)
{
    std::lock_guard<std::mutex> g(c->lock);
    return c->lines.size();
}

std::string engine_data_dir(const std::vector<std::pair<std::string, std::vector<std::string>>> &playlists)
{
    char dir[] = "/tmp/pelmora_engine_XXXXXX";
    if (!mkdtemp(dir))
        return "";
    for (const auto &pl : playlists) {
        std::ofstream f(std::string(dir) + "/" + pl.first + ".ply");
        for (const std::string &l : pl.second)
            f << l << "\n";
    }
    return dir;
}

void engine_remove_dir(const std::string &dir)
{
    if (dir.compare(0, 20, "/tmp/pelmora_engine_") == 0)
        (void)!system(("rm -rf " + dir).c_str());
}

std::string engine_event_line(const char *dur, char type, const char *media, const char *title)
{
    char buf[1024];
    snprintf(buf, sizeof buf, "\t \t\t\t%s\t%c\t%s\t%s\t\t\t\t\t\t\t", dur, type, media, title);
    return buf;
}
