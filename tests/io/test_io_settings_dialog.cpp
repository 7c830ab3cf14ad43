/* The IO settings dialog under Xvfb against pelmora-sim: the real widgets
 * are read and changed, the server's settings read back; the channel map
 * presets menu rewrites its file, and a file that cannot be written stays
 * as it was while the operator is told under the matrix. */
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "gui_loop.h"
#include "io_sim.h"
#include "pelmora.h"
#include "settings/settings.h"
#include "strl.h"

namespace {

bool gtk_ready()
{
    return gui_ready(true, [] { pelmora_init("io-settings-test", "0"); });
}

/* The settings dialog while it is up and takes input, or null; its window
 * in *top. */
srv_settings_dialog_t *settings_up(GtkWidget **top)
{
    *top = gui_find_top([](GtkWidget *w) {
        return g_object_get_data(G_OBJECT(w), "srv_settings_dialog_t") && gtk_widget_is_sensitive(w);
    });
    return *top ? (srv_settings_dialog_t *)g_object_get_data(G_OBJECT(*top), "srv_settings_dialog_t") : nullptr;
}

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

int active(GtkWidget *combo)
{
    return gtk_combo_box_get_active(GTK_COMBO_BOX(combo));
}

std::string active_text(GtkWidget *combo)
{
    gchar *t = gtk_combo_box_get_active_text(GTK_COMBO_BOX(combo));
    std::string s = t ? t : "";
    g_free(t);
    return s;
}

std::string text(GtkWidget *entry)
{
    return gtk_entry_get_text(GTK_ENTRY(entry));
}

/* Runs `drive` on the dialog once it is up (from inside its own loop),
 * then the dialog is answered with `response`. */
struct driver
{
    std::function<void(srv_settings_dialog_t *)> drive;
    int response = GTK_RESPONSE_ACCEPT;
    bool seen = false;
    static gboolean tick(gpointer p)
    {
        driver *d = (driver *)p;
        GtkWidget *top = nullptr;
        auto *ctx = gui_find_record<srv_settings_dialog_t>("srv_settings_dialog_t", &top);
        if (ctx && !d->seen) {
            d->seen = true;
            d->drive(ctx);
            gtk_dialog_response(GTK_DIALOG(top), d->response);
        }
        return !d->seen;
    }
    int run(srv_t *srv)
    {
        guint id = gdk_threads_add_timeout(20, tick, this);
        int r = settings_dialog(nullptr, srv);
        if (!seen)
            g_source_remove(id);
        return r;
    }
};

void set_radio(srv_settings_dialog_t *d, int dst, int src)
{
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(d->amap_ui.map_radios[dst][src]), TRUE);
}

} // namespace

TEST(IoSettingsDialog, ReadsChangesAndSavesEverySetting)
{
    if (!gtk_ready())
        GTEST_SKIP() << "no display";
    // The modes answer comes late: the main loop must go on meanwhile.
    io_sim sim(1, {"--latency=PelmoraIO.SettingsGetModes:300"});
    ASSERT_TRUE(sim.ok());
    settings_amap_presets_reset();
    srv_t srv;
    memset(&srv, 0, sizeof srv);
    strlcpy(srv.host, sim.hosts[0].c_str(), sizeof srv.host);
    strlcpy(srv.url, sim.urls[0].c_str(), sizeof srv.url);

    driver first;
    first.drive = [](srv_settings_dialog_t *d) {
        // What the player holds at first start.
        EXPECT_EQ(text(d->playback_buffer_entry), "10");
        EXPECT_EQ(text(d->record_buffer_entry), "25");
        EXPECT_EQ(active_text(d->modes_ui.modes_combo), "1080i 50 (1920x1080)");
        EXPECT_EQ(active_text(d->modes_ui.encs_combo), "XDCAM HD422 50 Mbit/s");
        EXPECT_EQ(active(d->modes_ui.osds_combo), 0);
        EXPECT_EQ(active(d->aconf_ui.achannels_combo), 1);
        EXPECT_EQ(active_text(d->amap_ui.presets_combo), "Default");

        // Change everything; a mode without a description shows its name.
        gtk_entry_set_text(GTK_ENTRY(d->playback_buffer_entry), "12");
        gtk_entry_set_text(GTK_ENTRY(d->playback_prefill_entry), "6");
        gtk_entry_set_text(GTK_ENTRY(d->playback_preroll_entry), "4");
        gtk_entry_set_text(GTK_ENTRY(d->record_buffer_entry), "30");
        gtk_combo_box_set_active(GTK_COMBO_BOX(d->record_timecode_src), 2);
        gtk_combo_box_set_active(GTK_COMBO_BOX(d->playback_timecode_src), 3);
        gtk_combo_box_set_active(GTK_COMBO_BOX(d->playback_consumer_noscale), 1);
        gtk_combo_box_set_active(GTK_COMBO_BOX(d->record_bitdepth), 1);
        gtk_combo_box_set_active(GTK_COMBO_BOX(d->modes_ui.modes_combo), 3);
        EXPECT_EQ(active_text(d->modes_ui.modes_combo), "1080p25");
        EXPECT_EQ(active(d->modes_ui.encs_combo), 0); // refilled, nothing to match
        gtk_combo_box_set_active(GTK_COMBO_BOX(d->modes_ui.encs_combo), 1);
        gtk_combo_box_set_active(GTK_COMBO_BOX(d->modes_ui.osds_combo), 2);
        gtk_combo_box_set_active(GTK_COMBO_BOX(d->keyer_combo), 2);
        gtk_combo_box_set_active(GTK_COMBO_BOX(d->aconf_ui.achannels_combo), 3);
        set_radio(d, 0, 10);
        set_radio(d, 7, 31);
        EXPECT_EQ(active_text(d->amap_ui.presets_combo), "Custom");
    };
    struct ticks_desc
    {
        int before_dialog = 0;
        driver *d;
    } ticks;
    ticks.d = &first;
    guint tick_id = gdk_threads_add_timeout(
        10,
        [](gpointer p) -> gboolean {
            auto *t = (ticks_desc *)p;
            if (!t->d->seen)
                t->before_dialog++;
            return TRUE;
        },
        &ticks);
    ASSERT_EQ(first.run(&srv), 0);
    g_source_remove(tick_id);
    ASSERT_TRUE(first.seen);
    EXPECT_GE(ticks.before_dialog, 3); // served while the settings were on their way

    pelmora_io_settings_t s;
    memset(&s, 0, sizeof s);
    ASSERT_EQ(pelmora_io_settings_get(srv.url, &s), 0);
    EXPECT_STREQ(s.playback_consumer_buffer, "12");
    EXPECT_STREQ(s.playback_consumer_prefill, "6");
    EXPECT_STREQ(s.playback_consumer_preroll, "4");
    EXPECT_STREQ(s.record_producer_buffer, "30");
    EXPECT_STREQ(s.record_timecode_src, "2");
    EXPECT_STREQ(s.playback_timecode_src, "3");
    EXPECT_STREQ(s.playback_consumer_noscale, "1");
    EXPECT_STREQ(s.record_bitdepth, "10");
    EXPECT_STREQ(s.mode, "1080p25");
    EXPECT_STREQ(s.enc, "prores422");
    EXPECT_STREQ(s.playback_osd, "logo");
    EXPECT_EQ(s.keyer, 2);
    EXPECT_EQ(s.record_channels_conf, 3);
    EXPECT_STREQ(s.record_channels_map, "A123456V");
    // Saved by the server into its file.
    EXPECT_NE(slurp(sim.data + "/io-0.settings").find("record_channels_map=A123456V\n"), std::string::npos);

    // The second opening shows what the server now holds; an emptied
    // buffer entry leaves that setting alone.
    driver second;
    second.drive = [](srv_settings_dialog_t *d) {
        EXPECT_EQ(text(d->playback_buffer_entry), "12");
        EXPECT_EQ(text(d->record_buffer_entry), "30");
        EXPECT_EQ(active_text(d->modes_ui.modes_combo), "1080p25");
        EXPECT_EQ(active_text(d->modes_ui.encs_combo), "ProRes 422");
        EXPECT_EQ(active_text(d->modes_ui.osds_combo), "logo");
        EXPECT_EQ(active(d->keyer_combo), 2);
        EXPECT_EQ(active(d->record_timecode_src), 2);
        EXPECT_EQ(active(d->playback_timecode_src), 3);
        EXPECT_EQ(active(d->playback_consumer_noscale), 1);
        EXPECT_EQ(active(d->record_bitdepth), 1);
        EXPECT_EQ(active(d->aconf_ui.achannels_combo), 3);
        char map[260];
        EXPECT_STREQ(settings_amap_get(&d->amap_ui, map, sizeof map), "A123456V");
        gtk_entry_set_text(GTK_ENTRY(d->playback_buffer_entry), "");
        gtk_entry_set_text(GTK_ENTRY(d->record_buffer_entry), "");
        gtk_combo_box_set_active(GTK_COMBO_BOX(d->keyer_combo), 1);
    };
    ASSERT_EQ(second.run(&srv), 0);
    memset(&s, 0, sizeof s);
    ASSERT_EQ(pelmora_io_settings_get(srv.url, &s), 0);
    EXPECT_STREQ(s.playback_consumer_buffer, "12");
    EXPECT_STREQ(s.record_producer_buffer, "30");
    EXPECT_EQ(s.keyer, 1);

    // Cancel sends nothing; a server that is gone gives no dialog at all.
    driver cancel;
    cancel.response = GTK_RESPONSE_REJECT;
    cancel.drive = [](srv_settings_dialog_t *d) { gtk_combo_box_set_active(GTK_COMBO_BOX(d->keyer_combo), 0); };
    ASSERT_EQ(cancel.run(&srv), 0);
    ASSERT_EQ(pelmora_io_settings_get(srv.url, &s), 0);
    EXPECT_EQ(s.keyer, 1);
    ASSERT_EQ(sim.stop(), 0);
    driver none;
    none.drive = [](srv_settings_dialog_t *) {};
    EXPECT_EQ(none.run(&srv), -14);
    EXPECT_FALSE(none.seen);
}

namespace {
/* The "Delete" item of operator preset n (0: the first) in the presets menu. */
GtkWidget *delete_item(GtkWidget *menu, int n)
{
    GList *top = gtk_container_get_children(GTK_CONTAINER(menu));
    GtkWidget *existing = GTK_WIDGET(g_list_nth_data(top, 1));
    g_list_free(top);
    GtkWidget *sub = gtk_menu_item_get_submenu(GTK_MENU_ITEM(existing));
    GList *presets = gtk_container_get_children(GTK_CONTAINER(sub));
    GtkWidget *preset = GTK_WIDGET(g_list_nth_data(presets, (guint)n));
    g_list_free(presets);
    GList *actions = gtk_container_get_children(GTK_CONTAINER(gtk_menu_item_get_submenu(GTK_MENU_ITEM(preset))));
    GtkWidget *del = GTK_WIDGET(g_list_nth_data(actions, 2));
    g_list_free(actions);
    EXPECT_STREQ(gtk_menu_item_get_label(GTK_MENU_ITEM(del)), "Delete");
    return del;
}
} // namespace

TEST(IoSettingsDialog, PresetsFile)
{
    if (!gtk_ready())
        GTEST_SKIP() << "no display";
    char dir[] = "/tmp/io_presets_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/amap.txt";
    {
        std::ofstream f(path, std::ios::binary);
        f << "23016745/Swap pairs\n\nno slash here\n01234567/Default copy\r\n76543210/Reversed\tx\n";
    }
    settings_amap_presets_reset();
    ASSERT_EQ(setting_amap_add_preset(path.c_str()), 5);
    EXPECT_EQ(setting_amap_add_preset(path.c_str()), -17);

    settings_amap_ui_t ctx;
    memset(&ctx, 0, sizeof ctx);
    GtkWidget *win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_container_add(GTK_CONTAINER(win), settings_amap_ui_create(&ctx, "10"));
    gtk_widget_show_all(win);
    char map[260];
    // "10": destination 1 takes source 1, destination 2 source 0, the rest their own.
    EXPECT_STREQ(settings_amap_get(&ctx, map, sizeof map), "10234567");
    EXPECT_EQ(active(ctx.presets_combo), 0);
    gtk_combo_box_set_active(GTK_COMBO_BOX(ctx.presets_combo), 2);
    EXPECT_STREQ(settings_amap_get(&ctx, map, sizeof map), "23016745");

    GtkWidget *menu = settings_amap_ui_presets_menu(&ctx);
    gtk_menu_item_activate(GTK_MENU_ITEM(delete_item(menu, 0)));
    gtk_widget_destroy(menu);
    EXPECT_EQ(slurp(path), "01234567/Default copy\n76543210/Reversed\n");
    EXPECT_EQ(gtk_tree_model_iter_n_children(gtk_combo_box_get_model(GTK_COMBO_BOX(ctx.presets_combo)), nullptr), 4);
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(ctx.status_label)), "");

    // A file that cannot be written (here: the process may write no more
    // than 8 bytes to a file) stays byte for byte; the operator reads why.
    std::string before = slurp(path);
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit tiny = old;
    tiny.rlim_cur = 8;
    signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    menu = settings_amap_ui_presets_menu(&ctx);
    gtk_menu_item_activate(GTK_MENU_ITEM(delete_item(menu, 1)));
    gtk_widget_destroy(menu);
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(slurp(path), before);
    EXPECT_NE(strstr(gtk_label_get_text(GTK_LABEL(ctx.status_label)), "not saved"), nullptr);
    int n = 0;
    const settings_amap_ui_presets_t *p = settings_amap_presets(&n);
    EXPECT_EQ(n, 3); // the table keeps the change
    EXPECT_STREQ(p[2].title, "Default copy");

    gtk_widget_destroy(win);
    settings_amap_presets_reset();
    system((std::string("rm -rf ") + dir).c_str());
}

TEST(IoSettingsDialog, ServerGoneAtOkKeepsTheInputSaysWhyAndSavesOnceBack)
{
    if (!gtk_ready())
        GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
    auto sim = std::make_unique<io_sim>();
    ASSERT_TRUE(sim->ok());
    const std::string port = sim->hosts[0].substr(sim->hosts[0].find(':') + 1);
    srv_t srv;
    memset(&srv, 0, sizeof srv);
    strlcpy(srv.host, sim->hosts[0].c_str(), sizeof srv.host);
    strlcpy(srv.url, sim->urls[0].c_str(), sizeof srv.url);

    // The operator changes the keyer, the server goes away, OK is pressed:
    // the dialog stays with the choice and says why; the server comes back
    // on its port and the second OK saves.
    struct steps
    {
        int step = 0;
        std::string said;
        int keyer_kept = -1;
        std::unique_ptr<io_sim> *sim;
        std::string port;
        static gboolean tick(gpointer p)
        {
            steps *s = (steps *)p;
            GtkWidget *top = nullptr;
            auto *d = settings_up(&top);
            if (!d)
                return TRUE;
            if (s->step == 0) {
                gtk_combo_box_set_active(GTK_COMBO_BOX(d->keyer_combo), 2);
                EXPECT_EQ((*s->sim)->stop(), 0);
                s->sim->reset();
                s->step = 1;
                gtk_dialog_response(GTK_DIALOG(top), GTK_RESPONSE_ACCEPT);
            } else if (s->step == 1 && gtk_widget_get_visible(d->error_label)) {
                s->said = gtk_label_get_text(GTK_LABEL(d->error_label));
                s->keyer_kept = active(d->keyer_combo);
                *s->sim = std::make_unique<io_sim>(0, std::vector<std::string>{"--io=" + s->port});
                s->step = 2;
                gtk_dialog_response(GTK_DIALOG(top), GTK_RESPONSE_ACCEPT);
            }
            return TRUE;
        }
    } st;
    st.sim = &sim;
    st.port = port;
    guint id = gdk_threads_add_timeout(20, steps::tick, &st);
    EXPECT_EQ(settings_dialog(nullptr, &srv), 0);
    g_source_remove(id);

    EXPECT_EQ(st.step, 2) << "the dialog closed at the first OK although nothing was saved";
    EXPECT_NE(st.said.find(srv.host), std::string::npos) << st.said;
    EXPECT_NE(st.said.find("lost"), std::string::npos) << st.said;
    EXPECT_EQ(st.keyer_kept, 2);
    ASSERT_TRUE(sim && sim->ok()) << "the simulator did not come back on port " << port;
    pelmora_io_settings_t s;
    memset(&s, 0, sizeof s);
    ASSERT_EQ(pelmora_io_settings_get(srv.url, &s), 0);
    EXPECT_EQ(s.keyer, 2);
}

TEST(IoSettingsDialog, LengthsThatAreNoWholeNumberAreRefusedInTheDialogAndNeverSent)
{
    if (!gtk_ready())
        GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
    io_sim sim(1, {"--log-calls"});
    ASSERT_TRUE(sim.ok());
    settings_amap_presets_reset();
    srv_t srv;
    memset(&srv, 0, sizeof srv);
    strlcpy(srv.host, sim.hosts[0].c_str(), sizeof srv.host);
    strlcpy(srv.url, sim.urls[0].c_str(), sizeof srv.url);
    pelmora_io_settings_t before;
    memset(&before, 0, sizeof before);
    ASSERT_EQ(pelmora_io_settings_get(srv.url, &before), 0);

    // OK with "abc", then with "-9999": each time the dialog stays, names the
    // entry on its message line and gives it the keyboard; then the bad
    // entries are emptied and OK saves.
    struct steps
    {
        int step = 0;
        std::vector<std::string> said;
        std::vector<bool> focused;
        static gboolean tick(gpointer p)
        {
            steps *s = (steps *)p;
            GtkWidget *top = nullptr;
            auto *d = settings_up(&top);
            if (!d)
                return TRUE;
            GtkWindow *w = GTK_WINDOW(top);
            const char *label = gtk_label_get_text(GTK_LABEL(d->error_label));
            bool shown = gtk_widget_get_visible(d->error_label);
            if (s->step == 0) {
                gtk_entry_set_text(GTK_ENTRY(d->playback_buffer_entry), "abc");
                s->step = 1;
                gtk_dialog_response(GTK_DIALOG(top), GTK_RESPONSE_ACCEPT);
            } else if (s->step == 1 && shown && strstr(label, "abc")) {
                s->said.push_back(label);
                s->focused.push_back(gtk_window_get_focus(w) == d->playback_buffer_entry);
                gtk_entry_set_text(GTK_ENTRY(d->playback_buffer_entry), "12");
                gtk_entry_set_text(GTK_ENTRY(d->playback_prefill_entry), "-9999");
                s->step = 2;
                gtk_dialog_response(GTK_DIALOG(top), GTK_RESPONSE_ACCEPT);
            } else if (s->step == 2 && shown && strstr(label, "-9999")) {
                s->said.push_back(label);
                s->focused.push_back(gtk_window_get_focus(w) == d->playback_prefill_entry);
                for (GtkWidget *e : {d->playback_prefill_entry, d->playback_preroll_entry, d->record_buffer_entry})
                    gtk_entry_set_text(GTK_ENTRY(e), "");
                s->step = 3;
                gtk_dialog_response(GTK_DIALOG(top), GTK_RESPONSE_ACCEPT);
            }
            return TRUE;
        }
    } st;
    guint id = gdk_threads_add_timeout(20, steps::tick, &st);
    EXPECT_EQ(settings_dialog(nullptr, &srv), 0);
    g_source_remove(id);

    ASSERT_EQ(st.step, 3) << "the dialog closed although a length was no number";
    ASSERT_EQ(st.said.size(), 2u);
    EXPECT_NE(st.said[0].find("Playback buffer len"), std::string::npos) << st.said[0];
    EXPECT_NE(st.said[1].find("Playback prefill len"), std::string::npos) << st.said[1];
    EXPECT_EQ(st.focused, (std::vector<bool>{true, true}));

    // One save, after the one accepted OK: the refused ones sent nothing.
    // Its values: the buffer, the three choices and the bit depth, the
    // audio configuration, the map, the OSD and the keyer (the emptied
    // entries left out).
    ASSERT_TRUE(io_wait_for([&] { return sim_child_count(&sim.c, "call PelmoraIO.SettingsSave") >= 1; }, 5000));
    EXPECT_EQ(sim_child_count(&sim.c, "call PelmoraIO.SettingsSave"), 1);
    EXPECT_EQ(sim_child_count(&sim.c, "call PelmoraIO.SettingsSetValue"), 9);
    pelmora_io_settings_t after;
    memset(&after, 0, sizeof after);
    ASSERT_EQ(pelmora_io_settings_get(srv.url, &after), 0);
    EXPECT_STREQ(after.playback_consumer_buffer, "12");
    EXPECT_STREQ(after.playback_consumer_prefill, before.playback_consumer_prefill);
    EXPECT_STREQ(after.playback_consumer_preroll, before.playback_consumer_preroll);
    EXPECT_STREQ(after.record_producer_buffer, before.record_producer_buffer);
}

TEST(IoSettingsDialog, MapCharactersOfNoSourceGiveTheIdentity)
{
    if (!gtk_ready())
        GTEST_SKIP() << "no display";
    settings_amap_presets_reset();
    settings_amap_ui_t ctx;
    memset(&ctx, 0, sizeof ctx);
    GtkWidget *win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_container_add(GTK_CONTAINER(win), settings_amap_ui_create(&ctx, "0123456W"));
    gtk_widget_show_all(win);
    char map[260];
    EXPECT_STREQ(settings_amap_get(&ctx, map, sizeof map), "01234567");
    // Over a map that is not the identity, so each row really moves: the
    // last source "V" stands, every character past it or outside the
    // alphabet leaves its destination at its own source.
    settings_amap_ui_set(&ctx, "76543210");
    ASSERT_STREQ(settings_amap_get(&ctx, map, sizeof map), "76543210");
    settings_amap_ui_set(&ctx, "WXYZ[a\xff~");
    EXPECT_STREQ(settings_amap_get(&ctx, map, sizeof map), "01234567");
    settings_amap_ui_set(&ctx, "VW");
    EXPECT_STREQ(settings_amap_get(&ctx, map, sizeof map), "V1234567");
    gtk_widget_destroy(win);
}
