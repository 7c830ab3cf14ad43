/* Helpers of the widget tests: GTK start-up with the GDK thread lock as the
 * program uses it, main loop pumping, synthesized input and finding the
 * dialog a modal call has put up. */
#pragma once
#include <gtk/gtk.h>

#include <functional>
#include <string>

/* gdk_threads_init + gtk_init_check once; false without a display. The
 * calling (main) thread does not hold the GDK lock afterwards. */
bool widgets_gui_init();

/* Skips the calling test when there is no display to test on. */
#define NEED_DISPLAY()                                                                                                 \
    do {                                                                                                               \
        if (!widgets_gui_init())                                                                                       \
            GTEST_SKIP() << "no display (DISPLAY unset)";                                                              \
    } while (0)

/* Runs pending main loop work, then keeps iterating for ms milliseconds. */
void widgets_pump(int ms = 0);

/* Runs op on the main loop (under the GDK lock, as a GDK timeout) every
 * 20 ms until it returns true; for answering modal dialogs. */
void widgets_when(std::function<bool()> op);

/* The first visible GtkDialog among the top-level windows, or null. */
GtkWidget *widgets_find_dialog();
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
