/* Start-up and shutdown of the application record: building the window from
 * the parsed options, starting each bus's machinery, and the shutdown thread
 * that stops it all while the main loop keeps serving hand-overs. */
#include "instance_lifecycle.h"

#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "bus.h"
#include "gdk_unlock.h"
#include "library_events.h"
#include "localtime_tz.h"
#include "opts.h"
#include "pelmora.h"
#include "pelmora_version.h"
#include "settings/settings-amap.h"
#include "srv.h"
#include "strl.h"
#include "ui.h"

namespace {

/* The library notification threads wait here between polls; a close request
 * wakes them at once. */
std::mutex lib_notify_lock;
std::condition_variable lib_notify_wake;
int display_missing;

gboolean on_main_window_delete_event(GtkWidget *widget, GdkEvent *event, gpointer user_data)
{
    (void)widget;
    (void)event;
    instance_t *app = static_cast<instance_t *>(user_data);
    fprintf(stderr, "%s: app->f_exit=%d\n", __func__, app->f_exit);
    if (app->f_exit == 0) {
        {
            std::lock_guard<std::mutex> g(lib_notify_lock);
            app->f_exit = 1;
        }
        lib_notify_wake.notify_all();
        pthread_create(&app->th_stop_wait, nullptr, instance_stop_wait, app);
        return TRUE;
    }
    return app->f_exit == 1;
}

void on_main_window_destroy(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    fprintf(stderr, "destroy occurred\n");
    gtk_main_quit();
}

int window_destroy_proc(G_IDLE_WRAP_t *w)
{
    auto *app = reinterpret_cast<instance_t *>(w->args[0]);
    GtkWidget *window = app->window;
    app->window = nullptr;
    if (window)
        gtk_widget_destroy(window);
    return 0;
}

} // namespace

int instance_display_missing(void)
{
    return display_missing;
}

instance_t *instance_create(int argc, char **argv)
{
    auto *app = static_cast<instance_t *>(calloc(1, sizeof(instance_t)));
    if (!app) {
        fprintf(stderr, "%s: out of memory\n", __func__);
        abort();
    }
    instance_opt_defaults(app);

    if (instance_opt(argc, argv, app) || !app->bus.count) {
        instance_usage();
        return app;
    }

    if (!gdk_display_get_default()) {
        fprintf(stderr, "%s: no display to show the window on\n", __func__);
        display_missing = 1;
        return app;
    }
    app->window = ui_create(app);
    return app;
}

int instance_init(instance_t *app)
{
    /* Zone files beside the program. Set before any worker starts: setenv
     * must not race the getenv calls of the threads' HTTP transport. */
    localtime_tzdir_set(nullptr);
    /* The socket layer needs no start-up here. */
    if (app->f_hide_console)
        g_warning("%s: --hide-console: a desktop session has no console window to hide; the flag is kept",
                  "instance_init");

    g_signal_connect(app->window, "delete-event", G_CALLBACK(on_main_window_delete_event), app);
    g_signal_connect(app->window, "destroy", G_CALLBACK(on_main_window_destroy), app);

    pelmora_init(PELMORA_APP_NAME, PELMORA_VERSION);

    /* The channel map presets of the IO settings dialog, once for the whole
     * program. A file that cannot be read leaves the built-in presets; it is
     * still the file a save writes. */
    const char *amap = opts_audio_map_helper();
    if (amap && amap[0]) {
        int n = setting_amap_add_preset(amap);
        if (n < 0 && n != -17)
            g_warning("%s: channel map presets [%s] not read: %s (%d)", __func__, amap, g_strerror(-n), n);
        else
            g_warning("%s: %d channel map presets from [%s]", __func__, n, amap);
    }

    for (int i = 0; i < app->bus.count; i++) {
        bus_t *bus = &app->bus.list[i];
        bus->app = app;
        bus_init(bus);
        library_init(&bus->lib);
        library_events_attach(bus);
        library_stat_notify(&bus->lib, 1);
        pthread_create(&bus->lib_stat_notify_th, nullptr, library_stat_notify_proc, bus);
        if (bus->preview.host[0]) {
            /* The preview server's status monitor. */
            srv_init(&bus->preview);
            int r = srv_run(&bus->preview);
            if (r)
                g_warning("%s: bus %d: no status monitor for [%s] (%d)", __func__, bus->idx, bus->preview.host, r);
            strlcpy(bus->lib.preview_io_host, bus->preview.host, sizeof(bus->lib.preview_io_host));
        }
    }
    return 0;
}

void *library_stat_notify_proc(void *p)
{
    bus_t *bus = static_cast<bus_t *>(p);
    /* About every 100 ms plus the call. One wait instead of ten 10 ms naps:
     * eight buses napping cost more CPU than all their polls. */
    while (!instance_stopping(bus->app)) {
        library_stat_notify(&bus->lib, 0);
        std::unique_lock<std::mutex> g(lib_notify_lock);
        lib_notify_wake.wait_for(g, std::chrono::milliseconds(100), [bus] { return instance_stopping(bus->app) != 0; });
    }
    g_warning("%s: finished", __func__);
    return nullptr;
}

void *instance_stop_wait(void *p)
{
    instance_t *app = static_cast<instance_t *>(p);

    for (int i = 0; i < app->bus.count; i++) {
        bus_t *bus = &app->bus.list[i];
        /* The monitor sees f_exit within one poll (a call's time-out at
         * worst) and its thread is joined here. */
        if (bus->preview.host[0]) {
            srv_stop(&bus->preview);
            srv_release(&bus->preview);
        }
        pthread_join(bus->lib_stat_notify_th, nullptr);
        library_release(&bus->lib);
        bus_release(bus);
    }

    app->f_exit = 2;

    G_IDLE_WRAP_t w = {};
    w.proc = window_destroy_proc;
    w.args[0] = reinterpret_cast<intptr_t>(app);
    idle_wrap_run(&w, &gdk_idle_lock);
    return nullptr;
}

int instance_release(instance_t *app)
{
    if (app->f_exit) {
        pthread_join(app->th_stop_wait, nullptr);
        app->f_exit = 2;
    }
    pelmora_release();
    if (app->f_hide_console)
        g_warning("%s: --hide-console: nothing was hidden, nothing to show again", __func__);
    return 0;
}

int instance_destroy(instance_t *app)
{
    free(app);
    return 0;
}
