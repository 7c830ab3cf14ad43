// Typed automation calls against loopback servers that answer exactly what
// each case needs: parameter types on the wire, response decoding, refusals
// and malformed answers.
#include <gtest/gtest.h>

#include <string.h>
#include <time.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "client_env.h"
#include "event_builder.h"
#include "pelmora.h"
#include "pelmora_version.h"
#include "pelmorabox.h"
#include "pelmorabox_timings.h"
#include "test_xmlrpc_server.h"
#include "timecode.h"

namespace {

::testing::Environment *const pool_env = client_env_add(PELMORA_APP_NAME, PELMORA_VERSION);

pelmorabox_bus_state_t sample_state(int64_t amend = 77)
{
    pelmorabox_bus_state_t s;
    memset(&s, 0, sizeof(s));
    s.f_running = 1;
    s.amend = amend;
    s.count = 5000000000LL; // beyond 32 bits: must travel as i8
    strcpy(s.time, "12:00:00:00");
    for (int i = 0; i < 5; i++)
        s.er[i] = 0;
    strcpy(s.curr_remain, "00:00:10:00");
    strcpy(s.ply_remain, "01:00:00:00");
    s.lib_queued_count = 1;
    s.lib_absent_count = 2;
    s.lib_present_count = 3;
    s.ply_stat_flag_range = 1;
    s.ply_stat_flag_subclip = 0;
    strcpy(s.absent_remain, "00:05:00:00");
    strcpy(s.last_playlist, "news.ply");
    strcpy(s.type_C_remain, "00:01:00:00");
    strcpy(s.type_L_remain, "00:02:00:00");
    strcpy(s.fixed_time_remain, "-00:00:01:00");
    strcpy(s.ply_hash, "abc123");
    return s;
}

xmlrpc_value *std_response(xmlrpc_env *env, int result, pelmorabox_bus_state_t s = sample_state())
{
    xmlrpc_value *st = pelmorabox_state2xmlrpc(env, &s);
    xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:S}", "result", result, "state", st);
    xmlrpc_DECREF(st);
    return v;
}

// A server answering per method; methods without an entry get the standard
// response {result: 0, state}.
struct scripted
{
    std::map<std::string, std::function<xmlrpc_value *(xmlrpc_env *, xmlrpc_value *)>> answers;
    test_xmlrpc_server srv;
    std::string url;
    scripted()
        : srv([this](xmlrpc_env *env, const std::string &m, xmlrpc_value *p) -> xmlrpc_value * {
              auto it = answers.find(m);
              if (it != answers.end())
                  return it->second(env, p);
              return std_response(env, 0);
          }),
          url(srv.url())
    {
    }
};

// An event item as the server sends it: the line plain or compressed, and
// a per-event state whose er carries flags, sys_id, start and index.
xmlrpc_value *event_item(xmlrpc_env *env, const std::string &line, bool compressed, int64_t flags, int64_t sys_id,
                         int64_t start, int64_t idx, int64_t amend)
{
    pelmorabox_bus_state_t s = sample_state(amend);
    s.er[0] = flags;
    s.er[1] = sys_id;
    s.er[2] = start;
    s.er[4] = idx;
    xmlrpc_value *st = pelmorabox_state2xmlrpc(env, &s);
    xmlrpc_value *v;
    if (compressed) {
        std::vector<unsigned char> z(PELMORABOX_EVENT_LINE_BUF * 2);
        int zl = pelmorabox_event_line_deflate(line.c_str(), z.data(), (int)z.size());
        v = xmlrpc_build_value(env, "{s:6,s:S}", "event_c", z.data(), (size_t)zl, "state", st);
    } else
        v = xmlrpc_build_value(env, "{s:s,s:S}", "event", line.c_str(), "state", st);
    xmlrpc_DECREF(st);
    return v;
}

std::string line15(const char *title)
{
    return std::string("10:00:00:00\tM\t00:00:00:00\t00:00:10:00\t00:00:10:00\tC\t/m/a.mxf\t") + title +
           "\tassets\t\ttag\tk\\tv\tmap\tamp\tar";
}

} // namespace

TEST(AutomationCalls, EveryMethodSendsItsParameterTypes)
{
    scripted s;
    pelmorabox_bus_state_t st;
    pelmorabox_event_t *e = pelmorabox_event_create();
    strcpy(e->title, "t");
    const char *u = s.url.c_str();
    int64_t idxs[3] = {4, 5000000000LL, -1};
    pelmorabox_event_t *pe[3] = {nullptr, nullptr, nullptr};
    s.answers["PelmoraBox.GetEvents2"] = [](xmlrpc_env *env, xmlrpc_value *) {
        pelmorabox_bus_state_t ss = sample_state();
        xmlrpc_value *st = pelmorabox_state2xmlrpc(env, &ss);
        xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:(),s:S}", "result", 0, "events", "state", st);
        xmlrpc_DECREF(st);
        return v;
    };
    s.answers["PelmoraBox.GetEvent"] = [](xmlrpc_env *env, xmlrpc_value *) { return std_response(env, -2); };
    s.answers["PelmoraBox.SnapshotGetEvent"] = s.answers["PelmoraBox.GetEvent"];
    auto list_answer = [](xmlrpc_env *env, xmlrpc_value *) {
        pelmorabox_bus_state_t ss = sample_state();
        xmlrpc_value *st = pelmorabox_state2xmlrpc(env, &ss);
        xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:(),s:S}", "result", 0, "list", "state", st);
        xmlrpc_DECREF(st);
        return v;
    };
    s.answers["PelmoraBox.ListPlaylists"] = list_answer;
    s.answers["PelmoraBox.ErrorFlagList"] = list_answer;
    s.answers["PelmoraBox.LibList"] = list_answer;

    char **names = nullptr;
    pelmorabox_event_t *recs = nullptr;
    pelmorabox_bus_lib_list_t bl;

    EXPECT_EQ(pelmorabox_get_state(u, 1, &st), 0);
    EXPECT_EQ(pelmorabox_get_events2(u, 1, 3, idxs, pe, &st), 0);
    EXPECT_EQ(pelmorabox_get_event(u, 1, 2, pe, &st), -2);
    EXPECT_EQ(pelmorabox_insert_event(u, 1, 2, e, &st), 0);
    EXPECT_EQ(pelmorabox_insert_event2(u, 1, -1, e, &st), 0);
    EXPECT_EQ(pelmorabox_update_event(u, 1, 2, e, &st), 0);
    EXPECT_EQ(pelmorabox_update_event2(u, 1, 5000000000LL, e, &st), 0);
    EXPECT_EQ(pelmorabox_delete_event(u, 1, 2, idxs, &st), 0);
    EXPECT_EQ(pelmorabox_delete_event2(u, 1, 1, idxs, &st), 0);
    EXPECT_EQ(pelmorabox_reset_tc_event(u, 1, 3, idxs, &st), 0);
    EXPECT_EQ(pelmorabox_run(u, 1, 1, &st), 0);
    EXPECT_EQ(pelmorabox_take(u, 1, &st), 0);
    EXPECT_EQ(pelmorabox_take_n(u, 1, 7, &st), 0);
    EXPECT_EQ(pelmorabox_fallback(u, 1, &st), 0);
    EXPECT_EQ(pelmorabox_preview(u, 1, -5000000000LL, "http://io/RPC2", &st), 0);
    EXPECT_EQ(pelmorabox_append_playlist(u, 1, "a.ply", &st), 0);
    EXPECT_EQ(pelmorabox_load_playlist(u, 1, "b.ply", &st), 0);
    EXPECT_EQ(pelmorabox_save_playlist(u, 1, "c.ply", &st), 0);
    EXPECT_EQ(pelmorabox_close_playlist(u, 1, &st), 0);
    EXPECT_EQ(pelmorabox_truncate_playlist(u, 1, 99, 1, &st), 0);
    EXPECT_EQ(pelmorabox_trimpad_event(u, 1, -25, &st), 0);
    EXPECT_EQ(pelmorabox_search_event(u, 1, "key", 3, 0x13, &st), 0);
    EXPECT_EQ(pelmorabox_list_playlists(u, 1, &names, &st), 0);
    free(names);
    EXPECT_EQ(pelmorabox_errorflag_list(u, 1, 0x2000100, &recs, &st), 0);
    free(recs);
    EXPECT_EQ(pelmorabox_absent_list(u, 1, &recs, &st), 0);
    free(recs);
    EXPECT_EQ(pelmorabox_lib_list(u, 1, 2, &bl, &st), 0);
    pelmorabox_bus_lib_release(&bl);
    EXPECT_EQ(pelmorabox_snapshot_new(u, 1, &st), 0);
    EXPECT_EQ(pelmorabox_snapshot_curr(u, 1, &st), 0);
    EXPECT_EQ(pelmorabox_snapshot_add_event(u, 1, 3, e, &st), 0);
    EXPECT_EQ(pelmorabox_snapshot_get_event(u, 1, 3, 4, pe, &st), -2);
    EXPECT_EQ(pelmorabox_snapshot_destroy(u, 1, 3, &st), 0);
    EXPECT_EQ(pelmorabox_snapshot_load(u, 1, "snap", &st), 0);
    EXPECT_EQ(pelmorabox_snapshot_save(u, 1, 3, "snap", &st), 0);
    EXPECT_EQ(pelmora_method_no_arg(u, "PelmoraBox.Anything"), 0);
    pelmorabox_event_destroy(&e);

    const std::vector<std::pair<std::string, std::string>> expected = {
        {"PelmoraBox.GetState", "(i)"},
        {"PelmoraBox.GetEvents2", "(i((I)(I)(I)))"},
        {"PelmoraBox.GetEvent", "(ii)"},
        {"PelmoraBox.InsertEvent", "(i6I)"},
        {"PelmoraBox.InsertEvent2", "(i6I)"},
        {"PelmoraBox.UpdateEvent", "(i6I)"},
        {"PelmoraBox.UpdateEvent2", "(i6I)"},
        {"PelmoraBox.DeleteEvents", "(i((I)(I)))"},
        {"PelmoraBox.DeleteEvents2", "(i((I)))"},
        {"PelmoraBox.ResetEventsTC", "(i((I)(I)(I)))"},
        {"PelmoraBox.Run", "(ii)"},
        {"PelmoraBox.Take", "(i)"},
        {"PelmoraBox.TakeN", "(ii)"},
        {"PelmoraBox.Fallback", "(i)"},
        {"PelmoraBox.Preview", "(iIs)"},
        {"PelmoraBox.AppendPlaylist", "(is)"},
        {"PelmoraBox.LoadPlaylist", "(is)"},
        {"PelmoraBox.SavePlaylist", "(is)"},
        {"PelmoraBox.ClosePlaylist", "(i)"},
        {"PelmoraBox.TruncatePlaylist", "(iIi)"},
        {"PelmoraBox.TrimPadEvent", "(ii)"},
        {"PelmoraBox.SearchEvent", "(isii)"},
        {"PelmoraBox.ListPlaylists", "(i)"},
        {"PelmoraBox.ErrorFlagList", "(ii)"},
        {"PelmoraBox.ErrorFlagList", "(ii)"},
        {"PelmoraBox.LibList", "(ii)"},
        {"PelmoraBox.SnapshotNew", "(i)"},
        {"PelmoraBox.SnapshotCurr", "(i)"},
        {"PelmoraBox.SnapshotAddEvent", "(iis)"},
        {"PelmoraBox.SnapshotGetEvent", "(iii)"},
        {"PelmoraBox.SnapshotDestroy", "(ii)"},
        {"PelmoraBox.SnapshotLoad", "(is)"},
        {"PelmoraBox.SnapshotSave", "(iis)"},
        {"PelmoraBox.Anything", "()"},
    };
    auto calls = s.srv.calls();
    ASSERT_EQ(calls.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        EXPECT_EQ(calls[i].method, expected[i].first) << i;
        EXPECT_EQ(calls[i].types, expected[i].second) << calls[i].method;
    }

    // The values themselves: 64-bit indexes intact, the absent-list mask 128.
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_int32 bus = 0;
    xmlrpc_int64 a = 0, b = 0, c = 0;
    xmlrpc_decompose_value(&env, calls[9].params.get(), "(i((I)(I)(I)))", &bus, &a, &b, &c);
    ASSERT_FALSE(env.fault_occurred) << env.fault_string;
    EXPECT_EQ(bus, 1);
    EXPECT_EQ(a, 4);
    EXPECT_EQ(b, 5000000000LL);
    EXPECT_EQ(c, -1);
    xmlrpc_int32 mask = 0;
    xmlrpc_decompose_value(&env, calls[24].params.get(), "(ii)", &bus, &mask);
    EXPECT_EQ(mask, 128);
    xmlrpc_int64 ev = 0;
    const char *io = nullptr;
    xmlrpc_decompose_value(&env, calls[14].params.get(), "(iIs)", &bus, &ev, &io);
    EXPECT_EQ(ev, -5000000000LL);
    EXPECT_STREQ(io, "http://io/RPC2");
    free((void *)io);
    xmlrpc_env_clean(&env);
}

TEST(AutomationCalls, InsertedEventArrivesWhole)
{
    // compose -> compress -> (wire) -> inflate -> parse, checked on the server's side.
    scripted s;
    pelmorabox_event_t *e = event_build({"10:00:00:00", '(', "00:00:01:00", "00:00:09:00", "00:00:08:01", 'L',
                                         "/lib/live feed", "Live \\ news", "a", "10:00:00:00", "t", "m", "0", "4:3"},
                                        {{"k\ttab", "v\nnl\r\\bs\\\\"}, {"\\", "\t"}, {"x@tpl#1", "plain"}});
    pelmorabox_bus_state_t st;
    ASSERT_EQ(pelmorabox_insert_event(s.url.c_str(), 2, 17, e, &st), 0);

    auto calls = s.srv.calls();
    ASSERT_EQ(calls.size(), 1u);
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_int32 bus = 0;
    const unsigned char *bytes = nullptr;
    size_t len = 0;
    xmlrpc_int64 idx = 0;
    xmlrpc_decompose_value(&env, calls[0].params.get(), "(i6I)", &bus, &bytes, &len, &idx);
    ASSERT_FALSE(env.fault_occurred) << env.fault_string;
    EXPECT_EQ(bus, 2);
    EXPECT_EQ(idx, 17);
    char text[PELMORABOX_EVENT_LINE_BUF];
    ASSERT_GT(pelmorabox_event_line_inflate(bytes, len, text, sizeof(text)), 0);
    free((void *)bytes);
    pelmorabox_event_t *back = pelmorabox_event_create_from_string(text, nullptr, 0);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back->start_time, e->start_time);
    EXPECT_EQ(back->start_type, '(');
    EXPECT_STREQ(back->mark_in, e->mark_in);
    EXPECT_STREQ(back->mark_out, e->mark_out);
    EXPECT_STREQ(back->duration, e->duration);
    EXPECT_EQ(back->event_type, 'L');
    EXPECT_STREQ(back->media_id, e->media_id);
    EXPECT_STREQ(back->title, e->title);
    EXPECT_STREQ(back->assets, e->assets);
    EXPECT_STREQ(back->fixed_time, e->fixed_time);
    EXPECT_STREQ(back->tag, e->tag);
    EXPECT_STREQ(back->audio_map, e->audio_map);
    EXPECT_STREQ(back->audio_amp, e->audio_amp);
    EXPECT_STREQ(back->ar, e->ar);
    ASSERT_EQ(back->metadata_cnt, 3);
    for (int i = 0; i < 3; i++) {
        EXPECT_STREQ(back->metadata_pairs[i].key, e->metadata_pairs[i].key);
        EXPECT_STREQ(back->metadata_pairs[i].val, e->metadata_pairs[i].val);
    }
    EXPECT_STREQ(st.last_playlist, "news.ply");
    pelmorabox_event_destroy(&back);

    // A line beyond the protocol's limit is refused before any call.
    std::string big(4000, '\\');
    for (int i = 0; i < 3; i++)
        pelmorabox_event_add_meta(e, ("big" + std::to_string(i)).c_str(), big.c_str());
    testing::internal::CaptureStderr();
    EXPECT_EQ(pelmorabox_update_event(s.url.c_str(), 2, 17, e, &st), -22);
    EXPECT_EQ(pelmorabox_snapshot_add_event(s.url.c_str(), 2, 0, e, &st), -22);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("exceeds 16383"), std::string::npos) << log;
    EXPECT_EQ(s.srv.calls().size(), 1u);
    pelmorabox_event_destroy(&e);
    xmlrpc_env_clean(&env);
}

TEST(AutomationCalls, StandardResponseDecoding)
{
    scripted s;
    s.answers["PelmoraBox.Take"] = [](xmlrpc_env *env, xmlrpc_value *) { return std_response(env, -16); };
    s.answers["PelmoraBox.Run"] = [](xmlrpc_env *env, xmlrpc_value *) {
        return xmlrpc_build_value(env, "{s:i}", "result", 3); // no state
    };
    s.answers["PelmoraBox.Fallback"] = [](xmlrpc_env *env, xmlrpc_value *) {
        return xmlrpc_build_value(env, "{s:s}", "result", "0");
    };
    s.answers["PelmoraBox.TakeN"] = [](xmlrpc_env *env, xmlrpc_value *) -> xmlrpc_value * {
        xmlrpc_env_set_fault(env, 7, "no such bus");
        return nullptr;
    };
    pelmorabox_bus_state_t st;
    const char *u = s.url.c_str();

    testing::internal::CaptureStderr();
    EXPECT_EQ(pelmorabox_take(u, 0, &st), -16);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log,
              "pelmorabox_take/parser_std_response: PelmoraBox.Take return -16 (" + std::string(strerror(16)) + ")\n");

    memset(&st, 0x5a, sizeof(st));
    testing::internal::CaptureStderr();
    EXPECT_EQ(pelmorabox_run(u, 0, 1, &st), 3);
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(st.amend, 0);
    EXPECT_EQ(st.time[0], 0);
    EXPECT_EQ(log.find("pelmorabox_state_probe_decompose: xmlrpc_decompose_value() failed: "), 0u) << log;

    testing::internal::CaptureStderr();
    EXPECT_EQ(pelmorabox_fallback(u, 0, &st), -14);
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.find("pelmorabox_fallback/parser_std_response: decompose value failed: "), 0u) << log;
    EXPECT_NE(log.find("[pelmorabox.cpp:"), std::string::npos);

    testing::internal::CaptureStderr();
    EXPECT_EQ(pelmorabox_take_n(u, 0, 1, &st), -14);
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.find("pelmorabox_take_n/parser_std_response: xmlrpc_client_callX(" + s.url +
                       ", PelmoraBox.TakeN) failed: "),
              0u)
        << log;
    EXPECT_NE(log.find("no such bus (7)\n"), std::string::npos) << log;

    EXPECT_EQ(pelmorabox_close_playlist(u, 0, &st), 0);
    EXPECT_EQ(st.count, 5000000000LL);
    EXPECT_STREQ(st.ply_hash, "abc123");
}

TEST(AutomationCalls, BusStateMembers)
{
    scripted s;
    std::function<xmlrpc_value *(xmlrpc_env *)> state_value;
    s.answers["PelmoraBox.GetState"] = [&](xmlrpc_env *env, xmlrpc_value *) {
        xmlrpc_value *st = state_value(env);
        xmlrpc_value *v = xmlrpc_build_value(env, "{s:S}", "state", st);
        xmlrpc_DECREF(st);
        return v;
    };
    pelmorabox_bus_state_t st;
    const char *u = s.url.c_str();

    // Round trip of every member through the encoder and the decoder.
    pelmorabox_bus_state_t src = sample_state(123456789012LL);
    for (int i = 0; i < 5; i++)
        src.er[i] = ((int64_t)1 << 40) + i;
    state_value = [&](xmlrpc_env *env) { return pelmorabox_state2xmlrpc(env, &src); };
    ASSERT_EQ(pelmorabox_get_state(u, 0, &st), 0);
    EXPECT_EQ(memcmp(&st, &src, sizeof(st)), 0);
    auto calls = s.srv.calls();
    ASSERT_EQ(calls.size(), 1u);

    // Optional members missing; required ones only, texts longer than kept.
    std::string longtext(300, 'x');
    state_value = [&](xmlrpc_env *env) {
        return xmlrpc_build_value(env, "{s:i,s:I,s:I,s:s,s:(II),s:s,s:s,s:i,s:i,s:i,s:i,s:i,s:i}", "f_running", 1,
                                  "amend", (xmlrpc_int64)5, "count", (xmlrpc_int64)6, "time", longtext.c_str(), "er",
                                  (xmlrpc_int64)9, (xmlrpc_int64)8, "curr_remain", longtext.c_str(), "ply_remain", "r",
                                  "lib_queued_count", 1, "lib_absent_count", 2, "lib_present_count", 3,
                                  "ply_stat_flag_range", 4, "ply_stat_flag_subclip", 5, "ply_hash", 12);
    };
    ASSERT_EQ(pelmorabox_get_state(u, 0, &st), 0);
    EXPECT_EQ(strlen(st.time), 31u);
    EXPECT_EQ(strlen(st.curr_remain), 31u);
    EXPECT_EQ(st.er[0], 9);
    EXPECT_EQ(st.er[1], 8);
    EXPECT_EQ(st.er[2], 0);
    EXPECT_STREQ(st.ply_hash, ""); // mistyped optional member: left empty
    EXPECT_STREQ(st.last_playlist, "");
    EXPECT_EQ(st.ply_stat_flag_subclip, 5);

    // Without "count" the bus is offline: -14.
    state_value = [&](xmlrpc_env *env) {
        return xmlrpc_build_value(env, "{s:i,s:I,s:s,s:(),s:s,s:s,s:i,s:i,s:i,s:i,s:i}", "f_running", 1, "amend",
                                  (xmlrpc_int64)5, "time", "t", "er", "curr_remain", "c", "ply_remain", "r",
                                  "lib_queued_count", 1, "lib_absent_count", 2, "lib_present_count", 3,
                                  "ply_stat_flag_range", 4, "ply_stat_flag_subclip", 5);
    };
    testing::internal::CaptureStderr();
    EXPECT_EQ(pelmorabox_get_state(u, 0, &st), -14);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.find("pelmorabox_state_decompose: xmlrpc_decompose_value failed: "), 0u) << log;

    // "amend" as a 32-bit int is a wrong type, not silently accepted.
    state_value = [&](xmlrpc_env *env) {
        return xmlrpc_build_value(env, "{s:i,s:i,s:I,s:s,s:(),s:s,s:s,s:i,s:i,s:i,s:i,s:i}", "f_running", 1, "amend", 5,
                                  "count", (xmlrpc_int64)1, "time", "t", "er", "curr_remain", "c", "ply_remain", "r",
                                  "lib_queued_count", 1, "lib_absent_count", 2, "lib_present_count", 3,
                                  "ply_stat_flag_range", 4, "ply_stat_flag_subclip", 5);
    };
    testing::internal::CaptureStderr();
    EXPECT_EQ(pelmorabox_get_state(u, 0, &st), -14);
    testing::internal::GetCapturedStderr();
}

TEST(AutomationCalls, GetEvents2TakesGoodItemsAndSkipsBadOnes)
{
    scripted s;
    std::string huge(PELMORABOX_EVENT_LINE_BUF + 100, 'h');
    s.answers["PelmoraBox.GetEvents2"] = [&](xmlrpc_env *env, xmlrpc_value *) {
        xmlrpc_value *events = xmlrpc_array_new(env);
        auto add = [&](xmlrpc_value *item) {
            xmlrpc_array_append_item(env, events, item);
            xmlrpc_DECREF(item);
        };
        add(event_item(env, line15("plain"), false, 0x44, 1001, 1700000000000LL, 10, 50));
        add(xmlrpc_build_value(env, "{s:i}", "nothing", 1)); // neither event nor event_c
        add(event_item(env, line15("packed"), true, 0x2, 5000000000LL, 1700000001000LL, 11, 51));
        add(event_item(env, "a\tb\tc\td\te\tf\tg\th\ti\tj\tk\tl\tm", false, 0, 0, 0, 12, 52)); // 13 fields
        add(event_item(env, huge, true, 0, 0, 0, 13, 53)); // text does not end within 16384
        add(event_item(env, line15("last"), true, 0x4, 1003, 1700000002000LL, 14, 54));
        pelmorabox_bus_state_t ss = sample_state(60);
        xmlrpc_value *st = pelmorabox_state2xmlrpc(env, &ss);
        xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:A,s:S}", "result", 0, "events", events, "state", st);
        xmlrpc_DECREF(st);
        xmlrpc_DECREF(events);
        return v;
    };
    pelmorabox_bus_state_t st;
    int64_t idxs[6] = {10, 11, 12, 13, 14, 15};
    pelmorabox_event_t *pe[6];
    testing::internal::CaptureStderr();
    int n = pelmorabox_get_events2(s.url.c_str(), 0, 6, idxs, pe, &st);
    std::string log = testing::internal::GetCapturedStderr();
    ASSERT_EQ(n, 3) << log;
    EXPECT_NE(log.find("pelmorabox_get_event_parse: decompose value failed: "), std::string::npos) << log;
    EXPECT_NE(log.find("does not inflate to a text within 16384 bytes"), std::string::npos) << log;

    EXPECT_STREQ(pe[0]->title, "plain");
    EXPECT_EQ(idxs[0], 10);
    EXPECT_EQ(pe[0]->flags, 0x44);
    EXPECT_EQ(pe[0]->sys_id, 1001);
    EXPECT_EQ(pe[0]->start, 1700000000000LL);
    EXPECT_EQ(pe[0]->amend, 50);
    ASSERT_EQ(pe[0]->metadata_cnt, 1);
    EXPECT_STREQ(pe[0]->metadata_pairs[0].key, "k");
    EXPECT_STREQ(pe[0]->metadata_pairs[0].val, "v");
    EXPECT_STREQ(pe[1]->title, "packed");
    EXPECT_EQ(idxs[1], 11);
    EXPECT_EQ(pe[1]->sys_id, 5000000000LL);
    EXPECT_EQ(pe[1]->amend, 51);
    EXPECT_STREQ(pe[2]->title, "last");
    EXPECT_EQ(idxs[2], 14);
    EXPECT_EQ(pe[2]->amend, 54);
    EXPECT_EQ(pe[3], nullptr);
    EXPECT_EQ(st.amend, 60); // the response's own state
    for (int i = 0; i < n; i++)
        pelmorabox_event_destroy(&pe[i]);

    // The caller's arrays bound what is taken.
    int64_t two[2] = {10, 11};
    testing::internal::CaptureStderr();
    EXPECT_EQ(pelmorabox_get_events2(s.url.c_str(), 0, 2, two, pe, &st), 2);
    testing::internal::GetCapturedStderr();
    EXPECT_STREQ(pe[1]->title, "packed");
    pelmorabox_event_destroy(&pe[0]);
    pelmorabox_event_destroy(&pe[1]);
}

TEST(AutomationCalls, GetEvents2Failures)
{
    scripted s;
    s.answers["PelmoraBox.GetEvents2"] = [](xmlrpc_env *env, xmlrpc_value *p) -> xmlrpc_value * {
        int n = 0;
        xmlrpc_env e2;
        xmlrpc_env_init(&e2);
        xmlrpc_value *arr = nullptr;
        xmlrpc_int32 bus = 0;
        xmlrpc_decompose_value(&e2, p, "(iA)", &bus, &arr);
        n = xmlrpc_array_size(&e2, arr);
        xmlrpc_DECREF(arr);
        xmlrpc_env_clean(&e2);
        if (n == 1)
            return std_response(env, 0); // no "events"
        if (n == 2) {                    // only a refused item
            xmlrpc_value *item = event_item(env, "1\t2\t3", false, 0, 0, 0, 0, 0);
            xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:(V)}", "result", 0, "events", item);
            xmlrpc_DECREF(item);
            return v;
        }
        xmlrpc_env_set_fault(env, 1, "down");
        return nullptr;
    };
    pelmorabox_bus_state_t st;
    int64_t idxs[3] = {0, 1, 2};
    pelmorabox_event_t *pe[3];
    testing::internal::CaptureStderr();
    EXPECT_EQ(pelmorabox_get_events2(s.url.c_str(), 0, 1, idxs, pe, &st), -14);
    EXPECT_EQ(pelmorabox_get_events2(s.url.c_str(), 0, 2, idxs, pe, &st), -22);
    EXPECT_EQ(pe[0], nullptr);
    EXPECT_EQ(pelmorabox_get_events2(s.url.c_str(), 0, 3, idxs, pe, &st), -14);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("pelmorabox_get_events2: decompose value failed: "), std::string::npos) << log;
    EXPECT_NE(log.find("pelmorabox_get_events2: xmlrpc_client_callX(" + s.url + ", PelmoraBox.GetEvents2) failed: "),
              std::string::npos)
        << log;
}

TEST(AutomationCalls, GetEventAndSnapshotGetEvent)
{
    scripted s;
    s.answers["PelmoraBox.GetEvent"] = [](xmlrpc_env *env, xmlrpc_value *) {
        xmlrpc_value *item = event_item(env, line15("one") + "\tplayer B", true, 0x6, 42, 7, 3, 99);
        xmlrpc_value *r = xmlrpc_int_new(env, 0);
        xmlrpc_struct_set_value(env, item, "result", r);
        xmlrpc_DECREF(r);
        return item;
    };
    s.answers["PelmoraBox.SnapshotGetEvent"] = [](xmlrpc_env *env, xmlrpc_value *) {
        return event_item(env, line15("no result"), false, 0, 0, 0, 0, 0);
    };
    pelmorabox_bus_state_t st;
    pelmorabox_event_t *e = nullptr;
    ASSERT_EQ(pelmorabox_get_event(s.url.c_str(), 0, 3, &e, &st), 0);
    EXPECT_STREQ(e->title, "one");
    EXPECT_STREQ(e->dst, "player B");
    EXPECT_EQ(e->sys_id, 42);
    EXPECT_EQ(e->flags, 6);
    EXPECT_EQ(e->amend, 99);
    EXPECT_EQ(st.amend, 99);
    pelmorabox_event_destroy(&e);
    testing::internal::CaptureStderr();
    EXPECT_EQ(pelmorabox_snapshot_get_event(s.url.c_str(), 0, 1, 3, &e, &st), -14);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(log.find("pelmorabox_snapshot_get_event: decompose value failed: "), 0u) << log;
}

TEST(AutomationCalls, ListPlaylists)
{
    scripted s;
    int variant = 0;
    s.answers["PelmoraBox.ListPlaylists"] = [&](xmlrpc_env *env, xmlrpc_value *) -> xmlrpc_value * {
        pelmorabox_bus_state_t ss = sample_state();
        xmlrpc_value *st = pelmorabox_state2xmlrpc(env, &ss);
        xmlrpc_value *v = nullptr;
        switch (variant) {
        case 0:
            v = xmlrpc_build_value(env, "{s:i,s:((s)(s)),s:S}", "result", 2, "list", "a.ply", "b.ply", "state", st);
            break;
        case 1:
            v = xmlrpc_build_value(env, "{s:i,s:(),s:S}", "result", 0, "list", "state", st);
            break;
        case 2:
            v = xmlrpc_build_value(env, "{s:i,s:((s)s),s:S}", "result", 0, "list", "a.ply", "bare", "state", st);
            break;
        case 3:
            v = xmlrpc_build_value(env, "{s:i,s:((s)),s:S}", "result", -13, "list", "a.ply", "state", st);
            break;
        case 4:
            v = xmlrpc_build_value(env, "{s:i,s:S}", "result", 0, "state", st);
            break;
        }
        xmlrpc_DECREF(st);
        return v;
    };
    pelmorabox_bus_state_t st;
    char **names = nullptr;
    EXPECT_EQ(pelmorabox_list_playlists(s.url.c_str(), 0, &names, &st), 2);
    ASSERT_NE(names, nullptr);
    EXPECT_STREQ(names[0], "a.ply");
    EXPECT_STREQ(names[1], "b.ply");
    EXPECT_EQ(names[2], nullptr);
    EXPECT_EQ(st.amend, 77);
    free(names[0]);
    free(names[1]);
    free(names);
    variant = 1;
    EXPECT_EQ(pelmorabox_list_playlists(s.url.c_str(), 0, &names, &st), 0);
    ASSERT_NE(names, nullptr);
    EXPECT_EQ(names[0], nullptr);
    free(names);
    testing::internal::CaptureStderr();
    for (variant = 2; variant <= 4; variant++) {
        names = (char **)1;
        EXPECT_EQ(pelmorabox_list_playlists(s.url.c_str(), 0, &names, &st), variant == 3 ? -13 : -14) << variant;
        EXPECT_EQ(names, nullptr);
    }
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("pelmorabox_list_playlists: xmlrpc_array_read_item failed: "), std::string::npos) << log;
}

TEST(AutomationCalls, ErrorFlagAndLibLists)
{
    scripted s;
    int variant = 0;
    auto with_state = [](xmlrpc_env *env, int result, xmlrpc_value *list) {
        pelmorabox_bus_state_t ss = sample_state();
        xmlrpc_value *st = pelmorabox_state2xmlrpc(env, &ss);
        xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:A,s:S}", "result", result, "list", list, "state", st);
        xmlrpc_DECREF(st);
        xmlrpc_DECREF(list);
        return v;
    };
    s.answers["PelmoraBox.ErrorFlagList"] = [&](xmlrpc_env *env, xmlrpc_value *) {
        std::string longid(300, 'm');
        if (variant == 0)
            return with_state(env, 0,
                              xmlrpc_build_value(env, "({s:s,s:s,s:I,s:s,s:I,s:I}{s:s,s:s,s:I})", "media_id",
                                                 longid.c_str(), "start_time", "10:00:00:00", "start",
                                                 (xmlrpc_int64)1700000000000LL, "comment", "gap", "sys_id",
                                                 (xmlrpc_int64)9, "flags", (xmlrpc_int64)0x2000100, "media_id", "b",
                                                 "start_time", "11:00:00:00", "start", (xmlrpc_int64)2));
        if (variant == 1) // second item lacks "start"
            return with_state(env, 0,
                              xmlrpc_build_value(env, "({s:s,s:s,s:I}{s:s,s:s})", "media_id", "a", "start_time", "x",
                                                 "start", (xmlrpc_int64)1, "media_id", "b", "start_time", "y"));
        return with_state(env, -5, xmlrpc_build_value(env, "()"));
    };
    s.answers["PelmoraBox.LibList"] = [&](xmlrpc_env *env, xmlrpc_value *) {
        if (variant == 0)
            return with_state(env, 0,
                              xmlrpc_build_value(env, "({s:s,s:s,s:i}{s:s,s:s,s:i})", "origin", "o1", "object", "clip#",
                                                 "ref", 2, "origin", "o2", "object", "b.mxf", "ref", 0));
        if (variant == 1)
            return with_state(env, 0,
                              xmlrpc_build_value(env, "({s:s,s:s,s:i}{s:s,s:i})", "origin", "o1", "object", "x", "ref",
                                                 2, "origin", "o2", "ref", 0));
        return with_state(env, -5, xmlrpc_build_value(env, "()"));
    };
    pelmorabox_bus_state_t st;
    pelmorabox_event_t *recs = nullptr;
    ASSERT_EQ(pelmorabox_errorflag_list(s.url.c_str(), 0, 0x2000100, &recs, &st), 2);
    EXPECT_EQ(strlen(recs[0].media_id), 259u);
    EXPECT_STREQ(recs[0].start_time, "10:00:00:00");
    EXPECT_EQ(recs[0].start, 1700000000000LL);
    EXPECT_STREQ(recs[0].title, "gap");
    EXPECT_EQ(recs[0].sys_id, 9);
    EXPECT_EQ(recs[0].flags, 0x2000100);
    EXPECT_EQ(recs[0].ref, 0);
    EXPECT_STREQ(recs[1].media_id, "b");
    EXPECT_STREQ(recs[1].title, "");
    EXPECT_EQ(recs[1].flags, 0);
    EXPECT_STREQ(recs[2].media_id, ""); // the zeroed extra record
    free(recs);

    pelmorabox_bus_lib_list_t bl;
    ASSERT_EQ(pelmorabox_lib_list(s.url.c_str(), 0, 1, &bl, &st), 2);
    EXPECT_STREQ(bl.list[0]->origin, "o1");
    EXPECT_STREQ(bl.list[0]->object, "clip#");
    EXPECT_EQ(bl.list[0]->ref, 2);
    EXPECT_EQ(pelmorabox_bus_lib_lookup_by_object(&bl, "clip.mxf"), 0);
    EXPECT_EQ(pelmorabox_bus_lib_lookup_by_object(&bl, "b.mxf"), 1);
    EXPECT_EQ(pelmorabox_bus_lib_lookup_by_object(&bl, "b"), -2);
    EXPECT_EQ(pelmorabox_bus_lib_lookup_by_origin(&bl, "o2"), 1);
    pelmorabox_bus_lib_release(&bl);

    testing::internal::CaptureStderr();
    for (variant = 1; variant <= 2; variant++) {
        recs = (pelmorabox_event_t *)1;
        EXPECT_EQ(pelmorabox_errorflag_list(s.url.c_str(), 0, 1, &recs, &st), variant == 1 ? -14 : -5);
        EXPECT_EQ(recs, nullptr);
        EXPECT_EQ(pelmorabox_lib_list(s.url.c_str(), 0, 1, &bl, &st), variant == 1 ? -14 : -5);
        EXPECT_EQ(bl.count, 0);
        EXPECT_EQ(bl.list, nullptr);
    }
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("pelmorabox_errorflag_list:"), std::string::npos);
    EXPECT_NE(log.find(": xmlrpc_decompose_value(ssI) failed: "), std::string::npos) << log;
}

TEST(BusLibList, Helpers)
{
    pelmorabox_bus_lib_list_t bl;
    EXPECT_EQ(pelmorabox_bus_lib_init(&bl), 0);
    EXPECT_EQ(pelmorabox_bus_lib_drop(&bl, 0), -2);
    EXPECT_EQ(pelmorabox_bus_lib_delete(&bl, 0), -2);
    EXPECT_EQ(pelmorabox_bus_lib_lookup_by_object(&bl, nullptr), -2);
    const char *objs[] = {"a#", "dir/b.c.mxf", "c"};
    pelmorabox_bus_lib_item_t *items[3];
    for (int i = 0; i < 3; i++) {
        items[i] = (pelmorabox_bus_lib_item_t *)calloc(1, sizeof(pelmorabox_bus_lib_item_t));
        items[i]->origin = strdup(("o" + std::to_string(i)).c_str());
        items[i]->object = strdup(objs[i]);
        EXPECT_EQ(pelmorabox_bus_lib_append(&bl, items[i]), i + 1);
    }
    EXPECT_EQ(pelmorabox_bus_lib_lookup_by_object(&bl, "a.mxf"), 0);
    EXPECT_EQ(pelmorabox_bus_lib_lookup_by_object(&bl, "a"), -2);
    EXPECT_EQ(pelmorabox_bus_lib_lookup_by_object(&bl, "dir/b.c.mxf"), 1);
    EXPECT_EQ(pelmorabox_bus_lib_lookup_by_object(&bl, "c"), 2);
    EXPECT_EQ(pelmorabox_bus_lib_lookup_by_origin(&bl, "o2"), 2);
    EXPECT_EQ(pelmorabox_bus_lib_lookup_by_origin(&bl, "o3"), -2);
    // Drop keeps the item alive for its new owner; delete frees it.
    EXPECT_EQ(pelmorabox_bus_lib_drop(&bl, 0), 2);
    EXPECT_EQ(pelmorabox_bus_lib_lookup_by_object(&bl, "c"), 1);
    free(items[0]->origin);
    free(items[0]->object);
    free(items[0]);
    EXPECT_EQ(pelmorabox_bus_lib_drop(&bl, 5), -2);
    EXPECT_EQ(pelmorabox_bus_lib_delete(&bl, 1), 1);
    EXPECT_EQ(pelmorabox_bus_lib_release(&bl), 0);
    EXPECT_EQ(bl.count, 0);
    EXPECT_EQ(bl.list, nullptr);
}

TEST(PlaylistNameRule, ExtensionKeywordAndDays)
{
    EXPECT_EQ(pelmorabox_playlist_name_rule1("news.ply", 1, "", 0), 0);
    EXPECT_EQ(pelmorabox_playlist_name_rule1("news.ply.bak", 1, "", 0), -105);
    EXPECT_EQ(pelmorabox_playlist_name_rule1("news.ply.bak", 0, nullptr, 0), 0);
    EXPECT_EQ(pelmorabox_playlist_name_rule1("news", 1, "", 0), -105);
    EXPECT_EQ(pelmorabox_playlist_name_rule1("sport.ply", 1, "news", 0), -105);
    EXPECT_EQ(pelmorabox_playlist_name_rule1("evening_news.ply", 1, "news", 0), 0);

    auto day = [](int offset_days, const char *fmt) {
        time_t t = time(nullptr) + offset_days * 86400;
        struct tm tm;
        localtime_r(&t, &tm);
        char b[32];
        strftime(b, sizeof(b), fmt, &tm);
        return std::string(b);
    };
    std::string today_iso = "news_" + day(0, "%Y-%m-%d") + ".ply";
    std::string today_dmy = day(0, "%d%m%y") + ".ply";
    std::string tomorrow = "news_" + day(1, "%Y-%m-%d") + ".ply";
    std::string yesterday = day(-1, "%d%m%y") + "_x.ply";
    std::string in3 = "n_" + day(3, "%Y-%m-%d") + ".ply";
    EXPECT_EQ(pelmorabox_playlist_name_rule1(today_iso.c_str(), 1, "", 1), 0);
    EXPECT_EQ(pelmorabox_playlist_name_rule1(today_dmy.c_str(), 1, "", 1), 0);
    EXPECT_EQ(pelmorabox_playlist_name_rule1(tomorrow.c_str(), 1, "", 1), -105);
    EXPECT_EQ(pelmorabox_playlist_name_rule1(tomorrow.c_str(), 1, "", 4), 0);
    EXPECT_EQ(pelmorabox_playlist_name_rule1(yesterday.c_str(), 1, "", 2), 0);
    EXPECT_EQ(pelmorabox_playlist_name_rule1(yesterday.c_str(), 1, "", 1 | 4), -105);
    EXPECT_EQ(pelmorabox_playlist_name_rule1(in3.c_str(), 1, "", 16), 0);
    EXPECT_EQ(pelmorabox_playlist_name_rule1(in3.c_str(), 1, "", 8), -105);
    EXPECT_EQ(pelmorabox_playlist_name_rule1("undated.ply", 1, "", 31), -105);
}

TEST(Timings, ConversionsAndLocalTimecode)
{
    struct timeval tv;
    pelmorabox_milisec2tv(1700000000123LL, &tv);
    EXPECT_EQ(tv.tv_sec, 1700000000);
    EXPECT_EQ(tv.tv_usec, 123000);
    EXPECT_EQ(pelmorabox_tv2milisec(&tv), 1700000000123LL);
    pelmorabox_milisec2tv(-1, &tv);
    EXPECT_EQ(tv.tv_sec, -1);
    EXPECT_EQ(tv.tv_usec, 999000);
    EXPECT_EQ(pelmorabox_tv2milisec(&tv), -1);

    tc_setmode(TC_PAL);
    setenv("TZ", "UTC", 1);
    tzset();
    tv.tv_sec = 3600 * 5 + 60 * 6 + 7;
    tv.tv_usec = 480000; // 12 frames at 25 fps
    char tc[32];
    EXPECT_STREQ(pelmorabox_tv2tc(&tv, tc), "05:06:07:12");

    struct timeval back;
    pelmorabox_tc2tvnow("05:06:07:12", &back);
    EXPECT_EQ(back.tv_sec % 86400, 3600 * 5 + 60 * 6 + 7);
    EXPECT_EQ(back.tv_usec, 480000);
    EXPECT_LT(labs(back.tv_sec - time(nullptr)), 86400);

    struct timeval now, g;
    gettimeofday(&now, nullptr);
    EXPECT_EQ(pelmorabox_gettimeofday(&g), 0);
    int64_t d = pelmorabox_tv2milisec(&g) - pelmorabox_tv2milisec(&now);
    EXPECT_GE(d, 1);
    unsetenv("TZ");
    tzset();
}
