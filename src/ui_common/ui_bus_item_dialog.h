/* The event item dialog: the form in which one event of a bus's list is
 * created or edited (start, marks, type, media id, title, metadata tree,
 * aspect ratio, audio map and amplification, tag), with the audio map and
 * audio amp editors behind their buttons. Main loop, GDK lock held. */
#pragma once
#include <gtk/gtk.h>
#include <stddef.h>

#include "pelmorabox.h"
#include "ui_bus_meta_tree.h"
#include "ui_tools.h"

/* opts_flags bits. */
#define ITEM_DIALOG_PLAYER 1              /* the player row */
#define ITEM_DIALOG_START 2               /* start type and start time */
#define ITEM_DIALOG_CHANNEL(i) (8 << (i)) /* player channel i (A..D) */

/* Slots of entry: the text fields ([0], [1] and [12] stay empty). */
enum item_dialog_entry
{
    ITEM_ENTRY_START_TIME = 2,
    ITEM_ENTRY_MARK_IN = 3,
    ITEM_ENTRY_MARK_OUT = 4,
    ITEM_ENTRY_DURATION = 5,
    ITEM_ENTRY_MEDIA_TYPE = 6,
    ITEM_ENTRY_MEDIA_ID = 7,
    ITEM_ENTRY_TITLE = 8,
    ITEM_ENTRY_AR = 9,
    ITEM_ENTRY_AUDIO_MAP = 10,
    ITEM_ENTRY_AUDIO_AMP = 11,
    ITEM_ENTRY_TAG = 13
};

typedef struct ui_bus_item_dialog_desc ui_bus_item_dialog_t;

/* Called once the dialog is shown, before it runs (the bus attaches the
 * media id completion). */
typedef void (*ui_bus_item_dialog_pre_run_t)(void *cookie, ui_bus_item_dialog_t *ctx, pelmorabox_event_t *e);
/* Called on accept with the edited event, the dialog still open and
 * insensitive: sends it. 0 or more closes the dialog; a negative result
 * keeps it open with the operator's input, saying why (plain words, written
 * into why) inside the dialog. */
typedef int (*ui_bus_item_dialog_accept_t)(void *cookie, ui_bus_item_dialog_t *ctx, pelmorabox_event_t *e, char *why,
                                           size_t why_size);

/* The caller allocates it zero-filled and fills opts_flags, lib_url, top,
 * pre_run_proc and pre_run_cookie (and accept_proc, accept_cookie); the
 * dialog fills the rest. */
struct ui_bus_item_dialog_desc
{
    int opts_flags;
    const char *lib_url;
    GtkWidget *box, *table;
    GtkWidget *entry[14];
    GtkWidget *dlg;
    GtkWidget *top;
    GtkWidget *ms[4];
    GtkWidget *ms_hbox;
    GtkWidget *meta_tree;
    GtkWidget *btn_amap, *btn_aamp;
    GtkWidget *player_channel_hbox;
    GtkWidget *player_channel_items[4];
    ui_bus_item_dialog_pre_run_t pre_run_proc;
    void *pre_run_cookie;
    ui_bus_item_dialog_accept_t accept_proc;
    void *accept_cookie;
    /* The dialog's own message line: why it is still open. */
    GtkWidget *status;
    ui_bus_meta_tree_t *tree;
    /* An accepted event is being sent. */
    int busy;
};

/* The dialog's button table (editor buttons 100 and 101). */
extern const ui_button_desc item_dialog_buttons[];

/* Edits *pe: 1 when accepted (and, with accept_proc, sent), 0 when
 * cancelled. *pe may be replaced by another allocation; the caller keeps
 * ownership. */
int ui_bus_item_dialog(ui_bus_item_dialog_t *ctx, pelmorabox_event_t **pe);

/* "clicked" of the two editor buttons (user data: the dialog context):
 * TRUE when the button was one of them. */
gboolean bus_ui_dialog_buttons_cb(GtkWidget *button, gpointer user_data);

/* The audio amp text of a scale value ("%.1fdB", C locale) into buf; and
 * the number at the start of a field's text (0 when none), kept within the
 * scale's -12..+12. */
char *ui_bus_item_dialog_amp_text(double v, char *buf, size_t size);
double ui_bus_item_dialog_amp_value(const char *text);
