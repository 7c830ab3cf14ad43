// The bus panel against pelmora-sim: the real window and engine, the main
// loop run by the test. Clock texts are read through the clocks' contexts,
// cells from the grid's model, and compared with what the server answers.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "bus.h"
#include "panel_support.h"
#include "pelmorabox.h"
#include "strl.h"
#include "timecode.h"
#include "ui_bus.h"

namespace {

/* Frames of a full "HH:MM:SS:FF" text, or -1 for anything else (blank clocks). */
int frames_of(const std::string &t)
{
    int h, m, s, f;
    char tail;
    if (t.size() != 11 || sscanf(t.c_str(), "%2d:%2d:%2d:%2d%c", &h, &m, &s, &f, &tail) != 4)
        return -1;
    return tc_hmsf2frames(h, m, s, f);
}

bool short_form(const std::string &t)
{
    int h, m, s;
    char tail;
    return t.size() == 8 && sscanf(t.c_str(), "%2d:%2d:%2d%c", &h, &m, &s, &tail) == 3;
}

std::string line(const char *type_start, const char *in, const char *out, const char *dur, char type, const char *media,
                 const char *title)
{
    char buf[1024];
    snprintf(buf, sizeof buf, "\t%s\t%s\t%s\t%s\t%c\t%s\t%s\t\t\t\t\t\t\t", type_start, in, out, dur, type, media,
             title);
    return buf;
}

class PanelSim : public testing::Test
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
        if (!IsSkipped() && e.app) {
            EXPECT_GE(e.stop(), 0) << "bus_release did not return";
        }
        sim_child_stop(&sim);
        if (!data.empty())
            engine_remove_dir(data);
    }

    /* A copy of the sample channel data, so that nothing writes into the sources. */
    void sample_data()
    {
        data = engine_data_dir({});
        ASSERT_FALSE(data.empty());
        std::string cmd = "cp -r '" PELMORA_SOURCE_DIR "/examples/sim/.' '" + data + "/'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    void start_sim(std::vector<std::string> args, int port = 0)
    {
        std::vector<std::string> all = {"--automation", std::to_string(port), "--data", data};
        all.insert(all.end(), args.begin(), args.end());
        ASSERT_EQ(sim_child_start(&sim, sim_child_bin(), all), 0);
    }
    void start_console(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"--add-bus=NEWS", "--host=" + sim.hostport, "--idx=0"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(e.create(args));
        e.start();
    }
    bus_t *bus() { return &e.app->bus.list[0]; }

    /* Row index of the first fetched row with that media id, or -1. */
    int row_of(const char *media_id)
    {
        for (int i = 0; i < grid_rows(bus()); i++) {
            pelmorabox_event_t *ev = grid_event(bus(), i);
            if (ev && !strcmp(ev->media_id, media_id))
                return i;
        }
        return -1;
    }
    pelmorabox_bus_state_t server_state()
    {
        pelmorabox_bus_state_t s;
        memset(&s, 0, sizeof s);
        EXPECT_GE(pelmorabox_get_state(sim.url.c_str(), 0, &s), 0);
        return s;
    }

    sim_child_t sim;
    engine_app e;
    std::string data;
};

TEST_F(PanelSim, RunningBusShowsTheServersClocksCountersNotesAndPlaylistNames)
{
    sample_data();
    start_sim({"--autostart", "--playlist", "0:news_evening"});
    start_console({"--helper-type-color=L:#3050c0:#FFFFFF"});
    bus_t *b = bus();
    ASSERT_TRUE(engine_run_until(
        [&] { return grid_visible_filled(b) && frames_of(clock_time(b->clock_rem)) > 0 && panel_status(b) == 2; },
        8000))
        << "ON AIR [" << clock_time(b->clock_rem) << "] rows " << grid_rows(b);

    /* Counters and playlist names are what the server says. */
    pelmorabox_bus_state_t s = server_state();
    ASSERT_GT(s.lib_absent_count, 0) << "the sample news list has an item not in the library";
    char want[32];
    snprintf(want, sizeof want, "  %d", s.lib_absent_count);
    EXPECT_EQ(counter_text(b, BUTTON_LIST_BUS_ABSENT_ITEMS), want);
    snprintf(want, sizeof want, "  %d", s.lib_present_count);
    EXPECT_EQ(counter_text(b, BUTTON_LIST_BUS_PRESENT_ITEMS), want);
    snprintf(want, sizeof want, "  %d", s.lib_queued_count);
    EXPECT_EQ(counter_text(b, BUTTON_LIST_BUS_CHECKING_ITEMS), want);
    snprintf(want, sizeof want, "  %d", s.ply_stat_flag_range);
    EXPECT_EQ(counter_text(b, BUTTON_LIST_BUS_ERROR_ITEMS), want);
    EXPECT_EQ(clock_title(b->last_playlist), "news_evening.ply");
    EXPECT_EQ(clock_time(b->last_playlist), "");

    /* The clocks hold full timecodes; the system time is the server's. */
    int sys = frames_of(clock_time(b->clock));
    ASSERT_GE(sys, 0) << clock_time(b->clock);
    int server_sys = frames_of(s.time);
    ASSERT_GE(server_sys, 0);
    int day = tc_hmsf2frames(24, 0, 0, 0);
    int diff = abs(server_sys - sys);
    diff = std::min(diff, day - diff);
    EXPECT_LE(diff, 5 * 25) << clock_time(b->clock) << " vs " << s.time;
    EXPECT_GE(frames_of(clock_time(b->clock_ply)), frames_of(clock_time(b->clock_rem)));
    EXPECT_GT(frames_of(clock_time(b->clock_type_L_rem)), 0) << "a live event follows";
    EXPECT_GT(frames_of(clock_time(b->clock_type_C_rem)), 0) << "a commercial follows";
    EXPECT_GT(frames_of(clock_time(b->clock_absent_rem)), 0) << "an absent event follows";
    EXPECT_EQ(clock_time(b->clock_gap_overlap_rem), "  :  :  :  ") << "no fixed-time event in the list";

    /* ON AIR counts down: two successive readings a state poll or more apart. */
    int last = frames_of(clock_time(b->clock_rem));
    int decreases = 0;
    engine_run_until(
        [&] {
            int now = frames_of(clock_time(b->clock_rem));
            if (now >= 0 && now != last) {
                decreases += now < last ? 1 : 0;
                last = now;
            }
            return decreases >= 2;
        },
        6000);
    EXPECT_GE(decreases, 2) << "ON AIR did not count down: " << clock_time(b->clock_rem);

    /* NOTES and colours of the rows the server sent. */
    EXPECT_EQ(panel_cell(b, 0, BUS_COLUMN_NOTES), "PLAYING");
    std::string cue = panel_cell(b, 1, BUS_COLUMN_NOTES);
    EXPECT_TRUE(cue == "CUED" || cue == "CUEING") << cue;
    int absent = row_of("news/interview_archive.mxf");
    ASSERT_GE(absent, 0);
    EXPECT_EQ(grid_event(b, absent)->flags & PELMORABOX_EVENT_FLAG_PRESENT, 0);
    EXPECT_EQ(panel_cell(b, absent, BUS_COLUMN_NOTES), "ABSENT");
    EXPECT_EQ(panel_cell(b, absent, BUS_COLUMN_BG_COLOR_V), "#FF0000");
    int live = row_of("#LIVE2");
    ASSERT_GE(live, 0);
    EXPECT_EQ(panel_cell(b, live, BUS_COLUMN_BG_COLOR_V), "#3050c0");
    EXPECT_EQ(panel_cell(b, live, BUS_COLUMN_MEDIA_TYPE), "L");
    EXPECT_EQ(panel_cell(b, live, BUS_COLUMN_START), grid_event(b, live)->start_time);
    int plain = row_of("news/weather.mxf");
    ASSERT_GE(plain, 0);
    EXPECT_EQ(panel_cell(b, plain, BUS_COLUMN_NOTES), "");
    EXPECT_FALSE(panel_flag(b, plain, BUS_COLUMN_BG_COLOR));

    /* Loading another playlist moves the current name to the second line. */
    pelmorabox_bus_state_t ls;
    ASSERT_GE(pelmorabox_load_playlist(sim.url.c_str(), 0, "morning_show", &ls), 0);
    EXPECT_TRUE(engine_run_until([&] { return clock_title(b->last_playlist) == "morning_show.ply"; }, 4000));
    EXPECT_EQ(clock_time(b->last_playlist), "news_evening.ply");
    EXPECT_TRUE(engine_run_until([&] { return row_of("morning/traffic.mxf") >= 0; }, 4000));
    EXPECT_EQ(bus_main_thread_violations(), 0);
}

TEST_F(PanelSim, FlagsTheSimulatorSetsGiveTheirNotesAndColours)
{
    /* The generated catalogue: demo/clip001..100 (20 s or more, subclip a). */
    data = engine_data_dir({{"flags",
                             {line(" ", "", "", "00:00:05:00", 'V', "demo/clip001.mxf", "plain"),
                              line(" ", "", "", "00:00:05:00", 'V', "no/such_clip.mxf", "absent"),
                              line(" ", "", "", "", 'V', "demo/clip002.mxf#a", "subclip"),
                              line(" ", "00:00:01:00", "01:00:00:00", "", 'V', "demo/clip003.mxf", "range"),
                              line(" ", "00:00:00:00", "00:00:04:24", "", 'V', "demo/clip004.mxf", "part 1"),
                              line(" ", "00:00:10:00", "00:00:14:24", "", 'V', "demo/clip004.mxf", "part 2"),
                              line(" ", "", "", "00:00:05:00", 'V', "no/such_clip.mxf#a", "absent subclip")}}});
    ASSERT_FALSE(data.empty());
    start_sim({"--playlist", "0:flags"});
    start_console({"--ab-subclip-is-error", "--color-item-bg-subclip=#c47603", "--color-item-fg-subclip=#000011"});
    bus_t *b = bus();
    ASSERT_TRUE(engine_run_until([&] { return grid_rows(b) == 7 && grid_visible_filled(b); }, 8000));

    struct
    {
        const char *title;
        int64_t flags_on, flags_off;
        const char *notes, *bg;
    } rows[] = {
        {"plain", 0x4, 0x100 | 0x400 | 0x2000000, "", nullptr},
        {"absent", 0, 0x4, "ABSENT", "#FF0000"},
        {"subclip", 0x4 | 0x400, 0x100, "SUBCLIP", "#c47603"},
        {"range", 0x4 | 0x100, 0x400, "RANGE ERR", "#FF0000"},
        {"part 1", 0x4, 0x2000000, "", nullptr},
        {"part 2", 0x4 | 0x2000000, 0x100, "NON CONT", "#c47603"},
        {"absent subclip", 0x400, 0x4, "ABSENT\nSUBCLIP", "#c47603"},
    };
    for (int i = 0; i < 7; i++) {
        SCOPED_TRACE(rows[i].title);
        pelmorabox_event_t *ev = grid_event(b, i);
        ASSERT_NE(ev, nullptr);
        ASSERT_STREQ(ev->title, rows[i].title);
        /* The server really set these flags: otherwise the row proves nothing. */
        EXPECT_EQ(ev->flags & rows[i].flags_on, rows[i].flags_on) << std::hex << ev->flags;
        EXPECT_EQ(ev->flags & rows[i].flags_off, 0) << std::hex << ev->flags;
        EXPECT_EQ(panel_cell(b, i, BUS_COLUMN_NOTES), rows[i].notes);
        EXPECT_EQ(panel_flag(b, i, BUS_COLUMN_BG_COLOR), rows[i].bg != nullptr);
        if (rows[i].bg) {
            EXPECT_EQ(panel_cell(b, i, BUS_COLUMN_BG_COLOR_V), rows[i].bg);
        }
    }
    /* A stopped bus: online and paused, and the error counter includes the subclips. */
    EXPECT_EQ(panel_status(b), 1);
    pelmorabox_bus_state_t s = server_state();
    char want[32];
    snprintf(want, sizeof want, "  %d", s.ply_stat_flag_range + s.ply_stat_flag_subclip);
    EXPECT_GT(s.ply_stat_flag_subclip, 0);
    EXPECT_EQ(counter_text(b, BUTTON_LIST_BUS_ERROR_ITEMS), want);
}

TEST_F(PanelSim, ShortTimersDropTheFrames)
{
    sample_data();
    start_sim({"--autostart", "--playlist", "0:news_evening"});
    start_console({"--short-timers=1"});
    bus_t *b = bus();
    ASSERT_TRUE(engine_run_until([&] { return short_form(clock_time(b->clock_rem)); }, 8000))
        << clock_time(b->clock_rem);
    EXPECT_TRUE(short_form(clock_time(b->clock))) << clock_time(b->clock);
    EXPECT_TRUE(short_form(clock_time(b->clock_ply))) << clock_time(b->clock_ply);
    EXPECT_TRUE(short_form(clock_time(b->clock_type_C_rem))) << clock_time(b->clock_type_C_rem);
    EXPECT_EQ(clock_time(b->clock_gap_overlap_rem), "  :  :  ");
    /* The text is the server's clock without its frames. */
    pelmorabox_bus_state_t s = server_state();
    EXPECT_EQ(std::string(s.ply_remain).size(), 11u);
}

TEST_F(PanelSim, OfflineBlanksThePanelAndTheNextGoodPollBringsItBack)
{
    sample_data();
    start_sim({"--autostart", "--playlist", "0:news_evening"});
    int port = sim.port;
    start_console();
    bus_t *b = bus();
    ASSERT_TRUE(engine_run_until([&] { return grid_visible_filled(b) && panel_status(b) == 2; }, 8000));
    ASSERT_EQ(clock_title(b->last_playlist), "news_evening.ply");

    ASSERT_EQ(sim_child_stop(&sim), 0);
    ASSERT_TRUE(engine_run_until([&] { return panel_status(b) == 0; }, 8000)) << "never went offline";
    EXPECT_EQ(grid_rows(b), 0);
    for (GtkWidget *c : {b->clock, b->clock_rem, b->clock_ply, b->clock_absent_rem, b->clock_gap_overlap_rem,
                         b->clock_type_C_rem, b->clock_type_L_rem})
        EXPECT_EQ(clock_time(c), "  :  :  :  ") << clock_title(c);
    for (int id : {BUTTON_LIST_BUS_ABSENT_ITEMS, BUTTON_LIST_BUS_PRESENT_ITEMS, BUTTON_LIST_BUS_CHECKING_ITEMS,
                   BUTTON_LIST_BUS_ERROR_ITEMS})
        EXPECT_EQ(counter_text(b, id), "") << id;
    EXPECT_EQ(clock_title(b->last_playlist), "news_evening.ply") << "the playlist names stay";
    /* Offline stays blank over further failed polls. */
    engine_run_for(2000);
    EXPECT_EQ(panel_status(b), 0);
    EXPECT_EQ(clock_time(b->clock_rem), "  :  :  :  ");

    start_sim({"--autostart", "--playlist", "0:news_evening"}, port);
    ASSERT_TRUE(engine_run_until(
        [&] { return panel_status(b) == 2 && grid_visible_filled(b) && frames_of(clock_time(b->clock_rem)) > 0; },
        8000))
        << "never came back";
    EXPECT_EQ(grid_rows(b), (int)server_state().count);
    EXPECT_EQ(clock_title(b->last_playlist), "news_evening.ply");
    EXPECT_NE(counter_text(b, BUTTON_LIST_BUS_PRESENT_ITEMS), "");
    EXPECT_EQ(panel_cell(b, 0, BUS_COLUMN_NOTES), "PLAYING");
}

} // namespace
