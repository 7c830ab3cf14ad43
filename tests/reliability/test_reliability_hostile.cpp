// A hostile automation server: a raw HTTP server on loopback that answers
// every call with a randomly broken response (members missing or of the
// wrong type, absurd numbers, undecodable or oversized events, texts that are
// not UTF-8, XML cut short or garbled, wrong lengths, bad HTTP). At least
// 1,000 such answers go to the client calls and to the running console;
// nothing may crash (the sanitizer build checks memory and undefined
// behaviour), results stay within their conventions and texts terminated.
#include <gtest/gtest.h>

#include <string.h>

#include <chrono>
#include <climits>
#include <random>
#include <string>
#include <vector>

#include <xmlrpc-c/base.h>

#include "bus.h"
#include "engine_support.h"
#include "hostile_support.h"
#include "pelmora.h"
#include "pelmorabox.h"
#include "test_xmlrpc_server.h"

namespace {

template <size_t N> void expect_terminated(const char (&s)[N], const char *what)
{
    EXPECT_LT(strnlen(s, N), N) << what << " is not terminated";
}

void expect_state_sane(const pelmorabox_bus_state_t &s)
{
    expect_terminated(s.time, "time");
    expect_terminated(s.curr_remain, "curr_remain");
    expect_terminated(s.ply_remain, "ply_remain");
    expect_terminated(s.absent_remain, "absent_remain");
    expect_terminated(s.last_playlist, "last_playlist");
    expect_terminated(s.type_C_remain, "type_C_remain");
    expect_terminated(s.type_L_remain, "type_L_remain");
    expect_terminated(s.fixed_time_remain, "fixed_time_remain");
    expect_terminated(s.ply_hash, "ply_hash");
}

void expect_event_sane(const pelmorabox_event_t *e)
{
    ASSERT_NE(e, nullptr);
    expect_terminated(e->title, "title");
    expect_terminated(e->media_id, "media_id");
    expect_terminated(e->start_time, "start_time");
    expect_terminated(e->assets, "assets");
    EXPECT_GE(e->metadata_cnt, 0);
    for (int i = 0; i < e->metadata_cnt; i++) {
        EXPECT_LE(strlen(e->metadata_pairs[i].key), (size_t)PELMORABOX_META_KEY_MAX) << "meta key";
        EXPECT_LE(strlen(e->metadata_pairs[i].val), (size_t)PELMORABOX_META_VAL_MAX) << "meta value";
    }
}

class ReliabilityHostile : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!engine_gtk_ready())
            GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
    }
};

} // namespace

TEST_F(ReliabilityHostile, ThousandBrokenAnswersCrashNeitherTheClientNorTheConsole)
{
    hostile_automation gen(20261207);
    hostile_server srv([&gen](const std::string &m, bool *close_after) { return gen.answer(m, close_after); });
    ASSERT_GT(srv.port(), 0);
    const std::string url = srv.url();
    std::mt19937 rng(3);

    /* The typed calls the console makes, straight through the client. */
    int calls = 0, answered = 0;
    while (srv.served() < 800 && calls < 5000) {
        calls++;
        pelmorabox_bus_state_t s;
        memset(&s, 0, sizeof s);
        int r = 0;
        switch (rng() % 8) {
        case 0:
            r = pelmorabox_get_state(url.c_str(), 0, &s);
            break;
        case 1:
        case 2: {
            int n = 1 + (int)(rng() % 32);
            int64_t idxs[32];
            pelmorabox_event_t *es[32] = {};
            for (int i = 0; i < n; i++)
                idxs[i] = i;
            r = pelmorabox_get_events2(url.c_str(), 0, n, idxs, es, &s);
            EXPECT_LE(r, n);
            for (int i = 0; i < n; i++) {
                if (i < r)
                    expect_event_sane(es[i]);
                if (es[i])
                    pelmorabox_event_destroy(&es[i]);
            }
            break;
        }
        case 3: {
            pelmorabox_event_t *e = nullptr;
            r = pelmorabox_get_event(url.c_str(), 0, 3, &e, &s);
            if (r >= 0 && e)
                expect_event_sane(e);
            if (e)
                pelmorabox_event_destroy(&e);
            break;
        }
        case 4:
            r = pelmorabox_take(url.c_str(), 0, &s);
            break;
        case 5: {
            char **list = nullptr;
            r = pelmorabox_list_playlists(url.c_str(), 0, &list, &s);
            for (int i = 0; list && list[i]; i++)
                free(list[i]);
            free(list);
            break;
        }
        case 6: {
            pelmorabox_event_t *list = nullptr;
            r = pelmorabox_errorflag_list(url.c_str(), 0, 0x80, &list, &s);
            for (int i = 0; list && i < r; i++)
                expect_event_sane(&list[i]);
            free(list);
            break;
        }
        default: {
            pelmorabox_event_t *e = pelmorabox_event_create();
            strcpy(e->title, "probe");
            r = pelmorabox_insert_event2(url.c_str(), 0, -1, e, &s);
            pelmorabox_event_destroy(&e);
            break;
        }
        }
        expect_state_sane(s);
        answered += r >= 0;
    }
    EXPECT_GE(srv.served(), 800);
    EXPECT_GT(answered, 0) << "some broken answers still carry a usable result";
    EXPECT_LT(answered, calls) << "and most are refused";

    /* The console polling the same server with eight buses: its workers
     * decode whatever comes and hand it to the grid. */
    srv.locked([&gen] { gen.small_counts = true; });
    engine_app e;
    ASSERT_TRUE(e.create(engine_bus_args(srv.hostport(), 8)));
    e.start();
    int before = srv.served(), events_before = srv.served("PelmoraBox.GetEvents2");
    bool enough = engine_run_until([&] { return srv.served() >= before + 200; }, 60000);
    EXPECT_TRUE(enough) << "the console took only " << srv.served() - before << " answers";
    EXPECT_GT(srv.served("PelmoraBox.GetEvents2"), events_before) << "the events threads met broken answers too";
    for (int i = 0; i < 8; i++)
        EXPECT_LE(grid_rows(&e.app->bus.list[i]), 1000000);
    EXPECT_GE(e.stop(), 0) << "the engine did not stop";
    EXPECT_EQ(bus_main_thread_violations(), 0);
    EXPECT_GE(srv.served(), 1000);
}

TEST_F(ReliabilityHostile, SmallestIntResultIsPassedThroughAndLogged)
{
    /* The negated error number of INT_MIN does not exist: the client must
     * log it without overflowing and hand the result back unchanged. */
    test_xmlrpc_server srv([](xmlrpc_env *env, const std::string &, xmlrpc_value *) -> xmlrpc_value * {
        pelmorabox_bus_state_t s;
        memset(&s, 0, sizeof s);
        xmlrpc_value *st = pelmorabox_state2xmlrpc(env, &s);
        xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:S}", "result", INT_MIN, "state", st);
        xmlrpc_DECREF(st);
        return v;
    });
    pelmorabox_bus_state_t s;
    EXPECT_EQ(pelmorabox_take(srv.url().c_str(), 0, &s), INT_MIN);
    pelmorabox_event_t *e = nullptr;
    EXPECT_EQ(pelmorabox_get_event(srv.url().c_str(), 0, 0, &e, &s), INT_MIN);
    EXPECT_EQ(e, nullptr);
    /* The list decoder shared by the IO and library calls. */
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *answer = xmlrpc_build_value(&env, "{s:i}", "result", INT_MIN);
    char **list = nullptr;
    EXPECT_EQ(parse_simple_list_response("test", &env, answer, &list), INT_MIN);
    EXPECT_EQ(list, nullptr);
    xmlrpc_env_clean(&env);
    EXPECT_NE(pelmora_result_text(INT_MIN), nullptr);
    EXPECT_STREQ(pelmora_result_text(-2), strerror(2));
}
