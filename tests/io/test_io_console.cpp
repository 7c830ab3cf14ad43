// The IO servers in the console, against pelmora-sim with IO servers and a
// real clip: the preview sequence of an event reaches the servers in its
// order off the main loop, a failing step is said on the notice line, the
// preview server's status monitor runs from start-up until the window is
// closed, and the IO settings open for the preview button's server and for
// the preview strip's server.
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "bus.h"
#include "bus_ctl.h"
#include "media_fixture.h"
#include "ops_support.h"
#include "opts.h"
#include "pelmora_io.h"
#include "pelmora_io_preview.h"
#include "pelmora_settings.h"
#include "settings/settings.h"
#include "strl.h"
#include "subclip_dialog.h"
#include "ui.h"
#include "ui_bus.h"

namespace {

/* What the preview server's monitor handed to a subscriber. */
struct monitor_seen
{
    std::atomic<int> records{0};
    std::mutex lock;
    pelmora_status_t last;
    static void cb(srv_t *, pelmora_status_t *status, void *cookie, int)
    {
        auto *m = static_cast<monitor_seen *>(cookie);
        std::lock_guard<std::mutex> g(m->lock);
        m->last = *status;
        m->records++;
    }
};

gboolean quit_loop(gpointer data)
{
    *static_cast<bool *>(data) = true;
    gtk_main_quit();
    return FALSE;
}

class IoConsole : public OpsTest
{
  protected:
    std::string media;
    std::vector<std::string> io_hosts;
    bool inited = false;
    std::vector<std::string> app_extra; /* program options before the bus's */

    void SetUp() override
    {
        OpsTest::SetUp();
        if (IsSkipped())
            return;
        char dir[] = "/tmp/io_console_media_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        media = dir;
        ASSERT_TRUE(media_test_pattern(media + "/two.mov", 2, "mpeg4"));
    }
    void TearDown() override
    {
        if (inited && e.app && e.app->window) {
            EXPECT_GE(close_window(), 0);
        }
        OpsTest::TearDown();
        if (!media.empty())
            system(("rm -rf " + media).c_str());
    }

    /* pelmora-sim with n IO servers over the clip and a playlist of two
     * events on it; then the console, started as the program starts it,
     * with the first IO server as the bus's preview server (and IO server
     * prv_io as its preview strip's). */
    void start(int n_io, std::vector<std::string> sim_extra, int prv_io = -1)
    {
        data = engine_data_dir({{"main",
                                 {ops_event_line("00:00:02:00", "two.mov", "P1"),
                                  ops_event_line("00:00:01:00", "two.mov", "P2", ' ', "00:00:00:10")}}});
        std::vector<std::string> args = {"--playlist", "main", "--library=0", "--media=" + media};
        for (int i = 0; i < n_io; i++)
            args.push_back("--io=0");
        args.insert(args.end(), sim_extra.begin(), sim_extra.end());
        start_sim(args);
        {
            std::lock_guard<std::mutex> g(sim.lock);
            for (const std::string &l : sim.lines)
                if (l.compare(0, 8, "io port ") == 0)
                    io_hosts.push_back("127.0.0.1:" + l.substr(8));
        }
        ASSERT_EQ((int)io_hosts.size(), n_io);
        std::vector<std::string> console = app_extra;
        for (const std::string &a : engine_bus_args(sim.hostport, 1))
            console.push_back(a);
        console.push_back("--io-preview=" + io_hosts[0]);
        if (prv_io >= 0)
            console.push_back("--prv-io=" + io_hosts[(size_t)prv_io]);
        ASSERT_TRUE(e.create(console));
        gtk_widget_show(e.app->window);
        ASSERT_EQ(instance_init(e.app), 0);
        inited = true;
    }

    /* Closes the window as the operator does: the shutdown thread stops
     * everything and the window goes. Milliseconds taken, -1 past 10 s. */
    int close_window()
    {
        instance_t *app = e.app;
        gint64 t0 = g_get_monotonic_time();
        GdkEvent *ev = gdk_event_new(GDK_DELETE);
        ev->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(app->window)));
        gtk_main_do_event(ev);
        gdk_event_free(ev);
        bool timed_out = false;
        guint guard = gdk_threads_add_timeout(10000, quit_loop, &timed_out);
        gtk_main(); // left by the window's destroy handler
        if (timed_out)
            return -1;
        g_source_remove(guard);
        pthread_join(app->th_stop_wait, nullptr);
        inited = false;
        return (int)((g_get_monotonic_time() - t0) / 1000);
    }

    std::string io_url(int i) { return "http://" + io_hosts[(size_t)i] + "/RPC2"; }
};

/* The IO and automation calls of a preview since mark, the monitor's
 * status polls left out. */
std::vector<std::string> preview_calls(sim_child_t *sim, size_t mark)
{
    std::vector<std::string> r;
    for (const sim_call &c : sim_calls(sim, mark))
        if ((c.method.compare(0, 10, "PelmoraIO.") == 0 && c.method != "PelmoraIO.GetStatus") ||
            c.method == "PelmoraBox.Preview")
            r.push_back(c.method);
    return r;
}

TEST_F(IoConsole, PreviewRunsInOrderOffTheMainLoopAndTheMonitorStopsWithTheWindow)
{
    // The automation server refuses the first preview; the calls that wait
    // would show in the main loop if the sequence blocked it.
    start(1, {"--refuse=PelmoraBox.Preview:1:-2", "--latency=PelmoraIO.CuePlay:250", "--latency=PelmoraBox.Preview:250",
              "--latency=PelmoraIO.PlaylistSeek:250"});
    bus_t *b = bus();
    ASSERT_TRUE(wait_filled(b, 2));

    // The monitor of the preview server runs from start-up on.
    monitor_seen seen;
    ASSERT_TRUE(b->preview.f_running);
    ASSERT_GE(srv_status_cb_add(&b->preview, monitor_seen::cb, &seen), 0);
    ASSERT_TRUE(engine_run_until([&] { return seen.records.load() > 0; }, 3000));

    ops_select_rows(b, {1});
    const std::string io = io_url(0);

    // Refused load: said on the notice line, nothing after it is sent, no
    // dialog.
    size_t m = mark();
    {
        ops_dialogs d;
        click(BUTTON_LIST_ITEM_PREVIEW);
        EXPECT_TRUE(d.seen.empty());
    }
    sync_log();
    EXPECT_EQ(preview_calls(&sim, m),
              (std::vector<std::string>{"PelmoraIO.LibBasenameItem", "PelmoraIO.Stop", "PelmoraIO.CuePlay",
                                        "PelmoraIO.Pause", "PelmoraBox.Preview"}));
    std::string notice = bus_ui_notice_text(b);
    EXPECT_NE(notice.find("PREVIEW"), std::string::npos) << notice;
    EXPECT_NE(notice.find("refused by " + sim.hostport), std::string::npos) << notice;
    EXPECT_NE(notice.find("(-2)"), std::string::npos) << notice;

    // Now the whole sequence, in its order, the main loop running all along.
    m = mark();
    std::string said;
    int said_dur = -1;
    {
        ops_dialogs d;
        d.then([&](GtkWidget *dlg) {
            // The subclip editor, read-only, on the cued clip.
            const char *title = gtk_window_get_title(GTK_WINDOW(dlg));
            said = title ? title : "";
            auto *sc = static_cast<subclip_dialog_t *>(g_object_get_data(G_OBJECT(dlg), "subclip_dialog_t"));
            said_dur = sc && sc->subclip ? sc->subclip->duration : -1;
            gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_CLOSE);
            return true;
        });
        gui_pause_meter w;
        w.start();
        click(BUTTON_LIST_ITEM_PREVIEW);
        EXPECT_LT(w.longest_ms(), 100) << "the main loop stood " << w.longest_ms() << " ms";
        EXPECT_EQ(d.pending(), 0u);
    }
    sync_log();
    std::vector<std::string> got = preview_calls(&sim, m);
    // The editor's own player calls follow the sequence.
    if (got.size() > 6)
        got.resize(6);
    EXPECT_EQ(got, (std::vector<std::string>{"PelmoraIO.LibBasenameItem", "PelmoraIO.Stop", "PelmoraIO.CuePlay",
                                             "PelmoraIO.Pause", "PelmoraBox.Preview", "PelmoraIO.PlaylistSeek"}));
    // A status read follows the seek (the monitor's polls aside, the
    // dialog's duration can only come from a read after the load).
    std::vector<sim_call> all = sim_calls(&sim, m);
    size_t seek_at = all.size(), status_after = 0;
    for (size_t i = 0; i < all.size(); i++) {
        if (all[i].method == "PelmoraIO.PlaylistSeek")
            seek_at = i;
        else if (i > seek_at && all[i].method == "PelmoraIO.GetStatus")
            status_after++;
    }
    EXPECT_GT(status_after, 0u);
    EXPECT_NE(said.find("two.mov"), std::string::npos) << said;
    EXPECT_EQ(said_dur, 25); // P2's 25 frames
    EXPECT_STREQ(bus_ui_notice_text(b), "");

    // The IO server holds the event (P2: 25 frames from frame 10), paused
    // at its start.
    pelmora_status_t s;
    ASSERT_EQ(pelmora_getstatus(io.c_str(), &s), 0);
    EXPECT_EQ(s.playlist_count, 1);
    EXPECT_EQ(s.playlist_dur, 25);
    EXPECT_EQ(s.playlist_pos, 0);
    EXPECT_EQ(s.clip_in, 10);
    EXPECT_EQ(s.playlist_speed, 0);
    // ... and so does the monitor's record once it polled again.
    EXPECT_TRUE(engine_run_until(
        [&] {
            std::lock_guard<std::mutex> g(seen.lock);
            return seen.last.playlist_dur == 25 && seen.last.clip_in == 10;
        },
        3000));

    // Closing the window stops the monitor with the rest, promptly.
    int ms = close_window();
    EXPECT_GE(ms, 0) << "the window did not close";
    EXPECT_LT(ms, 3000);
    EXPECT_FALSE(b->preview.f_running);
}

/* The playback buffer the IO settings dialog showed when it opened from a
 * press on widget, or "" when no dialog opened; the dialog is cancelled. */
std::string settings_seen(GtkWidget *widget, GdkEventType type, gboolean *handled)
{
    std::string buffer;
    ops_dialogs d;
    d.then([&](GtkWidget *dlg) {
        auto *sd = static_cast<srv_settings_dialog_t *>(g_object_get_data(G_OBJECT(dlg), "srv_settings_dialog_t"));
        buffer = sd ? gtk_entry_get_text(GTK_ENTRY(sd->playback_buffer_entry)) : "(not the IO settings)";
        gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_CANCEL);
        return true;
    });
    GdkEvent *ev = gdk_event_new(type);
    ev->button.button = 3;
    *handled = FALSE;
    g_signal_emit_by_name(widget, "button-press-event", ev, handled);
    gdk_event_free(ev);
    return buffer;
}

TEST_F(IoConsole, IoSettingsOfThePreviewButtonAndOfThePreviewStrip)
{
    // Start-up also reads the channel map presets named on the command line.
    const std::string presets = media + "/amap.txt";
    FILE *f = fopen(presets.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("A1234567/Studio A\nno separator\n", f);
    fclose(f);
    settings_amap_presets_reset();
    opts_audio_map_helper_reset();
    app_extra = {"--audio-map-helper=" + presets};
    start(2, {}, 1);
    bus_t *b = bus();
    int n = 0;
    const settings_amap_ui_presets_t *table = settings_amap_presets(&n);
    ASSERT_GE(n, 1);
    EXPECT_STREQ(table[n - 1].title, "Studio A");
    EXPECT_STREQ(table[n - 1].map, "A1234567");
    ASSERT_EQ(pelmora_io_settings_set_value(io_url(1).c_str(), "playback_consumer_buffer", "17"), 0);
    pelmora_io_settings_t s0;
    ASSERT_EQ(pelmora_io_settings_get(io_url(0).c_str(), &s0), 0);
    ASSERT_STRNE(s0.playback_consumer_buffer, "17");

    // A right double click on the Preview button: the bus's preview server.
    GtkWidget *button = b->buttons[BUTTON_LIST_ITEM_PREVIEW];
    gboolean handled = FALSE;
    EXPECT_EQ(settings_seen(button, GDK_2BUTTON_PRESS, &handled), s0.playback_consumer_buffer);
    EXPECT_TRUE(handled);
    // A single press goes on to the click: no settings.
    EXPECT_EQ(settings_seen(button, GDK_BUTTON_PRESS, &handled), "");

    // On the preview strip's picture: the strip's own server.
    ASSERT_NE(b->prv.wnd, nullptr);
    pelmora_io_preview_t *prv = pelmora_io_preview_get(b->prv.wnd);
    ASSERT_NE(prv, nullptr);
    EXPECT_EQ(settings_seen(prv->ndi_window, GDK_2BUTTON_PRESS, &handled), "17");
    EXPECT_TRUE(handled);

    // A server that does not answer: no dialog, the notice line says so.
    srv_t dead;
    memset(&dead, 0, sizeof(dead));
    strlcpy(dead.host, "127.0.0.1:1", sizeof(dead.host));
    strlcpy(dead.url, "http://127.0.0.1:1/RPC2", sizeof(dead.url));
    {
        ops_dialogs d;
        EXPECT_EQ(bus_ctl_io_settings(b, e.app->window, &dead), -14);
        EXPECT_TRUE(d.seen.empty());
    }
    std::string notice = bus_ui_notice_text(b);
    EXPECT_NE(notice.find("IO SETTINGS"), std::string::npos) << notice;
    EXPECT_NE(notice.find("127.0.0.1:1"), std::string::npos) << notice;
}

} // namespace
