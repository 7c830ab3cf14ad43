/* The recording channel map matrix (8 destinations by 32 sources) with its
 * presets: built into the IO settings dialog and the event dialog. The
 * presets table lives for the whole program and is kept in the text file
 * named by --audio-map-helper. */
#pragma once
#include <gtk/gtk.h>

#define SETTINGS_AMAP_PRESETS_MAX 128

typedef struct settings_amap_ui_presets_desc
{
    char map[260];
    char title[260];
} settings_amap_ui_presets_t;

typedef struct settings_amap_ui_desc
{
    GtkWidget *map_notebook;
    GtkWidget *map_radios[8][32];
    GtkWidget *presets_combo;
    GtkWidget *presets_button;
    GtkWidget *status_label; /* what became of the last presets save */
    gulong radio_handlers[8][32];
    gulong presets_handler;
} settings_amap_ui_t;

GtkWidget *settings_amap_ui_create(settings_amap_ui_t *ctx, const char *curr);
/* The map the matrix shows, as text (at most lim bytes). */
char *settings_amap_get(settings_amap_ui_t *ctx, char *dst, size_t lim);
void settings_amap_ui_set(settings_amap_ui_t *ctx, const char *curr);
void settings_amap_ui_presets_combo_setup(settings_amap_ui_t *ctx, const char *curr);
/* The presets button's menu (New, Existing, Clipboard), unshown. */
GtkWidget *settings_amap_ui_presets_menu(settings_amap_ui_t *ctx);

/* Loads the presets file once (-17 on a second call): the preset count, or
 * the negative system error when the file cannot be opened. */
int setting_amap_add_preset(const char *name);
/* Rewrites the presets file (temporary file, then rename): the preset
 * count, -2 without a file name, or the negative system error. */
int setting_amap_save_presets(void);
/* The table (built-in entries first) and its count. */
const settings_amap_ui_presets_t *settings_amap_presets(int *count);
/* Forgets the file name and the operator's presets. */
void settings_amap_presets_reset(void);
