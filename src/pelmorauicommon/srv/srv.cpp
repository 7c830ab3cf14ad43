/* IO status monitor: the polling thread (one per IO server, shared by the
 * monitors of that server), the subscriber table and the change detection.
 * No widgets here; subscribers hand over themselves. */
#include "srv.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <glib.h>

namespace {

void recursive_init(pthread_mutex_t *m)
{
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(m, &a);
    pthread_mutexattr_destroy(&a);
}

/* Monitors of one IO server share one poll: the first monitor started on a
 * URL runs the thread (the poller), later ones only receive its records.
 * When the poller stops, another member takes the thread over. */
struct srv_group
{
    std::string url;
    std::mutex lock;              /* members and poller; held for each hand-out */
    std::vector<srv_t *> members; /* in order of start; the poller among them */
    srv_t *poller = nullptr;
    std::mutex wake_lock; /* a stop wakes the poller's nap at once */
    std::condition_variable wake;
};

std::mutex registry_lock; /* the two maps; taken before a group's lock */
std::map<std::string, srv_group *> groups;
std::map<srv_t *, srv_group *> group_of;

void nap(srv_group *g, srv_t *srv, int ms)
{
    std::unique_lock<std::mutex> l(g->wake_lock);
    g->wake.wait_for(l, std::chrono::milliseconds(ms),
                     [srv] { return __atomic_load_n(&srv->f_exit, __ATOMIC_ACQUIRE) != 0; });
}

/* Hands one record to the subscribers of srv and keeps it for the next
 * comparison. */
void hand_out(srv_t *srv, pelmora_status_t *s)
{
    int f_new = memcmp(s, &srv->status_prev, sizeof(*s)) != 0;
    pthread_mutex_lock(&srv->lock);
    for (int i = 0; i < SRV_STATUS_CB_MAX; i++)
        if (srv->cb[i].proc)
            srv->cb[i].proc(srv, s, srv->cb[i].cookie, f_new);
    pthread_mutex_unlock(&srv->lock);
    memcpy(&srv->status_prev, s, sizeof(*s));
}

void *srv_thread_proc(void *arg)
{
    srv_t *srv = (srv_t *)arg;
    srv_group *g;
    {
        std::lock_guard<std::mutex> l(registry_lock);
        g = group_of[srv];
    }
    fprintf(stderr, "%s: started (host=%s), srv=%p\n", __func__, srv->host, (void *)srv);
    for (;;) {
        if (__atomic_load_n(&srv->f_exit, __ATOMIC_ACQUIRE)) {
            fprintf(stderr, "%s: exiting (host=%s), srv=%p\n", __func__, srv->host, (void *)srv);
            break;
        }
        srv_status_update_lock(srv);
        pelmora_status_t s;
        int r = pelmora_getstatus(g->url.c_str(), &s);
        if (r) {
            memset(&s, 0, sizeof(s));
            s.result = r;
        }
        {
            std::lock_guard<std::mutex> l(g->lock);
            for (srv_t *m : g->members) {
                if (m != srv)
                    srv_status_update_lock(m);
                hand_out(m, &s);
                if (m != srv)
                    srv_status_update_unlock(m);
            }
        }
        srv_status_update_unlock(srv);
        if (!r)
            nap(g, srv, 100);
        else {
            g_warning("%s: failed to connect to server %s, r=%d\n", __func__, srv->host, r);
            nap(g, srv, 1000);
        }
    }
    return nullptr;
}

/* Makes m the poller of g and starts its thread (both locks held). */
int start_poller(srv_group *g, srv_t *m)
{
    __atomic_store_n(&m->f_exit, 0, __ATOMIC_RELEASE);
    g->poller = m;
    int r = pthread_create(&m->th, nullptr, srv_thread_proc, m);
    if (r) {
        g->poller = nullptr;
        fprintf(stderr, "%s: no thread for the monitor of %s: %s\n", __func__, g->url.c_str(), strerror(r));
    }
    return r;
}

} // namespace

int srv_init(srv_t *srv)
{
    recursive_init(&srv->lock);
    recursive_init(&srv->status_update_lock);
    memset(srv->cb, 0, sizeof(srv->cb));
    srv->f_exit = 0;
    srv->f_running = 0;
    return 0;
}

int srv_release(srv_t *srv)
{
    pthread_mutex_destroy(&srv->lock);
    pthread_mutex_destroy(&srv->status_update_lock);
    return 0;
}

int srv_run(srv_t *srv)
{
    if (srv->f_running)
        return -16;
    /* A fresh start: the first record is new to every subscriber. */
    memset(&srv->status_prev, 0, sizeof(srv->status_prev));
    srv->status_prev.result = -1;
    srv_group *dead = nullptr;
    int r;
    {
        std::lock_guard<std::mutex> rl(registry_lock);
        srv_group *&g = groups[srv->url];
        if (!g) {
            g = new srv_group;
            g->url = srv->url;
        }
        std::lock_guard<std::mutex> gl(g->lock);
        g->members.push_back(srv);
        group_of[srv] = g;
        r = g->poller ? 0 : start_poller(g, srv);
        if (r) {
            g->members.pop_back();
            group_of.erase(srv);
            if (g->members.empty()) {
                dead = g;
                groups.erase(dead->url);
            }
        }
    }
    delete dead;
    if (!r)
        srv->f_running = 1;
    return r;
}

int srv_stop(srv_t *srv)
{
    if (!srv->f_running)
        return 0;
    int r = 0;
    srv_group *dead = nullptr;
    std::unique_lock<std::mutex> rl(registry_lock);
    srv_group *g = group_of[srv];
    std::unique_lock<std::mutex> gl(g->lock);
    if (g->poller == srv) {
        /* Its thread ends first (no lock held: it hands out under the
         * group's lock); members that stay get a thread of their own. */
        gl.unlock();
        rl.unlock();
        {
            std::lock_guard<std::mutex> w(g->wake_lock);
            __atomic_store_n(&srv->f_exit, 1, __ATOMIC_RELEASE);
        }
        g->wake.notify_all();
        r = pthread_join(srv->th, nullptr);
        rl.lock();
        gl.lock();
        g->poller = nullptr;
    }
    g->members.erase(std::find(g->members.begin(), g->members.end(), srv));
    group_of.erase(srv);
    if (!g->poller)
        for (srv_t *m : g->members)
            if (!start_poller(g, m))
                break;
    if (g->members.empty()) {
        dead = g;
        groups.erase(g->url);
    }
    gl.unlock();
    rl.unlock();
    delete dead;
    srv->f_running = 0;
    __atomic_store_n(&srv->f_exit, 0, __ATOMIC_RELEASE);
    return r;
}

int srv_status_cb_add(srv_t *srv, srv_status_cb proc, void *cookie)
{
    int r = -16;
    pthread_mutex_lock(&srv->lock);
    for (int i = 0; i < SRV_STATUS_CB_MAX; i++)
        if (!srv->cb[i].proc) {
            srv->cb[i].proc = proc;
            srv->cb[i].cookie = cookie;
            r = i;
            break;
        }
    pthread_mutex_unlock(&srv->lock);
    return r;
}

int srv_status_cb_clear(srv_t *srv, int idx)
{
    if (idx < 0 || idx >= SRV_STATUS_CB_MAX)
        return -14;
    int r = 0;
    pthread_mutex_lock(&srv->lock);
    if (!srv->cb[idx].proc)
        r = -2;
    else {
        srv->cb[idx].proc = nullptr;
        srv->cb[idx].cookie = nullptr;
    }
    pthread_mutex_unlock(&srv->lock);
    return r;
}

int srv_status_update(srv_t *srv)
{
    pelmora_status_t s;
    int r = pelmora_getstatus(srv->url, &s);
    if (r) {
        memset(&s, 0, sizeof(s));
        s.result = r;
    }
    hand_out(srv, &s);
    return r;
}

int srv_status_update_lock(srv_t *srv)
{
    return pthread_mutex_lock(&srv->status_update_lock);
}

int srv_status_update_unlock(srv_t *srv)
{
    return pthread_mutex_unlock(&srv->status_update_lock);
}
