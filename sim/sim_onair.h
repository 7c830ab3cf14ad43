/* On air: one thread that keeps every bus playing on the clock even when
 * no console asks, appends each bus's as-run log in the data folder, and
 * puts what a bus has on air onto the IO server paired with it (its clip
 * from the mark in, a test card for a live source, black when stopped). */
#pragma once
#include <string>
#include <vector>

#include "sim_io.h"
#include "sim_server.h"

/* How often the buses are looked at. */
#define SIM_ONAIR_TICK_MS 40

typedef struct sim_onair_pair_desc
{
    sim_server_t *srv;
    int bus;
    sim_io_t *io;
} sim_onair_pair_t;

typedef struct sim_onair_desc sim_onair_t;

/* Starts the thread over the servers' buses. The as-run logs go to
 * `data_dir` as asrun-bus-B.log (asrun-server-N-bus-B.log for the second
 * and further servers). Null with `err` set when the folder cannot be
 * opened. */
sim_onair_t *sim_onair_start(const std::vector<sim_server_t *> &servers, const std::vector<sim_onair_pair_t> &pairs,
                             const std::string &data_dir, std::string *err);
/* Stops the thread and writes what left the air since its last pass. Call
 * it before the IO servers and the buses are freed. */
void sim_onair_stop(sim_onair_t *oa);

/* The as-run line of one aired event (ends with a newline). Fields are
 * separated by tabs: local start "YYYY-MM-DD HH:MM:SS.mmm", start in ms
 * since 1970, sys_id, media id, planned and played duration (timecode),
 * how it ended, title. Tabs and control characters of the texts become
 * blanks and the texts are cut to 259 bytes. */
std::string sim_onair_asrun_line(const sim_aired_t &a);
