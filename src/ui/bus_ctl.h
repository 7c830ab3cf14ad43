/* Bus commands: the panel's button clicks and the grid's keys turned into
 * channel commands (start, stop, take, jump, fallback) with their
 * confirmations, dialogs, help and vendor pages, and the application-wide
 * clipboard of events. Main thread, inside GTK signal handlers. */
#pragma once
#include <gtk/gtk.h>
#include <stddef.h>

#include <functional>
#include <string>
#include <vector>

#include "instance.h"

/* Address opened by the vendor button. */
#define BUS_CTL_COMPANY_URL "https://www.pelmora.example/"
/* Name of the operator's guide beside the executable. */
#define BUS_CTL_HELP_FILE "PelmoraBoxUI.pdf"
/* A second click of the same button within this time (or the desktop's
 * double-click time, whichever is longer) is the rest of a double click. */
#define BUS_CTL_REPEAT_GUARD_MS 500
/* Failed inserts of a paste named one by one in the report. */
#define BUS_CTL_PASTE_REPORT_MAX 20

/* "clicked" of every panel button (user data: the bus): TRUE when the
 * button is one of the bus's buttons 1..25, FALSE otherwise. */
gboolean on_button_click(GtkWidget *button, gpointer user_data);
/* "key-press-event" of the grid (user data: the bus): TRUE when taken.
 * Besides the editing keys, F1, F5..F9 and Alt with A, C, M, R, P, Up and
 * Down act as the buttons without keys of their own (help, take, jump,
 * fallback, start, stop, append, close, absent and error lists, preview,
 * truncate above and below), and Alt+1..8 bring a bus to the front. */
gboolean on_grid_key_press_event(GtkWidget *widget, GdkEventKey *event, gpointer user_data);

/* Runs call on a worker thread while the main loop goes on in a nested loop,
 * with "WHAT: sending ..." on the bus's notice line. On success the state
 * the call filled is applied and the notice cleared; a failure is said on
 * the notice line (with *why when the call set it). Nothing is sent while
 * another command of the bus waits (-16). The call must not touch widgets. */
int bus_ctl_command(bus_t *bus, const char *what, std::function<int(pelmorabox_bus_state_t *, std::string *)> call);

/* The IO settings dialog of srv (the bus's preview server, or a record made
 * for the preview strip's server) over parent. When the dialog cannot open
 * (settings unreadable, another settings dialog waiting) the bus's notice
 * line says so. The dialog's result. */
int bus_ctl_io_settings(bus_t *bus, GtkWidget *parent, srv_t *srv);

/* Channel commands; each applies the returned state at once on success.
 * Results as the server answered (negative: refused or no usable answer). */
int bus_ctl(bus_t *bus, int f_run);
int bus_ctl_start(bus_t *bus);
int bus_ctl_stop(bus_t *bus);
int bus_ctl_take(bus_t *bus);
int bus_ctl_take_n(bus_t *bus);
int bus_ctl_fallback(bus_t *bus);

/* The selected rows' events in selection order, at most max: clones of the
 * rows' records, and rows without one (not fetched yet, or given back far
 * from view) read from the server first. 0 with *events (clones; the caller
 * destroys them) and *row_idxs (when given) filled. When some cannot be
 * read nothing is returned, an error dialog says so followed by the
 * sentence nothing_done (translated here), and the failed result is
 * returned (negative). */
int bus_ctl_selected_events(bus_t *bus, size_t max, const char *nothing_done, std::vector<pelmorabox_event_t *> *events,
                            std::vector<int> *row_idxs);

/* Copy the selected events (at most 200) into the clipboard; rows without
 * an event record are read from the server first. 0, or the failed read's
 * result (negative) when some could not be read: then nothing is copied and
 * the operator is told. */
int bus_clipboard_copy(bus_t *bus);
/* Insert every clipboard event before the selected event (or at the end),
 * with the bus's state polling paused for the series; 0. */
int bus_clipboard_paste(bus_t *bus);

/* Plain words for a failed server result: "no usable answer ..." for -14,
 * otherwise the server's refusal and its system error text. Returns buf. */
char *bus_ctl_reason(int result, char *buf, size_t size);
/* Error box titled "ERROR" over the main window: the translated message,
 * then, when result is negative, a blank line and the reason in plain
 * words. 0. */
int bus_ctl_show_failure(bus_t *bus, const char *message, int result);

/* Says in the bus panel's notice line, without a dialog, that command `what`
 * (TAKE, JUMP, ...) failed: the server, the result and its meaning, or `why`
 * it was not sent. Logged as well. 0. */
int bus_ctl_notice_failure(bus_t *bus, const char *what, int result, const char *why);

/* The desktop's "open" action: gtk_show_uri, falling back to xdg-open.
 * 0 when handed over, negative when neither could take it (logged). */
int bus_ctl_open_uri(const char *uri);
/* Replaces the open action (null restores the desktop's); for programs that
 * embed the console and for tests. */
void bus_ctl_set_open_proc(int (*proc)(const char *uri));
/* Full path of the operator's guide: the executable's directory and
 * BUS_CTL_HELP_FILE. Returns buf. */
char *bus_ctl_help_path(char *buf, size_t size);
