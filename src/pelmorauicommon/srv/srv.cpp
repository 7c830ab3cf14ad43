/* IO status monitor: the polling thread, the subscriber table and the
 * change detection. No widgets here; subscribers hand over themselves. */
#include "srv.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

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

/* Sleeps ms in slices so that a stop is seen within 50 ms of sleeping. */
void nap(srv_t *srv, int ms)
{
    for (int left = ms; left > 0 && !__atomic_load_n(&srv->f_exit, __ATOMIC_ACQUIRE); left -= 50) {
        struct timespec ts = {0, (long)(left < 50 ? left : 50) * 1000000L};
        while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
        }
    }
}

void *srv_thread_proc(void *arg)
{
    srv_t *srv = (srv_t *)arg;
    fprintf(stderr, "%s: started (host=%s), srv=%p\n", __func__, srv->host, (void *)srv);
    memset(&srv->status_prev, 0, sizeof(srv->status_prev));
    srv->status_prev.result = -1;
    for (;;) {
        if (__atomic_load_n(&srv->f_exit, __ATOMIC_ACQUIRE)) {
            fprintf(stderr, "%s: exiting (host=%s), srv=%p\n", __func__, srv->host, (void *)srv);
            break;
        }
        srv_status_update_lock(srv);
        int r = srv_status_update(srv);
        srv_status_update_unlock(srv);
        if (!r)
            nap(srv, 100);
        else {
            g_warning("%s: failed to connect to server %s, r=%d\n", __func__, srv->host, r);
            nap(srv, 1000);
        }
    }
    return nullptr;
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
    __atomic_store_n(&srv->f_exit, 0, __ATOMIC_RELEASE);
    int r = pthread_create(&srv->th, nullptr, srv_thread_proc, srv);
    if (!r)
        srv->f_running = 1;
    return r;
}

int srv_stop(srv_t *srv)
{
    if (!srv->f_running)
        return 0;
    __atomic_store_n(&srv->f_exit, 1, __ATOMIC_RELEASE);
    int r = pthread_join(srv->th, nullptr);
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
    int f_new = memcmp(&s, &srv->status_prev, sizeof(s)) != 0;
    pthread_mutex_lock(&srv->lock);
    for (int i = 0; i < SRV_STATUS_CB_MAX; i++)
        if (srv->cb[i].proc)
            srv->cb[i].proc(srv, &s, srv->cb[i].cookie, f_new);
    pthread_mutex_unlock(&srv->lock);
    memcpy(&srv->status_prev, &s, sizeof(s));
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
