/* The panel's clock: a drawing area painted with cairo as a rounded dark
 * face carrying a small title line and a large time line, both centred
 * (context under "ui_oled_timer_ctx"); and the rounded group frame. */
#pragma once
#include <gtk/gtk.h>

typedef struct ui_oled_timer_ctx_desc
{
    int width, height;
    GdkColor title_color;
    GdkColor background_color;
    GdkColor parent_color;
    GdkColor time_color;
    int title_height;
    int title_h_offset;
    int time_height;
    int time_h_offset;
    GtkWidget *self;
    char time_text[260];
    char title_text[260];
} ui_oled_timer_ctx_t;

/* Font family of both lines; fontconfig substitutes a similar sans face
 * when it is not installed. */
#define UI_OLED_FONT_FACE "Tahoma"

/* A new clock of width x height pixels. Colours are names or "#rrggbb"
 * texts (one that does not parse is black); the heights are font sizes,
 * the offsets baselines in pixels from the top. */
GtkWidget *ui_oled_timer_create(const char *background_color, const char *parent_color, int width, int height,
                                const char *title_color, int title_height, int title_h_offset, const char *time_color,
                                int time_height, int time_h_offset);
/* Set the time or title line (at most 259 characters) and queue a redraw of
 * the clock when the stored line changes; setting the text it already holds
 * does nothing. 0, or -22 when widget carries no clock context. */
int ui_oled_timer_set_time(GtkWidget *widget, const char *time_text);
int ui_oled_timer_set_title(GtkWidget *widget, const char *title_text);
/* The clock context of widget, or null (tests read the texts through it). */
ui_oled_timer_ctx_t *ui_oled_timer_ctx(GtkWidget *widget);

/* The group frame: an event box painting a face with corners of that radius
 * in color over its allocation, holding an inner box of that background
 * colour with a border of padding pixels around child. */
GtkWidget *ui_rounded_corners_box(GtkWidget *child, int radius, int padding, const char *color);
