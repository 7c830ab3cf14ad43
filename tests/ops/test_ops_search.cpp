// The search window of a bus against pelmora-sim: successive hits by "Find
// next" and F3, the reset after the last hit, an empty key, the window's keys
// and fields, and the window brought back by Ctrl+F as it was left.
#include <gtest/gtest.h>

#include <gdk/gdkkeysyms.h>

#include "bus.h"
#include "ops_support.h"
#include "pelmorabox.h"
#include "ui_bus.h"
#include "ui_search.h"

namespace {

class OpsSearch : public OpsTest
{
  protected:
    void SetUp() override
    {
        OpsTest::SetUp();
        if (IsSkipped())
            return;
        std::vector<std::string> l;
        for (int i = 0; i < 12; i++) {
            char media[64], title[64];
            snprintf(media, sizeof media, "demo/clip%03d.mxf", i + 1);
            snprintf(title, sizeof title, i == 3 || i == 8 ? "Evening News %d" : "Item %d", i);
            l.push_back(ops_event_line("00:00:10:00", media, title));
        }
        l[10] = ops_event_line("00:00:10:00", "promo/news_tease.mxf", "Tease");
        data = engine_data_dir({{"twelve", l}});
        start_sim({"--playlist", "twelve"});
        start_console();
        ASSERT_TRUE(wait_filled(bus(), 12));
    }
    playlist_search_window_t *ctx() { return ui_search_ctx(bus()); }
};

TEST_F(OpsSearch, FindThenF3VisitsEachHitAndStartsOverAfterTheLast)
{
    bus_t *b = bus();
    ASSERT_NE(ctx(), nullptr);
    EXPECT_FALSE(gtk_widget_get_visible(ctx()->wnd)) << "created hidden";
    EXPECT_EQ(ui_search_flags(b), 1 | 2 | 32 | 64) << "title, media id, start time and sys_id at start";

    ASSERT_TRUE(ops_send_key(b->grid, GDK_KEY_f, GDK_CONTROL_MASK));
    ASSERT_TRUE(gtk_widget_get_visible(ctx()->wnd));
    /* Titles only: the media id of row 10 holds the key too. */
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(ctx()->checkboxes[PELMORABOX_EVENT_SEARCH_IDX_MEDIA_ID]), FALSE);
    gtk_entry_set_text(GTK_ENTRY(ctx()->entry), "news");
    gtk_button_clicked(GTK_BUTTON(ctx()->find));
    EXPECT_EQ(ops_cursor_row(b), 3);
    EXPECT_EQ(ctx()->last, 3);
    EXPECT_FALSE(gtk_widget_get_visible(ctx()->wnd)) << "a hit hides the window";

    ASSERT_TRUE(ops_send_key(b->grid, GDK_KEY_F3, 0));
    EXPECT_EQ(ops_cursor_row(b), 8);
    ASSERT_TRUE(ops_send_key(b->grid, GDK_KEY_F3, 0));
    EXPECT_EQ(ctx()->last, -1) << "no hit after the last one: start over next time";
    EXPECT_EQ(ops_cursor_row(b), 8);
    /* The window comes up to say so. */
    EXPECT_TRUE(gtk_widget_get_visible(ctx()->wnd));
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(ctx()->status)),
                 "No more events with \"news\"; the next search starts from the top.");
    ASSERT_TRUE(ops_send_key(b->grid, GDK_KEY_F3, 0));
    EXPECT_EQ(ops_cursor_row(b), 3);
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(ctx()->status)), "");

    /* With the media id field the tease is found as well. */
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(ctx()->checkboxes[PELMORABOX_EVENT_SEARCH_IDX_MEDIA_ID]), TRUE);
    gtk_button_clicked(GTK_BUTTON(ctx()->find_next));
    EXPECT_EQ(ops_cursor_row(b), 8);
    gtk_button_clicked(GTK_BUTTON(ctx()->find_next));
    EXPECT_EQ(ops_cursor_row(b), 10);
    /* Only the selected row is left selected. */
    EXPECT_EQ(gtk_tree_selection_count_selected_rows(gtk_tree_view_get_selection(GTK_TREE_VIEW(b->grid))), 1);
}

TEST_F(OpsSearch, EmptyKeyResetsAndAsksNothing)
{
    bus_t *b = bus();
    ui_search_set(b, "", 1, 5);
    size_t m = mark();
    EXPECT_EQ(ui_search_next(b), 0);
    EXPECT_EQ(ctx()->last, -1);
    EXPECT_EQ(calls("PelmoraBox.SearchEvent", -2, m), 0);
}

TEST_F(OpsSearch, WindowKeysAndCtrlFBringsItBackAsItWasLeft)
{
    bus_t *b = bus();
    ui_search_show(b);
    GtkWidget *w = ctx()->wnd;
    gtk_entry_set_text(GTK_ENTRY(ctx()->entry), "item 1");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(ctx()->checkboxes[PELMORABOX_EVENT_SEARCH_IDX_ASSETS]), TRUE);
    ASSERT_TRUE(ops_send_key(w, GDK_KEY_Escape, 0));
    EXPECT_FALSE(gtk_widget_get_visible(w));
    ASSERT_TRUE(ops_send_key(b->grid, GDK_KEY_f, GDK_CONTROL_MASK));
    EXPECT_TRUE(gtk_widget_get_visible(w));
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(ctx()->entry)), "item 1");
    EXPECT_EQ(ui_search_flags(b), 1 | 2 | 4 | 32 | 64);

    /* Enter searches from the start: "Item 1"; F3 goes on to "Item 11" (row
     * 10 is the tease). */
    ASSERT_TRUE(ops_send_key(w, GDK_KEY_Return, 0));
    EXPECT_EQ(ops_cursor_row(b), 1);
    ops_send_key(b->grid, GDK_KEY_f, GDK_CONTROL_MASK);
    ASSERT_TRUE(ops_send_key(w, GDK_KEY_F3, 0));
    EXPECT_EQ(ops_cursor_row(b), 11);

    /* The window manager's close only hides it. */
    ui_search_show(b);
    GdkEvent *ev = gdk_event_new(GDK_DELETE);
    ev->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(w)));
    EXPECT_TRUE(gtk_widget_event(w, ev));
    gdk_event_free(ev);
    EXPECT_FALSE(gtk_widget_get_visible(w));
    EXPECT_NE(ui_search_ctx(b), nullptr);
    gtk_button_clicked(GTK_BUTTON(ctx()->close));
    EXPECT_FALSE(gtk_widget_get_visible(w));
}

TEST_F(OpsSearch, JumpBySysIdChecksOnlyThatField)
{
    bus_t *b = bus();
    int64_t id = grid_event(b, 7)->sys_id;
    ui_search_set(b, std::to_string(id).c_str(), 1 << PELMORABOX_EVENT_SEARCH_IDX_SYS_ID, -1);
    ui_search_next(b);
    EXPECT_EQ(ops_cursor_row(b), 7);
    EXPECT_EQ(ui_search_flags(b), 64);
    EXPECT_EQ(std::string(gtk_entry_get_text(GTK_ENTRY(ctx()->entry))), std::to_string(id));
}

} // namespace
