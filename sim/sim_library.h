/* Library server of the simulator: the PelmoraLib methods over a real folder
 * of media files (the library root). Metadata and thumbnails come from the
 * files themselves; subclips live in a sidecar per item, templates in a file
 * of the data folder; a change journal is fed by the server's own changes and
 * by an inotify watch of the whole tree. Every path is kept inside the root. */
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "sim_confine.h"
#include "sim_server.h"

typedef struct sim_library_desc sim_library_t;

/* Opens the library over `root` (an existing folder) with its templates file
 * in `data_dir`, starts the folder watch and registers the methods on `srv`
 * (bound, not started). Returns the library or null with `err` set. */
sim_library_t *sim_library_create(sim_server_t *srv, const char *root, const char *data_dir, std::string *err);
/* Registers the library's methods on another server too (bound, not
 * started): an IO server answers them as the real one does for its own
 * player's clips. 0 or -12. */
int sim_library_serve_on(sim_library_t *lib, sim_server_t *srv);
/* Stops the watch and frees the library; every server answering its methods
 * must be stopped first. */
void sim_library_destroy(sim_library_t *lib);

/* Checks a library path ("/folder/clip.mov"; the leading "/" is the root)
 * and names the file inside the root, for answers and logs only: nothing
 * may be opened by that name (a folder on the way may be swapped for a
 * link at any time); use the two calls below. Refuses (-1 EPERM) "..",
 * ".", empty components inside the path, hidden names (our sidecars and
 * temporary files), NUL and control characters, over-long paths, and any
 * symbolic link on the way. With f_must_exist the whole path must exist
 * (-2 otherwise). 0 with *out set. Names arrive as the library sends them
 * (%XX for bytes it cannot send as they are). */
int sim_library_resolve(const sim_library_t *lib, const std::string &path, int f_must_exist, std::string *out);
/* The folder holding an item path, walked from the root without following
 * a link, and the item's name in it (not followed either: a link is -1),
 * for the *at calls. The root itself is -1. */
int sim_library_open_parent(const sim_library_t *lib, const std::string &path, int f_must_exist, sim_fd_t *dir,
                            std::string *name);
/* Opens an item for reading as sim_confine_open_file does (regular files
 * only, never blocking): the descriptor, or -1 / -2 / -errno. */
int sim_library_open_item(const sim_library_t *lib, const std::string &path, struct stat *st);

/* The journal's change counter: it grows with every change seen in the
 * folder, ours or from outside, so a reader that keeps the last value it
 * saw knows when to look at its files again. */
int64_t sim_library_journal_amend(sim_library_t *lib);

/* One subclip registered on an item: frames from the clip's start. */
typedef struct sim_library_subclip_desc
{
    int mark_in, duration;
    std::string title;
} sim_library_subclip_t;
/* The subclips of an item: 0 (none is 0 too), or -1 / -2 / -errno when the
 * item cannot be reached. */
int sim_library_subclips(sim_library_t *lib, const std::string &path, std::vector<sim_library_subclip_t> *out);

/* A file another service of ours puts into the library by renaming it into
 * place: phase 0 just before the rename, 1 once it is done (journaled at
 * once; the watch's report of it is not journaled again), -1 when it was
 * not made. */
void sim_library_own_file(sim_library_t *lib, const std::string &path, int phase);

/* Thumbnails decoded so far (not served from the cache); for tests. */
int64_t sim_library_thumbs_decoded(const sim_library_t *lib);
