/* Runs pelmora-sim as a child process for tests and benchmarks: starts it on
 * a free loopback port, reads the port it prints, collects its standard
 * output (the call log), and stops it. */
#pragma once
#include <sys/types.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct sim_child_desc
{
    pid_t pid = -1;
    int port = 0;
    int out_fd = -1;
    std::thread reader;
    std::mutex lock;
    std::vector<std::string> lines; /* standard output, line by line */
    std::string url;                /* http://127.0.0.1:PORT/RPC2 */
    std::string hostport;           /* 127.0.0.1:PORT */
} sim_child_t;

/* Starts `bin` with the arguments (add "--automation", "0" yourself or a
 * port) and waits up to 10 s for "automation port N". 0 or a negative value. */
int sim_child_start(sim_child_t *c, const std::string &bin, const std::vector<std::string> &args);
/* SIGTERM, then waits (SIGKILL after 10 s); returns the exit status or -1. */
int sim_child_stop(sim_child_t *c);
/* Number of output lines so far that begin with `prefix`. */
int sim_child_count(sim_child_t *c, const std::string &prefix);
/* The path of the simulator in the build tree. */
std::string sim_child_bin(void);
