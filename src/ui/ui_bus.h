/* Bus panel: the tool column, the clocks, controls and counters on top and
 * the event grid of one bus; the renderers the bus engine calls on the main
 * loop for rows, the polled state and the offline state. */
#pragma once
#include <gtk/gtk.h>
#include <stddef.h>
#include <stdint.h>

#include "bus.h"
#include "instance.h"
#include "ui_tools.h"

/* Ids of the panel's buttons; the same numbers index bus->buttons. Entries
 * 1..21 are created by ui_bus_create; 22..25 belong to the item dialog and
 * the preview strip, which create their own from the table below. */
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

/* Aux media metadata keys, in the order of the six aux media columns. */
enum
{
    PELMORABOX_EVENT_AUXMEDIA_STEREO_1 = 0,
    PELMORABOX_EVENT_AUXMEDIA_STEREO_2,
    PELMORABOX_EVENT_AUXMEDIA_STEREO_3,
    PELMORABOX_EVENT_AUXMEDIA_STEREO_4,
    PELMORABOX_EVENT_AUXMEDIA_STL_888,
    PELMORABOX_EVENT_AUXMEDIA_STL_889,
    PELMORABOX_EVENT_AUXMEDIA_LAST
};
extern const char *const pelmorabox_auxmedia_meta_keys[PELMORABOX_EVENT_AUXMEDIA_LAST];
extern const int aux_media_column_idxs[PELMORABOX_EVENT_AUXMEDIA_LAST];

/* The grid's model and view columns (28 model columns, 22 titled). */
extern const ui_column_desc columns_plan[BUS_COLUMN_LAST + 1];

/* The shared image of start type i (0..3), built on first use, never freed;
 * null for another i. */
GdkPixbuf *get_start_type_pixbuf_by_idx(int i);
/* The start type index of an event's start_type letter: 'M' manual, 'F'
 * fixed time, 'G' gap fill, anything else follow. */
int bus_ui_start_type_idx(char start_type);

/* The row of the panel's button table with that id (1..25), or null. */
const ui_button_desc *ui_button_lookup_local(int id);

/* Columns of the event details lists under the library (built by the main
 * window, filled from the selected row by bus_ui_redraw_event_details). */
enum assets_details_column
{
    ASSETS_DETAILS_COLUMN_TITLE = 0,
    ASSETS_DETAILS_COLUMN_IN,
    ASSETS_DETAILS_COLUMN_OUT,
    ASSETS_DETAILS_COLUMN_DUR,
    ASSETS_DETAILS_COLUMN_ITEM_DATA,
    ASSETS_DETAILS_COLUMN_BG_COLOR,
    ASSETS_DETAILS_COLUMN_BG_COLOR_V,
    ASSETS_DETAILS_COLUMN_FG_COLOR,
    ASSETS_DETAILS_COLUMN_FG_COLOR_V,
    ASSETS_DETAILS_COLUMN_LAST
};

enum metas_details_column
{
    METAS_DETAILS_COLUMN_NAME = 0,
    METAS_DETAILS_COLUMN_VALUE,
    METAS_DETAILS_COLUMN_ITEM_DATA,
    METAS_DETAILS_COLUMN_BG_COLOR,
    METAS_DETAILS_COLUMN_BG_COLOR_V,
    METAS_DETAILS_COLUMN_FG_COLOR,
    METAS_DETAILS_COLUMN_FG_COLOR_V,
    METAS_DETAILS_COLUMN_LAST
};

/* Builds the panel of bus (buttons 1..21 into bus->buttons, the clocks, the
 * grid and its scrolled window) and fills its renderers into bus->view;
 * button hookup names are registered on parent. Returns the panel's top
 * widget, shown. */
GtkWidget *ui_bus_create(GtkWidget *parent, bus_t *bus);

/* Renderers called by the bus engine on the main loop. */
int bus_ui_update_events(bus_t *bus, int cnt, const int64_t *idxs, pelmorabox_event_t **es_new);
int bus_ui_update_event(bus_t *bus, int idx, pelmorabox_event_t *e_new);
int bus_ui_update_time(bus_t *bus);
int bus_ui_set_offline(bus_t *bus);
/* Refills the event details lists from the first selected row; returns its
 * index or -1. */
int bus_ui_redraw_event_details(bus_t *bus);

/* The panel's notice line, under the clocks: what a command is doing or why
 * it failed, said without a dialog in the operator's way. A failure stays
 * BUS_UI_NOTICE_MS unless another notice replaces it (the next command's
 * success clears it). */
enum bus_ui_notice_kind
{
    BUS_UI_NOTICE_NONE = 0, /* clear the line */
    BUS_UI_NOTICE_SENDING,  /* a command waits for its answer */
    BUS_UI_NOTICE_FAILED    /* a command failed or was not sent */
};
#define BUS_UI_NOTICE_MS 10000
int bus_ui_notice(bus_t *bus, const char *text, int kind);
/* The text the notice line shows ("" when clear). */
const char *bus_ui_notice_text(const bus_t *bus);

/* Index of the first selected row, or -1; *pe (when given) that row's event
 * (the row's own record, not a copy) or null. */
int bus_ui_selected_idx(bus_t *bus, pelmorabox_event_t **pe);
/* sys_id of the first selected row's event, or -1 without a selection, an
 * event or a non-zero sys_id; *pe as above. */
int64_t bus_ui_selected_sys_id(bus_t *bus, pelmorabox_event_t **pe);

/* The long start text of an event, "YYYY-MM-DD HH:MM:SS:FF", from its start
 * (ms since 1970 UTC) plus the bus's --long-start-offset hours, in the bus's
 * --tz zone or else the process's zone. Writes at most 63 characters into
 * buf (size bytes); returns the text length, or -22. */
int bus_ui_long_start(bus_t *bus, const pelmorabox_event_t *e, char *buf, size_t size);
