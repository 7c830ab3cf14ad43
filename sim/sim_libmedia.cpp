/* The library's media as the automation sees them: a bounded table of
 * paths, probed by one worker thread outside every bus lock. */
#include "sim_libmedia.h"

#include <stdio.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "sim_confine.h"
#include "sim_media_probe.h"
#include "timecode.h"

namespace {

struct lm_entry
{
    int state = -1; /* 1 present, 0 absent, -1 not checked yet */
    int64_t frames = 0;
    std::vector<sim_subclip_t> subclips;
    /* The file last probed: a file left as it was is not probed again. */
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    int64_t mtime_ns = 0;
    uint64_t used = 0; /* look-up clock, for making room */
};

} // namespace

struct sim_libmedia_desc
{
    sim_libmedia_source_t src{};
    std::mutex lock;
    std::condition_variable cond;
    std::map<std::string, lm_entry> entries;
    uint64_t clock = 0;
    int queued = 0; /* entries waiting for a first check */
    std::atomic<int64_t> gen{1};
    int f_stop = 0;
    std::thread worker;
};

std::string sim_libmedia_key(const std::string &media_id)
{
    if (media_id.empty() || media_id[0] == '#')
        return "";
    std::string k = media_id.substr(0, media_id.find('#'));
    if (k.empty())
        return "";
    return k[0] == '/' ? k : "/" + k;
}

int sim_libmedia_lookup(sim_libmedia_t *lm, const std::string &key, sim_media_t *m)
{
    if (key.empty() || key.size() > 1024)
        return 0;
    std::lock_guard<std::mutex> g(lm->lock);
    auto it = lm->entries.find(key);
    if (it == lm->entries.end()) {
        if (lm->entries.size() >= SIM_LIBMEDIA_MAX) {
            auto oldest = lm->entries.begin();
            for (auto e = lm->entries.begin(); e != lm->entries.end(); ++e)
                if (e->second.used < oldest->second.used)
                    oldest = e;
            if (oldest->second.state < 0)
                lm->queued--;
            lm->entries.erase(oldest);
        }
        it = lm->entries.emplace(key, lm_entry()).first;
        lm->queued++;
        lm->cond.notify_one();
    }
    it->second.used = ++lm->clock;
    if (it->second.state == 1) {
        m->id = key.substr(1);
        m->frames = it->second.frames;
        m->subclips = it->second.subclips;
        m->origin = "library";
    }
    return it->second.state;
}

int64_t sim_libmedia_gen(const sim_libmedia_t *lm)
{
    return lm->gen.load();
}

/* Looks at one path with no lock held: *e takes the answer, its stat key
 * saying whether the file needs probing again. */
static void lm_check(sim_libmedia_t *lm, const std::string &key, lm_entry *e)
{
    struct stat st;
    sim_fd_t fd(lm->src.open_item(lm->src.ctx, key, &st));
    if (fd.fd < 0) {
        *e = lm_entry();
        e->state = 0;
        return;
    }
    int64_t mtime_ns = (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
    if (e->state < 0 || e->dev != st.st_dev || e->ino != st.st_ino || e->size != st.st_size ||
        e->mtime_ns != mtime_ns) {
        sim_probe_t p;
        e->dev = st.st_dev;
        e->ino = st.st_ino;
        e->size = st.st_size;
        e->mtime_ns = mtime_ns;
        /* The length a drop takes from the library: the pictures', else
         * the container's. */
        double d = 0;
        if (sim_probe_file(fd.fd, &p) == 0)
            d = p.duration_v > 0 ? p.duration_v : p.duration;
        e->frames = d > 0 && d < 86400 ? tc_sec2frames(d) : 0;
        e->state = e->frames > 0 ? 1 : 0;
    }
    e->subclips.clear();
    if (e->state == 1 && lm->src.subclips(lm->src.ctx, key, &e->subclips) < 0)
        e->subclips.clear();
}

static int lm_same(const lm_entry &a, const lm_entry &b)
{
    if (a.state != b.state || a.frames != b.frames || a.subclips.size() != b.subclips.size())
        return 0;
    for (size_t i = 0; i < a.subclips.size(); i++)
        if (a.subclips[i].name != b.subclips[i].name || a.subclips[i].in != b.subclips[i].in ||
            a.subclips[i].out != b.subclips[i].out)
            return 0;
    return 1;
}

static void lm_worker(sim_libmedia_t *lm)
{
    int64_t seen = -1;
    for (;;) {
        std::vector<std::pair<std::string, lm_entry>> todo;
        {
            std::unique_lock<std::mutex> g(lm->lock);
            lm->cond.wait_for(g, std::chrono::milliseconds(100), [lm] { return lm->f_stop || lm->queued > 0; });
            if (lm->f_stop)
                return;
            g.unlock();
            /* A move of the journal may concern any file: all are looked at. */
            int64_t amend = lm->src.journal_amend(lm->src.ctx);
            g.lock();
            int all = amend != seen;
            seen = amend;
            for (const auto &kv : lm->entries)
                if (all || kv.second.state < 0)
                    todo.emplace_back(kv.first, kv.second);
        }
        for (auto &t : todo) {
            lm_entry before = t.second;
            lm_check(lm, t.first, &t.second);
            std::lock_guard<std::mutex> g(lm->lock);
            if (lm->f_stop)
                return;
            auto it = lm->entries.find(t.first);
            if (it == lm->entries.end())
                continue; /* made room for another meanwhile */
            if (it->second.state < 0)
                lm->queued--;
            int changed = !lm_same(it->second, t.second);
            t.second.used = it->second.used;
            it->second = t.second;
            if (changed || before.state < 0)
                lm->gen++;
        }
    }
}

sim_libmedia_t *sim_libmedia_create(const sim_libmedia_source_t *src)
{
    sim_libmedia_t *lm = new sim_libmedia_t();
    lm->src = *src;
    lm->worker = std::thread(lm_worker, lm);
    return lm;
}

void sim_libmedia_destroy(sim_libmedia_t *lm)
{
    if (!lm)
        return;
    {
        std::lock_guard<std::mutex> g(lm->lock);
        lm->f_stop = 1;
        lm->cond.notify_all();
    }
    if (lm->worker.joinable())
        lm->worker.join();
    delete lm;
}
