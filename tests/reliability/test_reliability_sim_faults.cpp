// pelmora-sim's faults switched at run time (SIGUSR1, --faults-off) and the
// running lists it keeps across a kill and restart (--keep-lists), through
// the client library.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "client_env.h"
#include "pelmora.h"
#include "pelmorabox.h"
#include "reliability_support.h"
#include "sim_child.h"
#include "strl.h"

namespace {

testing::Environment *const pool_env = client_env_add(
    "pelmora-reliability-test", "0", {{"PELMORA_RPC_TIMEOUT_MS", "4000"}, {"PELMORA_RPC_CONNECT_TIMEOUT_MS", "300"}});

int state_of(sim_child_t *sim, int idx, pelmorabox_bus_state_t *s)
{
    memset(s, 0, sizeof *s);
    return pelmorabox_get_state(sim->url.c_str(), idx, s);
}

std::string temp_dir()
{
    char dir[] = "/tmp/pelmora_reliability_XXXXXX";
    return mkdtemp(dir) ? dir : "";
}

void remove_dir(const std::string &dir)
{
    if (dir.compare(0, 25, "/tmp/pelmora_reliability_") == 0)
        (void)!system(("rm -rf " + dir).c_str());
}

} // namespace

TEST(SimFaults, FailRateSwitchedOnAndOffBySignal)
{
    sim_child_t sim;
    ASSERT_EQ(sim_child_start(&sim, sim_child_bin(),
                              {"--automation", "0", "--events", "5", "--fail-rate", "1", "--faults-off"}),
              0);
    pelmorabox_bus_state_t s;
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(state_of(&sim, 0, &s), 0) << "faults start switched off";
    EXPECT_EQ(s.count, 5);

    ASSERT_TRUE(reliability_sim_faults(&sim, true));
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(state_of(&sim, 0, &s), -14) << "every call fails at rate 1";

    ASSERT_TRUE(reliability_sim_faults(&sim, false));
    EXPECT_EQ(state_of(&sim, 0, &s), 0);
    EXPECT_EQ(s.count, 5);
    EXPECT_EQ(sim_child_stop(&sim), 0);
}

TEST(SimFaults, HungCallIsAnsweredWhenTheFaultsGoOff)
{
    sim_child_t sim;
    ASSERT_EQ(sim_child_start(&sim, sim_child_bin(),
                              {"--automation", "0", "--events", "3", "--hang", "GetState", "--log-calls"}),
              0);
    std::atomic<int> result{1};
    pelmorabox_bus_state_t s;
    memset(&s, 0, sizeof s);
    std::thread caller([&] { result = pelmorabox_get_state(sim.url.c_str(), 0, &s); });
    /* Received and held. */
    for (int i = 0; i < 300 && sim_child_count(&sim, "call PelmoraBox.GetState") == 0; i++)
        usleep(10000);
    ASSERT_EQ(sim_child_count(&sim, "call PelmoraBox.GetState"), 1);
    usleep(300 * 1000);
    EXPECT_EQ(result.load(), 1) << "a hung call must not be answered while the faults are on";

    /* Other methods are answered meanwhile. */
    pelmorabox_event_t *e = nullptr;
    pelmorabox_bus_state_t s2;
    EXPECT_EQ(pelmorabox_get_event(sim.url.c_str(), 0, 0, &e, &s2), 0);
    pelmorabox_event_destroy(&e);

    ASSERT_TRUE(reliability_sim_faults(&sim, false));
    caller.join();
    EXPECT_EQ(result.load(), 0) << "released as an ordinary answer";
    EXPECT_EQ(s.count, 3);
    /* And later calls are not held. */
    EXPECT_EQ(state_of(&sim, 0, &s2), 0);

    /* On again: held again, released by the stop with a fault. */
    ASSERT_TRUE(reliability_sim_faults(&sim, true));
    std::thread caller2([&] { result = pelmorabox_get_state(sim.url.c_str(), 0, &s); });
    for (int i = 0; i < 300 && sim_child_count(&sim, "call PelmoraBox.GetState") < 3; i++)
        usleep(10000);
    EXPECT_EQ(sim_child_stop(&sim), 0);
    caller2.join();
    EXPECT_EQ(result.load(), -14);
}

TEST(SimFaults, KeptListsSurviveAKillAndReplaceTheStartUpList)
{
    std::string data = temp_dir();
    ASSERT_FALSE(data.empty());
    std::vector<std::string> args = {"--buses", "2", "--events", "4", "--keep-lists", "--data", data};
    std::vector<std::string> first = {"--automation", "0"};
    first.insert(first.end(), args.begin(), args.end());
    sim_child_t sim;
    ASSERT_EQ(sim_child_start(&sim, sim_child_bin(), first), 0);
    int port = sim.port;

    pelmorabox_event_t *e = pelmorabox_event_create_from_string(
        "\t \t\t\t00:00:10:00\tV\tdemo/clip001.mxf\tKept title\t\t\t\t\t\t\t", nullptr, 0);
    ASSERT_NE(e, nullptr);
    pelmorabox_bus_state_t s;
    EXPECT_EQ(pelmorabox_insert_event(sim.url.c_str(), 0, 1, e, &s), 1);
    pelmorabox_event_destroy(&e);
    int64_t ids[1] = {3};
    EXPECT_EQ(pelmorabox_delete_event(sim.url.c_str(), 0, 1, ids, &s), 1);
    std::vector<reliability_row> before;
    ASSERT_TRUE(reliability_server_list(sim.url, 0, &before));
    ASSERT_EQ(before.size(), 4u);

    /* Killed outright: only what was written before each answer survives. */
    ASSERT_GT(sim.pid, 0);
    kill(sim.pid, SIGKILL);
    waitpid(sim.pid, nullptr, 0);
    sim.pid = -1;
    sim_child_stop(&sim);

    std::vector<std::string> again = {"--automation", std::to_string(port)};
    again.insert(again.end(), args.begin(), args.end());
    ASSERT_EQ(sim_child_start(&sim, sim_child_bin(), again), 0);
    std::vector<reliability_row> after, other;
    ASSERT_TRUE(reliability_server_list(sim.url, 0, &after));
    ASSERT_EQ(after.size(), before.size()) << "the kept list replaces --events";
    for (size_t i = 0; i < after.size(); i++) {
        /* The start time field is the server's clock at the call. */
        EXPECT_EQ(after[i].line.substr(after[i].line.find('\t')), before[i].line.substr(before[i].line.find('\t')));
        EXPECT_NE(after[i].sys_id, before[i].sys_id) << "a restart numbers the events anew";
    }
    EXPECT_NE(after[1].line.find("Kept title"), std::string::npos);
    /* A bus that never changed kept nothing and starts from --events. */
    ASSERT_TRUE(reliability_server_list(sim.url, 1, &other));
    EXPECT_EQ(other.size(), 4u);
    EXPECT_EQ(sim_child_stop(&sim), 0);
    remove_dir(data);
}

TEST(SimFaults, KeptListsOfSeveralServersStayApart)
{
    std::string data = temp_dir();
    ASSERT_FALSE(data.empty());
    std::vector<std::string> args = {"--buses", "1", "--events", "4", "--keep-lists", "--data", data};
    std::vector<std::string> first = {"--automation", "0", "--automation", "0"};
    first.insert(first.end(), args.begin(), args.end());
    sim_child_t sim;
    ASSERT_EQ(sim_child_start(&sim, sim_child_bin(), first), 0);
    std::vector<int> ports;
    for (int t = 0; t < 200 && ports.size() < 2; t++) {
        ports.clear();
        {
            std::lock_guard<std::mutex> g(sim.lock);
            for (const std::string &l : sim.lines)
                if (l.rfind("automation port ", 0) == 0)
                    ports.push_back(atoi(l.c_str() + 16));
        }
        if (ports.size() < 2)
            usleep(20000);
    }
    ASSERT_EQ(ports.size(), 2u);
    std::string second_url = "http://127.0.0.1:" + std::to_string(ports[1]) + "/RPC2";

    /* Only the second server's list changes. */
    pelmorabox_event_t *e = pelmorabox_event_create_from_string(
        "\t \t\t\t00:00:10:00\tV\tdemo/clip001.mxf\tSecond server\t\t\t\t\t\t\t", nullptr, 0);
    ASSERT_NE(e, nullptr);
    pelmorabox_bus_state_t s;
    EXPECT_EQ(pelmorabox_insert_event(second_url.c_str(), 0, 1, e, &s), 1);
    pelmorabox_event_destroy(&e);
    kill(sim.pid, SIGKILL);
    waitpid(sim.pid, nullptr, 0);
    sim.pid = -1;
    sim_child_stop(&sim);

    std::vector<std::string> again = {"--automation", std::to_string(ports[0]), "--automation",
                                      std::to_string(ports[1])};
    again.insert(again.end(), args.begin(), args.end());
    ASSERT_EQ(sim_child_start(&sim, sim_child_bin(), again), 0);
    std::vector<reliability_row> one, two;
    ASSERT_TRUE(reliability_server_list(sim.url, 0, &one));
    ASSERT_TRUE(reliability_server_list(second_url, 0, &two));
    EXPECT_EQ(one.size(), 4u) << "the first server took the second's kept list";
    ASSERT_EQ(two.size(), 5u);
    EXPECT_NE(two[1].line.find("Second server"), std::string::npos);
    EXPECT_EQ(sim_child_stop(&sim), 0);
    remove_dir(data);
}
