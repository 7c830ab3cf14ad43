/* Simulator server frame: sockets, HTTP connections, method dispatch with the injected
 * faults, the call log and the UDP take trigger. */
#include "sim_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "pelmora_guard.h"
#include "sim_clock.h"

static std::mutex sim_server_log_lock;

static int sim_server_socket(int type, const struct sockaddr_in *sa)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, (const struct sockaddr *)sa, sizeof *sa) != 0) {
        int e = errno;
        close(fd);
        return -e;
    }
    return fd;
}

int sim_server_bind(sim_server_t *srv, const char *addr, int port)
{
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    if (inet_pton(AF_INET, addr, &sa.sin_addr) != 1)
        return -22;
    /* With port 0 the kernel picks the TCP port; the UDP socket must get the
     * same number, so try again when that one is taken for UDP. */
    for (int attempt = 0; attempt < 32; attempt++) {
        sa.sin_port = htons((uint16_t)port);
        int tfd = sim_server_socket(SOCK_STREAM, &sa);
        if (tfd < 0)
            return tfd;
        struct sockaddr_in got;
        socklen_t gl = sizeof got;
        getsockname(tfd, (struct sockaddr *)&got, &gl);
        sa.sin_port = got.sin_port;
        int ufd = sim_server_socket(SOCK_DGRAM, &sa);
        if (ufd < 0) {
            close(tfd);
            if (port != 0)
                return ufd;
            continue;
        }
        if (listen(tfd, 128) != 0) {
            int e = errno;
            close(tfd);
            close(ufd);
            return -e;
        }
        srv->tcp_fd = tfd;
        srv->udp_fd = ufd;
        srv->port = ntohs(got.sin_port);
        return 0;
    }
    return -98; /* EADDRINUSE */
}

sim_bus_t *sim_server_bus(sim_server_t *srv, int idx)
{
    if (idx < 0 || idx >= (int)srv->buses.size())
        return nullptr;
    return srv->buses[(size_t)idx].get();
}

/* For the call log: the bus (first parameter when it is an integer) and the
 * size of the first array parameter. */
static void sim_server_call_shape(xmlrpc_value *params, int *bus, int *n)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    *bus = -1;
    *n = 0;
    int size = xmlrpc_array_size(&env, params);
    int f_array = 0;
    for (int i = 0; !env.fault_occurred && i < size; i++) {
        xmlrpc_value *v = nullptr;
        xmlrpc_array_read_item(&env, params, i, &v);
        if (env.fault_occurred)
            break;
        xmlrpc_type t = xmlrpc_value_type(v);
        if (i == 0 && t == XMLRPC_TYPE_INT)
            xmlrpc_read_int(&env, v, bus);
        else if (t == XMLRPC_TYPE_ARRAY && !f_array) {
            *n = xmlrpc_array_size(&env, v);
            f_array = 1;
        }
        xmlrpc_DECREF(v);
    }
    xmlrpc_env_clean(&env);
}

/* An option names a method by its full name or by the part after the dot. */
static int sim_server_names(const std::string &given, const std::string &name)
{
    if (given == name)
        return 1;
    size_t dot = name.find('.');
    return dot != std::string::npos && given == name.substr(dot + 1);
}

static xmlrpc_value *sim_server_dispatch(xmlrpc_env *env, xmlrpc_value *params, void *server_info, void *call_info)
{
    (void)call_info;
    sim_method_t *m = (sim_method_t *)server_info;
    sim_server_t *srv = m->srv;
    if (srv->opts->f_log_calls) {
        int bus, n;
        sim_server_call_shape(params, &bus, &n);
        std::lock_guard<std::mutex> g(sim_server_log_lock);
        fprintf(stdout, "call %s bus=%d n=%d\n", m->name.c_str(), bus, n);
        fflush(stdout);
    }
    const int faults = srv->f_faults.load();
    int delay = !faults ? 0 : m->latency_ms >= 0 ? m->latency_ms : srv->opts->latency_ms;
    if (delay > 0) {
        /* A stop cuts the wait short: the call then goes on at once. */
        std::unique_lock<std::mutex> g(srv->hang_lock);
        srv->hang_cond.wait_for(g, std::chrono::milliseconds(delay), [srv] { return srv->f_stop.load() != 0; });
    }
    int refused = 0, refuse_result = 0;
    {
        std::lock_guard<std::mutex> g(srv->count_lock);
        int nth = ++m->calls;
        for (const auto &r : srv->opts->refuse)
            if (faults && sim_server_names(r.method, m->name) && (r.nth == 0 || r.nth == nth)) {
                refused = 1;
                refuse_result = r.result;
            }
    }
    if (m->f_hang && faults) {
        /* Accepted and not answered: held until the server stops (then
         * refused so the connection thread can end) or the faults go off
         * (then answered as usual). */
        std::unique_lock<std::mutex> g(srv->hang_lock);
        srv->hang_cond.wait(g, [srv] { return srv->f_stop.load() != 0 || !srv->f_faults.load(); });
        if (srv->f_stop.load()) {
            xmlrpc_env_set_fault(env, 503, "pelmora-sim: stopping");
            return nullptr;
        }
    }
    if (srv->opts->fail_rate > 0 && srv->f_faults.load()) {
        double draw;
        {
            std::lock_guard<std::mutex> g(srv->rng_lock);
            draw = std::uniform_real_distribution<double>(0.0, 1.0)(srv->rng);
        }
        if (draw < srv->opts->fail_rate) {
            xmlrpc_env_set_fault_formatted(env, 503, "pelmora-sim: injected failure of %s", m->name.c_str());
            return nullptr;
        }
    }
    if (refused && srv->refuse_fn)
        return srv->refuse_fn(env, params, srv, refuse_result);
    return m->fn(env, params, srv);
}

static int sim_server_hangs(const sim_opts_t *o, const std::string &name)
{
    for (const std::string &h : o->hang)
        if (sim_server_names(h, name))
            return 1;
    return 0;
}

int sim_server_add_method(sim_server_t *srv, const char *name, sim_method_fn fn)
{
    sim_method_t m;
    m.name = name;
    m.fn = fn;
    m.srv = srv;
    m.f_hang = sim_server_hangs(srv->opts, m.name);
    m.latency_ms = -1;
    for (const auto &l : srv->opts->method_latency)
        if (sim_server_names(l.first, m.name))
            m.latency_ms = l.second;
    m.calls = 0;
    srv->methods.push_back(m);
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    struct xmlrpc_method_info3 info;
    memset(&info, 0, sizeof info);
    info.methodName = srv->methods.back().name.c_str();
    info.methodFunction = sim_server_dispatch;
    info.serverInfo = &srv->methods.back();
    info.stackSize = 256 * 1024;
    info.signatureString = "?";
    info.help = "";
    xmlrpc_registry_add_method3(&env, srv->registry, &info);
    int r = env.fault_occurred ? -22 : 0;
    if (r)
        fprintf(stderr, "sim: adding %s failed: %s\n", name, env.fault_string);
    xmlrpc_env_clean(&env);
    return r;
}

int sim_server_parse_take(const char *buf, size_t len)
{
    static const char prefix[] = "PelmoraBox.Take ";
    char text[128];
    if (len == 0 || len >= sizeof text)
        return -22;
    memcpy(text, buf, len);
    text[len] = 0;
    if (strncmp(text, prefix, sizeof prefix - 1) != 0)
        return -22;
    const char *p = text + sizeof prefix - 1;
    char *end = nullptr;
    errno = 0;
    long bus = strtol(p, &end, 10);
    if (end == p || *end || errno || bus < 0 || bus > 0xffff)
        return -22;
    return (int)bus;
}

static void sim_server_udp_loop(sim_server_t *srv)
{
    char buf[256];
    while (!srv->f_stop.load()) {
        struct pollfd pfd[2] = {{srv->udp_fd, POLLIN, 0}, {srv->stop_pipe[0], POLLIN, 0}};
        if (poll(pfd, 2, 200) <= 0 || !(pfd[0].revents & POLLIN))
            continue;
        ssize_t got = recv(srv->udp_fd, buf, sizeof buf, 0);
        if (got <= 0)
            continue;
        /* The text comes with its terminating zero byte; take the text before it. */
        size_t len = strnlen(buf, (size_t)got);
        int idx = sim_server_parse_take(buf, len);
        sim_bus_t *bus = idx >= 0 ? sim_server_bus(srv, idx) : nullptr;
        if (!bus) {
            fprintf(stderr, "sim: port %d: ignored datagram of %zd bytes\n", srv->port, got);
            continue;
        }
        int r;
        {
            std::lock_guard<std::mutex> g(bus->lock);
            r = sim_bus_take(bus, sim_clock_now_ms());
        }
        if (srv->opts->f_log_calls) {
            std::lock_guard<std::mutex> g(sim_server_log_lock);
            fprintf(stdout, "call udp:PelmoraBox.Take bus=%d n=0 result=%d\n", idx, r);
            fflush(stdout);
        }
    }
}

/* HTTP of a connection. The real servers keep a connection open between
 * calls, and so does this one: a console that polls every 100 ms would
 * otherwise open and close a connection for every poll. */
#define SIM_HTTP_HEAD_MAX (16 * 1024) /* request line and headers */
#define SIM_HTTP_IDLE_MS 15000        /* an open connection waits this long for its next request */
#define SIM_HTTP_READ_MS 60000        /* a started request, for each further piece */

/* One connection: accepted and run on its own thread, or handed to
 * sim_server_serve_fd. */
struct sim_conn_desc
{
    int fd = -1;
    int idle_ms = SIM_HTTP_IDLE_MS;
    int read_ms = SIM_HTTP_READ_MS;
    uint64_t seq = 0;           /* order of acceptance: the oldest goes first */
    std::atomic<int> f_busy{0}; /* a call is being answered on it */
    std::atomic<int> f_done{0}; /* its thread has ended */
    std::thread thread;
};

/* Every request: refused with a fault when the guard finds what xmlrpc-c
 * cannot parse safely, else handed to the method table. */
static void sim_server_process(xmlrpc_env *envP, sim_server_t *srv, sim_conn_desc *conn, const char *xml, size_t len,
                               xmlrpc_mem_block **responsePP)
{
    const char *why = nullptr;
    if (pelmora_xml_guard(xml, len, &why) < 0) {
        *responsePP = xmlrpc_mem_block_new(envP, 0);
        if (envP->fault_occurred)
            return;
        xmlrpc_env fault;
        xmlrpc_env_init(&fault);
        xmlrpc_env_set_fault_formatted(&fault, XMLRPC_PARSE_ERROR, "pelmora-sim: request refused before parsing: %s",
                                       why);
        xmlrpc_serialize_fault(envP, *responsePP, &fault);
        xmlrpc_env_clean(&fault);
        if (srv->opts->f_log_calls) {
            std::lock_guard<std::mutex> g(sim_server_log_lock);
            fprintf(stdout, "refused request of %zu bytes: %s\n", len, why);
            fflush(stdout);
        }
        return;
    }
    conn->f_busy = 1;
    xmlrpc_registry_process_call2(envP, srv->registry, xml, len, nullptr, responsePP);
    conn->f_busy = 0;
}

/* Reads more of the connection into in: false on close, error or time-out
 * (a stop or an eviction shuts the socket down, which ends the wait). */
static bool sim_http_read(int fd, std::string &in, int timeout_ms)
{
    struct pollfd p = {fd, POLLIN, 0};
    int r;
    do
        r = poll(&p, 1, timeout_ms);
    while (r < 0 && errno == EINTR);
    if (r <= 0)
        return false;
    char buf[16384];
    ssize_t n;
    do
        n = recv(fd, buf, sizeof buf, 0);
    while (n < 0 && errno == EINTR);
    if (n <= 0)
        return false;
    in.append(buf, (size_t)n);
    return true;
}

/* more: further bytes of the same answer follow at once, so the kernel
 * holds these to go out with them (an answer in two segments would wait for
 * the client's delayed acknowledgement, about 40 ms a call). */
static bool sim_http_send(int fd, const char *data, size_t len, bool more = false)
{
    while (len) {
        ssize_t n = send(fd, data, len, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= (size_t)n;
    }
    return true;
}

/* An answer without body that ends the connection. */
static void sim_http_refuse(int fd, int code, const char *reason)
{
    char head[160];
    int n =
        snprintf(head, sizeof head, "HTTP/1.1 %d %s\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", code, reason);
    sim_http_send(fd, head, (size_t)n);
}

static std::string sim_http_lower(std::string v)
{
    for (char &ch : v)
        if (ch >= 'A' && ch <= 'Z')
            ch = (char)(ch - 'A' + 'a');
    return v;
}

static std::string sim_http_trim(const std::string &v)
{
    size_t b = v.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    return v.substr(b, v.find_last_not_of(" \t") - b + 1);
}

/* One request and its answer: false when the connection is to end. */
static bool sim_http_exchange(sim_server_t *srv, sim_conn_desc *c, std::string &in)
{
    size_t end;
    bool f_started = !in.empty();
    while ((end = in.find("\r\n\r\n")) == std::string::npos) {
        if (in.size() > SIM_HTTP_HEAD_MAX) {
            sim_http_refuse(c->fd, 431, "Request Header Fields Too Large");
            return false;
        }
        if (!sim_http_read(c->fd, in, f_started ? c->read_ms : c->idle_ms))
            return false;
        f_started = true;
    }
    if (end > SIM_HTTP_HEAD_MAX) {
        sim_http_refuse(c->fd, 431, "Request Header Fields Too Large");
        return false;
    }
    const std::string head = in.substr(0, end);
    size_t eol = head.find("\r\n");
    const std::string line = head.substr(0, eol);
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || line.compare(sp2 + 1, 7, "HTTP/1.") != 0 || line.size() != sp2 + 9) {
        sim_http_refuse(c->fd, 400, "Bad Request");
        return false;
    }
    const bool f_http10 = line[sp2 + 8] == '0';
    if (line.compare(0, sp1, "POST") != 0) {
        sim_http_refuse(c->fd, 405, "Method Not Allowed");
        return false;
    }
    if (line.compare(sp1 + 1, sp2 - sp1 - 1, "/RPC2") != 0) {
        sim_http_refuse(c->fd, 404, "Not Found");
        return false;
    }
    long long length = -1;
    bool f_keep = !f_http10, f_xml = false, f_continue = false;
    for (size_t at = eol; at != std::string::npos && at < head.size();) {
        size_t next = head.find("\r\n", at + 2);
        std::string field = head.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
        at = next;
        size_t colon = field.find(':');
        if (colon == std::string::npos || colon == 0) {
            sim_http_refuse(c->fd, 400, "Bad Request");
            return false;
        }
        std::string name = sim_http_lower(field.substr(0, colon));
        std::string value = sim_http_trim(field.substr(colon + 1));
        if (name == "content-length") {
            if (value.empty() || value.size() > 12 || value.find_first_not_of("0123456789") != std::string::npos ||
                (length >= 0 && length != std::stoll(value))) {
                sim_http_refuse(c->fd, 400, "Bad Request");
                return false;
            }
            length = std::stoll(value);
        } else if (name == "transfer-encoding") {
            sim_http_refuse(c->fd, 501, "Not Implemented");
            return false;
        } else if (name == "content-type")
            f_xml = sim_http_lower(value).compare(0, 8, "text/xml") == 0;
        else if (name == "connection") {
            std::string v = sim_http_lower(value);
            if (v.find("close") != std::string::npos)
                f_keep = false;
            else if (v.find("keep-alive") != std::string::npos)
                f_keep = true;
        } else if (name == "expect")
            f_continue = sim_http_lower(value) == "100-continue";
    }
    if (length < 0) {
        sim_http_refuse(c->fd, 411, "Length Required");
        return false;
    }
    if ((unsigned long long)length > pelmora_xml_limit()) {
        sim_http_refuse(c->fd, 413, "Payload Too Large");
        return false;
    }
    if (!f_xml) {
        sim_http_refuse(c->fd, 400, "Bad Request");
        return false;
    }
    if (f_continue && in.size() < end + 4 + (size_t)length) {
        static const char cont[] = "HTTP/1.1 100 Continue\r\n\r\n";
        if (!sim_http_send(c->fd, cont, sizeof cont - 1))
            return false;
    }
    while (in.size() < end + 4 + (size_t)length)
        if (!sim_http_read(c->fd, in, c->read_ms))
            return false;

    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_mem_block *out = nullptr;
    sim_server_process(&env, srv, c, in.data() + end + 4, (size_t)length, &out);
    in.erase(0, end + 4 + (size_t)length);
    bool f_ok = !env.fault_occurred && out;
    xmlrpc_env_clean(&env);
    if (!f_ok) {
        if (out)
            xmlrpc_mem_block_free(out);
        sim_http_refuse(c->fd, 500, "Internal Server Error");
        return false;
    }
    size_t size = xmlrpc_mem_block_size(out);
    char head_out[200];
    int n = snprintf(head_out, sizeof head_out,
                     "HTTP/1.1 200 OK\r\nServer: pelmora-sim\r\nContent-Type: text/xml\r\nContent-Length: %zu\r\n"
                     "Connection: %s\r\n\r\n",
                     size, f_keep ? "keep-alive" : "close");
    bool f_sent = sim_http_send(c->fd, head_out, (size_t)n, true) &&
                  sim_http_send(c->fd, (const char *)xmlrpc_mem_block_contents(out), size);
    xmlrpc_mem_block_free(out);
    return f_sent && f_keep && !srv->f_stop.load();
}

static void sim_server_conn_run(sim_server_t *srv, sim_conn_desc *c)
{
    /* A client that stops reading its answer holds the thread no longer than this. */
    struct timeval tv = {c->read_ms / 1000, (c->read_ms % 1000) * 1000};
    setsockopt(c->fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    std::string in;
    while (sim_http_exchange(srv, c, in)) {
    }
    /* The client sees the end at once rather than when the socket is reaped. */
    shutdown(c->fd, SHUT_RDWR);
    c->f_done = 1;
}

void sim_server_serve_fd(sim_server_t *srv, int fd, int idle_ms, int read_ms)
{
    sim_conn_desc c;
    c.fd = fd;
    if (idle_ms > 0)
        c.idle_ms = idle_ms;
    if (read_ms > 0)
        c.read_ms = read_ms;
    sim_server_conn_run(srv, &c);
}

/* Joins and forgets the connections whose threads have ended (conn_lock held). */
static void sim_server_reap(sim_server_t *srv)
{
    for (auto it = srv->conns.begin(); it != srv->conns.end();) {
        if ((*it)->f_done.load()) {
            (*it)->thread.join();
            close((*it)->fd);
            it = srv->conns.erase(it);
        } else
            ++it;
    }
}

/* Makes room for one more connection (conn_lock held): 1 when there is
 * room, 0 when every connection is inside a call. */
static int sim_server_make_room(sim_server_t *srv)
{
    size_t open = 0;
    sim_conn_desc *oldest = nullptr;
    for (auto &c : srv->conns) {
        /* A connection already shut down is on its way out. */
        if (c->seq == UINT64_MAX)
            continue;
        open++;
        if (!c->f_busy.load() && (!oldest || c->seq < oldest->seq))
            oldest = c.get();
    }
    if (open < SIM_SERVER_MAX_CONN)
        return 1;
    if (!oldest)
        return 0;
    shutdown(oldest->fd, SHUT_RDWR);
    oldest->seq = UINT64_MAX;
    srv->conns_evicted++;
    return 1;
}

static void sim_server_accept_loop(sim_server_t *srv)
{
    for (;;) {
        struct pollfd p[2] = {{srv->tcp_fd, POLLIN, 0}, {srv->stop_pipe[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0)
            continue;
        if (p[1].revents)
            return;
        int fd = accept4(srv->tcp_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            /* Out of descriptors: the pending connection stays readable, so
             * wait a little instead of spinning on it. */
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                usleep(10000);
            continue;
        }
        std::lock_guard<std::mutex> g(srv->conn_lock);
        sim_server_reap(srv);
        if (!sim_server_make_room(srv)) {
            close(fd);
            continue;
        }
        /* Answers go out as soon as they are written, never held back
         * for an acknowledgement. */
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_shared<sim_conn_desc>();
        c->fd = fd;
        c->seq = srv->conn_seq++;
        c->thread = std::thread(sim_server_conn_run, srv, c.get());
        srv->conns.push_back(c);
    }
}

int sim_server_start(sim_server_t *srv)
{
    if (pipe2(srv->stop_pipe, O_CLOEXEC) != 0)
        return -errno;
    srv->run_thread = std::thread(sim_server_accept_loop, srv);
    srv->udp_thread = std::thread(sim_server_udp_loop, srv);
    return 0;
}

void sim_server_set_faults(sim_server_t *srv, int on)
{
    {
        std::lock_guard<std::mutex> g(srv->hang_lock);
        srv->f_faults = on ? 1 : 0;
    }
    srv->hang_cond.notify_all();
}

void sim_server_stop_begin(sim_server_t *srv)
{
    {
        std::lock_guard<std::mutex> g(srv->hang_lock);
        srv->f_stop = 1;
    }
    srv->hang_cond.notify_all();
    if (srv->stop_pipe[1] >= 0 && write(srv->stop_pipe[1], "x", 1) < 0)
        perror("sim: stop");
    if (srv->run_thread.joinable())
        srv->run_thread.join();
    /* The port is free at once, for a new process on the same port. */
    if (srv->tcp_fd >= 0)
        close(srv->tcp_fd);
    srv->tcp_fd = -1;
    /* Every connection is woken: a read ends, a hung or delayed call goes on. */
    std::lock_guard<std::mutex> g(srv->conn_lock);
    for (auto &c : srv->conns)
        shutdown(c->fd, SHUT_RDWR);
}

void sim_server_stop(sim_server_t *srv)
{
    sim_server_stop_begin(srv);
    if (srv->udp_thread.joinable())
        srv->udp_thread.join();
    std::list<std::shared_ptr<sim_conn_desc>> conns;
    {
        std::lock_guard<std::mutex> g(srv->conn_lock);
        for (auto &c : srv->conns)
            shutdown(c->fd, SHUT_RDWR);
        conns.swap(srv->conns);
    }
    for (auto &c : conns) {
        c->thread.join();
        close(c->fd);
    }
    for (int &fd : srv->stop_pipe) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    if (srv->udp_fd >= 0)
        close(srv->udp_fd);
    srv->udp_fd = -1;
    if (srv->tcp_fd >= 0)
        close(srv->tcp_fd);
    srv->tcp_fd = -1;
}
