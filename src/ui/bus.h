/* Bus engine: keeps a bus's grid in step with its automation server. A state
 * thread polls the bus state, an events thread fetches stale rows in small
 * batches, and every result is handed to the main loop before they go on. */
#pragma once
#include <stdint.h>

#include "idle_wrap.h"
#include "instance.h"

#define BUS_STATE_PERIOD_US 900000
#define BUS_STATE_TICK_US 10000
#define BUS_PAUSE_SLEEP_US 900000
#define BUS_FETCH_MAX 32
/* Rows either side of the view that keep their event records; rows farther
 * away keep their texts only until they are in view again. */
#define BUS_KEEP_ROWS 256

/* The grid's model columns: the panel fills them, the engine reads the
 * event record of a row (BUS_COLUMN_DATA) and frees it with its icon. */
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

int bus_init(bus_t *bus);
int bus_release(bus_t *bus);
int bus_push_state(bus_t *bus, int ret, pelmorabox_bus_state_t *s);
int bus_set_list_count(bus_t *bus, int cnt);
int bus_enqueu_update_idx(bus_t *bus, int cnt, const int *idxs);
int bus_enqueu_update_visible(bus_t *bus, int64_t amend);

void *bus_state_thread_proc(void *bus);
void *bus_events_update_thread_proc(void *bus);

/* Widgets belong to the main thread. bus_init records which thread that is
 * (bus_main_thread_mark does it earlier for code that runs before); every
 * engine function that touches a widget checks it with
 * bus_assert_main_thread, which logs a critical message naming the caller
 * and counts the violation. Returns 1 on the main thread (or before it is
 * known), 0 otherwise. */
void bus_main_thread_mark(void);
int bus_assert_main_thread(const char *func);
/* Violations counted since the start of the process (tests read it). */
int bus_main_thread_violations(void);
