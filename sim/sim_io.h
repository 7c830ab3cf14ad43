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
/* What a bus puts on air through the IO server paired with it. */
enum
{
    SIM_IO_AIR_BLACK = 0, /* nothing on air: black and silence */
    SIM_IO_AIR_CLIP = 1,  /* a clip of the library from its in point */
    SIM_IO_AIR_CARD = 2   /* a live source: a test card with its title */
};
typedef struct sim_io_air_desc
{
    int kind = SIM_IO_AIR_BLACK;
    std::string name;     /* clip: its library path; card: the source's id */
    std::string title;    /* the event's title (the clip's cookie) */
    int in = 0, dur = 0;  /* frames of the media: the in point and how long */
    int64_t start_ms = 0; /* when it went to air: frame `in` was shown then */
} sim_io_air_t;
/* The player's whole output becomes `air`: its playlist is that one clip,
 * playing at the time it went to air, so the picture follows the bus's
 * clock. 0, or the refusal of the clip (the output is then black). Takes
 * the player's lock; call it with no bus lock held. */
int sim_io_air(sim_io_t *io, const sim_io_air_t *air);

/* The automation server's preview: the IO server of this process at
 * io_url (matched by port) gets one clip, the event's media from `in` for
 * `dur` frames (0: to the end). 0, -2 when no such IO server or clip runs
 * here, or the player's refusal. */
int sim_io_preview(const std::string &io_url, const std::string &media_id, int in, int dur, const std::string &cookie);
