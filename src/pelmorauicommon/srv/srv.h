/* IO status monitor: a thread per IO server polls its status and hands each
 * record to subscribers. The record is embedded in its owner (the bus). */
#pragma once
#include <pthread.h>

typedef struct srv_desc
{
    char host[260];
    char url[260];
    char title[260];
    pthread_t th;
    int f_exit;
    /* The polling thread, its locks, subscriber table and previous status
     * record are added with the IO monitor; the bus only names the server. */
} srv_t;
