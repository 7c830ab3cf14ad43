/* IO servers of the simulator: each is a player with a playlist of library
 * clips that plays, pauses, shuttles and seeks on a real time model, and
 * keeps its settings (modes, encoders, OSDs, buffers, audio) in a file of
 * the data folder. */
#pragma once
#include <string>

#include "sim_library.h"
#include "sim_server.h"

typedef struct sim_io_desc sim_io_t;

/* Builds IO server number `idx` on `srv` (bound, not started): its settings
 * file is DATA/io-IDX.settings; clips are looked up in `lib` when given,
 * else in the server's catalogue. Null with `err` set on failure. */
sim_io_t *sim_io_create(sim_server_t *srv, int idx, sim_library_t *lib, std::string *err);
/* The server must be stopped first. */
void sim_io_destroy(sim_io_t *io);
/* The automation server's preview: the IO server of this process at
 * io_url (matched by port) gets one clip, the event's media from `in` for
 * `dur` frames (0: to the end). 0, -2 when no such IO server or clip runs
 * here, or the player's refusal. */
int sim_io_preview(const std::string &io_url, const std::string &media_id, int in, int dur, const std::string &cookie);
