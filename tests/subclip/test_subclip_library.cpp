/* The library's Subclip command in the real console against pelmora-sim
 * (library, IO player, stand-in preview): a clip with subclips selected in
 * the bus's library tree, its list edited in the editor and saved; what the
 * library server holds afterwards is read back from it, with registrations
 * refused or left unanswered by the simulator, and the pane's notice line
 * and the open tree are looked at. */
#include <gdk/gdkkeysyms.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "engine_support.h"
#include "library.h"
#include "library_subclip.h"
#include "library_ui.h"
#include "media_fixture.h"
#include "pelmora_io_preview.h"
#include "pelmora_lib.h"
#include "subclip_dialog.h"
#include "widgets_gui.h"

namespace {

std::string line_after(sim_child_t *c, const std::string &prefix)
{
    std::lock_guard<std::mutex> g(c->lock);
    for (const std::string &l : c->lines)
        if (l.compare(0, prefix.size(), prefix) == 0)
            return l.substr(prefix.size());
    return "";
}

/* The row titled `title` among parent's children (top level when null). */
bool child_titled(GtkTreeModel *m, GtkTreeIter *parent, const char *title, GtkTreeIter *out)
{
    for (gboolean ok = gtk_tree_model_iter_children(m, out, parent); ok; ok = gtk_tree_model_iter_next(m, out)) {
        gchar *t = nullptr;
        gtk_tree_model_get(m, out, 1, &t, -1);
        bool same = t && !strcmp(t, title);
        g_free(t);
        if (same)
            return true;
    }
    return false;
}

/* The editor while it is up, or null. */
subclip_dialog_t *editor(GtkWidget **pdlg)
{
    return gui_find_record<subclip_dialog_t>("subclip_dialog_t", pdlg);
}

void type_mark_in(subclip_dialog_t *ctx, const char *text)
{
    GtkWidget *in = ctx->entries[ENTRY_MARK_IN];
    gtk_widget_grab_focus(in);
    gtk_entry_set_text(GTK_ENTRY(in), "");
    widgets_type(in, text);
    gtk_widget_activate(in);
}

enum edit_kind
{
    UNTOUCHED, /* Save right after opening */
    EDITED,    /* first row deleted, one subclip added, another marked and Save */
};

/* Drives the editor once it is up. EDITED: of the old rows "old a" and
 * "old b" the first is deleted, "new 1" is marked and added as a new row,
 * then "new 2" is marked and the editor saved without adding it. */
struct editor_driver
{
    edit_kind kind = EDITED;
    int step = 0;
    bool saved = false;
    gint64 t0 = 0;
    static gboolean tick(gpointer p)
    {
        editor_driver *d = static_cast<editor_driver *>(p);
        GtkWidget *dlg = nullptr;
        subclip_dialog_t *ctx = editor(&dlg);
        if (!ctx)
            return TRUE;
        if (!d->t0)
            d->t0 = g_get_monotonic_time();
        if (g_get_monotonic_time() - d->t0 > 15 * G_USEC_PER_SEC) {
            ADD_FAILURE() << "the editor did not get to its end (step " << d->step << ")";
            gtk_widget_destroy(dlg);
            return FALSE;
        }
        GtkTreeView *rows = GTK_TREE_VIEW(ctx->entries[ENTRY_SUBCLIPS_LIST]);
        if (d->step == 0 && ctx->status_here &&
            gtk_tree_model_iter_n_children(gtk_tree_view_get_model(rows), nullptr) == 2) {
            if (d->kind == EDITED) {
                GtkTreeSelection *sel = gtk_tree_view_get_selection(rows);
                gtk_tree_selection_unselect_all(sel);
                GtkTreePath *first = gtk_tree_path_new_first();
                gtk_tree_selection_select_path(sel, first);
                gtk_tree_path_free(first);
                gtk_button_clicked(GTK_BUTTON(g_object_get_data(G_OBJECT(dlg), "subclip_delete")));
                type_mark_in(ctx, "00:00:01:00");
                gtk_entry_set_text(GTK_ENTRY(ctx->entries[ENTRY_TITLE]), "new 1");
                gtk_button_clicked(GTK_BUTTON(g_object_get_data(G_OBJECT(dlg), "subclip_add")));
                type_mark_in(ctx, "00:00:02:00");
                gtk_entry_set_text(GTK_ENTRY(ctx->entries[ENTRY_TITLE]), "new 2");
            }
            d->step = 1;
            d->saved = true;
            gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
            return FALSE;
        }
        return TRUE;
    }
};

struct mark
{
    int in, dur;
    std::string title;
    bool operator==(const mark &o) const { return in == o.in && dur == o.dur && title == o.title; }
};

std::ostream &operator<<(std::ostream &os, const mark &m)
{
    return os << m.title << "@" << m.in << "+" << m.dur;
}

/* What the library server holds for the clip, read from the server. */
std::vector<mark> held(const std::string &url)
{
    pelmora_lib_item_t item;
    memset(&item, 0, sizeof item);
    pelmora_lib_subclip_t **subs = nullptr;
    std::vector<mark> v;
    EXPECT_GE(pelmora_lib_list_subclips(url.c_str(), "/clip.mkv", &subs, &item), 0);
    for (int i = 0; subs && subs[i]; i++)
        v.push_back({subs[i]->mark_in, subs[i]->duration, subs[i]->title});
    if (subs)
        pelmora_lib_list_subclips_free(&subs);
    return v;
}

const std::vector<mark> old_list = {{0, 50, "old a"}, {100, 50, "old b"}};
const std::vector<mark> new_list = {{100, 50, "old b"}, {25, 225, "new 1"}, {50, 200, "new 2"}};

struct command_case
{
    edit_kind kind = EDITED;
    int refuse_nth = 0;            /* refuse that registration of the save (1 the first) */
    std::string hang;              /* a method that gets no answer once the seeds are in */
    std::vector<mark> want;        /* what the server must hold afterwards */
    std::vector<std::string> said; /* what the pane's notice line must say */
};

} // namespace

/* One run of the command in the real console: the clip has the subclips
 * old_list on the server, the editor is driven as `c.kind` says and saved;
 * the server is read back and the pane's notice line looked at. */
void subclip_command_case(const command_case &c)
{
    char dir[] = "/tmp/subclip_lib_XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string work = dir;
    mkdir((work + "/media").c_str(), 0700);
    setenv("PELMORA_PREVIEW_ANNOUNCE", (work + "/announce").c_str(), 1);
    ASSERT_TRUE(media_test_pattern(work + "/media/clip.mkv", 10));
    setenv("NDI_RUNTIME_DIR_V3", PELMORA_PREVIEW_RUNTIME_DIR, 1);
    int prv = pelmora_io_preview_init();

    /* The editor registers through the preview server; the two seeds are
     * its first two registrations there. */
    std::vector<std::string> args = {"--automation=0", "--data=" + work, "--library=0", "--media=" + work + "/media",
                                     "--io=0",         "--log-calls"};
    if (c.refuse_nth)
        args.push_back("--refuse=PelmoraLib.LibRegisterSubclip:" + std::to_string(c.refuse_nth + 2));
    if (!c.hang.empty()) {
        args.push_back("--hang=" + c.hang);
        args.push_back("--faults-off");
    }
    sim_child_t sim;
    ASSERT_GE(sim_child_start(&sim, sim_child_bin(), args), 0);
    const std::string lib = "127.0.0.1:" + line_after(&sim, "library port ");
    const std::string io = "127.0.0.1:" + line_after(&sim, "io port ");
    const std::string lib_url = "http://" + lib + "/RPC2", io_url = "http://" + io + "/RPC2";
    /* Stopped however the case ends. */
    std::unique_ptr<sim_child_t, int (*)(sim_child_t *)> stop_sim(&sim, sim_child_stop);

    engine_app e;
    std::vector<std::string> cargs = engine_bus_args(sim.hostport, 1);
    cargs.push_back("--lib=" + lib);
    cargs.push_back("--io-preview=" + io);
    ASSERT_TRUE(e.create(cargs));
    gtk_widget_show(e.app->window);
    instance_init(e.app);
    for (const mark &m : old_list)
        ASSERT_EQ(pelmora_lib_register_subclip(io_url.c_str(), "/clip.mkv", m.in, m.dur, m.title.c_str()), 0);
    if (!c.hang.empty()) {
        kill(sim.pid, SIGUSR1);
        ASSERT_TRUE(engine_run_until([&] { return sim_child_count(&sim, "faults on") == 1; }, 5000));
    }
    bus_t *bus = &e.app->bus.list[0];
    GtkTreeView *view = GTK_TREE_VIEW(bus->lib.ui[LIBRARY_UI_CLIPS_TREE]);
    GtkTreeModel *m = gtk_tree_view_get_model(view);

    /* The operator opens the library and selects the clip. */
    GtkTreePath *first = gtk_tree_path_new_first();
    gtk_tree_view_expand_row(view, first, FALSE);
    gtk_tree_path_free(first);
    GtkTreeIter root, clip;
    ASSERT_TRUE(engine_run_until(
        [&] { return gtk_tree_model_get_iter_first(m, &root) && child_titled(m, &root, "clip.mkv", &clip); }, 10000));
    gtk_tree_selection_unselect_all(gtk_tree_view_get_selection(view));
    gtk_tree_selection_select_iter(gtk_tree_view_get_selection(view), &clip);

    editor_driver d;
    d.kind = c.kind;
    guint id = gdk_threads_add_timeout(50, editor_driver::tick, &d);
    EXPECT_EQ(library_subclip_dialog(&bus->lib), 0);
    if (!d.saved)
        g_source_remove(id);
    ASSERT_TRUE(d.saved) << "the editor was not driven to its end (step " << d.step << ")";

    EXPECT_EQ(held(lib_url), c.want);
    const char *said = library_ui_notice_text(&bus->lib);
    std::string line = said ? said : "";
    for (const std::string &s : c.said)
        EXPECT_NE(line.find(s), std::string::npos) << "the pane says [" << line << "], not [" << s << "]";
    if (c.said.empty()) {
        EXPECT_EQ(line, "");
    }
    if (c.kind == UNTOUCHED) {
        EXPECT_EQ(sim_child_count(&sim, "call PelmoraLib.LibRegisterSubclip"), 2); /* the seeds */
        EXPECT_EQ(sim_child_count(&sim, "call PelmoraLib.LibDeleteSubclip"), 0);
    }

    /* The open tree shows what the server holds under the clip. */
    const std::string last = c.want.back().title;
    bool shown = engine_run_until(
        [&] {
            GtkTreeIter r, cl, s;
            if (!gtk_tree_model_get_iter_first(m, &r) || !child_titled(m, &r, "clip.mkv", &cl))
                return false;
            GtkTreePath *p = gtk_tree_model_get_path(m, &cl);
            gtk_tree_view_expand_row(view, p, FALSE);
            gtk_tree_path_free(p);
            return child_titled(m, &cl, last.c_str(), &s) &&
                   gtk_tree_model_iter_n_children(m, &cl) == (int)c.want.size();
        },
        10000);
    EXPECT_TRUE(shown) << "the tree does not show the subclips the server holds";

    GdkEvent *ev = gdk_event_new(GDK_DELETE);
    ev->any.window = GDK_WINDOW(g_object_ref(e.app->window->window));
    gtk_main_do_event(ev);
    gdk_event_free(ev);
    gtk_main();
    instance_release(e.app);
    EXPECT_EQ(sim_child_stop(stop_sim.release()), 0);
    if (prv >= 0)
        pelmora_io_preview_release();
    system(("rm -rf " + work).c_str());
}

/* The list as edited reaches the server, with the subclip marked but not
 * yet added, and the open tree. */
TEST(SubclipLibrary, SavedListReachesTheServerAndTheOpenTree)
{
    if (!engine_gtk_ready())
        GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
    subclip_command_case({EDITED, 0, "", new_list, {}});
}

/* Opened and saved without a change: nothing registered, nothing removed. */
TEST(SubclipLibrary, UntouchedEditorRegistersNothing)
{
    if (!engine_gtk_ready())
        GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
    subclip_command_case({UNTOUCHED, 0, "", old_list, {}});
}

/* A registration refused, the first, the second or the last of three: the
 * server keeps every old subclip (the new ones registered before it are
 * taken back), and the pane says which one was refused. */
TEST(SubclipLibrary, RefusedRegistrationKeepsTheOldSubclips)
{
    if (!engine_gtk_ready())
        GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
    for (int n : {1, 2, 3}) {
        SCOPED_TRACE("registration " + std::to_string(n) + " refused");
        subclip_command_case({EDITED,
                              n,
                              "",
                              old_list,
                              {"/clip.mkv not saved", "refused subclip " + std::to_string(n) + " of 3",
                               "keeps its subclips as they were (2)"}});
    }
}

/* A registration or a removal without an answer: nothing more is changed,
 * the outcome is said to be unknown and what the server holds is read
 * back; no old subclip is lost either way. */
TEST(SubclipLibrary, UnansweredCallsLoseNothingAndSaySo)
{
    if (!engine_gtk_ready())
        GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
    {
        SCOPED_TRACE("registration unanswered");
        subclip_command_case({EDITED,
                              0,
                              "PelmoraLib.LibRegisterSubclip",
                              old_list,
                              {"no answer", "unknown", "keeps its subclips as they were (2)"}});
    }
    {
        SCOPED_TRACE("removal unanswered");
        std::vector<mark> both = old_list;
        both.insert(both.end(), new_list.begin(), new_list.end());
        subclip_command_case(
            {EDITED, 0, "PelmoraLib.LibDeleteSubclip", both, {"no answer", "unknown", "holds 5 subclips"}});
    }
}
