/* IO status monitors of one server share one poll: records reach every
 * monitor from the one thread, each monitor judges "new" for itself, the
 * poll goes on when the monitor that ran it stops, and no subscriber hears
 * anything once its monitor's stop returned, however starts and stops of
 * many monitors interleave. */
#include <gtest/gtest.h>

#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "client_env.h"
#include "io_sim.h"
#include "pelmora.h"
#include "pelmora_io.h"
#include "srv.h"
#include "strl.h"

namespace {

::testing::Environment *const client_env = client_env_add("io-monitor-shared-test");

struct recorder
{
    std::mutex lock;
    std::vector<int> f_new;
    std::vector<int> result;
    std::set<long> threads;      /* kernel thread ids: not reused at once, unlike pthread ids */
    std::atomic<int> stopped{0}; /* set once the monitor's stop returned */
    std::atomic<int> after_stop{0};
    size_t size()
    {
        std::lock_guard<std::mutex> g(lock);
        return f_new.size();
    }
};

void record_cb(srv_t *, pelmora_status_t *s, void *cookie, int f_new)
{
    recorder *r = (recorder *)cookie;
    if (r->stopped.load())
        r->after_stop++;
    std::lock_guard<std::mutex> g(r->lock);
    r->f_new.push_back(f_new);
    r->result.push_back(s->result);
    r->threads.insert((long)syscall(SYS_gettid));
}

void set_host(srv_t *srv, const std::string &host)
{
    memset(srv, 0, sizeof(*srv));
    strlcpy(srv->host, host.c_str(), sizeof(srv->host));
    snprintf(srv->url, sizeof(srv->url), "http://%s/RPC2", host.c_str());
}

} // namespace

TEST(IoMonitorShared, OnePollForMonitorsOfOneServer)
{
    io_sim sim;
    ASSERT_TRUE(sim.ok());
    srv_t a, b;
    recorder ra, rb;
    set_host(&a, sim.hosts[0]);
    set_host(&b, sim.hosts[0]);
    srv_init(&a);
    srv_init(&b);
    ASSERT_EQ(srv_status_cb_add(&a, record_cb, &ra), 0);
    ASSERT_EQ(srv_status_cb_add(&b, record_cb, &rb), 0);
    ASSERT_EQ(srv_run(&a), 0);
    ASSERT_TRUE(io_wait_for([&] { return ra.size() >= 3; }, 5000));

    /* B joins an unchanged status: its first record is new to it all the same. */
    ASSERT_EQ(srv_run(&b), 0);
    EXPECT_EQ(srv_run(&b), -16);
    ASSERT_TRUE(io_wait_for([&] { return rb.size() >= 3; }, 5000));
    {
        std::lock_guard<std::mutex> g(rb.lock);
        EXPECT_NE(rb.f_new[0], 0);
        EXPECT_EQ(rb.f_new[1], 0);
        EXPECT_EQ(rb.result[0], 0);
        std::lock_guard<std::mutex> g2(ra.lock);
        EXPECT_EQ(ra.threads, rb.threads) << "both fed by one thread";
        EXPECT_EQ(ra.threads.size(), 1u);
    }

    /* A ran the poll; it stops and B goes on, from a thread of its own. */
    EXPECT_EQ(srv_stop(&a), 0);
    ra.stopped = 1;
    size_t before = rb.size();
    ASSERT_TRUE(io_wait_for([&] { return rb.size() >= before + 3; }, 5000));
    {
        std::lock_guard<std::mutex> g(rb.lock);
        EXPECT_EQ(rb.threads.size(), 2u);
        for (size_t i = before; i < rb.f_new.size(); i++)
            EXPECT_EQ(rb.f_new[i], 0) << "nothing changed for B";
    }
    EXPECT_EQ(ra.after_stop.load(), 0);

    /* A comes back beside B: new to A again. */
    ra.stopped = 0;
    before = ra.size();
    ASSERT_EQ(srv_run(&a), 0);
    ASSERT_TRUE(io_wait_for([&] { return ra.size() > before; }, 5000));
    {
        std::lock_guard<std::mutex> g(ra.lock);
        EXPECT_NE(ra.f_new[before], 0);
    }
    EXPECT_EQ(srv_stop(&b), 0);
    rb.stopped = 1;
    EXPECT_EQ(srv_stop(&a), 0);
    ra.stopped = 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(ra.after_stop.load() + rb.after_stop.load(), 0);
    srv_release(&a);
    srv_release(&b);
}

TEST(IoMonitorShared, StartsAndStopsFromManyThreads)
{
    /* Two servers: one that answers and one that is not there (its poll
     * naps a second after each failure, so a stop must wake it). */
    io_sim sim;
    ASSERT_TRUE(sim.ok());
    const std::string hosts[2] = {sim.hosts[0], "127.0.0.1:1"};
    const int n = 12, rounds = 15;
    std::vector<srv_t> srvs(n);
    std::vector<recorder> recs(n);
    for (int i = 0; i < n; i++) {
        set_host(&srvs[i], hosts[i % 2]);
        srv_init(&srvs[i]);
        ASSERT_EQ(srv_status_cb_add(&srvs[i], record_cb, &recs[i]), 0);
    }
    std::atomic<int> bad{0};
    std::vector<std::thread> ts;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; i++)
        ts.emplace_back([&, i] {
            for (int k = 0; k < rounds; k++) {
                recs[i].stopped = 0;
                if (srv_run(&srvs[i]) != 0)
                    bad++;
                std::this_thread::sleep_for(std::chrono::milliseconds((i * 7 + k * 13) % 40));
                if (srv_stop(&srvs[i]) != 0)
                    bad++;
                recs[i].stopped = 1;
            }
        });
    for (auto &t : ts)
        t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(60)) << "a stop waited out a nap";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int heard = 0;
    for (int i = 0; i < n; i++) {
        EXPECT_EQ(recs[i].after_stop.load(), 0) << i;
        heard += recs[i].size() > 0;
        srv_release(&srvs[i]);
    }
    EXPECT_GT(heard, 0);
}
