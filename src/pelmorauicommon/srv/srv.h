/* IO status monitor: a thread per IO server polls its status and hands each
 * record to up to sixteen subscribers, saying whether it changed. The record
 * is embedded in its owner (the bus, or a dialog that needs a player);
 * monitors running on the same URL share one poll and its thread. */
#pragma once
#include <pthread.h>

#include "pelmora_io.h"

#define SRV_STATUS_CB_MAX 16

struct srv_desc;
/* Called on the monitor thread with the subscriber table locked: must not
 * touch widgets. status is valid only during the call; f_new is non-zero
 * when the record differs from the previous poll's in any byte. */
typedef void (*srv_status_cb)(struct srv_desc *srv, pelmora_status_t *status, void *cookie, int f_new);

typedef struct srv_desc
{
    char host[260]; /* HOST:PORT; empty: no monitor */
    char url[260];
    char title[260];
    pthread_t th;
    pthread_mutex_t lock;               /* subscriber table (recursive) */
    pthread_mutex_t status_update_lock; /* held for each poll (recursive) */
    struct
    {
        srv_status_cb proc;
        void *cookie;
    } cb[SRV_STATUS_CB_MAX];
    volatile int f_exit;
    pelmora_status_t status_prev;
    int f_running; /* started (polling, or beside the poller) and not yet stopped */
} srv_t;

int srv_init(srv_t *srv);
int srv_release(srv_t *srv);
/* Starts the monitor: a thread of its own, or a place beside the monitor
 * already polling srv->url (url must not change until srv_stop). */
int srv_run(srv_t *srv);
/* After it returns no subscriber of srv is called by the poll; a monitor
 * that shared this one's thread goes on polling in a thread of its own. */
int srv_stop(srv_t *srv);
/* Index of the entry taken, -16 when the table is full. */
int srv_status_cb_add(srv_t *srv, srv_status_cb proc, void *cookie);
/* 0; -14 for an index outside the table, -2 for a free entry. */
int srv_status_cb_clear(srv_t *srv, int idx);
/* One poll and its hand-out; the status call's result. */
int srv_status_update(srv_t *srv);
int srv_status_update_lock(srv_t *srv);
int srv_status_update_unlock(srv_t *srv);
