/* The subclip editor's player engine: the worker that sends the calls, the
 * status subscriber, and the hand-over of both to the main loop. */
#include "subclip_player.h"

#include <glib.h>
#include <string.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace {

struct player_call
{
    subclip_player_op_t op;
    int i, i2;
    double d;
    std::string name;
};

} // namespace

struct subclip_player_desc
{
    srv_t *srv = nullptr;
    int cb_idx = -1;
    std::string url;
    subclip_player_hooks_t hooks{};
    void *cookie = nullptr;
    idle_wrap_lock_t lock{};

    std::mutex m; /* everything below */
    std::condition_variable cv;
    std::deque<player_call> q;
    bool f_exit = false;  /* the worker ends once the queue is empty */
    bool closing = false; /* no hook runs any more */

    int status_here = 0;
    pelmora_status_t status{}; /* the last good one */
    bool status_dirty = false;
    int down = 0, down_r = 0;
    int failed_op = -1, failed_r = 0;
    bool trouble_dirty = false;
    idle_wrap_post_t *post = nullptr; /* carries whatever is new */

    std::thread th;
};

namespace {

const char *op_names[] = {"STOP", "CUE", "PAUSE", "LOAD", "SEEK", "PLAY", "SHUTTLE"};

void on_idle(subclip_player_t *p)
{
    pelmora_status_t s;
    bool status_dirty, trouble_dirty;
    int down, down_r, failed_op, failed_r;
    {
        std::lock_guard<std::mutex> g(p->m);
        if (p->closing)
            return;
        s = p->status;
        status_dirty = p->status_dirty;
        trouble_dirty = p->trouble_dirty;
        down = p->down;
        down_r = p->down_r;
        failed_op = p->failed_op;
        failed_r = p->failed_r;
        p->status_dirty = p->trouble_dirty = false;
    }
    if (status_dirty && p->hooks.status)
        p->hooks.status(p->cookie, &s);
    if (trouble_dirty && p->hooks.trouble)
        p->hooks.trouble(p->cookie, down, down_r, failed_op, failed_r);
}

/* Under p->m. */
void schedule(subclip_player_t *p)
{
    if (!p->closing)
        idle_wrap_post(p->post);
}

/* Monitor thread, with the monitor's table locked. A failed poll is an
 * all-zero record: it says the player is gone, not that it sits at 0. */
void on_status(srv_t *, pelmora_status_t *s, void *cookie, int)
{
    subclip_player_t *p = (subclip_player_t *)cookie;
    std::lock_guard<std::mutex> g(p->m);
    if (s->result != 0) {
        if (!p->down || p->down_r != s->result) {
            p->down = 1;
            p->down_r = s->result;
            p->trouble_dirty = true;
            schedule(p);
        }
        return;
    }
    if (p->down) {
        p->down = 0;
        p->trouble_dirty = true;
        schedule(p);
    }
    bool moved = !p->status_here || s->clip_pos != p->status.clip_pos || s->playlist_speed != p->status.playlist_speed;
    p->status = *s;
    p->status_here = 1;
    if (moved) {
        p->status_dirty = true;
        schedule(p);
    }
}

int run_call(const std::string &url, const player_call &c)
{
    const char *u = url.c_str();
    switch (c.op) {
    case SUBCLIP_OP_STOP:
        return pelmora_stop(u);
    case SUBCLIP_OP_CUE_PLAY_WITH_DATA:
        return pelmora_cue_play_with_data(u, c.i);
    case SUBCLIP_OP_PAUSE:
        return pelmora_pause(u);
    case SUBCLIP_OP_APPEND:
        return pelmora_playlist_append(u, c.name.c_str(), c.i, c.i2, "", "", nullptr);
    case SUBCLIP_OP_SEEK:
        return pelmora_playlist_seek(u, c.i);
    case SUBCLIP_OP_PLAY:
        return pelmora_play(u);
    case SUBCLIP_OP_PLAY_VARI:
        return pelmora_play_vari(u, c.d);
    }
    return -22;
}

void worker(subclip_player_t *p)
{
    for (;;) {
        player_call c;
        {
            std::unique_lock<std::mutex> l(p->m);
            p->cv.wait(l, [p] { return !p->q.empty() || p->f_exit; });
            if (p->q.empty())
                break;
            c = std::move(p->q.front());
            p->q.pop_front();
        }
        int r = run_call(p->url, c);
        if (r < 0)
            g_warning("%s: %s on [%s] answered %d", "subclip_player", subclip_player_op_name(c.op), p->url.c_str(), r);
        std::lock_guard<std::mutex> g(p->m);
        if (r < 0) {
            p->failed_op = c.op;
            p->failed_r = r;
            p->trouble_dirty = true;
            schedule(p);
        } else if (p->failed_op >= 0) {
            p->failed_op = -1;
            p->trouble_dirty = true;
            schedule(p);
        }
    }
}

} // namespace

const char *subclip_player_op_name(int op)
{
    if (op < 0 || op >= (int)(sizeof(op_names) / sizeof(op_names[0])))
        return "?";
    return op_names[op];
}

subclip_player_t *subclip_player_create(srv_t *srv, const subclip_player_hooks_t *hooks, void *cookie,
                                        const idle_wrap_lock_t *lock)
{
    if (!srv || !hooks)
        return nullptr;
    subclip_player_t *p = new subclip_player_desc;
    p->srv = srv;
    p->url = srv->url;
    p->hooks = *hooks;
    p->cookie = cookie;
    if (lock && lock->enter && lock->leave)
        p->lock = *lock;
    p->post = idle_wrap_post_new([p] { on_idle(p); }, &p->lock, G_PRIORITY_DEFAULT_IDLE);
    try {
        p->th = std::thread(worker, p);
    } catch (const std::system_error &) {
        g_warning("%s: no thread for the player of [%s]", __func__, srv->host);
        idle_wrap_post_free(p->post);
        delete p;
        return nullptr;
    }
    p->cb_idx = srv_status_cb_add(srv, on_status, p);
    if (p->cb_idx < 0)
        g_warning("%s: the monitor of [%s] takes no more subscribers (%d): no position shown", __func__, srv->host,
                  p->cb_idx);
    return p;
}

int subclip_player_send(subclip_player_t *p, subclip_player_op_t op, int i, int i2, double d, const char *name)
{
    if (!p || op < SUBCLIP_OP_STOP || op > SUBCLIP_OP_PLAY_VARI)
        return -22;
    std::lock_guard<std::mutex> g(p->m);
    if (p->f_exit)
        return -22;
    /* A seek not yet sent is overtaken by the next one, so a dragged
     * pointer sends only where it is now; a still that would only come
     * between two unsent seeks after a still is dropped, so held arrow keys
     * (still, seek, still, seek ...) do not pile up either. */
    size_t n = p->q.size();
    if (op == SUBCLIP_OP_SEEK && n && p->q[n - 1].op == SUBCLIP_OP_SEEK) {
        p->q[n - 1].i = i;
        return 0;
    }
    if (op == SUBCLIP_OP_PLAY_VARI && d == 0 && n >= 2 && p->q[n - 1].op == SUBCLIP_OP_SEEK &&
        p->q[n - 2].op == SUBCLIP_OP_PLAY_VARI && p->q[n - 2].d == 0)
        return 0;
    if (p->q.size() >= SUBCLIP_PLAYER_QUEUE_MAX)
        return -16;
    p->q.push_back(player_call{op, i, i2, d, name ? name : ""});
    p->cv.notify_one();
    return 0;
}

int subclip_player_status(subclip_player_t *p, pelmora_status_t *s)
{
    if (!p || !s)
        return 0;
    std::lock_guard<std::mutex> g(p->m);
    if (!p->status_here)
        return 0;
    *s = p->status;
    return 1;
}

void subclip_player_close(subclip_player_t *p)
{
    if (!p)
        return;
    /* After the clear no subscriber call runs or will start. */
    if (p->cb_idx >= 0)
        srv_status_cb_clear(p->srv, p->cb_idx);
    {
        std::lock_guard<std::mutex> g(p->m);
        p->closing = true;
        p->q.clear();
        p->q.push_back(player_call{SUBCLIP_OP_STOP, 0, 0, 0, ""});
        p->f_exit = true;
        p->cv.notify_one();
    }
    /* The stop may take the server's whole time-out: the main loop keeps
     * serving meanwhile. */
    idle_wrap_join(p->th, &p->lock);
    idle_wrap_post_free(p->post);
    delete p;
}
