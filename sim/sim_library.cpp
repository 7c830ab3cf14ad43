/* Library server of the simulator over a real media folder: the PelmoraLib
 * methods, library paths, metadata and thumbnail caches, subclip sidecars
 * and the templates file; changes go to the journal (sim_journal). */
#include "sim_library.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <tuple>
#include <vector>

#include "sim_confine.h"
#include "sim_journal.h"
#include "sim_media_probe.h"
#include "sim_params.h"

/* Longest library path. */
#define SIM_LIB_PATH_MAX 259
#define SIM_LIB_THUMB_CACHE_BYTES (64u << 20)
#define SIM_LIB_META_CACHE_MAX 20000
/* A sidecar or templates file bigger than this is not ours: refused. */
#define SIM_LIB_TEXT_FILE_MAX (1u << 20)

struct sim_lib_meta_key
{
    dev_t dev;
    ino_t ino;
    int64_t size, mtime;
    bool operator<(const sim_lib_meta_key &o) const
    {
        return std::tie(dev, ino, size, mtime) < std::tie(o.dev, o.ino, o.size, o.mtime);
    }
};

struct sim_library_desc
{
    sim_server_t *srv;
    std::vector<sim_server_t *> also; /* other servers answering its methods */
    std::string root;                 /* real path, no trailing "/" */
    int root_fd = -1;                 /* every path is walked from here */
    std::string data_dir;             /* templates file lives here */

    sim_journal_t *journal = nullptr;
    std::mutex logged_lock;
    std::set<std::string> logged; /* files libavformat could not read, logged once */

    /* Items per folder (library path -> regular files directly in it),
     * brought up to date from the journal: a change marks its folder (an
     * item) or its subtree (a folder) to be counted again, nothing else. */
    std::mutex count_lock;
    std::map<std::string, int> dir_items;
    int64_t total_items = 0;

    std::mutex meta_lock;
    std::map<sim_lib_meta_key, std::pair<int, sim_probe_t>> meta; /* result, probe */

    std::mutex thumb_lock;
    std::map<std::string, std::string> thumbs; /* key -> PNG */
    size_t thumb_bytes = 0;
    std::atomic<int64_t> thumbs_decoded{0};

    std::mutex files_lock; /* read-modify-write of sidecars and templates */
};

static std::mutex sim_lib_registry_lock;
static std::map<sim_server_t *, sim_library_t *> sim_lib_registry;

static sim_library_t *sim_lib_of(sim_server_t *srv)
{
    std::lock_guard<std::mutex> g(sim_lib_registry_lock);
    auto it = sim_lib_registry.find(srv);
    return it == sim_lib_registry.end() ? nullptr : it->second;
}

/* ------------------------------------------------------------------------
 * Paths
 * ---------------------------------------------------------------------- */

/* Names go out as UTF-8 that xmlrpc-c and XML take: characters beyond
 * U+FFFF, bytes that are not UTF-8 and control characters are written as
 * %XX, one per byte (upper-case hex). */
static std::string sim_lib_wire(const std::string &s)
{
    std::string o;
    size_t i = 0, n = s.size();
    while (i < n) {
        unsigned char c = (unsigned char)s[i];
        size_t len = c >= 0x20 && c < 0x7f ? 1 : c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : 0;
        bool ok = len > 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; k++)
            ok = ((unsigned char)s[i + k] & 0xc0) == 0x80;
        if (ok && len == 3) {
            unsigned char c1 = (unsigned char)s[i + 1], c2 = (unsigned char)s[i + 2];
            ok = !(c == 0xe0 && c1 < 0xa0) && !(c == 0xed && c1 >= 0xa0) && /* overlong, surrogates */
                 !(c == 0xef && c1 == 0xbf && c2 >= 0xbe);                  /* U+FFFE, U+FFFF */
        }
        if (ok) {
            o.append(s, i, len);
            i += len;
            continue;
        }
        char b[4];
        snprintf(b, sizeof b, "%%%02X", c);
        o += b;
        i++;
    }
    return o;
}

/* A path as a client sends it back: %XX of 80 to FF is that byte. */
static std::string sim_lib_unwire(const std::string &s)
{
    auto hex = [](char ch) { return ch >= '0' && ch <= '9' ? ch - '0' : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10 : -1; };
    std::string o;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 8 && hex(s[i + 2]) >= 0) {
            o += (char)(hex(s[i + 1]) * 16 + hex(s[i + 2]));
            i += 2;
        } else
            o += s[i];
    }
    return o;
}

/* Splits a library path into its components; -1 for anything that is not a
 * plain path below the root. */
static int sim_lib_split(const std::string &wire, std::vector<std::string> *parts)
{
    std::string path = sim_lib_unwire(wire);
    if (path.size() > SIM_LIB_PATH_MAX)
        return -1;
    for (unsigned char ch : path)
        if (ch < 0x20 || ch == 0x7f)
            return -1;
    size_t i = 0;
    if (!path.empty() && path[0] == '/')
        i = 1;
    /* "//name": a name joined to the root's own "/" by a client names the
     * same place as "/name". */
    if (i == 1 && path.size() > 2 && path[1] == '/' && path[2] != '/')
        i = 2;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos)
            j = path.size();
        std::string c = path.substr(i, j - i);
        if (c.empty()) {
            if (j == path.size()) /* a trailing "/" */
                break;
            return -1;
        }
        if (c[0] == '.') /* ".", "..", our sidecars and temporary files */
            return -1;
        parts->push_back(c);
        i = j + 1;
    }
    return 0;
}

/* The folder holding a library path (walked from the root without following
 * a link) and the path's last name (empty for the root itself). The last
 * name is looked at without following it: a link is -1; with f_must_exist
 * a missing name is -2. *parts receives the components when given. */
static int sim_lib_at(const sim_library_t *lib, const std::string &path, int f_must_exist, sim_fd_t *dir,
                      std::string *name, std::vector<std::string> *parts = nullptr)
{
    std::vector<std::string> p;
    if (sim_lib_split(path, &p) < 0)
        return -1;
    int r = sim_confine_walk(lib->root_fd, p, p.empty() ? 0 : p.size() - 1, dir);
    if (r < 0)
        return r;
    name->clear();
    if (!p.empty()) {
        *name = p.back();
        struct stat st;
        if (fstatat(dir->fd, name->c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT || f_must_exist)
                return errno == ENOENT ? -2 : -errno;
        } else if (S_ISLNK(st.st_mode))
            return -1;
    }
    if (parts)
        *parts = std::move(p);
    return 0;
}

/* A whole library path opened as a folder. */
static int sim_lib_open_dir(const sim_library_t *lib, const std::string &path, sim_fd_t *dir)
{
    std::vector<std::string> p;
    if (sim_lib_split(path, &p) < 0)
        return -1;
    return sim_confine_walk(lib->root_fd, p, p.size(), dir);
}

int sim_library_resolve(const sim_library_t *lib, const std::string &path, int f_must_exist, std::string *out)
{
    sim_fd_t dir;
    std::string name;
    std::vector<std::string> parts;
    int r = sim_lib_at(lib, path, f_must_exist, &dir, &name, &parts);
    if (r < 0)
        return r;
    std::string file = lib->root;
    for (const std::string &c : parts)
        file += "/" + c;
    *out = file;
    return 0;
}

int sim_library_open_parent(const sim_library_t *lib, const std::string &path, int f_must_exist, sim_fd_t *dir,
                            std::string *name)
{
    int r = sim_lib_at(lib, path, f_must_exist, dir, name);
    if (r == 0 && name->empty())
        r = -1; /* the root is no item */
    return r;
}

int sim_library_open_item(const sim_library_t *lib, const std::string &path, struct stat *st)
{
    sim_fd_t dir;
    std::string name;
    int r = sim_library_open_parent(lib, path, 1, &dir, &name);
    if (r < 0)
        return r;
    return sim_confine_open_file(dir.fd, name.c_str(), st);
}

static std::string sim_lib_base(const std::string &path)
{
    size_t s = path.find_last_of('/');
    return s == std::string::npos ? path : path.substr(s + 1);
}

/* "/" + components joined: the canonical form used in the journal. */
static std::string sim_lib_canon(const std::string &path)
{
    std::vector<std::string> parts;
    if (sim_lib_split(path, &parts) < 0)
        return path;
    std::string c;
    for (const std::string &p : parts)
        c += "/" + p;
    return c.empty() ? "/" : c;
}

/* The sidecar of the item `name`, beside it in the same folder. */
static std::string sim_lib_sidecar(const std::string &name)
{
    return "." + name + ".subclips";
}

/* The templates file lives in the data folder, which is ours: read and
 * written by name, still through the same no-follow helpers. */
static int sim_lib_read_file(const std::string &file, std::string *text)
{
    return sim_confine_read(AT_FDCWD, file.c_str(), SIM_LIB_TEXT_FILE_MAX, text);
}

static int sim_lib_write_file(const std::string &file, const std::string &text)
{
    size_t s = file.find_last_of('/');
    sim_fd_t dir(
        open(s == std::string::npos ? "." : file.substr(0, s + 1).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0)
        return -errno;
    return sim_confine_write(dir.fd, file.substr(s + 1).c_str(), text);
}

static std::vector<std::string> sim_lib_lines(const std::string &text)
{
    std::vector<std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        size_t j = text.find('\n', i);
        if (j == std::string::npos)
            j = text.size();
        if (j > i)
            out.push_back(text.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

static std::vector<std::string> sim_lib_fields(const std::string &line)
{
    std::vector<std::string> f;
    size_t i = 0;
    for (;;) {
        size_t j = line.find('\t', i);
        f.push_back(line.substr(i, j == std::string::npos ? std::string::npos : j - i));
        if (j == std::string::npos)
            break;
        i = j + 1;
    }
    return f;
}

/* Tabs and line ends would break the line formats of our files. */
static std::string sim_lib_clean(const std::string &s)
{
    std::string c = s.substr(0, SIM_LIB_PATH_MAX);
    for (char &ch : c)
        if ((unsigned char)ch < 0x20)
            ch = ' ';
    return c;
}

/* Our own changes go to the journal under their canonical path: announced
 * before they are made, then settled. */
static void sim_lib_expect(sim_library_t *lib, char kind, const std::string &path)
{
    sim_journal_expect(lib->journal, kind, sim_lib_canon(path));
}

static void sim_lib_done(sim_library_t *lib, char kind, const std::string &path, int f_made)
{
    sim_journal_done(lib->journal, kind, sim_lib_canon(path), f_made);
}

/* ------------------------------------------------------------------------
 * Items
 * ---------------------------------------------------------------------- */

struct sim_lib_entry
{
    std::string name;
    struct stat st;
};

/* The folder's items (regular files) or sub-folders, by name ignoring case.
 * Links are not followed: neither an item nor a folder. */
static int sim_lib_list(int dir_fd, int f_dirs, std::vector<sim_lib_entry> *out)
{
    int fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    DIR *d = fdopendir(fd);
    if (!d) {
        close(fd);
        return -errno;
    }
    while (struct dirent *de = readdir(d)) {
        if (de->d_name[0] == '.')
            continue;
        sim_lib_entry e;
        e.name = de->d_name;
        if (e.name.size() > SIM_LIB_PATH_MAX)
            continue;
        if (fstatat(dirfd(d), de->d_name, &e.st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (f_dirs ? S_ISDIR(e.st.st_mode) : S_ISREG(e.st.st_mode))
            out->push_back(std::move(e));
    }
    closedir(d);
    std::sort(out->begin(), out->end(), [](const sim_lib_entry &a, const sim_lib_entry &b) {
        return strcasecmp(a.name.c_str(), b.name.c_str()) < 0;
    });
    return 0;
}

/* Metadata of the item `name` in dir_fd, probed once per (file, size,
 * mtime); st is what the listing saw. */
static int sim_lib_probe(sim_library_t *lib, int dir_fd, const std::string &name, const struct stat &st, sim_probe_t *p)
{
    sim_lib_meta_key k{st.st_dev, st.st_ino, (int64_t)st.st_size, (int64_t)st.st_mtime};
    {
        std::lock_guard<std::mutex> g(lib->meta_lock);
        auto it = lib->meta.find(k);
        if (it != lib->meta.end()) {
            *p = it->second.second;
            return it->second.first;
        }
    }
    struct stat now;
    sim_fd_t fd(sim_confine_open_file(dir_fd, name.c_str(), &now));
    if (fd.fd < 0)
        return *p = sim_probe_t(), fd.fd; /* gone or replaced since the listing: not cached */
    k = sim_lib_meta_key{now.st_dev, now.st_ino, (int64_t)now.st_size, (int64_t)now.st_mtime};
    int r = sim_probe_file(fd.fd, p);
    if (r < 0) {
        std::lock_guard<std::mutex> g(lib->logged_lock);
        std::string id = std::to_string((long long)now.st_dev) + ":" + std::to_string((long long)now.st_ino);
        if (lib->logged.size() < 10000 && lib->logged.insert(id).second)
            fprintf(stderr, "sim: library: [%s] is not media libavformat can read (%d); listed as a plain file\n",
                    sim_lib_wire(name).c_str(), r);
    }
    std::lock_guard<std::mutex> g(lib->meta_lock);
    if (lib->meta.size() >= SIM_LIB_META_CACHE_MAX)
        lib->meta.clear();
    lib->meta[k] = std::make_pair(r, *p);
    return r;
}

static int sim_lib_subclip_count(int dir_fd, const std::string &name)
{
    std::string text;
    if (sim_confine_read(dir_fd, sim_lib_sidecar(name).c_str(), SIM_LIB_TEXT_FILE_MAX, &text) < 0)
        return 0;
    return (int)sim_lib_lines(text).size();
}

static std::string sim_lib_num(double d)
{
    char b[64];
    snprintf(b, sizeof b, "%.6f", d);
    return b;
}

static xmlrpc_value *sim_lib_item_value(xmlrpc_env *env, sim_library_t *lib, int dir_fd, const std::string &name,
                                        const struct stat &st)
{
    sim_probe_t p;
    sim_lib_probe(lib, dir_fd, name, st, &p);
    char dar[48] = "", sar[48] = "", rate[48] = "";
    if (p.dar_den)
        snprintf(dar, sizeof dar, "%d:%d", p.dar_num, p.dar_den);
    if (p.sar_den)
        snprintf(sar, sizeof sar, "%d:%d", p.sar_num, p.sar_den);
    if (p.rate_den)
        snprintf(rate, sizeof rate, "%d/%d", p.rate_num, p.rate_den);
    xmlrpc_value *v = xmlrpc_build_value(
        env, "{s:s,s:I,s:I,s:I,s:I,s:I,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:i}", "name",
        sim_lib_wire(name).c_str(), "st_ino", (xmlrpc_int64)st.st_ino, "st_size", (xmlrpc_int64)st.st_size, "st_mtime",
        (xmlrpc_int64)st.st_mtime, "st_ctime", (xmlrpc_int64)st.st_ctime, "st_atime", (xmlrpc_int64)st.st_atime,
        "format_name", p.format_name.c_str(), "duration", sim_lib_num(p.duration).c_str(), "duration_v",
        sim_lib_num(p.duration_v).c_str(), "duration_a", sim_lib_num(p.duration_a).c_str(), "nb_frames",
        std::to_string(p.nb_frames).c_str(), "nb_streams", std::to_string(p.nb_streams).c_str(), "width",
        std::to_string(p.width).c_str(), "height", std::to_string(p.height).c_str(), "display_aspect_ratio", dar,
        "sample_aspect_ratio", sar, "r_frame_rate", rate, "sample_fmt", p.sample_fmt.c_str(), "sample_rate",
        std::to_string(p.sample_rate).c_str(), "channels", std::to_string(p.channels).c_str(), "subclips",
        (xmlrpc_int32)sim_lib_subclip_count(dir_fd, name));
    if (!env->fault_occurred && !p.timecode.empty()) {
        xmlrpc_value *tc = xmlrpc_string_new(env, p.timecode.c_str());
        if (!env->fault_occurred) {
            xmlrpc_struct_set_value(env, v, "timecode", tc);
            xmlrpc_DECREF(tc);
        }
    }
    return v;
}

/* Every item of the library, depth first in name order: the search order.
 * Links are never followed, so the walk sees each folder once. */
static void sim_lib_walk(int dir_fd, const std::string &path, std::vector<std::string> *out, int depth)
{
    if (depth > 64 || out->size() > 1000000)
        return;
    std::vector<sim_lib_entry> dirs, items;
    sim_lib_list(dir_fd, 1, &dirs);
    sim_lib_list(dir_fd, 0, &items);
    std::string pre = path == "/" ? "" : path;
    for (const auto &e : items)
        out->push_back(pre + "/" + e.name);
    for (const auto &e : dirs) {
        sim_fd_t sub(openat(dir_fd, e.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (sub.fd >= 0)
            sim_lib_walk(sub.fd, pre + "/" + e.name, out, depth + 1);
    }
}

/* Regular files directly in a folder (not hidden), as the listing counts. */
static int sim_lib_count_dir(int dir_fd, std::vector<std::string> *subdirs)
{
    int fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    DIR *d = fdopendir(fd);
    if (!d) {
        close(fd);
        return 0;
    }
    int n = 0;
    while (struct dirent *de = readdir(d)) {
        if (de->d_name[0] == '.' || strlen(de->d_name) > SIM_LIB_PATH_MAX)
            continue;
        unsigned char t = de->d_type;
        if (t == DT_UNKNOWN) {
            struct stat st;
            if (fstatat(dirfd(d), de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            t = S_ISREG(st.st_mode) ? DT_REG : S_ISDIR(st.st_mode) ? DT_DIR : DT_LNK;
        }
        if (t == DT_REG)
            n++;
        else if (t == DT_DIR && subdirs && subdirs->size() < 100000)
            subdirs->push_back(de->d_name);
    }
    closedir(d);
    return n;
}

/* Forgets the counts of a folder and everything below it (count_lock held). */
static void sim_lib_count_forget(sim_library_t *lib, const std::string &path)
{
    auto at = lib->dir_items.find(path);
    if (at != lib->dir_items.end()) {
        lib->total_items -= at->second;
        lib->dir_items.erase(at);
    }
    std::string pre = path == "/" ? "/" : path + "/";
    for (auto it = lib->dir_items.lower_bound(pre);
         it != lib->dir_items.end() && it->first.compare(0, pre.size(), pre) == 0;) {
        lib->total_items -= it->second;
        it = lib->dir_items.erase(it);
    }
}

/* Counts a folder again (with its subtree when f_tree) from the disk as it
 * is now (count_lock held). */
static void sim_lib_count_again(sim_library_t *lib, const std::string &path, int f_tree)
{
    if (f_tree)
        sim_lib_count_forget(lib, path);
    std::vector<std::pair<std::string, int>> todo{{path, 0}};
    size_t budget = 100000;
    while (!todo.empty() && budget-- > 0) {
        auto [p, depth] = todo.back();
        todo.pop_back();
        sim_fd_t dir;
        auto it = lib->dir_items.find(p);
        if (it != lib->dir_items.end()) {
            lib->total_items -= it->second;
            lib->dir_items.erase(it);
        }
        if (sim_lib_open_dir(lib, p, &dir) < 0) {
            sim_lib_count_forget(lib, p); /* gone: so is what was below */
            continue;
        }
        std::vector<std::string> subs;
        int n = sim_lib_count_dir(dir.fd, f_tree && depth < 64 ? &subs : nullptr);
        lib->dir_items[p] = n;
        lib->total_items += n;
        for (const std::string &c : subs)
            todo.push_back({(p == "/" ? "" : p) + "/" + c, depth + 1});
    }
}

/* The item count, brought up to date with what changed since last time. */
static int64_t sim_lib_count(sim_library_t *lib)
{
    std::lock_guard<std::mutex> g(lib->count_lock);
    std::set<std::string> dirs, trees;
    sim_journal_take_changed(lib->journal, &dirs, &trees);
    for (const std::string &t : trees)
        sim_lib_count_again(lib, t, 1);
    for (const std::string &d : dirs)
        sim_lib_count_again(lib, d, 0);
    return lib->total_items;
}

/* ------------------------------------------------------------------------
 * Methods
 * ---------------------------------------------------------------------- */

/* A name or path as the library takes it: up to a NUL. */
static int sim_lib_str(xmlrpc_env *env, xmlrpc_value *params, int pos, std::string *out)
{
    if (sim_param_str(env, params, pos, out) < 0)
        return -1;
    out->resize(strlen(out->c_str()));
    return 0;
}

static xmlrpc_value *sim_lib_result(xmlrpc_env *env, int result)
{
    return xmlrpc_build_value(env, "{s:i}", "result", (xmlrpc_int32)result);
}

/* An array of n values made by make(i); null (with the fault) when one
 * cannot be made. */
template <typename F> static xmlrpc_value *sim_lib_array(xmlrpc_env *env, size_t n, F make)
{
    xmlrpc_value *list = xmlrpc_array_new(env);
    for (size_t i = 0; i < n && !env->fault_occurred; i++) {
        xmlrpc_value *e = make(i);
        if (env->fault_occurred)
            break;
        xmlrpc_array_append_item(env, list, e);
        xmlrpc_DECREF(e);
    }
    if (env->fault_occurred) {
        if (list)
            xmlrpc_DECREF(list);
        return nullptr;
    }
    return list;
}

/* {result: n, list} of n values made by make(i). */
template <typename F> static xmlrpc_value *sim_lib_list_answer(xmlrpc_env *env, size_t n, F make)
{
    xmlrpc_value *list = sim_lib_array(env, n, make);
    if (!list)
        return nullptr;
    xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:A}", "result", (xmlrpc_int32)n, "list", list);
    xmlrpc_DECREF(list);
    return v;
}

static xmlrpc_value *sim_lib_string_list(xmlrpc_env *env, const std::vector<std::string> &items)
{
    return sim_lib_list_answer(env, items.size(),
                               [&](size_t i) { return xmlrpc_build_value(env, "(s)", items[i].c_str()); });
}

/* The item (a regular file, not a link) at path: 0 with its folder, its
 * name and *st set, or the result. */
static int sim_lib_item_at(sim_library_t *lib, const std::string &path, sim_fd_t *dir, std::string *name,
                           struct stat *st)
{
    int r = sim_library_open_parent(lib, path, 1, dir, name);
    if (r == 0 && (fstatat(dir->fd, name->c_str(), st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st->st_mode)))
        r = -2;
    return r;
}

#define SIM_LIB_BEGIN                                                                                                  \
    sim_library_t *lib = sim_lib_of(srv);                                                                              \
    if (!lib) {                                                                                                        \
        xmlrpc_env_set_fault(env, 500, "no library");                                                                  \
        return nullptr;                                                                                                \
    }

static xmlrpc_value *sim_m_list_dirs(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_LIB_BEGIN
    std::string path;
    if (sim_lib_str(env, params, 0, &path) < 0)
        return nullptr;
    sim_fd_t dir;
    int r = sim_lib_open_dir(lib, path, &dir);
    if (r < 0)
        return sim_lib_result(env, r);
    std::vector<sim_lib_entry> dirs;
    if ((r = sim_lib_list(dir.fd, 1, &dirs)) < 0)
        return sim_lib_result(env, r);
    return sim_lib_list_answer(env, dirs.size(), [&](size_t i) {
        return xmlrpc_build_value(env, "{s:s}", "name", sim_lib_wire(dirs[i].name).c_str());
    });
}

static xmlrpc_value *sim_m_list_items(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_LIB_BEGIN
    std::string path, file;
    int offset = -1, limit = -1;
    if (sim_lib_str(env, params, 0, &path) < 0)
        return nullptr;
    if (sim_param_count(env, params) >= 3 &&
        (sim_param_int(env, params, 1, &offset) < 0 || sim_param_int(env, params, 2, &limit) < 0))
        return nullptr;
    sim_fd_t dir;
    int r = sim_lib_open_dir(lib, path, &dir);
    if (r < 0)
        return sim_lib_result(env, r);
    std::vector<sim_lib_entry> items;
    if ((r = sim_lib_list(dir.fd, 0, &items)) < 0)
        return sim_lib_result(env, r);
    size_t from = 0, to = items.size();
    if (!(offset == -1 && limit == -1)) {
        if (offset < 0 || limit < 0)
            return sim_lib_result(env, -22);
        from = std::min(items.size(), (size_t)offset);
        to = std::min(items.size(), from + (size_t)limit);
    }
    return sim_lib_list_answer(env, to - from, [&](size_t i) {
        const sim_lib_entry &e = items[from + i];
        return sim_lib_item_value(env, lib, dir.fd, e.name, e.st);
    });
}

static xmlrpc_value *sim_m_meta_item(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_LIB_BEGIN
    std::string path, file;
    if (sim_lib_str(env, params, 0, &path) < 0)
        return nullptr;
    struct stat st;
    sim_fd_t dir;
    std::string name;
    int r = sim_lib_item_at(lib, path, &dir, &name, &st);
    if (r < 0)
        return sim_lib_result(env, r);
    xmlrpc_value *item = sim_lib_item_value(env, lib, dir.fd, name, st);
    if (env->fault_occurred)
        return nullptr;
    xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:S}", "result", 0, "item", item);
    xmlrpc_DECREF(item);
    return v;
}

static xmlrpc_value *sim_m_thumb_item(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_LIB_BEGIN
    std::string path, mode, file;
    int w = 0, h = 0;
    if (sim_lib_str(env, params, 0, &path) < 0 || sim_lib_str(env, params, 1, &mode) < 0 ||
        sim_param_int(env, params, 2, &w) < 0 || sim_param_int(env, params, 3, &h) < 0)
        return nullptr;
    struct stat st;
    sim_fd_t fd(sim_library_open_item(lib, path, &st));
    if (fd.fd < 0)
        return sim_lib_result(env, fd.fd);
    file = std::to_string((long long)st.st_dev) + ":" + std::to_string((long long)st.st_ino);
    std::string key = file + "\n" + mode + "\n" + std::to_string(w) + "x" + std::to_string(h) + "\n" +
                      std::to_string((long long)st.st_mtime) + "\n" + std::to_string((long long)st.st_size);
    std::string png;
    int f_cached = 0;
    {
        std::lock_guard<std::mutex> g(lib->thumb_lock);
        auto it = lib->thumbs.find(key);
        if (it != lib->thumbs.end()) {
            png = it->second;
            f_cached = 1;
        }
    }
    if (!f_cached) {
        int r = sim_probe_thumb_png(fd.fd, mode.c_str(), w, h, &png);
        if (r < 0)
            return sim_lib_result(env, r == -22 || r == SIM_PROBE_TOO_BIG ? r : -61);
        lib->thumbs_decoded++;
        std::lock_guard<std::mutex> g(lib->thumb_lock);
        if (lib->thumb_bytes + png.size() > SIM_LIB_THUMB_CACHE_BYTES) {
            lib->thumbs.clear();
            lib->thumb_bytes = 0;
        }
        if (lib->thumbs.emplace(key, png).second)
            lib->thumb_bytes += png.size();
    }
    return xmlrpc_build_value(env, "{s:i,s:6}", "result", 0, "thumb", (const unsigned char *)png.data(), png.size());
}

/* Both searches: the next item after position start_idx of the walk that
 * `hit` accepts; -2 when there is none. */
template <typename F> static xmlrpc_value *sim_lib_search(xmlrpc_env *env, sim_library_t *lib, int start_idx, F hit)
{
    std::vector<std::string> all;
    sim_lib_walk(lib->root_fd, "/", &all, 0);
    for (size_t i = (size_t)std::max(0, start_idx + 1); i < all.size(); i++)
        if (hit(all[i]))
            return xmlrpc_build_value(env, "{s:i,s:s}", "result", (xmlrpc_int32)i, "item",
                                      sim_lib_wire(all[i]).c_str());
    return sim_lib_result(env, -2);
}

static xmlrpc_value *sim_m_search_item(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_LIB_BEGIN
    int start = -1;
    std::string start_item, key;
    if (sim_param_int(env, params, 0, &start) < 0 || sim_lib_str(env, params, 1, &start_item) < 0 ||
        sim_lib_str(env, params, 2, &key) < 0)
        return nullptr;
    if (key.empty())
        return sim_lib_result(env, -22);
    std::string lkey = sim_lib_unwire(key);
    std::transform(lkey.begin(), lkey.end(), lkey.begin(), ::tolower);
    return sim_lib_search(env, lib, start, [&](const std::string &p) {
        std::string n = sim_lib_base(p);
        std::transform(n.begin(), n.end(), n.begin(), ::tolower);
        return n.find(lkey) != std::string::npos;
    });
}

static xmlrpc_value *sim_m_search_dur(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_LIB_BEGIN
    int start = -1;
    std::string start_item;
    double a = 0, b = 0;
    if (sim_param_int(env, params, 0, &start) < 0 || sim_lib_str(env, params, 1, &start_item) < 0 ||
        sim_param_double(env, params, 2, &a) < 0 || sim_param_double(env, params, 3, &b) < 0)
        return nullptr;
    return sim_lib_search(env, lib, start, [&](const std::string &p) {
        sim_fd_t dir;
        std::string name;
        struct stat st;
        if (sim_lib_item_at(lib, p, &dir, &name, &st) < 0)
            return false;
        sim_probe_t pr;
        if (sim_lib_probe(lib, dir.fd, name, st, &pr) < 0)
            return false;
        double d = pr.duration_v != 0 ? pr.duration_v : pr.duration;
        /* The upper bound is the first duration not asked for. */
        return d >= a && (d < b || (a == b && d == a));
    });
}

static xmlrpc_value *sim_m_state(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_LIB_BEGIN
    int limit = 0;
    if (sim_param_int(env, params, 0, &limit) < 0)
        return nullptr;
    limit = std::max(0, std::min(limit, SIM_JOURNAL_KEEP));
    struct statvfs vfs;
    int64_t total = 0, avail = 0;
    if (statvfs(lib->root.c_str(), &vfs) == 0) {
        total = (int64_t)vfs.f_blocks * (int64_t)vfs.f_frsize;
        avail = (int64_t)vfs.f_bavail * (int64_t)vfs.f_frsize;
    }
    std::vector<std::string> entries;
    int64_t amend = sim_journal_read(lib->journal, limit, &entries);
    int total_items = (int)std::min<int64_t>(sim_lib_count(lib), INT32_MAX);
    xmlrpc_value *list = sim_lib_array(env, entries.size(), [&](size_t i) {
        return xmlrpc_build_value(env, "(s)", sim_lib_wire(entries[i]).c_str());
    });
    if (!list)
        return nullptr;
    xmlrpc_value *v =
        xmlrpc_build_value(env, "{s:i,s:I,s:i,s:I,s:I,s:I,s:A}", "result", 0, "amend_idx", (xmlrpc_int64)amend,
                           "total_items", (xmlrpc_int32)total_items, "free_space", (xmlrpc_int64)avail, "total_space",
                           (xmlrpc_int64)total, "used_space", (xmlrpc_int64)(total - avail), "amend_list", list);
    xmlrpc_DECREF(list);
    return v;
}

static xmlrpc_value *sim_m_create_dir(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_LIB_BEGIN
    std::string path, name;
    if (sim_lib_str(env, params, 0, &path) < 0)
        return nullptr;
    sim_fd_t dir;
    int r = sim_lib_at(lib, path, 0, &dir, &name);
    if (r == 0 && name.empty())
        r = -17;
    if (r == 0) {
        std::lock_guard<std::mutex> g(lib->files_lock);
        sim_lib_expect(lib, '&', path);
        r = mkdirat(dir.fd, name.c_str(), 0755) == 0 ? 0 : -errno;
        sim_lib_done(lib, '&', path, r == 0);
    }
    return sim_lib_result(env, r);
}

/* Renames without ever replacing what is at the new name: two clients
 * moving onto one name cannot both succeed, and nothing is lost. */
static int sim_lib_rename_noreplace(int sdir, const char *sname, int ddir, const char *dname)
{
    if (renameat2(sdir, sname, ddir, dname, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -errno;
    /* A file system without the flag: the check and the rename under
     * files_lock, which every rename of ours holds. */
    struct stat st;
    if (fstatat(ddir, dname, &st, AT_SYMLINK_NOFOLLOW) == 0)
        return -17;
    return renameat(sdir, sname, ddir, dname) == 0 ? 0 : -errno;
}

static xmlrpc_value *sim_m_rename_item(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_LIB_BEGIN
    std::string src, dst, sname, dname;
    if (sim_lib_str(env, params, 0, &src) < 0 || sim_lib_str(env, params, 1, &dst) < 0)
        return nullptr;
    sim_fd_t sdir, ddir;
    int r = sim_lib_at(lib, src, 1, &sdir, &sname);
    if (r == 0)
        r = sim_lib_at(lib, dst, 0, &ddir, &dname);
    struct stat st;
    if (r == 0 && (sname.empty() || dname.empty()))
        r = -1;
    if (r == 0 && fstatat(sdir.fd, sname.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        r = -errno;
    std::string csrc = sim_lib_canon(src), cdst = sim_lib_canon(dst);
    if (r == 0 && S_ISDIR(st.st_mode) && cdst.compare(0, csrc.size() + 1, csrc + "/") == 0)
        r = -22; /* a folder into itself */
    if (r == 0) {
        std::lock_guard<std::mutex> g(lib->files_lock);
        int f_dir = S_ISDIR(st.st_mode);
        sim_lib_expect(lib, f_dir ? '^' : '-', src);
        sim_lib_expect(lib, f_dir ? '&' : '+', dst);
        r = sim_lib_rename_noreplace(sdir.fd, sname.c_str(), ddir.fd, dname.c_str());
        if (r == 0) {
            /* The subclips go along; a stale sidecar at the new name goes. */
            if (!f_dir &&
                renameat(sdir.fd, sim_lib_sidecar(sname).c_str(), ddir.fd, sim_lib_sidecar(dname).c_str()) != 0)
                unlinkat(ddir.fd, sim_lib_sidecar(dname).c_str(), 0);
        }
        sim_lib_done(lib, f_dir ? '^' : '-', src, r == 0);
        sim_lib_done(lib, f_dir ? '&' : '+', dst, r == 0);
    }
    return sim_lib_result(env, r);
}

static xmlrpc_value *sim_m_delete_item(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_LIB_BEGIN
    std::string path, name;
    if (sim_lib_str(env, params, 0, &path) < 0)
        return nullptr;
    sim_fd_t dir;
    int r = sim_lib_at(lib, path, 1, &dir, &name);
    struct stat st;
    if (r == 0 && (name.empty() || fstatat(dir.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode)))
        r = -21; /* EISDIR (or gone) */
    if (r == 0) {
        std::lock_guard<std::mutex> g(lib->files_lock);
        sim_lib_expect(lib, '-', path);
        r = unlinkat(dir.fd, name.c_str(), 0) == 0 ? 0 : -errno;
        if (r == 0)
            unlinkat(dir.fd, sim_lib_sidecar(name).c_str(), 0);
        sim_lib_done(lib, '-', path, r == 0);
    }
    return sim_lib_result(env, r);
}

static xmlrpc_value *sim_m_delete_dir(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_LIB_BEGIN
    std::string path, name;
    if (sim_lib_str(env, params, 0, &path) < 0)
        return nullptr;
    sim_fd_t dir;
    int r = sim_lib_at(lib, path, 1, &dir, &name);
    if (r == 0 && name.empty())
        r = -1;
    if (r == 0) {
        std::lock_guard<std::mutex> g(lib->files_lock);
        sim_lib_expect(lib, '^', path);
        r = unlinkat(dir.fd, name.c_str(), AT_REMOVEDIR) == 0 ? 0 : -errno;
        sim_lib_done(lib, '^', path, r == 0);
    }
    return sim_lib_result(env, r);
}

struct sim_lib_subclip
{
    int mark_in, duration;
    std::string title;
};

static int sim_lib_subclips_read(int dir_fd, const std::string &name, std::vector<sim_lib_subclip> *out)
{
    std::string text;
    int r = sim_confine_read(dir_fd, sim_lib_sidecar(name).c_str(), SIM_LIB_TEXT_FILE_MAX, &text);
    if (r < 0)
        return r;
    for (const std::string &line : sim_lib_lines(text)) {
        std::vector<std::string> f = sim_lib_fields(line);
        if (f.size() < 3)
            continue;
        out->push_back({atoi(f[0].c_str()), atoi(f[1].c_str()), f[2]});
    }
    return 0;
}

static int sim_lib_subclips_write(int dir_fd, const std::string &name, const std::vector<sim_lib_subclip> &subs)
{
    if (subs.empty()) {
        unlinkat(dir_fd, sim_lib_sidecar(name).c_str(), 0);
        return 0;
    }
    std::string text;
    for (const auto &s : subs)
        text += std::to_string(s.mark_in) + "\t" + std::to_string(s.duration) + "\t" + sim_lib_clean(s.title) + "\n";
    return sim_confine_write(dir_fd, sim_lib_sidecar(name).c_str(), text);
}

static xmlrpc_value *sim_m_list_subclips(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_LIB_BEGIN
    std::string path, name;
    if (sim_lib_str(env, params, 0, &path) < 0)
        return nullptr;
    struct stat st;
    sim_fd_t dir;
    int r = sim_lib_item_at(lib, path, &dir, &name, &st);
    std::vector<sim_lib_subclip> subs;
    if (r == 0)
        r = sim_lib_subclips_read(dir.fd, name, &subs);
    if (r < 0)
        return sim_lib_result(env, r);
    return sim_lib_list_answer(env, subs.size(), [&](size_t i) {
        return xmlrpc_build_value(env, "{s:i,s:i,s:s}", "mark_in", (xmlrpc_int32)subs[i].mark_in, "duration",
                                  (xmlrpc_int32)subs[i].duration, "title", sim_lib_wire(subs[i].title).c_str());
    });
}

static xmlrpc_value *sim_m_register_subclip(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_LIB_BEGIN
    std::string path, title, name;
    int mark_in = 0, duration = 0;
    if (sim_lib_str(env, params, 0, &path) < 0 || sim_param_int(env, params, 1, &mark_in) < 0 ||
        sim_param_int(env, params, 2, &duration) < 0 || sim_lib_str(env, params, 3, &title) < 0)
        return nullptr;
    if (mark_in < 0 || duration <= 0)
        return sim_lib_result(env, -22);
    struct stat st;
    sim_fd_t dir;
    int r = sim_lib_item_at(lib, path, &dir, &name, &st);
    if (r == 0) {
        std::lock_guard<std::mutex> g(lib->files_lock);
        std::vector<sim_lib_subclip> subs;
        r = sim_lib_subclips_read(dir.fd, name, &subs);
        if (r == 0 && subs.size() >= 10000)
            r = -28; /* ENOSPC */
        if (r == 0) {
            subs.push_back({mark_in, duration, sim_lib_clean(title)});
            r = sim_lib_subclips_write(dir.fd, name, subs);
        }
        if (r == 0)
            sim_lib_done(lib, '*', path, 1);
    }
    return sim_lib_result(env, r);
}

static xmlrpc_value *sim_m_delete_subclip(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_LIB_BEGIN
    std::string path, name;
    int idx = 0;
    if (sim_lib_str(env, params, 0, &path) < 0 || sim_param_int(env, params, 1, &idx) < 0)
        return nullptr;
    struct stat st;
    sim_fd_t dir;
    int r = sim_lib_item_at(lib, path, &dir, &name, &st);
    if (r == 0) {
        std::lock_guard<std::mutex> g(lib->files_lock);
        std::vector<sim_lib_subclip> subs;
        r = sim_lib_subclips_read(dir.fd, name, &subs);
        if (r == 0 && (idx < 0 || idx >= (int)subs.size()))
            r = -2;
        if (r == 0) {
            subs.erase(subs.begin() + idx);
            r = sim_lib_subclips_write(dir.fd, name, subs);
        }
        if (r == 0)
            sim_lib_done(lib, '*', path, 1);
    }
    return sim_lib_result(env, r);
}

/* Templates: one line per template in DATA/templates, its name and then its
 * variables, separated by tabs. */
typedef std::vector<std::pair<std::string, std::vector<std::string>>> sim_lib_templates_t;

static std::string sim_lib_templates_file(const sim_library_t *lib)
{
    return lib->data_dir + "/templates";
}

static int sim_lib_templates_read(const sim_library_t *lib, sim_lib_templates_t *t)
{
    std::string text;
    int r = sim_lib_read_file(sim_lib_templates_file(lib), &text);
    if (r < 0)
        return r;
    for (const std::string &line : sim_lib_lines(text)) {
        std::vector<std::string> f = sim_lib_fields(line);
        if (f[0].empty() || f[0][0] == '#')
            continue;
        t->emplace_back(f[0], std::vector<std::string>(f.begin() + 1, f.end()));
    }
    return 0;
}

static int sim_lib_templates_write(const sim_library_t *lib, const sim_lib_templates_t &t)
{
    std::string text;
    for (const auto &e : t) {
        text += sim_lib_clean(e.first);
        for (const std::string &v : e.second)
            text += "\t" + sim_lib_clean(v);
        text += "\n";
    }
    return sim_lib_write_file(sim_lib_templates_file(lib), text);
}

static sim_lib_templates_t::iterator sim_lib_template_find(sim_lib_templates_t &t, const std::string &name)
{
    return std::find_if(t.begin(), t.end(), [&](const auto &e) { return e.first == name; });
}

static xmlrpc_value *sim_m_list_templates(xmlrpc_env *env, xmlrpc_value *, sim_server_t *srv)
{
    SIM_LIB_BEGIN
    sim_lib_templates_t t;
    int r = sim_lib_templates_read(lib, &t);
    if (r < 0)
        return sim_lib_result(env, r);
    std::vector<std::string> names;
    for (const auto &e : t)
        names.push_back(e.first);
    return sim_lib_string_list(env, names);
}

static xmlrpc_value *sim_m_list_template_vars(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_LIB_BEGIN
    std::string name;
    if (sim_lib_str(env, params, 0, &name) < 0)
        return nullptr;
    sim_lib_templates_t t;
    int r = sim_lib_templates_read(lib, &t);
    if (r < 0)
        return sim_lib_result(env, r);
    auto it = sim_lib_template_find(t, name);
    if (it == t.end())
        return sim_lib_result(env, -2);
    return sim_lib_string_list(env, it->second);
}

/* The template edits: 'a' add (name), 'd' delete (name), 'r' rename
 * (name, new), 'c' clone (name, new), 'p' replace (name's variables by
 * those of the second), 's' set (name, variables). */
static xmlrpc_value *sim_lib_template_edit(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv, char op)
{
    SIM_LIB_BEGIN
    std::string a, b;
    std::vector<std::string> vars;
    if (sim_lib_str(env, params, 0, &a) < 0)
        return nullptr;
    if ((op == 'r' || op == 'c' || op == 'p') && sim_lib_str(env, params, 1, &b) < 0)
        return nullptr;
    if (op == 's') {
        xmlrpc_value *arr = sim_param(env, params, 1, XMLRPC_TYPE_ARRAY);
        if (!arr)
            return nullptr;
        int n = xmlrpc_array_size(env, arr);
        for (int i = 0; i < n && i < 1000 && !env->fault_occurred; i++) {
            xmlrpc_value *e = nullptr;
            xmlrpc_array_read_item(env, arr, i, &e);
            if (env->fault_occurred)
                break;
            const char *s = nullptr;
            if (xmlrpc_value_type(e) == XMLRPC_TYPE_STRING) {
                xmlrpc_read_string(env, e, &s);
                if (s) {
                    vars.push_back(sim_lib_clean(s));
                    free((void *)s);
                }
            }
            xmlrpc_DECREF(e);
        }
        xmlrpc_DECREF(arr);
        if (env->fault_occurred)
            return nullptr;
    }
    a = sim_lib_clean(a);
    b = sim_lib_clean(b);
    if (a.empty() || ((op == 'r' || op == 'c' || op == 'p') && b.empty()))
        return sim_lib_result(env, -22);
    std::lock_guard<std::mutex> g(lib->files_lock);
    sim_lib_templates_t t;
    int r = sim_lib_templates_read(lib, &t);
    if (r < 0)
        return sim_lib_result(env, r);
    auto ia = sim_lib_template_find(t, a);
    if (op == 'a') {
        if (ia != t.end())
            return sim_lib_result(env, -17);
        t.emplace_back(a, std::vector<std::string>());
    } else {
        if (ia == t.end())
            return sim_lib_result(env, -2);
        auto ib = sim_lib_template_find(t, b);
        if (op == 'd')
            t.erase(ia);
        else if (op == 'r' || op == 'c') {
            if (ib != t.end())
                return sim_lib_result(env, -17);
            if (op == 'r')
                ia->first = b;
            else
                t.emplace_back(b, ia->second);
        } else if (op == 'p') {
            if (ib == t.end())
                return sim_lib_result(env, -2);
            ia->second = ib->second;
        } else
            ia->second = vars;
    }
    return sim_lib_result(env, sim_lib_templates_write(lib, t));
}

/* One method per template edit, by its operation letter. */
template <char OP> static xmlrpc_value *sim_m_template(xmlrpc_env *env, xmlrpc_value *p, sim_server_t *srv)
{
    return sim_lib_template_edit(env, p, srv, OP);
}

static xmlrpc_value *sim_m_template_get(xmlrpc_env *env, xmlrpc_value *p, sim_server_t *srv)
{
    return sim_m_list_template_vars(env, p, srv);
}

static xmlrpc_value *sim_m_template_fonts(xmlrpc_env *env, xmlrpc_value *, sim_server_t *)
{
    return sim_lib_string_list(env, {"DejaVu Sans", "DejaVu Sans Mono", "DejaVu Serif"});
}

static xmlrpc_value *sim_m_list_overlays(xmlrpc_env *env, xmlrpc_value *, sim_server_t *)
{
    return sim_lib_string_list(env, {});
}

/* Methods this library has nothing behind: overlays, cues, rendering. */
static xmlrpc_value *sim_m_not_here(xmlrpc_env *env, xmlrpc_value *, sim_server_t *)
{
    return sim_lib_result(env, -95); /* EOPNOTSUPP */
}

static xmlrpc_value *sim_m_disk_usage(xmlrpc_env *env, xmlrpc_value *, sim_server_t *srv)
{
    SIM_LIB_BEGIN
    struct statvfs vfs;
    if (statvfs(lib->root.c_str(), &vfs) != 0)
        return sim_lib_result(env, -errno);
    int64_t total = (int64_t)vfs.f_blocks * (int64_t)vfs.f_frsize,
            avail = (int64_t)vfs.f_bavail * (int64_t)vfs.f_frsize;
    return xmlrpc_build_value(env, "{s:i,s:I,s:I,s:I}", "result", 0, "total_space", (xmlrpc_int64)total, "free_space",
                              (xmlrpc_int64)avail, "used_space", (xmlrpc_int64)(total - avail));
}

static xmlrpc_value *sim_m_register_item(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_LIB_BEGIN
    std::string path, name;
    if (sim_lib_str(env, params, 0, &path) < 0)
        return nullptr;
    struct stat st;
    sim_fd_t dir;
    int r = sim_lib_item_at(lib, path, &dir, &name, &st);
    if (r == 0)
        sim_lib_done(lib, '*', path, 1);
    return sim_lib_result(env, r);
}

static xmlrpc_value *sim_m_basename_item(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_LIB_BEGIN
    std::string path, ext, file;
    if (sim_lib_str(env, params, 0, &path) < 0)
        return nullptr;
    if (sim_param_count(env, params) >= 2 && sim_lib_str(env, params, 1, &ext) < 0)
        return nullptr;
    std::string obj = path;
    if (!ext.empty())
        obj += (ext[0] == '.' ? "" : ".") + ext;
    struct stat st;
    sim_fd_t dir;
    std::string name;
    int r = sim_lib_item_at(lib, obj, &dir, &name, &st);
    if (r == 0)
        r = sim_library_resolve(lib, obj, 1, &file);
    if (r < 0)
        return xmlrpc_build_value(env, "{s:i,s:s,s:s,s:I}", "result", (xmlrpc_int32)r, "value", "", "object", "",
                                  "cache_shm_id", (xmlrpc_int64)-1);
    return xmlrpc_build_value(env, "{s:i,s:s,s:s,s:I}", "result", 0, "value", sim_lib_wire(file).c_str(), "object",
                              sim_lib_wire(sim_lib_canon(obj)).c_str(), "cache_shm_id", (xmlrpc_int64)-1);
}

/* ------------------------------------------------------------------------
 * Set-up
 * ---------------------------------------------------------------------- */

/* --refuse on the library's port (library and job services): the call
 * changes nothing and answers the result alone. */
static xmlrpc_value *sim_lib_refuse(xmlrpc_env *env, xmlrpc_value *, sim_server_t *, int result)
{
    return xmlrpc_build_value(env, "{s:i}", "result", result);
}

sim_library_t *sim_library_create(sim_server_t *srv, const char *root, const char *data_dir, std::string *err)
{
    if (!srv->refuse_fn)
        srv->refuse_fn = sim_lib_refuse;
    char real[PATH_MAX];
    struct stat st;
    if (!root || !realpath(root, real) || stat(real, &st) != 0 || !S_ISDIR(st.st_mode)) {
        *err = std::string("library folder [") + (root ? root : "") + "] does not exist";
        return nullptr;
    }
    sim_library_t *lib = new sim_library_t();
    lib->srv = srv;
    lib->root = real;
    if (lib->root.size() > 1 && lib->root.back() == '/')
        lib->root.pop_back();
    lib->data_dir = data_dir ? data_dir : ".";
    lib->root_fd = open(lib->root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lib->root_fd < 0) {
        *err = std::string("library folder [") + lib->root + "] cannot be opened: " + strerror(errno);
        delete lib;
        return nullptr;
    }
    /* What a killed run left half-written is of no use to anyone. */
    sim_confine_sweep(lib->root_fd, 0);
    lib->journal =
        sim_journal_create([lib](const std::string &p, sim_fd_t *dir) { return sim_lib_open_dir(lib, p, dir); });
    if (sim_library_serve_on(lib, srv) < 0) {
        *err = "cannot register the library's methods";
        sim_library_destroy(lib);
        return nullptr;
    }
    return lib;
}

int sim_library_serve_on(sim_library_t *lib, sim_server_t *srv)
{
    {
        std::lock_guard<std::mutex> g(sim_lib_registry_lock);
        sim_lib_registry[srv] = lib;
    }
    if (srv != lib->srv)
        lib->also.push_back(srv);

    static const struct
    {
        const char *name;
        sim_method_fn fn;
    } table[] = {
        {"PelmoraLib.LibListDirs", sim_m_list_dirs},
        {"PelmoraLib.LibListItems", sim_m_list_items},
        {"PelmoraLib.LibListSubclips", sim_m_list_subclips},
        {"PelmoraLib.LibMetaItem", sim_m_meta_item},
        {"PelmoraLib.LibThumbItem", sim_m_thumb_item},
        {"PelmoraLib.LibSearchItem", sim_m_search_item},
        {"PelmoraLib.LibSearchItemDurRange", sim_m_search_dur},
        {"PelmoraLib.LibState", sim_m_state},
        {"PelmoraLib.LibCreateDir", sim_m_create_dir},
        {"PelmoraLib.LibRenameItem", sim_m_rename_item},
        {"PelmoraLib.LibDeleteItem", sim_m_delete_item},
        {"PelmoraLib.LibDeleteDir", sim_m_delete_dir},
        {"PelmoraLib.LibDeleteSubclip", sim_m_delete_subclip},
        {"PelmoraLib.LibRegisterSubclip", sim_m_register_subclip},
        {"PelmoraLib.LibListTemplates", sim_m_list_templates},
        {"PelmoraLib.LibListTemplateVars", sim_m_list_template_vars},
        {"PelmoraLib.LibBasenameItem", sim_m_basename_item},
        {"PelmoraLib.LibListOverlays", sim_m_list_overlays},
        {"PelmoraLib.LibThumbOverlay", sim_m_not_here},
        {"PelmoraLib.LibDiskUsage", sim_m_disk_usage},
        {"PelmoraLib.LibRegisterItem", sim_m_register_item},
        {"PelmoraLib.LibBasenameOverlay", sim_m_not_here},
        {"PelmoraLib.LibRegisterCue", sim_m_not_here},
        {"PelmoraLib.LibTemplateGet", sim_m_template_get},
        {"PelmoraLib.LibTemplateSet", sim_m_template<'s'>},
        {"PelmoraLib.LibTemplateAdd", sim_m_template<'a'>},
        {"PelmoraLib.LibTemplateDel", sim_m_template<'d'>},
        {"PelmoraLib.LibTemplateFonts", sim_m_template_fonts},
        {"PelmoraLib.LibTemplateFonts2", sim_m_template_fonts},
        {"PelmoraLib.LibTemplateRename", sim_m_template<'r'>},
        {"PelmoraLib.LibTemplateReplace", sim_m_template<'p'>},
        {"PelmoraLib.LibTemplateClone", sim_m_template<'c'>},
        {"PelmoraLib.LibTemplateBuild", sim_m_not_here},
    };
    for (const auto &m : table)
        if (sim_server_add_method(srv, m.name, m.fn) < 0) {
            fprintf(stderr, "sim: library: cannot register %s\n", m.name);
            return -12;
        }
    return 0;
}

void sim_library_destroy(sim_library_t *lib)
{
    if (!lib)
        return;
    sim_journal_destroy(lib->journal);
    if (lib->root_fd >= 0)
        close(lib->root_fd);
    {
        std::lock_guard<std::mutex> g(sim_lib_registry_lock);
        sim_lib_registry.erase(lib->srv);
        for (sim_server_t *s : lib->also)
            sim_lib_registry.erase(s);
    }
    delete lib;
}

int64_t sim_library_journal_amend(sim_library_t *lib)
{
    return sim_journal_read(lib->journal, 0, nullptr);
}

int sim_library_subclips(sim_library_t *lib, const std::string &path, std::vector<sim_library_subclip_t> *out)
{
    out->clear();
    struct stat st;
    sim_fd_t dir;
    std::string name;
    std::vector<sim_lib_subclip> subs;
    int r = sim_lib_item_at(lib, path, &dir, &name, &st);
    if (r == 0)
        r = sim_lib_subclips_read(dir.fd, name, &subs);
    for (const sim_lib_subclip &s : subs)
        out->push_back({s.mark_in, s.duration, s.title});
    return r;
}

void sim_library_own_file(sim_library_t *lib, const std::string &path, int phase)
{
    if (phase == 0)
        sim_lib_expect(lib, '+', path);
    else
        sim_lib_done(lib, '+', path, phase > 0);
}

int64_t sim_library_thumbs_decoded(const sim_library_t *lib)
{
    return lib->thumbs_decoded.load();
}
