// The call frame against real loopback servers: the pool, the call
// primitive's format handling, time-outs, the User-Agent, the common list
// decoders and the UDP datagrams.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client_env.h"
#include "pelmora.h"
#include "pelmora_version.h"
#include "test_xmlrpc_server.h"

namespace {

::testing::Environment *const pool_env = client_env_add(PELMORA_APP_NAME, PELMORA_VERSION);

using clock_type = std::chrono::steady_clock;

// Waits for cond up to a generous bound; the bound only keeps a broken
// build from hanging, it is not a speed check.
template <typename F> bool wait_for(F cond, int ms = 10000)
{
    auto end = clock_type::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (clock_type::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

xmlrpc_value *result_only(xmlrpc_env *env, int result)
{
    return xmlrpc_build_value(env, "{s:i}", "result", result);
}

// A TCP listener that completes connections (the kernel does) and never
// reads or answers.
struct silent_listener
{
    int fd;
    int port;
    explicit silent_listener(int backlog = 16)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, (struct sockaddr *)&a, sizeof(a));
        listen(fd, backlog);
        socklen_t al = sizeof(a);
        getsockname(fd, (struct sockaddr *)&a, &al);
        port = ntohs(a.sin_port);
    }
    ~silent_listener() { close(fd); }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/RPC2"; }
};

} // namespace

TEST(CallFrame, PrimitiveSendsParametersAndReturnsResponse)
{
    test_xmlrpc_server srv([](xmlrpc_env *env, const std::string &, xmlrpc_value *) {
        return xmlrpc_build_value(env, "{s:i,s:d}", "result", 7, "x", 1.5);
    });
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *v =
        xmlrpc_client_callX(&env, srv.url().c_str(), "Test.Types", "(iIsbd6(I){s:i})", 1, (xmlrpc_int64)1 << 40, "text",
                            1, 2.25, "ab", (size_t)2, (xmlrpc_int64)5, "k", 3);
    ASSERT_FALSE(env.fault_occurred) << env.fault_string;
    ASSERT_NE(v, nullptr);
    double x = 0;
    xmlrpc_decompose_value(&env, v, "{s:d,*}", "x", &x);
    EXPECT_EQ(x, 1.5);
    xmlrpc_DECREF(v);
    auto calls = srv.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].method, "Test.Types");
    EXPECT_EQ(calls[0].types, "(iIsbd6(I){k:i})");
    xmlrpc_env_clean(&env);
}

TEST(CallFrame, BadFormatsFaultWithoutCalling)
{
    test_xmlrpc_server srv([](xmlrpc_env *env, const std::string &, xmlrpc_value *) { return result_only(env, 0); });
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    EXPECT_EQ(xmlrpc_client_callX(&env, srv.url().c_str(), "Test.Junk", "(i)(i)", 1, 2), nullptr);
    ASSERT_TRUE(env.fault_occurred);
    EXPECT_EQ(env.fault_code, -500);
    EXPECT_STREQ(env.fault_string, "Junk after the argument specifier: '(i)'.  There must be exactly one arument.");
    xmlrpc_env_clean(&env);

    xmlrpc_env_init(&env);
    EXPECT_EQ(xmlrpc_client_callX(&env, srv.url().c_str(), "Test.Bad", "(q)", 1), nullptr);
    ASSERT_TRUE(env.fault_occurred);
    EXPECT_NE(strstr(env.fault_string, "Invalid RPC arguments.  The format argument must indicate a single array"),
              nullptr)
        << env.fault_string;
    xmlrpc_env_clean(&env);
    EXPECT_EQ(srv.calls().size(), 0u);
}

TEST(CallFrame, FaultsAndHttpFailuresArriveInEnv)
{
    test_xmlrpc_server srv([](xmlrpc_env *env, const std::string &, xmlrpc_value *) -> xmlrpc_value * {
        xmlrpc_env_set_fault(env, 42, "refused by test");
        return nullptr;
    });
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    EXPECT_EQ(xmlrpc_client_callX(&env, srv.url().c_str(), "Test.Fault", "()"), nullptr);
    EXPECT_EQ(env.fault_code, 42);
    EXPECT_NE(strstr(env.fault_string, "refused by test"), nullptr) << env.fault_string;
    xmlrpc_env_clean(&env);
    // An HTTP error status instead of an XML-RPC answer.
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(lfd, (struct sockaddr *)&a, sizeof(a));
    listen(lfd, 4);
    socklen_t al = sizeof(a);
    getsockname(lfd, (struct sockaddr *)&a, &al);
    std::thread http404([lfd] {
        int c = accept(lfd, nullptr, nullptr);
        char buf[4096];
        if (recv(c, buf, sizeof(buf), 0) > 0) {
            const char *r = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            if (send(c, r, strlen(r), 0) < 0) {
            }
        }
        close(c);
    });
    xmlrpc_env_init(&env);
    std::string u404 = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/RPC2";
    EXPECT_EQ(xmlrpc_client_callX(&env, u404.c_str(), "Test.Fault", "()"), nullptr);
    EXPECT_TRUE(env.fault_occurred);
    EXPECT_NE(strstr(env.fault_string, "404"), nullptr) << env.fault_string;
    xmlrpc_env_clean(&env);
    http404.join();
    close(lfd);
}

TEST(CallFrame, UserAgentCarriesApplicationAndVersion)
{
    test_xmlrpc_server srv([](xmlrpc_env *env, const std::string &, xmlrpc_value *) { return result_only(env, 0); });
    EXPECT_EQ(pelmora_method_no_arg(srv.url().c_str(), "Test.Agent"), 0);
    auto calls = srv.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_NE(calls[0].user_agent.find(std::string(PELMORA_APP_NAME) + "/" + PELMORA_VERSION), std::string::npos)
        << calls[0].user_agent;
    EXPECT_EQ(calls[0].types, "()");
}

TEST(CallFrame, MethodNoArgResults)
{
    test_xmlrpc_server srv([](xmlrpc_env *env, const std::string &m, xmlrpc_value *) -> xmlrpc_value * {
        if (m == "T.Neg")
            return result_only(env, -2);
        if (m == "T.NoResult")
            return xmlrpc_build_value(env, "{s:s}", "other", "x");
        if (m == "T.WrongType")
            return xmlrpc_build_value(env, "{s:s}", "result", "0");
        if (m == "T.NotStruct")
            return xmlrpc_build_value(env, "i", 5);
        return result_only(env, 3);
    });
    std::string url = srv.url();
    const char *u = url.c_str();
    EXPECT_EQ(pelmora_method_no_arg(u, "T.Ok"), 3);
    EXPECT_EQ(pelmora_method_no_arg(u, "T.Neg"), -2);
    testing::internal::CaptureStderr();
    EXPECT_EQ(pelmora_method_no_arg(u, "T.NoResult"), -14);
    EXPECT_EQ(pelmora_method_no_arg(u, "T.WrongType"), -14);
    EXPECT_EQ(pelmora_method_no_arg(u, "T.NotStruct"), -14);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("pelmora_method_no_arg: T.NoResult, decompose value failed: "), std::string::npos) << log;
    EXPECT_NE(log.find("[pelmora.cpp:"), std::string::npos) << log;
    // Nobody listens on the port of a stopped server.
    int port;
    {
        test_xmlrpc_server gone(
            [](xmlrpc_env *env, const std::string &, xmlrpc_value *) { return result_only(env, 0); });
        port = gone.port();
    }
    std::string dead = "http://127.0.0.1:" + std::to_string(port) + "/RPC2";
    testing::internal::CaptureStderr();
    EXPECT_EQ(pelmora_method_no_arg(dead.c_str(), "T.Ok"), -14);
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.find("pelmora_method_no_arg: xmlrpc_client_callX(" + dead + ", T.Ok) failed: "), 0u) << log;
}

TEST(CallFrame, SimpleList)
{
    test_xmlrpc_server srv([](xmlrpc_env *env, const std::string &m, xmlrpc_value *) -> xmlrpc_value * {
        if (m == "L.Neg")
            return result_only(env, -2);
        if (m == "L.Empty")
            return xmlrpc_build_value(env, "{s:i,s:()}", "result", 0, "list");
        if (m == "L.NoList")
            return result_only(env, 0);
        // One bare string among one-element arrays; one array of an int.
        return xmlrpc_build_value(env, "{s:i,s:((s)s(s)(i)(s))}", "result", 0, "list", "a", "bare", "b", 5, "c");
    });
    std::string url = srv.url();
    auto call = [&](const char *m, char ***plist) {
        xmlrpc_env env;
        xmlrpc_env_init(&env);
        xmlrpc_value *r = xmlrpc_client_callX(&env, url.c_str(), m, "(i)", 0);
        int n = parse_simple_list_response("caller", &env, r, plist);
        xmlrpc_env_clean(&env);
        return n;
    };
    char **list = (char **)1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(call("L.Mixed", &list), 3);
    std::string log = testing::internal::GetCapturedStderr();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list[0], "a");
    EXPECT_STREQ(list[1], "b");
    EXPECT_STREQ(list[2], "c");
    EXPECT_EQ(list[3], nullptr);
    EXPECT_NE(log.find("caller/parse_simple_list_response: xmlrpc_array_read_item failed: "), std::string::npos);
    for (char **p = list; *p; p++)
        free(*p);
    free(list);

    testing::internal::CaptureStderr();
    EXPECT_EQ(call("L.Neg", &list), -2);
    EXPECT_EQ(list, nullptr);
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log, "caller/parse_simple_list_response: return -2 (" + std::string(strerror(2)) + ")");

    EXPECT_EQ(call("L.Empty", &list), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[0], nullptr);
    free(list);

    testing::internal::CaptureStderr();
    EXPECT_EQ(call("L.NoList", &list), -14);
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(log.find("caller/parse_simple_list_response: decompose value failed: "), 0u) << log;
}

TEST(CallFrame, CustomList)
{
    test_xmlrpc_server srv([](xmlrpc_env *env, const std::string &m, xmlrpc_value *) -> xmlrpc_value * {
        if (m == "C.Bare")
            return xmlrpc_build_value(env, "({s:i}{s:i})", "n", 1, "n", 2);
        return xmlrpc_build_value(env, "{s:i,s:({s:i}{s:s}{s:i})}", "result", 0, "items", "n", 1, "n", "x", "n", 3);
    });
    std::string url = srv.url();
    struct acc
    {
        std::vector<int> vals, idxs;
        int cnt = -1;
    } a;
    auto proc = [](xmlrpc_env *env, xmlrpc_value *item, void *cookie, int idx, int cnt) {
        auto *a = static_cast<acc *>(cookie);
        int n = 0;
        xmlrpc_decompose_value(env, item, "{s:i,*}", "n", &n);
        if (!env->fault_occurred) {
            a->vals.push_back(n);
            a->idxs.push_back(idx);
        }
        a->cnt = cnt;
    };
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *r = xmlrpc_client_callX(&env, url.c_str(), "C.Member", "()");
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_custom_list("caller", &env, r, "items", proc, &a), 2);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("caller/parse_custom_list: xmlrpc_array_read_item failed: "), std::string::npos);
    EXPECT_EQ(a.vals, (std::vector<int>{1, 3}));
    EXPECT_EQ(a.idxs, (std::vector<int>{0, 1}));
    EXPECT_EQ(a.cnt, 3);
    xmlrpc_DECREF(r);

    acc b;
    r = xmlrpc_client_callX(&env, url.c_str(), "C.Bare", "()");
    EXPECT_EQ(parse_custom_list("caller", &env, r, nullptr, proc, &b), 2);
    EXPECT_EQ(b.vals, (std::vector<int>{1, 2}));
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_custom_list("caller", &env, r, "items", proc, &b), -14);
    testing::internal::GetCapturedStderr();
    xmlrpc_DECREF(r);
    xmlrpc_env_clean(&env);
}

TEST(CallFrame, PoolLendsThirtyTwoAndTheThirtyThirdWaits)
{
    std::mutex m;
    std::condition_variable cv;
    int permits = 0;
    std::atomic<int> arrived{0};
    test_xmlrpc_server srv([&](xmlrpc_env *env, const std::string &, xmlrpc_value *) {
        arrived++;
        std::unique_lock<std::mutex> g(m);
        cv.wait(g, [&] { return permits > 0; });
        permits--;
        return result_only(env, 0);
    });
    std::string url = srv.url();
    std::atomic<int> done{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 33; i++)
        callers.emplace_back([&] {
            if (pelmora_method_no_arg(url.c_str(), "Pool.Hold") == 0)
                done++;
        });

    ASSERT_TRUE(wait_for([&] { return arrived.load() == 32; }));
    EXPECT_EQ(pelmora_pool_in_use(), 32);
    // The 33rd caller stays blocked in the pool while all 32 are out.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(arrived.load(), 32);
    EXPECT_EQ(done.load(), 0);
    EXPECT_EQ(pelmora_pool_in_use(), 32);

    {
        std::lock_guard<std::mutex> g(m);
        permits = 1;
    }
    cv.notify_all();
    // One returns; the waiting caller takes its client.
    ASSERT_TRUE(wait_for([&] { return done.load() == 1 && arrived.load() == 33; }));
    EXPECT_EQ(pelmora_pool_in_use(), 32);

    {
        std::lock_guard<std::mutex> g(m);
        permits = 1000;
    }
    cv.notify_all();
    for (auto &t : callers)
        t.join();
    EXPECT_EQ(done.load(), 33);
    EXPECT_EQ(pelmora_pool_in_use(), 0);
}

TEST(CallFrame, ServerThatNeverAnswersTimesOut)
{
    pelmora_release();
    setenv(PELMORA_RPC_CONNECT_TIMEOUT_ENV, "300", 1);
    setenv(PELMORA_RPC_TIMEOUT_ENV, "700", 1);
    pelmora_init(PELMORA_APP_NAME, PELMORA_VERSION);
    EXPECT_EQ(pelmora_rpc_connect_timeout_ms(), 300);
    EXPECT_EQ(pelmora_rpc_timeout_ms(), 700);

    silent_listener l;
    std::string url = l.url();
    testing::internal::CaptureStderr();
    auto t0 = clock_type::now();
    int r = pelmora_method_no_arg(url.c_str(), "Never.Answer");
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t0).count();
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, -14);
    // Ends by the time-out (curl may round it up to a whole second), far
    // from the default 10 s and from "never".
    EXPECT_GE(ms, 600);
    EXPECT_LT(ms, 3000);
    EXPECT_EQ(log.find("pelmora_method_no_arg: xmlrpc_client_callX(" + url + ", Never.Answer) failed: "), 0u) << log;

    // Connect phase: a listener whose queue is full drops further
    // connection requests, so only the connect time-out ends the call.
    pelmora_release();
    setenv(PELMORA_RPC_CONNECT_TIMEOUT_ENV, "300", 1);
    setenv(PELMORA_RPC_TIMEOUT_ENV, "8000", 1);
    pelmora_init(PELMORA_APP_NAME, PELMORA_VERSION);
    {
        silent_listener full(0);
        std::vector<int> fillers;
        for (int i = 0; i < 4; i++) {
            int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            struct sockaddr_in a;
            memset(&a, 0, sizeof(a));
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons((uint16_t)full.port);
            connect(c, (struct sockaddr *)&a, sizeof(a));
            fillers.push_back(c);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::string furl = full.url();
        testing::internal::CaptureStderr();
        t0 = clock_type::now();
        r = pelmora_method_no_arg(furl.c_str(), "Never.Connects");
        ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t0).count();
        log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(r, -14);
        EXPECT_GE(ms, 250);
        EXPECT_LT(ms, 4000) << log;
        EXPECT_NE(log.find("onnect"), std::string::npos) << log;
        for (int c : fillers)
            close(c);
    }

    pelmora_release();
    setenv(PELMORA_RPC_TIMEOUT_ENV, "soon", 1);
    unsetenv(PELMORA_RPC_CONNECT_TIMEOUT_ENV);
    testing::internal::CaptureStderr();
    pelmora_init(PELMORA_APP_NAME, PELMORA_VERSION);
    log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("PELMORA_RPC_TIMEOUT_MS=[soon]"), std::string::npos) << log;
    EXPECT_EQ(pelmora_rpc_timeout_ms(), PELMORA_RPC_TIMEOUT_MS_DEFAULT);
    EXPECT_EQ(pelmora_rpc_connect_timeout_ms(), PELMORA_RPC_CONNECT_TIMEOUT_MS_DEFAULT);
    unsetenv(PELMORA_RPC_TIMEOUT_ENV);
}

TEST(Datagram, SendsTextWithTerminatingZero)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, (struct sockaddr *)&a, sizeof(a)), 0);
    socklen_t al = sizeof(a);
    getsockname(fd, (struct sockaddr *)&a, &al);
    std::string hp = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));

    const char *texts[] = {"PelmoraIO.Play", "PelmoraIO.Pause", "PelmoraIO.Stop", "PelmoraIO.Record"};
    EXPECT_EQ(pelmora_play_msg(hp.c_str()), 15);
    EXPECT_EQ(pelmora_pause_msg(hp.c_str()), 16);
    EXPECT_EQ(pelmora_stop_msg(hp.c_str()), 15);
    EXPECT_EQ(pelmora_record_msg(hp.c_str()), 17);
    for (const char *t : texts) {
        char buf[64];
        struct pollfd p = {fd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1);
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        ASSERT_EQ(n, (ssize_t)strlen(t) + 1);
        EXPECT_EQ(buf[n - 1], 0);
        EXPECT_STREQ(buf, t);
    }
    EXPECT_EQ(pelmora_msg("127.0.0.1", "x"), -22);
    EXPECT_EQ(pelmora_msg("127.0.0.1:", "x"), -22);
    EXPECT_EQ(pelmora_msg("no-such-host.invalid:5000", "x"), -22);
    struct pollfd p = {fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 200), 0); // nothing was sent by the refused ones
    close(fd);
}

TEST(CallFrame, InitAndReleaseAreSafeToRepeat)
{
    // Initialised by the environment: a second init keeps the pool (no
    // clients are lost or leaked), a second release does nothing.
    EXPECT_EQ(pelmora_init(PELMORA_APP_NAME, PELMORA_VERSION), PELMORA_POOL_SIZE);
    test_xmlrpc_server srv([](xmlrpc_env *env, const std::string &, xmlrpc_value *) { return result_only(env, 4); });
    EXPECT_EQ(pelmora_method_no_arg(srv.url().c_str(), "T.Ok"), 4);
    EXPECT_EQ(pelmora_release(), 0);
    EXPECT_EQ(pelmora_release(), 0);
    // Without a pool a call fails cleanly instead of waiting forever.
    testing::internal::CaptureStderr();
    EXPECT_EQ(pelmora_method_no_arg(srv.url().c_str(), "T.Ok"), -14);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(pelmora_init(PELMORA_APP_NAME, PELMORA_VERSION), PELMORA_POOL_SIZE);
    EXPECT_EQ(pelmora_method_no_arg(srv.url().c_str(), "T.Ok"), 4);
}
