/* Connections kept open between calls: a poll reuses its connection, a
 * server that restarts or drops a kept connection costs the operator no
 * false failure, a dead server is still seen at once, and many threads
 * calling through the pool each get their own answer. */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <xmlrpc-c/base.h>

#include "pelmora.h"
#include "pelmorabox.h"
#include "raw_http_server.h"
#include "sim_child.h"

namespace {

/* An XML-RPC server on 127.0.0.1 that keeps each connection open as long as
 * the client wants. Method "echo" answers {s: its string, c: the number of
 * the connection that carried it}. drop is the number of coming requests
 * to read and then answer by closing the connection instead. */
class keepalive_server
{
  public:
    keepalive_server()
    {
        raw_.each_request([this](int fd, const std::string &body, int conn) {
            int d = drop.load();
            while (d > 0 && !drop.compare_exchange_weak(d, d - 1)) {
            }
            if (d > 0)
                return false;
            std::string answer = respond(body, conn);
            std::string all = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nConnection: keep-alive\r\n"
                              "Content-Length: " +
                              std::to_string(answer.size()) + "\r\n\r\n" + answer;
            return raw_http::send_all(fd, all.data(), all.size());
        });
    }
    int port() const { return raw_.port(); }
    std::string url() const { return raw_.url(); }
    int accepted() const { return raw_.accepted.load(); }
    std::atomic<int> drop{0};

  private:
    static std::string respond(const std::string &body, int conn)
    {
        xmlrpc_env env;
        xmlrpc_env_init(&env);
        const char *method = nullptr;
        xmlrpc_value *params = nullptr;
        xmlrpc_parse_call(&env, body.data(), body.size(), &method, &params);
        const char *s = nullptr;
        if (!env.fault_occurred)
            xmlrpc_decompose_value(&env, params, "(s)", &s);
        xmlrpc_value *v = env.fault_occurred ? nullptr : xmlrpc_build_value(&env, "{s:s,s:i}", "s", s, "c", conn);
        xmlrpc_mem_block *out = xmlrpc_mem_block_new(&env, 0);
        xmlrpc_env ser;
        xmlrpc_env_init(&ser);
        if (v)
            xmlrpc_serialize_response(&ser, out, v);
        else
            xmlrpc_serialize_fault(&ser, out, &env);
        std::string text((const char *)xmlrpc_mem_block_contents(out), xmlrpc_mem_block_size(out));
        xmlrpc_mem_block_free(out);
        if (v)
            xmlrpc_DECREF(v);
        if (params)
            xmlrpc_DECREF(params);
        free((void *)s);
        free((void *)method);
        xmlrpc_env_clean(&ser);
        xmlrpc_env_clean(&env);
        return text;
    }

    raw_http::raw_server raw_;
};

/* One echo call: the string that came back and the connection it came on;
 * fault text (empty when none) in *fault. */
std::string echo(const std::string &url, const std::string &text, int *conn, std::string *fault)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *v = xmlrpc_client_callX(&env, url.c_str(), "echo", "(s)", text.c_str());
    std::string got;
    fault->clear();
    if (!env.fault_occurred) {
        const char *s = nullptr;
        xmlrpc_int32 c = 0;
        xmlrpc_decompose_value(&env, v, "{s:s,s:i,*}", "s", &s, "c", &c);
        if (!env.fault_occurred) {
            got = s;
            *conn = c;
        }
        free((void *)s);
    }
    if (env.fault_occurred)
        *fault = env.fault_string;
    if (v)
        xmlrpc_DECREF(v);
    xmlrpc_env_clean(&env);
    return got;
}

class KeepAlive : public ::testing::Test
{
  protected:
    static void SetUpTestSuite() { pelmora_init("test_pelmora_keepalive", "1"); }
    static void TearDownTestSuite() { pelmora_release(); }
};

} // namespace

TEST_F(KeepAlive, APollingThreadKeepsItsConnectionAndSurvivesADroppedOne)
{
    keepalive_server srv; /* a server that cannot listen aborts the run */
    std::thread([&] {
        std::string fault;
        int conn = 0;
        for (int i = 0; i < 50; i++)
            ASSERT_EQ(echo(srv.url(), "poll " + std::to_string(i), &conn, &fault), "poll " + std::to_string(i))
                << fault;
        EXPECT_EQ(srv.accepted(), 1) << "fifty polls of one thread, one connection";

        /* The server closes the kept connection on the next request without
         * answering it (as one does whose idle time-out ran out just then):
         * the call goes out again on a new connection instead of failing. */
        srv.drop = 1;
        EXPECT_EQ(echo(srv.url(), "after drop", &conn, &fault), "after drop") << fault;
        EXPECT_EQ(conn, 2);
        EXPECT_EQ(srv.drop.load(), 0);

        /* A server that drops every request still fails the call, once, with
         * the transport's fault; no endless retrying. */
        srv.drop = 1000;
        EXPECT_EQ(echo(srv.url(), "never", &conn, &fault), "");
        EXPECT_EQ(fault.rfind("HTTP POST to URL '" + srv.url() + "' failed.  ", 0), 0u) << fault;
        EXPECT_LE(1000 - srv.drop.load(), 2) << "at most one retry";
        srv.drop = 0;
        EXPECT_EQ(echo(srv.url(), "back", &conn, &fault), "back") << fault;
    }).join();
    EXPECT_EQ(pelmora_pool_in_use(), 0);
}

TEST_F(KeepAlive, ManyThreadsThroughThePoolGetTheirOwnAnswers)
{
    keepalive_server a, b;
    /* More threads than clients, each alternating between two servers, so
     * that clients are borrowed away from their threads and each client's
     * connections lead to both servers. */
    const int threads = PELMORA_POOL_SIZE + 12, calls = 40;
    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; t++)
        ts.emplace_back([&, t] {
            for (int i = 0; i < calls; i++) {
                keepalive_server &s = (i + t) % 2 ? a : b;
                std::string text = std::to_string(t) + "/" + std::to_string(i) + "@" + std::to_string(s.port());
                std::string fault;
                int conn = 0;
                std::string got = echo(s.url(), text, &conn, &fault);
                if (!fault.empty())
                    failed++;
                else if (got != text)
                    wrong++;
            }
        });
    for (auto &t : ts)
        t.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(wrong.load(), 0) << "an answer reached another call";
    EXPECT_EQ(pelmora_pool_in_use(), 0);
    EXPECT_LE(a.accepted() + b.accepted(), threads * calls / 4) << "connections are reused";
}

TEST_F(KeepAlive, SimulatorRestartIsSeenAtOnceAndCostsNoFalseFailure)
{
    char tmpl[] = "/tmp/pelmora-keepalive-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    sim_child_t sim;
    ASSERT_EQ(sim_child_start(&sim, sim_child_bin(), {"--automation", "0", "--data", dir, "--buses", "1"}), 0);
    const int port = sim.port;
    const std::string url = sim.url;
    pelmorabox_bus_state_t s;
    std::thread([&] {
        for (int i = 0; i < 5; i++)
            ASSERT_EQ(pelmorabox_get_state(url.c_str(), 0, &s), 0);

        /* Gone: the kept connection is not waited on; the call fails at
         * once with the transport's fault, as a first call would. */
        ASSERT_EQ(sim_child_stop(&sim), 0);
        xmlrpc_env env;
        xmlrpc_env_init(&env);
        auto t0 = std::chrono::steady_clock::now();
        xmlrpc_value *v = xmlrpc_client_callX(&env, url.c_str(), "PelmoraBox.GetState", "(i)", 0);
        auto took = std::chrono::steady_clock::now() - t0;
        EXPECT_EQ(v, nullptr);
        EXPECT_EQ(env.fault_code, XMLRPC_NETWORK_ERROR);
        EXPECT_EQ(
            std::string(env.fault_string ? env.fault_string : "").rfind("HTTP POST to URL '" + url + "' failed.  ", 0),
            0u)
            << env.fault_string;
        EXPECT_LT(took, std::chrono::seconds(5)) << "well inside the 10 s time-out: no hang on the old connection";
        xmlrpc_env_clean(&env);
        EXPECT_EQ(pelmorabox_get_state(url.c_str(), 0, &s), -14);

        /* Back on the same port: the first call answers. */
        sim_child_t again;
        ASSERT_EQ(sim_child_start(&again, sim_child_bin(),
                                  {"--automation", std::to_string(port), "--data", dir, "--buses", "1"}),
                  0);
        EXPECT_EQ(pelmorabox_get_state(url.c_str(), 0, &s), 0);

        /* Restarted between two polls, with the connection open: again no
         * failure. */
        ASSERT_EQ(sim_child_stop(&again), 0);
        ASSERT_EQ(sim_child_start(&again, sim_child_bin(),
                                  {"--automation", std::to_string(port), "--data", dir, "--buses", "1"}),
                  0);
        EXPECT_EQ(pelmorabox_get_state(url.c_str(), 0, &s), 0);
        EXPECT_EQ(sim_child_stop(&again), 0);
    }).join();
    std::string rm = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(rm.c_str()), 0);
}

namespace {

int connect_port(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/* Everything until the server closes, or until 10 s of silence. */
std::string read_until_closed(int fd)
{
    std::string out;
    char buf[4096];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            return out + "<silent>";
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return out;
        out.append(buf, (size_t)n);
    }
}

std::string get_state_request(int bus, const char *extra_headers)
{
    std::string body = "<?xml version=\"1.0\"?><methodCall><methodName>PelmoraBox.GetState</methodName><params>"
                       "<param><value><i4>" +
                       std::to_string(bus) + "</i4></value></param></params></methodCall>";
    return std::string("POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\n") + extra_headers +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

size_t count_of(const std::string &s, const std::string &what)
{
    size_t n = 0;
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1))
        n++;
    return n;
}

} // namespace

/* The simulator's own HTTP on a kept connection: requests sent together are
 * answered in order on it, "Connection: close" ends it after the answer, and
 * heads that are too large, lengths that are missing and bodies of unknown
 * size end the connection with an error status while other clients go on. */
TEST_F(KeepAlive, SimulatorConnectionsUnderOddAndHostileRequests)
{
    char tmpl[] = "/tmp/pelmora-keepalive-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    sim_child_t sim;
    ASSERT_EQ(sim_child_start(&sim, sim_child_bin(), {"--automation", "0", "--data", dir, "--buses", "2"}), 0);

    int fd = connect_port(sim.port);
    ASSERT_GE(fd, 0);
    std::string three =
        get_state_request(0, "") + get_state_request(1, "") + get_state_request(0, "Connection: close\r\n");
    ASSERT_EQ(send(fd, three.data(), three.size(), MSG_NOSIGNAL), (ssize_t)three.size());
    std::string got = read_until_closed(fd);
    close(fd);
    EXPECT_EQ(count_of(got, "HTTP/1.1 200 OK\r\n"), 3u) << got.substr(0, 400);
    EXPECT_EQ(count_of(got, "</methodResponse>"), 3u);
    EXPECT_EQ(count_of(got, "Connection: keep-alive\r\n"), 2u);
    size_t last = got.rfind("HTTP/1.1 200 OK\r\n");
    ASSERT_NE(last, std::string::npos);
    std::string last_head = got.substr(last, got.find("\r\n\r\n", last) + 2 - last);
    EXPECT_NE(last_head.find("Connection: close\r\n"), std::string::npos) << "the last answer says it closes";
    EXPECT_EQ(got.find("<silent>"), std::string::npos) << "closed after the answer to the close request";

    struct
    {
        std::string request;
        const char *status;
    } bad[] = {
        {"POST /RPC2 HTTP/1.1\r\nContent-Type: text/xml\r\nX-Fill: " + std::string(20000, 'a') + "\r\n\r\n",
         "HTTP/1.1 431 "},
        {"POST /RPC2 HTTP/1.1\r\nContent-Type: text/xml\r\n\r\n<methodCall/>", "HTTP/1.1 411 "},
        {"POST /RPC2 HTTP/1.1\r\nContent-Type: text/xml\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
         "HTTP/1.1 501 "},
        {"POST /RPC2 HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!",
         "HTTP/1.1 400 "},
        {"POST /RPC2 HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: -1\r\n\r\n", "HTTP/1.1 400 "},
        {"POST /RPC2 HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: 99999999999999\r\n\r\n", "HTTP/1.1 400 "},
        {"POST /RPC2 HTTP/1.1\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nhi", "HTTP/1.1 400 "},
        {"GET /RPC2 HTTP/1.1\r\n\r\n", "HTTP/1.1 405 "},
        {"POST /other HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: 2\r\n\r\nhi", "HTTP/1.1 404 "},
        {"POST /RPC2\r\n\r\n", "HTTP/1.1 400 "},
    };
    for (auto &b : bad) {
        fd = connect_port(sim.port);
        ASSERT_GE(fd, 0);
        /* A good request follows the bad one on the same connection: it is
         * never answered, the connection ends with the error. */
        std::string req = b.request + get_state_request(0, "");
        send(fd, req.data(), req.size(), MSG_NOSIGNAL);
        got = read_until_closed(fd);
        close(fd);
        EXPECT_EQ(got.rfind(b.status, 0), 0u) << b.request.substr(0, 80) << "\n-> " << got.substr(0, 200);
        EXPECT_EQ(got.find("<silent>"), std::string::npos) << b.request.substr(0, 80);
        EXPECT_EQ(got.find("methodResponse"), std::string::npos) << b.request.substr(0, 80);
    }
    pelmorabox_bus_state_t s;
    std::thread([&] { EXPECT_EQ(pelmorabox_get_state(sim.url.c_str(), 1, &s), 0); }).join();
    EXPECT_EQ(sim_child_stop(&sim), 0) << "the simulator ends cleanly";
    std::string rm = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(rm.c_str()), 0);
}
