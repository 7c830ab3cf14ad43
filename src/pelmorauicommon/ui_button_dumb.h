/* A custom-drawn image button: a drawing area showing one picture per style
 * (up to 9) and state (normal, hover, pressed outside, pressed under the
 * pointer), cut from a tile or given as separate images, with an optional
 * background colour and a blank mode. Main thread only. */
#pragma once
#include <gtk/gtk.h>
#include <stdint.h>

#define UI_BUTTON_DUMB_STYLES 9
#define UI_BUTTON_DUMB_STATES 4
/* Ends the image list of ui_button_dumb_create. */
#define UI_BUTTON_DUMB_END ((const guint8 *)(~(uintptr_t)0))

typedef gboolean (*ui_button_dumb_cb_proc)(GtkWidget *widget, GdkEventButton *event, gpointer data);

typedef struct ui_button_dumb_cb_desc
{
    ui_button_dumb_cb_proc proc;
    gpointer data;
} ui_button_dumb_cb_t;

/* Attached to the drawing area under "ui_button_dumb_t" and freed with it. */
typedef struct ui_button_dumb_desc
{
    int w, h;  /* size of one image (one tile cell) */
    int style; /* 0..8 */
    int f_hover;
    int f_pressed;
    int f_blank; /* draws nothing and ignores input */
    GtkWidget *self;
    GdkPixbuf *views[UI_BUTTON_DUMB_STYLES][UI_BUTTON_DUMB_STATES];
    GdkPixbuf *view; /* the tile of a tiled button, or null */
    struct
    {
        ui_button_dumb_cb_t press, click, release;
    } cb;
    GdkCursor *cursor;
    char *bg_color;
} ui_button_dumb_t;

/* Images as built-in data (ui_images.h) ending with UI_BUTTON_DUMB_END,
 * filling views row by row (style 0 states 0..3, then style 1, ...); a null
 * entry leaves its slot empty; the first image sets w and h. Null when no
 * image is given. */
GtkWidget *ui_button_dumb_create(int style, ...);
/* One tile of 4 states across and styles rows down. Null for bad data or a
 * style count outside 1..9. */
GtkWidget *ui_button_dumb_create_from_tile(int style, int styles, const guint8 *data);

/* Callbacks: press (result of the press handler, TRUE without one), click
 * (release over the button, TRUE without one), release (release elsewhere,
 * FALSE without one). 0, or -22 for a widget that is not such a button.
 * While the button is blank the click callback is left as it was. */
int ui_button_dumb_cb_press(GtkWidget *widget, ui_button_dumb_cb_proc cb, gpointer data);
int ui_button_dumb_cb_click(GtkWidget *widget, ui_button_dumb_cb_proc cb, gpointer data);
int ui_button_dumb_cb_release(GtkWidget *widget, ui_button_dumb_cb_proc cb, gpointer data);

/* Getters return the value, setters the new value (redrawing on change);
 * -22 for a widget that is not such a button or a style outside 0..8. */
int ui_button_dumb_get_style(GtkWidget *widget);
int ui_button_dumb_set_style(GtkWidget *widget, int style);
int ui_button_dumb_get_blank(GtkWidget *widget);
int ui_button_dumb_set_blank(GtkWidget *widget, int blank);
/* Background painted under the image (colour name or #rrggbb); null
 * removes it. 0 or -22. */
int ui_button_dumb_bg_color(GtkWidget *widget, const char *color);
