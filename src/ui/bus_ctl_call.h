/* Running a bus's commands: the server call on a worker thread while the
 * main loop goes on, the plain words of a failure, and the selected events
 * read for a command. Main thread, below the panel's buttons and dialogs. */
#pragma once
#include <gtk/gtk.h>
#include <stddef.h>

#include <functional>
#include <string>
#include <vector>

#include "instance.h"

/* Runs call on a worker thread while the main loop goes on in a nested loop,
 * with "WHAT: sending ..." on the bus's notice line. On success the state
 * the call filled is applied and the notice cleared; a failure is said on
 * the notice line (with *why when the call set it). A call without an
 * answer (-14) is said to have an unknown outcome and the rows in view are
 * read again at once. Nothing is sent while another command of the bus
 * waits (-16). The call must not touch widgets. */
int bus_ctl_command(bus_t *bus, const char *what, std::function<int(pelmorabox_bus_state_t *, std::string *)> call);

/* The IO settings dialog of srv (the bus's preview server, or a record made
 * for the preview strip's server) over parent. When the dialog cannot open
 * (settings unreadable, another settings dialog waiting) the bus's notice
 * line says so. The dialog's result. */
int bus_ctl_io_settings(bus_t *bus, GtkWidget *parent, srv_t *srv);

/* Runs work on a worker thread while the main loop goes on in a nested loop,
 * with "WHAT: doing ..." on the bus's notice line; the bus counts as
 * waiting for its server meanwhile, so its other commands are not sent.
 * work must not touch widgets; the notice is left for the caller. work's
 * result, or -16 when another command of the bus was waiting (not run). */
int bus_ctl_off_main(bus_t *bus, const char *what, const char *doing, std::function<int()> work);

/* The selected rows' events in selection order, at most max: clones of the
 * rows' records, and rows without one (not fetched yet, or given back far
 * from view) read from the server first on a worker (bus_ctl_off_main).
 * 0 with *events (clones; the caller destroys them) and *row_idxs (when
 * given) filled. When some cannot be read, the grid went away meanwhile or
 * another command of the bus is waiting, nothing is returned, the bus's
 * notice line says why command `what` did nothing, and the result is
 * negative. */
int bus_ctl_selected_events(bus_t *bus, size_t max, const char *what, std::vector<pelmorabox_event_t *> *events,
                            std::vector<int> *row_idxs);

/* Plain words for a failed server result: "no usable answer ..." for -14,
 * otherwise the server's refusal and its system error text. Returns buf. */
char *bus_ctl_reason(int result, char *buf, size_t size);
/* The same for a call that changes something: for -14 that it may still be
 * carried out (the list shows what the server did), else bus_ctl_reason. */
char *bus_ctl_outcome(int result, char *buf, size_t size);
/* Error box titled "ERROR" over the main window: the translated message,
 * then, when result is negative, a blank line and the reason in plain
 * words. 0. */
int bus_ctl_show_failure(bus_t *bus, const char *message, int result);

/* Says in the bus panel's notice line that command `what` was not started
 * because another action of the bus is under way (naming the command that
 * waits for its server, if one does). 0. */
int bus_ctl_notice_busy(bus_t *bus, const char *what);

/* Says in the bus panel's notice line, without a dialog, that command `what`
 * (TAKE, JUMP, ...) was refused: the server, the result and its meaning, or
 * `why` it was not sent; for a call without an answer (-14) that its
 * outcome is unknown. Logged as well. 0. */
int bus_ctl_notice_failure(bus_t *bus, const char *what, int result, const char *why);
