/* Bus playlist and list dialogs: the playlist chooser (load, append, save
 * as), close and truncate, the absent and error item lists with the jump to
 * an event, delete, timecode reset, add and edit (the trim/pad dialog for
 * the event on air), the selection's count and duration, and the preview of
 * an event. Main loop, GDK lock held; released around every server call. */
#pragma once
#include <gtk/gtk.h>

#include "instance.h"
#include "ui_tools.h"

/* Columns of the chooser's list (only the name is filled). */
enum playlists_column
{
    PLAYLISTS_COLUMN_NAME = 0,
    PLAYLISTS_COLUMN_IDX,
    PLAYLISTS_COLUMN_DATA,
    PLAYLISTS_COLUMN_BG_COLOR,
    PLAYLISTS_COLUMN_BG_COLOR_V,
    PLAYLISTS_COLUMN_FG_COLOR,
    PLAYLISTS_COLUMN_FG_COLOR_V,
    PLAYLISTS_COLUMN_LAST
};
extern const ui_column_desc playlists_plan[PLAYLISTS_COLUMN_LAST + 1];

/* Columns of the absent and error item lists. */
enum absent_items_column
{
    ABSENT_ITEMS_COLUMN_STATUS = 0,
    ABSENT_ITEMS_COLUMN_START,
    ABSENT_ITEMS_COLUMN_MEDIA_ID,
    ABSENT_ITEMS_COLUMN_COMMENT,
    ABSENT_ITEMS_COLUMN_IDX,
    ABSENT_ITEMS_COLUMN_DATA,
    ABSENT_ITEMS_COLUMN_BG_COLOR,
    ABSENT_ITEMS_COLUMN_BG_COLOR_V,
    ABSENT_ITEMS_COLUMN_FG_COLOR,
    ABSENT_ITEMS_COLUMN_FG_COLOR_V,
    ABSENT_ITEMS_COLUMN_LAST
};
extern const ui_column_desc absent_items_plan[ABSENT_ITEMS_COLUMN_LAST + 1];

/* Chooser context; the dialog keeps it as object data
 * "bus_ui_dialog_playlist_t" while it runs. */
typedef struct bus_ui_dialog_playlist_desc
{
    bus_t *bus;
    char *dst;
    GtkWidget *r1, *r2, *sw, *gr, *e, *dlg, *table, *box, *view;
    GtkTreeModel *model;
    GtkListStore *store;
    GtkTreeSortable *sortable;
} bus_ui_dialog_playlist_t;

/* Absent/error list context; object data "bus_ui_absent_lib_items_t". */
typedef struct bus_ui_absent_lib_items_desc
{
    bus_t *bus;
    GtkWidget *box, *dlg, *gr, *sw, *view;
    GtkTreeModel *model;
    GtkListStore *store;
    pelmorabox_event_t *list;
    int count;
} bus_ui_absent_lib_items_t;

/* Trim/pad context; object data "bus_ui_dialog_trim_t". */
typedef struct bus_ui_dialog_trim_desc
{
    bus_t *bus;
    GtkWidget *box, *dlg, *tc, *trim, *pad, *table;
} bus_ui_dialog_trim_t;

/* Selection info dialog: object data "bus_ui_selection_count" and
 * "bus_ui_selection_duration" are its two entries. */

/* The chooser: 1 with the chosen name in dst (260 bytes), 0 when cancelled
 * or when the names could not be fetched. f_entry starts in name mode. */
int bus_ui_dialog_playlist(bus_t *bus, const char *title, char *dst, int f_entry);
int bus_ui_dialog_load_playlist(bus_t *bus);
int bus_ui_dialog_append_playlist(bus_t *bus);
int bus_ui_dialog_saveas_playlist(bus_t *bus);
int bus_ui_dialog_close_playlist(bus_t *bus);
int bus_ui_truncate_playlist(bus_t *bus, int f_below);
/* The list of events flagged with flag: the number of events, 0 on failure. */
int bus_ui_dialog_errorflag_items(bus_t *bus, int flag);
int bus_ui_dialog_delete(bus_t *bus);
int bus_ui_reset_tc(bus_t *bus);
/* Add (f_add 1) or edit the selected event: 0, or -2 when editing with
 * nothing selected. */
int bus_ui_dialog_edit(bus_t *bus, int f_add);
int bus_ui_dialog_selection_info(bus_t *bus);
/* Previews the selected event: 1 when there is nothing to preview, else 0
 * or the failing call's result. */
int bus_ui_preview(bus_t *bus);
/* Rows of the selection that hold an event, and their durations summed in
 * frames (an empty duration counts 0). */
int bus_ui_playlist_items_selection_update(bus_t *bus, int *p_cnt, int *p_dur);

/* The trim/pad dialog of the event on air (Close ends it); 0. */
int bus_ui_dialog_trimpad(bus_t *bus);

/* Chooser rules, exposed for tests: whether a name is listed under the
 * bus's --filter-playlist-* options (1 or 0), and the list order (negative
 * when a ranks above b: "peer_master", "peer_slave", then the rest by
 * locale collation, latest first). */
int bus_ui_playlist_name_passes(const bus_t *bus, const char *name);
int bus_ui_playlist_name_cmp(const char *a, const char *b);
/* STATUS text of a flagged event ("ABSENT", "RANGE ERROR", "SUBCLIP",
 * "NON CONT" or ""). */
const char *bus_ui_errorflag_status(int64_t flags);

/* Connects the dialogs' own press handler to the panel's preview button;
 * called once the panel is built. */
void bus_ui_dialogs_attach(bus_t *bus);

/* Handlers. */
gboolean on_button_playlist_item_preview_press_event(GtkWidget *widget, GdkEventButton *event, gpointer user_data);
void bus_ui_dialog_playlist_toggle_radio(GtkToggleButton *button, gpointer user_data);
gboolean bus_ui_dialog_playlist_grid_button(GtkWidget *widget, GdkEventButton *event, gpointer user_data);
void bus_ui_dialog_set_by_path(bus_ui_absent_lib_items_t *ctx, GtkTreePath *path);
gint bus_ui_dialog_absent_items_sort_list(GtkTreeModel *model, GtkTreeIter *a, GtkTreeIter *b, gpointer user_data);
gboolean bus_ui_dialog_trim_button_cb(GtkWidget *button, gpointer user_data);
