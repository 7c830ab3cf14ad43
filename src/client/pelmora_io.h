/* Client of an IO server (PelmoraIO methods): its status, its transport
 * (play, pause, stop, variable speed, seek), its playlist and recording
 * calls, and the basename lookup shared with the library. */
#pragma once
#include <xmlrpc-c/base.h>

/* One status answer. Plain value: copied whole and compared byte for byte
 * by the status monitor, so it holds no pointers. */
typedef struct pelmora_status_desc
{
    int result; /* 0 after a good poll; the monitor stores a failure here */
    int status;
    char name[260];
    char cookie[260];
    int loop;
    int clip_length;
    int clip_in;
    int clip_dur;
    int clip_pos;
    int clip_start;
    int clip_idx;
    int playlist_gen;
    int playlist_dur;
    int playlist_pos;
    int playlist_count;
    double playlist_speed;
    int rec_paused;
    int tc_frames;
    int tc_src;
} pelmora_status_t;

/* One clip of an IO playlist: what is sent, then what the server reports. */
typedef struct pelmora_io_clip_desc
{
    char name[260];
    int in, dur;
    char overlay_name[260];
    char overlay_pos[260];
    char cookie[260];
    char amap[260];
    int length, pos, start, idx, repeat;
} pelmora_io_clip_t;

/* Most clips read from one PlaylistItems answer. */
#define PELMORA_IO_PLAYLIST_MAX 4096

int pelmora_getstatus(const char *url, pelmora_status_t *s);
/* Decodes a GetStatus answer (not released) into *s (zeroed first); the
 * server's result or -14. Shared with the fuzz target. */
int pelmora_status_read(const char *caller, xmlrpc_value *answer, pelmora_status_t *s);

int pelmora_play(const char *url);
int pelmora_play_vari(const char *url, double speed);
int pelmora_pause(const char *url);
int pelmora_stop(const char *url);
int pelmora_cue_play(const char *url);
int pelmora_cue_play_with_data(const char *url, int tc);
int pelmora_playlist_append(const char *url, const char *name, int in, int dur, const char *overlay_name,
                            const char *overlay_pos, const char *cookie);
int pelmora_playlist_seek(const char *url, int pos);
/* Library path of a media id through the IO server; outputs may be null. */
int pelmora_io_basename_item(const char *url, const char *object, char *filename_abs, char *filename_local,
                             int *cache_shm_id);

/* Offered by the server, not called by the console. */
int pelmora_playlist_clear(const char *url);
int pelmora_playlist_remove(const char *url, int idx);
int pelmora_playlist_repeat_clip(const char *url, int idx, int count);
int pelmora_playlist_resize_clip(const char *url, int idx, int in, int out);
int pelmora_playlist_move(const char *url, int from, int to);
int pelmora_playlist_insert(const char *url, int idx, const char *name, int in, int dur, const char *overlay_name,
                            const char *overlay_pos, const char *cookie);
int pelmora_playlist_loop(const char *url, int loop);
int pelmora_playlist_seek_to(const char *url, int idx, int pos);
int pelmora_playlist_step(const char *url, int offset);
/* assets: asset_cnt names (below 0: up to the first null); meta: meta_cnt
 * key/value pairs as 2*meta_cnt texts (below 0: up to the first null). */
int pelmora_playlist_insert_template(const char *url, int idx, const char *tmpl, int in, int out,
                                     const char *const *assets, int asset_cnt, const char *const *meta, int meta_cnt,
                                     const char *cookie);
int pelmora_playlist_insert2(const char *url, int idx, const pelmora_io_clip_t *clip);
int pelmora_playlist_append2(const char *url, const pelmora_io_clip_t *clip);
/* *pclips: a new array of the returned count (caller frees); *gen, *pos,
 * *idx may be null. */
int pelmora_playlist_items(const char *url, pelmora_io_clip_t **pclips, int *gen, int *pos, int *idx);
/* Its reader, on an answer already received (not released); shared with the
 * fuzz target. */
int pelmora_playlist_items_read(const char *caller, xmlrpc_value *answer, pelmora_io_clip_t **pclips, int *gen,
                                int *pos, int *idx);
int pelmora_record(const char *url);
int pelmora_cue_record_with_data(const char *url, const char *name, int in, int dur, const char *cookie);
int pelmora_cue_record(const char *url, const char *name, const char *cookie);
int pelmora_record_next(const char *url, const char *name, const char *cookie);
int pelmora_record_pause(const char *url, int pause);
