/* pelmora-sim as a running program, driven through the client library over
 * XML-RPC on loopback: lists, edits, playlists, searches, error lists, the
 * time model in real time, the UDP take, faults and a restart. */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "client_env.h"
#include "pelmora.h"
#include "pelmorabox.h"
#include "sim_child.h"

namespace {

const auto *const env = client_env_add("sim-test");

std::string make_data_dir()
{
    char dir[] = "/tmp/sim_it_XXXXXX";
    if (!mkdtemp(dir))
        return "";
    std::string cmd = std::string("cp -r ") + PELMORA_SOURCE_DIR + "/examples/sim/. " + dir;
    if (system(cmd.c_str()) != 0)
        return "";
    return dir;
}

void remove_dir(const std::string &dir)
{
    if (dir.compare(0, 12, "/tmp/sim_it_") == 0)
        system(("rm -rf " + dir).c_str());
}

std::string line(char st, const char *dur, char et, const char *media, const char *title)
{
    char buf[1024];
    snprintf(buf, sizeof buf, "\t%c\t\t\t%s\t%c\t%s\t%s\t\t\t\t\t\t\t", st, dur, et, media, title);
    return buf;
}

pelmorabox_event_t *ev(const std::string &l)
{
    return pelmorabox_event_create_from_string(l.c_str(), nullptr, 0);
}

/* The event line without the server-computed start time. */
std::string content(pelmorabox_event_t *e)
{
    char buf[PELMORABOX_EVENT_LINE_BUF];
    char saved[32];
    memcpy(saved, e->start_time, sizeof saved);
    e->start_time[0] = 0;
    pelmorabox_event_format_string(e, buf, sizeof buf);
    memcpy(e->start_time, saved, sizeof saved);
    return buf;
}

/* All events of a bus, fetched 32 at a time as the console does. */
std::vector<pelmorabox_event_t *> fetch_all(const std::string &url, int bus, int64_t count)
{
    std::vector<pelmorabox_event_t *> out;
    for (int64_t from = 0; from < count; from += 32) {
        int n = (int)std::min<int64_t>(32, count - from);
        std::vector<int64_t> idxs(n);
        std::vector<pelmorabox_event_t *> pe(n, nullptr);
        for (int i = 0; i < n; i++)
            idxs[i] = from + i;
        pelmorabox_bus_state_t s;
        int r = pelmorabox_get_events2(url.c_str(), bus, n, idxs.data(), pe.data(), &s);
        EXPECT_EQ(r, n);
        for (int i = 0; i < r; i++) {
            EXPECT_EQ(idxs[i], from + i);
            out.push_back(pe[i]);
        }
    }
    return out;
}

void destroy_all(std::vector<pelmorabox_event_t *> &v)
{
    for (auto *&e : v)
        pelmorabox_event_destroy(&e);
    v.clear();
}

struct SimRun : ::testing::Test
{
    std::string dir;
    sim_child_t sim;
    std::string url;
    void SetUp() override
    {
        dir = make_data_dir();
        ASSERT_FALSE(dir.empty());
    }
    void start(std::vector<std::string> extra, int port = 0)
    {
        std::vector<std::string> args = {"--automation", std::to_string(port), "--data", dir};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_EQ(sim_child_start(&sim, sim_child_bin(), args), 0);
        url = sim.url;
    }
    void TearDown() override
    {
        EXPECT_EQ(sim_child_stop(&sim), 0) << "the simulator ends cleanly on SIGTERM";
        remove_dir(dir);
    }
    pelmorabox_bus_state_t state(int bus = 0)
    {
        pelmorabox_bus_state_t s;
        EXPECT_EQ(pelmorabox_get_state(url.c_str(), bus, &s), 0);
        return s;
    }
};

TEST_F(SimRun, ListsEditsPlaylistsAndSearches)
{
    start({"--buses", "2", "--log-calls"});
    pelmorabox_bus_state_t s = state();
    EXPECT_EQ(s.count, 0);
    EXPECT_EQ(s.f_running, 0);

    char **names = nullptr;
    ASSERT_EQ(pelmorabox_list_playlists(url.c_str(), 0, &names, &s), 3);
    std::vector<std::string> listed;
    for (int i = 0; names[i]; i++) {
        listed.push_back(names[i]);
        free(names[i]);
    }
    free(names);
    EXPECT_EQ(listed, (std::vector<std::string>{"fallback.ply", "morning_show.ply", "news_evening.ply"}));

    ASSERT_EQ(pelmorabox_load_playlist(url.c_str(), 0, "news_evening", &s), 13);
    EXPECT_EQ(s.count, 13);
    EXPECT_STREQ(s.last_playlist, "news_evening.ply");
    EXPECT_EQ(s.lib_absent_count, 1);
    EXPECT_EQ(s.lib_present_count, 12);
    EXPECT_EQ(s.ply_stat_flag_subclip, 1);
    EXPECT_EQ(s.ply_stat_flag_range, 0);
    EXPECT_NE(s.ply_hash[0], 0);
    std::string hash0 = s.ply_hash;
    int64_t amend = s.amend;

    std::vector<pelmorabox_event_t *> all = fetch_all(url, 0, s.count);
    ASSERT_EQ(all.size(), 13u);
    EXPECT_STREQ(all[0]->title, "Evening News - opening titles");
    EXPECT_EQ(all[1]->event_type, 'L');
    EXPECT_EQ(all[3]->event_type, 'C');
    EXPECT_EQ(all[1]->metadata_cnt, 2);
    EXPECT_STREQ(all[0]->assets, "logo_news+clock_ul");
    EXPECT_EQ(all[7]->flags & PELMORABOX_EVENT_FLAG_PRESENT, 0) << all[7]->media_id;
    EXPECT_TRUE(all[8]->flags & PELMORABOX_EVENT_FLAG_SUBCLIP);
    EXPECT_TRUE(all[0]->flags & PELMORABOX_EVENT_FLAG_PRESENT);
    EXPECT_GE(all[0]->amend, amend);
    for (size_t i = 0; i < all.size(); i++)
        for (size_t j = i + 1; j < all.size(); j++)
            EXPECT_NE(all[i]->sys_id, all[j]->sys_id);
    int64_t id3 = all[3]->sys_id, id10 = all[10]->sys_id;
    destroy_all(all);

    /* Error lists: absent (0x80) and range/non-continuous/subclip. */
    pelmorabox_event_t *flagged = nullptr;
    ASSERT_EQ(pelmorabox_errorflag_list(url.c_str(), 0, 128, &flagged, &s), 1);
    EXPECT_STREQ(flagged[0].media_id, "news/interview_archive.mxf");
    EXPECT_STREQ(flagged[0].title, "Archive interview (awaiting ingest)");
    EXPECT_TRUE(flagged[0].flags & 0x80);
    EXPECT_NE(flagged[0].sys_id, 0);
    free(flagged);
    ASSERT_EQ(pelmorabox_errorflag_list(url.c_str(), 0, 0x2000500, &flagged, &s), 1);
    EXPECT_STREQ(flagged[0].media_id, "news/sport.mxf#highlights");
    free(flagged);
    ASSERT_EQ(pelmorabox_errorflag_list(url.c_str(), 0, 0x2000100, &flagged, &s), 0);
    free(flagged);

    /* Search by title (any case), media id, metadata value and sys_id. */
    EXPECT_EQ(pelmorabox_search_event(url.c_str(), 0, "WEATHER", 0, 1 << PELMORABOX_EVENT_SEARCH_IDX_TITLE, &s), 9);
    EXPECT_EQ(pelmorabox_search_event(url.c_str(), 0, "#LIVE2", 0, 1 << PELMORABOX_EVENT_SEARCH_IDX_MEDIA_ID, &s), 6);
    EXPECT_EQ(pelmorabox_search_event(url.c_str(), 0, "Cola Co", 0, 1 << PELMORABOX_EVENT_SEARCH_IDX_META_VAL, &s), 4);
    EXPECT_EQ(pelmorabox_search_event(url.c_str(), 0, "break", 5, 1 << PELMORABOX_EVENT_SEARCH_IDX_TITLE, &s), 5);
    EXPECT_EQ(pelmorabox_search_event(url.c_str(), 0, std::to_string(id3).c_str(), 0,
                                      1 << PELMORABOX_EVENT_SEARCH_IDX_SYS_ID, &s),
              3);
    EXPECT_LT(pelmorabox_search_event(url.c_str(), 0, "no such thing", 0, 0x7f, &s), 0);

    /* Insert by index and before a sys_id, update by sys_id, delete. */
    pelmorabox_event_t *e = ev(line(' ', "00:00:30:00", 'V', "news/weather.mxf", "Inserted weather"));
    ASSERT_EQ(pelmorabox_insert_event(url.c_str(), 0, 1, e, &s), 1);
    EXPECT_EQ(s.count, 14);
    EXPECT_GT(s.amend, amend);
    EXPECT_NE(std::string(s.ply_hash), hash0);
    pelmorabox_event_t *got = nullptr;
    ASSERT_EQ(pelmorabox_get_event(url.c_str(), 0, 1, &got, &s), 0);
    EXPECT_STREQ(got->title, "Inserted weather");
    int64_t new_id = got->sys_id;
    pelmorabox_event_destroy(&got);
    strcpy(e->title, "Edited weather");
    ASSERT_EQ(pelmorabox_update_event2(url.c_str(), 0, new_id, e, &s), 1);
    ASSERT_EQ(pelmorabox_get_event(url.c_str(), 0, 1, &got, &s), 0);
    EXPECT_STREQ(got->title, "Edited weather");
    EXPECT_EQ(got->sys_id, new_id) << "sys_id stable across an update";
    pelmorabox_event_destroy(&got);
    ASSERT_EQ(pelmorabox_insert_event2(url.c_str(), 0, id3, e, &s), 4);
    EXPECT_EQ(s.count, 15);
    int64_t del_ids[2] = {new_id, 999999999};
    EXPECT_EQ(pelmorabox_delete_event2(url.c_str(), 0, 2, del_ids, &s), 1);
    int64_t del_idx[1] = {3};
    EXPECT_EQ(pelmorabox_delete_event(url.c_str(), 0, 1, del_idx, &s), 1);
    EXPECT_EQ(s.count, 13);
    EXPECT_EQ(pelmorabox_update_event(url.c_str(), 0, 99, e, &s), -22);
    pelmorabox_event_destroy(&e);

    /* Truncate below the 11th event; save; close; reload: identical. */
    ASSERT_EQ(pelmorabox_truncate_playlist(url.c_str(), 0, id10, 1, &s), 2);
    EXPECT_EQ(s.count, 11);
    std::vector<pelmorabox_event_t *> before = fetch_all(url, 0, s.count);
    ASSERT_EQ(pelmorabox_save_playlist(url.c_str(), 0, "copy", &s), 11);
    EXPECT_STREQ(s.last_playlist, "copy.ply > news_evening.ply");
    ASSERT_EQ(pelmorabox_close_playlist(url.c_str(), 0, &s), 0);
    EXPECT_EQ(s.count, 0);
    ASSERT_EQ(pelmorabox_load_playlist(url.c_str(), 0, "copy.ply", &s), 11);
    std::vector<pelmorabox_event_t *> after = fetch_all(url, 0, s.count);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); i++) {
        EXPECT_EQ(content(after[i]), content(before[i])) << i;
        EXPECT_EQ(after[i]->flags & 0xfff, before[i]->flags & 0xfff) << i;
    }
    destroy_all(before);
    destroy_all(after);
    ASSERT_EQ(pelmorabox_append_playlist(url.c_str(), 0, "fallback", &s), 1);
    EXPECT_EQ(s.count, 12);
    ASSERT_EQ(pelmorabox_list_playlists(url.c_str(), 1, &names, &s), 4);
    for (int i = 0; names[i]; i++)
        free(names[i]);
    free(names);

    /* The bus's media list. */
    pelmorabox_bus_lib_list_t bl;
    int nlib = pelmorabox_lib_list(url.c_str(), 0, 2, &bl, &s);
    ASSERT_EQ(nlib, 1) << "absent media only";
    EXPECT_STREQ(bl.list[0]->object, "news/interview_archive.mxf");
    pelmorabox_bus_lib_release(&bl);
    nlib = pelmorabox_lib_list(url.c_str(), 0, 0, &bl, &s);
    EXPECT_GT(nlib, 5);
    EXPECT_GE(pelmorabox_bus_lib_lookup_by_object(&bl, "news/open.mxf"), 0);
    pelmorabox_bus_lib_release(&bl);

    /* Snapshots: copy of the list, an added event, save, destroy. */
    int snap = pelmorabox_snapshot_curr(url.c_str(), 0, &s);
    ASSERT_GT(snap, 0);
    ASSERT_EQ(pelmorabox_snapshot_get_event(url.c_str(), 0, snap, 0, &got, &s), 0);
    EXPECT_STREQ(got->title, "Evening News - opening titles");
    pelmorabox_event_destroy(&got);
    e = ev(line(' ', "00:00:10:00", 'V', "fallback", "Snapshot extra"));
    EXPECT_EQ(pelmorabox_snapshot_add_event(url.c_str(), 0, snap, e, &s), 13);
    pelmorabox_event_destroy(&e);
    EXPECT_EQ(pelmorabox_snapshot_save(url.c_str(), 0, snap, "snap", &s), 13);
    EXPECT_EQ(pelmorabox_snapshot_destroy(url.c_str(), 0, snap, &s), 0);
    EXPECT_EQ(pelmorabox_snapshot_destroy(url.c_str(), 0, snap, &s), -2);
    int snap2 = pelmorabox_snapshot_load(url.c_str(), 0, "snap", &s);
    ASSERT_GT(snap2, snap);
    ASSERT_EQ(pelmorabox_snapshot_get_event(url.c_str(), 0, snap2, 12, &got, &s), 0);
    EXPECT_STREQ(got->title, "Snapshot extra");
    pelmorabox_event_destroy(&got);

    /* Refusals: a bus out of range, names leaving the data folder, a missing playlist. */
    EXPECT_EQ(pelmorabox_get_state(url.c_str(), 2, &s), -14) << "no state for a bus that does not exist";
    EXPECT_EQ(pelmorabox_run(url.c_str(), 7, 1, &s), -22);
    EXPECT_EQ(pelmorabox_run(url.c_str(), -1, 1, &s), -22);
    EXPECT_EQ(pelmorabox_load_playlist(url.c_str(), 0, "../news_evening", &s), -22);
    EXPECT_EQ(pelmorabox_save_playlist(url.c_str(), 0, "sub/x", &s), -22);
    EXPECT_EQ(pelmorabox_save_playlist(url.c_str(), 0, "..", &s), -22);
    EXPECT_EQ(pelmorabox_load_playlist(url.c_str(), 0, "nosuch", &s), -2);
    EXPECT_EQ(pelmorabox_take_n(url.c_str(), 0, 3, &s), -1) << "a stopped bus does not jump";
    s = state();
    EXPECT_EQ(s.count, 12) << "refusals leave the list alone";

    /* The call log counts what the server saw. */
    int before_log = sim_child_count(&sim, "call PelmoraBox.GetState bus=1 ");
    for (int i = 0; i < 3; i++)
        state(1);
    int64_t idxs[3] = {0, 1, 2};
    pelmorabox_event_t *pe[3] = {nullptr, nullptr, nullptr};
    EXPECT_EQ(pelmorabox_get_events2(url.c_str(), 0, 3, idxs, pe, &s), 3);
    for (auto *&p : pe)
        pelmorabox_event_destroy(&p);
    for (int i = 0; i < 100 && sim_child_count(&sim, "call PelmoraBox.GetEvents2 bus=0 n=3") < 1; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(sim_child_count(&sim, "call PelmoraBox.GetState bus=1 ") - before_log, 3);
    EXPECT_EQ(sim_child_count(&sim, "call PelmoraBox.GetEvents2 bus=0 n=3"), 1);
}

/* Waits (bounded) until the bus's event count is `count`. */
bool wait_count(const std::string &url, int64_t count, pelmorabox_bus_state_t *s)
{
    for (int i = 0; i < 500; i++) {
        if (pelmorabox_get_state(url.c_str(), 0, s) == 0 && s->count == count)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

TEST_F(SimRun, TimeModelAndUdpTake)
{
    start({"--cue-ms", "100"});
    pelmorabox_bus_state_t s;
    const char *titles[] = {"short", "second", "third", "fourth", "fifth"};
    for (int i = 0; i < 5; i++) {
        pelmorabox_event_t *e = ev(line(' ', i == 0 ? "00:00:01:00" : "00:01:00:00", i == 2 ? 'C' : 'V',
                                        i == 3 ? "nowhere.mxf" : "news/weather.mxf", titles[i]));
        ASSERT_EQ(pelmorabox_insert_event(url.c_str(), 0, -1, e, &s), i);
        pelmorabox_event_destroy(&e);
    }
    EXPECT_EQ(s.lib_absent_count, 1);
    EXPECT_STREQ(s.ply_remain, "00:04:01:00");
    ASSERT_EQ(pelmorabox_run(url.c_str(), 0, 1, &s), 0);
    EXPECT_EQ(s.f_running, 1);
    int64_t amend = s.amend;
    pelmorabox_event_t *got = nullptr;
    ASSERT_EQ(pelmorabox_get_event(url.c_str(), 0, 0, &got, &s), 0);
    EXPECT_EQ(got->flags & (PELMORABOX_EVENT_FLAG_PLAY | PELMORABOX_EVENT_FLAG_PLAYING),
              PELMORABOX_EVENT_FLAG_PLAY | PELMORABOX_EVENT_FLAG_PLAYING);
    pelmorabox_event_destroy(&got);

    /* The one-second event plays out and leaves the top of the list. */
    ASSERT_TRUE(wait_count(url, 4, &s));
    EXPECT_GT(s.amend, amend);
    ASSERT_EQ(pelmorabox_get_event(url.c_str(), 0, 0, &got, &s), 0);
    EXPECT_STREQ(got->title, "second");
    EXPECT_TRUE(got->flags & PELMORABOX_EVENT_FLAG_PLAYING);
    pelmorabox_event_destroy(&got);
    EXPECT_STREQ(s.type_C_remain, s.curr_remain) << "the commercial follows the event on air";
    EXPECT_GT(std::string(s.absent_remain), std::string(s.type_C_remain)) << "the absent event comes after it";

    /* Remains count down. */
    std::string r1 = s.curr_remain, p1 = s.ply_remain;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    s = state();
    EXPECT_LT(std::string(s.curr_remain), r1);
    EXPECT_LT(std::string(s.ply_remain), p1);
    EXPECT_NE(std::string(s.absent_remain), "");

    /* A UDP take datagram moves the list on. */
    amend = s.amend;
    ASSERT_GT(pelmora_msg(sim.hostport.c_str(), "PelmoraBox.Take 0"), 0);
    ASSERT_TRUE(wait_count(url, 3, &s));
    EXPECT_GT(s.amend, amend);
    ASSERT_EQ(pelmorabox_get_event(url.c_str(), 0, 0, &got, &s), 0);
    EXPECT_STREQ(got->title, "third");
    pelmorabox_event_destroy(&got);
    /* One for a bus that does not exist and one that is not a take are ignored. */
    pelmora_msg(sim.hostport.c_str(), "PelmoraBox.Take 5");
    pelmora_msg(sim.hostport.c_str(), "PelmoraBox.Run 0");

    /* Take over RPC, then a jump, then the fallback clip. */
    ASSERT_EQ(pelmorabox_take(url.c_str(), 0, &s), 0);
    EXPECT_EQ(s.count, 2);
    ASSERT_EQ(pelmorabox_take_n(url.c_str(), 0, 1, &s), 0);
    EXPECT_EQ(s.count, 1);
    EXPECT_EQ(pelmorabox_take_n(url.c_str(), 0, 1, &s), -22);
    ASSERT_EQ(pelmorabox_fallback(url.c_str(), 0, &s), 0);
    ASSERT_EQ(pelmorabox_get_event(url.c_str(), 0, 0, &got, &s), 0);
    EXPECT_STREQ(got->media_id, "fallback");
    EXPECT_TRUE(got->flags & PELMORABOX_EVENT_FLAG_PLAYING);
    pelmorabox_event_destroy(&got);
    ASSERT_EQ(pelmorabox_trimpad_event(url.c_str(), 0, -200, &s), 0);
    ASSERT_EQ(pelmorabox_run(url.c_str(), 0, 0, &s), 0);
    EXPECT_EQ(s.f_running, 0);
    EXPECT_STREQ(s.curr_remain, "00:00:00:00");
}

/* A raw HTTP POST of a GetState call; true when an answer comes within `ms`. */
bool raw_call_answers(int port, int ms)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
    if (connect(fd, (struct sockaddr *)&sa, sizeof sa) != 0) {
        close(fd);
        return false;
    }
    std::string body = "<?xml version=\"1.0\"?><methodCall><methodName>PelmoraBox.GetState</methodName>"
                       "<params><param><value><i4>0</i4></value></param></params></methodCall>";
    std::string req = "POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\n\r\n" + body;
    EXPECT_EQ(send(fd, req.data(), req.size(), 0), (ssize_t)req.size());
    struct pollfd p = {fd, POLLIN, 0};
    bool answered = poll(&p, 1, ms) > 0;
    close(fd);
    return answered;
}

TEST_F(SimRun, InjectedFaultsAndMalformedCalls)
{
    start({"--fail-rate", "1"});
    pelmorabox_bus_state_t s;
    EXPECT_EQ(pelmorabox_get_state(url.c_str(), 0, &s), -14);
    EXPECT_EQ(pelmorabox_take(url.c_str(), 0, &s), -14);
    EXPECT_EQ(sim_child_stop(&sim), 0);

    start({"--hang", "GetState", "--latency", "20"});
    EXPECT_FALSE(raw_call_answers(sim.port, 400)) << "a hung method is accepted and not answered";
    EXPECT_EQ(pelmorabox_run(url.c_str(), 0, 1, &s), 0) << "other methods still answer";
    EXPECT_EQ(s.f_running, 1);
    EXPECT_EQ(sim_child_stop(&sim), 0) << "stops although a call hangs";

    start({});
    EXPECT_TRUE(raw_call_answers(sim.port, 5000));
    /* Wrong parameter types: a fault each, and the server lives on. */
    xmlrpc_env env;
    const char *calls[][2] = {{"PelmoraBox.GetState", "(s)"},
                              {"PelmoraBox.GetState", "()"},
                              {"PelmoraBox.DeleteEvents", "(i(s))"},
                              {"PelmoraBox.InsertEvent", "(iiI)"}};
    for (auto &c : calls) {
        xmlrpc_env_init(&env);
        xmlrpc_value *v = nullptr;
        if (!strcmp(c[1], "(s)"))
            v = xmlrpc_client_callX(&env, url.c_str(), c[0], c[1], "zero");
        else if (!strcmp(c[1], "()"))
            v = xmlrpc_client_callX(&env, url.c_str(), c[0], c[1]);
        else if (!strcmp(c[1], "(i(s))"))
            v = xmlrpc_client_callX(&env, url.c_str(), c[0], c[1], 0, "one");
        else
            v = xmlrpc_client_callX(&env, url.c_str(), c[0], c[1], 0, 5, (xmlrpc_int64)0);
        EXPECT_TRUE(env.fault_occurred) << c[0] << c[1];
        EXPECT_EQ(v, nullptr);
        xmlrpc_env_clean(&env);
    }
    /* A compressed line that is no zlib stream, and a line of 3 fields: refused. */
    xmlrpc_env_init(&env);
    const unsigned char junk[] = "not zlib at all";
    xmlrpc_value *v = xmlrpc_client_callX(&env, url.c_str(), "PelmoraBox.InsertEvent", "(i6I)", 0, junk, sizeof junk,
                                          (xmlrpc_int64)0);
    EXPECT_EQ(parser_std_response(&env, url.c_str(), "PelmoraBox.InsertEvent", "test", v, &s), -22);
    xmlrpc_env_clean(&env);
    pelmorabox_event_t *bad = pelmorabox_event_create();
    EXPECT_EQ(pelmorabox_snapshot_add_event(url.c_str(), 0, pelmorabox_snapshot_new(url.c_str(), 0, &s), bad, &s), 1)
        << "an empty event is a valid line";
    pelmorabox_event_destroy(&bad);
    xmlrpc_env_init(&env);
    v = xmlrpc_client_callX(&env, url.c_str(), "PelmoraBox.SnapshotAddEvent", "(iis)", 0, 1, "a\tb\tc");
    EXPECT_EQ(parser_std_response(&env, url.c_str(), "PelmoraBox.SnapshotAddEvent", "test", v, &s), -22);
    xmlrpc_env_clean(&env);
    EXPECT_EQ(pelmorabox_get_state(url.c_str(), 0, &s), 0);
    EXPECT_EQ(s.count, 0);
}

TEST_F(SimRun, RestartOnTheSamePortKeepsTheData)
{
    start({"--plain-events", "--playlist", "morning_show", "--autostart"});
    pelmorabox_bus_state_t s = state();
    EXPECT_EQ(s.f_running, 1);
    ASSERT_GT(s.count, 0);
    std::vector<pelmorabox_event_t *> before = fetch_all(url, 0, s.count);
    ASSERT_EQ(pelmorabox_save_playlist(url.c_str(), 0, "kept", &s), (int)before.size());
    int port = sim.port;
    EXPECT_EQ(sim_child_stop(&sim), 0);

    start({"--playlist", "kept"}, port);
    EXPECT_EQ(sim.port, port);
    s = state();
    EXPECT_EQ(s.f_running, 0);
    std::vector<pelmorabox_event_t *> after = fetch_all(url, 0, s.count);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); i++)
        EXPECT_EQ(content(after[i]), content(before[i])) << i;
    destroy_all(before);
    destroy_all(after);
}

TEST_F(SimRun, GeneratedEventsOnSeveralBuses)
{
    start({"--buses", "3", "--events", "300"});
    for (int b = 0; b < 3; b++) {
        pelmorabox_bus_state_t s = state(b);
        EXPECT_EQ(s.count, 300);
        EXPECT_EQ(s.lib_absent_count, 0);
        EXPECT_NE(s.type_C_remain[0], 0);
        EXPECT_NE(s.type_L_remain[0], 0);
    }
    std::vector<pelmorabox_event_t *> all = fetch_all(url, 2, 300);
    EXPECT_EQ(all.size(), 300u);
    destroy_all(all);
}

} // namespace
