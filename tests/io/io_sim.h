/* pelmora-sim with IO servers for the IO tests: started on free ports in a
 * fresh data folder, stopped (and the folder removed) at the end. */
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sim_child.h"

struct io_sim
{
    sim_child_t c;
    std::string data;
    std::vector<std::string> hosts; /* HOST:PORT of each IO server */
    std::vector<std::string> urls;

    explicit io_sim(int n_io = 1, std::vector<std::string> extra = {})
    {
        char dir[] = "/tmp/io_it_XXXXXX";
        if (!mkdtemp(dir))
            return;
        data = dir;
        std::vector<std::string> args = {"--automation=0", "--data=" + data};
        for (int i = 0; i < n_io; i++)
            args.push_back("--io=0");
        args.insert(args.end(), extra.begin(), extra.end());
        if (sim_child_start(&c, sim_child_bin(), args) < 0)
            return;
        std::lock_guard<std::mutex> g(c.lock);
        for (const std::string &l : c.lines)
            if (l.compare(0, 8, "io port ") == 0) {
                hosts.push_back("127.0.0.1:" + l.substr(8));
                urls.push_back("http://" + hosts.back() + "/RPC2");
            }
    }
    /* The simulator's exit status: 0 for a clean stop (a sanitizer report
     * or a crash gives another). */
    int stop()
    {
        if (c.pid <= 0)
            return 0;
        return sim_child_stop(&c);
    }
    ~io_sim()
    {
        EXPECT_EQ(stop(), 0) << "pelmora-sim did not end cleanly";
        if (!data.empty())
            system(("rm -rf " + data).c_str());
    }
    bool ok() const { return !urls.empty(); }
};

template <typename F> bool io_wait_for(F cond, int ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
