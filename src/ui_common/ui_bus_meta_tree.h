/* The metadata tree of the event item dialog: an event's templates (ASSETS,
 * in play order, with their variables) and its other pairs (GLOBAL VARS),
 * edited in place; templates and variables offered from the library server.
 * Main loop only, under the GDK lock. */
#pragma once
#include <gtk/gtk.h>

#include <functional>

#include "pelmorabox.h"
#include "ui_tools.h"

enum metatree_type
{
    METATREE_ASSETS = 0,
    METATREE_GLOBAL_VARS,
    METATREE_META_TEMPLATE,
    METATREE_META_GLOBAL,
    METATREE_TEMPLATE,
    METATREE_LAST
};

enum metatree_column
{
    METATREE_COLUMN_TYPE = 0,
    METATREE_COLUMN_KEY,
    METATREE_COLUMN_VALUE,
    METATREE_COLUMN_IDX,
    METATREE_COLUMN_KEY_EDITABLE,
    METATREE_COLUMN_VALUE_EDITABLE,
    METATREE_COLUMN_DATA,
    METATREE_COLUMN_BG_COLOR,
    METATREE_COLUMN_BG_COLOR_V,
    METATREE_COLUMN_FG_COLOR,
    METATREE_COLUMN_FG_COLOR_V,
    METATREE_COLUMN_LAST
};
extern const ui_column_desc metatree_plan[METATREE_COLUMN_LAST + 1];

/* Longest value a row holds: a metadata value of the event line may be this
 * long, and a shorter row would cut it on the way back. */
#define METATREE_VAL_SIZE (PELMORABOX_META_VAL_MAX + 1)

typedef struct ui_bus_meta_tree_desc ui_bus_meta_tree_t;

/* One row, owned by it (column DATA). direction: ASSETS row only, 1 append,
 * -1 prepend, 0 replace. */
typedef struct metatree_item_desc
{
    int type;
    ui_bus_meta_tree_t *ctx;
    pelmorabox_event_t *e;
    int direction;
    char key[260];
    char val[METATREE_VAL_SIZE];
} metatree_item_t;

/* Allocated zero-filled by the item dialog, which sets lib_url. */
struct ui_bus_meta_tree_desc
{
    const char *lib_url;
    GtkWidget *view;
    GtkTreeModel *model;
    GtkTreeStore *store;
    GtkWidget *sw, *gr;
    pelmorabox_event_t *e;
    GtkTreeIter iter[5];
    /* A library call is out (the main loop runs nested meanwhile). */
    int busy;
    /* The last menu shown, kept for tests; owned by the tree view. */
    GtkWidget *menu;
};

/* The scrolled window holding the tree. */
GtkWidget *ui_bus_meta_tree_create(ui_bus_meta_tree_t *ctx);
/* Decodes e into the tree; 0. */
int ui_bus_meta_tree_set(ui_bus_meta_tree_t *ctx, pelmorabox_event_t *e);
/* Encodes the tree into *pe (its assets and pairs replaced); 0. */
int ui_bus_meta_tree_get(ui_bus_meta_tree_t *ctx, pelmorabox_event_t **pe);
/* Removes every row and its record; 0. */
int ui_bus_meta_tree_destroy(ui_bus_meta_tree_t *ctx);

/* The menu of the selected row (unshown, attached to the tree), as the right
 * button or the menu key shows it; null when no row is selected. */
GtkWidget *ui_bus_meta_tree_menu(ui_bus_meta_tree_t *ctx);
/* The record of a row. */
metatree_item_t *ui_bus_meta_tree_item(ui_bus_meta_tree_t *ctx, GtkTreeIter *iter);

/* Runs work on a worker thread while the main loop keeps serving, the GDK
 * lock released; returns when work has returned. Work touches no widget. */
void ui_bus_meta_tree_off_main(const std::function<void()> &work);

/* Handlers. */
gboolean ui_bus_meta_tree_button_press(GtkWidget *widget, GdkEventButton *event, gpointer user_data);
gboolean ui_bus_meta_tree_popup_menu(GtkWidget *widget, gpointer user_data);
gboolean ui_bus_meta_tree_key_press(GtkWidget *widget, GdkEventKey *event, gpointer user_data);
void ui_bus_meta_tree_edited(GtkCellRendererText *renderer, gchar *path, gchar *new_text, gpointer user_data);
void ui_bus_meta_tree_editing_started(GtkCellRenderer *renderer, GtkCellEditable *editable, gchar *path,
                                      gpointer user_data);
