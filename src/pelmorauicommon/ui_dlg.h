/* Modal dialogs shared by every window: error message, OK/Cancel question and
 * one-line input. The plain forms run on the main thread under the GDK lock;
 * the _async forms let a worker thread (not holding the GDK lock) ask the
 * operator through the main loop and wait for the answer. */
#pragma once
#include <gtk/gtk.h>

/* Request records of the asynchronous forms; f_done is set by the main loop
 * once result is stored. */
typedef struct ui_show_error_async_desc
{
    char *title;
    char *message;
    GtkWidget *window;
    volatile gint f_done;
    int result;
} ui_show_error_async_t;

typedef struct ui_dialog_ok_cancel_desc
{
    char *msg;
    volatile gint f_done;
    int result;
} ui_dialog_ok_cancel_t;

typedef struct ui_dialog_input_desc
{
    char *msg;
    char input[260];
    int len;
    volatile gint f_done;
    int result;
} ui_dialog_input_t;

/* Error box with an OK button, transient for window (may be null) and
 * destroyed with it; message is shown verbatim. Returns 0 when closed. */
int ui_show_error(GtkWidget *window, const char *title, const char *message);

/* The window dialogs open over when they are given none (the application's
 * main window); null forgets it, and so does its destruction. */
void ui_dlg_set_default_parent(GtkWidget *window);
/* Makes dlg transient for window's top-level (or the default parent) and
 * centred on it; centred on the screen without one. */
void ui_dlg_place(GtkWidget *dlg, GtkWidget *window);

/* The part of window's monitor (the default parent's, else the first
 * monitor's) that windows may use: the monitor less the desktop's panels
 * where the window manager names them. */
void ui_dlg_work_area(GtkWidget *window, GdkRectangle *area);
/* Makes a built dialog fit the work area with every button reachable: what
 * lies above its button row goes into a scrolled window as large as that
 * content asks, but no larger than the work area leaves, its default size is
 * cut to the work area, and it is placed as ui_dlg_place does. Call it once
 * the content is built and shown, before the dialog runs. A plain window
 * (no dialog) only gets its default size cut and its place. */
void ui_dlg_fit_screen(GtkWidget *dlg, GtkWidget *window);

/* OK/Cancel question: 1 for OK, 0 for Cancel or a closed window. */
int ui_dialog_ok_cancel(const char *msg);
/* The same question with what it acts on listed below it, one name a line
 * (count names; the list scrolls when long). */
int ui_dialog_ok_cancel_list(const char *msg, const char *const *names, int count);

/* One-line input titled msg. len above 100 packs the dialog width
 * (len / 100) and the entry's maximum length (len % 100); otherwise len is
 * the maximum length. The entry starts with input (a buffer of at least 260
 * bytes); flags nonzero attaches timecode completion, zero the media-name
 * filter. Accept copies the text into input (at most 259 bytes) and returns
 * 1; otherwise 0 and input is unchanged. */
int ui_dialog_input_ex(const char *msg, int len, char *input, int flags);
int ui_dialog_input(const char *msg, int len, char *input);

/* The same from another thread: blocks, polling every 40 ms, until the main
 * loop has shown and closed the dialog. Called on the main loop's own thread
 * they run the dialog directly. */
int ui_show_error_async(GtkWidget *window, const char *title, const char *message);
int ui_dialog_ok_cancel_async(const char *msg);
int ui_dialog_input_async(const char *msg, int len, char *input);
