/* pelmora-sim: stand-in automation and library servers for demos,
 * integration tests, benchmarks and rehearsals. Parses the command line,
 * builds the catalogue, the buses and the library, serves until SIGINT or
 * SIGTERM. */
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <vector>

#include "sim_automation.h"
#include "sim_clock.h"
#include "sim_io.h"
#include "sim_jobs.h"
#include "sim_libmedia.h"
#include "sim_library.h"
#include "sim_onair.h"
#include "sim_server.h"
#include "timecode.h"

/* The library as the buses' view of the media folder asks it. */
static int lib_open_item(void *ctx, const std::string &path, struct stat *st)
{
    return sim_library_open_item((const sim_library_t *)ctx, path, st);
}

static int64_t lib_journal_amend(void *ctx)
{
    return sim_library_journal_amend((sim_library_t *)ctx);
}

static int lib_subclips(void *ctx, const std::string &path, std::vector<sim_subclip_t> *out)
{
    std::vector<sim_library_subclip_t> subs;
    out->clear();
    int r = sim_library_subclips((sim_library_t *)ctx, path, &subs);
    if (r < 0)
        return r;
    for (const sim_library_subclip_t &s : subs)
        if (s.mark_in >= 0 && s.duration > 0)
            out->push_back({s.title, s.mark_in, (int64_t)s.mark_in + s.duration - 1});
    return 0;
}

/* A server frame of ours (number `idx`: buses' servers from 0, the library
 * -1, IO servers -2 down), its method table empty; main_server_end frees it. */
static sim_server_t *main_server(const sim_opts_t &opts, sim_catalogue_t *cat, xmlrpc_env *env, int idx, uint64_t seed)
{
    sim_server_t *srv = new sim_server_t();
    srv->opts = &opts;
    srv->cat = cat;
    srv->data_dir = opts.data_dir;
    srv->tcp_fd = srv->udp_fd = -1;
    srv->abyss = nullptr;
    srv->f_stop = 0;
    srv->f_faults = opts.f_faults_off ? 0 : 1;
    srv->server_idx = idx;
    srv->rng.seed(seed);
    srv->registry = xmlrpc_registry_new(env);
    return srv;
}

/* Binds a server to `port` on the listen address: 0, or 1 with the line
 * saying so (and why, with f_why). */
static int main_listen(sim_server_t *srv, const sim_opts_t &opts, int port, int f_why)
{
    int br = sim_server_bind(srv, opts.listen.c_str(), port);
    if (br >= 0)
        return 0;
    if (f_why)
        fprintf(stderr, "pelmora-sim: cannot listen on %s:%d: %s\n", opts.listen.c_str(), port, strerror(-br));
    else
        fprintf(stderr, "pelmora-sim: cannot listen on %s:%d\n", opts.listen.c_str(), port);
    return 1;
}

/* Starts a server and tells on standard output which port it serves: 0, or
 * 1 when it cannot start. */
static int main_serve(sim_server_t *srv, const char *what)
{
    if (sim_server_start(srv) < 0)
        return 1;
    printf("%s port %d\n", what, srv->port);
    fflush(stdout);
    return 0;
}

/* Waits for a server whose stop has begun and frees its method table. */
static void main_server_end(sim_server_t *srv)
{
    sim_server_stop(srv);
    if (srv->registry)
        xmlrpc_registry_free(srv->registry);
}

int main(int argc, char **argv)
{
    sim_opts_t opts;
    std::string err;
    int r = sim_opts_parse(argc, argv, &opts, &err);
    if (r == 1) {
        sim_opts_usage(stdout);
        return 0;
    }
    if (r < 0) {
        fprintf(stderr, "pelmora-sim: %s\n", err.c_str());
        sim_opts_usage(stderr);
        return 2;
    }
    if (tc_setmode(TC_ENV) == -22) {
        fprintf(stderr, "pelmora-sim: TC_MODE names no timecode mode\n");
        return 2;
    }
    if (!opts.tc_mode.empty()) {
        int m = tc_findmode(opts.tc_mode.c_str());
        if (m < 0) {
            fprintf(stderr, "pelmora-sim: unknown timecode mode [%s]\n", opts.tc_mode.c_str());
            return 2;
        }
        tc_setmode((tc_modes_t)m);
    }

    struct stat st;
    if (stat(opts.data_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "pelmora-sim: data folder [%s] does not exist\n", opts.data_dir.c_str());
        return 2;
    }
    sim_catalogue_t cat;
    /* With --library, --media names the folder the library serves, and the
     * buses take their media from it once the library is up; the
     * description catalogue (DATA/media or generated) then only feeds
     * --events. */
    std::string media_dir = opts.library_port >= 0 ? "" : opts.media_dir;
    if (media_dir.empty() && stat((opts.data_dir + "/media").c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        media_dir = opts.data_dir + "/media";
    if (!media_dir.empty()) {
        int n = sim_media_load_dir(&cat, media_dir.c_str());
        if (n < 0) {
            fprintf(stderr, "pelmora-sim: media folder [%s] cannot be read\n", media_dir.c_str());
            return 2;
        }
        fprintf(stderr, "pelmora-sim: %d media from %s\n", n, media_dir.c_str());
    } else
        sim_media_generate_default(&cat);

    /* Signals are taken by sigwait below; every thread inherits the mask. */
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);

    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_server_abyss_global_init(&env);
    if (env.fault_occurred) {
        fprintf(stderr, "pelmora-sim: %s\n", env.fault_string);
        return 1;
    }

    /* The library's folder as the buses see it, answered from the start
     * (a path is queued until the library is there to check it). */
    std::unique_ptr<sim_libmedia_t, void (*)(sim_libmedia_t *)> live(nullptr, sim_libmedia_destroy);

    std::vector<std::unique_ptr<sim_server_t>> servers;
    int64_t now = sim_clock_now_ms();
    int rc = 0;
    for (int port : opts.automation_ports) {
        std::unique_ptr<sim_server_t> srv(
            main_server(opts, &cat, &env, (int)servers.size(), opts.seed + servers.size()));
        for (int b = 0; b < opts.buses; b++) {
            std::unique_ptr<sim_bus_t> bus(new sim_bus_t());
            sim_bus_init(bus.get(), b, &cat, opts.fallback.c_str(), opts.cue_ms, now);
            srv->buses.push_back(std::move(bus));
        }
        if (main_listen(srv.get(), opts, port, 1) || sim_automation_register(srv.get()) < 0)
            rc = 1;
        servers.push_back(std::move(srv));
        if (rc)
            break;
    }

    /* The library server: its own frame on its own port, no buses. */
    std::unique_ptr<sim_server_t> lib_srv;
    sim_library_t *lib = nullptr;
    sim_jobs_t *jobs = nullptr;
    if (!rc && opts.library_port >= 0) {
        lib_srv.reset(main_server(opts, &cat, &env, -1, opts.seed + 1000));
        std::string lerr;
        if (main_listen(lib_srv.get(), opts, opts.library_port, 1))
            rc = 1;
        else if (!(lib = sim_library_create(lib_srv.get(), opts.media_dir.c_str(), opts.data_dir.c_str(), &lerr))) {
            fprintf(stderr, "pelmora-sim: %s\n", lerr.c_str());
            rc = 1;
        }
        /* The transfer and transcoder services share the library's port. */
        else if (!(jobs = sim_jobs_create(lib_srv.get(), lib, opts.data_dir.c_str(), opts.f_keep_lists, &lerr))) {
            fprintf(stderr, "pelmora-sim: %s\n", lerr.c_str());
            rc = 1;
        } else /* before the automation ports: whoever waits for those finds this line already there */
            rc = main_serve(lib_srv.get(), "library");
    }

    if (!rc && lib && !opts.automation_ports.empty()) {
        sim_libmedia_source_t src = {lib, lib_open_item, lib_journal_amend, lib_subclips};
        live.reset(sim_libmedia_create(&src));
        cat.live = live.get();
    }

    /* IO servers: players over the library's clips (or the catalogue). */
    std::vector<std::unique_ptr<sim_server_t>> io_srvs;
    std::vector<sim_io_t *> ios;
    for (size_t i = 0; !rc && i < opts.io_ports.size(); i++) {
        std::unique_ptr<sim_server_t> io_srv(main_server(opts, &cat, &env, -2 - (int)i, opts.seed + 2000 + i));
        std::string ierr;
        sim_io_t *io = nullptr;
        if (main_listen(io_srv.get(), opts, opts.io_ports[i], 0))
            rc = 1;
        else if (!(io = sim_io_create(io_srv.get(), (int)i, lib, &ierr))) {
            fprintf(stderr, "pelmora-sim: %s\n", ierr.c_str());
            rc = 1;
        }
        /* An IO server also answers the library's methods for its clips, as
         * the subclip editor's caller asks them of the preview server. */
        else if (lib && sim_library_serve_on(lib, io_srv.get()) < 0)
            rc = 1;
        else
            rc = main_serve(io_srv.get(), "io");
        ios.push_back(io);
        io_srvs.push_back(std::move(io_srv));
    }

    for (size_t i = 0; !rc && i < servers.size(); i++) {
        sim_server_t *srv = servers[i].get();
        /* A kept running list stands for what the previous run was told to
         * hold, so it replaces the start-up list of its bus. */
        std::vector<int> kept(srv->buses.size(), 0);
        srv->kept_hash.assign(srv->buses.size(), 0);
        if (opts.f_keep_lists)
            for (int b = 0; b < opts.buses; b++) {
                int n = sim_automation_keep_load(srv, b);
                if (n >= 0) {
                    kept[(size_t)b] = 1;
                    fprintf(stderr, "pelmora-sim: bus %d: %d events of the kept running list\n", b, n);
                }
            }
        for (const auto &pl : opts.playlists)
            for (int b = 0; b < opts.buses; b++)
                if ((pl.first < 0 || pl.first == b) && !kept[(size_t)b]) {
                    int n = sim_automation_load(srv, b, pl.second.c_str());
                    if (n < 0)
                        fprintf(stderr, "pelmora-sim: bus %d: playlist [%s] not loaded (%d)\n", b, pl.second.c_str(),
                                n);
                }
        for (auto &bus : srv->buses) {
            std::lock_guard<std::mutex> g(bus->lock);
            if (opts.events > 0 && !kept[(size_t)bus->idx])
                sim_bus_generate(bus.get(), opts.events, sim_clock_now_ms());
            if (opts.f_autostart)
                sim_bus_run(bus.get(), 1, sim_clock_now_ms());
        }
        if ((rc = main_serve(srv, "automation")))
            break;
    }

    /* Every bus plays on the clock, writes its as-run log and, when paired,
     * puts its output on its IO server. */
    sim_onair_t *onair = nullptr;
    if (!rc && !servers.empty()) {
        std::vector<sim_server_t *> srvs;
        for (auto &srv : servers)
            srvs.push_back(srv.get());
        std::vector<sim_onair_pair_t> pairs;
        for (const auto &b : opts.bus_io)
            for (size_t i = 0; i < ios.size(); i++)
                if ((b.index >= 0 && (size_t)b.index == i) || (b.port > 0 && b.port == opts.io_ports[i]))
                    pairs.push_back({servers[0].get(), b.bus, ios[i]});
        std::string oerr;
        if (!(onair = sim_onair_start(srvs, pairs, opts.data_dir, &oerr))) {
            fprintf(stderr, "pelmora-sim: %s\n", oerr.c_str());
            rc = 1;
        }
    }

    if (!rc) {
        int sig = 0;
        for (;;) {
            sigwait(&set, &sig);
            if (sig == SIGUSR1) {
                int on = servers.empty() ? (lib_srv && !lib_srv->f_faults.load()) : !servers[0]->f_faults.load();
                for (auto &srv : servers)
                    sim_server_set_faults(srv.get(), on);
                for (auto &srv : io_srvs)
                    sim_server_set_faults(srv.get(), on);
                if (lib_srv)
                    sim_server_set_faults(lib_srv.get(), on);
                /* On standard output, in order with the call log, so that a
                 * test knows from which call on the switch holds. */
                printf("faults %s\n", on ? "on" : "off");
                fflush(stdout);
                continue;
            }
            if (sig != SIGHUP)
                break;
            fprintf(stderr, "pelmora-sim: SIGHUP ignored (restart by stopping and starting the process)\n");
        }
        fprintf(stderr, "pelmora-sim: signal %d, stopping\n", sig);
    }

    /* Every server stops taking calls and lets go of its connections at
     * once; then each is waited for in turn. */
    for (auto &srv : io_srvs)
        sim_server_stop_begin(srv.get());
    if (lib_srv)
        sim_server_stop_begin(lib_srv.get());
    for (auto &srv : servers)
        sim_server_stop_begin(srv.get());

    /* The buses first: nothing plays, logs or calls into the players and
     * the library after this. */
    sim_onair_stop(onair);
    for (auto &srv : servers) {
        main_server_end(srv.get());
        for (auto &bus : srv->buses)
            sim_bus_release(bus.get());
    }
    servers.clear();
    for (size_t i = 0; i < io_srvs.size(); i++) {
        main_server_end(io_srvs[i].get());
        sim_io_destroy(ios[i]);
    }
    io_srvs.clear();
    cat.live = nullptr;
    live.reset();
    if (lib_srv) {
        main_server_end(lib_srv.get());
        sim_jobs_destroy(jobs);
        sim_library_destroy(lib);
        lib_srv.reset();
    }
    xmlrpc_server_abyss_global_term();
    xmlrpc_env_clean(&env);
    return rc;
}
