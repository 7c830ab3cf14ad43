/* Simulator media catalogue: which media ids exist and how long they are,
 * read from a folder of media descriptions or generated, and the presence,
 * range and subclip flags an event gets from it. */
#pragma once
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "pelmorabox.h"
#include "sim_media_types.h"

struct sim_libmedia_desc;

typedef struct sim_catalogue_desc
{
    std::map<std::string, sim_media_t> items;
    /* When a library serves a media folder: the folder's files, which then
     * stand for the whole catalogue (items above only feed --events). */
    struct sim_libmedia_desc *live = nullptr;
} sim_catalogue_t;

/* Not a client flag: the event's media are still being checked. Kept in
 * sim_event_t.media_flags only, never sent. */
#define SIM_MEDIA_QUEUED (1LL << 40)

/* Parses one description text ("key=value" lines) into `m` (id not set);
 * returns 0, or -22 when no usable duration was given. Bad lines are
 * logged with `where` and skipped. */
int sim_media_parse(const char *text, const char *where, sim_media_t *m);
/* Reads every "*.media" file under `dir`; the media id is the path below
 * `dir` without the extension. Returns the number read or -2. */
int sim_media_load_dir(sim_catalogue_t *cat, const char *dir);
/* A built-in catalogue: "fallback" and demo/clip001.mxf .. demo/clip100.mxf. */
int sim_media_generate_default(sim_catalogue_t *cat);
const sim_media_t *sim_media_find(const sim_catalogue_t *cat, const std::string &id);
/* Flags from the catalogue (PRESENT, RANGE_ERR, SUBCLIP, QUEUED) for an event;
 * `*length_frames` receives the playable length (clip or subclip), 0 when
 * unknown. Media ids beginning with "#" are live sources: always present. */
int64_t sim_media_check(const sim_catalogue_t *cat, const pelmorabox_event_t *e, int64_t *length_frames);
/* Where the event starts in its file, in frames: its mark in, counted from
 * its subclip's in point when it names one ("clip#name"). */
int64_t sim_media_file_in(const sim_catalogue_t *cat, const pelmorabox_event_t *e);
