/* Simulator bus: one playout channel's running list and its time model.
 * The event at the top is on air, the next ones are cued; start times follow
 * from durations and start types; played events leave the top of the list.
 * Every function expects the caller to hold `lock` and passes the time. */
#pragma once
#include <stdint.h>

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "pelmorabox.h"
#include "sim_media.h"

#define SIM_BUS_CUE_WINDOW 2 /* events cued ahead of the one on air */

typedef struct sim_event_desc
{
    pelmorabox_event_t *ev; /* content, one reference owned */
    int64_t sys_id;
    int64_t media_flags;  /* PRESENT, RANGE_ERR, SUBCLIP from the catalogue */
    int64_t natural_ms;   /* its own length */
    int64_t media_frames; /* the playable length of its media, 0 when unknown */
    int64_t start_ms;     /* scheduled start */
    int64_t dur_ms;       /* scheduled length: gap fill stretched, cut by a fixed start */
    int64_t cue_since_ms; /* when it entered the cue window; 0 outside */
    int64_t flags;        /* as sent to clients */
    uint64_t hash;        /* of its event line, for ply_hash */
} sim_event_t;

/* One event that went to air, as the as-run log tells it. */
typedef struct sim_aired_desc
{
    int64_t start_ms;
    int64_t sys_id;
    std::string media_id, title;
    int64_t planned_ms, played_ms;
    const char *how; /* "played out", "taken", "stopped", "fallback", ... */
} sim_aired_t;

/* Aired events kept until someone takes them; the oldest go past this. */
#define SIM_BUS_AIRED_MAX 1000

typedef struct sim_snapshot_desc
{
    int id;
    std::vector<sim_event_t> events;
} sim_snapshot_t;

typedef struct sim_bus_desc
{
    std::mutex lock;
    int idx;
    const sim_catalogue_t *cat;
    std::string fallback_id;
    int64_t cue_ms; /* CUEING lasts this long, then CUED */

    int f_running;
    int f_on_air; /* the top event is playing */
    int64_t air_start_ms;
    int64_t base_ms; /* start estimate of the top event while not on air */
    int64_t amend;
    std::deque<sim_event_t> list;

    /* Kept by the schedule pass. */
    int lib_present_count;
    int lib_absent_count;
    int ply_stat_flag_range;
    int ply_stat_flag_subclip;
    uint64_t ply_hash;
    int f_ft_gap;
    int64_t ft_gap_ms;
    /* First absent, type C and type L entries, valid while `amend` equals
     * `scan_amend` (every change of the list moves amend). */
    int64_t scan_amend;
    int64_t scan_absent, scan_c, scan_l;

    std::string playlist_curr;
    std::string playlist_prev;
    std::vector<sim_snapshot_t> snapshots;
    int snapshot_next;
    int64_t preview_sys_id;
    std::string preview_url;
    /* The catalogue's generation the flags were last taken at (a library's
     * folder changes under the list). */
    int64_t cat_gen;
    int lib_queued_count;
    /* Events that left the air, oldest first (sim_bus_take_aired). */
    std::vector<sim_aired_t> aired;
} sim_bus_t;

void sim_bus_init(sim_bus_t *bus, int idx, const sim_catalogue_t *cat, const char *fallback_id, int64_t cue_ms,
                  int64_t now);
void sim_bus_release(sim_bus_t *bus);

/* Builds the list entry for an event (takes the reference): a new sys_id,
 * the catalogue flags and its length. */
sim_event_t sim_bus_event_make(sim_bus_t *bus, pelmorabox_event_t *e);
void sim_bus_event_free(sim_event_t *se);

/* Hands over the events that left the air since the last call. */
std::vector<sim_aired_t> sim_bus_take_aired(sim_bus_t *bus);

/* Plays the list up to `now`: ends events, starts the next, updates cue flags. */
void sim_bus_advance(sim_bus_t *bus, int64_t now);
void sim_bus_state(sim_bus_t *bus, int64_t now, pelmorabox_bus_state_t *s);
/* The event line of list entry i with its computed start time. */
std::string sim_bus_event_line(sim_bus_t *bus, const sim_event_t *se);
int sim_bus_find_sys_id(const sim_bus_t *bus, int64_t sys_id);

/* Commands; results as the PelmoraBox methods answer them. */
int sim_bus_run(sim_bus_t *bus, int f_run, int64_t now);
int sim_bus_take(sim_bus_t *bus, int64_t now);
int sim_bus_take_n(sim_bus_t *bus, int64_t idx, int64_t now);
int sim_bus_fallback(sim_bus_t *bus, int64_t now);
int sim_bus_trimpad(sim_bus_t *bus, int frames, int64_t now);

/* Edits. Insert and update take the event's reference in every case. */
int sim_bus_insert(sim_bus_t *bus, int64_t pos, pelmorabox_event_t *e, int64_t now);
int sim_bus_update(sim_bus_t *bus, int64_t idx, pelmorabox_event_t *e, int64_t now);
int sim_bus_delete(sim_bus_t *bus, std::vector<int64_t> idxs, int64_t now);
int sim_bus_reset_tc(sim_bus_t *bus, const std::vector<int64_t> &sys_ids, int64_t now);
int sim_bus_truncate(sim_bus_t *bus, int64_t sys_id, int f_below, int64_t now);
/* Replaces (or with `f_append` extends) the list; takes the references. */
int sim_bus_load(sim_bus_t *bus, std::vector<pelmorabox_event_t *> &events, int f_append, const char *name,
                 int64_t now);
int sim_bus_close(sim_bus_t *bus, int64_t now);
void sim_bus_set_playlist(sim_bus_t *bus, const char *name);
/* Index of the first event from `start` whose selected fields hold `key`, else -2. */
int sim_bus_search(sim_bus_t *bus, const char *key, int start, int flags);
/* Fills the list with `n` generated events from the catalogue. */
int sim_bus_generate(sim_bus_t *bus, int n, int64_t now);
