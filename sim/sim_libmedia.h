/* The automation's view of the library's media folder: for each media path
 * the events name, whether its file is there, its length and its subclips.
 * A look-up never waits: a path not known yet is queued, a worker probes it,
 * and the worker looks at every known path again whenever the library's
 * journal moves. A generation counter tells the buses to check again. */
#pragma once
#include <stdint.h>

#include <string>

#include <sys/stat.h>

#include <vector>

#include "sim_media_types.h"

/* Paths kept at most; the one used longest ago makes room for a new one. */
#define SIM_LIBMEDIA_MAX 4096

typedef struct sim_libmedia_desc sim_libmedia_t;

/* What the worker asks of the library. Whoever starts the worker fills it
 * from the library server, which sits above the buses that look paths up
 * here; the functions are called on the worker only, and ctx must outlive
 * the worker. */
typedef struct sim_libmedia_source_desc
{
    void *ctx;
    /* A descriptor of the item's regular file (its stat in *st), or < 0. */
    int (*open_item)(void *ctx, const std::string &path, struct stat *st);
    /* The journal's change counter: it grows with every change seen. */
    int64_t (*journal_amend)(void *ctx);
    /* The item's usable subclips (name, first and last frame): 0 or < 0. */
    int (*subclips)(void *ctx, const std::string &path, std::vector<sim_subclip_t> *out);
} sim_libmedia_source_t;

/* Starts the worker over the library `src` describes (copied). */
sim_libmedia_t *sim_libmedia_create(const sim_libmedia_source_t *src);
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
