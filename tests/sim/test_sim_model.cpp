/* The simulator's bus model with a clock the test controls: play-out, cueing,
 * start types, remains, media flags and counters, playlist files. */
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "sim_bus.h"
#include "sim_clock.h"
#include "sim_media.h"
#include "sim_playlist.h"
#include "sim_server.h"
#include "timecode.h"

namespace {

/* An event line: start type, duration, event type, media id, title, fixed time. */
std::string line(char st, const char *dur, char et, const char *media, const char *title, const char *fixed = "",
                 const char *in = "", const char *out = "")
{
    char buf[1024];
    snprintf(buf, sizeof buf, "\t%c\t%s\t%s\t%s\t%c\t%s\t%s\t\t%s\t\t\t\t\t", st, in, out, dur, et, media, title,
             fixed);
    return buf;
}

pelmorabox_event_t *ev(const std::string &l)
{
    pelmorabox_event_t *e = pelmorabox_event_create_from_string(l.c_str(), nullptr, 0);
    EXPECT_NE(e, nullptr) << l;
    return e;
}

struct Model : ::testing::Test
{
    sim_catalogue_t cat;
    sim_bus_t bus;
    int64_t t0;
    void SetUp() override
    {
        tc_setmode(TC_PAL);
        sim_media_t m;
        m.origin = "library";
        for (const char *id : {"a", "b", "c", "fallback"}) {
            m.id = id;
            m.frames = 25 * 60; /* one minute */
            cat.items[id] = m;
        }
        m.id = "clip";
        m.subclips.push_back({"s1", 250, 499});
        cat.items["clip"] = m;
        /* 05:50 local today: fixed times at 06:00 are ten minutes ahead. */
        t0 = sim_clock_local_midnight(sim_clock_now_ms()) + (5 * 3600 + 50 * 60) * 1000LL;
        sim_bus_init(&bus, 0, &cat, "fallback", 500, t0);
    }
    void TearDown() override { sim_bus_release(&bus); }
    void load(const std::vector<std::string> &lines)
    {
        std::vector<pelmorabox_event_t *> v;
        for (const std::string &l : lines)
            v.push_back(ev(l));
        sim_bus_load(&bus, v, 0, "test.ply", t0);
    }
    pelmorabox_bus_state_t state(int64_t now)
    {
        std::lock_guard<std::mutex> g(bus.lock);
        sim_bus_advance(&bus, now);
        pelmorabox_bus_state_t s;
        sim_bus_state(&bus, now, &s);
        return s;
    }
};

TEST_F(Model, PlaysOutTheListInTime)
{
    load({line(' ', "00:00:10:00", 'V', "a", "one"), line(' ', "00:00:10:00", 'V', "b", "two"),
          line(' ', "00:00:10:00", 'V', "c", "three"), line(' ', "00:00:10:00", 'V', "a", "four")});
    pelmorabox_bus_state_t s = state(t0);
    EXPECT_EQ(s.f_running, 0);
    EXPECT_EQ(s.count, 4);
    EXPECT_STREQ(s.ply_remain, "00:00:40:00");
    int64_t id0 = bus.list[0].sys_id, id1 = bus.list[1].sys_id;
    EXPECT_NE(id0, id1);

    sim_bus_run(&bus, 1, t0);
    s = state(t0 + 100);
    EXPECT_EQ(s.f_running, 1);
    EXPECT_EQ(bus.list[0].flags & (PELMORABOX_EVENT_FLAG_PLAY | PELMORABOX_EVENT_FLAG_PLAYING),
              PELMORABOX_EVENT_FLAG_PLAY | PELMORABOX_EVENT_FLAG_PLAYING);
    EXPECT_TRUE(bus.list[1].flags & PELMORABOX_EVENT_FLAG_CUEING);
    EXPECT_TRUE(bus.list[2].flags & PELMORABOX_EVENT_FLAG_CUEING);
    EXPECT_FALSE(bus.list[3].flags & (PELMORABOX_EVENT_FLAG_CUEING | PELMORABOX_EVENT_FLAG_CUED));
    EXPECT_STREQ(s.curr_remain, "00:00:09:22");
    EXPECT_STREQ(s.ply_remain, "00:00:39:22");
    int64_t amend = s.amend;

    /* After the cue time the next events are cued; the flag change is a change. */
    s = state(t0 + 1000);
    EXPECT_TRUE(bus.list[1].flags & PELMORABOX_EVENT_FLAG_CUED);
    EXPECT_FALSE(bus.list[1].flags & PELMORABOX_EVENT_FLAG_CUEING);
    EXPECT_GT(s.amend, amend);
    amend = s.amend;
    EXPECT_STREQ(s.curr_remain, "00:00:09:00");

    /* The first event ends: it leaves the top, the second plays from its end. */
    s = state(t0 + 10500);
    EXPECT_EQ(s.count, 3);
    EXPECT_GT(s.amend, amend);
    EXPECT_EQ(bus.list[0].sys_id, id1);
    EXPECT_EQ(bus.list[0].start_ms, t0 + 10000);
    EXPECT_TRUE(bus.list[0].flags & PELMORABOX_EVENT_FLAG_PLAYING);
    EXPECT_STREQ(s.curr_remain, "00:00:09:12");

    /* Catching up over several ends at once, then the list runs dry. */
    s = state(t0 + 35000);
    EXPECT_EQ(s.count, 1);
    s = state(t0 + 41000);
    EXPECT_EQ(s.count, 0);
    EXPECT_STREQ(s.curr_remain, "00:00:00:00");
    EXPECT_EQ(s.ply_hash[0], 0);
}

TEST_F(Model, TakeTakeNAndStop)
{
    load({line(' ', "00:00:10:00", 'V', "a", "one"), line(' ', "00:00:10:00", 'V', "b", "two"),
          line(' ', "00:00:10:00", 'V', "c", "three"), line(' ', "00:00:10:00", 'V', "a", "four")});
    EXPECT_EQ(sim_bus_take(&bus, t0), -1) << "a stopped bus takes nothing";
    sim_bus_run(&bus, 1, t0);
    EXPECT_EQ(sim_bus_take(&bus, t0 + 3000), 0);
    pelmorabox_bus_state_t s = state(t0 + 3000);
    EXPECT_EQ(s.count, 3);
    EXPECT_STREQ(bus.list[0].ev->title, "two");
    EXPECT_EQ(bus.list[0].start_ms, t0 + 3000);
    EXPECT_STREQ(s.curr_remain, "00:00:10:00");
    EXPECT_EQ(sim_bus_take_n(&bus, 5, t0 + 4000), -22);
    EXPECT_EQ(sim_bus_take_n(&bus, 2, t0 + 4000), 0);
    s = state(t0 + 4000);
    EXPECT_EQ(s.count, 1);
    EXPECT_STREQ(bus.list[0].ev->title, "four");
    /* Stop: the event stays at the top, nothing plays, flags clear. */
    sim_bus_run(&bus, 0, t0 + 5000);
    s = state(t0 + 60000);
    EXPECT_EQ(s.count, 1);
    EXPECT_EQ(s.f_running, 0);
    EXPECT_EQ(bus.list[0].flags & PELMORABOX_EVENT_FLAG_PLAYING, 0);
    /* Fallback cuts to the fallback clip, which then plays on air. */
    sim_bus_run(&bus, 1, t0 + 61000);
    EXPECT_EQ(sim_bus_fallback(&bus, t0 + 62000), 0);
    s = state(t0 + 62000);
    EXPECT_EQ(s.count, 1);
    EXPECT_STREQ(bus.list[0].ev->media_id, "fallback");
    EXPECT_TRUE(bus.list[0].flags & PELMORABOX_EVENT_FLAG_PLAYING);
}

TEST_F(Model, ManualWaitsForTake)
{
    load({line(' ', "00:00:10:00", 'V', "a", "one"), line('M', "00:00:10:00", 'L', "#LIVE", "live"),
          line(' ', "00:00:10:00", 'V', "b", "after")});
    sim_bus_run(&bus, 1, t0);
    pelmorabox_bus_state_t s = state(t0 + 30000);
    EXPECT_EQ(s.count, 2);
    EXPECT_STREQ(bus.list[0].ev->title, "live");
    EXPECT_EQ(bus.list[0].flags & PELMORABOX_EVENT_FLAG_PLAY, 0) << "waits for a take";
    EXPECT_TRUE(bus.list[0].flags & PELMORABOX_EVENT_FLAG_CUED);
    EXPECT_STREQ(s.type_L_remain, "00:00:00:00");
    EXPECT_STREQ(s.ply_remain, "00:00:20:00") << "what waits is still to be played";
    sim_bus_take(&bus, t0 + 31000);
    s = state(t0 + 32000);
    EXPECT_TRUE(bus.list[0].flags & PELMORABOX_EVENT_FLAG_PLAYING);
    EXPECT_STREQ(s.curr_remain, "00:00:09:00");
}

TEST_F(Model, FixedTimeGapFillAndOverlap)
{
    /* 05:50:00 now; 60 s of clip, then a gap fill up to the 06:00:00 fixed start. */
    load({line(' ', "00:01:00:00", 'V', "a", "opener"), line('G', "00:00:30:00", 'V', "b", "filler"),
          line('F', "00:00:20:00", 'V', "c", "six o'clock", "06:00:00:00"), line(' ', "00:10:00:00", 'C', "a", "ads"),
          line('F', "00:00:20:00", 'V', "c", "six ten", "06:10:00:00")});
    sim_bus_run(&bus, 1, t0);
    pelmorabox_bus_state_t s = state(t0);
    ASSERT_EQ(bus.list.size(), 5u);
    EXPECT_EQ(bus.list[1].dur_ms, 9 * 60 * 1000) << "gap fill stretched to the fixed start";
    EXPECT_EQ(bus.list[2].start_ms, t0 + 10 * 60 * 1000);
    EXPECT_STREQ(s.fixed_time_remain, "00:00:00:00");
    EXPECT_STREQ(s.type_C_remain, "00:10:20:00");
    /* 06:00:20 + 10 min ads = 06:10:20 but the next fixed start is 06:10:00:
     * the ads are cut by 20 s. */
    EXPECT_EQ(bus.list[3].dur_ms, (10 * 60 - 20) * 1000);
    EXPECT_EQ(bus.list[4].start_ms, t0 + 20 * 60 * 1000);
    char tc[32];
    EXPECT_STREQ(sim_clock_tod2tc(bus.list[2].start_ms, tc, sizeof tc), "06:00:00:00");

    /* Without the gap fill the fixed event waits in a gap; GAP shows it. */
    std::vector<int64_t> del = {1};
    sim_bus_delete(&bus, del, t0 + 1000);
    s = state(t0 + 1000);
    EXPECT_STREQ(s.fixed_time_remain, "00:09:00:00");
    s = state(t0 + 9 * 60 * 1000);
    EXPECT_EQ(s.count, 3);
    EXPECT_EQ(bus.list[0].flags & PELMORABOX_EVENT_FLAG_PLAY, 0) << "waits for 06:00";
    s = state(t0 + 10 * 60 * 1000 + 40);
    EXPECT_TRUE(bus.list[0].flags & PELMORABOX_EVENT_FLAG_PLAYING);
    EXPECT_EQ(bus.list[0].start_ms, t0 + 10 * 60 * 1000);
    /* Reset TC drops the fixed time: the last event now follows the ads. */
    std::vector<int64_t> ids = {bus.list[2].sys_id};
    EXPECT_EQ(sim_bus_reset_tc(&bus, ids, t0 + 10 * 60 * 1000 + 80), 1);
    EXPECT_EQ(bus.list[2].ev->start_type, ' ');
    EXPECT_EQ(bus.list[2].start_ms, t0 + (20 * 60 + 20) * 1000);
}

TEST_F(Model, MediaFlagsAndCounters)
{
    load({line(' ', "00:00:10:00", 'V', "a", "present"), line(' ', "00:00:10:00", 'V', "missing", "absent"),
          line(' ', "00:00:10:00", 'V', "clip#s1", "subclip"),
          line(' ', "", 'V', "b", "range", "", "00:00:50:00", "00:01:10:00"),
          line(' ', "00:00:10:00", 'V', "clip#nosuch", "absent subclip"),
          line(' ', "00:00:05:00", 'L', "#LIVE2", "live")});
    pelmorabox_bus_state_t s = state(t0);
    EXPECT_TRUE(bus.list[0].flags & PELMORABOX_EVENT_FLAG_PRESENT);
    EXPECT_FALSE(bus.list[1].flags & PELMORABOX_EVENT_FLAG_PRESENT);
    EXPECT_EQ(bus.list[2].flags & (PELMORABOX_EVENT_FLAG_PRESENT | PELMORABOX_EVENT_FLAG_SUBCLIP),
              PELMORABOX_EVENT_FLAG_PRESENT | PELMORABOX_EVENT_FLAG_SUBCLIP);
    EXPECT_TRUE(bus.list[3].flags & PELMORABOX_EVENT_FLAG_RANGE_ERR);
    EXPECT_EQ(bus.list[3].natural_ms, 20040) << "length from the marks";
    EXPECT_FALSE(bus.list[4].flags & PELMORABOX_EVENT_FLAG_PRESENT);
    EXPECT_TRUE(bus.list[5].flags & PELMORABOX_EVENT_FLAG_PRESENT);
    EXPECT_EQ(s.lib_present_count, 4);
    EXPECT_EQ(s.lib_absent_count, 2);
    EXPECT_EQ(s.ply_stat_flag_range, 1);
    EXPECT_EQ(s.ply_stat_flag_subclip, 1);
    EXPECT_STREQ(s.absent_remain, "00:00:10:00");

    /* An absent event on air fails to play; one in the cue window fails to cue. */
    sim_bus_run(&bus, 1, t0);
    sim_bus_take(&bus, t0 + 1000);
    state(t0 + 1000);
    EXPECT_EQ(bus.list[0].flags & (PELMORABOX_EVENT_FLAG_PLAY_FAILED | PELMORABOX_EVENT_FLAG_PLAYING),
              PELMORABOX_EVENT_FLAG_PLAY_FAILED);
    sim_bus_take(&bus, t0 + 1500);
    state(t0 + 1500);
    EXPECT_TRUE(bus.list[2].flags & PELMORABOX_EVENT_FLAG_CUE_FAILED) << "absent subclip second in the cue window";
    EXPECT_TRUE(bus.list[1].flags & PELMORABOX_EVENT_FLAG_CUED) << "in the window since the first take";
    /* Counters follow edits. */
    std::vector<int64_t> del = {2};
    EXPECT_EQ(sim_bus_delete(&bus, del, t0 + 2000), 1);
    s = state(t0 + 2000);
    EXPECT_EQ(s.lib_absent_count, 0);
    EXPECT_EQ(s.absent_remain[0], 0);
    /* Pad the event on air by 2 s, then trim it by 3 s. */
    EXPECT_EQ(sim_bus_trimpad(&bus, 50, t0 + 2000), 0);
    EXPECT_STREQ(bus.list[0].ev->duration, "00:00:12:00");
    s = state(t0 + 2000);
    EXPECT_STREQ(s.curr_remain, "00:00:11:12");
    EXPECT_EQ(sim_bus_trimpad(&bus, -75, t0 + 2000), 0);
    s = state(t0 + 2000);
    EXPECT_STREQ(s.curr_remain, "00:00:08:12");
}

TEST_F(Model, EditsKeepIdsAndChangeTheHash)
{
    load({line(' ', "00:00:10:00", 'V', "a", "one"), line(' ', "00:00:10:00", 'V', "b", "two")});
    pelmorabox_bus_state_t s = state(t0);
    std::string h1 = s.ply_hash;
    int64_t amend = s.amend, id1 = bus.list[1].sys_id;
    sim_bus_run(&bus, 1, t0);
    /* Nothing goes in front of what is on air. */
    EXPECT_EQ(sim_bus_insert(&bus, 0, ev(line(' ', "00:00:05:00", 'V', "c", "new")), t0 + 10), 1);
    s = state(t0 + 10);
    EXPECT_GT(s.amend, amend);
    EXPECT_NE(std::string(s.ply_hash), h1);
    EXPECT_EQ(bus.list[2].sys_id, id1);
    EXPECT_EQ(sim_bus_update(&bus, 2, ev(line(' ', "00:00:07:00", 'V', "c", "edited")), t0 + 20), 2);
    EXPECT_EQ(bus.list[2].sys_id, id1);
    EXPECT_STREQ(bus.list[2].ev->title, "edited");
    EXPECT_EQ(sim_bus_update(&bus, 9, ev(line(' ', "00:00:07:00", 'V', "c", "x")), t0 + 20), -22);
    EXPECT_EQ(sim_bus_search(&bus, "EDIT", 0, 1 << PELMORABOX_EVENT_SEARCH_IDX_TITLE), 2);
    EXPECT_EQ(sim_bus_search(&bus, "edit", 0, 1 << PELMORABOX_EVENT_SEARCH_IDX_MEDIA_ID), -2);
    EXPECT_EQ(sim_bus_search(&bus, std::to_string(id1).c_str(), 0, 1 << PELMORABOX_EVENT_SEARCH_IDX_SYS_ID), 2);
    /* Truncate above keeps the event on air; below removes the tail. */
    EXPECT_EQ(sim_bus_truncate(&bus, id1, 0, t0 + 30), 1);
    EXPECT_EQ(bus.list.size(), 2u);
    EXPECT_EQ(sim_bus_truncate(&bus, bus.list[0].sys_id, 1, t0 + 30), 1);
    EXPECT_EQ(bus.list.size(), 1u);
    EXPECT_EQ(sim_bus_truncate(&bus, 12345, 1, t0 + 30), -2);
}

TEST(SimPlaylist, NamesFilesAndBrokenLines)
{
    std::string f;
    EXPECT_EQ(sim_playlist_name("news", &f), 0);
    EXPECT_EQ(f, "news.ply");
    EXPECT_EQ(sim_playlist_name("news.ply", &f), 0);
    EXPECT_EQ(f, "news.ply");
    for (const char *bad : {"", "../etc/passwd", "a/b", "..", "x..y", ".hidden", "a\\b", "tab\there"})
        EXPECT_EQ(sim_playlist_name(bad, &f), -22) << bad;

    char dir[] = "/tmp/sim_model_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    {
        std::ofstream o(std::string(dir) + "/mixed.ply");
        o << line(' ', "00:00:10:00", 'V', "a", "good one") << "\r\n"
          << "only\tthree\tfields\n"
          << "\n"
          << line('F', "00:00:10:00", 'C', "b", "good two", "06:00:00:00") << "\n";
    }
    std::vector<pelmorabox_event_t *> v;
    testing::internal::CaptureStderr();
    EXPECT_EQ(sim_playlist_read(dir, "mixed", &v), 2);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("mixed.ply:2: broken event line skipped"), std::string::npos) << log;
    ASSERT_EQ(v.size(), 2u);
    EXPECT_STREQ(v[1]->title, "good two");
    EXPECT_EQ(v[1]->start_type, 'F');
    EXPECT_EQ(sim_playlist_read(dir, "nosuch", &v), -2);
    EXPECT_EQ(sim_playlist_read(dir, "../mixed", &v), -22);

    std::vector<const pelmorabox_event_t *> cv(v.begin(), v.end());
    EXPECT_EQ(sim_playlist_write(dir, "copy", cv), 2);
    std::vector<pelmorabox_event_t *> back;
    EXPECT_EQ(sim_playlist_read(dir, "copy.ply", &back), 2);
    char a[16384], b[16384];
    for (size_t i = 0; i < 2; i++)
        EXPECT_STREQ(pelmorabox_event_format_string(v[i], a, sizeof a),
                     pelmorabox_event_format_string(back[i], b, sizeof b));
    std::vector<std::string> names;
    EXPECT_EQ(sim_playlist_list(dir, &names), 2);
    EXPECT_EQ(names[0], "copy.ply");
    for (auto *e : v)
        pelmorabox_event_destroy(&e);
    for (auto *e : back)
        pelmorabox_event_destroy(&e);
    unlink((std::string(dir) + "/mixed.ply").c_str());
    unlink((std::string(dir) + "/copy.ply").c_str());
    rmdir(dir);
}

TEST(SimMedia, DescriptionsAndTakeDatagrams)
{
    tc_setmode(TC_PAL);
    sim_media_t m;
    testing::internal::CaptureStderr();
    EXPECT_EQ(sim_media_parse("duration=00:01:00:00\ntitle=T\nsubclip=s 00:00:10:00 00:00:19:24\nsubclip=bad\nnoeq\n",
                              "x.media", &m),
              0);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("x.media:4"), std::string::npos);
    EXPECT_NE(log.find("x.media:5"), std::string::npos);
    EXPECT_EQ(m.frames, 1500);
    ASSERT_EQ(m.subclips.size(), 1u);
    EXPECT_EQ(m.subclips[0].in, 250);
    EXPECT_EQ(m.subclips[0].out, 499);
    testing::internal::CaptureStderr();
    EXPECT_EQ(sim_media_parse("title=no length\n", "y.media", &m), -22);
    testing::internal::GetCapturedStderr();

    /* Other timecode modes: 64-bit conversions, drop-frame labels. */
    tc_setmode(TC_NTSC);
    EXPECT_EQ(sim_clock_frames2ms(30), 1001);
    EXPECT_EQ(sim_clock_frames2ms(30LL * 3600 * 24), 86486400) << "a day of frames without overflow";
    tc_setmode(TC_NTSC_DF);
    EXPECT_EQ(sim_clock_tc2frames("00:01:00:02"), 1800);
    char tc[32];
    EXPECT_STREQ(sim_clock_dur2tc(-1001, tc, sizeof tc), "-00:00:01:00");
    EXPECT_EQ(sim_clock_tc2frames("no digits"), -1);
    EXPECT_EQ(sim_clock_tc2frames("99999999:00:00:00"), -1);
    tc_setmode(TC_PAL);

    const char ok[] = "PelmoraBox.Take 3";
    EXPECT_EQ(sim_server_parse_take(ok, sizeof ok - 1), 3);
    EXPECT_EQ(sim_server_parse_take("PelmoraBox.Take", 15), -22);
    EXPECT_EQ(sim_server_parse_take("PelmoraBox.Take x", 17), -22);
    EXPECT_EQ(sim_server_parse_take("PelmoraBox.Take -1", 18), -22);
    EXPECT_EQ(sim_server_parse_take("PelmoraBox.Take 1 2", 19), -22);
    std::string huge(500, '9');
    EXPECT_EQ(sim_server_parse_take(huge.c_str(), huge.size()), -22);
}

} // namespace
