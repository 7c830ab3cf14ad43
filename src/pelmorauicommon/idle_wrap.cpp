/* Worker-to-main-loop hand-over. */
#include "idle_wrap.h"

#include <errno.h>

#include <glib.h>

namespace {

struct idle_wrap_job
{
    G_IDLE_WRAP_t *w;
    const idle_wrap_lock_t *lock;
};

gboolean idle_wrap_dispatch(gpointer data)
{
    auto *job = static_cast<idle_wrap_job *>(data);
    if (job->lock && job->lock->enter)
        job->lock->enter();
    job->w->ret = job->w->proc(job->w);
    if (job->lock && job->lock->leave)
        job->lock->leave();
    return FALSE;
}

void idle_wrap_done(gpointer data)
{
    sem_post(&static_cast<idle_wrap_job *>(data)->w->sem);
}

int call_proc(G_IDLE_WRAP_t *w)
{
    (*reinterpret_cast<const std::function<void()> *>(w->args[0]))();
    return 0;
}

} // namespace

int idle_wrap_run(G_IDLE_WRAP_t *w, const idle_wrap_lock_t *lock)
{
    idle_wrap_job job = {w, lock};
    sem_init(&w->sem, 0, 0);
    w->ret = 0;
    /* The destroy notification posts the semaphore once the body has run. */
    g_idle_add_full(G_PRIORITY_HIGH_IDLE, idle_wrap_dispatch, &job, idle_wrap_done);
    while (sem_wait(&w->sem) != 0 && errno == EINTR) {
    }
    sem_destroy(&w->sem);
    return w->ret;
}

void idle_wrap_call(const std::function<void()> &fn, const idle_wrap_lock_t *lock)
{
    G_IDLE_WRAP_t w = {};
    w.proc = call_proc;
    w.args[0] = reinterpret_cast<intptr_t>(&fn);
    idle_wrap_run(&w, lock);
}
