/* The application record and the bus record: everything the command line
 * configures, the widgets the window fills in and the run-time state of each
 * bus. One instance_desc per process, holding up to eight bus_desc. */
#pragma once
#include <netinet/in.h>
#include <pthread.h>
#include <stdint.h>

#include "library.h"
#include "pelmorabox.h"
#include "srv.h"

typedef struct _GtkWidget GtkWidget;
typedef struct localtime_tz_desc localtime_tz_t;

#define INSTANCE_MAX_BUSES 8
#define INSTANCE_CLIPBOARD_MAX 200
#define BUS_CONTROL_BUTTONS 27
#define BUS_UPDATE_QUEUE_MAX 4096
#define BUS_HELPER_TYPE_PATH_SLOTS 64
#define BUS_HELPER_TYPE_PATH_MAX 50

typedef struct instance_desc instance_t;

typedef struct trig_socket_desc
{
    struct sockaddr_in addr;
    int socket;
} trig_socket_t;

typedef struct bus_desc
{
    GtkWidget *buttons[BUS_CONTROL_BUTTONS];
    GtkWidget *window, *clock, *clock_rem, *clock_ply;
    GtkWidget *online[3];
    GtkWidget *grid;
    GtkWidget *scrolled;
    GtkWidget *title_label;
    instance_t *app;
    char url[260];
    char host[260];
    char title[260];
    char title_icon[260];
    int idx;
    struct
    {
        pthread_t th;
        int64_t last;
        int ret;
        int ign;
        pelmorabox_bus_state_t s;
    } state;
    struct
    {
        int list[BUS_UPDATE_QUEUE_MAX];
        int count;
        pthread_mutex_t lock;
        pthread_cond_t cond;
        pthread_t th;
    } update;
    char special_item[260];
    int props_max;
    int trimpad_save;
    struct
    {
        char type;
        char path[260];
        char assets[260];
    } helper_type_path[BUS_HELPER_TYPE_PATH_SLOTS];
    int helper_type_path_len;
    int long_start_offset;
    struct
    {
        char host[260];
        GtkWidget *wnd, *hbox, *btn_on, *btn_off;
    } prv;
    struct
    {
        char keyword[260];
        int f_date;
        char sgt[260];
    } filter_playlist;
    library_t lib;
    void *search_ctx;
    pthread_t lib_stat_notify_th;
    srv_t preview;
    struct
    {
        int height;
        GtkWidget *assets_tree, *metas_tree;
    } event_details;
    struct
    {
        localtime_tz_t *ctx;
        char value[260];
    } tz;
    GtkWidget *clock_absent_rem, *last_playlist, *clock_type_L_rem;
    int f_type_L_remain;
    GtkWidget *clock_type_C_rem;
    int f_type_C_remain;
    int f_auxmedia_columns;
    char media_completition[260];
    int xkeys_row, xkeys_col;
    trig_socket_t *trig;
    GtkWidget *clock_gap_overlap_rem;
    /* Run-time state of this bus kept by the engine and the commands; zero
     * until bus_init. One record per bus instead of process-wide tables
     * keyed by the bus's address. */
    struct
    {
        void *engine;                                 /* bus.cpp's engine record; under its engine lock */
        int recheck_waiting;                          /* a visible-rows check is queued; under the same lock */
        unsigned recheck_source;                      /* its idle source, removed by bus_release; same lock */
        int busy;                                     /* an operator action runs on this bus (main loop) */
        int pending;                                  /* a command's server call is out (main loop) */
        char pending_what[32];                        /* which command, for the panel */
        unsigned int last_click[BUS_CONTROL_BUTTONS]; /* event time of the last press per button */
        GtkWidget *notice;                            /* the panel's notice line */
        unsigned int notice_timer;
        int notice_failed; /* the notice shows a failure */
    } rt;
    /* What the bus engine calls into the widgets, on the main loop; a null
     * hook is skipped. The panel fills the renderers when it builds itself,
     * the window the attach that bus_init calls. */
    struct
    {
        void (*attach)(struct bus_desc *bus); /* keys and clicks connect to the commands */
        int (*events_updated)(struct bus_desc *bus, int cnt, const int64_t *idxs, pelmorabox_event_t **events);
        int (*time_updated)(struct bus_desc *bus);
        int (*gone_offline)(struct bus_desc *bus);
    } view;
} bus_t;

struct instance_desc
{
    int f_debug;
    GtkWidget *window;
    GtkWidget *apps_notebook;
    struct
    {
        bus_t list[INSTANCE_MAX_BUSES];
        int count;
    } bus;
    int f_exit;
    char helper_type_color[256][2][260];
    int f_short_timers;
    int f_long_start;
    int f_hide_media_path;
    int f_busses_tab_pos_top;
    int f_delete_event_confirm;
    int f_bus_start_stop_confirm;
    int f_immediate_actions_confirm;
    struct
    {
        pelmorabox_event_t *list[INSTANCE_CLIPBOARD_MAX];
        int count;
    } clipboard;
    int f_hide_console;
    int f_ab_reconciliation_key;
    int f_ab_subclip_is_error;
    pthread_t th_stop_wait;
    char window_title[260];
    char color_item_bg_subclip[260];
    char color_item_fg_subclip[260];
    char color_item_bg_error_range[260];
    char color_item_fg_error_range[260];
    int f_sgt_event_id;
    int f_single_instance;
    int f_adonis_branding_key;
    char color_label_playlist_curr[260];
    char color_label_playlist_prev[260];
};

/* The process's stop flag as worker threads read it: nonzero once the
 * console is closing. */
static inline int instance_stopping(const instance_t *app)
{
    return __atomic_load_n(&app->f_exit, __ATOMIC_ACQUIRE);
}

/* The executable's directory, found once by main; "" until then. */
const char *instance_bin_dir(void);
void instance_bin_dir_set(const char *argv0);

/* Keypad trigger target of a bus (instance.cpp). */
int instance_trig_setup(bus_t *bus);
void instance_trig_release(bus_t *bus);
int xkeys_callback_proc(void *cookie, int row, int col);
