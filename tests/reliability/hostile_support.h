/* Hostile servers of the reliability suite: the pieces of a randomly broken
 * XML-RPC answer (values usually right, else missing, mistyped, absurd,
 * over-long or garbled), the HTTP layer that cuts, garbles and lies about
 * lengths, and a raw loopback server that answers each call with what an
 * answer generator makes of its method name. */
#pragma once
#include <stdint.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <xmlrpc-c/base.h>

/* Random values and members of broken answers. */
struct hostile_values
{
    std::mt19937_64 rng;
    /* Chances (percent) that a member is left out, or replaced by a value of
     * any type. */
    int missing_pct = 8;
    int mistyped_pct = 8;
    /* Numbers stay small (0..119, a few negatives): for the running console,
     * whose lists would otherwise be sized by them. */
    bool small_counts = false;
    /* Longest text made while >= 0 (long lists keep their answers readable). */
    int max_text = -1;

    explicit hostile_values(uint64_t seed) : rng(seed) {}
    uint64_t pick(uint64_t n) { return n ? rng() % n : 0; }
    bool chance(int percent) { return (int)pick(100) < percent; }

    /* A text: short and plain mostly, else at an edge length (260, 4096,
     * 20000, ...), with tabs, colons, percents and non-ASCII characters. */
    std::string text();
    /* A number: small mostly, else an edge (INT_MIN, INT64_MAX, 4096, ...). */
    int64_t number();
    /* A value of any type, nested arrays and structs included. */
    xmlrpc_value *any(xmlrpc_env *env, int depth = 0);
    xmlrpc_value *str(xmlrpc_env *env);
    xmlrpc_value *i4(xmlrpc_env *env) { return xmlrpc_int_new(env, (int)number()); }
    xmlrpc_value *i8(xmlrpc_env *env) { return xmlrpc_i8_new(env, number()); }
    /* Sets member `name` of st to good (its reference taken), or leaves it
     * out, or puts another value there. */
    void member(xmlrpc_env *env, xmlrpc_value *st, const char *name, xmlrpc_value *good);
    /* An array of n values made by item (references taken). */
    xmlrpc_value *array(xmlrpc_env *env, int n, const std::function<xmlrpc_value *()> &item);

    /* The whole HTTP answer around v (reference taken; null: no value): the
     * serialized answer or a fault, then possibly cut, garbled, padded with
     * open elements, under a lying Content-Length, a 500, or no HTTP at all.
     * *close_after: the server closes the connection after sending it. */
    std::string http(xmlrpc_value *v, bool *close_after);
    /* http() of the value make builds (a value left with a fault goes). */
    std::string http_of(const std::function<xmlrpc_value *(xmlrpc_env *)> &make, bool *close_after);
};

/* Broken answers of an automation server (PelmoraBox methods): bus states,
 * event lines plain, compressed, corrupt or inflating past their buffer,
 * event lists, playlist and flag lists. */
struct hostile_automation : hostile_values
{
    using hostile_values::hostile_values;
    xmlrpc_value *state(xmlrpc_env *env);
    std::string line();
    xmlrpc_value *event_item(xmlrpc_env *env);
    xmlrpc_value *response(xmlrpc_env *env, const std::string &method);
    /* The whole HTTP answer to a call of method. */
    std::string answer(const std::string &method, bool *close_after);
};

/* Raw HTTP on 127.0.0.1, one thread per connection: reads each request, asks
 * the generator for the whole answer (under one lock, so generators need no
 * locking of their own), counts answers by method. */
class hostile_server
{
  public:
    using answer_fn = std::function<std::string(const std::string &method, bool *close_after)>;
    explicit hostile_server(answer_fn gen);
    ~hostile_server();
    hostile_server(const hostile_server &) = delete;
    hostile_server &operator=(const hostile_server &) = delete;

    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/RPC2"; }
    std::string hostport() const { return "127.0.0.1:" + std::to_string(port_); }
    int served() const { return served_.load(); }
    int served(const std::string &method);
    /* Answers to methods whose names start with prefix. */
    int served_prefix(const std::string &prefix);
    /* Runs f under the generator's lock (to change its settings). */
    void locked(const std::function<void()> &f);

  private:
    void accept_loop();
    std::string read_request(int c, std::string &buf);
    void serve(int c);

    answer_fn gen_;
    std::mutex lock_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> served_{0};
    std::thread acceptor_;
    std::vector<std::thread> conns_;
    std::map<std::string, int> by_method_;
};
