/* Media library model of a bus: a lazily loaded tree of the library server's
 * folders, items and subclips, kept current by a notification thread. The
 * model loads in the background (folder listings page by page, thumbnails
 * only for rows in view) and announces through hooks that the tree widget
 * fills; it never touches a widget itself. */
#pragma once
#include <pthread.h>
#include <stdint.h>

#include "pelmora_lib.h"

/* Widget and image types, declared here so that code without GTK can hold
 * the record. */
typedef struct _GtkWidget GtkWidget;
typedef struct _GdkPixbuf GdkPixbuf;

typedef struct library_desc library_t;
typedef void (*library_row_activated_cb_proc)(library_t *lib, void *item, void *subclip, void *data);
/* Called after each state read: on_gtk says whether it runs on the main
 * loop; entry is one applied journal entry (kind character and path), or
 * null once per pass. */
typedef void (*library_stat_notify_cb)(library_t *lib, pelmora_lib_state_t *state, int on_gtk, void *cookie,
                                       const char *entry);

enum
{
    LIBRARY_UI_CLIPS_TREE = 1,
    LIBRARY_UI_SEARCH = 2,
    LIBRARY_UI_FREE_SPACE = 3,
    LIBRARY_UI_TOTAL_SPACE = 4,
    LIBRART_UI_FREE_SPACE_P = 5,
    LIBRARY_UI_TOTAL_ITEMS = 6,
    LIBRARY_UI_BUTTON_CREATE_DIR = 7,
    LIBRARY_UI_BUTTON_MOVE_ITEMS = 8,
    LIBRARY_UI_BUTTON_TRANSFER_LIST = 9,
    LIBRARY_UI_BUTTON_TRANSFER_EXPORT = 10,
    LIBRARY_UI_BUTTON_TRANSCODER_LIST = 11,
    LIBRARY_UI_BUTTON_AUDIONORM_ITEM = 12,
    LIBRARY_UI_BUTTON_TRANSCODER_ITEM = 13,
    LIBRARY_UI_BUTTON_FIND = 14,
    LIBRARY_UI_BUTTON_FIND_NEXT = 15,
    LIBRARY_UI_BUTTON_SUBCLIP_DLG = 16,
    LIBRARY_UI_BUTTON_TRANSFER_REFRESH = 17,
    LIBRARY_UI_BUTTON_TRANSFER_DELETE = 18,
    LIBRARY_UI_BUTTON_TRANSFER_CANCEL = 19,
    LIBRARY_UI_BUTTON_TRANSFER_RESTART = 20,
    LIBRARY_UI_TRANSFER_LIST = 21,
    LIBRARY_UI_TRANSFER_WINDOW = 22,
    LIBRARY_UI_TRANSFER_ICON_DIR_E = 23,
    LIBRARY_UI_TRANSFER_ICON_DIR_ED = 24,
    LIBRARY_UI_TRANSFER_ICON_DIR_I = 25,
    LIBRARY_UI_TRANSFER_ICON_DIR_ID = 26,
    LIBRARY_UI_TRANSFER_ICON_STATE_PENDING = 27,
    LIBRARY_UI_TRANSFER_ICON_STATE_START = 28,
    LIBRARY_UI_TRANSFER_ICON_STATE_DONE = 29,
    LIBRARY_UI_TRANSFER_ICON_STATE_ERROR = 30,
    LIBRARY_UI_TRANSFER_ICON_STATE_CANCEL = 31,
    LIBRARY_UI_BUTTON_DELETE_ITEMS = 32,
    LIBRARY_UI_BUTTON_RENAME_ITEM = 33,
    LIBRARY_UI_TRANSCODER_LIST = 34,
    LIBRARY_UI_TRANSCODER_WINDOW = 35,
    LIBRARY_UI_TRANSCODER_ICON_STATE_PENDING = 36,
    LIBRARY_UI_TRANSCODER_ICON_STATE_START = 37,
    LIBRARY_UI_TRANSCODER_ICON_STATE_DONE = 38,
    LIBRARY_UI_TRANSCODER_ICON_STATE_ERROR = 39,
    LIBRARY_UI_TRANSCODER_ICON_STATE_CANCEL = 40,
    LIBRARY_UI_BUTTON_TRANSCODER_REFRESH = 41,
    LIBRARY_UI_BUTTON_TRANSCODER_DELETE = 42,
    LIBRARY_UI_BUTTON_TRANSCODER_CANCEL = 43,
    LIBRARY_UI_BUTTON_TRANSCODER_RESTART = 44,
    LIBRARY_UI_BUTTON_HIDE = 45,
    LIBRARY_UI_BUTTON_SHOW = 46,
    LIBRARY_UI_SHOWAREA = 47,
    LIBRARY_UI_SIZEAREA = 48,
    LIBRARY_UI_CAPACITY_SRC = 49,
    LIBRARY_UI_CAPACITY_DST = 50,
    LIBRARY_UI_LAST = 51
};

#define LIBRARY_CB_SLOTS 64
#define LIBRARY_JOURNAL_LIMIT 128
/* Items asked for per listing call, and handed to the main loop at once. */
#define LIBRARY_PAGE_ITEMS 100
/* Items handed to the main loop at once. */
#define LIBRARY_SLICE_ITEMS 25
/* Item entries of one folder in one journal pass that are read one by one;
 * with more, one listing of the folder is cheaper than the reads. */
#define LIBRARY_SINGLE_ROW_MAX 16
/* A state read of a server is shared with the other libraries of the same
 * server that poll within this time. */
#define LIBRARY_STATE_SHARE_MS 90
#define LIBRARY_THUMB_SIZE 32
/* Every open folder is listed again (journal entries missed, a change
 * counter that went back, a server that answers again) at most once in this
 * time; a request in between waits for it. */
#define LIBRARY_RESYNC_MIN_MS 1000
/* A state read that failed is tried again after a wait that doubles from
 * the poll period up to this. */
#define LIBRARY_POLL_BACKOFF_MAX_MS 2000
/* Item pages of one listing the server may refuse (each refused page is
 * asked again narrower, down to the one item, which is left out); with more
 * the listing ends there. */
#define LIBRARY_REFUSED_MAX 64

/* How the library server answers the state reads. */
enum
{
    LIBRARY_SERVER_ANSWERS = 0,
    LIBRARY_SERVER_SILENT = 1,  /* no answer (down, unreachable, timed out) */
    LIBRARY_SERVER_REFUSES = 2, /* a fault, or an answer that cannot be read */
};

/* Others than the tree that follow a few announcements (the capacity
 * indicator, the pane): the tree, which alone fills the hooks below, hands
 * each one on to every listener in the order they were added, so that one
 * listener never replaces another. Each may be null. */
typedef struct library_listener_desc
{
    void (*capacity)(library_t *lib, int cap, const pelmora_lib_state_t *st);
    void (*server)(library_t *lib, int how, int fault);
    void (*closing)(library_t *lib);
} library_listener_t;
#define LIBRARY_LISTENERS_MAX 4

/* What the model announces; every hook runs on the main loop under the GDK
 * lock. Records handed over belong to the hook from then on. */
typedef struct library_hooks_desc
{
    /* A folder's sub-folders (r < 0: the listing failed, no records). */
    void (*dirs)(library_t *lib, const char *path, int64_t token, pelmora_lib_dir_t **dirs, int n, int r);
    /* One page of a folder's items; first: the first page of this listing,
     * last: no page follows. Returns non-zero when no more pages are wanted. */
    int (*items)(library_t *lib, const char *path, int64_t token, pelmora_lib_item_t **items, int n, int first,
                 int last, int r);
    /* The subclips of the item row with this id (null-terminated list, or
     * none; r < 0: the listing failed). */
    void (*subclips)(library_t *lib, int64_t id, pelmora_lib_subclip_t **subs, int n, int r);
    /* The thumbnail bytes of the item row with this id (not yet decoded);
     * no bytes (size 0) when there is no thumbnail to be had. */
    void (*thumb)(library_t *lib, int64_t id, const void *data, int size);
    /* The journal's actions and the capacity of a state read. */
    void (*reload_dir)(library_t *lib, const char *path);
    /* 1 when the folder's item rows are in the tree (open) and no listing
     * of it is under way: an item entry is then read alone. */
    int (*item_rows)(library_t *lib, const char *path);
    /* One item read after a journal entry: the row of that name in the
     * folder is updated, or put in. Non-zero when the folder has no item
     * rows to update any more (the record is freed either way). */
    int (*update_item)(library_t *lib, const char *folder, pelmora_lib_item_t *item);
    void (*add_dir)(library_t *lib, const char *path);
    void (*drop_item)(library_t *lib, const char *path);
    void (*capacity)(library_t *lib, int cap, const pelmora_lib_state_t *st);
    /* The library goes (library_release): the widgets that hang on it go
     * first; then the tree is emptied. */
    void (*closing)(library_t *lib);
    void (*clear)(library_t *lib);
    /* Journal entries were missed (more changes than one state carries):
     * every open folder is to be listed again, folders and items. */
    void (*resync)(library_t *lib);
    /* How the server answers changed (LIBRARY_SERVER_*; fault: the call's
     * fault code or negative result, 0 when it answers). */
    void (*server)(library_t *lib, int how, int fault);
    /* A text for the operator about a listing (items left out, ...). */
    void (*notice)(library_t *lib, const char *text);
    library_listener_t listeners[LIBRARY_LISTENERS_MAX];
    /* The view record of the widget that shows the library (the tree's
     * module keeps it), null while none does. Main loop only. */
    void *view;
} library_hooks_t;

struct library_desc
{
    char host[260];
    char url[260];
    pthread_mutex_t lock; /* recursive; amend_idx and the callback slots */
    GdkPixbuf *icons[8];
    GtkWidget *ui[LIBRARY_UI_LAST];
    struct
    {
        library_stat_notify_cb proc;
        void *cookie;
    } cb[LIBRARY_CB_SLOTS];
    int64_t amend_idx;
    pelmora_lib_dir_t root_dir;
    int last_search;
    int f_no_thumbs;
    struct
    {
        library_row_activated_cb_proc proc;
        void *data;
    } row_activated_cb;
    char preview_io_host[260];
    struct
    {
        void *ctx;
        char path[260];
    } select_item_dialog;
    library_hooks_t hooks;
    struct library_engine_desc *engine; /* the loader thread and its queue */
};

/* Prepares the record (lock, root folder, search position) and starts the
 * loader thread. Main thread; the hooks may be filled before or after. */
int library_init(library_t *lib);
/* Stops the loader and empties the tree. From the main loop or from a
 * thread while the main loop runs. */
int library_release(library_t *lib);
/* Reads the state once and applies it (f_gtk_thread: on the main loop; else
 * every tree action is handed to the main loop and waited for). Libraries
 * of one server share a read: a poll within LIBRARY_STATE_SHARE_MS of
 * another library's read, or during it, takes that state (or its failure).
 * Off the main loop, an item entry of an open folder is read alone and
 * given to update_item; otherwise the folder is listed again. */
int library_stat_notify(library_t *lib, int f_gtk_thread);
int library_stat_notify_add(library_t *lib, library_stat_notify_cb proc, void *cookie);
int library_stat_notify_del(library_t *lib, int idx);

/* Queues the listing of a folder: kind 0 its sub-folders and then its items
 * page by page, 1 its items only; the hooks get the results with the token.
 * Main thread. */
int library_load_dir(library_t *lib, const char *path, int kind, int64_t token);
/* Queues the subclip listing of the item at path; the hook gets it with id. */
int library_load_subclips(library_t *lib, const char *path, int64_t id);
/* The thumbnails wanted now (item row ids and paths), replacing any still
 * waiting: rows scrolled away are not fetched. Main thread. */
int library_thumbs_want(library_t *lib, int n, const int64_t *ids, const char *const *paths);
/* Thumbnail calls made so far (for tests and the benchmark). */
int64_t library_thumbs_asked(const library_t *lib);

/* Used space in percent, 100 - free * 100 / total with the quotient
 * truncated in integer arithmetic (no overflow for any figures); 100 for a
 * total of 0 or less, clamped to 0..100. */
int library_capacity_of(int64_t free_space, int64_t total_space);
/* How the server answered state reads lately (LIBRARY_SERVER_*). */
int library_server_how(const library_t *lib);

/* The duration pattern of a search text: 1 with both bounds as timecode
 * texts (32 bytes each), 0 for a keyword. */
int library_search_pattern(const char *text, char *lo, char *hi);
/* The parent folder of a library path ("/" for a top-level one), -14 for a
 * path without "/". */
int library_parent_path(const char *path, char *parent, size_t size);
