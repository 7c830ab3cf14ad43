/* Bus panel (first cut): the event grid with its full column plan, and the
 * row, state and offline renderers the bus engine calls on the main loop.
 * Clocks, counters and the panel's buttons come with the complete panel. */
#pragma once
#include <gtk/gtk.h>
#include <stdint.h>

#include "instance.h"
#include "ui_tools.h"

enum bus_columns
{
    BUS_COLUMN_AUXMEDIA_STEREO_1 = 0,
    BUS_COLUMN_AUXMEDIA_STEREO_2,
    BUS_COLUMN_AUXMEDIA_STEREO_3,
    BUS_COLUMN_AUXMEDIA_STEREO_4,
    BUS_COLUMN_AUXMEDIA_STL_888,
    BUS_COLUMN_AUXMEDIA_STL_889,
    BUS_COLUMN_NOTES,
    BUS_COLUMN_START_TYPE_ICON,
    BUS_COLUMN_START,
    BUS_COLUMN_MEDIA_TYPE,
    BUS_COLUMN_MEDIA_ID,
    BUS_COLUMN_AUX1,
    BUS_COLUMN_DUR,
    BUS_COLUMN_MARK_IN,
    BUS_COLUMN_MARK_OUT,
    BUS_COLUMN_TITLE,
    BUS_COLUMN_TAG,
    BUS_COLUMN_ASSETS,
    BUS_COLUMN_AR,
    BUS_COLUMN_AMAP,
    BUS_COLUMN_AAMP,
    BUS_COLUMN_AUX2,
    BUS_COLUMN_IDX,
    BUS_COLUMN_DATA,
    BUS_COLUMN_BG_COLOR,
    BUS_COLUMN_BG_COLOR_V,
    BUS_COLUMN_FG_COLOR,
    BUS_COLUMN_FG_COLOR_V,
    BUS_COLUMN_LAST
};

enum control_buttons
{
    BUTTON_LIST_ITEM_ADD = 1,
    BUTTON_LIST_ITEM_DEL = 2,
    BUTTON_LIST_ITEM_EDIT = 3,
    BUTTON_LIST_ITEM_PREVIEW = 4,
    BUTTON_LIST_OPEN = 5,
    BUTTON_LIST_CLOSE = 6,
    BUTTON_LIST_APPEND = 7,
    BUTTON_LIST_TRUNCATE_ABOVE = 8,
    BUTTON_LIST_TRUNCATE_BELOW = 9,
    BUTTON_LIST_SAVEAS = 10,
    BUTTON_LIST_BUS_ABSENT_ITEMS = 11,
    BUTTON_LIST_BUS_PRESENT_ITEMS = 12,
    BUTTON_LIST_BUS_CHECKING_ITEMS = 13,
    BUTTON_LIST_BUS_ERROR_ITEMS = 14,
    BUTTON_CHANNEL_START = 15,
    BUTTON_CHANNEL_STOP = 16,
    BUTTON_HELP = 17,
    BUTTON_COMPANY = 18,
    BUTTON_LIST_TAKE = 19,
    BUTTON_LIST_TAKE_N = 20,
    BUTTON_LIST_FALLBACK = 21,
    BUTTON_TRIMPAD_TRIM = 22,
    BUTTON_TRIMPAD_PAD = 23,
    BUTTON_PRV_SHOW = 24,
    BUTTON_PRV_HIDE = 25,
    BUTTON_LAST = 26
};

enum start_types
{
    START_TYPE_FOLLOW = 0,
    START_TYPE_MANUAL,
    START_TYPE_FIXED_TIME,
    START_TYPE_GAP_FILL,
    START_TYPE_LAST
};

/* The shared image of start type i (0..3), built on first use, never freed. */
GdkPixbuf *get_start_type_pixbuf_by_idx(int i);

/* The grid's model and view columns (28 model columns, 22 titled). */
extern const ui_column_desc columns_plan[BUS_COLUMN_LAST + 1];

/* The row of the bus button table with that id, or null. */
const ui_button_desc *ui_button_lookup_local(int id);

/* The panel's top widget: for now the grid in its scrolled window. */
GtkWidget *ui_bus_create(GtkWidget *parent, bus_t *bus);

int bus_ui_update_events(bus_t *bus, int cnt, const int64_t *idxs, pelmorabox_event_t **es_new);
int bus_ui_update_event(bus_t *bus, int idx, pelmorabox_event_t *e_new);
int bus_ui_update_time(bus_t *bus);
int bus_ui_set_offline(bus_t *bus);
int bus_ui_redraw_event_details(bus_t *bus);
int bus_ui_selected_idx(bus_t *bus, pelmorabox_event_t **pe);
