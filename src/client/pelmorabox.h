/* Automation client: the records exchanged with a bus's automation server
 * (events and bus state), their wire forms, and the typed PelmoraBox calls. */
#pragma once
#include <stdint.h>

#define PELMORABOX_EVENT_FLAG_CUEING 0x1
#define PELMORABOX_EVENT_FLAG_PLAY 0x2
#define PELMORABOX_EVENT_FLAG_PRESENT 0x4
#define PELMORABOX_EVENT_FLAG_CUED 0x8
#define PELMORABOX_EVENT_FLAG_CUE_FAILED 0x10
#define PELMORABOX_EVENT_FLAG_PLAY_FAILED 0x20
#define PELMORABOX_EVENT_FLAG_PLAYING 0x40
#define PELMORABOX_EVENT_FLAG_RANGE_ERR 0x100
#define PELMORABOX_EVENT_FLAG_SUBCLIP 0x400
#define PELMORABOX_EVENT_FLAG_NON_CONT 0x2000000

/* One metadata pair: key (at most 255 characters) and value (at most 4095),
 * each terminated, both held in one allocation sized by their text and owned
 * by the event (key points at its start). */
#define PELMORABOX_META_KEY_MAX 255
#define PELMORABOX_META_VAL_MAX 4095
typedef struct pelmorabox_event_meta_pair_desc
{
    char *key;
    char *val;
} pelmorabox_event_meta_pair_t;

typedef struct pelmorabox_event_desc
{
    int event_type;
    char start_time[32];
    char media_id[260];
    char title[260];
    char mark_in[32];
    char mark_out[32];
    char duration[32];
    char assets[260];
    int64_t start;
    int64_t flags;
    char origin[260];
    int64_t amend;
    int64_t sys_id;
    char start_type;
    char fixed_time[32];
    char tag[260];
    int metadata_cnt;
    char audio_map[32];
    char audio_amp[32];
    char ar[32];
    char dst[260];
    int ref;
    pelmorabox_event_meta_pair_t *metadata_pairs;
} pelmorabox_event_t;

typedef enum
{
    PELMORABOX_EVENT_SEARCH_IDX_TITLE = 0,
    PELMORABOX_EVENT_SEARCH_IDX_MEDIA_ID,
    PELMORABOX_EVENT_SEARCH_IDX_ASSETS,
    PELMORABOX_EVENT_SEARCH_IDX_META_KEY,
    PELMORABOX_EVENT_SEARCH_IDX_META_VAL,
    PELMORABOX_EVENT_SEARCH_IDX_START_TIME,
    PELMORABOX_EVENT_SEARCH_IDX_SYS_ID,
    PELMORABOX_EVENT_SEARCH_IDX_LAST
} PELMORABOX_EVENT_SEARCH_IDX;

typedef struct pelmorabox_bus_state_desc
{
    int f_running;
    int64_t amend;
    int64_t count;
    char time[32];
    int64_t er[5];
    char curr_remain[33];
    char ply_remain[32];
    int lib_queued_count;
    int lib_absent_count;
    int lib_present_count;
    int ply_stat_flag_range;
    int ply_stat_flag_subclip;
    char absent_remain[33];
    char last_playlist[260];
    char type_C_remain[33];
    char type_L_remain[33];
    char fixed_time_remain[33];
    char ply_hash[260];
} pelmorabox_bus_state_t;

typedef struct pelmorabox_bus_lib_item_desc
{
    char *origin;
    char *object;
    int ref;
    char dur[32];
    char timecode_at_mark_in[32];
    char timecode[32];
} pelmorabox_bus_lib_item_t;

typedef struct pelmorabox_bus_lib_list_desc
{
    pelmorabox_bus_lib_item_t **list;
    int count;
} pelmorabox_bus_lib_list_t;

/* The functions of this module are declared below this line. */

#include <stddef.h>
#include <xmlrpc-c/base.h>

/* Largest event line the console composes (characters), and the buffer an
 * inflated line must end within (its terminating zero included). */
#define PELMORABOX_EVENT_LINE_MAX 16383
#define PELMORABOX_EVENT_LINE_BUF 16384

/* ---- Event records. Events are reference counted: every holder owns one
 * reference and gives it back with pelmorabox_event_destroy, which also
 * clears the holder's pointer. Counting is atomic, so holders on different
 * threads may drop their references concurrently. The metadata pairs are
 * allocated by these functions only (their array grows in steps). ---- */
pelmorabox_event_t *pelmorabox_event_create(void);
pelmorabox_event_t *pelmorabox_event_clone(const pelmorabox_event_t *e);
int pelmorabox_event_addref(pelmorabox_event_t *e);
int pelmorabox_event_destroy(pelmorabox_event_t **pe);

/* Appends a pair (key cut to 255, value to 4095 characters); an empty or
 * missing key or value adds nothing and is logged. Returns the event. */
pelmorabox_event_t *pelmorabox_event_add_meta(pelmorabox_event_t *e, const char *key, const char *val);
/* Removes every pair. Returns 0. */
int pelmorabox_event_clear_meta(pelmorabox_event_t *e);
/* Index of the first pair whose key equals key, *p_val its value; -2 and
 * null when none. */
int pelmorabox_event_find_by_meta_key(pelmorabox_event_t *e, const char *key, char **p_val);
/* Duration in frames of the current timecode mode: the duration text, else
 * out - in + 1 from the marks, else error_value. */
int pelmorabox_event_duration_frames(const pelmorabox_event_t *e, int error_value);

/* Metadata text of the event line: keys and values escaped, pairs joined.
 * *pbuf receives a malloc'ed text (also returned); the caller frees it. */
char *pelmorabox_event_compose_metadata(const pelmorabox_event_t *e, char **pbuf);
/* Appends the pairs read from a metadata text; returns 0. */
int pelmorabox_event_parse_metadata(pelmorabox_event_t *e, const char *src);
/* One level of backslash unescaping, in place; returns src. */
char *c_unescape(char *src);

/* The 15-field event line into buf (at most lim - 1 characters); returns buf. */
char *pelmorabox_event_format_string(pelmorabox_event_t *src, char *buf, int lim);
/* New event (ref 1) from a line of 9, 12, 14, 15 or 16 tab-separated fields;
 * null for any other count. error_buf and error_lim are not used. */
pelmorabox_event_t *pelmorabox_event_create_from_string(const char *src, char *error_buf, int error_lim);

/* The line with its terminating zero, compressed at level 9 as a zlib stream
 * into out: the byte count, or -22 when it does not fit in lim bytes. */
int pelmorabox_event_line_deflate(const char *line, unsigned char *out, int lim);
/* Inflates a compressed line into out (lim bytes, normally 16384): the text
 * length, or -22 when the stream is broken or the text does not end with a
 * zero byte within lim bytes. out is always terminated (empty on failure). */
int pelmorabox_event_line_inflate(const unsigned char *src, size_t len, char *out, int lim);

/* ---- Bus state. ---- */
/* Zeroes s, then reads the member "state" of the struct xitem into it:
 * 0, or -14 (logged, fault left in env). */
int pelmorabox_state_probe_decompose(xmlrpc_env *env, xmlrpc_value *xitem, pelmorabox_bus_state_t *s);
/* Struct value with all 18 members of s (the inverse of the decoding). */
xmlrpc_value *pelmorabox_state2xmlrpc(xmlrpc_env *envP, pelmorabox_bus_state_t *s);

/* ---- Response decoding shared by every automation call. ---- */
/* Decodes "result" and, when it is not negative, "state" into s; releases
 * resultP and cleans envP. ≥ 0 result, -14 no usable answer, other negative
 * values the server's refusal. */
int parser_std_response(xmlrpc_env *envP, const char *url, const char *method, const char *caller,
                        xmlrpc_value *resultP, pelmorabox_bus_state_t *s);
/* Calls method with "(iA)": the bus index and cnt values, each sent as a
 * one-element array holding an i8. */
int pelmorabox_callX_iA(const char *url, const char *method, int bus_idx, int cnt, const int64_t *idxs,
                        pelmorabox_bus_state_t *s);
/* Calls method with "(is)": the bus index and a playlist name. */
int pelmorabox_xxx_playlist(const char *url, const char *method, int bus_idx, const char *name,
                            pelmorabox_bus_state_t *s);

/* ---- Bus state and events on the server. ---- */
int pelmorabox_get_state(const char *url, int idx, pelmorabox_bus_state_t *s);
/* Fetches the events at the cnt list indexes of idxs into pe[0..n-1] and
 * writes their actual list indexes back into idxs[0..n-1]; returns n, or the
 * last item's result when none was stored. */
int pelmorabox_get_events2(const char *url, int bus_idx, int cnt, int64_t *idxs, pelmorabox_event_t **pe,
                           pelmorabox_bus_state_t *s);
int pelmorabox_get_event(const char *url, int bus_idx, int event_idx, pelmorabox_event_t **pe,
                         pelmorabox_bus_state_t *s);
/* One event item of a response ("event" or "event_c", and "state") into *pe
 * and s; *pidx (when given) receives the event's list index. 0, -14 when the
 * item carries no event, -22 when its line is refused. */
int pelmorabox_get_event_parse(xmlrpc_env *envP, xmlrpc_value *item, pelmorabox_event_t **pe, pelmorabox_bus_state_t *s,
                               int64_t *pidx);
int pelmorabox_update_insert_event(const char *url, const char *method, int bus_idx, int64_t event_idx,
                                   pelmorabox_event_t *e, pelmorabox_bus_state_t *s);
int pelmorabox_insert_event(const char *url, int bus_idx, int64_t idx, pelmorabox_event_t *e,
                            pelmorabox_bus_state_t *s);
int pelmorabox_insert_event2(const char *url, int bus_idx, int64_t sys_id, pelmorabox_event_t *e,
                             pelmorabox_bus_state_t *s);
int pelmorabox_update_event(const char *url, int bus_idx, int64_t idx, pelmorabox_event_t *e,
                            pelmorabox_bus_state_t *s);
int pelmorabox_update_event2(const char *url, int bus_idx, int64_t sys_id, pelmorabox_event_t *e,
                             pelmorabox_bus_state_t *s);
int pelmorabox_delete_event(const char *url, int bus_idx, int cnt, const int64_t *idxs, pelmorabox_bus_state_t *s);
int pelmorabox_delete_event2(const char *url, int bus_idx, int cnt, const int64_t *idxs, pelmorabox_bus_state_t *s);
int pelmorabox_reset_tc_event(const char *url, int bus_idx, int cnt, const int64_t *list, pelmorabox_bus_state_t *s);

/* ---- Commands, playlists, search. ---- */
int pelmorabox_run(const char *url, int bus_idx, int f_run, pelmorabox_bus_state_t *s);
int pelmorabox_take(const char *url, int bus_idx, pelmorabox_bus_state_t *s);
int pelmorabox_take_n(const char *url, int bus_idx, int event_idx, pelmorabox_bus_state_t *s);
int pelmorabox_fallback(const char *url, int bus_idx, pelmorabox_bus_state_t *s);
int pelmorabox_preview(const char *url, int bus_idx, int64_t ev, const char *io_url, pelmorabox_bus_state_t *s);
int pelmorabox_append_playlist(const char *url, int bus_idx, const char *name, pelmorabox_bus_state_t *s);
int pelmorabox_load_playlist(const char *url, int bus_idx, const char *name, pelmorabox_bus_state_t *s);
int pelmorabox_save_playlist(const char *url, int bus_idx, const char *name, pelmorabox_bus_state_t *s);
int pelmorabox_close_playlist(const char *url, int bus_idx, pelmorabox_bus_state_t *s);
int pelmorabox_truncate_playlist(const char *url, int bus_idx, int64_t event_sys_id, int f_below,
                                 pelmorabox_bus_state_t *s);
int pelmorabox_trimpad_event(const char *url, int bus_idx, int val, pelmorabox_bus_state_t *s);
/* The found list index, negative when none. */
int pelmorabox_search_event(const char *url, int bus_idx, const char *key, int start_idx, int flags,
                            pelmorabox_bus_state_t *s);
/* *plist: null-terminated array of names (caller frees each and the array). */
int pelmorabox_list_playlists(const char *url, int bus_idx, char ***plist, pelmorabox_bus_state_t *s);
/* *plist: zeroed array of count + 1 records held by value (one block to free). */
int pelmorabox_errorflag_list(const char *url, int bus_idx, int error_flag, pelmorabox_event_t **plist,
                              pelmorabox_bus_state_t *s);
int pelmorabox_absent_list(const char *url, int bus_idx, pelmorabox_event_t **plist, pelmorabox_bus_state_t *s);
int pelmorabox_lib_list(const char *url, int bus_idx, int target, pelmorabox_bus_lib_list_t *bl,
                        pelmorabox_bus_state_t *s);

/* ---- Server-side snapshots. ---- */
int pelmorabox_snapshot_new(const char *url, int bus_idx, pelmorabox_bus_state_t *s);
int pelmorabox_snapshot_curr(const char *url, int bus_idx, pelmorabox_bus_state_t *s);
int pelmorabox_snapshot_add_event(const char *url, int bus_idx, int snapshot_idx, pelmorabox_event_t *e,
                                  pelmorabox_bus_state_t *s);
int pelmorabox_snapshot_get_event(const char *url, int bus_idx, int snapshot_idx, int event_idx,
                                  pelmorabox_event_t **pe, pelmorabox_bus_state_t *s);
int pelmorabox_snapshot_destroy(const char *url, int bus_idx, int snapshot_idx, pelmorabox_bus_state_t *s);
int pelmorabox_snapshot_load(const char *url, int bus_idx, const char *name, pelmorabox_bus_state_t *s);
int pelmorabox_snapshot_save(const char *url, int bus_idx, int snapshot_idx, const char *name,
                             pelmorabox_bus_state_t *s);

/* ---- Bus library list (no server call). ---- */
int pelmorabox_bus_lib_init(pelmorabox_bus_lib_list_t *bl);
int pelmorabox_bus_lib_append(pelmorabox_bus_lib_list_t *bl, pelmorabox_bus_lib_item_t *item);
int pelmorabox_bus_lib_drop(pelmorabox_bus_lib_list_t *bl, int idx);
int pelmorabox_bus_lib_delete(pelmorabox_bus_lib_list_t *bl, int idx);
int pelmorabox_bus_lib_release(pelmorabox_bus_lib_list_t *bl);
int pelmorabox_bus_lib_lookup_by_origin(pelmorabox_bus_lib_list_t *bl, const char *val);
int pelmorabox_bus_lib_lookup_by_object(pelmorabox_bus_lib_list_t *bl, const char *val);

/* Playlist name filter: 0 when the name passes, -105 when not. f_day_range
 * bits: 1 today, 2 yesterday, 4 tomorrow, 8 in two days, 16 in three days. */
int pelmorabox_playlist_name_rule1(const char *filename, int f_ply, const char *keyword, int f_day_range);
