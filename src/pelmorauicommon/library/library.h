/* Media library model of a bus: a lazily loaded tree of the library server's
 * folders, items and subclips, kept current by a notification thread. */
#pragma once
#include <stdint.h>

typedef struct library_desc library_t;
typedef void (*library_row_activated_cb_proc)(library_t *lib, void *item, void *subclip, void *data);

struct library_desc
{
    char host[260];
    char url[260];
    int64_t amend_idx;
    int f_no_thumbs;
    struct
    {
        library_row_activated_cb_proc proc;
        void *data;
    } row_activated_cb;
    char preview_io_host[260];
    /* The tree widgets, icons, callback table and lock join this record with
     * the library model. */
};

/* Connection points of the start-up and shutdown sequence. Until the library
 * model is built they keep the record as it is and report success. */
int library_init(library_t *lib);
int library_release(library_t *lib);
int library_stat_notify(library_t *lib, int f_gtk_thread);
