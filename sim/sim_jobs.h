/* Job services of the simulator's library server: file transfers between
 * the library and target folders (PelmoraFileTransfer) and transcoding jobs
 * (PelmoraFileTranscoder). Jobs run one at a time on a worker thread:
 * transfers copy, transcodes and loudness jobs write real MXF files into the
 * library (sim_encode). With keep set the jobs are kept in DATA/.jobs across
 * restarts. */
#pragma once
#include <string>

#include "sim_library.h"
#include "sim_server.h"

typedef struct sim_jobs_desc sim_jobs_t;

/* Targets are the folders of DATA/targets (made with two empty targets when
 * missing). Registers the methods on `srv` (bound, not started) and starts
 * the worker. Null with `err` set on failure. */
sim_jobs_t *sim_jobs_create(sim_server_t *srv, sim_library_t *lib, const char *data_dir, int f_keep, std::string *err);
/* Stops the worker and frees everything; the server must be stopped first. */
void sim_jobs_destroy(sim_jobs_t *jobs);

/* Integrated loudness (LUFS) and true peak (dBTP) of a file's first audio
 * stream; 0, or a negative value when it has no decodable audio. */
int sim_jobs_loudness(const char *path, double *lufs, double *true_peak_db);

/* Reads the text of a kept jobs file as the start does: the number of jobs
 * taken, with the lines that were not in *bad (when given). */
int sim_jobs_kept_read(const char *text, size_t len, int *bad);
