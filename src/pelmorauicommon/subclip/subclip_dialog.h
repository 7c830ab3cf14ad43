/* The subclip editor: a modal dialog that plays a clip on an IO server's
 * preview player, shows it, and marks in and out points of its subclips. */
#pragma once

#include "pelmora_lib.h"
#include "srv.h"

typedef struct _GtkWidget GtkWidget;

/* Runs the editor modally over `window`. `subclip` is edited in place;
 * `psubclips` (may be null) holds the item's null-terminated subclip list,
 * which the editor may replace. `f_ro`: 0 editable, 1 read-only, 2 read-only
 * with the player already loaded by the caller. Returns 1 when the operator
 * saved, 0 otherwise. */
int subclip_dialog(GtkWidget *window, srv_t *srv, pelmora_lib_subclip_t *subclip, int timecode, int f_ro,
                   pelmora_lib_subclip_t ***psubclips);
