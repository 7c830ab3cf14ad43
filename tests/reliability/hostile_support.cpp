/* Hostile servers of the reliability suite: see hostile_support.h. */
#include "hostile_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>

#include <zlib.h>

#include "pelmorabox.h"

std::string hostile_values::text()
{
    static const size_t lens[] = {0, 1, 8, 31, 32, 33, 259, 260, 261, 4095, 4096, 20000};
    size_t len = chance(70) ? pick(40) : lens[pick(sizeof lens / sizeof lens[0])];
    if (max_text >= 0 && len > (size_t)max_text)
        len = (size_t)max_text;
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

int64_t hostile_values::number()
{
    static const int64_t edge[] = {
        0, 1, -1, 2, 31, 32, 33, 4096, INT_MAX, INT_MIN, (int64_t)INT_MAX + 1, INT64_MAX, INT64_MIN, -14, -22};
    if (small_counts)
        return chance(80) ? (int64_t)pick(120) : -(int64_t)pick(5);
    return chance(50) ? (int64_t)pick(200) - 20 : edge[pick(sizeof edge / sizeof edge[0])];
}

xmlrpc_value *hostile_values::str(xmlrpc_env *env)
{
    std::string t = text();
    return xmlrpc_string_new_lp(env, t.size(), t.data());
}

xmlrpc_value *hostile_values::any(xmlrpc_env *env, int depth)
{
    switch (pick(depth > 2 ? 6 : 8)) {
    case 0:
        return i4(env);
    case 1:
        return i8(env);
    case 2:
        return xmlrpc_string_new_lp(env, 0, "");
    case 3:
        return str(env);
    case 4:
        return xmlrpc_double_new(env, (double)number() / 3.0);
    case 5:
        return xmlrpc_bool_new(env, chance(50));
    case 6:
        return array(env, (int)pick(4), [&] { return any(env, depth + 1); });
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

void hostile_values::member(xmlrpc_env *env, xmlrpc_value *st, const char *name, xmlrpc_value *good)
{
    if (env->fault_occurred || !good) {
        /* Nothing in the generator should fail; if it does, go on without
         * this member rather than build on a faulted env. */
        xmlrpc_env_clean(env);
        xmlrpc_env_init(env);
        if (good)
            xmlrpc_DECREF(good);
        return;
    }
    if (chance(missing_pct)) {
        xmlrpc_DECREF(good);
        return;
    }
    if (chance(mistyped_pct)) {
        xmlrpc_DECREF(good);
        good = any(env);
    }
    xmlrpc_struct_set_value(env, st, name, good);
    xmlrpc_DECREF(good);
}

xmlrpc_value *hostile_values::array(xmlrpc_env *env, int n, const std::function<xmlrpc_value *()> &item)
{
    xmlrpc_value *a = xmlrpc_array_new(env);
    for (int i = 0; i < n && !env->fault_occurred; i++) {
        xmlrpc_value *v = item();
        if (v) {
            xmlrpc_array_append_item(env, a, v);
            xmlrpc_DECREF(v);
        }
    }
    return a;
}

std::string hostile_values::http(xmlrpc_value *v, bool *close_after)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
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
    if (h < 3) {
        /* Closed after it: left open, each would cost the client its whole
         * time-out and the run its minutes. */
        *close_after = true;
        return "garbage that is no HTTP at all\r\n\r\n";
    }
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

/* ---- Automation answers ---- */

xmlrpc_value *hostile_automation::state(xmlrpc_env *env)
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
    for (const char *k :
         {"lib_queued_count", "lib_absent_count", "lib_present_count", "ply_stat_flag_range", "ply_stat_flag_subclip"})
        member(env, st, k, xmlrpc_int_new(env, (int)number()));
    return st;
}

/* An event line: right, almost right, or rubbish. */
std::string hostile_automation::line()
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

xmlrpc_value *hostile_automation::event_item(xmlrpc_env *env)
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

xmlrpc_value *hostile_automation::response(xmlrpc_env *env, const std::string &method)
{
    if (chance(5))
        return any(env);
    xmlrpc_value *st = xmlrpc_struct_new(env);
    member(env, st, "result", xmlrpc_int_new(env, chance(60) ? (int)pick(40) : (int)number()));
    member(env, st, "state", state(env));
    const char *list = method == "PelmoraBox.GetEvents2"                                        ? "events"
                       : method == "PelmoraBox.ListPlaylists"                                   ? "list"
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

std::string hostile_automation::answer(const std::string &method, bool *close_after)
{
    return http_of([&](xmlrpc_env *env) { return response(env, method); }, close_after);
}

std::string hostile_values::http_of(const std::function<xmlrpc_value *(xmlrpc_env *)> &make, bool *close_after)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *v = make(&env);
    if (env.fault_occurred && v) {
        xmlrpc_DECREF(v);
        v = nullptr;
    }
    xmlrpc_env_clean(&env);
    return http(v, close_after);
}

/* ---- The server ---- */

hostile_server::hostile_server(answer_fn gen) : gen_(std::move(gen))
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

hostile_server::~hostile_server()
{
    stop_ = true;
    if (acceptor_.joinable())
        acceptor_.join();
    for (std::thread &t : conns_)
        t.join();
    if (fd_ >= 0)
        close(fd_);
}

int hostile_server::served(const std::string &method)
{
    std::lock_guard<std::mutex> g(lock_);
    auto it = by_method_.find(method);
    return it == by_method_.end() ? 0 : it->second;
}

int hostile_server::served_prefix(const std::string &prefix)
{
    std::lock_guard<std::mutex> g(lock_);
    int n = 0;
    for (const auto &m : by_method_)
        if (m.first.compare(0, prefix.size(), prefix) == 0)
            n += m.second;
    return n;
}

void hostile_server::locked(const std::function<void()> &f)
{
    std::lock_guard<std::mutex> g(lock_);
    f();
}

void hostile_server::accept_loop()
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

/* Reads one request (headers and body by Content-Length); the method name,
 * or "" when the peer went away. */
std::string hostile_server::read_request(int c, std::string &buf)
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

void hostile_server::serve(int c)
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
            out = gen_(method, &close_after);
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
