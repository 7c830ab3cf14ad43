/* Simulator command line: what to serve, where, and which faults to inject. */
#pragma once
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

typedef struct sim_opts_desc
{
    std::vector<int> automation_ports;
    /* --library=PORT: the library server over --media (-1: none). */
    int library_port = -1;
    /* --io=PORT: an IO server (player) per port; may repeat. */
    std::vector<int> io_ports;
    /* --bus-io=BUS:PORT or BUS:%N: the IO server that plays the bus (of the
     * first automation server) to air; PORT as given to --io, %N the Nth
     * --io counting from 0. */
    struct bus_io_desc
    {
        int bus;
        int port;  /* -1 when given by position */
        int index; /* -1 when given by port */
    };
    std::vector<bus_io_desc> bus_io;
    int buses = 1;
    std::string listen = "127.0.0.1";
    std::string tc_mode;
    int f_plain_events = 0;
    std::string media_dir;
    std::string data_dir = ".";
    int latency_ms = 0;
    /* --latency=METHOD:MS: a delay of one method (its full or short name). */
    std::vector<std::pair<std::string, int>> method_latency;
    double fail_rate = 0;
    uint64_t seed = 1;
    std::vector<std::string> hang;
    int events = 0;
    int f_autostart = 0;
    int f_log_calls = 0;
    std::string fallback = "fallback";
    std::vector<std::pair<int, std::string>> playlists; /* bus (-1: all), name */
    int cue_ms = 500;
    /* --refuse=METHOD[:N[:RESULT]]: answer the Nth call of METHOD (every call
     * when N is 0) with RESULT (default -1) and the state, changing nothing. */
    struct refuse_desc
    {
        std::string method;
        int nth;
        int result;
    };
    std::vector<refuse_desc> refuse;
    /* --faults-off: start with the injected faults (latency, fail rate,
     * hangs, refusals) switched off; SIGUSR1 switches them on and off. */
    int f_faults_off = 0;
    /* --keep-lists: every bus's running list is written to DATA/.running
     * before a call that changed it is answered, and read back at start. */
    int f_keep_lists = 0;
} sim_opts_t;

/* 0 to run, 1 when help was asked for, -22 with `err` set for a bad option. */
int sim_opts_parse(int argc, char **argv, sim_opts_t *o, std::string *err);
void sim_opts_usage(FILE *f);
