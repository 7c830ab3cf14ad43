/* pelmora-sim against hostile clients: malformed requests, entity
 * expansion, an endless request, idle and trickling connections, saves of
 * one playlist name racing each other, and events carrying control
 * characters. The simulator must keep answering and never write a broken
 * playlist while reporting success. */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../client/hostile_values.h"
#include "pelmora.h"
#include "pelmorabox.h"
#include "sim_child.h"
#include "strl.h"

namespace {

int connect_to(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    if (connect(fd, (struct sockaddr *)&a, sizeof a)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const std::string &s)
{
    size_t off = 0;
    while (off < s.size()) {
        ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += (size_t)n;
    }
    return true;
}

/* Everything the server sends until it closes or goes quiet for 10 s. */
std::string read_answer(int fd)
{
    std::string out;
    char buf[4096];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        out.append(buf, (size_t)n);
        if (out.find("</methodResponse>") != std::string::npos)
            break;
    }
    return out;
}

std::string post(const std::string &body)
{
    return "POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\nConnection: close\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string call_xml(const std::string &method, const std::string &params)
{
    return "<?xml version=\"1.0\"?><methodCall><methodName>" + method + "</methodName><params>" + params +
           "</params></methodCall>";
}

std::string param(const std::string &v)
{
    return "<param><value>" + v + "</value></param>";
}

class SimHostile : public ::testing::Test
{
  protected:
    static void SetUpTestSuite() { pelmora_init("test_sim_hostile", "1"); }
    static void TearDownTestSuite() { pelmora_release(); }
    void SetUp() override
    {
        char tmpl[] = "/tmp/pelmora-sim-hostile-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ASSERT_EQ(sim_child_start(&sim, sim_child_bin(),
                                  {"--automation", "0", "--data", dir, "--buses", "6", "--events", "0"}),
                  0);
    }
    void TearDown() override
    {
        EXPECT_EQ(sim_child_stop(&sim), 0) << "the simulator ends cleanly";
        std::filesystem::remove_all(dir);
    }
    void expect_answering()
    {
        ASSERT_EQ(kill(sim.pid, 0), 0) << "the simulator is gone";
        pelmorabox_bus_state_t s;
        EXPECT_EQ(pelmorabox_get_state(sim.url.c_str(), 0, &s), 0);
    }
    std::string dir;
    sim_child_t sim;
};

TEST_F(SimHostile, MalformedDoctypeAndEndlessRequestsAreRefused)
{
    std::vector<std::string> bodies;
    for (const std::string &v : malformed_values()) {
        bodies.push_back(call_xml("PelmoraBox.GetState", param(v)));
        bodies.push_back(call_xml("PelmoraBox.DeleteEvents", param("<i4>0</i4>") + param(v)));
    }
    bodies.push_back(hostile_doctype() + "<methodCall><methodName>PelmoraBox.GetState</methodName><params>" +
                     param("<string>&j;</string>") + "</params></methodCall>");
    std::string utf16 = "\xff\xfe";
    for (char ch : call_xml("PelmoraBox.GetState", param("<i8>12a</i8>")))
        utf16 += std::string(1, ch) + '\0';
    bodies.push_back(utf16);
    for (const std::string &b : bodies) {
        int fd = connect_to(sim.port);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(send_all(fd, post(b)));
        std::string answer = read_answer(fd);
        close(fd);
        EXPECT_NE(answer.find("<fault>"), std::string::npos) << b.substr(0, 200) << "\n-> " << answer.substr(0, 300);
    }
    /* An endless request: the server answers or closes long before 1 GiB;
     * what it took is what the socket buffers held. */
    int fd = connect_to(sim.port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, "POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\nContent-Length: " +
                                 std::to_string((size_t)1 << 30) + "\r\n\r\n<?xml version=\"1.0\"?><methodCall>"));
    const std::string chunk(64 * 1024, ' ');
    size_t sent = 0;
    for (struct pollfd p = {fd, POLLOUT | POLLIN, 0}; sent < ((size_t)1 << 30) && poll(&p, 1, 10000) > 0 &&
                                                      !(p.revents & (POLLIN | POLLHUP | POLLERR)) &&
                                                      send_all(fd, chunk);)
        sent += chunk.size();
    close(fd);
    EXPECT_LT(sent, (size_t)64 << 20);
    expect_answering();
}

TEST_F(SimHostile, IdleAndTricklingConnectionsDoNotLockOthersOut)
{
    std::vector<int> fds;
    for (int i = 0; i < 300; i++) {
        int fd = connect_to(sim.port);
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
    }
    std::atomic<int> stop{0};
    std::thread trickler([&] {
        /* Every other connection sends its request one byte at a time. */
        const std::string req = post(call_xml("PelmoraBox.GetState", param("<i4>0</i4>")));
        for (size_t k = 0; !stop && k < req.size(); k++) {
            for (size_t i = 0; i < fds.size(); i += 2)
                send(fds[i], &req[k], 1, MSG_NOSIGNAL);
            for (int w = 0; w < 10 && !stop; w++)
                usleep(10000);
        }
    });
    for (int i = 0; i < 20; i++) {
        pelmorabox_bus_state_t s;
        EXPECT_EQ(pelmorabox_get_state(sim.url.c_str(), 0, &s), 0) << "call " << i;
    }
    stop = 1;
    trickler.join();
    for (int fd : fds)
        close(fd);
    expect_answering();
}

/* The titles of a playlist file, in order. */
std::vector<std::string> titles_of(const std::string &path)
{
    std::ifstream f(path);
    std::vector<std::string> out;
    std::string line;
    while (std::getline(f, line)) {
        pelmorabox_event_t *e = pelmorabox_event_create_from_string(line.c_str(), nullptr, 0);
        out.push_back(e ? e->title : "<broken line>");
        pelmorabox_event_destroy(&e);
    }
    return out;
}

TEST_F(SimHostile, ConcurrentSavesOfOneNameLeaveOneWholeList)
{
    const int buses = 6;
    pelmorabox_bus_state_t s;
    for (int b = 0; b < buses; b++)
        for (int k = 0; k < 20 + b; k++) {
            pelmorabox_event_t *e = pelmorabox_event_create();
            snprintf(e->title, sizeof e->title, "bus%d-%d", b, k);
            strlcpy(e->duration, "00:00:10:00", sizeof e->duration);
            ASSERT_GE(pelmorabox_insert_event(sim.url.c_str(), b, k, e, &s), 0);
            pelmorabox_event_destroy(&e);
        }
    for (int round = 0; round < 40; round++) {
        std::vector<std::thread> savers;
        std::atomic<int> ok{0};
        for (int b = 0; b < buses; b++)
            savers.emplace_back([&, b] {
                pelmorabox_bus_state_t st;
                ok += pelmorabox_save_playlist(sim.url.c_str(), b, "race.ply", &st) >= 0;
            });
        for (auto &t : savers)
            t.join();
        ASSERT_EQ(ok.load(), buses);
        std::vector<std::string> titles = titles_of(dir + "/race.ply");
        ASSERT_FALSE(titles.empty());
        int b = titles[0].size() > 3 ? titles[0][3] - '0' : -1;
        ASSERT_TRUE(b >= 0 && b < buses) << titles[0];
        ASSERT_EQ(titles.size(), (size_t)(20 + b)) << "round " << round;
        for (size_t k = 0; k < titles.size(); k++)
            ASSERT_EQ(titles[k], "bus" + std::to_string(b) + "-" + std::to_string(k)) << "round " << round;
    }
    /* No temporary file is left behind. */
    DIR *d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    while (struct dirent *e = readdir(d))
        EXPECT_EQ(strstr(e->d_name, ".tmp"), nullptr) << e->d_name;
    closedir(d);
}

TEST_F(SimHostile, ControlCharactersAreRefusedOrRoundTrip)
{
    pelmorabox_bus_state_t s;
    for (const char *title : {"two\nlines", "carriage\rreturn", "bell\x07", "del\x7f"}) {
        pelmorabox_event_t *e = pelmorabox_event_create();
        strlcpy(e->title, title, sizeof e->title);
        EXPECT_LT(pelmorabox_insert_event(sim.url.c_str(), 0, 0, e, &s), 0) << title;
        pelmorabox_event_destroy(&e);
    }
    ASSERT_EQ(pelmorabox_get_state(sim.url.c_str(), 0, &s), 0);
    EXPECT_EQ(s.count, 0) << "a refused event is not in the list";

    /* Metadata carries its own escapes: newlines, returns and tabs survive
     * a save and a load on another bus. */
    pelmorabox_event_t *e = pelmorabox_event_create();
    strlcpy(e->title, "plain", sizeof e->title);
    pelmorabox_event_add_meta(e, "k\n1", "v\r\n\t2\\");
    ASSERT_GE(pelmorabox_insert_event(sim.url.c_str(), 0, 0, e, &s), 0);
    pelmorabox_event_destroy(&e);
    ASSERT_GE(pelmorabox_save_playlist(sim.url.c_str(), 0, "ctl.ply", &s), 0);
    ASSERT_GE(pelmorabox_load_playlist(sim.url.c_str(), 1, "ctl.ply", &s), 0);
    EXPECT_EQ(s.count, 1);
    pelmorabox_event_t *back = nullptr;
    ASSERT_EQ(pelmorabox_get_event(sim.url.c_str(), 1, 0, &back, &s), 0);
    EXPECT_STREQ(back->title, "plain");
    ASSERT_EQ(back->metadata_cnt, 1);
    char *val = nullptr;
    EXPECT_EQ(pelmorabox_event_find_by_meta_key(back, "k\n1", &val), 0);
    EXPECT_STREQ(val, "v\r\n\t2\\");
    pelmorabox_event_destroy(&back);
}

} // namespace
