/* The library's change journal and its inotify watch of the folder tree. */
#include "sim_journal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>

struct sim_journal_desc
{
    sim_journal_open_dir_fn open_dir;
    std::mutex lock; /* journal, expected, watches */
    int64_t amend_idx = 0;
    std::deque<std::string> journal; /* newest at the back */
    /* Our own changes that inotify will report again, with the time after
     * which the report is no longer waited for. */
    std::multimap<std::string, int64_t> expected;
    std::map<int, std::string> watches; /* wd -> library path of the folder */

    /* What a change means for the item count: its folder (an item) or its
     * subtree (a folder) is counted again at the next read. */
    std::mutex dirty_lock; /* taken under lock */
    std::set<std::string> dirty_dirs, dirty_trees;

    int ino_fd = -1;
    std::thread watch_thread;
    std::atomic<int> f_stop{0};
};

static std::string sim_journal_parent(const std::string &path)
{
    size_t s = path.find_last_of('/');
    return s == 0 || s == std::string::npos ? "/" : path.substr(0, s);
}

static void sim_journal_mark(sim_journal_t *j, char kind, const std::string &path)
{
    std::lock_guard<std::mutex> g(j->dirty_lock);
    if (j->dirty_dirs.size() + j->dirty_trees.size() > 100000) {
        j->dirty_dirs.clear();
        j->dirty_trees.clear();
        j->dirty_trees.insert("/");
    } else if (kind == '&' || kind == '^')
        j->dirty_trees.insert(path);
    else
        j->dirty_dirs.insert(sim_journal_parent(path));
}

static void sim_journal_add_locked(sim_journal_t *j, char kind, const std::string &path)
{
    j->journal.push_back(std::string(1, kind) + path);
    if (j->journal.size() > SIM_JOURNAL_KEEP)
        j->journal.pop_front();
    j->amend_idx++;
    sim_journal_mark(j, kind, path);
}

static int64_t sim_journal_now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void sim_journal_expect(sim_journal_t *j, char kind, const std::string &path)
{
    std::lock_guard<std::mutex> g(j->lock);
    if (j->ino_fd >= 0)
        j->expected.emplace(std::string(1, kind) + path, sim_journal_now_ms() + 5000);
}

void sim_journal_done(sim_journal_t *j, char kind, const std::string &path, int f_made)
{
    std::lock_guard<std::mutex> g(j->lock);
    if (f_made) {
        sim_journal_add_locked(j, kind, path);
        return;
    }
    auto it = j->expected.find(std::string(1, kind) + path);
    if (it != j->expected.end())
        j->expected.erase(it);
}

int64_t sim_journal_read(sim_journal_t *j, int limit, std::vector<std::string> *newest_first)
{
    std::lock_guard<std::mutex> g(j->lock);
    for (auto it = j->journal.rbegin(); limit > 0 && it != j->journal.rend() && (int)newest_first->size() < limit; ++it)
        newest_first->push_back(*it);
    return j->amend_idx;
}

void sim_journal_take_changed(sim_journal_t *j, std::set<std::string> *dirs, std::set<std::string> *trees)
{
    std::lock_guard<std::mutex> d(j->dirty_lock);
    dirs->swap(j->dirty_dirs);
    trees->swap(j->dirty_trees);
}

/* Watches the folder at `path` and every folder below it; with f_announce
 * what is already inside (made before the watch existed) is journaled. */
static void sim_journal_watch_tree(sim_journal_t *j, const std::string &path, int f_announce)
{
    std::vector<std::string> todo{path};
    int budget = 100000; /* folders; a bound against a pathological tree */
    while (!todo.empty() && budget-- > 0) {
        std::string p = todo.back();
        todo.pop_back();
        sim_fd_t dir;
        if (j->open_dir(p, &dir) < 0)
            continue;
        /* The folder just opened without following a link, through its
         * descriptor's name. */
        int wd = inotify_add_watch(j->ino_fd, sim_confine_fd_name(dir.fd).c_str(),
                                   IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ONLYDIR |
                                       IN_EXCL_UNLINK);
        if (wd < 0)
            continue;
        {
            std::lock_guard<std::mutex> g(j->lock);
            j->watches[wd] = p;
        }
        DIR *d = fdopendir(dir.fd);
        if (!d)
            continue;
        dir.fd = -1; /* closedir closes it */
        while (struct dirent *de = readdir(d)) {
            if (de->d_name[0] == '.')
                continue;
            std::string child = (p == "/" ? "" : p) + "/" + de->d_name;
            struct stat st;
            if (fstatat(dirfd(d), de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISDIR(st.st_mode))
                todo.push_back(child);
            if (f_announce && (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode))) {
                std::lock_guard<std::mutex> g(j->lock);
                sim_journal_add_locked(j, S_ISDIR(st.st_mode) ? '&' : '+', child);
            }
        }
        closedir(d);
    }
}

static void sim_journal_watch_event(sim_journal_t *j, const struct inotify_event *ev)
{
    std::string dir;
    {
        std::lock_guard<std::mutex> g(j->lock);
        auto it = j->watches.find(ev->wd);
        if (it == j->watches.end())
            return;
        if (ev->mask & IN_IGNORED) {
            j->watches.erase(it);
            return;
        }
        dir = it->second;
    }
    if (!ev->len || ev->name[0] == '.' || !ev->name[0])
        return; /* our sidecars and temporary files, and other hidden names */
    std::string path = (dir == "/" ? "" : dir) + "/" + ev->name;
    int f_dir = (ev->mask & IN_ISDIR) != 0;
    char kind = 0;
    if (ev->mask & (IN_CREATE | IN_MOVED_TO))
        kind = f_dir ? '&' : '+';
    else if (ev->mask & (IN_DELETE | IN_MOVED_FROM))
        kind = f_dir ? '^' : '-';
    else if (ev->mask & IN_CLOSE_WRITE)
        kind = '*';
    if (!kind)
        return;
    {
        std::lock_guard<std::mutex> g(j->lock);
        int64_t now = sim_journal_now_ms();
        for (auto it = j->expected.begin(); it != j->expected.end();)
            it = it->second < now ? j->expected.erase(it) : std::next(it);
        auto ex = j->expected.find(std::string(1, kind) + path);
        if (ex != j->expected.end())
            j->expected.erase(ex);
        else
            sim_journal_add_locked(j, kind, path);
        if (kind == '^') {
            /* Watches below a folder moved away now name paths that no
             * longer exist; they are dropped and re-added where it lands. */
            for (auto it = j->watches.begin(); it != j->watches.end();) {
                if (it->second == path || it->second.compare(0, path.size() + 1, path + "/") == 0) {
                    inotify_rm_watch(j->ino_fd, it->first);
                    it = j->watches.erase(it);
                } else
                    ++it;
            }
        }
    }
    if (kind == '&')
        sim_journal_watch_tree(j, path, 1);
}

static void sim_journal_watch_loop(sim_journal_t *j)
{
    alignas(struct inotify_event) char buf[64 * 1024];
    while (!j->f_stop.load()) {
        struct pollfd pfd = {j->ino_fd, POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0)
            continue;
        ssize_t n = read(j->ino_fd, buf, sizeof buf);
        if (n <= 0)
            continue;
        for (ssize_t off = 0; off + (ssize_t)sizeof(struct inotify_event) <= n;) {
            const struct inotify_event *ev = (const struct inotify_event *)(buf + off);
            if (ev->mask & IN_Q_OVERFLOW) {
                fprintf(stderr, "sim: library: the folder watch overflowed, changes were lost\n");
                sim_journal_mark(j, '&', "/");
            } else
                sim_journal_watch_event(j, ev);
            off += (ssize_t)sizeof(struct inotify_event) + ev->len;
        }
    }
}

sim_journal_t *sim_journal_create(sim_journal_open_dir_fn open_dir)
{
    sim_journal_t *j = new sim_journal_t();
    j->open_dir = std::move(open_dir);
    j->dirty_trees.insert("/");
    j->ino_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (j->ino_fd < 0)
        fprintf(stderr, "sim: library: inotify unavailable (%s); outside changes are not journaled\n", strerror(errno));
    else {
        sim_journal_watch_tree(j, "/", 0);
        j->watch_thread = std::thread(sim_journal_watch_loop, j);
    }
    return j;
}

void sim_journal_destroy(sim_journal_t *j)
{
    if (!j)
        return;
    j->f_stop = 1;
    if (j->watch_thread.joinable())
        j->watch_thread.join();
    if (j->ino_fd >= 0)
        close(j->ino_fd);
    delete j;
}
