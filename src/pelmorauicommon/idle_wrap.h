/* Where threads meet the main loop, GLib only: the record of the main
 * loop's thread, a worker's hand-over of a body to the default main context
 * (run once at high idle priority under the lock the caller names; the UI
 * names the GDK lock, gdk_unlock.h), and the main loop's ways of waiting for
 * a worker while it keeps serving. */
#pragma once
#include <semaphore.h>
#include <stdint.h>

#include <functional>
#include <thread>

/* The lock a body runs under: both set, or both null for none. */
typedef struct idle_wrap_lock_desc
{
    void (*enter)(void);
    void (*leave)(void);
} idle_wrap_lock_t;

/* The worker fills `proc` and up to eight argument words and calls
 * idle_wrap_run, which runs `proc` once on the main loop and returns when it
 * has run. The record may live on the worker's stack. */
typedef struct G_IDLE_WRAP_desc
{
    int (*proc)(struct G_IDLE_WRAP_desc *w);
    intptr_t args[8];
    int ret;
    sem_t sem;
} G_IDLE_WRAP_t;

/* Runs w->proc (w) on the main loop under `lock` and waits for it; returns
 * w->ret. Must not be called on the main thread, nor with the lock held. */
int idle_wrap_run(G_IDLE_WRAP_t *w, const idle_wrap_lock_t *lock);

/* The same for a callable. */
void idle_wrap_call(const std::function<void()> &fn, const idle_wrap_lock_t *lock);

/* The main loop's thread, recorded by idle_wrap_main_mark (the calling
 * thread; a later call records again). idle_wrap_is_main: 1 on it, 0
 * elsewhere or before one is recorded. */
void idle_wrap_main_mark(void);
int idle_wrap_main_known(void);
int idle_wrap_is_main(void);

/* Runs fn at once on the main loop's thread (whose code holds the lock
 * already), else hands it over under `lock` and waits until it has run. */
void idle_wrap_on_main(const std::function<void()> &fn, const idle_wrap_lock_t *lock);

/* Runs work on a worker while the calling main-loop thread serves a nested
 * main loop with `held` (the lock it holds; null for none) let go, so clocks
 * and other hand-overs go on; work touches no widget. answered, when given,
 * is applied on the main loop under `held` as soon as work has returned,
 * even while a loop nested deeper still waits; the call returns once its own
 * loop is left. Without a thread both run here. */
void idle_wrap_off_main(const std::function<void()> &work, const std::function<void()> &answered,
                        const idle_wrap_lock_t *held);

/* Joins t while the calling main-loop thread serves the loop with `held`
 * let go (idle_wrap_off_main), so a worker that waits for a hand-over or
 * for a slow server can end. */
void idle_wrap_join(std::thread &t, const idle_wrap_lock_t *held);

/* A coalesced hand-over: however often it is posted, fn runs once on the
 * main loop (at `priority`, under `lock`) for all the posts before it.
 * idle_wrap_post_free (main loop) removes a run not yet made; no run starts
 * after it, so the owner may go. Posting is allowed from any thread until
 * then. */
typedef struct idle_wrap_post_desc idle_wrap_post_t;
idle_wrap_post_t *idle_wrap_post_new(std::function<void()> fn, const idle_wrap_lock_t *lock, int priority);
void idle_wrap_post(idle_wrap_post_t *p);
void idle_wrap_post_free(idle_wrap_post_t *p);
