/* The automation's view of the library's media folder: for each media path
 * the events name, whether its file is there, its length and its subclips.
 * A look-up never waits: a path not known yet is queued, a worker probes it,
 * and the worker looks at every known path again whenever the library's
 * journal moves. A generation counter tells the buses to check again. */
#pragma once
#include <stdint.h>

#include <string>

#include "sim_library.h"
#include "sim_media.h"

/* Paths kept at most; the one used longest ago makes room for a new one. */
#define SIM_LIBMEDIA_MAX 4096

typedef struct sim_libmedia_desc sim_libmedia_t;

/* Starts the worker over `lib`, which must outlive it. */
sim_libmedia_t *sim_libmedia_create(sim_library_t *lib);
/* Stops the worker (within its 100 ms wait) and frees the store. */
void sim_libmedia_destroy(sim_libmedia_t *lm);
/* The library path of a media id ("news/a.mov#sub" -> "/news/a.mov"), or
 * "" for one that names no file (empty, live sources beginning with "#"). */
std::string sim_libmedia_key(const std::string &media_id);
/* 1 with *m filled (frames, subclips) when the file is there and readable
 * as media, 0 when not, -1 while it is still being checked. */
int sim_libmedia_lookup(sim_libmedia_t *lm, const std::string &key, sim_media_t *m);
/* Grows whenever an answer of sim_libmedia_lookup changed. */
int64_t sim_libmedia_gen(const sim_libmedia_t *lm);
