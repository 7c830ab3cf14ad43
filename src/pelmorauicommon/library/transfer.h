/* Transfer jobs of a library server: the transfer list window and the export
 * dialog, and the job list window machinery that the transcoder list shares
 * (a worker fetches the list and runs the operator's cancel, restart and
 * delete; the main loop applies each result, rows in place when the count
 * stays the same). */
#pragma once
#include <gtk/gtk.h>
#include <stddef.h>
#include <stdint.h>

#include "library.h"
#include "pelmora_jobs.h"
#include "ui_tools.h"

/* Icon of a job state: the index of pending (0), started, done, error or
 * cancelled (4); a negative state is pending, others wrap modulo 5. */
int library_job_state_icon(int state);
/* Direction icon of a transfer: 0 export, 1 export deleting the source,
 * 2 import, 3 import deleting the source. */
int library_transfer_dir_icon(int f_import, int f_delete);
/* The COMMENT cell: empty while pending, the progress while started, the
 * job's text otherwise. */
const char *library_job_comment(int state, int progress, const char *error, char *buf, size_t size);
/* Seconds since 1970 as local "%Y-%m-%d %H:%M:%S". */
const char *library_job_time(int64_t t, char *buf, size_t size);

/* What differs between the two job lists. */
typedef struct library_job_kind_desc
{
    const char *title;     /* window title (translated) */
    const char *list_name; /* "transfer_list_%d" */
    /* Refresh, restart, delete, cancel: hookup names ("button_library_..."),
     * ids, and the library's slots of the buttons. */
    const char *const *button_names;
    int button_ids[4];
    int slot_buttons[4];
    int slot_window, slot_list; /* the library's slots of the window and its list */
    const ui_column_desc *columns;
    int col_pos, col_id; /* the hidden position and id columns */
    int n_icons;
    const char *const *icon_names;
    const char *const *icon_stock; /* fallback when the built-in image is missing */
    /* Up to limit jobs into *records (malloc'd, caller frees): count or failure. */
    int (*fetch)(const char *url, int limit, void **records);
    /* One job of the reply into a row; pos is its place in the reply. */
    void (*fill)(GtkListStore *store, GtkTreeIter *it, const void *records, int pos, GdkPixbuf *const *icons);
    /* 'c' cancel, 'r' restart, 'd' delete. */
    int (*control)(const char *url, char op, int id);
} library_job_kind_t;

typedef struct library_job_window_desc library_job_window_t;

/* The window of that kind for lib, made on first use (hidden). Main loop. */
library_job_window_t *library_job_window(library_t *lib, const library_job_kind_t *kind);
/* The window of that kind for lib, or null before its first use. */
library_job_window_t *library_job_window_find(library_t *lib, const library_job_kind_t *kind);
/* Shows it and asks for a reload. */
int library_job_window_show(library_job_window_t *w);
/* Asks the worker for a reload; the rows change when its answer comes. */
int library_job_window_reload(library_job_window_t *w);
/* Runs op ('c', 'r', 'd') on the selected jobs, then reloads. */
int library_job_window_control(library_job_window_t *w, char op);
/* Widgets for the console and its tests. */
GtkWidget *library_job_window_widget(library_job_window_t *w);
GtkWidget *library_job_window_view(library_job_window_t *w);
GtkWidget *library_job_window_status(library_job_window_t *w);
GdkPixbuf *library_job_window_icon(library_job_window_t *w, int idx);
/* Results applied so far (each reload answer counts once). */
int library_job_window_applied(library_job_window_t *w);
/* Stops the worker and the timer and destroys every job window of lib. */
void library_job_windows_release(library_t *lib);

/* Jobs a list shows at most. */
#define LIBRARY_JOBS_LIMIT 100

int library_transfer_list(library_t *lib);
int library_transfer_list_reload(library_t *lib);
/* The export dialog for the given items (the library pane's selection):
 * one export job per item to the chosen target. Number of jobs added,
 * 0 when cancelled, or a failure. */
int library_transfer_export(library_t *lib, pelmora_lib_item_t *const *items, int n);
/* The transfer list window of lib, or null before its first use. */
library_job_window_t *library_transfer_window(library_t *lib);
