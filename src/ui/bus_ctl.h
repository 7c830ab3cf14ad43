/* Bus commands: the panel's button clicks and the grid's keys turned into
 * channel commands (start, stop, take, jump, fallback) with their
 * confirmations, dialogs, help and vendor pages, and the application-wide
 * clipboard of events. Main thread, inside GTK signal handlers. */
#pragma once
#include <gtk/gtk.h>
#include <stddef.h>

#include "bus_ctl_call.h"
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
 * Besides the editing keys, the keys of bus_ctl_button_keys act as the
 * buttons without keys of their own (help, take, jump, fallback, start,
 * stop, append, close, absent and error lists, preview, truncate above and
 * below), and Alt+1..8 bring a bus to the front. */
gboolean on_grid_key_press_event(GtkWidget *widget, GdkEventKey *event, gpointer user_data);

/* A grid key that acts as a panel button: the key (lower case), the
 * modifier it needs (GDK_MOD1_MASK or 0; Shift does not matter, Ctrl keys
 * are editing keys) and the button. */
typedef struct bus_ctl_button_key_desc
{
    guint key;
    guint mods;
    int button;
} bus_ctl_button_key_t;
/* The grid's button keys: *keys gets the table, the count is returned. */
size_t bus_ctl_button_keys(const bus_ctl_button_key_t **keys);
/* The panel button that keyval with the modifiers of state runs on the
 * grid (its button keys and its editing keys), 0 when none. */
int bus_ctl_key_button(guint keyval, guint state);
/* 1 for the buttons whose command goes on air at once (start, stop, take,
 * jump, fallback), else 0. */
int bus_ctl_button_is_onair(int id);
/* Connects the grid's keys and double click (edit the row) and the clicks
 * of the bus's buttons 0..25 to the commands; bus_init calls it through the
 * view hooks. */
void bus_ctl_attach(bus_t *bus);

/* Channel commands; each applies the returned state at once on success.
 * Results as the server answered (negative: refused or no usable answer). */
int bus_ctl(bus_t *bus, int f_run);
int bus_ctl_start(bus_t *bus);
int bus_ctl_stop(bus_t *bus);
int bus_ctl_take(bus_t *bus);
int bus_ctl_take_n(bus_t *bus);
int bus_ctl_fallback(bus_t *bus);

/* Copy the selected events (at most 200) into the clipboard; rows without
 * an event record are read from the server first. 0, or the failed read's
 * result (negative) when some could not be read: then nothing is copied and
 * the operator is told. */
int bus_clipboard_copy(bus_t *bus);
/* Insert every clipboard event before the selected event (or at the end),
 * with the bus's state polling paused for the series; 0. */
int bus_clipboard_paste(bus_t *bus);

/* The desktop's "open" action: gtk_show_uri, falling back to xdg-open.
 * 0 when handed over, negative when neither could take it (logged). */
int bus_ctl_open_uri(const char *uri);
/* Replaces the open action (null restores the desktop's); for programs that
 * embed the console and for tests. */
void bus_ctl_set_open_proc(int (*proc)(const char *uri));
/* Full path of the operator's guide: the executable's directory and
 * BUS_CTL_HELP_FILE. Returns buf. */
char *bus_ctl_help_path(char *buf, size_t size);
