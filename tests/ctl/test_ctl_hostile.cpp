/* pelmora-ctl commands against loopback servers that answer what each case
 * needs: refusals without a state, states missing, a list that never holds
 * still, a search that points backwards or at the wrong event, texts that
 * are not UTF-8, and what an update by fields actually sends. */
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "client_env.h"
#include "ctl.h"
#include "ctl_inproc.h"
#include "ctl_json_test.h"
#include "pelmora.h"
#include "strl.h"
#include "test_xmlrpc_server.h"

namespace {

::testing::Environment *const pool_env = client_env_add("pelmora-ctl-test");

pelmorabox_bus_state_t a_state(int64_t amend, int64_t count)
{
    pelmorabox_bus_state_t s;
    memset(&s, 0, sizeof s);
    s.amend = amend;
    s.count = count;
    strlcpy(s.time, "12:00:00:00", sizeof s.time);
    return s;
}

xmlrpc_value *std_answer(xmlrpc_env *env, int result, pelmorabox_bus_state_t s)
{
    xmlrpc_value *st = pelmorabox_state2xmlrpc(env, &s);
    xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:S}", "result", result, "state", st);
    xmlrpc_DECREF(st);
    return v;
}

/* One event item: the line and its own state (er: flags, sys_id,
 * start, 0, list index). */
xmlrpc_value *event_item(xmlrpc_env *env, const std::string &line, int64_t sys_id, int64_t idx, int64_t amend)
{
    pelmorabox_bus_state_t s = a_state(amend, 10);
    s.er[0] = 4;
    s.er[1] = sys_id;
    s.er[4] = idx;
    /* Compressed, as events travel: any bytes can be carried. */
    std::vector<unsigned char> z(PELMORABOX_EVENT_LINE_BUF + 64);
    int n = pelmorabox_event_line_deflate(line.c_str(), z.data(), (int)z.size());
    xmlrpc_value *st = pelmorabox_state2xmlrpc(env, &s);
    xmlrpc_value *v = xmlrpc_build_value(env, "{s:6,s:S}", "event_c", z.data(), (size_t)(n > 0 ? n : 0), "state", st);
    xmlrpc_DECREF(st);
    return v;
}

/* The list indexes a GetEvents2 call asked for. */
std::vector<int64_t> asked(xmlrpc_env *env, xmlrpc_value *params)
{
    std::vector<int64_t> out;
    xmlrpc_value *arr = nullptr;
    xmlrpc_array_read_item(env, params, 1, &arr);
    int n = xmlrpc_array_size(env, arr);
    for (int i = 0; i < n; i++) {
        xmlrpc_value *item = nullptr, *inner = nullptr;
        xmlrpc_array_read_item(env, arr, i, &item);
        xmlrpc_array_read_item(env, item, 0, &inner);
        xmlrpc_int64 x = 0;
        xmlrpc_read_i8(env, inner, &x);
        out.push_back(x);
        xmlrpc_DECREF(inner);
        xmlrpc_DECREF(item);
    }
    xmlrpc_DECREF(arr);
    return out;
}

struct scripted
{
    std::mutex lock;
    std::map<std::string, std::function<xmlrpc_value *(xmlrpc_env *, xmlrpc_value *)>> answers;
    test_xmlrpc_server srv;
    scripted()
        : srv([this](xmlrpc_env *env, const std::string &m, xmlrpc_value *p) -> xmlrpc_value * {
              std::function<xmlrpc_value *(xmlrpc_env *, xmlrpc_value *)> f;
              {
                  std::lock_guard<std::mutex> g(lock);
                  auto it = answers.find(m);
                  if (it != answers.end())
                      f = it->second;
              }
              if (f)
                  return f(env, p);
              xmlrpc_env_set_fault(env, -501, "not scripted");
              return nullptr;
          })
    {
    }
};

using outcome = ctl_run_result;

/* Runs a command line in-process, output and messages captured. */
outcome run(scripted &s, std::vector<std::string> args)
{
    args.insert(args.begin(), {"--host", s.srv.hostport()});
    return ctl_run_inproc(args);
}

TEST(CtlHostile, StateRefusedOrMissing)
{
    scripted s;
    s.answers["PelmoraBox.GetState"] = [](xmlrpc_env *env, xmlrpc_value *) {
        return xmlrpc_build_value(env, "{s:i}", "result", -5);
    };
    outcome o = run(s, {"state"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_NE(o.err.find("refused by the server: result -5 ("), std::string::npos) << o.err;

    /* No result and no state: nothing usable. */
    s.answers["PelmoraBox.GetState"] = [](xmlrpc_env *env, xmlrpc_value *) {
        return xmlrpc_build_value(env, "{s:s}", "something", "else");
    };
    o = run(s, {"state"});
    EXPECT_EQ(o.status, 3);
    EXPECT_NE(o.err.find("no usable answer"), std::string::npos) << o.err;

    /* A fault answer is no answer either. */
    s.answers.erase("PelmoraBox.GetState");
    EXPECT_EQ(run(s, {"state"}).status, 3);
}

TEST(CtlHostile, SuccessWithoutAStateIsFlagged)
{
    scripted s;
    s.answers["PelmoraBox.Take"] = [](xmlrpc_env *env, xmlrpc_value *) {
        return xmlrpc_build_value(env, "{s:i}", "result", 0);
    };
    outcome o = run(s, {"take"});
    EXPECT_EQ(o.status, 0);
    jv v;
    ASSERT_TRUE(jv_parse(o.out.substr(0, o.out.size() - 1), &v)) << o.out;
    EXPECT_EQ(v.n("result"), 0);
    EXPECT_NE(o.err.find("no readable bus state"), std::string::npos) << o.err;
}

TEST(CtlHostile, AListThatNeverHoldsStill)
{
    scripted s;
    int amend = 100;
    int state_calls = 0;
    s.answers["PelmoraBox.GetState"] = [&](xmlrpc_env *env, xmlrpc_value *) {
        state_calls++;
        return std_answer(env, 0, a_state(amend, 3));
    };
    /* Every read of the events sees a newer list than the state did. */
    s.answers["PelmoraBox.GetEvents2"] = [&](xmlrpc_env *env, xmlrpc_value *p) {
        std::vector<int64_t> idx = asked(env, p);
        amend++;
        xmlrpc_value *events = xmlrpc_array_new(env);
        for (int64_t i : idx) {
            xmlrpc_value *it = event_item(env, "\t \t\t\t\t\tclip.mxf\tT\t", 1000 + i, i, amend);
            xmlrpc_array_append_item(env, events, it);
            xmlrpc_DECREF(it);
        }
        pelmorabox_bus_state_t bs = a_state(amend, 3);
        xmlrpc_value *state = pelmorabox_state2xmlrpc(env, &bs);
        xmlrpc_value *v =
            xmlrpc_build_value(env, "{s:i,s:A,s:S}", "result", (int)idx.size(), "events", events, "state", state);
        xmlrpc_DECREF(events);
        xmlrpc_DECREF(state);
        return v;
    };
    outcome o = run(s, {"events"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(state_calls, 3); /* read three times, then given up */
    std::vector<jv> rows;
    ASSERT_TRUE(jv_parse_lines(o.out, &rows)) << o.out;
    EXPECT_EQ(rows.size(), 3u);
    EXPECT_NE(o.err.find("kept changing"), std::string::npos) << o.err;
}

TEST(CtlHostile, AStateThatClaimsMoreThanTheListHolds)
{
    /* Five thousand million events claimed, none delivered: the read stops
     * at the first empty answer instead of asking for them all. */
    scripted s;
    s.answers["PelmoraBox.GetState"] = [](xmlrpc_env *env, xmlrpc_value *) {
        return std_answer(env, 0, a_state(1, 5000000000LL));
    };
    s.answers["PelmoraBox.GetEvents2"] = [](xmlrpc_env *env, xmlrpc_value *) {
        xmlrpc_value *events = xmlrpc_array_new(env);
        pelmorabox_bus_state_t bs = a_state(1, 5000000000LL);
        xmlrpc_value *state = pelmorabox_state2xmlrpc(env, &bs);
        xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:A,s:S}", "result", 0, "events", events, "state", state);
        xmlrpc_DECREF(events);
        xmlrpc_DECREF(state);
        return v;
    };
    outcome o = run(s, {"events"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(s.srv.count("PelmoraBox.GetEvents2"), 3u);
    /* The amend never moved: the list did not change, its state lied. */
    EXPECT_EQ(o.err.find("kept changing"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("the state gives 5000000000 events (amend 1, unchanged) but the server returned fewer than "
                         "asked (0 rows read)"),
              std::string::npos)
        << o.err;
}

TEST(CtlHostile, AStateWithANegativeCount)
{
    scripted s;
    s.answers["PelmoraBox.GetState"] = [](xmlrpc_env *env, xmlrpc_value *) {
        return std_answer(env, 0, a_state(4, -7));
    };
    outcome o = run(s, {"events"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(s.srv.count("PelmoraBox.GetEvents2"), 0u);
    EXPECT_NE(o.err.find("pelmora-ctl: events: the state gives a negative event count (-7); no events read"),
              std::string::npos)
        << o.err;
}

TEST(CtlHostile, SearchThatPointsBackwardsEnds)
{
    scripted s;
    s.answers["PelmoraBox.SearchEvent"] = [](xmlrpc_env *env, xmlrpc_value *) {
        return std_answer(env, 0, a_state(1, 5));
    };
    s.answers["PelmoraBox.GetEvents2"] = [](xmlrpc_env *env, xmlrpc_value *p) {
        std::vector<int64_t> idx = asked(env, p);
        xmlrpc_value *events = xmlrpc_array_new(env);
        xmlrpc_value *it = event_item(env, "\t \t\t\t\t\tclip.mxf\tT\t", 7, idx[0], 1);
        xmlrpc_array_append_item(env, events, it);
        xmlrpc_DECREF(it);
        pelmorabox_bus_state_t bs = a_state(1, 5);
        xmlrpc_value *state = pelmorabox_state2xmlrpc(env, &bs);
        xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:A,s:S}", "result", 1, "events", events, "state", state);
        xmlrpc_DECREF(events);
        xmlrpc_DECREF(state);
        return v;
    };
    outcome o = run(s, {"search", "clip", "--all"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(s.srv.count("PelmoraBox.SearchEvent"), 2u);
    std::vector<jv> rows;
    ASSERT_TRUE(jv_parse_lines(o.out, &rows));
    EXPECT_EQ(rows.size(), 1u);
}

/* A list of three events held by the script; GetEvents2 and SearchEvent
 * answer from it, and the edits are recorded. */
struct bus_script
{
    scripted s;
    std::vector<std::pair<int64_t, std::string>> list; /* sys_id, line */
    int search_offset = 0;                             /* answer this many rows too far */

    bus_script()
    {
        list = {{501, "\tM\t00:00:01:00\t00:00:10:24\t\tV\tnews/a.mxf\tFirst\tlogo\t\ttag\tk\\tv\ta1\tb1\t16:9"},
                {502, "\t \t\t\t00:00:05:00\tC\tads/b.mxf\tSecond\t"},
                {503, "\t \t\t\t00:00:07:00\tC\tads/c.mxf\tThird\t"}};
        s.answers["PelmoraBox.GetEvents2"] = [this](xmlrpc_env *env, xmlrpc_value *p) {
            std::vector<int64_t> idx = asked(env, p);
            xmlrpc_value *events = xmlrpc_array_new(env);
            int n = 0;
            for (int64_t i : idx) {
                if (i < 0 || i >= (int64_t)list.size())
                    continue;
                xmlrpc_value *it = event_item(env, list[(size_t)i].second, list[(size_t)i].first, i, 9);
                xmlrpc_array_append_item(env, events, it);
                xmlrpc_DECREF(it);
                n++;
            }
            pelmorabox_bus_state_t bs = a_state(9, (int64_t)list.size());
            xmlrpc_value *state = pelmorabox_state2xmlrpc(env, &bs);
            xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:A,s:S}", "result", n, "events", events, "state", state);
            xmlrpc_DECREF(events);
            xmlrpc_DECREF(state);
            return v;
        };
        s.answers["PelmoraBox.SearchEvent"] = [this](xmlrpc_env *env, xmlrpc_value *p) {
            const char *key = nullptr;
            xmlrpc_value *kv = nullptr;
            xmlrpc_array_read_item(env, p, 1, &kv);
            xmlrpc_read_string(env, kv, &key);
            xmlrpc_DECREF(kv);
            int found = -2;
            for (size_t i = 0; i < list.size(); i++)
                if (std::to_string(list[i].first) == key)
                    found = (int)i + search_offset;
            free((void *)key);
            return std_answer(env, found, a_state(9, (int64_t)list.size()));
        };
        s.answers["PelmoraBox.GetState"] = [this](xmlrpc_env *env, xmlrpc_value *) {
            return std_answer(env, 0, a_state(9, (int64_t)list.size()));
        };
        auto edit = [](xmlrpc_env *env, xmlrpc_value *) { return std_answer(env, 0, a_state(10, 3)); };
        s.answers["PelmoraBox.UpdateEvent"] = edit;
        s.answers["PelmoraBox.UpdateEvent2"] = edit;
    }

    /* The event line and target of the last update call. */
    std::string sent(const std::string &method, int64_t *target)
    {
        std::vector<test_xmlrpc_call> calls = s.srv.calls();
        for (size_t k = calls.size(); k-- > 0;) {
            if (calls[k].method != method)
                continue;
            xmlrpc_env env;
            xmlrpc_env_init(&env);
            xmlrpc_value *z = nullptr, *t = nullptr;
            xmlrpc_array_read_item(&env, calls[k].params.get(), 1, &z);
            xmlrpc_array_read_item(&env, calls[k].params.get(), 2, &t);
            const unsigned char *data = nullptr;
            size_t len = 0;
            xmlrpc_read_base64(&env, z, &len, &data);
            xmlrpc_int64 x = 0;
            xmlrpc_read_i8(&env, t, &x);
            *target = x;
            std::vector<char> buf(PELMORABOX_EVENT_LINE_BUF);
            pelmorabox_event_line_inflate(data, len, buf.data(), (int)buf.size());
            free((void *)data);
            xmlrpc_DECREF(z);
            xmlrpc_DECREF(t);
            xmlrpc_env_clean(&env);
            return buf.data();
        }
        return "<none>";
    }
};

TEST(CtlHostile, UpdateByFieldsSendsTheCurrentEventChanged)
{
    bus_script b;
    outcome o = run(b.s, {"update", "--idx", "0", "--title", "First (new)", "--out", ""});
    ASSERT_EQ(o.status, 0) << o.err;
    int64_t target = 0;
    /* Written back by the sys_id it was read with, every other field kept. */
    EXPECT_EQ(b.sent("PelmoraBox.UpdateEvent2", &target),
              "\tM\t00:00:01:00\t\t\tV\tnews/a.mxf\tFirst (new)\tlogo\t\ttag\tk\\tv\ta1\tb1\t16:9");
    EXPECT_EQ(target, 501);
    EXPECT_EQ(b.s.srv.count("PelmoraBox.UpdateEvent"), 0u);

    o = run(b.s, {"update", "--sys-id", "503", "--meta", "slot=2", "--type", "none"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(b.sent("PelmoraBox.UpdateEvent2", &target),
              "\t \t\t\t00:00:07:00\t \tads/c.mxf\tThird\t\t\t\tslot\\t2\t\t\t");
    EXPECT_EQ(target, 503);

    /* A line goes by list index as given, without reading anything. */
    size_t reads = b.s.srv.count("PelmoraBox.GetEvents2");
    o = run(b.s, {"update", "--idx", "2", "--line", "\\t \\t\\t\\t\\tC\\tx.mxf\\tX\\t"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(b.sent("PelmoraBox.UpdateEvent", &target), "\t \t\t\t\tC\tx.mxf\tX\t\t\t\t\t\t\t");
    EXPECT_EQ(target, 2);
    EXPECT_EQ(b.s.srv.count("PelmoraBox.GetEvents2"), reads);
}

TEST(CtlHostile, UpdateNeverWritesAnEventItDidNotFind)
{
    /* The search points one row off (as if the list had moved): the event
     * read there has another sys_id, so nothing may be written. */
    bus_script b;
    b.search_offset = 1;
    outcome o = run(b.s, {"update", "--sys-id", "501", "--title", "Wrong"});
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("no event with sys_id 501"), std::string::npos) << o.err;
    EXPECT_EQ(b.s.srv.count("PelmoraBox.UpdateEvent2"), 0u);
    EXPECT_EQ(b.s.srv.count("PelmoraBox.UpdateEvent"), 0u);
    EXPECT_EQ(b.s.srv.count("PelmoraBox.SearchEvent"), 3u);
}

TEST(CtlHostile, TextsThatAreNotUtf8StayValidJson)
{
    bus_script b;
    b.list[1].second = std::string("\t \t\t\t\tC\tads/\xff\xfe.mxf\tCaf\xe9 \x1b[31mred\t\t\t\t") + "k\xc3\\tv\xe2\x82";
    outcome o = run(b.s, {"events", "1"});
    ASSERT_EQ(o.status, 0) << o.err;
    jv v;
    ASSERT_TRUE(jv_parse(o.out.substr(0, o.out.size() - 1), &v)) << o.out;
    EXPECT_EQ(v.s("media_id"), "ads/\xc3\xbf\xc3\xbe.mxf");
    EXPECT_EQ(v.s("title"), "Caf\xc3\xa9 \x1b[31mred");
    EXPECT_EQ(v.get("metadata")->arr[0].arr[0].str, "k\xc3\x83");

    o = run(b.s, {"--table", "events", "1"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("Caf\xc3\xa9 \\x1b[31mred"), std::string::npos) << o.out; /* no raw escape to the terminal */
}

} // namespace
