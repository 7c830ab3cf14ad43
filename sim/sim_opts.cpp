/* Simulator command line parsing and the usage text. */
#include "sim_opts.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "optwalk.h"

void sim_opts_usage(FILE *f)
{
    fputs("Usage: pelmora-sim [OPTIONS]\n"
          "Stand-in automation server: serves the PelmoraBox methods over XML-RPC\n"
          "at http://ADDR:PORT/RPC2 and takes \"PelmoraBox.Take N\" UDP datagrams on\n"
          "the same port.\n"
          "\n"
          "  --automation=PORT     serve an automation server on PORT (0: pick a free\n"
          "                        port and print \"automation port N\"); may repeat\n"
          "  --library=PORT        serve the media library (PelmoraLib) over the --media\n"
          "                        folder on PORT (0: a free port, printed as\n"
          "                        \"library port N\"); with or without --automation\n"
          "  --io=PORT             serve an IO server (PelmoraIO player and settings)\n"
          "                        on PORT (0: a free port, printed as \"io port N\");\n"
          "                        may repeat; its clips come from the library\n"
          "  --bus-io=BUS:PORT     play bus BUS (of the first --automation server) to\n"
          "                        air on the IO server of --io=PORT: its preview then\n"
          "                        shows the bus's output; BUS:%N names the Nth --io\n"
          "                        (from 0), for --io=0; may repeat\n"
          "  --buses=N             buses 0..N-1 per server (default 1, at most 64)\n"
          "  --listen=ADDR         address to listen on (default 127.0.0.1)\n"
          "  --tc-mode=MODE        pal, 50, ntsc or ntsc_df (default: TC_MODE, else pal)\n"
          "  --data=DIR            folder of the .ply playlists and the as-run logs\n"
          "                        (asrun-bus-B.log; default .)\n"
          "  --media=DIR           folder of media descriptions (default DATA/media\n"
          "                        when it exists, else a generated catalogue); with\n"
          "                        --library the media folder the library serves,\n"
          "                        whose files the buses then play\n"
          "  --playlist=[BUS:]NAME load a playlist at start (every bus without BUS)\n"
          "  --events=N            generate N events per bus\n"
          "  --autostart           start every bus at once\n"
          "  --fallback=MEDIA_ID   clip played by Fallback (default fallback)\n"
          "  --cue-ms=MS           how long an event is CUEING before CUED (default 500)\n"
          "  --plain-events        send events as plain \"event\" strings, not \"event_c\"\n"
          "  --log-calls           print one line per call: method, bus, index count\n"
          "  --latency=MS          answer every call MS milliseconds late\n"
          "  --latency=METHOD:MS   answer METHOD MS milliseconds late; may repeat\n"
          "  --fail-rate=P         answer that share (0..1) of calls with a fault\n"
          "  --seed=N              seed of the fault draw (default 1)\n"
          "  --hang=METHOD         accept METHOD and never answer it; may repeat\n"
          "  --refuse=METHOD[:N[:RESULT]]\n"
          "                        answer the Nth call of METHOD (every call without N\n"
          "                        or with 0) with RESULT (default -1) and the state,\n"
          "                        changing nothing; may repeat\n"
          "  --faults-off          start with the faults above switched off; SIGUSR1\n"
          "                        switches them on and off, printing \"faults on\" or\n"
          "                        \"faults off\"; hung calls are answered when they go off\n"
          "  --keep-lists          keep every bus's running list in DATA/.running\n"
          "                        (written before a changing call is answered, read\n"
          "                        at start instead of --playlist and --events)\n"
          "  --help                this text\n",
          f);
}

static int sim_opts_int(const std::string &v, long lo, long hi, int *out)
{
    char *end = nullptr;
    errno = 0;
    long x = strtol(v.c_str(), &end, 10);
    if (v.empty() || *end || errno || x < lo || x > hi)
        return -22;
    *out = (int)x;
    return 0;
}

int sim_opts_parse(int argc, char **argv, sim_opts_t *o, std::string *err)
{
    static const char *with_value[] = {"automation", "library", "io",        "bus-io",   "buses",  "listen",
                                       "tc-mode",    "data",    "media",     "playlist", "events", "fallback",
                                       "cue-ms",     "latency", "fail-rate", "seed",     "hang",   "refuse"};
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a.compare(0, 2, "--") != 0) {
            *err = "unexpected argument: " + a;
            return -22;
        }
        std::string name, val;
        auto takes_value = [](const std::string &n) {
            for (const char *w : with_value)
                if (n == w)
                    return true;
            return false;
        };
        if (optwalk_long(argc, argv, &i, takes_value, &name, &val, err) < 0)
            return -22;
        int x = 0;
        if (name == "help")
            return 1;
        else if (name == "automation") {
            if (sim_opts_int(val, 0, 65535, &x) < 0)
                goto bad;
            o->automation_ports.push_back(x);
        } else if (name == "library") {
            if (sim_opts_int(val, 0, 65535, &o->library_port) < 0)
                goto bad;
        } else if (name == "io") {
            if (sim_opts_int(val, 0, 65535, &x) < 0)
                goto bad;
            o->io_ports.push_back(x);
        } else if (name == "bus-io") {
            size_t colon = val.find(':');
            sim_opts_t::bus_io_desc b{0, -1, -1};
            if (colon == std::string::npos || sim_opts_int(val.substr(0, colon), 0, 63, &b.bus) < 0)
                goto bad;
            std::string to = val.substr(colon + 1);
            if (!to.empty() && to[0] == '%') {
                if (sim_opts_int(to.substr(1), 0, 1000, &b.index) < 0)
                    goto bad;
            } else if (sim_opts_int(to, 1, 65535, &b.port) < 0)
                goto bad;
            o->bus_io.push_back(b);
        } else if (name == "buses") {
            if (sim_opts_int(val, 1, 64, &o->buses) < 0)
                goto bad;
        } else if (name == "listen")
            o->listen = val;
        else if (name == "tc-mode")
            o->tc_mode = val;
        else if (name == "data")
            o->data_dir = val;
        else if (name == "media")
            o->media_dir = val;
        else if (name == "playlist") {
            int bus = -1;
            size_t colon = val.find(':');
            if (colon != std::string::npos) {
                if (sim_opts_int(val.substr(0, colon), 0, 63, &bus) < 0)
                    goto bad;
                val = val.substr(colon + 1);
            }
            if (val.empty())
                goto bad;
            o->playlists.emplace_back(bus, val);
        } else if (name == "events") {
            if (sim_opts_int(val, 0, 1000000, &o->events) < 0)
                goto bad;
        } else if (name == "fallback")
            o->fallback = val;
        else if (name == "cue-ms") {
            if (sim_opts_int(val, 0, 3600000, &o->cue_ms) < 0)
                goto bad;
        } else if (name == "latency") {
            size_t colon = val.rfind(':');
            if (colon == std::string::npos) {
                if (sim_opts_int(val, 0, 3600000, &o->latency_ms) < 0)
                    goto bad;
            } else {
                if (colon == 0 || sim_opts_int(val.substr(colon + 1), 0, 3600000, &x) < 0)
                    goto bad;
                o->method_latency.emplace_back(val.substr(0, colon), x);
            }
        } else if (name == "refuse") {
            sim_opts_t::refuse_desc r{val, 0, -1};
            size_t colon = val.find(':');
            if (colon != std::string::npos) {
                r.method = val.substr(0, colon);
                std::string rest = val.substr(colon + 1);
                size_t colon2 = rest.find(':');
                if (sim_opts_int(rest.substr(0, colon2), 0, 1000000000, &r.nth) < 0)
                    goto bad;
                if (colon2 != std::string::npos && sim_opts_int(rest.substr(colon2 + 1), -1000000, -1, &r.result) < 0)
                    goto bad;
            }
            if (r.method.empty())
                goto bad;
            o->refuse.push_back(r);
        } else if (name == "fail-rate") {
            char *end = nullptr;
            double p = strtod(val.c_str(), &end);
            if (val.empty() || *end || !(p >= 0 && p <= 1))
                goto bad;
            o->fail_rate = p;
        } else if (name == "seed") {
            char *end = nullptr;
            errno = 0;
            unsigned long long s = strtoull(val.c_str(), &end, 10);
            if (val.empty() || *end || errno)
                goto bad;
            o->seed = s;
        } else if (name == "hang") {
            if (val.empty())
                goto bad;
            o->hang.push_back(val);
        } else if (name == "plain-events")
            o->f_plain_events = 1;
        else if (name == "autostart")
            o->f_autostart = 1;
        else if (name == "log-calls")
            o->f_log_calls = 1;
        else if (name == "faults-off")
            o->f_faults_off = 1;
        else if (name == "keep-lists")
            o->f_keep_lists = 1;
        else {
            *err = "unknown option: --" + name;
            return -22;
        }
        continue;
    bad:
        *err = "bad value for --" + name + ": " + val;
        return -22;
    }
    if (o->automation_ports.empty() && o->library_port < 0 && o->io_ports.empty()) {
        *err = "no --automation PORT or --library PORT given";
        return -22;
    }
    for (const auto &b : o->bus_io) {
        int found = b.index >= 0 && (size_t)b.index < o->io_ports.size();
        for (int p : o->io_ports)
            found |= b.port > 0 && p == b.port;
        if (o->automation_ports.empty() || b.bus >= o->buses || !found) {
            *err = "--bus-io names a bus or an --io server that is not there";
            return -22;
        }
    }
    if (o->library_port >= 0 && o->media_dir.empty()) {
        *err = "--library needs --media=DIR, the folder it serves";
        return -22;
    }
    return 0;
}
