// The bus panel without a server: the layout of one panel, the column plan
// and the options that show columns, and what bus_ui_update_event,
// bus_ui_update_time, bus_ui_set_offline and bus_ui_redraw_event_details
// make of constructed events and states (every flag combination the
// simulator cannot produce), including long start times in bus zones.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "bus.h"
#include "localtime_tz.h"
#include "panel_support.h"
#include "strl.h"
#include "timecode.h"
#include "ui.h"
#include "ui_bus.h"
#include "ui_bus_dialogs.h"
#include "ui_oled.h"

namespace {

const std::vector<std::string> one_bus = {"--add-bus=NEWS", "--host=127.0.0.1:9", "--idx=0"};

std::vector<std::string> with(std::vector<std::string> extra, const std::vector<std::string> &base = one_bus)
{
    extra.insert(extra.begin(), base.begin(), base.end());
    return extra;
}

class Panel : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!engine_gtk_ready())
            GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
        tc_setmode(TC_PAL);
    }
    void TearDown() override
    {
        if (e.app)
            for (int i = 0; i < e.app->bus.count; i++)
                if (e.app->bus.list[i].grid)
                    bus_set_list_count(&e.app->bus.list[i], 0);
    }
    bool console(const std::vector<std::string> &args) { return panel_console(e, args); }
    bus_t *bus(int i = 0) { return &e.app->bus.list[i]; }

    engine_app e;
};

struct event_guard
{
    pelmorabox_event_t *e;
    explicit event_guard(pelmorabox_event_t *ev) : e(ev) {}
    ~event_guard() { pelmorabox_event_destroy(&e); }
    pelmorabox_event_t *operator->() { return e; }
};

GtkAllocation alloc_in(GtkWidget *w, GtkWidget *top)
{
    GtkAllocation a = {};
    int x = 0, y = 0;
    gtk_widget_translate_coordinates(w, top, 0, 0, &x, &y);
    gtk_widget_get_allocation(w, &a);
    a.x = x;
    a.y = y;
    return a;
}

/* ---------------------------------------------------------------- layout */

TEST_F(Panel, ButtonsAreCreatedFromTheTableAndRegisteredOnTheParent)
{
    ASSERT_TRUE(console(one_bus));
    GtkWidget *parent = gtk_widget_get_parent(bus()->window);
    ASSERT_NE(parent, nullptr);
    EXPECT_EQ(bus()->buttons[0], nullptr);
    for (int id = 1; id <= 21; id++) {
        SCOPED_TRACE(id);
        GtkWidget *b = bus()->buttons[id];
        ASSERT_NE(b, nullptr);
        ASSERT_TRUE(GTK_IS_BUTTON(b));
        const ui_button_desc *row = ui_button_lookup_local(id);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(g_object_get_data(G_OBJECT(parent), row->hookup), b) << row->hookup;
        EXPECT_NE(g_object_get_data(G_OBJECT(b), "label"), nullptr);
    }
    for (int id = 22; id < BUS_CONTROL_BUTTONS; id++)
        EXPECT_EQ(bus()->buttons[id], nullptr) << id;
    /* Presses on the preview button reach the list dialogs' handler. */
    EXPECT_NE(g_signal_handler_find(bus()->buttons[BUTTON_LIST_ITEM_PREVIEW],
                                    (GSignalMatchType)(G_SIGNAL_MATCH_FUNC | G_SIGNAL_MATCH_DATA), 0, 0, nullptr,
                                    (gpointer)on_button_playlist_item_preview_press_event, bus()),
              0u);
    /* The table carries the rows the other windows create themselves. */
    for (int id = 22; id < BUTTON_LAST; id++)
        EXPECT_NE(ui_button_lookup_local(id), nullptr) << id;
}

TEST_F(Panel, ToolColumnGroupsAndGridArePlacedInOrder)
{
    ASSERT_TRUE(console(one_bus));
    gtk_window_resize(GTK_WINDOW(e.app->window), 1500, 900);
    gtk_widget_show(e.app->window);
    engine_run_for(300);
    GtkWidget *top = bus()->window;

    const int column[] = {BUTTON_CHANNEL_START,  BUTTON_CHANNEL_STOP,        BUTTON_LIST_OPEN,
                          BUTTON_LIST_APPEND,    BUTTON_LIST_TRUNCATE_ABOVE, BUTTON_LIST_TRUNCATE_BELOW,
                          BUTTON_LIST_SAVEAS,    BUTTON_LIST_CLOSE,          BUTTON_LIST_ITEM_ADD,
                          BUTTON_LIST_ITEM_EDIT, BUTTON_LIST_ITEM_DEL,       BUTTON_HELP,
                          BUTTON_COMPANY};
    GtkAllocation prev = alloc_in(bus()->buttons[column[0]], top);
    for (size_t i = 1; i < sizeof(column) / sizeof(column[0]); i++) {
        GtkAllocation a = alloc_in(bus()->buttons[column[i]], top);
        EXPECT_EQ(a.x, prev.x) << "button " << column[i];
        EXPECT_GE(a.y, prev.y + prev.height) << "button " << column[i];
        prev = a;
    }
    /* Help and maker sit at the foot of the column. */
    GtkAllocation panel = alloc_in(top, top);
    EXPECT_GT(alloc_in(bus()->buttons[BUTTON_HELP], top).y, panel.height / 2);

    GtkAllocation clock = alloc_in(bus()->clock, top);
    GtkAllocation take = alloc_in(bus()->buttons[BUTTON_LIST_TAKE], top);
    GtkAllocation absent = alloc_in(bus()->buttons[BUTTON_LIST_BUS_ABSENT_ITEMS], top);
    GtkAllocation grid = alloc_in(bus()->scrolled, top);
    EXPECT_GT(clock.x, prev.x + prev.width);
    EXPECT_GT(take.x, alloc_in(bus()->clock_gap_overlap_rem, top).x);
    /* The counters sit under the controls, which keeps the panel within
     * 1280 pixels. */
    EXPECT_GE(absent.y, take.y + take.height);
    EXPECT_GT(absent.x, alloc_in(bus()->clock_gap_overlap_rem, top).x);
    EXPECT_GE(grid.y, alloc_in(bus()->clock_absent_rem, top).y + 52);
    EXPECT_GT(grid.height, 200);

    /* Row order of the usage group: absent and present, then error and checking. */
    GtkAllocation present = alloc_in(bus()->buttons[BUTTON_LIST_BUS_PRESENT_ITEMS], top);
    GtkAllocation error = alloc_in(bus()->buttons[BUTTON_LIST_BUS_ERROR_ITEMS], top);
    GtkAllocation checking = alloc_in(bus()->buttons[BUTTON_LIST_BUS_CHECKING_ITEMS], top);
    EXPECT_EQ(present.y, absent.y);
    EXPECT_GT(present.x, absent.x);
    EXPECT_GT(error.y, absent.y);
    EXPECT_EQ(checking.y, error.y);
    EXPECT_GT(checking.x, error.x);
}

TEST_F(Panel, ZoneClockAndPlaylistColoursComeFromTheOptions)
{
    ASSERT_TRUE(console(with({"--tz=Europe/Paris", "--color-label-playlist-curr=#123456"})));
    for (GtkWidget *c :
         {bus()->clock, bus()->clock_rem, bus()->clock_ply, bus()->clock_type_L_rem, bus()->clock_gap_overlap_rem,
          bus()->last_playlist, bus()->clock_type_C_rem, bus()->clock_absent_rem})
        EXPECT_NE(ui_oled_timer_ctx(c), nullptr);
    /* The playlist clock takes its colours from the options. */
    ui_oled_timer_ctx_t *pl = ui_oled_timer_ctx(bus()->last_playlist);
    EXPECT_EQ(pl->title_color.red, 0x1212);
    EXPECT_EQ(pl->title_color.blue, 0x5656);
    EXPECT_EQ(pl->time_color.red, 0xefef); /* "#eff328", the default */

    /* The zone clock is not stored; it is the one 36 pixels high and 164 wide. */
    std::vector<GtkWidget *> clocks = panel_clocks(bus());
    EXPECT_EQ(clocks.size(), 9u);
    int zone = 0;
    for (GtkWidget *c : clocks) {
        ui_oled_timer_ctx_t *ctx = ui_oled_timer_ctx(c);
        if (ctx->width == 164 && ctx->height == 36) {
            zone++;
            EXPECT_EQ(clock_title(c), "Europe/Paris");
        }
    }
    EXPECT_EQ(zone, 1);
}

TEST_F(Panel, ColumnPlanAndTheOptionsThatShowColumns)
{
    ASSERT_TRUE(console(one_bus));
    GtkTreeView *v = GTK_TREE_VIEW(bus()->grid);
    EXPECT_EQ(gtk_tree_model_get_n_columns(gtk_tree_view_get_model(v)), BUS_COLUMN_LAST);
    GList *cols = gtk_tree_view_get_columns(v);
    EXPECT_EQ(g_list_length(cols), 22u);
    g_list_free(cols);
    EXPECT_EQ(gtk_tree_model_get_column_type(gtk_tree_view_get_model(v), BUS_COLUMN_START_TYPE_ICON), GDK_TYPE_PIXBUF);
    for (int i = 0; i < 22; i++) {
        bool hidden_by_default = i <= BUS_COLUMN_AUXMEDIA_STL_889 || i == BUS_COLUMN_AUX1 || i == BUS_COLUMN_AUX2;
        EXPECT_EQ(gtk_tree_view_column_get_visible(gtk_tree_view_get_column(v, i)) != FALSE, !hidden_by_default)
            << "view column " << i;
    }
    EXPECT_STREQ(gtk_tree_view_column_get_title(gtk_tree_view_get_column(v, BUS_COLUMN_NOTES)), "NOTES");
    EXPECT_STREQ(gtk_tree_view_column_get_title(gtk_tree_view_get_column(v, BUS_COLUMN_AAMP)), "A.AMP");

    engine_app e2;
    ASSERT_TRUE(panel_console(
        e2, with({"--auxmedia-columns=5", "--ab-reconciliation-key", "--sgt-event-id", "--adonis-branding-key"})));
    GtkTreeView *v2 = GTK_TREE_VIEW(e2.app->bus.list[0].grid);
    const bool aux_shown[6] = {true, false, true, false, false, false};
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(gtk_tree_view_column_get_visible(gtk_tree_view_get_column(v2, i)) != FALSE, aux_shown[i]) << i;
    EXPECT_STREQ(gtk_tree_view_column_get_title(gtk_tree_view_get_column(v2, BUS_COLUMN_AUX1)), "R.Key");
    EXPECT_TRUE(gtk_tree_view_column_get_visible(gtk_tree_view_get_column(v2, BUS_COLUMN_AUX1)));
    EXPECT_STREQ(gtk_tree_view_column_get_title(gtk_tree_view_get_column(v2, BUS_COLUMN_AUX2)), "SGT Event ID");
    EXPECT_TRUE(gtk_tree_view_column_get_visible(gtk_tree_view_get_column(v2, BUS_COLUMN_AUX2)));

    engine_app e3;
    ASSERT_TRUE(panel_console(e3, with({"--adonis-branding-key"})));
    GtkTreeView *v3 = GTK_TREE_VIEW(e3.app->bus.list[0].grid);
    EXPECT_STREQ(gtk_tree_view_column_get_title(gtk_tree_view_get_column(v3, BUS_COLUMN_AUX2)), "Adonis Branding Key");
    EXPECT_TRUE(gtk_tree_view_column_get_visible(gtk_tree_view_get_column(v3, BUS_COLUMN_AUX2)));
    EXPECT_FALSE(gtk_tree_view_column_get_visible(gtk_tree_view_get_column(v3, BUS_COLUMN_AUX1)));
}

/* ------------------------------------------------------------------ rows */

TEST_F(Panel, NotesLinesComeInTheirOrderAndTheFirstOfEachGroupWins)
{
    ASSERT_TRUE(console(one_bus));
    engine_app sie;
    ASSERT_TRUE(panel_console(sie, with({"--ab-subclip-is-error"})));
    struct
    {
        int64_t flags;
        bool subclip_is_error;
        const char *notes;
    } cases[] = {
        {0x40 | 0x20 | 0x10 | 0x8 | 0x4, false, "PLAY FAILED\nCUE FAILED"},
        {0x40 | 0x2 | 0x8 | 0x1 | 0x4, false, "PLAYING\nCUED"},
        {0x2 | 0x1, false, "PLAY\nCUEING\nABSENT"},
        {0x4, false, ""},
        {0x4 | 0x100 | 0x400 | 0x2000000, false, "RANGE ERR\nNON CONT"},
        {0x100 | 0x400 | 0x2000000, true, "ABSENT\nRANGE ERR\nSUBCLIP\nNON CONT"},
        {0x20 | 0x10 | 0x400, true, "PLAY FAILED\nCUE FAILED\nABSENT\nSUBCLIP"},
    };
    int row = 0;
    for (const auto &c : cases) {
        bus_t *b = c.subclip_is_error ? &sie.app->bus.list[0] : bus();
        event_guard ev(panel_event(c.flags));
        ASSERT_EQ(panel_render(b, row, ev.e), 0);
        EXPECT_EQ(panel_cell(b, row, BUS_COLUMN_NOTES), c.notes) << std::hex << c.flags;
        row++;
    }
    bus_set_list_count(&sie.app->bus.list[0], 0);
}

TEST_F(Panel, FixedTimeEventsShowGapOrOverlapInTwentyFiveFrameTimecode)
{
    ASSERT_TRUE(console(one_bus));
    struct
    {
        char start_type;
        const char *fixed, *start;
        int64_t flags;
        const char *notes;
    } cases[] = {
        {'F', "10:00:00:00", "10:00:05:00", 0x4, "GAP 00:00:05:00"},
        {'F', "10:00:05:00", "10:00:00:00", 0x4, "OVERLAP 00:00:05:00"},
        {'F', "10:00:00:00", "10:00:00:01", 0x40 | 0x4, "PLAYING\nGAP 00:00:00:01"},
        {'F', "10:00:05:00", "10:00:05:00", 0x4, ""},
        {'F', "", "10:00:05:00", 0x4, ""},
        {'F', "10:00:05:00", "", 0x4, ""},
        {'M', "10:00:00:00", "10:00:05:00", 0x4, ""},
    };
    for (const auto &c : cases) {
        event_guard ev(panel_event(c.flags, c.start_type));
        strlcpy(ev->fixed_time, c.fixed, sizeof(ev->fixed_time));
        strlcpy(ev->start_time, c.start, sizeof(ev->start_time));
        ASSERT_EQ(panel_render(bus(), 0, ev.e), 0);
        EXPECT_EQ(panel_cell(bus(), 0, BUS_COLUMN_NOTES), c.notes) << c.fixed << " / " << c.start;
    }
}

/* Every combination of the flags that colour a row, with and without
 * --ab-subclip-is-error, for a type with and without its own colour. */
TEST_F(Panel, RowColoursFollowTypeThenErrorThenSubclip)
{
    const std::vector<std::string> colours = {
        "--helper-type-color=L:#3050c0:#eeeeee", "--color-item-bg-error-range=#aa0000",
        "--color-item-fg-error-range=#ffff00", "--color-item-bg-subclip=#c47603", "--color-item-fg-subclip=#000011"};
    ASSERT_TRUE(console(with(colours)));
    engine_app sie;
    std::vector<std::string> sie_args = colours;
    sie_args.push_back("--ab-subclip-is-error");
    ASSERT_TRUE(panel_console(sie, with(sie_args)));

    int checked = 0;
    for (int bits = 0; bits < 64; bits++) {
        bool present = bits & 1, range = bits & 2, subclip = bits & 4, noncont = bits & 8, sie_on = bits & 16,
             typed = bits & 32;
        bus_t *b = sie_on ? &sie.app->bus.list[0] : bus();
        int64_t flags = (present ? 0x4 : 0) | (range ? 0x100 : 0) | (subclip ? 0x400 : 0) | (noncont ? 0x2000000 : 0);
        event_guard ev(panel_event(flags, ' ', typed ? 'L' : 'V'));
        ASSERT_EQ(panel_render(b, 0, ev.e), 0);
        const char *bg = nullptr, *fg = nullptr;
        if ((subclip && sie_on) || noncont) {
            bg = "#c47603";
            fg = "#000011";
        } else if (!present || range) {
            bg = "#aa0000";
            fg = "#ffff00";
        } else if (typed) {
            bg = "#3050c0";
            fg = "#eeeeee";
        }
        SCOPED_TRACE(testing::Message() << "present=" << present << " range=" << range << " subclip=" << subclip
                                        << " noncont=" << noncont << " subclip_is_error=" << sie_on
                                        << " typed=" << typed);
        EXPECT_EQ(panel_flag(b, 0, BUS_COLUMN_BG_COLOR), bg != nullptr);
        EXPECT_EQ(panel_flag(b, 0, BUS_COLUMN_FG_COLOR), fg != nullptr);
        if (bg) {
            EXPECT_EQ(panel_cell(b, 0, BUS_COLUMN_BG_COLOR_V), bg);
            EXPECT_EQ(panel_cell(b, 0, BUS_COLUMN_FG_COLOR_V), fg);
        }
        checked++;
    }
    EXPECT_EQ(checked, 64);
    bus_set_list_count(&sie.app->bus.list[0], 0);
}

TEST_F(Panel, AColourThatDoesNotParseIsLeftUnset)
{
    ASSERT_TRUE(console(with({"--color-item-bg-error-range=no-such-colour", "--helper-type-color=C:#zzzzzz:#00ff00"})));
    event_guard absent(panel_event(0));
    ASSERT_EQ(panel_render(bus(), 0, absent.e), 0);
    EXPECT_FALSE(panel_flag(bus(), 0, BUS_COLUMN_BG_COLOR));
    EXPECT_TRUE(panel_flag(bus(), 0, BUS_COLUMN_FG_COLOR));
    EXPECT_EQ(panel_cell(bus(), 0, BUS_COLUMN_FG_COLOR_V), "#FFFFFF");

    event_guard typed(panel_event(0x4, ' ', 'C'));
    ASSERT_EQ(panel_render(bus(), 0, typed.e), 0);
    EXPECT_FALSE(panel_flag(bus(), 0, BUS_COLUMN_BG_COLOR));
    EXPECT_TRUE(panel_flag(bus(), 0, BUS_COLUMN_FG_COLOR));
    EXPECT_EQ(panel_cell(bus(), 0, BUS_COLUMN_FG_COLOR_V), "#00ff00");

    /* A later plain row clears both. */
    event_guard plain(panel_event(0x4));
    ASSERT_EQ(panel_render(bus(), 0, plain.e), 0);
    EXPECT_FALSE(panel_flag(bus(), 0, BUS_COLUMN_BG_COLOR));
    EXPECT_FALSE(panel_flag(bus(), 0, BUS_COLUMN_FG_COLOR));
}

TEST_F(Panel, CellsCarryTheEventFieldsAndTheRowOwnsACopy)
{
    ASSERT_TRUE(console(with({"--hide-media-path"})));
    event_guard ev(panel_event(0x4, 'M', 'L'));
    strlcpy(ev->media_id, "news/2024/open.mxf", sizeof(ev->media_id));
    strlcpy(ev->assets, "+A+B++A+", sizeof(ev->assets));
    strlcpy(ev->audio_amp, "-3", sizeof(ev->audio_amp));
    ASSERT_EQ(panel_render(bus(), 2, ev.e), 0);

    EXPECT_EQ(panel_cell(bus(), 2, BUS_COLUMN_MEDIA_ID), "open.mxf");
    EXPECT_EQ(panel_cell(bus(), 2, BUS_COLUMN_MEDIA_TYPE), "L");
    EXPECT_EQ(panel_cell(bus(), 2, BUS_COLUMN_ASSETS), "A\nB\nA");
    EXPECT_EQ(panel_cell(bus(), 2, BUS_COLUMN_AAMP), "-3");

    GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(bus()->grid));
    GtkTreeIter it;
    ASSERT_TRUE(gtk_tree_model_iter_nth_child(m, &it, nullptr, 2));
    GdkPixbuf *icon = nullptr;
    pelmorabox_event_t *row_event = nullptr;
    gtk_tree_model_get(m, &it, BUS_COLUMN_START_TYPE_ICON, &icon, BUS_COLUMN_DATA, &row_event, -1);
    EXPECT_EQ(icon, get_start_type_pixbuf_by_idx(START_TYPE_MANUAL));
    if (icon)
        g_object_unref(icon);
    ASSERT_NE(row_event, nullptr);
    EXPECT_NE(row_event, ev.e);
    EXPECT_STREQ(row_event->media_id, "news/2024/open.mxf");
    /* The caller's record stays the caller's: changing it changes nothing shown. */
    strlcpy(ev->title, "changed", sizeof(ev->title));
    EXPECT_STREQ(row_event->title, "Opening");

    /* Type code 0 prints nothing; other start letters are follow. */
    event_guard none(panel_event(0x4, 'x', 0));
    ASSERT_EQ(panel_render(bus(), 2, none.e), 0);
    EXPECT_EQ(panel_cell(bus(), 2, BUS_COLUMN_MEDIA_TYPE), "");
    EXPECT_EQ(grid_event(bus(), 2)->start_type, 'x');
    EXPECT_EQ(bus_ui_start_type_idx('x'), START_TYPE_FOLLOW);
    EXPECT_EQ(bus_ui_start_type_idx(' '), START_TYPE_FOLLOW);
    EXPECT_EQ(bus_ui_start_type_idx('F'), START_TYPE_FIXED_TIME);
    EXPECT_EQ(bus_ui_start_type_idx('G'), START_TYPE_GAP_FILL);
    EXPECT_EQ(get_start_type_pixbuf_by_idx(4), nullptr);
    EXPECT_EQ(get_start_type_pixbuf_by_idx(-1), nullptr);

    /* A row that does not exist is skipped, and the batch goes on to the end. */
    int rows = grid_rows(bus());
    EXPECT_EQ(bus_ui_update_event(bus(), rows, ev.e), 0);
    EXPECT_EQ(grid_rows(bus()), rows);
    pelmorabox_event_t *batch[2] = {ev.e, none.e};
    const int64_t idxs[2] = {(int64_t)1 << 33, 0};
    EXPECT_EQ(bus_ui_update_events(bus(), 2, idxs, batch), 0);
    EXPECT_EQ(panel_cell(bus(), 0, BUS_COLUMN_TITLE), "Opening");
}

TEST_F(Panel, KeyColumnsTakeTheFirstPairWithExactlyThatKey)
{
    ASSERT_TRUE(console(with({"--ab-reconciliation-key", "--sgt-event-id", "--adonis-branding-key"})));
    event_guard ev(panel_event(0x4));
    pelmorabox_event_add_meta(ev.e, "Reconciliation_Key2", "not this");
    pelmorabox_event_add_meta(ev.e, "reconciliation_key", "nor this");
    pelmorabox_event_add_meta(ev.e, "Reconciliation_Key", "RK1");
    pelmorabox_event_add_meta(ev.e, "Reconciliation_Key", "RK2");
    pelmorabox_event_add_meta(ev.e, "sgt_event_id", "SGT9");
    pelmorabox_event_add_meta(ev.e, "adonis_branding_key", "BR7");
    ASSERT_EQ(panel_render(bus(), 0, ev.e), 0);
    EXPECT_EQ(panel_cell(bus(), 0, BUS_COLUMN_AUX1), "RK1");
    /* Both options: the column is titled for the event id but shows the key. */
    EXPECT_EQ(panel_cell(bus(), 0, BUS_COLUMN_AUX2), "BR7");

    engine_app sgt;
    ASSERT_TRUE(panel_console(sgt, with({"--sgt-event-id"})));
    bus_t *b = &sgt.app->bus.list[0];
    ASSERT_EQ(panel_render(b, 0, ev.e), 0);
    EXPECT_EQ(panel_cell(b, 0, BUS_COLUMN_AUX2), "SGT9");
    EXPECT_EQ(panel_cell(b, 0, BUS_COLUMN_AUX1), "");
    /* A later event without the pair empties the cell. */
    event_guard bare(panel_event(0x4));
    ASSERT_EQ(panel_render(b, 0, bare.e), 0);
    EXPECT_EQ(panel_cell(b, 0, BUS_COLUMN_AUX2), "");
    bus_set_list_count(b, 0);
}

TEST_F(Panel, AuxMediaCellsShowTwoFlagBitsForEventsWithThePair)
{
    ASSERT_TRUE(console(with({"--auxmedia-columns=5"})));
    /* STEREO_1: bits 11-12 = 2; STEREO_3: bits 15-16 = 3; STEREO_2 (bits
     * 13-14 = 1) has its pair but its column is off. */
    event_guard ev(panel_event(0x4 | (2LL << 11) | (1LL << 13) | (3LL << 15)));
    pelmorabox_event_add_meta(ev.e, "STEREO_1", "x");
    pelmorabox_event_add_meta(ev.e, "STEREO_2", "x");
    pelmorabox_event_add_meta(ev.e, "STEREO_3", "x");
    ASSERT_EQ(panel_render(bus(), 0, ev.e), 0);
    EXPECT_EQ(panel_cell(bus(), 0, BUS_COLUMN_AUXMEDIA_STEREO_1), "+");
    EXPECT_EQ(panel_cell(bus(), 0, BUS_COLUMN_AUXMEDIA_STEREO_2), "");
    EXPECT_EQ(panel_cell(bus(), 0, BUS_COLUMN_AUXMEDIA_STEREO_3), "#");

    /* Without its pair a cell is empty whatever the bits say; 0 and 1 give ? and -. */
    event_guard other(panel_event(0x4 | (3LL << 11) | (1LL << 15)));
    pelmorabox_event_add_meta(other.e, "STEREO_3", "x");
    ASSERT_EQ(panel_render(bus(), 0, other.e), 0);
    EXPECT_EQ(panel_cell(bus(), 0, BUS_COLUMN_AUXMEDIA_STEREO_1), "");
    EXPECT_EQ(panel_cell(bus(), 0, BUS_COLUMN_AUXMEDIA_STEREO_3), "-");

    engine_app all;
    ASSERT_TRUE(panel_console(all, with({"--auxmedia-columns=63"})));
    bus_t *b = &all.app->bus.list[0];
    event_guard six(panel_event(0x4 | (1LL << 19) | (2LL << 21)));
    for (const char *key : pelmorabox_auxmedia_meta_keys)
        pelmorabox_event_add_meta(six.e, key, "x");
    ASSERT_EQ(panel_render(b, 0, six.e), 0);
    EXPECT_EQ(panel_cell(b, 0, BUS_COLUMN_AUXMEDIA_STEREO_4), "?");
    EXPECT_EQ(panel_cell(b, 0, BUS_COLUMN_AUXMEDIA_STL_888), "-");
    EXPECT_EQ(panel_cell(b, 0, BUS_COLUMN_AUXMEDIA_STL_889), "+");
    bus_set_list_count(b, 0);
}

TEST_F(Panel, SelectionHelpers)
{
    ASSERT_TRUE(console(one_bus));
    event_guard a(panel_event(0x4)), zero(panel_event(0x4));
    a->sys_id = 4242;
    zero->sys_id = 0;
    ASSERT_EQ(panel_render(bus(), 1, a.e), 0);
    ASSERT_EQ(panel_render(bus(), 2, zero.e), 0);
    bus_set_list_count(bus(), 4);

    pelmorabox_event_t *pe = a.e;
    EXPECT_EQ(bus_ui_selected_idx(bus(), &pe), -1);
    EXPECT_EQ(pe, nullptr);
    EXPECT_EQ(bus_ui_selected_sys_id(bus(), nullptr), -1);

    GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(bus()->grid));
    GtkTreePath *p1 = gtk_tree_path_new_from_indices(1, -1);
    GtkTreePath *p3 = gtk_tree_path_new_from_indices(3, -1);
    gtk_tree_selection_select_path(sel, p3);
    gtk_tree_selection_select_path(sel, p1);
    EXPECT_EQ(bus_ui_selected_idx(bus(), &pe), 1);
    EXPECT_EQ(pe, grid_event(bus(), 1));
    EXPECT_EQ(bus_ui_selected_sys_id(bus(), &pe), 4242);

    gtk_tree_selection_unselect_all(sel);
    GtkTreePath *p2 = gtk_tree_path_new_from_indices(2, -1);
    gtk_tree_selection_select_path(sel, p2);
    EXPECT_EQ(bus_ui_selected_sys_id(bus(), &pe), -1);
    ASSERT_NE(pe, nullptr);
    EXPECT_EQ(pe->sys_id, 0);

    gtk_tree_selection_unselect_all(sel);
    gtk_tree_selection_select_path(sel, p3);
    EXPECT_EQ(bus_ui_selected_sys_id(bus(), &pe), -1);
    EXPECT_EQ(pe, nullptr);
    gtk_tree_path_free(p1);
    gtk_tree_path_free(p2);
    gtk_tree_path_free(p3);
}

TEST_F(Panel, EventDetailsListAssetsWithTheirOccurrenceKeysAndThePlainPairs)
{
    ASSERT_TRUE(console(with({"--assets-details-height=120"})));
    ASSERT_NE(bus()->event_details.assets_tree, nullptr);
    event_guard ev(panel_event(0x4));
    strlcpy(ev->assets, "+A+B+A", sizeof(ev->assets));
    pelmorabox_event_add_meta(ev.e, "story", "Headlines");
    pelmorabox_event_add_meta(ev.e, "in@A#0", "25");
    pelmorabox_event_add_meta(ev.e, "out@A#0", "49");
    pelmorabox_event_add_meta(ev.e, "dur@A#0", "25");
    pelmorabox_event_add_meta(ev.e, "in@B#0", "-50");
    pelmorabox_event_add_meta(ev.e, "in@A#1", "100");
    pelmorabox_event_add_meta(ev.e, "dur@A#1", "junk");
    pelmorabox_event_add_meta(ev.e, "slug", "HL-0412");
    ASSERT_EQ(panel_render(bus(), 0, ev.e), 0);
    bus_set_list_count(bus(), 2);

    GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(bus()->grid));
    gtk_tree_selection_select_path(sel, gtk_tree_path_new_first());
    EXPECT_EQ(bus_ui_redraw_event_details(bus()), 0);

    auto rows = [](GtkWidget *tree, int ncols) {
        std::vector<std::vector<std::string>> out;
        GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(tree));
        GtkTreeIter it;
        for (bool ok = gtk_tree_model_get_iter_first(m, &it); ok; ok = gtk_tree_model_iter_next(m, &it)) {
            std::vector<std::string> r;
            for (int c = 0; c < ncols; c++) {
                gchar *s = nullptr;
                gtk_tree_model_get(m, &it, c, &s, -1);
                r.push_back(s ? s : "");
                g_free(s);
            }
            out.push_back(r);
        }
        return out;
    };
    std::vector<std::vector<std::string>> want_assets = {
        {"A", "00:00:01:00", "00:00:01:24", "00:00:01:00"},
        {"B", "-00:00:02:00", "", ""},
        {"A", "00:00:04:00", "", ""},
    };
    EXPECT_EQ(rows(bus()->event_details.assets_tree, 4), want_assets);
    std::vector<std::vector<std::string>> want_metas = {{"story", "Headlines"}, {"slug", "HL-0412"}};
    EXPECT_EQ(rows(bus()->event_details.metas_tree, 2), want_metas);

    /* Moving to a row without an event clears both lists. */
    gtk_tree_selection_unselect_all(sel);
    GtkTreePath *p1 = gtk_tree_path_new_from_indices(1, -1);
    gtk_tree_selection_select_path(sel, p1);
    gtk_tree_path_free(p1);
    EXPECT_EQ(bus_ui_redraw_event_details(bus()), 1);
    EXPECT_TRUE(rows(bus()->event_details.assets_tree, 4).empty());
    EXPECT_TRUE(rows(bus()->event_details.metas_tree, 2).empty());
}

/* ------------------------------------------------------------ long start */

class LongStart : public Panel
{
  protected:
    void SetUp() override
    {
        Panel::SetUp();
        if (IsSkipped())
            return;
        /* As start-up does, with the build tree's bin directory. */
        ASSERT_EQ(localtime_tzdir_set(PELMORA_BUILD_BIN_DIR), 0);
        struct stat st;
        ASSERT_EQ(stat(PELMORA_BUILD_BIN_DIR "/../share/zoneinfo/Europe/Paris", &st), 0)
            << "zone files are copied beside bin by the build";
    }

    static int64_t utc_ms(int y, int mo, int d, int h, int mi, int s, int ms)
    {
        struct tm tm = {};
        tm.tm_year = y - 1900;
        tm.tm_mon = mo - 1;
        tm.tm_mday = d;
        tm.tm_hour = h;
        tm.tm_min = mi;
        tm.tm_sec = s;
        return (int64_t)timegm(&tm) * 1000 + ms;
    }

    std::string start_of(bus_t *b, int64_t ms)
    {
        event_guard ev(panel_event(0x4));
        ev->start = ms;
        EXPECT_EQ(panel_render(b, 0, ev.e), 0);
        return panel_cell(b, 0, BUS_COLUMN_START);
    }
};

TEST_F(LongStart, ParisIsTwoHoursAheadInJulyAndOneInJanuary)
{
    ASSERT_TRUE(console(with({"--long-start=1", "--tz=Europe/Paris"})));
    EXPECT_EQ(bus()->tz.ctx, nullptr) << "the zone is read on the first conversion";
    EXPECT_EQ(start_of(bus(), utc_ms(2024, 7, 15, 10, 0, 0, 520)), "2024-07-15 12:00:00:13");
    EXPECT_NE(bus()->tz.ctx, nullptr);
    localtime_tz_t *ctx = bus()->tz.ctx;
    EXPECT_EQ(start_of(bus(), utc_ms(2024, 1, 15, 10, 0, 0, 0)), "2024-01-15 11:00:00:00");
    EXPECT_EQ(bus()->tz.ctx, ctx) << "one context per bus";
    /* Across midnight and the year. */
    EXPECT_EQ(start_of(bus(), utc_ms(2023, 12, 31, 23, 30, 0, 999)), "2024-01-01 00:30:00:24");
    /* Without --long-start the server's start time text is shown. */
    engine_app plain;
    ASSERT_TRUE(panel_console(plain, with({"--tz=Europe/Paris"})));
    EXPECT_EQ(start_of(&plain.app->bus.list[0], utc_ms(2024, 7, 15, 10, 0, 0, 0)), "10:00:00:00");
    bus_set_list_count(&plain.app->bus.list[0], 0);
}

TEST_F(LongStart, TwoBusesInDifferentZonesShowTheirOwnTimesForOneInstant)
{
    ASSERT_TRUE(console({"--long-start=1", "--add-bus=PARIS", "--host=127.0.0.1:9", "--idx=0", "--tz=Europe/Paris",
                         "--add-bus=NY", "--host=127.0.0.1:9", "--idx=1", "--tz=America/New_York", "--add-bus=TOKYO",
                         "--host=127.0.0.1:9", "--idx=2", "--tz=Asia/Tokyo"}));
    int64_t t = utc_ms(2024, 7, 15, 10, 0, 0, 0);
    EXPECT_EQ(start_of(bus(0), t), "2024-07-15 12:00:00:00");
    EXPECT_EQ(start_of(bus(1), t), "2024-07-15 06:00:00:00");
    EXPECT_EQ(start_of(bus(2), t), "2024-07-15 19:00:00:00");
    /* And again in turn: no bus's zone leaks into another's. */
    EXPECT_EQ(start_of(bus(0), t), "2024-07-15 12:00:00:00");
    EXPECT_EQ(start_of(bus(1), t), "2024-07-15 06:00:00:00");
    EXPECT_NE(bus(0)->tz.ctx, bus(1)->tz.ctx);
}

TEST_F(LongStart, AZoneNameWithDotDotGivesUtc)
{
    /* Resolved, this name would reach the Paris file: it must be refused. */
    ASSERT_TRUE(
        console({"--long-start=1", "--add-bus=A", "--host=127.0.0.1:9", "--idx=0", "--tz=../zoneinfo/Europe/Paris",
                 "--add-bus=B", "--host=127.0.0.1:9", "--idx=1", "--tz=No/Such_Zone"}));
    int64_t t = utc_ms(2024, 7, 15, 10, 0, 0, 0);
    EXPECT_EQ(start_of(bus(0), t), "2024-07-15 10:00:00:00");
    EXPECT_EQ(start_of(bus(1), t), "2024-07-15 10:00:00:00");
}

TEST_F(LongStart, OffsetHoursAndTheProcessZoneForABusWithoutOne)
{
    ASSERT_TRUE(console({"--long-start=1", "--add-bus=A", "--host=127.0.0.1:9", "--idx=0", "--tz=UTC",
                         "--long-start-offset=-2", "--add-bus=B", "--host=127.0.0.1:9", "--idx=1"}));
    int64_t t = utc_ms(2024, 7, 15, 1, 0, 0, 40);
    EXPECT_EQ(start_of(bus(0), t), "2024-07-14 23:00:00:01");

    const char *old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
    EXPECT_EQ(start_of(bus(1), t), "2024-07-15 10:00:00:01");
    EXPECT_EQ(bus(1)->tz.ctx, nullptr);
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();

    char buf[8];
    event_guard ev(panel_event(0x4));
    ev->start = t;
    EXPECT_EQ(bus_ui_long_start(bus(0), ev.e, buf, sizeof(buf)), 7);
    EXPECT_STREQ(buf, "2024-07");
    EXPECT_EQ(bus_ui_long_start(bus(0), nullptr, buf, sizeof(buf)), -22);
}

/* ---------------------------------------------------------------- state */

TEST_F(Panel, StateShowsCountersClocksPlaylistNamesAndStatus)
{
    ASSERT_TRUE(console(one_bus));
    pelmorabox_bus_state_t &s = bus()->state.s;
    memset(&s, 0, sizeof(s));
    s.lib_absent_count = 3;
    s.lib_present_count = 12;
    s.lib_queued_count = 0;
    s.ply_stat_flag_range = 2;
    s.ply_stat_flag_subclip = 5;
    strlcpy(s.time, "10:11:12:13", sizeof(s.time));
    strlcpy(s.curr_remain, "00:01:02:03", sizeof(s.curr_remain));
    strlcpy(s.type_L_remain, "00:00:40:00", sizeof(s.type_L_remain));
    strlcpy(s.fixed_time_remain, "-00:00:05:00", sizeof(s.fixed_time_remain));
    strlcpy(s.last_playlist, "news.ply > morning.ply", sizeof(s.last_playlist));
    s.f_running = 1;
    ASSERT_EQ(bus_ui_update_time(bus()), 0);

    EXPECT_EQ(counter_text(bus(), BUTTON_LIST_BUS_ABSENT_ITEMS), "  3");
    EXPECT_EQ(counter_text(bus(), BUTTON_LIST_BUS_PRESENT_ITEMS), "  12");
    EXPECT_EQ(counter_text(bus(), BUTTON_LIST_BUS_CHECKING_ITEMS), "  0");
    EXPECT_EQ(counter_text(bus(), BUTTON_LIST_BUS_ERROR_ITEMS), "  2");
    EXPECT_EQ(clock_time(bus()->clock), "10:11:12:13");
    EXPECT_EQ(clock_time(bus()->clock_rem), "00:01:02:03");
    EXPECT_EQ(clock_time(bus()->clock_ply), "  :  :  :  ");
    EXPECT_EQ(clock_time(bus()->clock_absent_rem), "  :  :  :  ");
    EXPECT_EQ(clock_time(bus()->clock_type_C_rem), "  :  :  :  ");
    EXPECT_EQ(clock_time(bus()->clock_type_L_rem), "00:00:40:00");
    EXPECT_EQ(clock_time(bus()->clock_gap_overlap_rem), "-00:00:05:00");
    EXPECT_EQ(clock_title(bus()->last_playlist), "news.ply");
    EXPECT_EQ(clock_time(bus()->last_playlist), "morning.ply");
    EXPECT_EQ(panel_status(bus()), 2);

    s.f_running = 0;
    s.time[0] = 0;
    strlcpy(s.last_playlist, "solo.ply", sizeof(s.last_playlist));
    ASSERT_EQ(bus_ui_update_time(bus()), 0);
    EXPECT_EQ(panel_status(bus()), 1);
    EXPECT_EQ(clock_time(bus()->clock), "") << "the system time is never replaced by the blank clock";
    EXPECT_EQ(clock_title(bus()->last_playlist), "solo.ply");
    EXPECT_EQ(clock_time(bus()->last_playlist), "");

    engine_app sie;
    ASSERT_TRUE(panel_console(sie, with({"--ab-subclip-is-error", "--short-timers=1"})));
    bus_t *b = &sie.app->bus.list[0];
    b->state.s = s;
    strlcpy(b->state.s.time, "10:11:12:13", sizeof(b->state.s.time));
    ASSERT_EQ(bus_ui_update_time(b), 0);
    EXPECT_EQ(counter_text(b, BUTTON_LIST_BUS_ERROR_ITEMS), "  7");
    EXPECT_EQ(clock_time(b->clock), "10:11:12");
    EXPECT_EQ(clock_time(b->clock_rem), "00:01:02");
    EXPECT_EQ(clock_time(b->clock_ply), "  :  :  ");
    EXPECT_EQ(clock_time(b->clock_gap_overlap_rem), "-00:00:05");
}

TEST_F(Panel, OfflineBlanksClocksCountersAndGridButKeepsThePlaylistNames)
{
    ASSERT_TRUE(console(one_bus));
    engine_app shrt;
    ASSERT_TRUE(panel_console(shrt, with({"--short-timers=1"})));
    for (bus_t *b : {bus(), &shrt.app->bus.list[0]}) {
        pelmorabox_bus_state_t &s = b->state.s;
        s.lib_absent_count = 1;
        s.lib_present_count = 2;
        s.lib_queued_count = 3;
        s.ply_stat_flag_range = 4;
        s.f_running = 1;
        for (char *t : {s.time, s.curr_remain, s.ply_remain, s.absent_remain, s.type_C_remain, s.type_L_remain,
                        s.fixed_time_remain})
            strlcpy(t, "00:00:01:00", 32);
        strlcpy(s.last_playlist, "news.ply > morning.ply", sizeof(s.last_playlist));
        ASSERT_EQ(bus_ui_update_time(b), 0);
        event_guard ev(panel_event(0x4));
        ASSERT_EQ(panel_render(b, 3, ev.e), 0);

        ASSERT_EQ(bus_ui_set_offline(b), 0);
        const char *blank = b == bus() ? "  :  :  :  " : "  :  :  ";
        for (GtkWidget *c : {b->clock, b->clock_rem, b->clock_ply, b->clock_absent_rem, b->clock_gap_overlap_rem,
                             b->clock_type_C_rem, b->clock_type_L_rem})
            EXPECT_EQ(clock_time(c), blank) << clock_title(c);
        for (int id : {BUTTON_LIST_BUS_ABSENT_ITEMS, BUTTON_LIST_BUS_PRESENT_ITEMS, BUTTON_LIST_BUS_CHECKING_ITEMS,
                       BUTTON_LIST_BUS_ERROR_ITEMS})
            EXPECT_EQ(counter_text(b, id), "") << id;
        EXPECT_EQ(grid_rows(b), 0);
        EXPECT_EQ(panel_status(b), 0);
        EXPECT_EQ(clock_title(b->last_playlist), "news.ply");
        EXPECT_EQ(clock_time(b->last_playlist), "morning.ply");
    }
}

} // namespace
