/* Confined file access for the simulator's media folder: every library
 * path is walked from a descriptor of the root one name at a time without
 * following any symbolic link, and the work is then done relative to the
 * folder reached (openat, mkdirat, renameat2, unlinkat), so a folder
 * swapped for a link between a check and its use cannot lead outside. */
#pragma once
#include <sys/stat.h>

#include <string>
#include <vector>

/* A descriptor closed when its scope ends. */
typedef struct sim_fd_desc
{
    int fd = -1;
    sim_fd_desc() = default;
    explicit sim_fd_desc(int f) : fd(f) {}
    sim_fd_desc(const sim_fd_desc &) = delete;
    sim_fd_desc &operator=(const sim_fd_desc &) = delete;
    sim_fd_desc(sim_fd_desc &&o) noexcept : fd(o.fd) { o.fd = -1; }
    sim_fd_desc &operator=(sim_fd_desc &&o) noexcept;
    ~sim_fd_desc();
    void reset(int f = -1);
} sim_fd_t;

/* Opens the folder reached through the first n of `parts` from dir_fd
 * (n 0: dir_fd itself, opened anew). -1 when a name on the way is a
 * symbolic link, -2 when one is missing or not a folder, else -errno. */
int sim_confine_walk(int dir_fd, const std::vector<std::string> &parts, size_t n, sim_fd_t *out);

/* Opens `name` in dir_fd for reading when it is a regular file, without
 * following a link and without blocking (a FIFO or device never holds the
 * caller): the descriptor with *st filled, -1 for a link, -2 for anything
 * missing or not a regular file, else -errno. */
int sim_confine_open_file(int dir_fd, const char *name, struct stat *st);

/* A name libavformat opens for an open descriptor: the same file, with no
 * path looked up again. */
std::string sim_confine_fd_name(int fd);

/* Reads a small regular file in dir_fd (not followed, not blocking); ""
 * when absent, -27 past max bytes. */
int sim_confine_read(int dir_fd, const char *name, size_t max, std::string *text);

/* Replaces `name` in dir_fd with `text` through a temporary file of ours
 * (SIM_CONFINE_TMP_PREFIX) renamed over it. */
int sim_confine_write(int dir_fd, const char *name, const std::string &text);

/* Temporary files of ours begin with this; a start removes what a killed
 * run left of them (sim_confine_sweep). */
#define SIM_CONFINE_TMP_PREFIX ".pelmora-part."

/* Makes a temporary file in dir_fd for `name`: the descriptor, its name in
 * *tmp. */
int sim_confine_tmp(int dir_fd, const char *name, std::string *tmp);

/* True for a name a killed run of ours may have left behind: our prefix,
 * or the older forms ".NAME.XXXXXX" (mkstemp) and ".tmp.PID.NAME". */
int sim_confine_is_leftover(const char *name);

/* Removes leftovers from dir_fd and the folders below it (links never
 * followed, depth bounded); the number removed. */
int sim_confine_sweep(int dir_fd, int depth);
