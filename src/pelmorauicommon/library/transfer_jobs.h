/* Job list engine of the transfer and transcoder windows: one worker per
 * list that runs the operator's cancel, restart and delete and fetches the
 * list, and hands each answer to the main loop through a hook. It calls the
 * jobs client and touches no widget; the windows fill the hook. */
#pragma once
#include <functional>
#include <string>

typedef struct library_jobs_desc library_jobs_t;

/* One answer: the fetched records (malloc'd, owned by the engine), their
 * count or the list call's failure, and what the operator is to be told
 * (refused controls, an unreadable list), empty when nothing. */
typedef struct library_jobs_answer_desc
{
    void *records;
    int n;
    std::string said;
} library_jobs_answer_t;

typedef struct library_jobs_ops_desc
{
    /* Up to limit jobs into *records (malloc'd): count or failure. */
    int (*fetch)(const char *url, int limit, void **records);
    /* 'c' cancel, 'r' restart, 'd' delete: the server's result. */
    int (*control)(const char *url, char op, int id);
    /* Main loop, under the GDK lock; the answer is freed after it. */
    void (*answer)(void *ctx, const library_jobs_answer_t *a);
    void *ctx;
} library_jobs_ops_t;

/* Starts the worker for the list at url; limit jobs per fetch. */
library_jobs_t *library_jobs_start(const char *url, int limit, const library_jobs_ops_t *ops);
/* Asks for a fetch; answers come through the hook. Any thread. */
void library_jobs_reload(library_jobs_t *e);
/* Queues op on the jobs ids, then a fetch. Any thread. */
void library_jobs_control(library_jobs_t *e, char op, const int *ids, int n);
/* Stops the worker and applies the answers already posted; main loop,
 * under the GDK lock (let go while waiting). */
void library_jobs_stop(library_jobs_t *e);

/* Runs call (a server call) on a worker while the main loop goes on
 * serving everything else, and returns its result: for the dialogs, whose
 * target and mode lists must not hold the loop while a server is slow.
 * Main loop, under the GDK lock (let go while waiting). */
int library_jobs_call(const std::function<int()> &call);
