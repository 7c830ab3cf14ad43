/* Client of a library server's job services: file transfers to and from
 * remote targets (PelmoraFileTransfer), transcoding jobs
 * (PelmoraFileTranscoder), and the recording scheduler client
 * (PelmoraSched) that the console offers but does not call. */
#pragma once
#include <stdint.h>

#include <xmlrpc-c/base.h>

/* Job states of both services. */
#define PELMORA_JOB_PENDING 0
#define PELMORA_JOB_STARTED 1
#define PELMORA_JOB_DONE 2
#define PELMORA_JOB_ERROR 3
#define PELMORA_JOB_CANCELLED 4

typedef struct pelmora_filetransfer_target_desc
{
    char id[260];
    char type[260];
    char title[260];
    char host[260];
    char port[260];
    char path[260];
    char login[260];
    char passw[260];
} pelmora_filetransfer_target_t;

typedef struct pelmora_filetransfer_request_desc
{
    int id;
    char target[260];
    int f_import;
    int f_delete;
    char object_local[4096];
    char object_remote[4096];
    int progress;
    int state;
    char error[260];
    int64_t updated;
    int64_t created;
    char path_local[4096]; /* not filled by this client */
} pelmora_filetransfer_request_t;

typedef struct pelmora_filetranscoder_object_desc
{
    char object[4096];
    char local[4096];
} pelmora_filetranscoder_object_t;

typedef struct pelmora_filetranscoder_request_desc
{
    int id;
    int64_t updated, created;
    int f_delete;
    pelmora_filetranscoder_object_t src;
    pelmora_filetranscoder_object_t dst;
    char in[260];
    char dur[260];
    char factory[260];
    char profile[260];
    char audio_map[260];
    int audio_conf;
    int progress;
    int state;
    char error[260];
    char timecode[260];
    char osd[260];
    char transfer_target[260];
    int transfer_f_delete;
} pelmora_filetranscoder_request_t;

/* List calls: at most `limit` records into the caller's cleared array;
 * the count read, the server's negative result, or -14. */
int pelmora_filetransfer_targets_list(const char *url, int offset, int limit, pelmora_filetransfer_target_t *trg);
int pelmora_filetransfer_requests_list(const char *url, int type, int offset, int limit,
                                       pelmora_filetransfer_request_t *req);
int pelmora_filetranscoder_requests_list(const char *url, int type, int offset, int limit,
                                         pelmora_filetranscoder_request_t *req);

/* The list readers behind the list calls, on an answer already received (not
 * released); shared with the fuzz targets. */
int pelmora_filetransfer_targets_read(const char *caller, xmlrpc_value *answer, int limit,
                                      pelmora_filetransfer_target_t *trg);
int pelmora_filetransfer_requests_read(const char *caller, xmlrpc_value *answer, int limit,
                                       pelmora_filetransfer_request_t *req);
int pelmora_filetranscoder_requests_read(const char *caller, xmlrpc_value *answer, int limit,
                                         pelmora_filetranscoder_request_t *req);

int pelmora_filetransfer_request_get(const char *url, int id, pelmora_filetransfer_request_t *req);
int pelmora_filetransfer_request_add(const char *url, const pelmora_filetransfer_request_t *req);
int pelmora_filetransfer_request_del(const char *url, int id);
int pelmora_filetransfer_request_cancel(const char *url, int id);
int pelmora_filetransfer_request_restart(const char *url, int id);
/* Time and size of a remote object; either output may be null. */
int pelmora_filetransfer_probe(const char *url, const char *target, const char *object, int64_t *p_time,
                               int64_t *p_size);
/* Appends the remote names to *plist, a null-terminated list of separately
 * allocated texts (made when null); the number appended or a failure. */
int pelmora_filetransfer_list(const char *url, const char *target, const char *object, char ***plist);

int pelmora_filetranscoder_request_add(const char *url, const pelmora_filetranscoder_request_t *req);
int pelmora_filetranscoder_request_del(const char *url, int id);
int pelmora_filetranscoder_request_cancel(const char *url, int id);
int pelmora_filetranscoder_request_restart(const char *url, int id);

/* Recording scheduler: offered, not called by the console. */
typedef struct pelmora_sched_item_desc
{
    int start_time;
    int duration;
    int tc;
    int enabled;
    int id;
    char path[260];
    char title[260];
    int64_t min, hour, day, weekday, month, year;
    int64_t calc;
    int64_t next;
    char mode[260];
    char enc[260];
    char transfer[260];
    char prefix[260];
    char origin[260];
} pelmora_sched_item_t;

typedef struct pelmora_sched_log_desc
{
    int duration, tc, status;
    char origin[260];
    int64_t start, calc;
    char mode[260];
    char enc[260];
    int start_time;
    char transfer[260];
    char prefix[260];
} pelmora_sched_log_t;

typedef struct pelmora_sched_state_desc
{
    int f_recording; /* 1: the first form (a recording runs), 0: the next one */
    int status, duration;
    char s_now[260], s_start[260], s_end[260], s_next[260];
    int64_t t_now, t_start, t_end, t_next;
} pelmora_sched_state_t;

int pelmora_sched_item_add(const char *url, const pelmora_sched_item_t *item);
int pelmora_sched_item_del(const char *url, int id);
int pelmora_sched_item_get(const char *url, int id, pelmora_sched_item_t *item);
int pelmora_sched_item_list(const char *url, int limit, pelmora_sched_item_t *items);
int pelmora_sched_item_enable(const char *url, int id, int enable);
int pelmora_sched_log_list(const char *url, int limit, pelmora_sched_log_t *logs);
int pelmora_sched_expand_curr(const char *url, int flag);
int pelmora_sched_get_state(const char *url, pelmora_sched_state_t *st);
