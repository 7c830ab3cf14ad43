/* Reads back where GTK put the widgets of a window: every mapped widget's
 * rectangle on the screen, widgets outside the screen, siblings drawn over
 * each other, the buttons of a dialog; and a screenshot of the screen. */
#pragma once
#include <gtk/gtk.h>

#include <string>
#include <vector>

/* One mapped widget: its rectangle in root-window coordinates, and whether
 * it lies in the scrolled content of a viewport (which may reach past the
 * screen: it scrolls). */
struct layout_box
{
    GtkWidget *w;
    GdkRectangle r;
    bool scrolled;
    std::string path; /* type names from the top, for messages */
};

/* Every mapped widget under top, top included (internal children too). */
std::vector<layout_box> layout_walk(GtkWidget *top);
/* What is wrong with the window top on a screen of sw x sh: widgets outside
 * the screen (outside a viewport), siblings overlapping each other. Empty
 * when all is well. */
std::vector<std::string> layout_problems(GtkWidget *top, int sw, int sh);
/* The buttons of a dialog's button row that do not lie wholly on the
 * screen, and the count of buttons seen in *count. */
std::vector<std::string> layout_buttons_off_screen(GtkWidget *dlg, int sw, int sh, int *count);
/* Writes the screen as PNG into the build tree's layout-shots folder;
 * returns the path, or "" when it could not. */
std::string layout_shot(const std::string &name);
/* The visible dialog on top (a GtkDialog that is mapped), or null. */
GtkWidget *layout_top_dialog(GtkWidget *except = nullptr);
