// A poll that brings nothing new must cost the toolkit nothing: applying the
// same bus state again queues no size request of the window and no redraw
// of a clock, while a value that did change still reaches its widget (and
// only that one). Counted on the real main window through emission hooks on
// "size-request" and "expose-event", after the toolkit has settled.
#include <gtest/gtest.h>

#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "bus.h"
#include "panel_support.h"
#include "strl.h"
#include "ui_bus.h"
#include "ui_oled.h"

namespace {

/* Counts emissions of one widget signal per widget for its lifetime. An
 * emission hook sees every emission, even where a handler connected earlier
 * (the clock's own expose handler) stops the signal. */
class emissions
{
  public:
    explicit emissions(const char *signal)
    {
        id_ = g_signal_lookup(signal, GTK_TYPE_WIDGET);
        hook_ = g_signal_add_emission_hook(id_, 0, on_emission, this, nullptr);
    }
    ~emissions() { g_signal_remove_emission_hook(id_, hook_); }
    emissions(const emissions &) = delete;
    emissions &operator=(const emissions &) = delete;

    int of(GtkWidget *w) const
    {
        auto it = counts_.find(w);
        return it == counts_.end() ? 0 : it->second;
    }
    int total() const
    {
        int n = 0;
        for (const auto &c : counts_)
            n += c.second;
        return n;
    }
    void reset() { counts_.clear(); }

  private:
    static gboolean on_emission(GSignalInvocationHint *, guint n, const GValue *params, gpointer self)
    {
        if (n > 0 && G_VALUE_HOLDS_OBJECT(&params[0]))
            static_cast<emissions *>(self)->counts_[static_cast<GtkWidget *>(g_value_get_object(&params[0]))]++;
        return TRUE;
    }

    guint id_ = 0;
    gulong hook_ = 0;
    std::map<GtkWidget *, int> counts_;
};

/* Lets queued resizes and redraws run and the X server's answers arrive. */
void settle()
{
    engine_run_for(150);
    gdk_window_process_all_updates();
    gdk_flush();
    engine_run_for(100);
    gdk_window_process_all_updates();
}

GtkWidget *counter_label(bus_t *bus, int id)
{
    GtkWidget *b = bus->buttons[id];
    return b ? static_cast<GtkWidget *>(g_object_get_data(G_OBJECT(b), "label")) : nullptr;
}

const int COUNTERS[4] = {BUTTON_LIST_BUS_ABSENT_ITEMS, BUTTON_LIST_BUS_ERROR_ITEMS, BUTTON_LIST_BUS_PRESENT_ITEMS,
                         BUTTON_LIST_BUS_CHECKING_ITEMS};

class Unchanged : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!engine_gtk_ready())
            GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
        ASSERT_TRUE(panel_console(e, {"--add-bus=NEWS", "--host=127.0.0.1:9", "--idx=0"}));
        b = &e.app->bus.list[0];
        pelmorabox_bus_state_t &s = b->state.s;
        memset(&s, 0, sizeof(s));
        s.lib_absent_count = 3;
        s.lib_present_count = 12;
        s.lib_queued_count = 1;
        s.ply_stat_flag_range = 2;
        for (char *t : {s.time, s.curr_remain, s.ply_remain, s.type_L_remain, s.fixed_time_remain})
            strlcpy(t, "00:00:10:00", 32);
        strlcpy(s.last_playlist, "news.ply > morning.ply", sizeof(s.last_playlist));
        s.f_running = 1;
        gtk_window_resize(GTK_WINDOW(e.app->window), 1500, 900);
        gtk_widget_show(e.app->window);
        ASSERT_EQ(bus_ui_update_time(b), 0);
        settle();
        ASSERT_TRUE(gtk_widget_is_drawable(b->clock)) << "the panel is not on screen";
    }

    engine_app e;
    bus_t *b = nullptr;
};

TEST_F(Unchanged, TheSameStateAgainQueuesNoResizeAndNoRedraw)
{
    emissions sized("size-request"), drawn("expose-event");
    std::vector<GtkWidget *> clocks = panel_clocks(b);
    ASSERT_GE(clocks.size(), 9u);

    for (int poll = 0; poll < 3; poll++)
        ASSERT_EQ(bus_ui_update_time(b), 0);
    settle();
    EXPECT_EQ(sized.of(e.app->window), 0) << "the window was asked for its size again";
    for (int id : COUNTERS)
        EXPECT_EQ(sized.of(counter_label(b, id)), 0) << id;
    for (GtkWidget *c : clocks)
        EXPECT_EQ(drawn.of(c), 0) << clock_title(c);
    EXPECT_EQ(counter_text(b, BUTTON_LIST_BUS_PRESENT_ITEMS), "  12");
    EXPECT_EQ(clock_time(b->clock_rem), "00:00:10:00");
    EXPECT_EQ(clock_title(b->last_playlist), "news.ply");
    EXPECT_EQ(clock_time(b->last_playlist), "morning.ply");
    EXPECT_EQ(panel_status(b), 2);

    /* Paused, and paused again: the status images change once. */
    b->state.s.f_running = 0;
    ASSERT_EQ(bus_ui_update_time(b), 0);
    settle();
    EXPECT_EQ(panel_status(b), 1);
    sized.reset();
    drawn.reset();
    ASSERT_EQ(bus_ui_update_time(b), 0);
    settle();
    EXPECT_EQ(panel_status(b), 1);
    EXPECT_EQ(sized.of(e.app->window), 0);
    EXPECT_EQ(drawn.total(), 0);
}

TEST_F(Unchanged, AChangedClockRedrawsThatClockAlone)
{
    emissions sized("size-request"), drawn("expose-event");
    std::vector<GtkWidget *> clocks = panel_clocks(b);
    strlcpy(b->state.s.curr_remain, "00:00:09:24", sizeof(b->state.s.curr_remain));
    ASSERT_EQ(bus_ui_update_time(b), 0);
    settle();
    EXPECT_EQ(clock_time(b->clock_rem), "00:00:09:24");
    EXPECT_GE(drawn.of(b->clock_rem), 1);
    for (GtkWidget *c : clocks) {
        if (c == b->clock_rem)
            continue;
        EXPECT_EQ(drawn.of(c), 0) << clock_title(c);
    }
    EXPECT_EQ(sized.of(e.app->window), 0) << "a clock's text does not change its size";

    /* A new playlist pair: the playlist clock takes both lines and redraws. */
    drawn.reset();
    strlcpy(b->state.s.last_playlist, "noon.ply > news.ply", sizeof(b->state.s.last_playlist));
    ASSERT_EQ(bus_ui_update_time(b), 0);
    settle();
    EXPECT_EQ(clock_title(b->last_playlist), "noon.ply");
    EXPECT_EQ(clock_time(b->last_playlist), "news.ply");
    EXPECT_GE(drawn.of(b->last_playlist), 1);
    EXPECT_EQ(drawn.of(b->clock_rem), 0);
}

TEST_F(Unchanged, AChangedCounterIsWrittenAndMeasuredAgain)
{
    emissions sized("size-request");
    GtkWidget *absent = counter_label(b, BUTTON_LIST_BUS_ABSENT_ITEMS);
    GtkWidget *present = counter_label(b, BUTTON_LIST_BUS_PRESENT_ITEMS);
    ASSERT_NE(absent, nullptr);
    b->state.s.lib_absent_count = 40;
    ASSERT_EQ(bus_ui_update_time(b), 0);
    settle();
    EXPECT_EQ(counter_text(b, BUTTON_LIST_BUS_ABSENT_ITEMS), "  40");
    EXPECT_GE(sized.of(absent), 1);
    EXPECT_GE(sized.of(e.app->window), 1);
    EXPECT_EQ(sized.of(present), 0) << "an unchanged counter is measured again";

    /* Offline clears the counters; the next good state writes them back
     * even where the number is the one shown before. */
    ASSERT_EQ(bus_ui_set_offline(b), 0);
    settle();
    EXPECT_EQ(counter_text(b, BUTTON_LIST_BUS_ABSENT_ITEMS), "");
    EXPECT_EQ(clock_time(b->clock_rem), "  :  :  :  ");
    EXPECT_EQ(panel_status(b), 0);
    ASSERT_EQ(bus_ui_update_time(b), 0);
    settle();
    EXPECT_EQ(counter_text(b, BUTTON_LIST_BUS_ABSENT_ITEMS), "  40");
    EXPECT_EQ(counter_text(b, BUTTON_LIST_BUS_PRESENT_ITEMS), "  12");
    EXPECT_EQ(clock_time(b->clock_rem), "00:00:10:00");
    EXPECT_EQ(panel_status(b), 2);
}

/* The clock on its own: the setters leave an unchanged line alone, compare
 * what would be stored (a long text cut at 259 bytes), and keep the title
 * and time lines apart. */
TEST(UnchangedClock, SettersRedrawOnlyWhenTheStoredLineChanges)
{
    if (!engine_gtk_ready())
        GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
    GtkWidget *window = gtk_window_new(GTK_WINDOW_POPUP);
    GtkWidget *clock = ui_oled_timer_create("#272727", "#525252", 164, 74, "#30e030", 14, 24, "#fdfdfd", 22, 56);
    gtk_container_add(GTK_CONTAINER(window), clock);
    gtk_widget_show_all(window);
    ASSERT_EQ(ui_oled_timer_set_time(clock, "00:01:02:03"), 0);
    ASSERT_EQ(ui_oled_timer_set_title(clock, "ON AIR"), 0);
    settle();
    {
        emissions drawn("expose-event");
        EXPECT_EQ(ui_oled_timer_set_time(clock, "00:01:02:03"), 0);
        EXPECT_EQ(ui_oled_timer_set_title(clock, "ON AIR"), 0);
        settle();
        EXPECT_EQ(drawn.of(clock), 0);

        /* The title set to the time's text is still a change of the title. */
        EXPECT_EQ(ui_oled_timer_set_title(clock, "00:01:02:03"), 0);
        settle();
        EXPECT_EQ(clock_title(clock), "00:01:02:03");
        EXPECT_GE(drawn.of(clock), 1);

        drawn.reset();
        EXPECT_EQ(ui_oled_timer_set_time(clock, "00:01:02:04"), 0);
        settle();
        EXPECT_EQ(clock_time(clock), "00:01:02:04");
        EXPECT_GE(drawn.of(clock), 1);

        /* Null is the empty line: once a change, then nothing. */
        drawn.reset();
        EXPECT_EQ(ui_oled_timer_set_time(clock, nullptr), 0);
        settle();
        EXPECT_EQ(clock_time(clock), "");
        EXPECT_GE(drawn.of(clock), 1);
        drawn.reset();
        EXPECT_EQ(ui_oled_timer_set_time(clock, ""), 0);
        settle();
        EXPECT_EQ(drawn.of(clock), 0);

        /* Texts that differ only beyond what is kept store the same line. */
        std::string a(300, 'x'), c = a;
        c[280] = 'y';
        EXPECT_EQ(ui_oled_timer_set_title(clock, a.c_str()), 0);
        settle();
        EXPECT_EQ(clock_title(clock), std::string(259, 'x'));
        drawn.reset();
        EXPECT_EQ(ui_oled_timer_set_title(clock, c.c_str()), 0);
        settle();
        EXPECT_EQ(drawn.of(clock), 0);
        c[100] = 'y';
        EXPECT_EQ(ui_oled_timer_set_title(clock, c.c_str()), 0);
        settle();
        EXPECT_EQ(clock_title(clock)[100], 'y');
        EXPECT_GE(drawn.of(clock), 1);

        /* Not a clock: refused as before. */
        GtkWidget *label = gtk_label_new("x");
        g_object_ref_sink(label);
        EXPECT_EQ(ui_oled_timer_set_time(label, "00:00:00:00"), -22);
        EXPECT_EQ(ui_oled_timer_set_title(nullptr, "x"), -22);
        g_object_unref(label);
    }
    gtk_widget_destroy(window);
}

} // namespace
