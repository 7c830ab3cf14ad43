/* The subclip editor's time line: one clip drawn with cairo as a timecode
 * scale, the play pointer, the marked span, keyframes and a work-area bar
 * that zooms and scrolls. Reports seeks by signal; told everything else by
 * setters. Main thread only. */
#pragma once
#include <gtk/gtk.h>

G_BEGIN_DECLS

#define TIMELINE_SUBCLIP_TYPE (timeline_subclip_get_type())
#define TIMELINE_SUBCLIP(obj) G_TYPE_CHECK_INSTANCE_CAST((obj), TIMELINE_SUBCLIP_TYPE, TimelineSubclip)
#define TIMELINE_SUBCLIP_CLASS(klass) G_TYPE_CHECK_CLASS_CAST((klass), TIMELINE_SUBCLIP_TYPE, TimelineSubclipClass)
#define IS_TIMELINE_SUBCLIP(obj) G_TYPE_CHECK_INSTANCE_TYPE((obj), TIMELINE_SUBCLIP_TYPE)

typedef struct _TimelineSubclip TimelineSubclip;
typedef struct _TimelineSubclipClass TimelineSubclipClass;

/* All times are seconds of the clip. */
struct _TimelineSubclip
{
    GtkWidget widget;

    gfloat length;
    gfloat pos;
    gfloat pos_desired; /* under the pointer while it is dragged */
    gfloat mark_in, mark_out;
    gint want_width;
    gfloat wa_begin, wa_end; /* visible part, percent of length */
    gint drag_target;        /* 0 none, 1 left handle, 2 right handle, 3 bar, 4 pointer */
    gint last_mouse_x, last_mouse_y;
    gint f_preview; /* no marks, no shading */
    struct
    {
        gint cnt;
        gfloat *pos;
        gint *flag;
        gpointer *data;
    } keyframes;          /* owned copies, cnt entries each */
    gint timecode_offset; /* frames added to every label */
};

struct _TimelineSubclipClass
{
    GtkWidgetClass parent_class;

    void (*timeline_subclip_signal_pos_modified)(TimelineSubclip *ts, gfloat pos);
    void (*timeline_subclip_signal_key_selected1)(TimelineSubclip *ts, gpointer data);
    void (*timeline_subclip_signal_key_selected2)(TimelineSubclip *ts, gpointer data);
};

GType timeline_subclip_get_type(void);
GtkWidget *timeline_subclip_new(gint want_width, gfloat length, gfloat pos, gfloat mark_in, gfloat mark_out,
                                gfloat wa_begin, gfloat wa_end, gint f_preview);
void timeline_subclip_set_pos(TimelineSubclip *ts, gfloat pos);
void timeline_subclip_set_mark_in(TimelineSubclip *ts, gfloat mark_in);
void timeline_subclip_set_mark_out(TimelineSubclip *ts, gfloat mark_out);
void timeline_subclip_set_timecode_offset(TimelineSubclip *ts, gint timecode_offset);
/* f_keyframes below 0 keeps the keyframes; 0 or more replaces them. */
void timeline_subclip_set_layout(TimelineSubclip *ts, gint f_pos, gfloat pos, gint f_marks, gfloat mark_in,
                                 gfloat mark_out, gint f_keyframes, gfloat *keyframes_pos, gint *keyframes_flag,
                                 gpointer *keyframes_data);

G_END_DECLS
