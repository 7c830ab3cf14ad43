/* Worker-to-main-loop hand-over. */
#include "idle_wrap.h"

#include <errno.h>
#include <pthread.h>

#include <atomic>
#include <mutex>
#include <system_error>

#include <glib.h>

namespace {

std::atomic<pthread_t> main_thread;
std::atomic<int> main_thread_known{0};

void lock_enter(const idle_wrap_lock_t *lock)
{
    if (lock && lock->enter)
        lock->enter();
}

void lock_leave(const idle_wrap_lock_t *lock)
{
    if (lock && lock->leave)
        lock->leave();
}

struct idle_wrap_job
{
    G_IDLE_WRAP_t *w;
    const idle_wrap_lock_t *lock;
};

gboolean idle_wrap_dispatch(gpointer data)
{
    auto *job = static_cast<idle_wrap_job *>(data);
    lock_enter(job->lock);
    job->w->ret = job->w->proc(job->w);
    lock_leave(job->lock);
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

struct off_main_desc
{
    const std::function<void()> *answered;
    const idle_wrap_lock_t *held;
    GMainLoop *loop;
};

/* The record lives on the waiting caller's stack: its loop is left only
 * here, so the record outlives this callback. */
gboolean off_main_answered(gpointer data)
{
    auto *om = static_cast<off_main_desc *>(data);
    if (*om->answered) {
        lock_enter(om->held);
        (*om->answered)();
        lock_leave(om->held);
    }
    g_main_loop_quit(om->loop);
    return FALSE;
}

} // namespace

struct idle_wrap_post_desc
{
    std::function<void()> fn;
    const idle_wrap_lock_t *lock;
    int priority;
    std::mutex m; /* source */
    guint source = 0;
};

namespace {

gboolean post_run(gpointer data)
{
    auto *p = static_cast<idle_wrap_post_t *>(data);
    {
        std::lock_guard<std::mutex> g(p->m);
        p->source = 0;
    }
    lock_enter(p->lock);
    p->fn();
    lock_leave(p->lock);
    return FALSE;
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

void idle_wrap_main_mark(void)
{
    main_thread = pthread_self();
    main_thread_known.store(1);
}

int idle_wrap_main_known(void)
{
    return main_thread_known.load();
}

int idle_wrap_is_main(void)
{
    return main_thread_known.load() && pthread_equal(main_thread.load(), pthread_self());
}

void idle_wrap_on_main(const std::function<void()> &fn, const idle_wrap_lock_t *lock)
{
    if (idle_wrap_is_main())
        fn();
    else
        idle_wrap_call(fn, lock);
}

void idle_wrap_off_main(const std::function<void()> &work, const std::function<void()> &answered,
                        const idle_wrap_lock_t *held)
{
    off_main_desc om = {&answered, held, g_main_loop_new(nullptr, FALSE)};
    std::thread worker;
    try {
        worker = std::thread([&work, &om] {
            work();
            g_idle_add_full(G_PRIORITY_DEFAULT, off_main_answered, &om, nullptr);
        });
    } catch (const std::system_error &) {
        g_warning("%s: no thread, working on the main thread", __func__);
    }
    lock_leave(held);
    if (worker.joinable())
        g_main_loop_run(om.loop);
    else
        work();
    lock_enter(held);
    if (worker.joinable())
        worker.join();
    else if (answered)
        answered();
    g_main_loop_unref(om.loop);
}

void idle_wrap_join(std::thread &t, const idle_wrap_lock_t *held)
{
    if (t.joinable())
        idle_wrap_off_main([&t] { t.join(); }, nullptr, held);
}

idle_wrap_post_t *idle_wrap_post_new(std::function<void()> fn, const idle_wrap_lock_t *lock, int priority)
{
    idle_wrap_post_t *p = new idle_wrap_post_desc;
    p->fn = std::move(fn);
    p->lock = lock;
    p->priority = priority;
    return p;
}

void idle_wrap_post(idle_wrap_post_t *p)
{
    std::lock_guard<std::mutex> g(p->m);
    if (!p->source)
        p->source = g_idle_add_full(p->priority, post_run, p, nullptr);
}

void idle_wrap_post_free(idle_wrap_post_t *p)
{
    if (!p)
        return;
    {
        std::lock_guard<std::mutex> g(p->m);
        if (p->source)
            g_source_remove(p->source);
    }
    delete p;
}
