/* The automation client against a hostile server: a raw HTTP server on
 * loopback answers every call with malformed values of every XML-RPC type,
 * a DOCTYPE with nested entities, an endless answer and a trickle. No
 * answer may crash the process, hold a call past its time-out or leave its
 * memory behind; every such call ends as "no usable answer" (-14). */
#include <gtest/gtest.h>

#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hostile_values.h"
#include "pelmora.h"
#include "pelmora_guard.h"
#include "pelmorabox.h"
#include "proc_status.h"
#include "raw_http_server.h"

namespace {

using raw_http::answer_body;
using raw_http::raw_server;
using raw_http::send_all;

std::string member(const std::string &name, const std::string &value)
{
    return "<member><name>" + name + "</name><value>" + value + "</value></member>";
}

/* A whole bus state with the given amend value text. */
std::string state_xml(const std::string &amend)
{
    std::string s = "<struct>" + member("f_running", "<i4>1</i4>") + member("amend", amend) +
                    member("count", "<i8>3</i8>") + member("time", "<string>10:00:00:00</string>") +
                    member("er", "<array><data><value><i8>0</i8></value></data></array>") +
                    member("curr_remain", "<string>x</string>") + member("ply_remain", "<string>x</string>");
    for (const char *n :
         {"lib_queued_count", "lib_absent_count", "lib_present_count", "ply_stat_flag_range", "ply_stat_flag_subclip"})
        s += member(n, "<i4>0</i4>");
    return s + "</struct>";
}

std::string response(const std::string &members)
{
    return "<?xml version=\"1.0\"?><methodResponse><params><param><value><struct>" + members +
           "</struct></value></param></params></methodResponse>";
}

/* Every call of the automation client, with valid arguments; records a
 * call hands back are given back at once. */
std::vector<std::pair<const char *, std::function<int(const char *)>>> automation_calls()
{
    static pelmorabox_bus_state_t s;
    static int64_t ix[2] = {0, 1};
    static pelmorabox_event_t *e = pelmorabox_event_add_meta(pelmorabox_event_create(), "k", "v");
    using put_fn = int (*)(const char *, int, int64_t, pelmorabox_event_t *, pelmorabox_bus_state_t *);
    auto put = [](put_fn f) { return [f](const char *u) { return f(u, 0, 0, e, &s); }; };
    auto one = [](pelmorabox_event_t **pe, int r) {
        pelmorabox_event_destroy(pe);
        return r;
    };
    return {
        {"get_state", [](const char *u) { return pelmorabox_get_state(u, 0, &s); }},
        {"get_events2",
         [](const char *u) {
             pelmorabox_event_t *pe[2] = {nullptr, nullptr};
             int64_t want[2] = {0, 1};
             int r = pelmorabox_get_events2(u, 0, 2, want, pe, &s);
             pelmorabox_event_destroy(&pe[0]);
             pelmorabox_event_destroy(&pe[1]);
             return r;
         }},
        {"get_event",
         [one](const char *u) {
             pelmorabox_event_t *p = nullptr;
             return one(&p, pelmorabox_get_event(u, 0, 0, &p, &s));
         }},
        {"snapshot_get_event",
         [one](const char *u) {
             pelmorabox_event_t *p = nullptr;
             return one(&p, pelmorabox_snapshot_get_event(u, 0, 1, 0, &p, &s));
         }},
        {"insert_event", put(pelmorabox_insert_event)},
        {"insert_event2", put(pelmorabox_insert_event2)},
        {"update_event", put(pelmorabox_update_event)},
        {"update_event2", put(pelmorabox_update_event2)},
        {"snapshot_add_event", [](const char *u) { return pelmorabox_snapshot_add_event(u, 0, 1, e, &s); }},
        {"delete_event", [](const char *u) { return pelmorabox_delete_event(u, 0, 2, ix, &s); }},
        {"delete_event2", [](const char *u) { return pelmorabox_delete_event2(u, 0, 2, ix, &s); }},
        {"reset_tc_event", [](const char *u) { return pelmorabox_reset_tc_event(u, 0, 2, ix, &s); }},
        {"run", [](const char *u) { return pelmorabox_run(u, 0, 1, &s); }},
        {"take", [](const char *u) { return pelmorabox_take(u, 0, &s); }},
        {"take_n", [](const char *u) { return pelmorabox_take_n(u, 0, 1, &s); }},
        {"fallback", [](const char *u) { return pelmorabox_fallback(u, 0, &s); }},
        {"preview", [](const char *u) { return pelmorabox_preview(u, 0, -5, "127.0.0.1:1", &s); }},
        {"append_playlist", [](const char *u) { return pelmorabox_append_playlist(u, 0, "a.ply", &s); }},
        {"load_playlist", [](const char *u) { return pelmorabox_load_playlist(u, 0, "a.ply", &s); }},
        {"save_playlist", [](const char *u) { return pelmorabox_save_playlist(u, 0, "a.ply", &s); }},
        {"close_playlist", [](const char *u) { return pelmorabox_close_playlist(u, 0, &s); }},
        {"truncate_playlist", [](const char *u) { return pelmorabox_truncate_playlist(u, 0, 5, 1, &s); }},
        {"trimpad_event", [](const char *u) { return pelmorabox_trimpad_event(u, 0, 25, &s); }},
        {"search_event", [](const char *u) { return pelmorabox_search_event(u, 0, "x", 0, 1, &s); }},
        {"list_playlists",
         [](const char *u) {
             char **names = nullptr;
             int r = pelmorabox_list_playlists(u, 0, &names, &s);
             for (char **p = names; p && *p; p++)
                 free(*p);
             free(names);
             return r;
         }},
        {"errorflag_list",
         [](const char *u) {
             pelmorabox_event_t *l = nullptr;
             int r = pelmorabox_errorflag_list(u, 0, 0x2000100, &l, &s);
             free(l);
             return r;
         }},
        {"absent_list",
         [](const char *u) {
             pelmorabox_event_t *l = nullptr;
             int r = pelmorabox_absent_list(u, 0, &l, &s);
             free(l);
             return r;
         }},
        {"lib_list",
         [](const char *u) {
             pelmorabox_bus_lib_list_t bl;
             int r = pelmorabox_lib_list(u, 0, 0, &bl, &s);
             pelmorabox_bus_lib_release(&bl);
             return r;
         }},
        {"snapshot_new", [](const char *u) { return pelmorabox_snapshot_new(u, 0, &s); }},
        {"snapshot_curr", [](const char *u) { return pelmorabox_snapshot_curr(u, 0, &s); }},
        {"snapshot_destroy", [](const char *u) { return pelmorabox_snapshot_destroy(u, 0, 1, &s); }},
        {"snapshot_load", [](const char *u) { return pelmorabox_snapshot_load(u, 0, "a.ply", &s); }},
        {"snapshot_save", [](const char *u) { return pelmorabox_snapshot_save(u, 0, 1, "a.ply", &s); }},
        {"method_no_arg", [](const char *u) { return pelmora_method_no_arg(u, "PelmoraBox.Anything"); }},
    };
}

/* The call time-out these tests run under (milliseconds). */
const int kTimeoutMs = 2000;

class HostileAnswers : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        setenv(PELMORA_RPC_TIMEOUT_ENV, std::to_string(kTimeoutMs).c_str(), 1);
        pelmora_init("test_hostile_answers", "1");
    }
    static void TearDownTestSuite() { pelmora_release(); }
    raw_server srv;
};

TEST_F(HostileAnswers, EveryCallEndsAsNoAnswerOnMalformedValuesAndEntities)
{
    ASSERT_EQ(pelmora_rpc_timeout_ms(), kTimeoutMs);
    auto calls = automation_calls();
    auto values = malformed_values();
    int n = 0;
    for (size_t v = 0; v < values.size(); v++) {
        /* The value sits in "result", in the state's i8 "amend" or in a
         * member no call reads: xmlrpc-c parses the whole answer first. */
        const std::string shapes[3] = {
            response(member("result", values[v]) + member("state", state_xml("<i8>1</i8>"))),
            response(member("result", "<i4>0</i4>") + member("state", state_xml(values[v]))),
            response(member("result", "<i4>0</i4>") + member("state", state_xml("<i8>1</i8>")) +
                     member("list", "<array><data><value>" + values[v] + "</value></data></array>")),
        };
        for (size_t c = 0; c < calls.size(); c++) {
            const std::string &body = shapes[(v + c) % 3];
            srv.set([body](int fd) { answer_body(fd, body); });
            EXPECT_EQ(calls[c].second(srv.url().c_str()), -14) << calls[c].first << " with " << values[v].substr(0, 80);
            n++;
        }
    }
    /* Entity expansion: refused before parsing, so it ends at once. */
    const std::string doctype = hostile_doctype() + "<methodResponse><params><param><value><struct>" +
                                member("result", "<i4>0</i4>") + member("x", "<string>&j;</string>") +
                                "</struct></value></param></params></methodResponse>";
    const char *why = nullptr;
    EXPECT_EQ(pelmora_xml_guard(doctype.data(), doctype.size(), &why), -22);
    EXPECT_NE(std::string(why).find("DOCTYPE"), std::string::npos);
    srv.set([doctype](int fd) { answer_body(fd, doctype); });
    for (auto &c : calls)
        EXPECT_EQ(c.second(srv.url().c_str()), -14) << c.first << " with a DOCTYPE";
    /* The same malformed i8 in UTF-16, where a byte scan cannot see it. */
    std::string utf16 = "\xff\xfe";
    for (char ch : response(member("result", "<i8>12a</i8>")))
        utf16 += std::string(1, ch) + '\0';
    srv.set([utf16](int fd) { answer_body(fd, utf16); });
    pelmorabox_bus_state_t s16;
    EXPECT_EQ(pelmorabox_take(srv.url().c_str(), 0, &s16), -14);
    /* The same server answering well is read: the failures above were the
     * answers', not the test's. */
    const std::string good = response(member("result", "<i4>0</i4>") + member("state", state_xml("<i8>7</i8>")));
    srv.set([good](int fd) { answer_body(fd, good); });
    pelmorabox_bus_state_t s;
    EXPECT_EQ(pelmorabox_take(srv.url().c_str(), 0, &s), 0);
    EXPECT_EQ(s.amend, 7);
    EXPECT_EQ(pelmora_pool_in_use(), 0);
    EXPECT_GT(n, 1000);
}

TEST_F(HostileAnswers, AHugeFaultTextIsCutInTheLog)
{
    /* xmlrpc-c quotes a refused value whole in its fault text. */
    const std::string body = response(member("result", "<i4>" + std::string(400000, 'x') + "</i4>"));
    srv.set([body](int fd) { answer_body(fd, body); });
    pelmorabox_bus_state_t s;
    testing::internal::CaptureStderr();
    EXPECT_EQ(pelmorabox_take(srv.url().c_str(), 0, &s), -14);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_LT(log.size(), 2000u) << log.substr(0, 300);
    EXPECT_NE(log.find("pelmorabox_take/parser_std_response: xmlrpc_client_callX(" + srv.url() +
                       ", PelmoraBox.Take) failed: "),
              std::string::npos)
        << log.substr(0, 300);
    EXPECT_NE(log.find("characters in all)"), std::string::npos) << log.substr(0, 300);
}

TEST_F(HostileAnswers, EndlessAnswerIsCutAtTheXmlLimitAndGivenBack)
{
    const size_t gib = (size_t)1 << 30;
    /* Shared with the server's thread, which may outlive this body. */
    struct progress
    {
        std::atomic<size_t> sent{0};
        std::atomic<int> done{0};
    };
    auto pr = std::make_shared<progress>();
    srv.set([pr, gib](int fd) {
        std::string h = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(gib) +
                        "\r\n\r\n<?xml version=\"1.0\"?><methodResponse><params><param><value><string>";
        std::string chunk(64 * 1024, 'a');
        if (send_all(fd, h.data(), h.size()))
            for (size_t total = 0; total < gib; total += chunk.size()) {
                if (!send_all(fd, chunk.data(), chunk.size()))
                    break;
                pr->sent += chunk.size();
            }
        pr->done = 1;
    });
    long before = proc_status_kb("VmHWM");
    pelmorabox_bus_state_t s;
    for (int i = 0; i < 3; i++) {
        pr->sent = 0;
        pr->done = 0;
        EXPECT_EQ(pelmorabox_get_state(srv.url().c_str(), 0, &s), -14);
        /* The server's writes fail once the client has hung up. */
        for (int w = 0; w < 500 && !pr->done; w++)
            usleep(10000);
        ASSERT_TRUE(pr->done.load()) << "the client kept reading";
        /* The client read up to the limit and stopped there; what was sent
         * beyond it is what the socket buffers took. */
        EXPECT_GE(pr->sent.load(), pelmora_xml_limit() - 128 * 1024);
        EXPECT_LT(pr->sent.load(), pelmora_xml_limit() + 16u * 1024 * 1024);
    }
    long grown = proc_status_kb("VmHWM") - before;
    EXPECT_LT(grown, 32 * 1024) << "peak resident memory grew by " << grown << " kB";
    EXPECT_EQ(pelmora_pool_in_use(), 0);
}

TEST_F(HostileAnswers, TrickleEndsWithinTheTimeout)
{
    srv.set([](int fd) {
        std::string h = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 100000\r\n\r\n<?xml";
        if (!send_all(fd, h.data(), h.size()))
            return;
        for (int i = 0; i < 200; i++) {
            struct pollfd p = {fd, POLLRDHUP, 0};
            if (poll(&p, 1, 100) > 0 || !send_all(fd, " ", 1))
                return;
        }
    });
    pelmorabox_bus_state_t s;
    for (const char *name : {"take", "get_state"}) {
        auto t0 = std::chrono::steady_clock::now();
        int r =
            name[0] == 't' ? pelmorabox_take(srv.url().c_str(), 0, &s) : pelmorabox_get_state(srv.url().c_str(), 0, &s);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(r, -14) << name;
        /* Generous: the point is that the call ends, not how fast. */
        EXPECT_LT(ms, kTimeoutMs + 5000) << name;
        EXPECT_GE(ms, kTimeoutMs - 100) << name;
    }
}

} // namespace
