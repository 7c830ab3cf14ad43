// Drag and drop onto a bus, each drag a real pointer drag on the display:
// three events moved within a bus keep their order at the drop place and
// leave their old place; events dragged onto another bus's tab and then its
// grid are copied there while the first bus stays as it was; a folder, a
// 10 s clip and a subclip dragged from the library make two events with
// their marks; addresses that no library row holds are never read; a Shift
// drag onto another bus deletes nothing there.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include "bus_dnd.h"
#include "lib_console.h"
#include "library_ui.h"
#include "pelmora_lib.h"
#include "pelmorabox.h"
#include "ui_bus.h"

namespace {

std::vector<std::string> events(const char *prefix, int n)
{
    std::vector<std::string> l;
    for (int i = 0; i < n; i++) {
        char media[64], title[32];
        snprintf(media, sizeof media, "demo/clip%03d.mxf", i);
        snprintf(title, sizeof title, "%s%d", prefix, i);
        l.push_back(ops_event_line("00:00:20:00", media, title));
    }
    return l;
}

class Dnd : public LibConsoleTest
{
  protected:
    void grid_point(bus_t *b, int row_idx, int *x, int *y)
    {
        GtkTreePath *p = row_idx >= 0 ? gtk_tree_path_new_from_indices(row_idx, -1) : nullptr;
        row_point(GTK_TREE_VIEW(b->grid), p, x, y);
        if (p)
            gtk_tree_path_free(p);
    }
};

TEST_F(Dnd, ThreeEventsMovedWithinABusKeepTheirOrderAndLeaveTheirPlace)
{
    start_all(1, {events("A", 6)});
    ASSERT_TRUE(wait_filled(bus(0), 6));
    ops_select_rows(bus(0), {1, 2, 3});
    int x0, y0, x1, y1;
    grid_point(bus(0), 2, &x0, &y0);
    grid_point(bus(0), 5, &x1, &y1);
    size_t m = mark();
    ASSERT_TRUE(x_drag(x0, y0, x1, y1));
    EXPECT_TRUE(wait_titles(bus(0), {"A0", "A4", "A1", "A2", "A3", "A5"})) << ::testing::PrintToString(titles(bus(0)));
    EXPECT_EQ(calls("PelmoraBox.InsertEvent2", 0, m), 3);
    EXPECT_EQ(calls("PelmoraBox.DeleteEvents2", 0, m), 1);
}

TEST_F(Dnd, EventsDraggedToAnotherBusAreCopiedAndTheFirstBusStays)
{
    start_all(2, {events("A", 4), events("B", 3)});
    show_page(1);
    ASSERT_TRUE(wait_filled(bus(1), 3));
    show_page(0);
    ASSERT_TRUE(wait_filled(bus(0), 4));
    ops_select_rows(bus(0), {0, 2});
    int x0, y0, x1, y1;
    grid_point(bus(0), 0, &x0, &y0);
    /* Bus B's grid lies where A's does once its page is on screen. */
    grid_point(bus(0), 1, &x1, &y1);
    GtkWidget *tab = gtk_notebook_get_tab_label(GTK_NOTEBOOK(e.app->apps_notebook),
                                                gtk_notebook_get_nth_page(GTK_NOTEBOOK(e.app->apps_notebook), 1));
    int tx, ty;
    gdk_window_get_origin(gtk_widget_get_window(tab), &tx, &ty);
    tx += tab->allocation.x + tab->allocation.width / 2;
    ty += tab->allocation.y + tab->allocation.height / 2;
    size_t m = mark();
    ASSERT_TRUE(x_drag(x0, y0, x1, y1, tx, ty));
    EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(e.app->apps_notebook)), 1) << "the tab did not switch";
    EXPECT_TRUE(wait_titles(bus(1), {"B0", "A0", "A2", "B1", "B2"})) << ::testing::PrintToString(titles(bus(1)));
    EXPECT_EQ(calls("PelmoraBox.DeleteEvents2", -2, m), 0);
    show_page(0);
    EXPECT_TRUE(wait_titles(bus(0), {"A0", "A1", "A2", "A3"}));
}

/* The same drag with Shift held from the moment the drag has begun (Shift
 * on the press would change the selection): the toolkit then offers the
 * move alone. xdotool runs while the main loop goes on. */
bool x_shift_drag(int x0, int y0, int x1, int y1, int tx, int ty)
{
    std::vector<std::string> cmd = {"xdotool", "mousemove", std::to_string(x0), std::to_string(y0),
                                    "sleep",   "0.3",       "mousedown",        "1",
                                    "sleep",   "0.2"};
    auto step = [&](int x, int y, const char *rest) {
        for (std::string w :
             {std::string("mousemove"), std::to_string(x), std::to_string(y), std::string("sleep"), std::string(rest)})
            cmd.push_back(w);
    };
    step(x0, y0 + 12, "0.15");
    for (const char *w : {"keydown", "shift", "sleep", "0.15"})
        cmd.push_back(w);
    step(x0, y0 + 14, "0.15");
    step(tx, ty, "0.15");
    step(tx + 2, ty + 1, "1.5"); /* the tab switches its page */
    step(tx + 3, ty + 2, "0.15");
    step((x0 + x1) / 2, (y0 + y1) / 2, "0.15");
    step(x1, y1 + 1, "0.15");
    step(x1, y1, "0.3");
    for (const char *w : {"mouseup", "1", "sleep", "0.1", "keyup", "shift"})
        cmd.push_back(w);
    std::vector<char *> argv;
    for (std::string &w : cmd)
        argv.push_back(const_cast<char *>(w.c_str()));
    argv.push_back(nullptr);
    GPid pid = 0;
    if (!g_spawn_async(nullptr, argv.data(), nullptr, (GSpawnFlags)(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD),
                       nullptr, nullptr, &pid, nullptr))
        return false;
    int status = -1;
    bool reaped = false;
    bool done = engine_run_until([&] { return reaped || (reaped = waitpid(pid, &status, WNOHANG) == pid); }, 20000);
    g_spawn_close_pid(pid);
    engine_run_for(300);
    return done && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

/* Shift offers the move alone; onto another bus it is still a copy there,
 * and the target is never sent a delete of the source's events. */
TEST_F(Dnd, ShiftDragOntoAnotherBusDeletesNothingOnTheTarget)
{
    start_all(2, {events("A", 4), events("B", 3)});
    show_page(1);
    ASSERT_TRUE(wait_filled(bus(1), 3));
    show_page(0);
    ASSERT_TRUE(wait_filled(bus(0), 4));
    ops_select_rows(bus(0), {0, 2});
    int x0, y0, x1, y1;
    grid_point(bus(0), 0, &x0, &y0);
    grid_point(bus(0), 1, &x1, &y1);
    GtkWidget *tab = gtk_notebook_get_tab_label(GTK_NOTEBOOK(e.app->apps_notebook),
                                                gtk_notebook_get_nth_page(GTK_NOTEBOOK(e.app->apps_notebook), 1));
    int tx, ty;
    gdk_window_get_origin(gtk_widget_get_window(tab), &tx, &ty);
    tx += tab->allocation.x + tab->allocation.width / 2;
    ty += tab->allocation.y + tab->allocation.height / 2;
    /* The drop's action as the target saw it: the test is only worth its
     * name when it was a move. */
    struct seen_drop
    {
        GtkWidget *grid;
        GdkDragAction action;
    } seen = {bus(1)->grid, (GdkDragAction)0};
    /* A hook: the grid's own handler stops the emission. */
    guint sig = g_signal_lookup("drag-data-received", GTK_TYPE_WIDGET);
    gulong hook = g_signal_add_emission_hook(
        sig, 0,
        [](GSignalInvocationHint *, guint n, const GValue *v, gpointer p) -> gboolean {
            auto *s = static_cast<seen_drop *>(p);
            if (n > 1 && g_value_get_object(&v[0]) == s->grid)
                s->action = GDK_DRAG_CONTEXT(g_value_get_object(&v[1]))->action;
            return TRUE;
        },
        &seen, nullptr);
    size_t m = mark();
    bool dragged = x_shift_drag(x0, y0, x1, y1, tx, ty);
    g_signal_remove_emission_hook(sig, hook);
    ASSERT_TRUE(dragged);
    EXPECT_EQ(seen.action, GDK_ACTION_MOVE) << "Shift did not make the drag a move";
    EXPECT_TRUE(wait_titles(bus(1), {"B0", "A0", "A2", "B1", "B2"})) << ::testing::PrintToString(titles(bus(1)));
    EXPECT_EQ(calls("PelmoraBox.InsertEvent2", 1, m), 2);
    EXPECT_EQ(calls("PelmoraBox.DeleteEvents2", -2, m), 0) << "a drop from another bus deleted on its target";
    show_page(0);
    EXPECT_TRUE(wait_titles(bus(0), {"A0", "A1", "A2", "A3"}));
}

TEST_F(Dnd, FolderClipAndSubclipFromTheLibraryMakeTwoEventsWithTheirMarks)
{
    start_all(1, {events("A", 2)}, 0, {"--helper-type-path=C@/news#logo_off"});
    ASSERT_TRUE(wait_filled(bus(0), 2));
    /* A subclip of the 12 s promo: from 2 s, 4 s long. */
    ASSERT_EQ(0, pelmora_lib_register_subclip(lib()->url, "/promos/spring_promo.mov", 50, 100, "cut1"));
    library_ui_showhide(lib(), 1);
    ASSERT_TRUE(open_path(0, "/news"));
    ASSERT_TRUE(open_path(0, "/promos/spring_promo.mov"));
    select_rows(0, {"/news", "/news/opener.mov", "/promos/spring_promo.mov#cut1"});
    GtkTreeIter it;
    ASSERT_TRUE(row(0, "/news/opener.mov", &it));
    GtkTreePath *p = gtk_tree_model_get_path(gtk_tree_view_get_model(tree()), &it);
    int x0, y0, x1, y1;
    row_point(tree(), p, &x0, &y0);
    gtk_tree_path_free(p);
    grid_point(bus(0), -1, &x1, &y1);
    ASSERT_TRUE(x_drag(x0, y0, x1, y1));
    ASSERT_TRUE(wait_titles(bus(0), {"A0", "A1", "opener.mov", "cut1"})) << ::testing::PrintToString(titles(bus(0)));
    pelmorabox_event_t *clip = grid_event(bus(0), 2), *cut = grid_event(bus(0), 3);
    EXPECT_STREQ(clip->media_id, "/news/opener.mov");
    EXPECT_STREQ(clip->mark_in, "00:00:00:00");
    EXPECT_STREQ(clip->duration, "00:00:10:00");
    EXPECT_STREQ(clip->mark_out, "00:00:09:24");
    EXPECT_EQ(clip->event_type, 'C');
    EXPECT_STREQ(clip->assets, "logo_off");
    EXPECT_STREQ(cut->media_id, "/promos/spring_promo.mov");
    EXPECT_STREQ(cut->mark_in, "00:00:02:00");
    EXPECT_STREQ(cut->duration, "00:00:04:00");
    EXPECT_STREQ(cut->mark_out, "00:00:05:24");
}

TEST_F(Dnd, SevenHundredRowsCarryTheFirst682AndForeignAddressesAreNotRead)
{
    start_all(1, {events("A", 1)}, 700);
    ASSERT_TRUE(wait_filled(bus(0), 1));
    library_ui_showhide(lib(), 1);
    ASSERT_TRUE(open_path(0, "/many"));
    ASSERT_TRUE(engine_run_until(
        [&] {
            GtkTreeIter r;
            return row(0, "/many", &r) && gtk_tree_model_iter_n_children(gtk_tree_view_get_model(tree()), &r) == 700;
        },
        20000));
    GtkTreeIter many, first, last;
    GtkTreeModel *m = gtk_tree_view_get_model(tree());
    ASSERT_TRUE(row(0, "/many", &many));
    gtk_tree_model_iter_nth_child(m, &first, &many, 0);
    gtk_tree_model_iter_nth_child(m, &last, &many, 699);
    GtkTreePath *a = gtk_tree_model_get_path(m, &first), *b = gtk_tree_model_get_path(m, &last);
    gtk_tree_selection_unselect_all(gtk_tree_view_get_selection(tree()));
    gtk_tree_selection_select_range(gtk_tree_view_get_selection(tree()), a, b);
    gtk_tree_path_free(a);
    gtk_tree_path_free(b);

    GtkSelectionData sd;
    memset(&sd, 0, sizeof sd);
    sd.target = gdk_atom_intern_static_string("application/library_row_datas");
    sd.selection = GDK_SELECTION_PRIMARY;
    GdkDragContext *ctx = gdk_drag_context_new();
    g_signal_emit_by_name(tree(), "drag-data-get", ctx, &sd, 0u, 0u);
    ASSERT_EQ(sd.length, 682 * 24);
    auto *rows = reinterpret_cast<const library_row_records_t *>(sd.data);
    EXPECT_STREQ(rows[0].item->name, "clip0000.mov");
    EXPECT_STREQ(rows[681].item->name, "clip0681.mov");
    EXPECT_FALSE(rows[5].dir || rows[5].subclip);

    /* The same bytes dropped on the grid make 682 events; the same length
     * of addresses that no row holds makes none. */
    std::vector<library_row_records_t> foreign(682);
    for (size_t i = 0; i < foreign.size(); i++)
        foreign[i].item = reinterpret_cast<pelmora_lib_item_t *>(0x1000 + 64 * i);
    GtkSelectionData bad = sd;
    bad.data = reinterpret_cast<guchar *>(foreign.data());
    size_t mk = mark();
    g_signal_emit_by_name(bus(0)->grid, "drag-data-received", ctx, 5, 5, &bad, (guint)BUS_DND_INFO_LIBRARY_ROWS, 0u);
    engine_run_for(500);
    EXPECT_EQ(calls("PelmoraBox.InsertEvent2", 0, mk), 0);
    /* An odd length is refused whole. */
    GtkSelectionData odd = sd;
    odd.length = 682 * 24 - 1;
    g_signal_emit_by_name(bus(0)->grid, "drag-data-received", ctx, 5, 5, &odd, (guint)BUS_DND_INFO_LIBRARY_ROWS, 0u);
    engine_run_for(300);
    EXPECT_EQ(calls("PelmoraBox.InsertEvent2", 0, mk), 0);
    g_free(sd.data);
    g_object_unref(ctx);
}

} // namespace
