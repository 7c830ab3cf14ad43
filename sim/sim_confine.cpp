/* Confined file access below a folder descriptor (see sim_confine.h). */
#include "sim_confine.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

sim_fd_desc &sim_fd_desc::operator=(sim_fd_desc &&o) noexcept
{
    if (this != &o) {
        reset(o.fd);
        o.fd = -1;
    }
    return *this;
}

sim_fd_desc::~sim_fd_desc()
{
    reset();
}

void sim_fd_desc::reset(int f)
{
    if (fd >= 0)
        close(fd);
    fd = f;
}

/* What a failed no-follow open of `name` met: a link (-1), nothing usable
 * (-2) or another error. */
static int sim_confine_why(int dir_fd, const char *name, int e)
{
    struct stat st;
    if ((e == ELOOP || e == ENOTDIR || e == EMLINK) && fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode))
        return -1;
    if (e == ENOENT || e == ENOTDIR || e == ENXIO || e == ENODEV)
        return -2;
    return e == ELOOP ? -1 : -e;
}

int sim_confine_walk(int dir_fd, const std::vector<std::string> &parts, size_t n, sim_fd_t *out)
{
    /* A descriptor of its own (not a duplicate): a directory's read
     * position is shared between duplicates. */
    sim_fd_t cur(openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (cur.fd < 0)
        return -errno;
    for (size_t i = 0; i < n && i < parts.size(); i++) {
        int fd = openat(cur.fd, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return sim_confine_why(cur.fd, parts[i].c_str(), errno);
        cur.reset(fd);
    }
    *out = std::move(cur);
    return 0;
}

int sim_confine_open_file(int dir_fd, const char *name, struct stat *st)
{
    /* Non-blocking: opening a FIFO for reading would otherwise wait for a
     * writer that never comes. */
    int fd = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return sim_confine_why(dir_fd, name, errno);
    if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        close(fd);
        return -2;
    }
    /* Reads of a regular file never block; the flag is dropped so that
     * the readers see ordinary semantics. */
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::string sim_confine_fd_name(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

int sim_confine_read(int dir_fd, const char *name, size_t max, std::string *text)
{
    text->clear();
    struct stat st;
    int fd = sim_confine_open_file(dir_fd, name, &st);
    if (fd == -2)
        return 0;
    if (fd < 0)
        return fd;
    sim_fd_t g(fd);
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -errno;
        if (n == 0)
            break;
        text->append(buf, (size_t)n);
        if (text->size() > max) {
            text->clear();
            return -27; /* EFBIG */
        }
    }
    return 0;
}

int sim_confine_tmp(int dir_fd, const char *name, std::string *tmp)
{
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    for (int attempt = 0; attempt < 100; attempt++) {
        std::string t = std::string(SIM_CONFINE_TMP_PREFIX) + std::to_string(getpid()) + ".";
        unsigned v = (unsigned)random();
        for (int i = 0; i < 6; i++, v /= 36)
            t += digits[v % 36];
        t += ".";
        t += std::string(name).substr(0, 200);
        int fd = openat(dir_fd, t.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            *tmp = t;
            return fd;
        }
        if (errno != EEXIST)
            return -errno;
    }
    return -17;
}

int sim_confine_write(int dir_fd, const char *name, const std::string &text)
{
    std::string tmp;
    int fd = sim_confine_tmp(dir_fd, name, &tmp);
    if (fd < 0)
        return fd;
    size_t done = 0;
    int r = 0;
    while (!r && done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            r = n < 0 ? -errno : -5;
        else
            done += (size_t)n;
    }
    if (!r && fsync(fd) != 0)
        r = -errno;
    if (close(fd) != 0 && !r)
        r = -errno;
    if (!r && renameat(dir_fd, tmp.c_str(), dir_fd, name) != 0)
        r = -errno;
    if (r)
        unlinkat(dir_fd, tmp.c_str(), 0);
    return r;
}

int sim_confine_is_leftover(const char *name)
{
    if (!strncmp(name, SIM_CONFINE_TMP_PREFIX, strlen(SIM_CONFINE_TMP_PREFIX)))
        return 1;
    size_t len = strlen(name);
    if (len < 3 || name[0] != '.')
        return 0;
    /* ".tmp.PID.NAME" of the sidecar writer */
    if (!strncmp(name, ".tmp.", 5)) {
        size_t i = 5;
        while (name[i] >= '0' && name[i] <= '9')
            i++;
        return i > 5 && name[i] == '.';
    }
    /* ".NAME.XXXXXX" of the transfer's mkstemp */
    if (len < 9 || name[len - 7] != '.')
        return 0;
    for (size_t i = len - 6; i < len; i++) {
        char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
            return 0;
    }
    return 1;
}

int sim_confine_sweep(int dir_fd, int depth)
{
    if (depth > 64)
        return 0;
    int fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    DIR *d = fdopendir(fd);
    if (!d) {
        close(fd);
        return 0;
    }
    int removed = 0;
    std::vector<std::string> sub;
    while (struct dirent *de = readdir(d)) {
        struct stat st;
        if (!strcmp(de->d_name, ".") || !strcmp(de->d_name, "..") ||
            fstatat(dirfd(d), de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISREG(st.st_mode) && sim_confine_is_leftover(de->d_name)) {
            if (unlinkat(dirfd(d), de->d_name, 0) == 0) {
                fprintf(stderr, "pelmora-sim: removed the leftover temporary file [%s] (%lld bytes)\n", de->d_name,
                        (long long)st.st_size);
                removed++;
            }
        } else if (S_ISDIR(st.st_mode) && de->d_name[0] != '.' && sub.size() < 100000)
            sub.push_back(de->d_name);
    }
    for (const std::string &s : sub) {
        int c = openat(dirfd(d), s.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (c >= 0) {
            removed += sim_confine_sweep(c, depth + 1);
            close(c);
        }
    }
    closedir(d);
    return removed;
}
