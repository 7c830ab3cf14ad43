/* The subclip editor: a modal dialog that plays a clip on an IO server's
 * preview player, shows it, and marks in and out points of its subclips. */
#pragma once

#include "pelmora_lib.h"
#include "srv.h"

typedef struct _GtkWidget GtkWidget;
struct subclip_player_desc;

/* The dialog's widgets, by index into subclip_dialog_t.entries.
 * ENTRY_FIRST and ENTRY_PATH hold no widget. */
enum
{
    ENTRY_FIRST = 0,
    ENTRY_MARK_IN,
    ENTRY_MARK_OUT,
    ENTRY_CURR,
    ENTRY_TITLE,
    ENTRY_PATH,
    ENTRY_SPEED,
    ENTRY_GOTO_MARK_IN,
    ENTRY_SET_MARK_IN,
    ENTRY_GOTO_MARK_OUT,
    ENTRY_SET_MARK_OUT,
    ENTRY_TIMELINE,
    ENTRY_CTL_FAST_REV,
    ENTRY_CTL_STEP_REV,
    ENTRY_CTL_PAUSE,
    ENTRY_CTL_PLAY,
    ENTRY_CTL_FAST_FWD,
    ENTRY_CTL_STEP_FWD,
    ENTRY_CTL_ONE_SEC_MINUS,
    ENTRY_CTL_ONE_SEC_PLUS,
    ENTRY_SUBCLIPS_LIST,
    ENTRY_LAST
};

/* Most subclips a clip's list keeps; rows past it are not returned. */
#define SUBCLIP_LIST_MAX 127

/* One open editor; attached to its dialog under "subclip_dialog_t". */
typedef struct subclip_dialog_desc
{
    int f_ro;           /* 0 editable; 1, 2 read-only; 2: the caller loaded the player */
    int f_dirty;        /* mark changes (set, typed, reset keys) since stored or loaded */
    int timecode;       /* start timecode of the material, mode frames */
    int subclips_cnt;   /* number given to the next subclip added */
    int subclips_dirty; /* list changes */
    srv_t *srv;
    pelmora_lib_subclip_t *subclip; /* the caller's, edited in place */
    pelmora_lib_subclip_t **subclips;
    GtkWidget *entries[ENTRY_LAST];
    int status_here;         /* a status was received */
    pelmora_status_t status; /* the last one received */

    /* The clip's frame rate as a time base (seconds per frame: num / den)
     * and its length in its own frames. */
    int tb_num, tb_den;
    int clip_frames;
    double clip_len; /* seconds, as the item gives it, held to a week */
    GtkWidget *dialog;
    struct _GtkListStore *rows; /* the list's rows, each owning its record */
    GtkWidget *notice;          /* what went wrong with the player or a typed position */
    struct subclip_player_desc *player;
    /* Marks and title as they were when the subclip was opened, added,
     * stored or loaded: Save stores a subclip that differs from them. */
    pelmora_lib_subclip_t base;
    int notice_typed; /* the notice is about a typed position */
} subclip_dialog_t;

/* Runs the editor modally over `window` (may be null) on the player that
 * `srv` (running) monitors. `subclip` is edited in place; a new one has idx
 * -1 and gets the whole clip. `timecode`: the material's start in mode
 * frames, below 0 to read it from the item. `psubclips` (may be null): the
 * item's null-terminated list; it is released and replaced by the rows as
 * shown (at most SUBCLIP_LIST_MAX), owned by the caller; `subclip` must not
 * be one of its records. With a list, Save first stores a subclip whose
 * marks or title changed since it was opened, added, stored or loaded: into
 * its row, or as a new row when it has none. `f_ro`: 0 editable, 1
 * read-only, 2 read-only with the player already loaded by the caller.
 * Returns 1 when the operator saved, 0 otherwise. Main loop, under the GDK
 * lock. */
int subclip_dialog(GtkWidget *window, srv_t *srv, pelmora_lib_subclip_t *subclip, int timecode, int f_ro,
                   pelmora_lib_subclip_t ***psubclips);
