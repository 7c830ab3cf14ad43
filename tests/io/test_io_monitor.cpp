/* The IO status monitor against pelmora-sim: change detection, a server
 * that goes away and comes back, the subscriber table, stopping and running
 * again. */
#include <gtest/gtest.h>

#include <string.h>

#include <chrono>
#include <mutex>
#include <vector>

#include "client_env.h"
#include "io_sim.h"
#include "pelmora.h"
#include "pelmora_io.h"
#include "srv.h"
#include "strl.h"

namespace {

::testing::Environment *const client_env = client_env_add("io-monitor-test");

struct seen
{
    pelmora_status_t s;
    int f_new;
    std::chrono::steady_clock::time_point at;
};

struct recorder
{
    std::mutex lock;
    std::vector<seen> v;
    size_t size()
    {
        std::lock_guard<std::mutex> g(lock);
        return v.size();
    }
    std::vector<seen> copy()
    {
        std::lock_guard<std::mutex> g(lock);
        return v;
    }
};

void record_cb(srv_t *, pelmora_status_t *s, void *cookie, int f_new)
{
    recorder *r = (recorder *)cookie;
    std::lock_guard<std::mutex> g(r->lock);
    r->v.push_back({*s, f_new, std::chrono::steady_clock::now()});
}

void set_host(srv_t *srv, const std::string &host)
{
    memset(srv, 0, sizeof(*srv));
    strlcpy(srv->host, host.c_str(), sizeof(srv->host));
    snprintf(srv->url, sizeof(srv->url), "http://%s/RPC2", host.c_str());
}

bool all_zero_but_result(const pelmora_status_t &s)
{
    pelmora_status_t z;
    memset(&z, 0, sizeof(z));
    z.result = s.result;
    return memcmp(&z, &s, sizeof(z)) == 0;
}

} // namespace

TEST(IoMonitor, ChangesAndAServerThatGoesAway)
{
    io_sim sim;
    ASSERT_TRUE(sim.ok());
    srv_t srv;
    set_host(&srv, sim.hosts[0]);
    srv_init(&srv);
    recorder rec;
    ASSERT_EQ(srv_status_cb_add(&srv, record_cb, &rec), 0);
    ASSERT_EQ(srv_run(&srv), 0);

    // An idle player answers the same status every time: only the first is new.
    ASSERT_TRUE(io_wait_for([&] { return rec.size() >= 4; }, 5000));
    auto v = rec.copy();
    EXPECT_EQ(v[0].s.result, 0);
    EXPECT_NE(v[0].f_new, 0);
    for (size_t i = 1; i < v.size(); i++)
        EXPECT_EQ(v[i].f_new, 0) << i;

    // A change of the list is seen as new, once.
    ASSERT_EQ(pelmora_playlist_append(sim.urls[0].c_str(), "/demo/clip001.mxf", 0, 100, nullptr, nullptr, "c1"), 0);
    ASSERT_TRUE(io_wait_for(
        [&] {
            auto w = rec.copy();
            return w.back().s.playlist_gen == 1 && w.size() >= 2 && w[w.size() - 2].s.playlist_gen == 1;
        },
        5000));
    v = rec.copy();
    int changes = 0;
    for (const auto &x : v)
        changes += x.f_new != 0;
    EXPECT_EQ(changes, 2);
    EXPECT_STREQ(v.back().s.cookie, "c1");
    EXPECT_EQ(v.back().s.playlist_dur, 100);

    // The server goes away: a record a second, -14 and nothing else; only
    // the first of them is new.
    size_t before = rec.size();
    ASSERT_EQ(sim.stop(), 0);
    ASSERT_TRUE(io_wait_for([&] { return rec.size() >= before + 3; }, 6000));
    v = rec.copy();
    std::vector<seen> down(v.begin() + (long)before, v.end());
    for (size_t i = 0; i < down.size(); i++) {
        EXPECT_EQ(down[i].s.result, -14) << i;
        EXPECT_TRUE(all_zero_but_result(down[i].s)) << i;
        EXPECT_EQ(down[i].f_new != 0, i == 0) << i;
        if (i) {
            EXPECT_GE(down[i].at - down[i - 1].at, std::chrono::milliseconds(900)) << i;
        }
    }

    // The server comes back on its port: the next record is whole and new.
    io_sim back(0, {"--io=" + sim.hosts[0].substr(sim.hosts[0].find(':') + 1)});
    ASSERT_TRUE(back.ok()) << "the simulator did not come back on " << sim.hosts[0];
    before = rec.size();
    ASSERT_TRUE(io_wait_for([&] { return rec.size() > before && rec.copy().back().s.result == 0; }, 3000));
    v = rec.copy();
    size_t first_up = before;
    while (v[first_up].s.result != 0)
        first_up++;
    EXPECT_NE(v[first_up].f_new, 0);
    EXPECT_EQ(v[first_up].s.playlist_gen, 0) << "a fresh player has an empty list";

    // Stop returns within a second although the server never answers.
    ASSERT_EQ(back.stop(), 0);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(srv_stop(&srv), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));

    // And the monitor runs again: a fresh thread starts with a new record.
    before = rec.size();
    ASSERT_EQ(srv_run(&srv), 0);
    ASSERT_TRUE(io_wait_for([&] { return rec.size() > before; }, 3000));
    EXPECT_NE(rec.copy()[before].f_new, 0);
    EXPECT_EQ(srv_stop(&srv), 0);
    srv_release(&srv);
}

namespace {
struct self_clearing
{
    srv_t *srv;
    int idx = -1;
    int calls = 0;
};
void clear_self_cb(srv_t *srv, pelmora_status_t *, void *cookie, int)
{
    self_clearing *c = (self_clearing *)cookie;
    c->calls++;
    // The table lock is held here; it is recursive, so this must not hang.
    EXPECT_EQ(srv_status_cb_clear(srv, c->idx), 0);
}
} // namespace

TEST(IoMonitor, SubscriberTable)
{
    srv_t srv;
    set_host(&srv, "127.0.0.1:1");
    srv_init(&srv);
    recorder rec;
    for (int i = 0; i < 16; i++)
        ASSERT_EQ(srv_status_cb_add(&srv, record_cb, &rec), i);
    EXPECT_EQ(srv_status_cb_add(&srv, record_cb, &rec), -16);
    EXPECT_EQ(srv_status_cb_clear(&srv, 3), 0);
    EXPECT_EQ(srv_status_cb_clear(&srv, 3), -2);
    EXPECT_EQ(srv_status_cb_clear(&srv, 16), -14);
    EXPECT_EQ(srv_status_cb_clear(&srv, -1), -14);

    // The free entry 3 goes to a subscriber that leaves from inside its call.
    self_clearing sc{&srv};
    sc.idx = srv_status_cb_add(&srv, clear_self_cb, &sc);
    ASSERT_EQ(sc.idx, 3);
    EXPECT_EQ(srv_status_update(&srv), -14);
    EXPECT_EQ(srv_status_update(&srv), -14);
    EXPECT_EQ(sc.calls, 1);
    EXPECT_EQ(rec.size(), 30u); // fifteen subscribers, two polls
    EXPECT_EQ(srv_status_cb_add(&srv, record_cb, &rec), 3);
    srv_release(&srv);
}
