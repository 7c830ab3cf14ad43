/* The main window: a notebook with one page per bus, each page the bus panel
 * beside the bus's library pane, with the preview strip and the event
 * details area under the library. */
#pragma once
#include <gtk/gtk.h>

#include "instance.h"
#include "ui_bus.h"
#include "ui_tools.h"

extern const ui_column_desc assets_details_columns[ASSETS_DETAILS_COLUMN_LAST + 1];
extern const ui_column_desc metas_details_columns[METAS_DETAILS_COLUMN_LAST + 1];

/* Builds the window (not shown). Main thread, before any worker runs. */
GtkWidget *ui_create(instance_t *app);
/* The title rule: --window-title when given, else "PelmoraBoxUI". */
const char *ui_window_title(const instance_t *app);
/* Gives wnd the application icon in three sizes (built on first use). */
void ui_window_set_icons_list(GtkWidget *wnd);

/* Signal handlers of the window (exposed for tests). */
gboolean pane_operation_area_notebook_switch_page_cb(GtkNotebook *notebook, gpointer page, guint page_num,
                                                     gpointer user_data);
gboolean preview_button_hide_cb(GtkWidget *button, gpointer user_data);
gboolean preview_button_show_cb(GtkWidget *button, gpointer user_data);
/* Button presses on the preview strip's picture (user data: the bus): a
 * double click of the right button opens the IO settings of the strip's
 * server (prv.host) and is taken; other presses pass on. */
gboolean on_ndi_prvs_button_press_event(GtkWidget *widget, GdkEventButton *event, gpointer user_data);
/* "Channel settings" beside the preview (user data: the bus): the same IO
 * settings, for an operator who does not know the double click. */
gboolean preview_settings_clicked(GtkWidget *button, gpointer user_data);
