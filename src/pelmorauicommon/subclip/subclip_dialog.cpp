/* The subclip editor dialog: layout, the tape-style controls and keys, the
 * marks and their entries, the subclip list, and closing. The player is
 * driven through the engine of subclip_player, so no server call runs on
 * the main loop. */
#include "subclip_dialog.h"

#include <gdk/gdkkeysyms.h>
#include <gtk/gtk.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "gdk_unlock.h"
#include "gtk_timeline_subclip.h"
#include "i18n.h"
#include "pelmora_io_preview.h"
#include "strl.h"
#include "subclip_player.h"
#include "timecode.h"
#include "ui_dlg.h"
#include "ui_images.h"
#include "ui_tools.h"

#define CTX_KEY "subclip_dialog_t"

namespace {

/* Rows shown at most; a longer list from a server is cut here, as only the
 * first SUBCLIP_LIST_MAX come back anyway. */
const int ROWS_SHOWN_MAX = 1024;
/* Longest clip taken at its word: a week. */
const double CLIP_SECONDS_MAX = 7 * 86400.0;

const ui_button_desc buttons[] = {
    {1, nullptr, nullptr, nullptr, "subclip_goto_markin", subclip_goto_markin},
    {2, nullptr, nullptr, nullptr, "subclip_goto_markout", subclip_goto_markout},
    {3, nullptr, nullptr, nullptr, "subclip_markin", subclip_markin},
    {4, nullptr, nullptr, nullptr, "subclip_markout", subclip_markout},
    {5, nullptr, nullptr, nullptr, "subclip_one_sec_minus", subclip_one_sec_minus},
    {6, nullptr, nullptr, nullptr, "subclip_one_sec_plus", subclip_one_sec_plus},
    {7, nullptr, nullptr, nullptr, "subclip_play", subclip_play},
    {8, nullptr, nullptr, nullptr, "subclip_pause", subclip_pause},
    {9, nullptr, nullptr, nullptr, "subclip_speed_down", subclip_speed_down},
    {10, nullptr, nullptr, nullptr, "subclip_speed_up", subclip_speed_up},
    {11, nullptr, nullptr, nullptr, "subclip_step_back", subclip_step_back},
    {12, nullptr, nullptr, nullptr, "subclip_step_forward", subclip_step_forward},
    {13, "Add as new subclip", nullptr, nullptr, "subclip_add", subclip_edit_new_image_inline},
    {14, "Save subclip", nullptr, nullptr, "subclip_save", subclip_edit_update_image_inline},
    {15, "Undo subclip", nullptr, nullptr, "subclip_undo", subclip_edit_undo_image_inline},
    {16, "Delete subclip", nullptr, nullptr, "subclip_delete", subclip_edit_delete_image_inline},
    {0, nullptr, nullptr, nullptr, nullptr, nullptr},
};

/* The widget each of the first twelve buttons becomes. */
const int button_entry[13] = {0,
                              ENTRY_GOTO_MARK_IN,
                              ENTRY_GOTO_MARK_OUT,
                              ENTRY_SET_MARK_IN,
                              ENTRY_SET_MARK_OUT,
                              ENTRY_CTL_ONE_SEC_MINUS,
                              ENTRY_CTL_ONE_SEC_PLUS,
                              ENTRY_CTL_PLAY,
                              ENTRY_CTL_PAUSE,
                              ENTRY_CTL_FAST_REV,
                              ENTRY_CTL_FAST_FWD,
                              ENTRY_CTL_STEP_REV,
                              ENTRY_CTL_STEP_FWD};

enum
{
    COL_IN,
    COL_OUT,
    COL_DUR,
    COL_TITLE,
    COL_REC,
    COL_BG_SET,
    COL_BG,
    COL_FG_SET,
    COL_FG,
    COL_LAST
};

const ui_column_desc library_subclips_columns[] = {
    {COL_IN, "IN", G_TYPE_STRING},       {COL_OUT, "OUT", G_TYPE_STRING},       {COL_DUR, "DUR", G_TYPE_STRING},
    {COL_TITLE, "TITLE", G_TYPE_STRING}, {COL_REC, nullptr, G_TYPE_POINTER},    {COL_BG_SET, nullptr, G_TYPE_BOOLEAN},
    {COL_BG, nullptr, G_TYPE_STRING},    {COL_FG_SET, nullptr, G_TYPE_BOOLEAN}, {COL_FG, nullptr, G_TYPE_STRING},
    {-1, nullptr, G_TYPE_NONE},
};

/* ---- Numbers: every sum and product is taken wide and held to int. ---- */

int clamp_int(int64_t v)
{
    return (int)(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v);
}

/* Seconds inside what a frame count of any rate can hold. */
double clamp_sec(double t)
{
    const double lim = INT32_MAX / 61.0;
    if (!isfinite(t))
        return 0;
    return t < -lim ? -lim : t > lim ? lim : t;
}

double clip_sec(const subclip_dialog_t *ctx, int64_t f)
{
    return clamp_sec((double)f * ctx->tb_num / ctx->tb_den);
}

int clip_frames_at(const subclip_dialog_t *ctx, double sec)
{
    return tc_sec2frames_tb(clamp_sec(sec), ctx->tb_num, ctx->tb_den);
}

int mode_frames(double sec)
{
    return tc_sec2frames(clamp_sec(sec));
}

std::string tc_text(int64_t n)
{
    char buf[TC_TEXT_SIZE];
    tc_frames2tc(clamp_int(n), buf);
    return buf;
}

/* The three ways a clip frame is shown (they agree when the clip's rate is
 * the mode's): A converts the frame and adds the start, B converts the
 * frame plus the start, C adds the start without conversion. */
std::string form_a(const subclip_dialog_t *ctx, int f)
{
    return tc_text((int64_t)mode_frames(clip_sec(ctx, f)) + ctx->timecode);
}

std::string form_b(const subclip_dialog_t *ctx, int f)
{
    return tc_text(mode_frames(clip_sec(ctx, (int64_t)f + ctx->timecode)));
}

std::string form_c(const subclip_dialog_t *ctx, int f)
{
    return tc_text((int64_t)f + ctx->timecode);
}

int out_point(const pelmora_lib_subclip_t *s)
{
    return clamp_int((int64_t)s->mark_in + s->duration - 1);
}

/* Text from outside as GTK takes it. */
std::string utf8(const char *s, size_t max)
{
    std::string t(s, strnlen(s, max));
    if (g_utf8_validate(t.c_str(), (gssize)t.size(), nullptr))
        return t;
    gchar *v = g_utf8_make_valid(t.c_str(), (gssize)t.size());
    std::string r(v);
    g_free(v);
    return r;
}

/* Start timecode text of an item: HH:MM:SS:FF or shorter, fields of at
 * most three digits, or 0. */
int item_timecode(const pelmora_lib_item_t *item)
{
    const char *t = item->timecode;
    size_t n = strnlen(t, sizeof(item->timecode));
    if (n == 0 || n == sizeof(item->timecode))
        return 0;
    int run = 0;
    for (size_t i = 0; i < n; i++) {
        if (t[i] >= '0' && t[i] <= '9') {
            if (++run > 3)
                return 0;
        } else if (t[i] == ':' || t[i] == ';' || t[i] == '.') {
            run = 0;
        } else {
            return 0;
        }
    }
    int f = tc_tc2frames(t);
    return f < 0 ? 0 : f;
}

/* ---- Player ---- */

GtkWidget *timeline(subclip_dialog_t *ctx)
{
    return ctx->entries[ENTRY_TIMELINE];
}

void focus_timeline(subclip_dialog_t *ctx)
{
    if (timeline(ctx))
        gtk_widget_grab_focus(timeline(ctx));
}

void notice(subclip_dialog_t *ctx, const char *text)
{
    if (ctx->notice)
        gtk_label_set_text(GTK_LABEL(ctx->notice), text ? text : "");
    ctx->notice_typed = 0;
}

void send(subclip_dialog_t *ctx, subclip_player_op_t op, int i = 0, double d = 0)
{
    if (!ctx->player)
        return;
    int r = subclip_player_send(ctx->player, op, i, 0, d, nullptr);
    if (r == -16) {
        char text[600];
        snprintf(text, sizeof(text), _("The player %s has not answered yet: %s not sent."), ctx->srv->host,
                 subclip_player_op_name(op));
        notice(ctx, text);
    }
}

void seek(subclip_dialog_t *ctx, int64_t f)
{
    send(ctx, SUBCLIP_OP_SEEK, clamp_int(f));
}

void play_at(subclip_dialog_t *ctx, double speed)
{
    send(ctx, SUBCLIP_OP_PLAY_VARI, 0, speed);
}

int pos_now(subclip_dialog_t *ctx)
{
    return ctx->status.clip_pos;
}

void fast_fwd(subclip_dialog_t *ctx)
{
    double s = ctx->status.playlist_speed;
    if (s == 0)
        play_at(ctx, 0.25);
    else if (s < 0)
        play_at(ctx, 0);
    else if (s < 64)
        play_at(ctx, 2 * s);
}

void fast_rev(subclip_dialog_t *ctx)
{
    double s = ctx->status.playlist_speed;
    if (s == 0)
        play_at(ctx, -0.25);
    else if (s > 0)
        play_at(ctx, 0);
    else if (s > -64)
        play_at(ctx, 2 * s);
}

void hook_status(void *cookie, const pelmora_status_t *s)
{
    subclip_dialog_t *ctx = (subclip_dialog_t *)cookie;
    if (!ctx->dialog)
        return;
    ctx->status = *s;
    ctx->status_here = 1;
    char speed[64];
    snprintf(speed, sizeof(speed), "%.2fX", isfinite(s->playlist_speed) ? s->playlist_speed : 0.0);
    gtk_label_set_text(GTK_LABEL(ctx->entries[ENTRY_SPEED]), speed);
    timeline_subclip_set_pos(TIMELINE_SUBCLIP(timeline(ctx)), (gfloat)clip_sec(ctx, s->clip_pos));
    gtk_entry_set_text(GTK_ENTRY(ctx->entries[ENTRY_CURR]), form_a(ctx, s->clip_pos).c_str());
}

void hook_trouble(void *cookie, int down, int down_r, int failed_op, int failed_r)
{
    subclip_dialog_t *ctx = (subclip_dialog_t *)cookie;
    if (!ctx->dialog)
        return;
    char text[600] = "";
    if (down)
        snprintf(text, sizeof(text), _("The player %s does not answer (%d)."), ctx->srv->host, down_r);
    else if (failed_op >= 0)
        snprintf(text, sizeof(text), _("%s failed on the player %s (%d)."), subclip_player_op_name(failed_op),
                 ctx->srv->host, failed_r);
    notice(ctx, text);
}

/* ---- Marks ---- */

GtkEntry *entry(subclip_dialog_t *ctx, int idx)
{
    return ctx->entries[idx] ? GTK_ENTRY(ctx->entries[idx]) : nullptr;
}

void show_mark_in(subclip_dialog_t *ctx, bool a_form)
{
    pelmora_lib_subclip_t *s = ctx->subclip;
    timeline_subclip_set_mark_in(TIMELINE_SUBCLIP(timeline(ctx)), (gfloat)clip_sec(ctx, s->mark_in));
    if (GtkEntry *e = entry(ctx, ENTRY_MARK_IN))
        gtk_entry_set_text(e, (a_form ? form_a(ctx, s->mark_in) : form_b(ctx, s->mark_in)).c_str());
}

void show_mark_out(subclip_dialog_t *ctx, bool a_form)
{
    int out = out_point(ctx->subclip);
    timeline_subclip_set_mark_out(TIMELINE_SUBCLIP(timeline(ctx)), (gfloat)clip_sec(ctx, out));
    if (GtkEntry *e = entry(ctx, ENTRY_MARK_OUT))
        gtk_entry_set_text(e, (a_form ? form_a(ctx, out) : form_b(ctx, out)).c_str());
}

/* The in point moves, the out point stays (the duration may go to zero or
 * below when the in point passes it). */
void move_mark_in(subclip_dialog_t *ctx, int in)
{
    pelmora_lib_subclip_t *s = ctx->subclip;
    s->duration = clamp_int((int64_t)s->mark_in + s->duration - in);
    s->mark_in = in;
}

void set_mark_in(subclip_dialog_t *ctx)
{
    ctx->f_dirty++;
    move_mark_in(ctx, pos_now(ctx));
    show_mark_in(ctx, false);
}

void set_mark_out(subclip_dialog_t *ctx)
{
    ctx->f_dirty++;
    ctx->subclip->duration = clamp_int((int64_t)pos_now(ctx) - ctx->subclip->mark_in + 1);
    show_mark_out(ctx, false);
}

void refresh_marks(subclip_dialog_t *ctx)
{
    show_mark_in(ctx, false);
    show_mark_out(ctx, false);
}

/* Says in the editor why a typed position was not taken; the entry keeps
 * the text, selected, to be typed over. */
void refuse_typed(subclip_dialog_t *ctx, GtkEntry *e, const char *why)
{
    notice(ctx, why);
    ctx->notice_typed = 1;
    gtk_editable_select_region(GTK_EDITABLE(e), 0, -1);
}

/* A position taken: a refusal said before goes (not what the player said). */
void typed_taken(subclip_dialog_t *ctx)
{
    if (ctx->notice_typed)
        notice(ctx, "");
}

/* A typed position in clip frames: 1, or 0 for a text without digits
 * (ignored), or -1 for a position outside the clip (refused on the notice
 * line). A clip of unknown length has no end to check against. */
int typed(subclip_dialog_t *ctx, GtkEntry *e, int *f)
{
    int v = tc_txt2frames2(gtk_entry_get_text(e));
    if (v < 0)
        return 0;
    *f = clamp_int((int64_t)v - ctx->timecode);
    if (*f >= 0 && (ctx->clip_frames <= 0 || *f < ctx->clip_frames))
        return 1;
    char text[400];
    if (ctx->clip_frames > 0)
        snprintf(text, sizeof(text), _("%s lies outside the clip (%s to %s): not taken."), gtk_entry_get_text(e),
                 form_b(ctx, 0).c_str(), form_b(ctx, ctx->clip_frames - 1).c_str());
    else
        snprintf(text, sizeof(text), _("%s lies before the clip's start %s: not taken."), gtk_entry_get_text(e),
                 form_b(ctx, 0).c_str());
    refuse_typed(ctx, e, text);
    return -1;
}

void on_mark_in_activate(GtkEntry *e, gpointer data)
{
    subclip_dialog_t *ctx = (subclip_dialog_t *)data;
    int f;
    if (typed(ctx, e, &f) <= 0)
        return;
    typed_taken(ctx);
    ctx->f_dirty++;
    move_mark_in(ctx, f);
    show_mark_in(ctx, false);
    gtk_editable_select_region(GTK_EDITABLE(e), 0, -1);
    focus_timeline(ctx);
}

void on_mark_out_activate(GtkEntry *e, gpointer data)
{
    subclip_dialog_t *ctx = (subclip_dialog_t *)data;
    int f;
    if (typed(ctx, e, &f) <= 0)
        return;
    if (f < ctx->subclip->mark_in) {
        char text[400];
        snprintf(text, sizeof(text), _("%s lies before the in point %s: not taken."), gtk_entry_get_text(e),
                 form_b(ctx, ctx->subclip->mark_in).c_str());
        refuse_typed(ctx, e, text);
        return;
    }
    typed_taken(ctx);
    ctx->f_dirty++;
    ctx->subclip->duration = clamp_int((int64_t)f - ctx->subclip->mark_in + 1);
    show_mark_out(ctx, false);
    gtk_editable_select_region(GTK_EDITABLE(e), 0, -1);
    focus_timeline(ctx);
}

void on_curr_activate(GtkEntry *e, gpointer data)
{
    subclip_dialog_t *ctx = (subclip_dialog_t *)data;
    int f;
    int t = typed(ctx, e, &f);
    if (t < 0)
        return; /* stays to be typed over */
    if (t > 0) {
        typed_taken(ctx);
        seek(ctx, f);
    }
    focus_timeline(ctx);
}

void on_title_activate(GtkEntry *e, gpointer data)
{
    gtk_editable_select_region(GTK_EDITABLE(e), 0, -1);
    focus_timeline((subclip_dialog_t *)data);
}

/* Leaving an entry without Enter puts back what holds. */
gboolean on_entry_focus_out(GtkWidget *w, GdkEventFocus *, gpointer data)
{
    subclip_dialog_t *ctx = (subclip_dialog_t *)data;
    if (w == ctx->entries[ENTRY_MARK_IN])
        gtk_entry_set_text(GTK_ENTRY(w), form_b(ctx, ctx->subclip->mark_in).c_str());
    else if (w == ctx->entries[ENTRY_MARK_OUT])
        gtk_entry_set_text(GTK_ENTRY(w), form_b(ctx, out_point(ctx->subclip)).c_str());
    else if (w == ctx->entries[ENTRY_CURR])
        gtk_entry_set_text(GTK_ENTRY(w), form_b(ctx, pos_now(ctx)).c_str());
    return FALSE;
}

void on_timeline_seek(TimelineSubclip *, gfloat sec, gpointer data)
{
    subclip_dialog_t *ctx = (subclip_dialog_t *)data;
    seek(ctx, clip_frames_at(ctx, sec));
}

/* ---- The list ---- */

GtkListStore *store(subclip_dialog_t *ctx)
{
    return ctx->rows;
}

void row_show(subclip_dialog_t *ctx, GtkTreeIter *it, pelmora_lib_subclip_t *rec)
{
    gtk_list_store_set(store(ctx), it, COL_IN, form_c(ctx, rec->mark_in).c_str(), COL_OUT,
                       form_c(ctx, out_point(rec)).c_str(), COL_DUR, tc_text(rec->duration).c_str(), COL_TITLE,
                       utf8(rec->title, sizeof(rec->title)).c_str(), COL_REC, rec, COL_BG_SET, FALSE, COL_BG, "red",
                       -1);
}

int rows(subclip_dialog_t *ctx)
{
    return gtk_tree_model_iter_n_children(GTK_TREE_MODEL(store(ctx)), nullptr);
}

pelmora_lib_subclip_t *row_rec(subclip_dialog_t *ctx, GtkTreeIter *it)
{
    gpointer p = nullptr;
    gtk_tree_model_get(GTK_TREE_MODEL(store(ctx)), it, COL_REC, &p, -1);
    return (pelmora_lib_subclip_t *)p;
}

bool row_of_idx(subclip_dialog_t *ctx, int idx, GtkTreeIter *it)
{
    GtkTreeModel *m = GTK_TREE_MODEL(store(ctx));
    for (gboolean ok = gtk_tree_model_get_iter_first(m, it); ok; ok = gtk_tree_model_iter_next(m, it))
        if (pelmora_lib_subclip_t *r = row_rec(ctx, it))
            if (r->idx == idx)
                return true;
    return false;
}

/* The current subclip's marks and title become what Save compares with. */
void remember(subclip_dialog_t *ctx)
{
    ctx->base = *ctx->subclip;
    if (GtkEntry *e = entry(ctx, ENTRY_TITLE))
        strlcpy(ctx->base.title, gtk_entry_get_text(e), sizeof(ctx->base.title));
}

/* Marks or title differ from what was opened, added, stored or loaded. */
bool changed(subclip_dialog_t *ctx)
{
    const pelmora_lib_subclip_t *s = ctx->subclip;
    if (s->mark_in != ctx->base.mark_in || s->duration != ctx->base.duration)
        return true;
    GtkEntry *e = entry(ctx, ENTRY_TITLE);
    return e && strncmp(gtk_entry_get_text(e), ctx->base.title, sizeof(ctx->base.title) - 1) != 0;
}

/* A copy of the current subclip titled from the TITLE entry. */
pelmora_lib_subclip_t *current_copy(subclip_dialog_t *ctx)
{
    pelmora_lib_subclip_t *r = (pelmora_lib_subclip_t *)malloc(sizeof(*r));
    if (!r)
        return nullptr;
    *r = *ctx->subclip;
    if (GtkEntry *e = entry(ctx, ENTRY_TITLE))
        strlcpy(r->title, gtk_entry_get_text(e), sizeof(r->title));
    return r;
}

/* A subclip whose out point lies before its in point cannot be kept by a
 * library server: refused here rather than lose the whole list there. */
bool storable(subclip_dialog_t *ctx)
{
    if (ctx->subclip->duration > 0)
        return true;
    notice(ctx, _("The out point lies before the in point: the subclip was not stored."));
    return false;
}

bool list_add(subclip_dialog_t *ctx)
{
    if (rows(ctx) >= SUBCLIP_LIST_MAX) {
        char text[300];
        snprintf(text, sizeof(text), _("A clip keeps at most %d subclips: not added."), SUBCLIP_LIST_MAX);
        notice(ctx, text);
        return false;
    }
    if (!storable(ctx))
        return false;
    pelmora_lib_subclip_t *r = current_copy(ctx);
    if (!r)
        return false;
    r->idx = ctx->subclips_cnt++;
    GtkTreeIter it;
    gtk_list_store_append(store(ctx), &it);
    row_show(ctx, &it, r);
    ctx->subclip->idx = -1;
    ctx->subclips_dirty++;
    ctx->f_dirty = 0;
    remember(ctx);
    focus_timeline(ctx);
    return true;
}

/* Shows a subclip and puts the player on its in point. */
void load_subclip(subclip_dialog_t *ctx)
{
    pelmora_lib_subclip_t *s = ctx->subclip;
    if (GtkEntry *e = entry(ctx, ENTRY_TITLE))
        gtk_entry_set_text(e, utf8(s->title, sizeof(s->title)).c_str());
    show_mark_in(ctx, true);
    show_mark_out(ctx, true);
    seek(ctx, s->mark_in);
}

/* The row's record into the current subclip; the caller's item stays. */
void take_row(subclip_dialog_t *ctx, const pelmora_lib_subclip_t *r)
{
    pelmora_lib_item_t *parent = ctx->subclip->parent;
    *ctx->subclip = *r;
    ctx->subclip->parent = parent;
}

bool list_save(subclip_dialog_t *ctx)
{
    GtkTreeIter it;
    if (ctx->subclip->idx < 0 || !row_of_idx(ctx, ctx->subclip->idx, &it)) {
        /* Free, or its row was deleted: stored as a new row. */
        return list_add(ctx);
    }
    if (!storable(ctx))
        return false;
    pelmora_lib_subclip_t *r = current_copy(ctx);
    if (!r)
        return false;
    free(row_rec(ctx, &it));
    row_show(ctx, &it, r);
    ctx->subclips_dirty++;
    ctx->f_dirty = 0;
    remember(ctx);
    return true;
}

void list_undo(subclip_dialog_t *ctx)
{
    GtkTreeIter it;
    if (ctx->subclip->idx < 0 || !row_of_idx(ctx, ctx->subclip->idx, &it))
        return;
    take_row(ctx, row_rec(ctx, &it));
    ctx->f_dirty = 0;
    load_subclip(ctx);
    remember(ctx);
    ctx->subclips_dirty++;
}

void list_delete(subclip_dialog_t *ctx)
{
    GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(ctx->entries[ENTRY_SUBCLIPS_LIST]));
    GtkTreeModel *m = GTK_TREE_MODEL(store(ctx));
    GList *paths = gtk_tree_selection_get_selected_rows(sel, nullptr);
    /* From the last, so the paths before stay valid. */
    paths = g_list_reverse(paths);
    for (GList *l = paths; l; l = l->next) {
        GtkTreeIter it;
        if (!gtk_tree_model_get_iter(m, &it, (GtkTreePath *)l->data))
            continue;
        pelmora_lib_subclip_t *r = row_rec(ctx, &it);
        if (r && r->idx == ctx->subclip->idx)
            ctx->subclip->idx = -1;
        gtk_list_store_remove(store(ctx), &it);
        free(r);
    }
    g_list_free_full(paths, (GDestroyNotify)gtk_tree_path_free);
    ctx->subclips_dirty++;
}

void on_row_activated(GtkTreeView *, GtkTreePath *path, GtkTreeViewColumn *, gpointer data)
{
    subclip_dialog_t *ctx = (subclip_dialog_t *)data;
    GtkTreeIter it;
    if (!gtk_tree_model_get_iter(GTK_TREE_MODEL(store(ctx)), &it, path))
        return;
    if (pelmora_lib_subclip_t *r = row_rec(ctx, &it)) {
        take_row(ctx, r);
        ctx->f_dirty = 0;
        load_subclip(ctx);
        remember(ctx);
        focus_timeline(ctx);
    }
}

/* ---- Buttons and keys ---- */

void on_button(GtkButton *b, gpointer data)
{
    subclip_dialog_t *ctx = (subclip_dialog_t *)data;
    const ui_button_desc *d = (const ui_button_desc *)g_object_get_data(G_OBJECT(b), "ui_button_desc_t");
    if (!d)
        return;
    int p = pos_now(ctx);
    switch (d->id) {
    case 1:
        seek(ctx, ctx->subclip->mark_in);
        break;
    case 2:
        seek(ctx, out_point(ctx->subclip));
        break;
    case 3:
        set_mark_in(ctx);
        break;
    case 4:
        set_mark_out(ctx);
        break;
    case 5:
        seek(ctx, (int64_t)p - 25);
        break;
    case 6:
        seek(ctx, (int64_t)p + 25);
        break;
    case 7:
        send(ctx, SUBCLIP_OP_PLAY);
        break;
    case 8:
        send(ctx, SUBCLIP_OP_PAUSE);
        break;
    case 9:
        fast_rev(ctx);
        break;
    case 10:
        fast_fwd(ctx);
        break;
    case 11:
        seek(ctx, (int64_t)p - 1);
        break;
    case 12:
        seek(ctx, (int64_t)p + 1);
        break;
    case 13:
        list_add(ctx);
        break;
    case 14:
        list_save(ctx);
        break;
    case 15:
        list_undo(ctx);
        break;
    case 16:
        list_delete(ctx);
        break;
    default:
        break;
    }
}

bool is_typing(subclip_dialog_t *ctx)
{
    GtkWidget *f = gtk_window_get_focus(GTK_WINDOW(ctx->dialog));
    if (!f)
        return false;
    for (int i : {ENTRY_MARK_IN, ENTRY_MARK_OUT, ENTRY_CURR, ENTRY_TITLE})
        if (f == ctx->entries[i])
            return true;
    return false;
}

/* The tape-style keys; they reach us before the widget with the focus. */
gboolean on_key(GtkWidget *, GdkEventKey *ev, gpointer data)
{
    subclip_dialog_t *ctx = (subclip_dialog_t *)data;
    if (ev->keyval == GDK_Escape) {
        focus_timeline(ctx);
        return TRUE; /* never closes the dialog */
    }
    if (is_typing(ctx))
        return FALSE;
    bool ed = !ctx->f_ro;
    guint key = gdk_keyval_to_lower(ev->keyval);
    int p = pos_now(ctx);
    pelmora_lib_subclip_t *s = ctx->subclip;
    if (!(ev->state & GDK_SHIFT_MASK)) {
        switch (key) {
        case GDK_space:
            play_at(ctx, ctx->status.playlist_speed != 0 ? 0 : 1);
            return TRUE;
        case GDK_6:
            play_at(ctx, 0);
            seek(ctx, s->mark_in);
            play_at(ctx, 1);
            return TRUE;
        case GDK_bracketleft:
            if (ed)
                seek(ctx, s->mark_in);
            return TRUE;
        case GDK_bracketright:
            if (ed)
                seek(ctx, out_point(s));
            return TRUE;
        case GDK_d:
        case GDK_f:
        case GDK_g:
            if (ed) {
                ctx->f_dirty++;
                if (key != GDK_f)
                    s->mark_in = 0;
                if (key != GDK_d)
                    s->duration = ctx->clip_frames;
                refresh_marks(ctx);
            }
            return TRUE;
        case GDK_i:
            if (ed)
                set_mark_in(ctx);
            return TRUE;
        case GDK_j:
            fast_rev(ctx);
            return TRUE;
        case GDK_k:
            play_at(ctx, 0);
            return TRUE;
        case GDK_l:
            fast_fwd(ctx);
            return TRUE;
        case GDK_o:
            if (ed)
                set_mark_out(ctx);
            return TRUE;
        case GDK_Home:
        case GDK_End:
            play_at(ctx, 0);
            seek(ctx, key == GDK_Home ? s->mark_in : out_point(s));
            return TRUE;
        case GDK_Left:
        case GDK_Right:
            play_at(ctx, 0);
            seek(ctx, (int64_t)p + (key == GDK_Left ? -1 : 1));
            return TRUE;
        case GDK_Page_Up:
        case GDK_Page_Down:
            play_at(ctx, 0);
            seek(ctx, (int64_t)p + (key == GDK_Page_Up ? -25 : 25));
            return TRUE;
        default:
            break;
        }
    }
    if ((ev->state & GDK_CONTROL_MASK) && ctx->entries[ENTRY_SUBCLIPS_LIST]) {
        switch (key) {
        case GDK_s:
            list_save(ctx);
            return TRUE;
        case GDK_z:
            list_undo(ctx); /* a free subclip has nothing to go back to */
            return TRUE;
        case GDK_n:
            list_add(ctx);
            return TRUE;
        default:
            break;
        }
    }
    if ((ev->state & GDK_SHIFT_MASK) && (key == GDK_i || key == GDK_o)) {
        play_at(ctx, 0);
        seek(ctx, key == GDK_i ? s->mark_in : out_point(s));
        return TRUE;
    }
    return FALSE;
}

gboolean on_background_press(GtkWidget *, GdkEventButton *, gpointer data)
{
    focus_timeline((subclip_dialog_t *)data);
    return FALSE;
}

/* ---- Building ---- */

GtkWidget *button(subclip_dialog_t *ctx, int id, int width, bool connect)
{
    const ui_button_desc *d = ui_button_lookup(buttons, id);
    GtkWidget *b = ui_create_button_image(d);
    gtk_widget_set_size_request(b, width, 30);
    g_object_set_data(G_OBJECT(ctx->dialog), d->hookup, b);
    if (id <= 12)
        ctx->entries[button_entry[id]] = b;
    if (connect)
        g_signal_connect(b, "clicked", G_CALLBACK(on_button), ctx);
    return b;
}

GtkWidget *mark_entry(subclip_dialog_t *ctx, int idx)
{
    GtkWidget *e = gtk_entry_new();
    gtk_entry_set_max_length(GTK_ENTRY(e), 12);
    gtk_entry_set_width_chars(GTK_ENTRY(e), 12);
    gtk_entry_set_alignment(GTK_ENTRY(e), 0.5f);
    ctx->entries[idx] = e;
    return e;
}

GtkWidget *column(const char *title, GtkWidget *e, GtkWidget *below)
{
    GtkWidget *v = gtk_vbox_new(FALSE, 2);
    gtk_box_pack_start(GTK_BOX(v), gtk_label_new(title), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(v), e, FALSE, FALSE, 0);
    GtkWidget *a = gtk_alignment_new(0.5f, 0.5f, 0, 0);
    gtk_container_add(GTK_CONTAINER(a), below);
    gtk_box_pack_start(GTK_BOX(v), a, FALSE, FALSE, 0);
    return v;
}

GtkWidget *centred(GtkWidget *w)
{
    GtkWidget *a = gtk_alignment_new(0.5f, 0.5f, 0, 0);
    gtk_container_add(GTK_CONTAINER(a), w);
    return a;
}

void build(subclip_dialog_t *ctx, GtkWidget *content, bool with_list)
{
    bool ed = !ctx->f_ro;
    pelmora_lib_subclip_t *s = ctx->subclip;

    /* The preview: the player's host, and its port in the source name. */
    std::string host(ctx->srv->host);
    size_t colon = host.find(':');
    std::string ip = host.substr(0, colon);
    std::string name = "PelmoraIO_" + (colon == std::string::npos ? std::string() : host.substr(colon + 1));
    GtkWidget *prv_row = gtk_hbox_new(FALSE, 0);
    gtk_box_pack_start(GTK_BOX(prv_row), gtk_label_new(""), TRUE, TRUE, 0);
    if (GtkWidget *prv = pelmora_io_preview_create(ip.c_str(), name.c_str(), 480, 270))
        gtk_box_pack_start(GTK_BOX(prv_row), prv, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(prv_row), gtk_label_new(""), TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(content), prv_row, FALSE, FALSE, 0);

    GtkWidget *marks = gtk_hbox_new(FALSE, 0);
    if (ed)
        gtk_box_pack_start(GTK_BOX(marks),
                           column(_("MARK IN"), mark_entry(ctx, ENTRY_MARK_IN), button(ctx, 9, 60, true)), FALSE, FALSE,
                           0);
    else
        gtk_box_pack_start(GTK_BOX(marks), gtk_label_new(""), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(marks), gtk_label_new("   "), FALSE, FALSE, 0);
    ctx->entries[ENTRY_SPEED] = gtk_label_new("0.0X");
    gtk_box_pack_start(GTK_BOX(marks), column(_("CURRENT"), mark_entry(ctx, ENTRY_CURR), ctx->entries[ENTRY_SPEED]),
                       FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(marks), gtk_label_new("   "), FALSE, FALSE, 0);
    if (ed)
        gtk_box_pack_start(GTK_BOX(marks),
                           column(_("MARK OUT"), mark_entry(ctx, ENTRY_MARK_OUT), button(ctx, 10, 60, true)), FALSE,
                           FALSE, 0);
    else
        gtk_box_pack_start(GTK_BOX(marks), gtk_label_new(""), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(content), centred(marks), FALSE, FALSE, 0);

    GtkWidget *tl =
        timeline_subclip_new(800, (gfloat)ctx->clip_len, (gfloat)clip_sec(ctx, s->mark_in),
                             (gfloat)clip_sec(ctx, s->mark_in), (gfloat)clip_sec(ctx, out_point(s)), 0, 100, ctx->f_ro);
    timeline_subclip_set_timecode_offset(TIMELINE_SUBCLIP(tl), ctx->timecode);
    gtk_widget_set_can_focus(tl, TRUE);
    ctx->entries[ENTRY_TIMELINE] = tl;
    g_signal_connect(tl, "timeline_subclip_signal_pos_modified", G_CALLBACK(on_timeline_seek), ctx);
    gtk_box_pack_start(GTK_BOX(content), centred(tl), FALSE, FALSE, 0);

    GtkWidget *transport = gtk_hbox_new(FALSE, 2);
    const int order[] = {5, 3, 1, 11, 8, 7, 12, 2, 4, 6};
    for (int id : order) {
        if (!ed && (id == 1 || id == 2 || id == 3 || id == 4))
            continue;
        gtk_box_pack_start(GTK_BOX(transport), button(ctx, id, 50, true), FALSE, FALSE, 0);
    }
    gtk_box_pack_start(GTK_BOX(content), centred(transport), FALSE, FALSE, 0);

    /* What goes wrong with the player is said here, not in a box in the
     * way of the picture. */
    ctx->notice = gtk_label_new("");
    GdkColor red;
    gdk_color_parse("#c00000", &red);
    gtk_widget_modify_fg(ctx->notice, GTK_STATE_NORMAL, &red);
    gtk_box_pack_start(GTK_BOX(content), ctx->notice, FALSE, FALSE, 0);

    if (ed) {
        GtkWidget *row = gtk_hbox_new(FALSE, 2);
        gtk_box_pack_start(GTK_BOX(row), gtk_label_new(_("Title: ")), FALSE, FALSE, 0);
        GtkWidget *title = gtk_entry_new();
        gtk_entry_set_max_length(GTK_ENTRY(title), 260);
        gtk_entry_set_text(GTK_ENTRY(title), utf8(s->title, sizeof(s->title)).c_str());
        ctx->entries[ENTRY_TITLE] = title;
        gtk_box_pack_start(GTK_BOX(row), title, TRUE, TRUE, 0);
        if (with_list)
            for (int id = 13; id <= 16; id++)
                gtk_box_pack_start(GTK_BOX(row), button(ctx, id, 50, true), FALSE, FALSE, 0);
        gtk_box_pack_start(GTK_BOX(content), row, FALSE, FALSE, 0);
        show_mark_in(ctx, true);
        show_mark_out(ctx, true);
    }

    if (with_list) {
        GtkWidget *view = ui_create_treeview_list(nullptr, "subclips", library_subclips_columns);
        ctx->entries[ENTRY_SUBCLIPS_LIST] = view;
        /* The rows outlive a dialog destroyed from outside: their records
         * are handed back or freed at the end. */
        ctx->rows = GTK_LIST_STORE(g_object_ref(gtk_tree_view_get_model(GTK_TREE_VIEW(view))));
        GtkWidget *sw = gtk_scrolled_window_new(nullptr, nullptr);
        gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(sw), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
        gtk_widget_set_size_request(sw, -1, 400);
        gtk_container_add(GTK_CONTAINER(sw), view);
        gtk_box_pack_start(GTK_BOX(content), sw, TRUE, TRUE, 0);
        g_signal_connect(view, "row-activated", G_CALLBACK(on_row_activated), ctx);
    }
}

/* One row per subclip of the list, each a copy keeping its own number. */
void fill_list(subclip_dialog_t *ctx)
{
    int n = 0;
    for (pelmora_lib_subclip_t **p = ctx->subclips; p && *p; p++, n++) {
        if (n >= ROWS_SHOWN_MAX) {
            g_warning("%s: list cut at %d rows", "subclip_dialog", ROWS_SHOWN_MAX);
            break;
        }
        pelmora_lib_subclip_t *r = (pelmora_lib_subclip_t *)malloc(sizeof(*r));
        if (!r)
            break;
        *r = **p;
        r->title[sizeof(r->title) - 1] = 0;
        GtkTreeIter it;
        gtk_list_store_append(store(ctx), &it);
        row_show(ctx, &it, r);
        if (ctx->subclip->idx >= 0 && r->idx == ctx->subclip->idx) {
            GtkTreePath *path = gtk_tree_model_get_path(GTK_TREE_MODEL(store(ctx)), &it);
            GtkTreeView *v = GTK_TREE_VIEW(ctx->entries[ENTRY_SUBCLIPS_LIST]);
            gtk_tree_view_set_cursor(v, path, nullptr, FALSE);
            gtk_tree_selection_select_path(gtk_tree_view_get_selection(v), path);
            gtk_tree_path_free(path);
        }
    }
    ctx->subclips_cnt = rows(ctx);
    if (n > SUBCLIP_LIST_MAX) {
        char text[300];
        snprintf(text, sizeof(text), _("Only the first %d subclips are kept."), SUBCLIP_LIST_MAX);
        notice(ctx, text);
    }
}

/* The rows, in their order, become the caller's new list; the rows are
 * emptied. A record of the old list that is the subclip being edited is
 * not freed under the caller. */
void hand_back_list(subclip_dialog_t *ctx, pelmora_lib_subclip_t ***psubclips)
{
    if (*psubclips) {
        bool shared = false;
        for (pelmora_lib_subclip_t **p = *psubclips; *p; p++)
            if (*p == ctx->subclip) {
                *p = (pelmora_lib_subclip_t *)malloc(sizeof(pelmora_lib_subclip_t));
                if (*p)
                    **p = *ctx->subclip;
                shared = true;
            }
        if (shared)
            g_warning("%s: the subclip edited was a record of the list", "subclip_dialog");
        /* A record that could not be copied ended the list there. */
        pelmora_lib_list_subclips_free(psubclips);
    }
    GtkTreeModel *m = GTK_TREE_MODEL(store(ctx));
    int n = rows(ctx);
    int keep = n < SUBCLIP_LIST_MAX ? n : SUBCLIP_LIST_MAX;
    pelmora_lib_subclip_t **list = (pelmora_lib_subclip_t **)calloc((size_t)keep + 1, sizeof(*list));
    int k = 0;
    GtkTreeIter it;
    for (gboolean ok = gtk_tree_model_get_iter_first(m, &it); ok; ok = gtk_tree_model_iter_next(m, &it)) {
        pelmora_lib_subclip_t *r = row_rec(ctx, &it);
        if (!r)
            continue;
        if (list && k < keep)
            list[k++] = r;
        else
            free(r);
        gtk_list_store_set(GTK_LIST_STORE(m), &it, COL_REC, nullptr, -1);
    }
    gtk_list_store_clear(GTK_LIST_STORE(m));
    *psubclips = list;
}

/* Rows still holding records when the dialog goes without handing back. */
void free_rows(subclip_dialog_t *ctx)
{
    GtkTreeModel *m = GTK_TREE_MODEL(store(ctx));
    GtkTreeIter it;
    for (gboolean ok = gtk_tree_model_get_iter_first(m, &it); ok; ok = gtk_tree_model_iter_next(m, &it))
        free(row_rec(ctx, &it));
    gtk_list_store_clear(GTK_LIST_STORE(m));
}

void on_dialog_destroy(GtkWidget *, gpointer data)
{
    subclip_dialog_t *ctx = (subclip_dialog_t *)data;
    ctx->dialog = nullptr;
}

} // namespace

int subclip_dialog(GtkWidget *window, srv_t *srv, pelmora_lib_subclip_t *subclip, int timecode, int f_ro,
                   pelmora_lib_subclip_t ***psubclips)
{
    if (!srv || !subclip || !subclip->parent)
        return -22;
    pelmora_lib_item_t *item = subclip->parent;
    int T = timecode >= 0 ? timecode : item_timecode(item);
    fprintf(stderr, "%s:%d timecode=%d\n", __func__, __LINE__, T);

    subclip_dialog_t *ctx = (subclip_dialog_t *)g_malloc0(sizeof(*ctx));
    ctx->f_ro = f_ro;
    ctx->timecode = T;
    ctx->srv = srv;
    ctx->subclip = subclip;
    ctx->subclips = psubclips ? *psubclips : nullptr;
    subclip->title[sizeof(subclip->title) - 1] = 0;

    /* The clip's rate as seconds per frame; a rate that cannot be (none, or
     * beyond 1000 fps) is taken as the mode's. */
    ctx->tb_num = item->r_frame_rate_den;
    ctx->tb_den = item->r_frame_rate_num;
    if (ctx->tb_num <= 0 || ctx->tb_den <= 0 || ctx->tb_den / ctx->tb_num > 1000) {
        g_warning("%s: frame rate %d/%d of [%s] taken as the timecode's", __func__, item->r_frame_rate_num,
                  item->r_frame_rate_den, item->full);
        ctx->tb_num = 1;
        ctx->tb_den = tc_sec2frames(1);
        if (tc_getmode() == TC_NTSC || tc_getmode() == TC_NTSC_DF) {
            ctx->tb_num = 1001;
            ctx->tb_den = 30000;
        }
    }
    double len = item->duration;
    if (!isfinite(len) || len < 0)
        len = 0;
    if (len > CLIP_SECONDS_MAX)
        len = CLIP_SECONDS_MAX;
    ctx->clip_len = len;
    ctx->clip_frames = clip_frames_at(ctx, len);
    if (subclip->idx == -1) {
        subclip->duration = ctx->clip_frames;
    }

    std::string full = utf8(item->full, sizeof(item->full));
    GtkWindow *parent = window ? GTK_WINDOW(gtk_widget_get_toplevel(window)) : nullptr;
    GtkWidget *dlg = f_ro
                         ? gtk_dialog_new_with_buttons(full.c_str(), parent, GTK_DIALOG_MODAL, GTK_STOCK_CLOSE,
                                                       GTK_RESPONSE_CLOSE, NULL)
                         : gtk_dialog_new_with_buttons(full.c_str(), parent, GTK_DIALOG_MODAL, GTK_STOCK_SAVE,
                                                       GTK_RESPONSE_ACCEPT, GTK_STOCK_CLOSE, GTK_RESPONSE_REJECT, NULL);
    ui_dlg_place(dlg, window);
    ctx->dialog = dlg;
    g_object_set_data(G_OBJECT(dlg), CTX_KEY, ctx);
    g_signal_connect(dlg, "destroy", G_CALLBACK(on_dialog_destroy), ctx);
    GtkWidget *content = gtk_vbox_new(FALSE, 5);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dlg))), content, TRUE, TRUE, 0);
    bool with_list = psubclips && !f_ro;
    build(ctx, content, with_list);
    if (with_list)
        fill_list(ctx);

    static const subclip_player_hooks_t hooks = {hook_status, hook_trouble};
    ctx->player = subclip_player_create(srv, &hooks, ctx, &gdk_idle_lock);
    if (!ctx->player)
        notice(ctx, _("No thread for the player: the player cannot be driven."));
    if (f_ro != 2 && ctx->player) {
        subclip_player_send(ctx->player, SUBCLIP_OP_STOP, 0, 0, 0, nullptr);
        subclip_player_send(ctx->player, SUBCLIP_OP_CUE_PLAY_WITH_DATA, T, 0, 0, nullptr);
        subclip_player_send(ctx->player, SUBCLIP_OP_PAUSE, 0, 0, 0, nullptr);
        subclip_player_send(ctx->player, SUBCLIP_OP_APPEND, 0, ctx->clip_frames, 0, item->full);
        subclip_player_send(ctx->player, SUBCLIP_OP_SEEK, subclip->mark_in, 0, 0, nullptr);
    }

    g_signal_connect(dlg, "key-press-event", G_CALLBACK(on_key), ctx);
    gtk_widget_add_events(dlg, GDK_BUTTON_PRESS_MASK);
    g_signal_connect(dlg, "button-press-event", G_CALLBACK(on_background_press), ctx);
    g_signal_connect(ctx->entries[ENTRY_CURR], "activate", G_CALLBACK(on_curr_activate), ctx);
    g_signal_connect(ctx->entries[ENTRY_CURR], "focus-out-event", G_CALLBACK(on_entry_focus_out), ctx);
    if (!f_ro) {
        g_signal_connect(ctx->entries[ENTRY_MARK_IN], "activate", G_CALLBACK(on_mark_in_activate), ctx);
        g_signal_connect(ctx->entries[ENTRY_MARK_OUT], "activate", G_CALLBACK(on_mark_out_activate), ctx);
        g_signal_connect(ctx->entries[ENTRY_TITLE], "activate", G_CALLBACK(on_title_activate), ctx);
        g_signal_connect(ctx->entries[ENTRY_MARK_IN], "focus-out-event", G_CALLBACK(on_entry_focus_out), ctx);
        g_signal_connect(ctx->entries[ENTRY_MARK_OUT], "focus-out-event", G_CALLBACK(on_entry_focus_out), ctx);
    }
    ui_dlg_fit_screen(dlg, window);
    gtk_widget_show_all(dlg);
    focus_timeline(ctx);
    remember(ctx);

    int result = 0;
    for (;;) {
        int resp = gtk_dialog_run(GTK_DIALOG(dlg));
        if (!ctx->dialog)
            break; /* destroyed from outside: nothing to ask, nothing saved */
        if (resp == GTK_RESPONSE_ACCEPT) {
            /* Changed marks not yet in the list go with it; a subclip the
             * list cannot take keeps the editor open, said on its line. */
            if (ctx->rows && changed(ctx) && !list_save(ctx))
                continue;
            if (GtkEntry *e = entry(ctx, ENTRY_TITLE))
                strlcpy(subclip->title, gtk_entry_get_text(e), sizeof(subclip->title));
            result = 1;
            break;
        }
        if (ctx->f_dirty == 0 && !changed(ctx) && (!psubclips || ctx->subclips_dirty == 0))
            break;
        if (ui_dialog_ok_cancel(_("Subclips not saved! Are you sure to quit?")))
            break;
    }

    if (ctx->rows) {
        if (psubclips)
            hand_back_list(ctx, psubclips);
        free_rows(ctx);
    }
    /* The dialog goes out of sight at once; the player's stop is waited for
     * with the main loop running, and no hook reaches the widgets after. */
    if (ctx->dialog)
        gtk_widget_hide(dlg);
    subclip_player_t *player = ctx->player;
    ctx->player = nullptr;
    subclip_player_close(player);
    if (ctx->dialog)
        gtk_widget_destroy(dlg);
    if (ctx->rows)
        g_object_unref(ctx->rows);
    g_free(ctx);
    return result;
}
