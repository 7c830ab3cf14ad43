// A hostile automation server: a raw HTTP server on loopback that answers
// every call with a randomly broken response (members missing or of the
// wrong type, absurd numbers, undecodable or oversized events, texts that are
// not UTF-8, XML cut short or garbled, wrong lengths, bad HTTP). At least
// 1,000 such answers go to the client calls and to the running console;
// nothing may crash (the sanitizer build checks memory and undefined
// behaviour), results stay within their conventions and texts terminated.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <xmlrpc-c/base.h>
#include <zlib.h>

#include "bus.h"
#include "engine_support.h"
#include "pelmora.h"
#include "pelmorabox.h"
#include "test_xmlrpc_server.h"

namespace {

/* ---- Broken answers. ---- */

struct hostile_gen
{
    std::mt19937_64 rng;
    bool small_counts = false;  /* the console's grid: keep row counts sane */

    explicit hostile_gen(uint64_t seed) : rng(seed) {}
    uint64_t pick(uint64_t n) { return n ? rng() % n : 0; }
    bool chance(int percent) { return (int)pick(100) < percent; }

    std::string text()
    {
        static const size_t lens[] = {0, 1, 8, 31, 32, 33, 259, 260, 261, 4095, 4096, 20000};
        size_t len = chance(70) ? pick(40) : lens[pick(sizeof lens / sizeof lens[0])];
        std::string s;
        for (size_t i = 0; i < len; i++) {
            int k = (int)pick(10);
            if (k < 6)
                s += (char)('a' + pick(26));
            else if (k < 7) {
                /* A character beyond ASCII, well formed: bytes that are not
                 * UTF-8 come from garbling the serialized answer. */
                unsigned c = 0x80 + (unsigned)pick(0x700);
                s += (char)(0xc0 | (c >> 6));
                s += (char)(0x80 | (c & 0x3f));
            } else
                s += k < 8 ? '\t' : k < 9 ? ':' : '%';
        }
        return s;
    }

    int64_t number()
    {
        static const int64_t edge[] = {0, 1, -1, 2, 31, 32, 33, 4096, INT_MAX, INT_MIN, (int64_t)INT_MAX + 1,
                                       INT64_MAX, INT64_MIN, -14, -22};
        if (small_counts)
            return chance(80) ? (int64_t)pick(120) : -(int64_t)pick(5);
        return chance(50) ? (int64_t)pick(200) - 20 : edge[pick(sizeof edge / sizeof edge[0])];
    }

    /* Some value in place of an expected one: usually right, else anything. */
    xmlrpc_value *any(xmlrpc_env *env, int depth = 0)
    {
        switch (pick(depth > 2 ? 6 : 8)) {
        case 0:
            return xmlrpc_int_new(env, (int)number());
        case 1:
            return xmlrpc_i8_new(env, number());
        case 2:
            return xmlrpc_string_new_lp(env, 0, "");
        case 3: {
            std::string t = text();
            return xmlrpc_string_new_lp(env, t.size(), t.data());
        }
        case 4:
            return xmlrpc_double_new(env, (double)number() / 3.0);
        case 5:
            return xmlrpc_bool_new(env, chance(50));
        case 6: {
            xmlrpc_value *a = xmlrpc_array_new(env);
            for (int i = (int)pick(4); i > 0; i--) {
                xmlrpc_value *v = any(env, depth + 1);
                xmlrpc_array_append_item(env, a, v);
                xmlrpc_DECREF(v);
            }
            return a;
        }
        default: {
            xmlrpc_value *s = xmlrpc_struct_new(env);
            for (int i = (int)pick(4); i > 0; i--) {
                xmlrpc_value *v = any(env, depth + 1);
                xmlrpc_struct_set_value(env, s, chance(50) ? "result" : "state", v);
                xmlrpc_DECREF(v);
            }
            return s;
        }
        }
    }

    void member(xmlrpc_env *env, xmlrpc_value *st, const char *name, xmlrpc_value *good)
    {
        if (env->fault_occurred || !good) {
            /* Nothing in the generator should fail; if it does, go on
             * without this member rather than build on a faulted env. */
            xmlrpc_env_clean(env);
            xmlrpc_env_init(env);
            if (good)
                xmlrpc_DECREF(good);
            return;
        }
        if (chance(8)) {
            xmlrpc_DECREF(good);
            return; /* missing */
        }
        if (chance(8)) {
            xmlrpc_DECREF(good);
            good = any(env);
        }
        xmlrpc_struct_set_value(env, st, name, good);
        xmlrpc_DECREF(good);
    }

    xmlrpc_value *str(xmlrpc_env *env)
    {
        std::string t = text();
        return xmlrpc_string_new_lp(env, t.size(), t.data());
    }

    xmlrpc_value *state(xmlrpc_env *env)
    {
        xmlrpc_value *st = xmlrpc_struct_new(env);
        member(env, st, "f_running", xmlrpc_int_new(env, (int)number()));
        member(env, st, "amend", xmlrpc_i8_new(env, chance(50) ? (int64_t)pick(6) : number()));
        member(env, st, "count", xmlrpc_i8_new(env, number()));
        for (const char *k : {"time", "curr_remain", "ply_remain", "absent_remain", "last_playlist", "type_C_remain",
                              "type_L_remain", "fixed_time_remain", "ply_hash"})
            member(env, st, k, str(env));
        xmlrpc_value *er = xmlrpc_array_new(env);
        for (int i = (int)(chance(80) ? 5 : pick(9)); i > 0; i--) {
            xmlrpc_value *v = chance(90) ? xmlrpc_i8_new(env, number()) : any(env);
            xmlrpc_array_append_item(env, er, v);
            xmlrpc_DECREF(v);
        }
        member(env, st, "er", er);
        for (const char *k : {"lib_queued_count", "lib_absent_count", "lib_present_count", "ply_stat_flag_range",
                              "ply_stat_flag_subclip"})
            member(env, st, k, xmlrpc_int_new(env, (int)number()));
        return st;
    }

    /* An event line: right, almost right, or rubbish. */
    std::string line()
    {
        int fields = chance(70) ? 15 : (int)pick(20);
        std::string l;
        for (int i = 0; i < fields; i++) {
            if (i)
                l += '\t';
            l += chance(60) ? std::string(i == 5 ? "V" : i == 4 ? "00:00:10:00" : "x") : text();
        }
        if (chance(10))
            l += "\\\\%%\\";
        return l;
    }

    xmlrpc_value *event_item(xmlrpc_env *env)
    {
        xmlrpc_value *it = xmlrpc_struct_new(env);
        std::string l = line();
        int how = (int)pick(10);
        if (how < 6) {
            std::vector<unsigned char> z(PELMORABOX_EVENT_LINE_BUF + 64);
            int n = pelmorabox_event_line_deflate(l.c_str(), z.data(), (int)z.size());
            if (n > 0 && chance(15))
                z[pick((uint64_t)n)] ^= (unsigned char)(1 + pick(255)); /* a broken stream */
            if (n > 0 && chance(10))
                n = (int)pick((uint64_t)n); /* cut short */
            member(env, it, "event_c", xmlrpc_base64_new(env, (size_t)std::max(n, 0), z.data()));
        } else if (how < 8) {
            member(env, it, "event", xmlrpc_string_new_lp(env, l.size(), l.data()));
        } else if (how < 9) {
            /* Bytes that inflate to no line with an ending zero. */
            std::string big(PELMORABOX_EVENT_LINE_BUF * 2, 'x');
            std::vector<unsigned char> z(big.size() + 1024);
            uLongf zl = (uLongf)z.size();
            compress2(z.data(), &zl, reinterpret_cast<const Bytef *>(big.data()), big.size(), 1);
            member(env, it, "event_c", xmlrpc_base64_new(env, zl, z.data()));
        } else {
            std::string t = text();
            member(env, it, "event_c", xmlrpc_base64_new(env, t.size(), reinterpret_cast<const unsigned char *>(t.data())));
        }
        member(env, it, "state", state(env));
        return it;
    }

    xmlrpc_value *response(xmlrpc_env *env, const std::string &method)
    {
        if (chance(5))
            return any(env);
        xmlrpc_value *st = xmlrpc_struct_new(env);
        member(env, st, "result", xmlrpc_int_new(env, chance(60) ? (int)pick(40) : (int)number()));
        member(env, st, "state", state(env));
        const char *list = method == "PelmoraBox.GetEvents2"                                     ? "events"
                           : method == "PelmoraBox.ListPlaylists"                                ? "list"
                           : method == "PelmoraBox.ErrorFlagList" || method == "PelmoraBox.LibList" ? "list"
                                                                                                  : nullptr;
        if (method == "PelmoraBox.GetEvent") {
            xmlrpc_value *it = event_item(env);
            xmlrpc_value *v = nullptr;
            if (xmlrpc_struct_has_key(env, it, "event_c")) {
                xmlrpc_struct_find_value(env, it, "event_c", &v);
                if (v)
                    xmlrpc_struct_set_value(env, st, "event_c", v);
            }
            if (v)
                xmlrpc_DECREF(v);
            xmlrpc_DECREF(it);
        }
        if (list) {
            xmlrpc_value *a = xmlrpc_array_new(env);
            int n = (int)(chance(90) ? pick(40) : pick(400));
            for (int i = 0; i < n; i++) {
                xmlrpc_value *item;
                if (method == "PelmoraBox.GetEvents2")
                    item = chance(90) ? event_item(env) : any(env);
                else if (method == "PelmoraBox.ListPlaylists")
                    item = chance(85) ? xmlrpc_build_value(env, "(s)", text().c_str()) : any(env);
                else {
                    item = xmlrpc_struct_new(env);
                    for (const char *k : {"origin", "object", "event", "dur", "timecode", "timecode_at_mark_in"})
                        member(env, item, k, str(env));
                    for (const char *k : {"ref", "flags"})
                        member(env, item, k, xmlrpc_int_new(env, (int)number()));
                }
                xmlrpc_array_append_item(env, a, item);
                xmlrpc_DECREF(item);
            }
            member(env, st, list, a);
        }
        return st;
    }

    /* The whole HTTP answer, possibly broken at any level. */
    std::string http(const std::string &method, bool *close_after)
    {
        xmlrpc_env env;
        xmlrpc_env_init(&env);
        xmlrpc_value *v = response(&env, method);
        xmlrpc_mem_block *mem = xmlrpc_mem_block_new(&env, 0);
        std::string body;
        if (chance(3)) {
            xmlrpc_env fault;
            xmlrpc_env_init(&fault);
            xmlrpc_env_set_fault(&fault, (int)number(), text().c_str());
            xmlrpc_serialize_fault(&env, mem, &fault);
            xmlrpc_env_clean(&fault);
        } else if (v) {
            xmlrpc_serialize_response(&env, mem, v);
        }
        if (!env.fault_occurred)
            body.assign(static_cast<const char *>(xmlrpc_mem_block_contents(mem)), xmlrpc_mem_block_size(mem));
        xmlrpc_mem_block_free(mem);
        if (v)
            xmlrpc_DECREF(v);
        xmlrpc_env_clean(&env);

        int k = (int)pick(100);
        if (k < 8 && !body.empty())
            body.resize(pick(body.size())); /* cut short */
        else if (k < 16)
            for (int i = (int)pick(8) + 1; i > 0 && !body.empty(); i--)
                body[pick(body.size())] = (char)pick(256); /* garbled */
        else if (k < 20 && !body.empty())
            body.insert(pick(body.size()), "<value><struct><member><name>result</name>");
        else if (k < 22)
            body = "<?xml version=\"1.0\"?><methodResponse><params><param><value><array><data>" +
                   std::string(pick(3) ? 200 : 2000, '<') + "</data></array></value></param></params></methodResponse>";

        *close_after = chance(20);
        int h = (int)pick(100);
        if (h < 3)
            return "garbage that is no HTTP at all\r\n\r\n";
        if (h < 6) {
            *close_after = true;
            return "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n";
        }
        size_t claimed = body.size();
        if (h < 10) {
            *close_after = true; /* a length that lies, then the line goes dead */
            claimed = body.size() + 1 + pick(1000);
        } else if (h < 13) {
            *close_after = true;
            claimed = body.empty() ? 0 : pick(body.size());
        }
        return "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(claimed) +
               (*close_after ? "\r\nConnection: close" : "") + "\r\n\r\n" + body;
    }
};

/* ---- The server: raw sockets, one thread per connection. ---- */

class hostile_server
{
  public:
    explicit hostile_server(uint64_t seed) : gen_(seed)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 && listen(fd_, 64) == 0) {
            socklen_t l = sizeof sa;
            getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &l);
            port_ = ntohs(sa.sin_port);
            acceptor_ = std::thread([this] { accept_loop(); });
        }
    }
    ~hostile_server()
    {
        stop_ = true;
        if (acceptor_.joinable())
            acceptor_.join();
        for (std::thread &t : conns_)
            t.join();
        if (fd_ >= 0)
            close(fd_);
    }
    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/RPC2"; }
    std::string hostport() const { return "127.0.0.1:" + std::to_string(port_); }
    int served() const { return served_.load(); }
    int served(const std::string &method)
    {
        std::lock_guard<std::mutex> g(lock_);
        return by_method_[method];
    }
    void small_counts(bool on)
    {
        std::lock_guard<std::mutex> g(lock_);
        gen_.small_counts = on;
    }

  private:
    void accept_loop()
    {
        while (!stop_) {
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0)
                conns_.emplace_back([this, c] { serve(c); });
        }
    }

    /* Reads one request (headers and body by Content-Length); the method
     * name, or "" when the peer went away. */
    std::string read_request(int c, std::string &buf)
    {
        for (;;) {
            size_t end = buf.find("\r\n\r\n");
            if (end != std::string::npos) {
                size_t len = 0;
                size_t cl = buf.find("Content-Length:");
                if (cl == std::string::npos)
                    cl = buf.find("content-length:");
                if (cl != std::string::npos && cl < end)
                    len = strtoul(buf.c_str() + cl + 15, nullptr, 10);
                if (buf.size() >= end + 4 + len) {
                    std::string body = buf.substr(end + 4, len);
                    buf.erase(0, end + 4 + len);
                    size_t a = body.find("<methodName>"), b = body.find("</methodName>");
                    return a != std::string::npos && b != std::string::npos && b > a ? body.substr(a + 12, b - a - 12)
                                                                                      : "?";
                }
            }
            pollfd p = {c, POLLIN, 0};
            if (stop_)
                return "";
            if (poll(&p, 1, 100) <= 0)
                continue;
            char tmp[65536];
            ssize_t n = recv(c, tmp, sizeof tmp, 0);
            if (n <= 0)
                return "";
            buf.append(tmp, (size_t)n);
        }
    }

    void serve(int c)
    {
        std::string buf;
        for (;;) {
            std::string method = read_request(c, buf);
            if (method.empty())
                break;
            bool close_after = false;
            std::string out;
            {
                std::lock_guard<std::mutex> g(lock_);
                out = gen_.http(method, &close_after);
                by_method_[method]++;
            }
            size_t off = 0;
            while (off < out.size()) {
                ssize_t n = send(c, out.data() + off, out.size() - off, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                off += (size_t)n;
            }
            served_++;
            if (close_after)
                break;
        }
        close(c);
    }

    hostile_gen gen_;
    std::mutex lock_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> served_{0};
    std::thread acceptor_;
    std::vector<std::thread> conns_;
    std::map<std::string, int> by_method_;
};

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
    hostile_server srv(20261207);
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
    srv.small_counts(true);
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
