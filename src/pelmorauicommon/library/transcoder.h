/* Transcoding jobs of a library server: the transcoder list window, the
 * transcode settings dialog and the loudness normalisation dialog. */
#pragma once
#include <gtk/gtk.h>

#include "library.h"
#include "transcoder_items.h"
#include "transfer.h"

int library_transcoder_list(library_t *lib);
int library_transcoder_list_reload(library_t *lib);
/* The transcoder list window of lib, or null before its first use. */
library_job_window_t *library_transcoder_window(library_t *lib);

/* The settings dialog: 1 for OK with *res filled, 0 for cancel, -14 when
 * the IO modes cannot be read. */
int library_transcoder_dlg(library_t *lib, library_transcoder_dlg_result_t *res);
/* Transcodes the given items and subclips (the pane's selection): the
 * settings dialog; without a transfer target the destination folder may be
 * overridden in a select-item dialog (dst_path, null: beside each item, is
 * what stays when it is not); then one job per item and subclip. The add
 * result, 0 when cancelled, -2 with nothing given (said on the pane's line). */
int library_transcoder_item(library_t *lib, pelmora_lib_item_t *const *items, int n_items,
                            pelmora_lib_subclip_t *const *subs, int n_subs, const char *dst_path);
/* The loudness dialog, then one normalisation job per item: the number of
 * jobs added, 0 when cancelled. */
int library_audionorm_item(library_t *lib, pelmora_lib_item_t *const *items, int n);
/* The level text of the loudness dialog as a number: 0, or -22 for a text
 * that is not a level in LUFS. */
int library_audionorm_level(const char *text, double *level);
