/* Transcoding requests made from the library pane's selection: the settings
 * record of the transcode dialog, the requests of items and subclips with
 * their destination names, and the loudness job's destination. No widgets. */
#pragma once
#include <stddef.h>

#include "library.h"
#include "pelmora_jobs.h"

typedef struct library_transcoder_dlg_result_desc
{
    char mode_name[260];
    char enc_name[260];
    char audio_map[260];
    char timecode[260];
    char osd[260];
    int audio_conf;
    char transfer_target[260];
    int transfer_f_delete;
} library_transcoder_dlg_result_t;

/* The settings every request starts from, on a cleared request. */
int library_transcoder_dlg_result_setup_req(const library_transcoder_dlg_result_t *res,
                                            pelmora_filetranscoder_request_t *req);
/* The request for a whole item and for a subclip of its parent item;
 * dst_path: the chosen destination folder, or null/empty for the item's own. */
int library_transcoder_item_req(const library_transcoder_dlg_result_t *res, const pelmora_lib_item_t *item,
                                const char *dst_path, pelmora_filetranscoder_request_t *req);
int library_transcoder_subclip_req(const library_transcoder_dlg_result_t *res, const pelmora_lib_subclip_t *sc,
                                   const char *dst_path, pelmora_filetranscoder_request_t *req);
/* Adds one request per item and per subclip: 0 when all were added, else
 * minus the number that failed. */
int library_transcoder_items_add(library_t *lib, const library_transcoder_dlg_result_t *res,
                                 pelmora_lib_item_t *const *items, int n_items, pelmora_lib_subclip_t *const *subs,
                                 int n_subs, const char *dst_path);

/* The destination folder after the "Override destination path" choice: the
 * one folder chosen alone, or the folder of the one item chosen alone; 1
 * with dst set, 0 when the choice leaves dst as it was. */
int library_transcoder_dst_choice(int n_dirs, char *const *dirs, int n_items, char *const *items, char *dst,
                                  size_t size);

/* A timecode text the operator typed: 1 when empty or when its frame count
 * formats back to the same text, else 0. */
int library_transcoder_tc_valid(const char *text);
/* The loudness job of an item: profile "%.2lf" of the level, destination
 * the path without its extension, "_", the profile and "LUFS.mxf". */
int library_audionorm_req(const pelmora_lib_item_t *item, double level, pelmora_filetranscoder_request_t *req);
/* The SRC cell of a transcoder job: "<playlist...>" for a job made from
 * several items (factory exactly "mltp"), else the source object. */
const char *library_transcoder_src_text(const pelmora_filetranscoder_request_t *r);
