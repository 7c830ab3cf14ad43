/* Helpers of the widget tests: synthesized input, finding widgets, and
 * answering the dialog a modal call has put up. The test thread runs them
 * without the GDK lock (gui_ready (false)). */
#pragma once
#include <gtk/gtk.h>

#include <functional>
#include <string>

#include "gui_loop.h"

/* Skips the calling test when there is no display to test on. */
#define NEED_DISPLAY()                                                                                                 \
    do {                                                                                                               \
        if (!gui_ready(false))                                                                                         \
            GTEST_SKIP() << "no display (DISPLAY unset)";                                                              \
    } while (0)

/* Runs op on the main loop (under the GDK lock, as a GDK timeout) every
 * 20 ms until it returns true; for answering modal dialogs. */
void widgets_when(std::function<bool()> op);

/* The first descendant of w of the given type, or null. */
GtkWidget *widgets_find_child(GtkWidget *w, GType type);

/* Synthesized input delivered straight to the widget's handlers. */
gboolean widgets_send_crossing(GtkWidget *w, GdkEventType type);
gboolean widgets_send_button(GtkWidget *w, GdkEventType type, double x, double y);
gboolean widgets_send_key(GtkWidget *w, guint keyval);

/* Typing: each character inserted at the caret, which then moves past what
 * was inserted (what GtkEntry does for a key). */
void widgets_type(GtkWidget *entry, const char *text);

/* The window's pixels as the X server has them. */
GdkPixbuf *widgets_grab(GtkWidget *w, int width, int height);
