/* Simulator server frame: one XML-RPC server on a loopback port with its UDP
 * trigger socket, the method table, and the faults injected on request
 * (latency, refused calls, methods that never answer). Connections are
 * accepted and their HTTP run here, kept open between calls as the real
 * servers do; every request passes the XML guard before xmlrpc-c parses it. */
#pragma once
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <xmlrpc-c/abyss.h>
#include <xmlrpc-c/base.h>
#include <xmlrpc-c/server.h>
#include <xmlrpc-c/server_abyss.h>

#include "sim_bus.h"
#include "sim_media.h"
#include "sim_opts.h"

struct sim_server_desc;
struct sim_conn_desc;

/* Connections open at once on one server. Past this a new connection
 * closes the oldest one that is not inside a call (idle, or still sending
 * its request), so that idle or trickling connections cannot lock other
 * clients out. */
#define SIM_SERVER_MAX_CONN 128
typedef xmlrpc_value *(*sim_method_fn)(xmlrpc_env *env, xmlrpc_value *params, struct sim_server_desc *srv);

typedef struct sim_method_desc
{
    std::string name;
    sim_method_fn fn;
    struct sim_server_desc *srv;
    int f_hang;
    int latency_ms; /* this method's delay, -1: the server's */
    int calls;      /* calls so far (under the server's count_lock) */
} sim_method_t;

typedef struct sim_server_desc
{
    const sim_opts_t *opts;
    const sim_catalogue_t *cat;
    std::string data_dir;
    /* Position among the --automation servers of this process; names its
     * kept running lists apart from the others'. */
    int server_idx = 0;
    int port;
    int tcp_fd;
    int udp_fd;
    std::vector<std::unique_ptr<sim_bus_t>> buses;
    std::deque<sim_method_t> methods;
    xmlrpc_registry *registry;
    TServer *abyss; /* none: the frame runs its connections itself */
    int stop_pipe[2] = {-1, -1};
    std::thread run_thread; /* the accept loop */
    std::mutex conn_lock;
    std::list<std::shared_ptr<sim_conn_desc>> conns;
    uint64_t conn_seq = 0;
    std::atomic<int> conns_evicted{0};
    std::thread udp_thread;
    std::atomic<int> f_stop;
    std::mutex hang_lock;
    std::condition_variable hang_cond;
    std::mutex rng_lock;
    std::mt19937_64 rng;
    std::mutex count_lock;
    /* Answers a call refused by --refuse: "result" and the bus state, with
     * nothing done (set by the namespace that knows its buses). */
    xmlrpc_value *(*refuse_fn)(xmlrpc_env *env, xmlrpc_value *params, struct sim_server_desc *srv, int result);
    /* Injected faults in force (1) or switched off (0); see sim_server_set_faults. */
    std::atomic<int> f_faults{1};
    /* --keep-lists: content hash of each bus's list as last written (under
     * that bus's lock). */
    std::vector<uint64_t> kept_hash;
} sim_server_t;

/* Binds TCP and UDP on the address and port (0: a free port, the same number
 * for both) with SO_REUSEADDR; 0 or the negated system error. */
int sim_server_bind(sim_server_t *srv, const char *addr, int port);
/* Adds a method; `name` is the full XML-RPC method name. */
int sim_server_add_method(sim_server_t *srv, const char *name, sim_method_fn fn);
/* Starts the accept and UDP threads. */
int sim_server_start(sim_server_t *srv);
/* Switches the injected faults (latency, fail rate, hangs, refusals) on or
 * off; calls held by a hang are answered as usual once they go off. */
void sim_server_set_faults(sim_server_t *srv, int on);
/* Starts the stop without waiting for calls in progress: no more
 * connections (the port is closed), hung and delayed calls released, every
 * connection woken. A process stops all its servers this way first, so
 * that they wind down together. */
void sim_server_stop_begin(sim_server_t *srv);
/* Ends both threads, releases hung calls, frees the server. */
void sim_server_stop(sim_server_t *srv);
/* Serves one connected stream socket on the calling thread as a connection
 * thread does, until the peer stops, a request ends the connection or a
 * wait runs out; then shuts the socket down (the caller closes it). It is
 * not one of the server's counted connections. idle_ms and read_ms replace
 * the waits for a next request and for each further piece of a started one
 * (0: the usual 15 s and 60 s). */
void sim_server_serve_fd(sim_server_t *srv, int fd, int idle_ms, int read_ms);

/* The bus of a call, or null (with nothing sent) when the index is out of range. */
sim_bus_t *sim_server_bus(sim_server_t *srv, int idx);
/* A "PelmoraBox.Take N" datagram text: the bus index or -22. */
int sim_server_parse_take(const char *buf, size_t len);
