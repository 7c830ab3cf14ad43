/* The library's Subclip command in the real console against pelmora-sim
 * (library, IO player, stand-in preview): a clip selected in the bus's
 * library tree, a subclip marked and added in the editor and saved; the
 * library server holds it and the open tree shows it. */
#include <gdk/gdkkeysyms.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "engine_support.h"
#include "library.h"
#include "library_subclip.h"
#include "library_ui.h"
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

/* Drives the editor once it is up: in point typed, title, added as a new
 * subclip, saved. */
struct editor_driver
{
    int step = 0;
    bool saved = false;
    static gboolean tick(gpointer p)
    {
        editor_driver *d = static_cast<editor_driver *>(p);
        GList *all = gtk_window_list_toplevels();
        GtkWidget *dlg = nullptr;
        for (GList *l = all; l && !dlg; l = l->next)
            if (gtk_widget_get_visible(GTK_WIDGET(l->data)) && g_object_get_data(G_OBJECT(l->data), "subclip_dialog_t"))
                dlg = GTK_WIDGET(l->data);
        g_list_free(all);
        if (!dlg)
            return TRUE;
        auto *ctx = static_cast<subclip_dialog_t *>(g_object_get_data(G_OBJECT(dlg), "subclip_dialog_t"));
        if (d->step == 0 && ctx->status_here) {
            GtkWidget *in = ctx->entries[ENTRY_MARK_IN];
            gtk_widget_grab_focus(in);
            gtk_entry_set_text(GTK_ENTRY(in), "");
            widgets_type(in, "00:00:01:00");
            gtk_widget_activate(in);
            gtk_entry_set_text(GTK_ENTRY(ctx->entries[ENTRY_TITLE]), "opening shot");
            gtk_button_clicked(GTK_BUTTON(g_object_get_data(G_OBJECT(dlg), "subclip_add")));
            d->step = 1;
        } else if (d->step == 1) {
            GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(ctx->entries[ENTRY_SUBCLIPS_LIST]));
            if (gtk_tree_model_iter_n_children(m, nullptr) == 1) {
                d->saved = true;
                d->step = 2;
                gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
                return FALSE;
            }
        }
        return TRUE;
    }
};

} // namespace

/* One run of the command; with `refuse` the server refuses every
 * registration and the operator must be told on the pane. */
void subclip_command_case(bool refuse)
{
    char dir[] = "/tmp/subclip_lib_XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string work = dir;
    mkdir((work + "/media").c_str(), 0700);
    setenv("PELMORA_PREVIEW_ANNOUNCE", (work + "/announce").c_str(), 1);
    ASSERT_EQ(
        system(
            ("ffmpeg -v error -f lavfi -i testsrc=d=10:s=160x90:r=25 -c:v ffv1 " + work + "/media/clip.mkv").c_str()),
        0);
    setenv("NDI_RUNTIME_DIR_V3", PELMORA_PREVIEW_RUNTIME_DIR, 1);
    int prv = pelmora_io_preview_init();

    sim_child_t sim;
    ASSERT_GE(sim_child_start(&sim, sim_child_bin(),
                              {"--automation=0", "--data=" + work, "--library=0", "--media=" + work + "/media",
                               "--io=0", refuse ? "--refuse=PelmoraLib.LibRegisterSubclip" : "--log-calls"}),
              0);
    const std::string lib = "127.0.0.1:" + line_after(&sim, "library port ");
    const std::string io = "127.0.0.1:" + line_after(&sim, "io port ");

    engine_app e;
    std::vector<std::string> args = engine_bus_args(sim.hostport, 1);
    args.push_back("--lib=" + lib);
    args.push_back("--io-preview=" + io);
    ASSERT_TRUE(e.create(args));
    gtk_widget_show(e.app->window);
    instance_init(e.app);
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
    guint id = gdk_threads_add_timeout(50, editor_driver::tick, &d);
    EXPECT_EQ(library_subclip_dialog(&bus->lib), 0);
    if (!d.saved)
        g_source_remove(id);
    ASSERT_TRUE(d.saved) << "the editor was not driven to its end (step " << d.step << ")";

    if (refuse) {
        const char *said = library_ui_notice_text(&bus->lib);
        EXPECT_NE(strstr(said ? said : "", "1 of 1 subclips of /clip.mkv were not saved"), nullptr)
            << "the pane says [" << (said ? said : "") << "]";
    } else {
        /* The library server holds the subclip... */
        pelmora_lib_item_t item;
        memset(&item, 0, sizeof item);
        pelmora_lib_subclip_t **subs = nullptr;
        const std::string lib_url = "http://" + lib + "/RPC2";
        ASSERT_EQ(pelmora_lib_list_subclips(lib_url.c_str(), "/clip.mkv", &subs, &item), 1);
        EXPECT_STREQ(subs[0]->title, "opening shot");
        EXPECT_EQ(subs[0]->mark_in, 25);
        EXPECT_EQ(subs[0]->duration, 250 - 25);
        pelmora_lib_list_subclips_free(&subs);

        /* ...and the open tree shows it under the clip. */
        bool shown = engine_run_until(
            [&] {
                GtkTreeIter r, c, s;
                if (!gtk_tree_model_get_iter_first(m, &r) || !child_titled(m, &r, "clip.mkv", &c))
                    return false;
                GtkTreePath *p = gtk_tree_model_get_path(m, &c);
                gtk_tree_view_expand_row(view, p, FALSE);
                gtk_tree_path_free(p);
                return child_titled(m, &c, "opening shot", &s);
            },
            10000);
        EXPECT_TRUE(shown) << "the tree does not show the saved subclip";
    }

    GdkEvent *ev = gdk_event_new(GDK_DELETE);
    ev->any.window = GDK_WINDOW(g_object_ref(e.app->window->window));
    gtk_main_do_event(ev);
    gdk_event_free(ev);
    gtk_main();
    instance_release(e.app);
    EXPECT_EQ(sim_child_stop(&sim), 0);
    if (prv >= 0)
        pelmora_io_preview_release();
    system(("rm -rf " + work).c_str());
}

TEST(SubclipLibrary, SavedSubclipReachesTheServerAndTheOpenTree)
{
    if (!engine_gtk_ready())
        GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
    subclip_command_case(false);
}

TEST(SubclipLibrary, RefusedRegistrationIsSaidOnThePane)
{
    if (!engine_gtk_ready())
        GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
    subclip_command_case(true);
}
