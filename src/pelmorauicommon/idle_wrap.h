/* Worker-to-main-loop hand-over, GLib only: a worker hands a body to the
 * default main context, which runs it once at high idle priority under the
 * lock the caller names (the UI names the GDK lock, gdk_unlock.h), and waits
 * until it has run. */
#pragma once
#include <semaphore.h>
#include <stdint.h>

#include <functional>

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
