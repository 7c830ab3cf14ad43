/* Media library model of a bus: the loader thread that lists folders page by
 * page and fetches the thumbnails of the rows in view, the state reading
 * with its journal, and the hand-over of every result to the main loop. */
#include "library.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <glib.h>

#include "gdk_unlock.h"
#include "strl.h"

namespace {

struct load_job
{
    std::string path;
    int kind; /* 0: folders and items, 1: items only, 2: subclips */
    int64_t token;
};

struct thumb_job
{
    int64_t id;
    std::string path;
};

} // namespace

struct library_engine_desc
{
    std::thread loader;
    std::mutex m;
    std::condition_variable cv;
    int f_stop = 0;
    std::deque<load_job> loads;
    std::vector<thumb_job> thumbs; /* the latest wanted set, taken from the back */
    std::atomic<int64_t> thumbs_asked{0};
    /* A state was read: a server whose counter starts at 0 has its first
     * changes applied too (amend_idx alone cannot tell 0 from unread). */
    int f_state_read = 0;
    /* What the capacity hook was last given: an unchanged state is not
     * handed to the main loop again (eight buses poll ten times a second). */
    int cap_shown = -1;
    int64_t used_shown = -1, total_shown = -1, free_shown = -1;
    /* A burst of changes was seen: once the journal is quiet again, the open
     * folders are listed once more, so that a listing read in the middle of
     * the burst cannot leave a row behind. */
    int f_burst = 0;
    /* A state read or a listing got no answer: a server that answers again
     * may have restarted, its journal without the changes made meanwhile,
     * and a folder whose listing failed is listed then. Set by the loader
     * too. */
    std::atomic<int> f_unanswered{0};
    /* Items of the whole library as the last state said (-1: unknown): a
     * folder's listing never holds more. */
    std::atomic<int> total_items{-1};
    /* How the state reads are answered (LIBRARY_SERVER_*), the failures in
     * a row and when the next read is due while they fail. */
    std::atomic<int> server_how{LIBRARY_SERVER_ANSWERS};
    int fails = 0, last_r = 0;
    gint64 next_poll_us = 0;
    /* Listing every open folder again: asked for, last done, and when the
     * change counter last went back (its journal is not trusted meanwhile). */
    int resync_pending = 0;
    gint64 resync_us = 0, back_us = 0;
};

/* ---- Loader ---- */

namespace {

void free_items(pelmora_lib_item_t **items, int n)
{
    for (int i = 0; i < n; i++)
        free(items[i]);
    free(items);
}

/* One listing: folders, then the items a page at a time; thumbnails wanted
 * in the meantime go first between two pages, so the first rows get their
 * pictures while the rest of a large folder still arrives. */
void run_load(library_t *lib, const load_job &job, const std::function<void()> &thumbs_between)
{
    if (job.kind == 2) {
        pelmora_lib_subclip_t **subs = nullptr;
        int r = pelmora_lib_list_subclips(lib->url, job.path.c_str(), &subs, nullptr);
        if (r < 0)
            g_warning("%s: pelmora_lib_list_subclips failed, r=%d", "on_library_row_expanded", r);
        idle_wrap_on_main(
            [&] {
                if (lib->hooks.subclips)
                    lib->hooks.subclips(lib, job.token, subs, r < 0 ? 0 : r, r);
                else if (subs)
                    pelmora_lib_list_subclips_free(&subs);
            },
            &gdk_idle_lock);
        return;
    }
    if (job.kind == 0) {
        pelmora_lib_dir_t **dirs = nullptr;
        int r = pelmora_lib_list_dirs(lib->url, job.path.c_str(), &dirs);
        if (r < 0) {
            g_warning("%s: pelmora_list_dirs failed, r=%d", "library_load_dir", r);
            if (PELMORA_LIB_NO_ANSWER(pelmora_lib_last_fault()))
                lib->engine->f_unanswered = 1;
        }
        idle_wrap_on_main(
            [&] {
                if (lib->hooks.dirs)
                    lib->hooks.dirs(lib, job.path.c_str(), job.token, dirs, r < 0 ? 0 : r, r);
                else if (dirs) {
                    for (int i = 0; i < r; i++)
                        free(dirs[i]);
                    free(dirs);
                }
            },
            &gdk_idle_lock);
    }
    /* Pages: a page the server refuses (a fault, not silence) is asked for
     * again narrower, and an item refused alone is left out, so that one
     * unsendable name does not hide the rest of the folder. A server that
     * ignores the offset is caught by a page without a new name, or by more
     * items than the whole library holds. */
    std::set<std::string> seen;
    int limit = LIBRARY_PAGE_ITEMS, refused = 0, left_out = 0, refusal = 0;
    int64_t suspect_end = 0;
    for (int offset = 0, first = 1;;) {
        pelmora_lib_item_t **items = nullptr;
        int r = pelmora_lib_list_items2(lib->url, job.path.c_str(), &items, offset, limit);
        int fault = r < 0 ? pelmora_lib_last_fault() : 0;
        g_warning("%s: pelmora_list_items(%s)=%d", "library_load_dir", job.path.c_str(), r);
        if (r < 0 && fault && !PELMORA_LIB_NO_ANSWER(fault) && refused < LIBRARY_REFUSED_MAX) {
            refused++;
            refusal = fault;
            suspect_end = (int64_t)offset + limit;
            if (limit > 1)
                limit = std::max(1, limit / 4);
            else {
                g_warning("%s: item %d of %s refused by the server (%d): left out", "library_load_dir", offset,
                          job.path.c_str(), fault);
                left_out++;
                offset++;
                limit = LIBRARY_PAGE_ITEMS;
            }
            std::lock_guard<std::mutex> g(lib->engine->m);
            if (lib->engine->f_stop)
                break;
            continue;
        }
        if (r < 0) {
            g_warning("%s: pelmora_lib_list_items(%s) failed, r=%d", "library_load_dir", job.path.c_str(), r);
            if (PELMORA_LIB_NO_ANSWER(fault))
                lib->engine->f_unanswered = 1; /* listed again when the server answers */
        }
        int n = r < 0 ? 0 : r;
        int last = r < limit;
        int fresh = 0;
        for (int k = 0; k < n; k++)
            fresh += seen.insert(items[k]->name).second ? 1 : 0;
        int total = lib->engine->total_items.load();
        if (n > 0 && fresh == 0) {
            g_warning("%s: the page at %d of %s lists only items listed before: the listing ends there",
                      "library_load_dir", offset, job.path.c_str());
            last = 1;
        } else if (total >= 0 && (int64_t)seen.size() > total) {
            g_warning("%s: %s lists more items (%d) than the library holds (%d): the listing ends there",
                      "library_load_dir", job.path.c_str(), (int)seen.size(), total);
            last = 1;
        }
        int stop = 0, handed = 0;
        /* A page goes over in slices, so the main loop runs between them;
         * an empty page still tells the tree that the listing is done. */
        do {
            int cnt = std::min(LIBRARY_SLICE_ITEMS, n - handed);
            pelmora_lib_item_t **slice =
                static_cast<pelmora_lib_item_t **>(calloc((size_t)cnt + 1, sizeof(pelmora_lib_item_t *)));
            if (!slice) {
                stop = 1;
                break;
            }
            if (cnt > 0)
                memcpy(slice, items + handed, sizeof(*slice) * (size_t)cnt);
            int slice_first = first && handed == 0;
            int slice_last = last && handed + cnt >= n;
            handed += cnt;
            idle_wrap_on_main(
                [&] {
                    if (lib->hooks.items)
                        stop =
                            lib->hooks.items(lib, job.path.c_str(), job.token, slice, cnt, slice_first, slice_last, r);
                    else
                        free_items(slice, cnt);
                },
                &gdk_idle_lock);
        } while (!stop && handed < n);
        first = 0;
        for (int k = handed; k < n; k++)
            free(items[k]); /* not handed over: the listing was dropped */
        free(items);
        if (last || stop)
            break;
        offset += n;
        if (offset >= suspect_end)
            limit = LIBRARY_PAGE_ITEMS;
        thumbs_between();
        std::lock_guard<std::mutex> g(lib->engine->m);
        if (lib->engine->f_stop)
            break;
    }
    if ((left_out || refused >= LIBRARY_REFUSED_MAX) && lib->hooks.notice) {
        char *text = left_out ? g_strdup_printf(g_dngettext("PelmoraBox",
                                                            "%s: %d item left out, the library server "
                                                            "refuses to send it (%d)",
                                                            "%s: %d items left out, the library server refuses to "
                                                            "send them (%d)",
                                                            (unsigned long)left_out),
                                                job.path.c_str(), left_out, refusal)
                              : g_strdup_printf(g_dgettext("PelmoraBox", "%s: the library server refuses to list "
                                                                         "the folder (%d)"),
                                                job.path.c_str(), refusal);
        idle_wrap_on_main([&] { lib->hooks.notice(lib, text); }, &gdk_idle_lock);
        g_free(text);
    }
}

void fetch_thumb(library_t *lib, const thumb_job &t)
{
    void *data = nullptr;
    int size = 0;
    lib->engine->thumbs_asked++;
    int r = pelmora_lib_thumb_item(lib->url, t.path.c_str(), "c", LIBRARY_THUMB_SIZE, LIBRARY_THUMB_SIZE, &data, &size);
    if (r < 0)
        g_warning("library_thumb_item: pelmora_lib_thumb_item(%s) returns %d", t.path.c_str(), r);
    idle_wrap_on_main(
        [&] {
            if (lib->hooks.thumb)
                lib->hooks.thumb(lib, t.id, data, size);
        },
        &gdk_idle_lock);
    free(data);
}

void loader_proc(library_t *lib)
{
    library_engine_desc *e = lib->engine;
    /* Takes the wanted thumbnails one at a time, newest wish first. */
    auto thumbs_pending = [lib, e] {
        for (;;) {
            thumb_job t;
            {
                std::lock_guard<std::mutex> g(e->m);
                if (e->f_stop || e->thumbs.empty())
                    return;
                t = e->thumbs.front();
                e->thumbs.erase(e->thumbs.begin());
            }
            fetch_thumb(lib, t);
        }
    };
    for (;;) {
        load_job job;
        {
            std::unique_lock<std::mutex> g(e->m);
            e->cv.wait(g, [e] { return e->f_stop || !e->loads.empty() || !e->thumbs.empty(); });
            if (e->f_stop)
                return;
            if (e->loads.empty()) {
                g.unlock();
                thumbs_pending();
                continue;
            }
            job = e->loads.front();
            e->loads.pop_front();
        }
        run_load(lib, job, thumbs_pending);
    }
}

} // namespace

/* ---- Record ---- */

int library_init(library_t *lib)
{
    if (!lib)
        return -22;
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&lib->lock, &a);
    pthread_mutexattr_destroy(&a);
    idle_wrap_main_mark();
    lib->last_search = -1;
    strlcpy(lib->root_dir.name, "/", sizeof(lib->root_dir.name));
    strlcpy(lib->root_dir.full, "/", sizeof(lib->root_dir.full));
    if (!lib->engine) {
        lib->engine = new library_engine_desc();
        lib->engine->loader = std::thread(loader_proc, lib);
    }
    return 0;
}

int library_release(library_t *lib)
{
    if (!lib)
        return -22;
    if (lib->engine) {
        {
            std::lock_guard<std::mutex> g(lib->engine->m);
            lib->engine->f_stop = 1;
        }
        lib->engine->cv.notify_all();
        /* On the main loop's own thread the loader may be waiting for a
         * hand-over: the loop serves until it has ended. */
        if (idle_wrap_is_main())
            idle_wrap_join(lib->engine->loader, &gdk_idle_lock);
        else if (lib->engine->loader.joinable())
            lib->engine->loader.join();
        delete lib->engine;
        lib->engine = nullptr;
    }
    if (lib->hooks.closing)
        idle_wrap_on_main([lib] { lib->hooks.closing(lib); }, &gdk_idle_lock);
    if (lib->hooks.clear)
        idle_wrap_on_main([lib] { lib->hooks.clear(lib); }, &gdk_idle_lock);
    return 0;
}

int library_load_dir(library_t *lib, const char *path, int kind, int64_t token)
{
    if (!lib || !path || !lib->engine)
        return -22;
    {
        std::lock_guard<std::mutex> g(lib->engine->m);
        /* A listing of the same folder still waiting takes the new token
         * instead: the tree wants only the latest, and a journal storm would
         * otherwise queue thousands of listings of a few folders. */
        bool merged = false;
        for (load_job &j : lib->engine->loads)
            if (j.kind == kind && j.path == path) {
                j.token = token;
                merged = true;
                break;
            }
        if (!merged)
            lib->engine->loads.push_back({path, kind, token});
    }
    lib->engine->cv.notify_all();
    return 0;
}

int library_load_subclips(library_t *lib, const char *path, int64_t id)
{
    return library_load_dir(lib, path, 2, id);
}

int library_thumbs_want(library_t *lib, int n, const int64_t *ids, const char *const *paths)
{
    if (!lib || !lib->engine || n < 0)
        return -22;
    if (lib->f_no_thumbs)
        return 0;
    {
        std::lock_guard<std::mutex> g(lib->engine->m);
        lib->engine->thumbs.clear();
        for (int i = 0; i < n; i++)
            lib->engine->thumbs.push_back({ids[i], paths[i]});
    }
    lib->engine->cv.notify_all();
    return n;
}

int64_t library_thumbs_asked(const library_t *lib)
{
    return lib && lib->engine ? lib->engine->thumbs_asked.load() : 0;
}

/* ---- Notification ---- */

int library_stat_notify_add(library_t *lib, library_stat_notify_cb proc, void *cookie)
{
    pthread_mutex_lock(&lib->lock);
    int r = -16;
    for (int i = 0; i < LIBRARY_CB_SLOTS; i++)
        if (!lib->cb[i].proc) {
            lib->cb[i].proc = proc;
            lib->cb[i].cookie = cookie;
            r = i;
            break;
        }
    pthread_mutex_unlock(&lib->lock);
    return r;
}

int library_stat_notify_del(library_t *lib, int idx)
{
    if (idx < 0 || idx >= LIBRARY_CB_SLOTS)
        return -14;
    pthread_mutex_lock(&lib->lock);
    int r = lib->cb[idx].proc ? 0 : -2;
    lib->cb[idx].proc = nullptr;
    lib->cb[idx].cookie = nullptr;
    pthread_mutex_unlock(&lib->lock);
    return r;
}

int library_parent_path(const char *path, char *parent, size_t size)
{
    const char *s = strrchr(path, '/');
    if (!s)
        return -14;
    if (s == path)
        strlcpy(parent, "/", size);
    else
        strlcpy(parent, path, std::min(size, (size_t)(s - path) + 1));
    return 0;
}

namespace {

/* The last state read of each library server, shared by the libraries of
 * that server: eight buses on one server make one call per period. */
struct shared_state
{
    int f_in_flight = 0;
    uint64_t serial = 0; /* reads completed */
    int r = 0;
    int fault = 0;          /* the failed read's fault code */
    std::vector<char> copy; /* the state as read; empty after a failure */
    const library_t *reader = nullptr;
    gint64 done_us = 0;
};
std::mutex shared_m;
std::condition_variable shared_cv;
std::map<std::string, shared_state> shared_states;

size_t state_bytes(const pelmora_lib_state_t *st)
{
    int n = std::max(0, std::min(st->amend_list_len, LIBRARY_JOURNAL_LIMIT));
    return sizeof(pelmora_lib_state_t) + (size_t)n * sizeof st->amend_list_data[0];
}

/* A copy of the shared result that the caller frees. */
int shared_take(const shared_state &s, pelmora_lib_state_t **out, int *fault)
{
    *out = nullptr;
    *fault = s.fault;
    if (s.r < 0 || s.copy.empty())
        return s.r < 0 ? s.r : -14;
    void *p = malloc(s.copy.size());
    if (!p)
        return -12;
    memcpy(p, s.copy.data(), s.copy.size());
    *out = static_cast<pelmora_lib_state_t *>(p);
    return s.r;
}

int state_read_shared(library_t *lib, pelmora_lib_state_t **out, int *fault)
{
    *fault = 0;
    std::string url = lib->url;
    std::unique_lock<std::mutex> g(shared_m);
    shared_state &s = shared_states[url]; /* entries stay: one per server */
    if (s.f_in_flight) {
        uint64_t serial = s.serial;
        shared_cv.wait(g, [&] { return s.serial != serial; });
        return shared_take(s, out, fault);
    }
    /* A library's own last read is never taken again: it polls once a
     * period, so what it read before is always older than it wants. */
    if (s.reader != lib && s.serial && g_get_monotonic_time() - s.done_us < LIBRARY_STATE_SHARE_MS * 1000)
        return shared_take(s, out, fault);
    s.f_in_flight = 1;
    g.unlock();
    pelmora_lib_state_t *st = nullptr;
    int r = pelmora_lib_state(url.c_str(), LIBRARY_JOURNAL_LIMIT, &st);
    *fault = r < 0 ? pelmora_lib_last_fault() : 0;
    if (r >= 0 && !st)
        r = -14;
    g.lock();
    s.f_in_flight = 0;
    s.serial++;
    s.r = r;
    s.fault = *fault;
    s.reader = lib;
    s.done_us = g_get_monotonic_time();
    s.copy.clear();
    if (r >= 0) {
        if (st->amend_list_len > LIBRARY_JOURNAL_LIMIT)
            st->amend_list_len = LIBRARY_JOURNAL_LIMIT;
        const char *b = reinterpret_cast<const char *>(st);
        s.copy.assign(b, b + state_bytes(st));
    }
    g.unlock();
    shared_cv.notify_all();
    *out = r >= 0 ? st : nullptr;
    if (r < 0)
        free(st);
    return r;
}

} // namespace

namespace {

/* Reads the item at path and hands it to the tree; false when the read
 * failed or the folder no longer has item rows (the caller lists it). */
bool update_one(library_t *lib, const char *folder, const std::string &path)
{
    auto *item = static_cast<pelmora_lib_item_t *>(calloc(1, sizeof(pelmora_lib_item_t)));
    if (!item)
        return false;
    int r = pelmora_lib_meta_item(lib->url, path.c_str(), item);
    if (r != 0) {
        g_warning("%s: pelmora_lib_meta_item(%s)=%d: the folder is listed again", "library_stat_notify", path.c_str(),
                  r);
        free(item);
        return false;
    }
    /* The row is named as the journal names it, as a listing would. */
    strlcpy(item->name, strrchr(path.c_str(), '/') + 1, sizeof item->name);
    strlcpy(item->full, path.c_str(), sizeof item->full);
    int gone = 1;
    idle_wrap_on_main([&] { gone = lib->hooks.update_item(lib, folder, item); }, &gdk_idle_lock);
    return gone == 0;
}

} // namespace

int library_capacity_of(int64_t free_space, int64_t total_space)
{
    if (total_space <= 0)
        return 100; /* an unmounted or unreadable folder shows as full */
    /* The quotient is truncated first, as integers; 128 bits hold the
     * product of any figures. */
    __int128 q = (__int128)free_space * 100 / total_space;
    __int128 used = 100 - q;
    return used < 0 ? 0 : used > 100 ? 100 : (int)used;
}

int library_server_how(const library_t *lib)
{
    return lib && lib->engine ? lib->engine->server_how.load() : LIBRARY_SERVER_ANSWERS;
}

namespace {

/* Tells the tree how the server answers when that changed. */
void server_changed(library_t *lib, library_engine_desc *en, int how, int fault)
{
    if (!en || en->server_how.load() == how)
        return;
    en->server_how = how;
    if (how == LIBRARY_SERVER_ANSWERS)
        g_warning("%s: the library server %s answers again", "library_stat_notify", lib->url);
    else
        g_warning("%s: the library server %s %s (%d): state read every %d ms at most", "library_stat_notify", lib->url,
                  how == LIBRARY_SERVER_SILENT ? "does not answer" : "refuses the state", fault,
                  LIBRARY_POLL_BACKOFF_MAX_MS);
    if (lib->hooks.server)
        idle_wrap_on_main([&] { lib->hooks.server(lib, how, fault); }, &gdk_idle_lock);
}

} // namespace

int library_stat_notify(library_t *lib, int f_gtk_thread)
{
    if (!lib || !lib->url[0])
        return -22;
    library_engine_desc *en = lib->engine;
    gint64 now = g_get_monotonic_time();
    /* A server that fails is asked less often, up to a bound. */
    if (en && en->fails && now < en->next_poll_us)
        return en->last_r;
    pelmora_lib_state_t *st = nullptr;
    int fault = 0;
    int r = state_read_shared(lib, &st, &fault);
    if (r < 0 || !st) {
        r = r < 0 ? r : -14;
        if (en) {
            en->f_unanswered = 1;
            en->last_r = r;
            en->fails = std::min(en->fails + 1, 30);
            gint64 wait_ms = std::min<gint64>((gint64)100 << std::min(en->fails, 8), LIBRARY_POLL_BACKOFF_MAX_MS);
            en->next_poll_us = now + wait_ms * 1000;
            /* A fault or an unreadable answer is a refusal; no answer at all
             * is silence. */
            int how = fault && PELMORA_LIB_NO_ANSWER(fault) ? LIBRARY_SERVER_SILENT : LIBRARY_SERVER_REFUSES;
            server_changed(lib, en, how, fault ? fault : r);
        }
        return r;
    }
    if (en) {
        en->fails = 0;
        en->total_items = st->total_items;
        if (en->server_how.load() != LIBRARY_SERVER_ANSWERS)
            en->cap_shown = -1; /* the gauge is shown afresh */
        server_changed(lib, en, LIBRARY_SERVER_ANSWERS, 0);
    }

    int cap = library_capacity_of(st->free_space, st->total_space);
    bool cap_new = !en || cap != en->cap_shown || st->used_space != en->used_shown ||
                   st->total_space != en->total_shown || st->free_space != en->free_shown;
    if (lib->hooks.capacity && cap_new) {
        idle_wrap_on_main([&] { lib->hooks.capacity(lib, cap, st); }, &gdk_idle_lock);
        if (en) {
            en->cap_shown = cap;
            en->used_shown = st->used_space;
            en->total_shown = st->total_space;
            en->free_shown = st->free_space;
        }
    }

    std::vector<std::string> applied; /* oldest first */
    pthread_mutex_lock(&lib->lock);
    int64_t d = 0;
    int f_read = lib->engine ? lib->engine->f_state_read : lib->amend_idx != 0;
    /* The counters are any 64-bit figures: their difference is taken
     * without overflow. */
    uint64_t gap = 0;
    bool missed = false;
    bool went_back = f_read && st->amend_idx < lib->amend_idx;
    if (en && went_back)
        en->back_us = now;
    /* A counter that went back lately does not say which entries are new:
     * what changed is read from the folders, at the bounded rate. */
    bool shaky = en && en->back_us && now - en->back_us < (gint64)LIBRARY_RESYNC_MIN_MS * 1000;
    if (f_read && lib->amend_idx < st->amend_idx) {
        gap = (uint64_t)st->amend_idx - (uint64_t)lib->amend_idx;
        missed = shaky || gap > (uint64_t)std::max(0, st->amend_list_len);
        d = shaky ? 0 : missed ? st->amend_list_len : (int64_t)gap;
    }
    /* A server that was away, or whose counter went back (it restarted),
     * carries none of the changes made before it answered: every open
     * folder is read again. */
    bool back = (en && en->f_unanswered.exchange(0)) || went_back;
    lib->amend_idx = st->amend_idx;
    if (en)
        en->f_state_read = 1;
    pthread_mutex_unlock(&lib->lock);
    for (int64_t i = d - 1; i >= 0; i--) {
        std::string e(st->amend_list_data[i], strnlen(st->amend_list_data[i], sizeof st->amend_list_data[i]));
        if (e.size() >= 2) /* a kind without a path means nothing */
            applied.push_back(e);
    }
    /* Entries per folder: a folder with many in one pass is listed once. */
    std::map<std::string, int> per_dir;
    for (const std::string &e : applied) {
        char parent[260];
        if (e[0] != '&' && library_parent_path(e.c_str() + 1, parent, sizeof parent) == 0)
            per_dir[parent]++;
    }
    std::set<std::string> reloaded; /* one listing per folder and pass */
    std::set<std::string> read;     /* items read in this pass (current until dropped) */
    for (size_t k = 0; k < applied.size(); k++) {
        const std::string &e = applied[k];
        int i = (int)(applied.size() - 1 - k);
        std::string path = e.substr(1);
        const char kind = e[0];
        /* Not holding the lock while the main loop works: a callback there
         * may take it. */
        if (kind == '&') {
            if (lib->hooks.add_dir)
                idle_wrap_on_main([&] { lib->hooks.add_dir(lib, path.c_str()); }, &gdk_idle_lock);
        } else if (kind == '-' || kind == '^') {
            read.erase(path);
            if (lib->hooks.drop_item)
                idle_wrap_on_main([&] { lib->hooks.drop_item(lib, path.c_str()); }, &gdk_idle_lock);
        } else {
            char parent[260];
            if (library_parent_path(path.c_str(), parent, sizeof parent) != 0 || reloaded.count(parent))
                continue;
            /* One row read alone, on this thread: only for an open folder
             * that is not being listed, and never on the main loop. */
            if (!f_gtk_thread && lib->hooks.item_rows && lib->hooks.update_item &&
                per_dir[parent] <= LIBRARY_SINGLE_ROW_MAX) {
                if (read.count(path))
                    continue;
                int rows = 0;
                idle_wrap_on_main([&] { rows = lib->hooks.item_rows(lib, parent); }, &gdk_idle_lock);
                if (rows == 1 && update_one(lib, parent, path)) {
                    read.insert(path);
                    continue;
                }
            }
            reloaded.insert(parent);
            g_warning("%s:%d: s=[%s], j=%d d=%d", __func__, __LINE__, parent, i, (int)d);
            if (lib->hooks.reload_dir)
                idle_wrap_on_main([&] { lib->hooks.reload_dir(lib, parent); }, &gdk_idle_lock);
        }
    }
    const char *why = nullptr;
    if (back)
        why = "the library server answers again or its change counter went back";
    else if (missed)
        why = "the journal does not carry every change";
    if (lib->engine && (missed || d >= LIBRARY_JOURNAL_LIMIT / 4))
        lib->engine->f_burst = 1;
    else if (lib->engine && d == 0 && lib->engine->f_burst) {
        lib->engine->f_burst = 0;
        why = "a burst of changes ended";
    }
    /* Every open folder listed again, at most once per LIBRARY_RESYNC_MIN_MS:
     * a counter that jumps back and forth must not list them without end. */
    if (why && en) {
        if (!en->resync_pending)
            g_warning("%s: %s (counter %lld, %llu new, the journal carried %d): open folders listed again", __func__,
                      why, (long long)st->amend_idx, (unsigned long long)gap, (int)st->amend_list_len);
        en->resync_pending = 1;
    }
    if (lib->hooks.resync &&
        ((en && en->resync_pending && now - en->resync_us >= LIBRARY_RESYNC_MIN_MS * 1000LL) || (!en && why))) {
        if (en) {
            en->resync_pending = 0;
            en->resync_us = now;
        }
        idle_wrap_on_main([&] { lib->hooks.resync(lib); }, &gdk_idle_lock);
    }

    for (int i = 0; i < LIBRARY_CB_SLOTS; i++) {
        pthread_mutex_lock(&lib->lock);
        library_stat_notify_cb proc = lib->cb[i].proc;
        void *cookie = lib->cb[i].cookie;
        pthread_mutex_unlock(&lib->lock);
        if (!proc)
            continue;
        proc(lib, st, f_gtk_thread, cookie, nullptr);
        for (const std::string &e : applied)
            proc(lib, st, f_gtk_thread, cookie, e.c_str());
    }
    free(st);
    return 0;
}

/* ---- Search forms ---- */

int library_search_pattern(const char *text, char *lo, char *hi)
{
    int digits[8] = {0};
    int typed = 0;
    size_t len = strnlen(text, 11);
    int f_ended = 0;
    for (size_t i = 0; i < len; i++) {
        char c = text[i];
        /* "#" or "*" ends the pattern only where a digit goes; at a colon's
         * place the text is a keyword. */
        if (i == 2 || i == 5 || i == 8) {
            if (c != ':')
                return 0;
        } else if (c >= '0' && c <= '9')
            digits[typed++] = c - '0';
        else if (c == '#' || c == '*') {
            f_ended = 1;
            break;
        } else
            return 0;
    }
    if (!f_ended && len < 11)
        return 0;
    int pairs[4], upper[4];
    for (int i = 0; i < 4; i++)
        pairs[i] = upper[i] = digits[2 * i] * 10 + digits[2 * i + 1];
    if (typed > 0) {
        int k = typed - 1; /* the last typed digit, one more */
        upper[k / 2] += k % 2 ? 1 : 10;
    }
    snprintf(lo, 32, "%.2d:%.2d:%.2d:%.2d", pairs[0], pairs[1], pairs[2], pairs[3]);
    snprintf(hi, 32, "%.2d:%.2d:%.2d:%.2d", upper[0], upper[1], upper[2], upper[3]);
    return 1;
}
