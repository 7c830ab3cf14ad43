// The HTTP of pelmora-sim's kept connections: the input is everything a
// client sends on one connection (any number of requests, pipelined, cut
// anywhere). It reaches the server through a socket pair and is served by
// the same loop as an accepted connection, in front of an automation
// server's method table over a scratch data folder. What comes back must
// read as HTTP answers that a client can frame: a status line, a length and
// exactly that much body each, nothing after an answer that ends the
// connection, and no more calls answered than request heads sent.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

#include <xmlrpc-c/base.h>
#include <xmlrpc-c/server.h>

#include "fuzz_scratch.h"
#include "sim_automation.h"
#include "sim_bus.h"
#include "sim_clock.h"
#include "sim_media.h"
#include "sim_opts.h"
#include "sim_server.h"

namespace {

/* Larger inputs only repeat what smaller ones reach. */
const size_t INPUT_MAX = 64 * 1024;
/* Every byte is sent and the sending side shut before any wait could run
 * out, so these only bound a run should the server wait wrongly. */
const int WAIT_MS = 5000;
/* Answers kept for the check; past this they are drained unchecked. */
const size_t ANSWERS_MAX = 32u << 20;

struct sim_fixture
{
    sim_opts_t opts;
    sim_catalogue_t cat;
    sim_server_t srv;
    bool ok = false;

    sim_fixture()
    {
        std::string scratch = fuzz_scratch_make("/tmp/fuzz_sim_http_XXXXXX");
        if (scratch.empty())
            return;
        opts.data_dir = scratch;
        sim_media_generate_default(&cat);
        xmlrpc_env env;
        xmlrpc_env_init(&env);
        srv.opts = &opts;
        srv.cat = &cat;
        srv.data_dir = scratch;
        srv.tcp_fd = srv.udp_fd = -1;
        srv.abyss = nullptr;
        srv.f_stop = 0;
        srv.f_faults = 1;
        srv.server_idx = 0;
        srv.registry = xmlrpc_registry_new(&env);
        std::unique_ptr<sim_bus_t> bus(new sim_bus_t());
        sim_bus_init(bus.get(), 0, &cat, opts.fallback.c_str(), opts.cue_ms, sim_clock_now_ms());
        srv.buses.push_back(std::move(bus));
        srv.kept_hash.assign(srv.buses.size(), 0);
        ok = !env.fault_occurred && sim_automation_register(&srv) == 0;
        if (!ok)
            fprintf(stderr, "fuzz_sim_http: no automation server: %s\n",
                    env.fault_occurred ? env.fault_string : "a method was refused");
        xmlrpc_env_clean(&env);
    }
};

std::string lower(std::string v)
{
    for (char &ch : v)
        if (ch >= 'A' && ch <= 'Z')
            ch = (char)(ch - 'A' + 'a');
    return v;
}

/* Request heads in the input: every call answered needs its own. */
size_t count_heads(const std::string &in)
{
    size_t n = 0;
    for (size_t at = in.find("\r\n\r\n"); at != std::string::npos; at = in.find("\r\n\r\n", at + 4))
        n++;
    return n;
}

/* Checks the answers as a client would frame them; on a fault says what and
 * where and returns false. */
bool answers_frame(const std::string &out, size_t heads)
{
    size_t at = 0, answered = 0;
    while (at < out.size()) {
        size_t end = out.find("\r\n\r\n", at);
        if (end == std::string::npos) {
            fprintf(stderr, "fuzz_sim_http: answer at %zu has no complete head\n", at);
            return false;
        }
        const std::string head = out.substr(at, end - at);
        if (head.size() < 13 || head.compare(0, 9, "HTTP/1.1 ") != 0 || strspn(head.c_str() + 9, "0123456789") != 3 ||
            head[12] != ' ') {
            fprintf(stderr, "fuzz_sim_http: answer at %zu has no status line\n", at);
            return false;
        }
        const int code = atoi(head.c_str() + 9);
        at = end + 4;
        if (code == 100)
            continue;
        long long length = -1;
        bool f_close = false, f_keep = false;
        for (size_t eol = head.find("\r\n"); eol != std::string::npos;) {
            size_t next = head.find("\r\n", eol + 2);
            std::string field = lower(head.substr(eol + 2, next == std::string::npos ? next : next - eol - 2));
            eol = next;
            if (field.compare(0, 15, "content-length:") == 0) {
                if (length >= 0) {
                    fprintf(stderr, "fuzz_sim_http: answer %d with two lengths\n", code);
                    return false;
                }
                length = strtoll(field.c_str() + 15, nullptr, 10);
            } else if (field == "connection: close")
                f_close = true;
            else if (field == "connection: keep-alive")
                f_keep = true;
        }
        if (length < 0 || f_close == f_keep) {
            fprintf(stderr, "fuzz_sim_http: answer %d lacks its length or connection\n", code);
            return false;
        }
        if ((unsigned long long)length > out.size() - at) {
            fprintf(stderr, "fuzz_sim_http: answer %d cut short of its %lld bytes\n", code, length);
            return false;
        }
        at += (size_t)length;
        if (code == 200)
            answered++;
        if (code != 200 && !f_close) {
            fprintf(stderr, "fuzz_sim_http: refusal %d keeps the connection\n", code);
            return false;
        }
        if (f_close && at != out.size()) {
            fprintf(stderr, "fuzz_sim_http: %zu bytes after an answer %d that closed\n", out.size() - at, code);
            return false;
        }
    }
    if (answered > heads) {
        fprintf(stderr, "fuzz_sim_http: %zu calls answered for %zu request heads\n", answered, heads);
        return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* Made once and kept: the server lives as long as the process. */
    static sim_fixture *fx = new sim_fixture;
    if (!fx->ok)
        abort();
    if (size > INPUT_MAX)
        return 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        perror("fuzz_sim_http: socketpair");
        abort();
    }
    const int client = sv[0], server = sv[1];
    /* The client sends everything and shuts its side; its sends fail once
     * the server has shut down, so it never blocks for long. */
    std::thread writer([client, data, size] {
        size_t off = 0;
        while (off < size) {
            ssize_t n = send(client, data + off, size - off, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            off += (size_t)n;
        }
        shutdown(client, SHUT_WR);
    });
    /* ... and reads every answer, so the server never waits to send. */
    std::string out;
    bool f_overflow = false;
    std::thread reader([client, &out, &f_overflow] {
        char buf[16384];
        for (;;) {
            ssize_t n = recv(client, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            if (out.size() + (size_t)n <= ANSWERS_MAX)
                out.append(buf, (size_t)n);
            else
                f_overflow = true;
        }
    });
    sim_server_serve_fd(&fx->srv, server, WAIT_MS, WAIT_MS);
    close(server);
    writer.join();
    reader.join();
    close(client);
    if (!f_overflow && !answers_frame(out, count_heads(std::string(reinterpret_cast<const char *>(data), size))))
        abort();
    return 0;
}
