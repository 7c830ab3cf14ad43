/* The subclip editor against pelmora-sim's IO player and library, with the
 * stand-in network video runtime: the modal dialog is driven from a main
 * loop timeout by keys, buttons, typed entries and real pointer events, and
 * what the operator sees (entries, speed, notice, the picture) and what the
 * player did are read back. Clips are made with ffmpeg at start. */
#include <gdk/gdkkeysyms.h>
#include <gtest/gtest.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "../io/io_sim.h"
#include "gtk_timeline_subclip.h"
#include "pelmora.h"
#include "pelmora_io_preview.h"
#include "pelmora_lib.h"
#include "subclip_dialog.h"
#include "timecode.h"
#include "widgets_gui.h"

namespace {

std::string work; /* media and announce folder of the whole run */

/* Frame n of a clip as ffmpeg decodes it, RGB, or empty. */
std::string decoded_frame(const std::string &clip, int n)
{
    std::string out = work + "/frame.rgb";
    std::string cmd = "ffmpeg -v error -y -i " + clip + " -vf \"select=eq(n\\," + std::to_string(n) +
                      ")\" -vframes 1 -f rawvideo -pix_fmt rgb24 " + out;
    if (system(cmd.c_str()) != 0)
        return "";
    std::ifstream f(out, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

class SubclipDialog : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        char dir[] = "/tmp/subclip_it_XXXXXX";
        ASSERT_TRUE(mkdtemp(dir));
        work = dir;
        mkdir((work + "/media").c_str(), 0700);
        setenv("PELMORA_PREVIEW_ANNOUNCE", (work + "/announce").c_str(), 1);
        /* Every pixel says where it is (red across, green down) and which
         * frame it belongs to (blue); the other clip is long and at 50 fps. */
        ASSERT_EQ(system(("ffmpeg -v error -f lavfi -i \"color=c=black:s=320x180:r=25:d=12,format=rgb24,"
                          "geq=r='X*255/W':g='Y*255/H':b='mod(N*8\\,256)'\" -pix_fmt bgr0 -c:v ffv1 -timecode "
                          "10:00:00:00 " +
                          work +
                          "/media/tc25.mkv && ffmpeg -v error -f lavfi -i "
                          "color=c=gray:s=32x18:r=50:d=600 -c:v ffv1 " +
                          work + "/media/long50.mkv")
                             .c_str()),
                  0);
        setenv("PELMORA_RPC_TIMEOUT_MS", "3000", 1);
        setenv("NDI_RUNTIME_DIR_V3", PELMORA_PREVIEW_RUNTIME_DIR, 1);
        pelmora_io_preview_init();
        pelmora_init("subclip-test", "0");
    }
    static void TearDownTestSuite()
    {
        pelmora_io_preview_release();
        if (!work.empty())
            system(("rm -rf " + work).c_str());
    }

    std::unique_ptr<io_sim> sim;
    std::string lib_url;
    srv_t srv;
    bool srv_up = false;
    pelmora_lib_item_t item;

    /* Simulator with its IO player, library and the call log; the player's
     * monitor running; `clip` described by the library into item. */
    bool start(const std::string &clip, std::vector<std::string> extra = {})
    {
        extra.insert(extra.end(), {"--library=0", "--media=" + work + "/media", "--log-calls"});
        sim.reset(new io_sim(1, extra));
        if (!sim->ok())
            return false;
        {
            std::lock_guard<std::mutex> g(sim->c.lock);
            for (const std::string &l : sim->c.lines)
                if (l.compare(0, 13, "library port ") == 0)
                    lib_url = "http://127.0.0.1:" + l.substr(13) + "/RPC2";
        }
        memset(&item, 0, sizeof(item));
        if (pelmora_lib_meta_item(lib_url.c_str(), clip.c_str(), &item) != 0)
            return false;
        memset(&srv, 0, sizeof(srv));
        snprintf(srv.host, sizeof(srv.host), "%s", sim->hosts[0].c_str());
        snprintf(srv.url, sizeof(srv.url), "%s", sim->urls[0].c_str());
        srv_init(&srv);
        srv_up = srv_run(&srv) == 0;
        return srv_up;
    }
    void TearDown() override
    {
        if (srv_up) {
            srv_stop(&srv);
            srv_release(&srv);
        }
        sim.reset();
    }
    /* The player calls logged so far, status polls left out. */
    std::vector<std::string> calls()
    {
        std::vector<std::string> v;
        std::lock_guard<std::mutex> g(sim->c.lock);
        for (const std::string &l : sim->c.lines)
            if (l.compare(0, 15, "call PelmoraIO.") == 0 && l.find("GetStatus") == std::string::npos &&
                l.find("LibBasenameItem") == std::string::npos) /* the preview's own look-ups */
                v.push_back(l.substr(15, l.find(' ', 5) - 15));
        return v;
    }
};

/* ---- Driving the modal dialog from a main loop timeout ---- */

GtkWidget *question()
{
    return gui_find_top([](GtkWidget *w) { return GTK_IS_MESSAGE_DIALOG(w); });
}

struct script
{
    std::vector<std::pair<std::string, std::function<bool()>>> steps;
    size_t i = 0;
    gint64 t0 = 0;
    bool aborting = false;
    int questions = 0; /* answered OK while aborting or after the steps */
    GtkWidget *dlg = nullptr;
    subclip_dialog_t *ctx = nullptr;

    void step(const std::string &what, std::function<bool()> f) { steps.push_back({what, std::move(f)}); }
    void act(const std::string &what, std::function<void()> f)
    {
        step(what, [f] {
            f();
            return true;
        });
    }

    gint64 last = 0, max_gap = 0; /* between ticks: the main loop's longest stall */

    static gboolean tick(gpointer data)
    {
        script *s = (script *)data;
        gint64 now = g_get_monotonic_time();
        if (s->last && now - s->last > s->max_gap)
            s->max_gap = now - s->last;
        s->last = now;
        if (!s->dlg) {
            s->dlg = gui_find_top([](GtkWidget *w) { return g_object_get_data(G_OBJECT(w), "subclip_dialog_t"); });
            if (!s->dlg)
                return TRUE;
            s->ctx = (subclip_dialog_t *)g_object_get_data(G_OBJECT(s->dlg), "subclip_dialog_t");
            /* No window manager gives it the focus: as if it had it, so
             * entries see focus in and out. */
            GdkEvent *fe = gdk_event_new(GDK_FOCUS_CHANGE);
            fe->focus_change.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(s->dlg)));
            fe->focus_change.in = TRUE;
            gtk_widget_send_focus_change(s->dlg, fe);
            gdk_event_free(fe);
        }
        if (s->aborting || s->i >= s->steps.size()) {
            if (GtkWidget *q = question()) {
                s->questions++;
                gtk_dialog_response(GTK_DIALOG(q), GTK_RESPONSE_OK);
            } else if (s->aborting && gtk_widget_get_visible(s->dlg)) {
                gtk_dialog_response(GTK_DIALOG(s->dlg), GTK_RESPONSE_REJECT);
            }
            return TRUE;
        }
        if (!s->t0)
            s->t0 = now;
        if (s->steps[s->i].second()) {
            s->i++;
            s->t0 = 0;
        } else if (now - s->t0 > 15 * G_USEC_PER_SEC) {
            ADD_FAILURE() << "step timed out: " << s->steps[s->i].first;
            s->aborting = true;
        }
        return TRUE;
    }

    /* Runs the dialog as the program does, under the GDK lock. */
    int run(srv_t *srv, pelmora_lib_subclip_t *sc, int timecode, int f_ro, pelmora_lib_subclip_t ***list)
    {
        gdk_threads_enter();
        guint id = gdk_threads_add_timeout(20, tick, this);
        int r = subclip_dialog(nullptr, srv, sc, timecode, f_ro, list);
        g_source_remove(id);
        gdk_threads_leave();
        EXPECT_EQ(i, steps.size()) << "the dialog closed before: " << (i < steps.size() ? steps[i].first : "");
        return r;
    }

    std::string text(int e) { return gtk_entry_get_text(GTK_ENTRY(ctx->entries[e])); }
    std::string label(int e) { return gtk_label_get_text(GTK_LABEL(ctx->entries[e])); }
    std::string notice() { return gtk_label_get_text(GTK_LABEL(ctx->notice)); }
    GtkWidget *focus() { return gtk_window_get_focus(GTK_WINDOW(dlg)); }

    void key(guint keyval, guint state = 0)
    {
        GdkEvent *ev = gdk_event_new(GDK_KEY_PRESS);
        ev->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(dlg)));
        ev->key.keyval = keyval;
        ev->key.state = state;
        ev->key.time = GDK_CURRENT_TIME;
        GdkKeymapKey *keys = nullptr;
        gint n = 0;
        if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_default(), keyval, &keys, &n) && n > 0)
            ev->key.hardware_keycode = (guint16)keys[0].keycode;
        g_free(keys);
        ev->key.string = g_strdup("");
        gtk_widget_event(dlg, ev);
        gdk_event_free(ev);
    }
    void click(int e) { gtk_button_clicked(GTK_BUTTON(ctx->entries[e])); }
    /* Types into an entry as the operator does: focus, text, Enter. */
    void type(int e, const char *t)
    {
        gtk_widget_grab_focus(ctx->entries[e]);
        gtk_entry_set_text(GTK_ENTRY(ctx->entries[e]), "");
        widgets_type(ctx->entries[e], t);
        key(GDK_Return);
    }
    /* Waits until the player has reported position f and speed v. */
    void wait_at(int f, double v = 0)
    {
        step("player at " + std::to_string(f),
             [this, f, v] { return ctx->status_here && ctx->status.clip_pos == f && ctx->status.playlist_speed == v; });
    }
};

/* One subclip record as a server list holds it. */
pelmora_lib_subclip_t *rec(int idx, int in, int dur, const std::string &title, pelmora_lib_item_t *parent)
{
    pelmora_lib_subclip_t *r = (pelmora_lib_subclip_t *)calloc(1, sizeof(*r));
    *r = {idx, in, dur, "", parent};
    snprintf(r->title, sizeof(r->title), "%s", title.c_str());
    return r;
}

} // namespace

/* A new subclip spans the whole clip; the player is loaded in order; the
 * keys step it; a set mark, typed marks, Escape in the title and the
 * question on closing unsaved. */
TEST_F(SubclipDialog, NewSubclipMarksStepsAndTheCloseQuestion)
{
    NEED_DISPLAY();
    ASSERT_TRUE(start("/tc25.mkv"));
    pelmora_lib_subclip_t sc = {-1, 0, 0, "", &item};
    script s;
    s.step("whole clip marked", [&] {
        EXPECT_EQ(s.text(ENTRY_MARK_IN), "10:00:00:00");
        EXPECT_EQ(s.text(ENTRY_MARK_OUT), "10:00:11:24"); /* 300 frames */
        EXPECT_EQ(s.focus(), s.ctx->entries[ENTRY_TIMELINE]);
        return true;
    });
    s.step("CURRENT shown", [&] { return s.ctx->status_here && s.text(ENTRY_CURR) == "10:00:00:00"; });
    for (int at : {25, 50, 49}) {
        s.act("key", [&, at] { s.key(at == 49 ? GDK_Left : GDK_Page_Down); });
        s.wait_at(at);
    }
    s.act("set mark in", [&] {
        EXPECT_EQ(s.text(ENTRY_CURR), "10:00:01:24");
        s.key(GDK_i);
        EXPECT_EQ(s.text(ENTRY_MARK_IN), "10:00:01:24");
        EXPECT_EQ(sc.mark_in, 49);
        EXPECT_EQ(sc.duration, 251); /* the out point stays */
        EXPECT_EQ(s.text(ENTRY_MARK_OUT), "10:00:11:24");
    });
    s.act("typed marks", [&] {
        s.type(ENTRY_MARK_OUT, "10:00:01:00"); /* before the in point: ignored */
        EXPECT_EQ(sc.duration, 251);
        s.type(ENTRY_MARK_IN, "no digits");
        EXPECT_EQ(sc.mark_in, 49);
        EXPECT_EQ(s.focus(), s.ctx->entries[ENTRY_MARK_IN]);
        s.type(ENTRY_MARK_OUT, "10:00:08:00");
        EXPECT_EQ(sc.duration, 200 - 49 + 1);
        EXPECT_EQ(s.text(ENTRY_MARK_OUT), "10:00:08:00");
        EXPECT_EQ(s.focus(), s.ctx->entries[ENTRY_TIMELINE]);
        EXPECT_EQ(s.ctx->f_dirty, 2); /* the set mark and the typed one */
        /* Left without Enter: what was typed goes. */
        gtk_widget_grab_focus(s.ctx->entries[ENTRY_MARK_IN]);
        gtk_entry_set_text(GTK_ENTRY(s.ctx->entries[ENTRY_MARK_IN]), "10:00:05:00");
        gtk_widget_grab_focus(s.ctx->entries[ENTRY_MARK_OUT]);
        EXPECT_EQ(s.text(ENTRY_MARK_IN), "10:00:01:24");
    });
    s.act("Escape in the title", [&] {
        gtk_widget_grab_focus(s.ctx->entries[ENTRY_TITLE]);
        s.key(GDK_i); /* typing, not a mark */
        EXPECT_EQ(s.ctx->f_dirty, 2);
        s.key(GDK_Escape);
        EXPECT_EQ(s.focus(), s.ctx->entries[ENTRY_TIMELINE]);
        EXPECT_TRUE(gtk_widget_get_visible(s.dlg));
        s.key(GDK_End); /* the out point */
    });
    s.wait_at(200);
    s.act("close", [&] { gtk_dialog_response(GTK_DIALOG(s.dlg), GTK_RESPONSE_REJECT); });
    s.step("asked, cancelled", [&] {
        GtkWidget *q = question();
        if (q)
            gtk_dialog_response(GTK_DIALOG(q), GTK_RESPONSE_CANCEL);
        return q != nullptr;
    });
    s.act("close again", [&] {
        EXPECT_TRUE(gtk_widget_get_visible(s.dlg));
        gtk_dialog_response(GTK_DIALOG(s.dlg), GTK_RESPONSE_REJECT);
    });
    EXPECT_EQ(s.run(&srv, &sc, -1, 0, nullptr), 0);
    EXPECT_EQ(s.questions, 1); /* the second close asked again: OK */
    std::vector<std::string> c = calls();
    ASSERT_GE(c.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(c.begin(), c.begin() + 5),
              (std::vector<std::string>{"Stop", "CuePlayWithData", "Pause", "PlaylistAppend", "PlaylistSeek"}));
    EXPECT_EQ(c.back(), "Stop");
}

/* The shuttle speeds both ways, Page Down on a 50 fps clip and a typed in
 * point taken as clip frames; closing after it asks. */
TEST_F(SubclipDialog, SpeedSequenceFiftyFramesAndTypedInPoint)
{
    NEED_DISPLAY();
    ASSERT_TRUE(start("/long50.mkv"));
    ASSERT_EQ(item.r_frame_rate_num, 50);
    pelmora_lib_subclip_t sc = {-1, 0, 0, "", &item};
    script s;
    s.step("CURRENT shown", [&] { return s.ctx->status_here; });
    const char *speeds[] = {"0.25X", "0.50X", "1.00X", "2.00X", "4.00X", "8.00X", "16.00X", "32.00X", "64.00X"};
    for (const char *v : speeds) {
        s.act(std::string("FAST FWD to ") + v, [&] { s.click(ENTRY_CTL_FAST_FWD); });
        s.step(v, [&s, v] { return s.label(ENTRY_SPEED) == v; });
    }
    gint64 t = 0;
    s.act("tenth FAST FWD", [&] {
        s.click(ENTRY_CTL_FAST_FWD);
        t = g_get_monotonic_time();
    });
    s.step("still 64", [&] {
        EXPECT_EQ(s.ctx->status.playlist_speed, 64);
        return g_get_monotonic_time() - t > 500000;
    });
    s.act("FAST REV stills first", [&] { s.key(GDK_j); });
    s.step("stilled", [&] { return s.label(ENTRY_SPEED) == "0.00X"; });
    int p = 0;
    s.step("settled", [&] {
        p = s.ctx->status.clip_pos;
        return p > 0 && s.ctx->status.playlist_speed == 0;
    });
    s.act("Page Down", [&] { s.key(GDK_Page_Down); });
    s.step("25 frames on", [&] { return s.ctx->status.clip_pos == p + 25; });
    s.act("typed in point", [&] {
        s.type(ENTRY_MARK_IN, "10:00");
        EXPECT_EQ(sc.mark_in, 250);
        EXPECT_EQ(s.text(ENTRY_MARK_IN), "00:00:05:00"); /* 250 frames of 50 fps in PAL */
        EXPECT_EQ(s.ctx->f_dirty, 1);
        gtk_dialog_response(GTK_DIALOG(s.dlg), GTK_RESPONSE_REJECT);
    });
    EXPECT_EQ(s.run(&srv, &sc, 0, 0, nullptr), 0);
    EXPECT_EQ(s.questions, 1); /* the typed mark is not saved: asked */
}

/* The bus preview's form: nothing loaded by the editor, no marks; a call
 * the player never answers and one it refuses are said in the dialog, which
 * keeps serving, and cleared by the next good call. */
TEST_F(SubclipDialog, ReadOnlySaysAHungAndARefusedCall)
{
    NEED_DISPLAY();
    ASSERT_TRUE(start("/tc25.mkv", {"--refuse=PelmoraIO.Play:1:-5", "--hang=PelmoraIO.PlaylistSeek"}));
    ASSERT_EQ(pelmora_playlist_append(srv.url, "/tc25.mkv", 0, 300, nullptr, nullptr, nullptr), 0);
    pelmora_lib_subclip_t sc = {1, 0, 300, "", &item};
    script s;
    s.step("shown", [&] { return s.ctx->status_here; });
    s.act("STEP FWD hangs", [&] {
        EXPECT_EQ(s.ctx->entries[ENTRY_MARK_IN], nullptr);
        EXPECT_EQ(s.ctx->entries[ENTRY_SET_MARK_IN], nullptr);
        s.key(GDK_i); /* consumed, changes nothing */
        EXPECT_EQ(s.ctx->f_dirty, 0);
        s.click(ENTRY_CTL_STEP_FWD);
        for (int k = 0; k < 5; k++) /* held: one still and one seek wait */
            s.key(GDK_Right);
    });
    /* The seek's time-out (3 s here) passes while the window keeps going;
     * the still is refused, the next seek hangs again. */
    s.step("refusal said", [&] { return s.notice().find("SHUTTLE failed on the player") != std::string::npos; });
    s.step("hang said", [&] { return s.notice().find("SEEK failed") != std::string::npos; });
    s.act("PLAY", [&] {
        EXPECT_NE(s.notice().find("(-14)"), std::string::npos);
        s.click(ENTRY_CTL_PLAY);
    });
    s.step("playing, notice gone", [&] { return s.label(ENTRY_SPEED) == "1.00X" && s.notice().empty(); });
    s.act("close", [&] { gtk_dialog_response(GTK_DIALOG(s.dlg), GTK_RESPONSE_CLOSE); });
    EXPECT_EQ(s.run(&srv, &sc, 0, 2, nullptr), 0);
    EXPECT_EQ(s.questions, 0);
    EXPECT_LT(s.max_gap, G_USEC_PER_SEC) << "the main loop was held";
    EXPECT_EQ(calls(),
              (std::vector<std::string>{"PlaylistAppend", "PlaylistSeek", "Play", "PlaylistSeek", "Play", "Stop"}));
}

/* A list longer than a clip keeps, with hostile values: shown whole, the
 * first 127 returned, adding refused, and closing unchanged asks nothing. */
TEST_F(SubclipDialog, ListOfOneHundredThirtyKeepsTheFirst127)
{
    NEED_DISPLAY();
    ASSERT_TRUE(start("/tc25.mkv"));
    pelmora_lib_subclip_t **list = (pelmora_lib_subclip_t **)calloc(131, sizeof(*list));
    for (int i = 0; i < 130; i++)
        list[i] = rec(i, i, 10, "sub " + std::to_string(i), &item);
    /* What a broken server could say: marks at the ends of int, a title
     * without its end and not UTF-8, no rate, no length, a timecode that
     * is not one (taken as 0). */
    list[3]->mark_in = INT32_MAX;
    list[3]->duration = INT32_MIN;
    memset(list[3]->title, 0xff, sizeof(list[3]->title));
    item.r_frame_rate_num = item.r_frame_rate_den = 0;
    item.duration = NAN;
    snprintf(item.timecode, sizeof(item.timecode), "99999999:99");
    pelmora_lib_subclip_t sc = *list[128];
    script s;
    s.step("shown", [&] { return s.ctx->status_here; });
    s.act("add refused", [&] {
        GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(s.ctx->entries[ENTRY_SUBCLIPS_LIST]));
        EXPECT_EQ(gtk_tree_model_iter_n_children(m, nullptr), 130);
        EXPECT_EQ(s.text(ENTRY_MARK_IN), "00:00:05:03");
        s.key(GDK_n, GDK_CONTROL_MASK);
        EXPECT_EQ(gtk_tree_model_iter_n_children(m, nullptr), 130);
        EXPECT_NE(s.notice().find("127"), std::string::npos);
        gtk_dialog_response(GTK_DIALOG(s.dlg), GTK_RESPONSE_REJECT);
    });
    EXPECT_EQ(s.run(&srv, &sc, -1, 0, &list), 0);
    EXPECT_EQ(s.questions, 0);
    ASSERT_NE(list, nullptr);
    int n = 0;
    while (list[n])
        n++;
    EXPECT_EQ(n, 127);
    EXPECT_STREQ(list[126]->title, "sub 126");
    EXPECT_EQ(list[126]->idx, 126);
    EXPECT_EQ(strnlen(list[3]->title, sizeof(list[3]->title)), sizeof(list[3]->title) - 1);
    pelmora_lib_list_subclips_free(&list);
}

/* Save, undo, add as new, delete and row activation, then Save closes with
 * the title and the rows in their order. */
TEST_F(SubclipDialog, ListEditsComeBackInOrder)
{
    NEED_DISPLAY();
    ASSERT_TRUE(start("/tc25.mkv"));
    pelmora_lib_subclip_t **list = (pelmora_lib_subclip_t **)calloc(4, sizeof(*list));
    list[0] = rec(0, 0, 50, "a", &item);
    list[1] = rec(1, 100, 50, "b", &item);
    list[2] = rec(2, 200, 50, "c", &item);
    pelmora_lib_subclip_t sc = *list[1];
    script s;
    auto model = [&] { return gtk_tree_view_get_model(GTK_TREE_VIEW(s.ctx->entries[ENTRY_SUBCLIPS_LIST])); };
    auto cell = [&](int row, int col) {
        GtkTreeIter it;
        gchar *v = nullptr;
        if (gtk_tree_model_iter_nth_child(model(), &it, nullptr, row))
            gtk_tree_model_get(model(), &it, col, &v, -1);
        std::string r = v ? v : "";
        g_free(v);
        return r;
    };
    s.wait_at(100);
    s.act("mark, save", [&] {
        s.key(GDK_Right);
        s.key(GDK_i); /* at 100, the in point stays */
        EXPECT_EQ(s.ctx->f_dirty, 1);
        gtk_entry_set_text(GTK_ENTRY(s.ctx->entries[ENTRY_TITLE]), "b2");
        s.key(GDK_s, GDK_CONTROL_MASK);
        EXPECT_EQ(s.ctx->f_dirty, 0);
        EXPECT_EQ(cell(1, 3), "b2");
        s.key(GDK_Page_Down);
    });
    s.wait_at(125);
    s.act("mark out, undo", [&] {
        s.key(GDK_o);
        EXPECT_EQ(sc.duration, 26);
        s.key(GDK_z, GDK_CONTROL_MASK);
        EXPECT_EQ(sc.duration, 50);
        EXPECT_EQ(s.text(ENTRY_MARK_OUT), "10:00:05:24");
        EXPECT_EQ(s.text(ENTRY_TITLE), "b2");
        gtk_entry_set_text(GTK_ENTRY(s.ctx->entries[ENTRY_TITLE]), "new");
        s.key(GDK_n, GDK_CONTROL_MASK);
        EXPECT_EQ(sc.idx, -1);
        EXPECT_EQ(cell(3, 0), "10:00:04:00");
        EXPECT_EQ(cell(3, 2), "00:00:02:00");
        GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(s.ctx->entries[ENTRY_SUBCLIPS_LIST]));
        gtk_tree_selection_unselect_all(sel);
        GtkTreePath *p0 = gtk_tree_path_new_from_indices(0, -1);
        gtk_tree_selection_select_path(sel, p0);
        gtk_tree_path_free(p0);
        gtk_button_clicked(GTK_BUTTON(g_object_get_data(G_OBJECT(s.dlg), "subclip_delete")));
    });
    s.step("deleted", [&] { return gtk_tree_model_iter_n_children(model(), nullptr) == 3; });
    s.act("activate c", [&] {
        GtkTreePath *p = gtk_tree_path_new_from_indices(1, -1);
        gtk_tree_view_row_activated(GTK_TREE_VIEW(s.ctx->entries[ENTRY_SUBCLIPS_LIST]), p, nullptr);
        gtk_tree_path_free(p);
        EXPECT_EQ(sc.idx, 2);
        EXPECT_EQ(s.text(ENTRY_MARK_IN), "10:00:08:00");
    });
    s.wait_at(200);
    s.act("save", [&] { gtk_dialog_response(GTK_DIALOG(s.dlg), GTK_RESPONSE_ACCEPT); });
    EXPECT_EQ(s.run(&srv, &sc, -1, 0, &list), 1);
    EXPECT_STREQ(sc.title, "c");
    ASSERT_NE(list, nullptr);
    std::vector<std::string> got;
    for (pelmora_lib_subclip_t **p = list; *p; p++)
        got.push_back(std::string((*p)->title) + "@" + std::to_string((*p)->mark_in) + "#" + std::to_string((*p)->idx));
    EXPECT_EQ(got, (std::vector<std::string>{"b2@100#1", "c@200#2", "new@100#3"}));
    pelmora_lib_list_subclips_free(&list);
}

/* MARK IN set at a frame, the player sent elsewhere and back: the preview
 * shows that frame as ffmpeg decodes it. Then the time line's pointer is
 * dragged with real pointer events and the player follows. */
TEST_F(SubclipDialog, MarkInFrameIsThePicture)
{
    NEED_DISPLAY();
    ASSERT_TRUE(start("/tc25.mkv"));
    const int F = 37, X[3] = {30, 240, 450}, Y[3] = {20, 135, 250};
    std::string raw = decoded_frame(work + "/media/tc25.mkv", F);
    ASSERT_EQ(raw.size(), 320u * 180 * 3);
    pelmora_lib_subclip_t sc = {-1, 0, 0, "", &item};
    script s;
    GtkWidget *area = nullptr;
    auto px = [&](int x, int y, int c) {
        GdkPixbuf *pb = gdk_pixbuf_get_from_drawable(nullptr, area->window, nullptr, x, y, 0, 0, 1, 1);
        int v = pb ? gdk_pixbuf_get_pixels(pb)[c] : -1;
        if (pb)
            g_object_unref(pb);
        return v;
    };
    auto shows = [&](int frame) { return abs(px(240, 135, 2) - (frame * 8) % 256) <= 3; };
    s.step("shown", [&] { return s.ctx->status_here; });
    s.act("to the frame", [&] { s.type(ENTRY_CURR, "1:12"); }); /* 1 s 12 frames */
    s.wait_at(F);
    s.act("mark in, away", [&] {
        s.key(GDK_i);
        EXPECT_EQ(sc.mark_in, F);
        s.key(GDK_Page_Down);
    });
    s.wait_at(F + 25);
    s.act("back to mark in", [&] {
        /* The first drawing area is the preview's picture. */
        area = widgets_find_child(s.dlg, GTK_TYPE_DRAWING_AREA);
        ASSERT_TRUE(area && pelmora_io_preview_get(area) && pelmora_io_preview_get(area)->ndi_window == area);
        s.click(ENTRY_GOTO_MARK_IN);
    });
    s.wait_at(F);
    s.step("the frame drawn", [&] { return shows(F); });
    s.act("compared with ffmpeg's", [&] {
        for (int x : X)
            for (int y : Y)
                for (int c = 0; c < 3; c++) {
                    int want = (unsigned char)raw[((size_t)(y * 2 / 3) * 320 + (size_t)(x * 2 / 3)) * 3 + c];
                    EXPECT_NEAR(px(x, y, c), want, 6) << x << "," << y << " channel " << c;
                }
    });
    /* Real pointer: press on the pointer (frame 37 = 1.48 s of 12 s on 792
     * pixels), drag 300 pixels right, release. */
    int x0 = 0, ox = 0, oy = 0, target = 0;
    GdkWindow *w = nullptr;
    s.act("press on the pointer", [&] {
        w = gtk_widget_get_window(s.ctx->entries[ENTRY_TIMELINE]);
        gdk_window_raise(gtk_widget_get_window(s.dlg));
        x0 = (int)(1.48 * 792 / 12) + 4;
        gdk_window_get_origin(w, &ox, &oy);
        EXPECT_TRUE(gdk_test_simulate_button(w, x0, 26, 1, (GdkModifierType)0, GDK_BUTTON_PRESS));
    });
    for (int d = 50; d <= 300; d += 50)
        s.act("drag", [&, d] {
            EXPECT_EQ(TIMELINE_SUBCLIP(s.ctx->entries[ENTRY_TIMELINE])->drag_target, 4);
            gdk_display_warp_pointer(gdk_display_get_default(), gdk_screen_get_default(), ox + x0 + d, oy + 26);
        });
    s.act("release", [&] {
        gdk_test_simulate_button(w, x0 + 300, 26, 1, (GdkModifierType)0, GDK_BUTTON_RELEASE);
        target = tc_sec2frames_tb(12.0 * (x0 + 300 - 4) / 792, 1, 25);
    });
    s.step("player follows the drag", [&] {
        return target > F + 100 && abs(s.ctx->status.clip_pos - target) <= 1 && shows(s.ctx->status.clip_pos);
    });
    s.act("close", [&] {
        EXPECT_EQ(TIMELINE_SUBCLIP(s.ctx->entries[ENTRY_TIMELINE])->drag_target, 0);
        gtk_dialog_response(GTK_DIALOG(s.dlg), GTK_RESPONSE_REJECT);
    });
    EXPECT_EQ(s.run(&srv, &sc, 0, 0, nullptr), 0);
    EXPECT_EQ(s.questions, 1); /* MARK IN was set */
}

/* Typed positions outside the clip are refused on the editor's notice line
 * (no box, the entry keeps the text to be typed over, nothing changes);
 * inside it they are taken and the notice goes. The reset keys count as
 * changes: closing asks. */
TEST_F(SubclipDialog, TypedPositionOutsideTheClipIsRefusedInTheEditor)
{
    NEED_DISPLAY();
    ASSERT_TRUE(start("/tc25.mkv"));
    pelmora_lib_subclip_t sc = {-1, 0, 0, "", &item};
    script s;
    s.step("shown", [&] { return s.ctx->status_here; });
    s.act("outside", [&] {
        for (const char *t : {"10:00:12:00", "09:59:59:24", "99:00:00:00"}) {
            s.type(ENTRY_MARK_IN, t);
            EXPECT_NE(s.notice().find(std::string(t) + " lies outside the clip (10:00:00:00 to 10:00:11:24)"),
                      std::string::npos)
                << s.notice();
            EXPECT_EQ(s.focus(), s.ctx->entries[ENTRY_MARK_IN]);
            EXPECT_EQ(s.text(ENTRY_MARK_IN), t);
        }
        s.type(ENTRY_MARK_OUT, "10:00:12:00");
        EXPECT_NE(s.notice().find("lies outside the clip"), std::string::npos);
        s.type(ENTRY_CURR, "11:00");
        EXPECT_NE(s.notice().find("lies outside the clip"), std::string::npos);
        EXPECT_EQ(s.focus(), s.ctx->entries[ENTRY_CURR]);
        EXPECT_EQ(question(), nullptr);
        EXPECT_EQ(sc.mark_in, 0);
        EXPECT_EQ(sc.duration, 300);
        EXPECT_EQ(s.ctx->f_dirty, 0);
    });
    s.act("inside, free form", [&] {
        s.type(ENTRY_MARK_OUT, "10:00:11:24"); /* the last frame */
        EXPECT_EQ(s.notice(), "");
        EXPECT_EQ(sc.duration, 300);
        s.type(ENTRY_MARK_IN, "10000200"); /* 10:00:02:00 */
        EXPECT_EQ(sc.mark_in, 50);
        EXPECT_EQ(sc.duration, 250);
        s.type(ENTRY_CURR, "10:00:04:00");
        EXPECT_EQ(s.focus(), s.ctx->entries[ENTRY_TIMELINE]);
    });
    s.wait_at(100);
    s.act("reset keys, close", [&] {
        s.key(GDK_g);
        EXPECT_EQ(sc.mark_in, 0);
        EXPECT_EQ(sc.duration, 300);
        EXPECT_EQ(s.ctx->f_dirty, 3);
        gtk_dialog_response(GTK_DIALOG(s.dlg), GTK_RESPONSE_REJECT);
    });
    EXPECT_EQ(s.run(&srv, &sc, -1, 0, nullptr), 0);
    EXPECT_EQ(s.questions, 1);
}

/* Save with a list stores what the operator changed and did not put in the
 * list yet, and nothing when nothing changed: an untouched free subclip
 * adds no row, a changed one is added, a changed row is written back, and
 * one whose out point lies before its in point keeps the editor open. */
TEST_F(SubclipDialog, SaveStoresChangesNotYetInTheList)
{
    NEED_DISPLAY();
    ASSERT_TRUE(start("/tc25.mkv"));
    auto titles = [](pelmora_lib_subclip_t **l) {
        std::vector<std::string> v;
        for (pelmora_lib_subclip_t **p = l; p && *p; p++)
            v.push_back(std::string((*p)->title) + "@" + std::to_string((*p)->mark_in) + "+" +
                        std::to_string((*p)->duration));
        return v;
    };
    pelmora_lib_subclip_t **list = (pelmora_lib_subclip_t **)calloc(2, sizeof(*list));
    list[0] = rec(0, 100, 50, "a", &item);
    {
        SCOPED_TRACE("untouched");
        pelmora_lib_subclip_t sc = {-1, 0, 0, "", &item};
        script s;
        s.step("shown", [&] { return s.ctx->status_here; });
        s.act("save", [&] { gtk_dialog_response(GTK_DIALOG(s.dlg), GTK_RESPONSE_ACCEPT); });
        EXPECT_EQ(s.run(&srv, &sc, -1, 0, &list), 1);
        EXPECT_EQ(titles(list), (std::vector<std::string>{"a@100+50"}));
    }
    {
        SCOPED_TRACE("free subclip marked");
        pelmora_lib_subclip_t sc = {-1, 0, 0, "", &item};
        script s;
        s.step("shown", [&] { return s.ctx->status_here; });
        s.act("out before in, save", [&] {
            s.type(ENTRY_MARK_OUT, "10:00:02:00");
            s.type(ENTRY_MARK_IN, "10:00:03:00");
            EXPECT_EQ(sc.duration, -24);
            gtk_dialog_response(GTK_DIALOG(s.dlg), GTK_RESPONSE_ACCEPT);
        });
        s.step("kept open", [&] {
            EXPECT_TRUE(gtk_widget_get_visible(s.dlg));
            return s.notice().find("out point lies before the in point") != std::string::npos;
        });
        s.act("mark out, title, save", [&] {
            s.type(ENTRY_MARK_OUT, "10:00:05:00");
            gtk_entry_set_text(GTK_ENTRY(s.ctx->entries[ENTRY_TITLE]), "b");
            gtk_dialog_response(GTK_DIALOG(s.dlg), GTK_RESPONSE_ACCEPT);
        });
        EXPECT_EQ(s.run(&srv, &sc, -1, 0, &list), 1);
        EXPECT_EQ(titles(list), (std::vector<std::string>{"a@100+50", "b@75+51"}));
    }
    {
        SCOPED_TRACE("row retitled");
        pelmora_lib_subclip_t sc = *list[0];
        script s;
        s.step("shown", [&] { return s.ctx->status_here; });
        s.act("retitle, save", [&] {
            gtk_entry_set_text(GTK_ENTRY(s.ctx->entries[ENTRY_TITLE]), "a2");
            gtk_dialog_response(GTK_DIALOG(s.dlg), GTK_RESPONSE_ACCEPT);
        });
        EXPECT_EQ(s.run(&srv, &sc, -1, 0, &list), 1);
        EXPECT_EQ(titles(list), (std::vector<std::string>{"a2@100+50", "b@75+51"}));
    }
    pelmora_lib_list_subclips_free(&list);
}
