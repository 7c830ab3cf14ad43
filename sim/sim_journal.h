/* The library's change journal: our own changes and what an inotify watch of
 * the whole folder tree reports from outside, as "<kind><path>" entries with
 * a change counter, and the folders whose item count each change spoils.
 * Kinds: '+' '-' '*' an item made, gone, changed; '&' '^' a folder made, gone. */
#pragma once
#include <stdint.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "sim_confine.h"

typedef struct sim_journal_desc sim_journal_t;

/* Opens a library path ("/" is the root) as a folder without following a
 * link: 0 or negative. The watch walks the tree through it. */
typedef std::function<int(const std::string &path, sim_fd_t *dir)> sim_journal_open_dir_fn;

/* Starts the watch of the tree below "/" (logged and left out when inotify
 * is unavailable). The whole tree counts as changed until first taken. */
sim_journal_t *sim_journal_create(sim_journal_open_dir_fn open_dir);
/* Stops the watch and frees the journal. */
void sim_journal_destroy(sim_journal_t *j);

/* Announced before our own change to the canonical `path` is made: the watch
 * may report it before the change is journaled, and must then stay silent. */
void sim_journal_expect(sim_journal_t *j, char kind, const std::string &path);
/* Our own announced change settled: journaled now when `f_made` (so that it is
 * there when the call returns), else the announcement is taken back. */
void sim_journal_done(sim_journal_t *j, char kind, const std::string &path, int f_made);

/* The change counter, and with it up to `limit` entries, newest first. */
int64_t sim_journal_read(sim_journal_t *j, int limit, std::vector<std::string> *newest_first);
/* Folders whose direct items, and subtrees whose items, changed since the
 * last call; the sets are emptied. */
void sim_journal_take_changed(sim_journal_t *j, std::set<std::string> *dirs, std::set<std::string> *trees);

/* Entries kept for readers. */
#define SIM_JOURNAL_KEEP 4096
