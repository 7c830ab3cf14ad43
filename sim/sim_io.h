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
