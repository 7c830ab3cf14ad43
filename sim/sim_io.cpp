/* IO servers of the simulator: the PelmoraIO transport, playlist and
 * settings methods over a player whose position follows the wall clock. */
#include "sim_io.h"

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <vector>

#include "sim_clock.h"
#include "sim_media_probe.h"
#include "sim_params.h"
#include "timecode.h"

namespace {

/* Transport states passed through as "status". */
enum
{
    IO_IDLE = 0,
    IO_CUED = 1,
    IO_PLAYING = 2,
    IO_PAUSED = 3,
    IO_RECORDING = 4,
    /* On air for a bus with nothing to show: black and silence. */
    IO_BLACK = 5
};

/* Most clips one playlist holds; further inserts are refused. */
const size_t IO_LIST_MAX = 1000;
/* Fastest shuttle accepted, in times normal speed. */
const double IO_SPEED_MAX = 64;

struct io_clip
{
    std::string name, cookie, overlay_name, overlay_pos, amap;
    int length = 0, in = 0, dur = 0, repeat = 1;
};

struct io_enc
{
    int idx;
    const char *name, *desc;
};
struct io_mode
{
    const char *name, *desc;
    std::vector<io_enc> encs;
    std::vector<const char *> osds;
};

/* What the player offers; the position in this table is the mode number. */
const std::vector<io_mode> &io_modes()
{
    static const std::vector<io_mode> modes = {
        {"1080i50",
         "1080i 50 (1920x1080)",
         {{0, "xdcam_hd422", "XDCAM HD422 50 Mbit/s"}, {1, "dnxhd120", "DNxHD 120"}, {2, "h264", "H.264 High 4:2:2"}},
         {"clock", "logo"}},
        {"720p50", "720p 50 (1280x720)", {{0, "xdcam_hd422", "XDCAM HD422 50 Mbit/s"}, {2, "h264", ""}}, {"clock"}},
        {"576i50", "PAL 576i 50", {{3, "imx50", "IMX 50"}, {4, "dv25", "DV 25"}}, {}},
        {"1080p25", "", {{2, "h264", "H.264 High 4:2:2"}, {5, "prores422", "ProRes 422"}}, {"clock", "logo", "ticker"}},
    };
    return modes;
}

/* Settings names the player keeps, with their values at first start. */
const std::vector<std::pair<const char *, const char *>> &io_defaults()
{
    static const std::vector<std::pair<const char *, const char *>> d = {
        {"mode", "1080i50"},
        {"enc", "xdcam_hd422"},
        {"playback_consumer_noscale", "0"},
        {"playback_consumer_buffer", "10"},
        {"playback_consumer_prefill", "5"},
        {"playback_consumer_preroll", "3"},
        {"record_channels_conf", "1"},
        {"record_producer_buffer", "25"},
        {"record_channels_map", "01234567"},
        {"playback_osd", ""},
        {"keyer", "0"},
        {"record_timecode_src", "0"},
        {"playback_timecode_src", "0"},
        {"record_bitdepth", "8"},
    };
    return d;
}

} // namespace

struct sim_io_desc
{
    sim_server_t *srv = nullptr;
    sim_library_t *lib = nullptr;
    std::string settings_file;
    std::mutex lock;
    std::vector<io_clip> list;
    int gen = 0;
    int loop = 0;
    int status = IO_IDLE;
    int rec_paused = 0;
    /* Position model: pos_anchor frames into the playlist at anchor_ms,
     * moving at speed frames per frame of wall time. */
    double pos_anchor = 0;
    int64_t anchor_ms = 0;
    double speed = 0;
    std::map<std::string, std::string> settings;
    /* media path -> frames, probed once. Its own lock: a probe runs with
     * no lock held, so a slow file never holds up the status poll. */
    std::mutex lengths_lock;
    std::map<std::string, int> lengths;
};

static std::mutex sim_io_registry_lock;
static std::map<sim_server_t *, sim_io_t *> sim_io_registry;

static sim_io_t *sim_io_of(sim_server_t *srv)
{
    std::lock_guard<std::mutex> g(sim_io_registry_lock);
    auto it = sim_io_registry.find(srv);
    return it == sim_io_registry.end() ? nullptr : it->second;
}

/* ------------------------------------------------------------------------
 * Time model (under io->lock)
 * ---------------------------------------------------------------------- */

static int64_t io_total(const sim_io_t *io)
{
    int64_t t = 0;
    for (const auto &c : io->list)
        t += (int64_t)c.dur * c.repeat;
    return t;
}

/* Moves the anchor to now: the position is then exact and the speed can change. */
static void io_settle(sim_io_t *io)
{
    int64_t now = sim_clock_now_ms();
    int64_t total = io_total(io);
    double pos = io->pos_anchor;
    if (io->speed != 0 && total > 0) {
        /* Fractions of a frame are kept: settling happens on every call. */
        double fps = 1000.0 / tc_frames2sec(1000);
        pos += io->speed * fps * (double)(now - io->anchor_ms) / 1000.0;
        if (io->loop && (pos >= (double)total || pos < 0))
            pos = fmod(fmod(pos, (double)total) + (double)total, (double)total);
        if (pos >= (double)total) {
            pos = (double)(total - 1);
            io->speed = 0;
            io->status = IO_PAUSED;
        } else if (pos < 0) {
            pos = 0;
            io->speed = 0;
            io->status = IO_PAUSED;
        }
    }
    if (total <= 0)
        pos = 0;
    io->pos_anchor = pos;
    io->anchor_ms = now;
}

static void io_set_speed(sim_io_t *io, double speed, int status)
{
    io_settle(io);
    io->speed = speed;
    io->status = status;
}

/* Clip index holding playlist position pos, and that clip's start; -1 when empty. */
static int io_clip_at(const sim_io_t *io, int64_t pos, int64_t *start)
{
    int64_t s = 0;
    for (size_t i = 0; i < io->list.size(); i++) {
        int64_t len = (int64_t)io->list[i].dur * io->list[i].repeat;
        if (pos < s + len || i + 1 == io->list.size()) {
            *start = s;
            return (int)i;
        }
        s += len;
    }
    *start = 0;
    return -1;
}

/* A list of long repeated clips can pass 2^31 frames; the answer is capped. */
static xmlrpc_int32 io_i32(int64_t v)
{
    return (xmlrpc_int32)std::max<int64_t>(INT32_MIN, std::min<int64_t>(v, INT32_MAX));
}

static void io_changed(sim_io_t *io)
{
    io->gen++;
    int64_t total = io_total(io);
    if (io->pos_anchor >= (double)total)
        io->pos_anchor = total > 0 ? (double)(total - 1) : 0;
}

/* ------------------------------------------------------------------------
 * Media lengths
 * ---------------------------------------------------------------------- */

/* Frames of a library path, or a negative value when there is no such
 * clip. Called without io->lock: the file is opened (a regular file only,
 * never blocking) and probed while the player goes on answering. */
static int io_media_frames(sim_io_t *io, const std::string &name)
{
    {
        std::lock_guard<std::mutex> g(io->lengths_lock);
        auto it = io->lengths.find(name);
        if (it != io->lengths.end())
            return it->second;
    }
    int frames = -2;
    if (io->lib) {
        struct stat st;
        sim_probe_t p;
        sim_fd_t fd(sim_library_open_item(io->lib, name, &st));
        frames = fd.fd < 0 ? fd.fd : 0;
        if (frames == 0 && sim_probe_file(fd.fd, &p) < 0)
            frames = -22;
        else if (frames == 0) {
            double d = p.duration_v > 0 ? p.duration_v : p.duration;
            frames = d > 0 && d < 86400 ? tc_sec2frames(d) : 0;
        }
    } else if (io->srv->cat) {
        std::string id = !name.empty() && name[0] == '/' ? name.substr(1) : name;
        const sim_media_t *m = sim_media_find(io->srv->cat, id);
        if (m)
            frames = (int)std::min<int64_t>(m->frames, 86400 * 60);
    }
    std::lock_guard<std::mutex> g(io->lengths_lock);
    if (frames >= 0 && io->lengths.size() < 10000)
        io->lengths[name] = frames;
    return frames;
}

/* ------------------------------------------------------------------------
 * Parameters
 * ---------------------------------------------------------------------- */

/* A text without control characters, at most 259 bytes. */
static int io_str(xmlrpc_env *env, xmlrpc_value *params, int pos, std::string *out)
{
    if (sim_param_str(env, params, pos, out) < 0)
        return -1;
    int bad = out->size() > 259;
    for (unsigned char ch : *out)
        bad |= ch < 0x20 || ch == 0x7f;
    if (bad) {
        xmlrpc_env_set_fault(env, XMLRPC_PARSE_ERROR, "text too long or with control characters");
        return -1;
    }
    return 0;
}

static xmlrpc_value *io_result(xmlrpc_env *env, int r)
{
    return xmlrpc_build_value(env, "{s:i}", "result", (xmlrpc_int32)r);
}

#define SIM_IO_BEGIN                                                                                                   \
    sim_io_t *io = sim_io_of(srv);                                                                                     \
    if (!io) {                                                                                                         \
        xmlrpc_env_set_fault(env, 500, "no IO server");                                                                \
        return nullptr;                                                                                                \
    }

/* ------------------------------------------------------------------------
 * Transport and status
 * ---------------------------------------------------------------------- */

static xmlrpc_value *sim_io_get_status(xmlrpc_env *env, xmlrpc_value *, sim_server_t *srv)
{
    SIM_IO_BEGIN
    std::lock_guard<std::mutex> g(io->lock);
    io_settle(io);
    int64_t pos = (int64_t)io->pos_anchor, start = 0;
    int ci = io_clip_at(io, pos, &start);
    io_clip empty;
    const io_clip &c = ci >= 0 ? io->list[(size_t)ci] : empty;
    int clip_pos = ci >= 0 ? c.in + (int)((pos - start) % std::max(1, c.dur)) : 0;
    /* The timecode follows the playback timecode source: the clip's or the
     * list's position, else the time of day. */
    int tc_src = atoi(io->settings["playback_timecode_src"].c_str());
    int tc_frames = tc_src == 0   ? clip_pos
                    : tc_src == 1 ? (int)pos
                                  : tc_mili2frames((int)(sim_clock_now_ms() % 86400000));
    return xmlrpc_build_value(
        env, "{s:i,s:i,s:s,s:s,s:i,s:i,s:i,s:i,s:i,s:i,s:i,s:i,s:i,s:i,s:i,s:d,s:i,s:i,s:i}", "result", 0, "status",
        (xmlrpc_int32)io->status, "name", c.name.c_str(), "cookie", c.cookie.c_str(), "loop", (xmlrpc_int32)io->loop,
        "clip_length", (xmlrpc_int32)c.length, "clip_in", (xmlrpc_int32)c.in, "clip_dur", (xmlrpc_int32)c.dur,
        "clip_pos", (xmlrpc_int32)clip_pos, "clip_start", io_i32(start), "clip_idx", (xmlrpc_int32)ci, "playlist_gen",
        (xmlrpc_int32)io->gen, "playlist_dur", io_i32(io_total(io)), "playlist_pos", io_i32(pos), "playlist_count",
        (xmlrpc_int32)io->list.size(), "playlist_speed", io->speed, "rec_paused", (xmlrpc_int32)io->rec_paused,
        "tc_frames", (xmlrpc_int32)tc_frames, "tc_src", (xmlrpc_int32)tc_src);
}

static xmlrpc_value *sim_io_play(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_IO_BEGIN
    double speed = 1;
    if (sim_param_count(env, params) >= 1) {
        if (sim_param_double(env, params, 0, &speed) < 0)
            return nullptr;
        if (!isfinite(speed) || fabs(speed) > IO_SPEED_MAX)
            return io_result(env, -22);
    }
    std::lock_guard<std::mutex> g(io->lock);
    io_set_speed(io, speed, speed == 0 ? IO_PAUSED : IO_PLAYING);
    return io_result(env, 0);
}

/* Pause, Stop, CuePlay, CuePlayWithData, Record: the kind is the method's. */
template <int KIND> static xmlrpc_value *sim_io_transport(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_IO_BEGIN
    int tc = 0;
    if (KIND == 'w' && sim_param_int(env, params, 0, &tc) < 0)
        return nullptr;
    std::lock_guard<std::mutex> g(io->lock);
    switch (KIND) {
    case 'p':
        io_set_speed(io, 0, IO_PAUSED);
        break;
    case 's':
        io_set_speed(io, 0, IO_IDLE);
        io->pos_anchor = 0;
        break;
    case 'w':
        /* Cueing with the material's start timecode opens a new list: the
         * clip appended next is the one played. */
        if (!io->list.empty()) {
            io->list.clear();
            io_changed(io);
        }
        io_set_speed(io, 0, IO_CUED);
        io->pos_anchor = 0;
        break;
    case 'c':
        io_set_speed(io, 0, IO_CUED);
        io->pos_anchor = 0;
        break;
    case 'r':
        io_set_speed(io, 0, IO_RECORDING);
        break;
    }
    return io_result(env, 0);
}

/* Playlist position from a clip index and a position in that clip's media. */
static int io_seek_clip(sim_io_t *io, int idx, int pos)
{
    if (idx < 0 || (size_t)idx >= io->list.size())
        return io->list.empty() ? -2 : -22;
    int64_t start = 0;
    for (int i = 0; i < idx; i++)
        start += (int64_t)io->list[(size_t)i].dur * io->list[(size_t)i].repeat;
    const io_clip &c = io->list[(size_t)idx];
    int64_t off = (int64_t)pos - c.in, len = (int64_t)c.dur * c.repeat;
    off = std::max<int64_t>(0, std::min<int64_t>(off, len - 1));
    io_settle(io);
    io->pos_anchor = (double)(start + off);
    return 0;
}

static xmlrpc_value *sim_io_seek(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_IO_BEGIN
    int pos = 0;
    if (sim_param_int(env, params, 0, &pos) < 0)
        return nullptr;
    std::lock_guard<std::mutex> g(io->lock);
    io_settle(io);
    int64_t start = 0;
    int ci = io_clip_at(io, (int64_t)io->pos_anchor, &start);
    return io_result(env, io_seek_clip(io, ci, pos));
}

static xmlrpc_value *sim_io_seek_to(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_IO_BEGIN
    int idx = 0, pos = 0;
    if (sim_param_int(env, params, 0, &idx) < 0 || sim_param_int(env, params, 1, &pos) < 0)
        return nullptr;
    std::lock_guard<std::mutex> g(io->lock);
    return io_result(env, io_seek_clip(io, idx, pos));
}

static xmlrpc_value *sim_io_step(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_IO_BEGIN
    int off = 0;
    if (sim_param_int(env, params, 0, &off) < 0)
        return nullptr;
    std::lock_guard<std::mutex> g(io->lock);
    io_settle(io);
    int64_t total = io_total(io);
    double p = io->pos_anchor + off;
    io->pos_anchor = std::max(0.0, std::min(p, (double)std::max<int64_t>(0, total - 1)));
    return io_result(env, total ? 0 : -2);
}

/* ------------------------------------------------------------------------
 * Playlist
 * ---------------------------------------------------------------------- */

/* Checks a clip against its media and fills its length; 0 or a negative
 * result. Without io->lock (it may read the file). */
static int io_clip_check(sim_io_t *io, io_clip *c)
{
    if (c->name.empty() || c->in < 0 || c->dur < 0)
        return -22;
    int len = io_media_frames(io, c->name);
    if (len < 0)
        return len;
    c->length = len;
    if (len > 0) {
        if (c->in >= len)
            return -22;
        if (c->dur == 0 || c->dur > len - c->in)
            c->dur = len - c->in;
    }
    return c->dur > 0 ? 0 : -22;
}

/* Under io->lock, a clip io_clip_check accepted. */
static int io_insert(sim_io_t *io, int idx, io_clip *c)
{
    if (io->list.size() >= IO_LIST_MAX)
        return -28;
    if (idx < 0 || (size_t)idx > io->list.size())
        idx = (int)io->list.size();
    io_settle(io);
    io->list.insert(io->list.begin() + idx, *c);
    io_changed(io);
    return 0;
}

/* (siisss) from position first: name, in, dur, overlay name and position, cookie. */
static int io_clip_args(xmlrpc_env *env, xmlrpc_value *params, int first, io_clip *c)
{
    if (io_str(env, params, first, &c->name) < 0 || sim_param_int(env, params, first + 1, &c->in) < 0 ||
        sim_param_int(env, params, first + 2, &c->dur) < 0 || io_str(env, params, first + 3, &c->overlay_name) < 0 ||
        io_str(env, params, first + 4, &c->overlay_pos) < 0 || io_str(env, params, first + 5, &c->cookie) < 0)
        return -1;
    return 0;
}

/* The clip struct of Insert2 / Append2 at position pos. */
static int io_clip_struct(xmlrpc_env *env, xmlrpc_value *params, int pos, io_clip *c)
{
    xmlrpc_value *st = sim_param(env, params, pos, XMLRPC_TYPE_STRUCT);
    if (!st)
        return -1;
    xmlrpc_value *arr = xmlrpc_array_new(env);
    const char *names[] = {"name", "in", "dur", "overlay_name", "overlay_pos", "cookie", "amap"};
    for (const char *n : names) {
        xmlrpc_value *v = nullptr;
        xmlrpc_struct_find_value(env, st, n, &v);
        if (env->fault_occurred)
            break;
        if (!v) {
            xmlrpc_env_set_fault(env, XMLRPC_INDEX_ERROR, "clip member missing");
            break;
        }
        xmlrpc_array_append_item(env, arr, v);
        xmlrpc_DECREF(v);
    }
    xmlrpc_DECREF(st);
    int r = -1;
    if (!env->fault_occurred && io_clip_args(env, arr, 0, c) == 0 && io_str(env, arr, 6, &c->amap) == 0)
        r = 0;
    xmlrpc_DECREF(arr);
    return r;
}

template <int KIND> static xmlrpc_value *sim_io_list_add(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_IO_BEGIN
    io_clip c;
    int idx = -1;
    switch (KIND) {
    case 'a':
        if (io_clip_args(env, params, 0, &c) < 0)
            return nullptr;
        break;
    case 'i':
        if (sim_param_int(env, params, 0, &idx) < 0 || io_clip_args(env, params, 1, &c) < 0)
            return nullptr;
        break;
    case 'A':
        if (io_clip_struct(env, params, 0, &c) < 0)
            return nullptr;
        break;
    case 'I':
        if (sim_param_int(env, params, 0, &idx) < 0 || io_clip_struct(env, params, 1, &c) < 0)
            return nullptr;
        break;
    }
    int r = io_clip_check(io, &c);
    if (r < 0)
        return io_result(env, r);
    std::lock_guard<std::mutex> g(io->lock);
    return io_result(env, io_insert(io, idx, &c));
}

/* Clear, Remove, RepeatClip, ResizeClip, Move, Loop. */
template <int KIND> static xmlrpc_value *sim_io_list_edit(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_IO_BEGIN
    int a = 0, b = 0, c3 = 0;
    int need = KIND == 'c' ? 0 : KIND == 'r' || KIND == 'l' ? 1 : KIND == 'z' ? 3 : 2;
    if ((need > 0 && sim_param_int(env, params, 0, &a) < 0) || (need > 1 && sim_param_int(env, params, 1, &b) < 0) ||
        (need > 2 && sim_param_int(env, params, 2, &c3) < 0))
        return nullptr;
    std::lock_guard<std::mutex> g(io->lock);
    io_settle(io);
    size_t n = io->list.size();
    int r = 0;
    switch (KIND) {
    case 'c':
        io->list.clear();
        io->pos_anchor = 0;
        io->speed = 0;
        io->status = IO_IDLE;
        break;
    case 'r':
        if (a < 0 || (size_t)a >= n)
            r = -22;
        else
            io->list.erase(io->list.begin() + a);
        break;
    case 'p':
        if (a < 0 || (size_t)a >= n || b < 1 || b > 1000)
            r = -22;
        else
            io->list[(size_t)a].repeat = b;
        break;
    case 'z':
        if (a < 0 || (size_t)a >= n || b < 0 || c3 <= b ||
            (io->list[(size_t)a].length > 0 && c3 > io->list[(size_t)a].length))
            r = -22;
        else {
            io->list[(size_t)a].in = b;
            io->list[(size_t)a].dur = c3 - b;
        }
        break;
    case 'm':
        if (a < 0 || (size_t)a >= n || b < 0 || (size_t)b >= n)
            r = -22;
        else {
            io_clip c = io->list[(size_t)a];
            io->list.erase(io->list.begin() + a);
            io->list.insert(io->list.begin() + b, c);
        }
        break;
    case 'l':
        io->loop = a ? 1 : 0;
        break;
    }
    if (!r && KIND != 'l')
        io_changed(io);
    return io_result(env, r);
}

static xmlrpc_value *sim_io_items(xmlrpc_env *env, xmlrpc_value *, sim_server_t *srv)
{
    SIM_IO_BEGIN
    std::lock_guard<std::mutex> g(io->lock);
    io_settle(io);
    int64_t pos = (int64_t)io->pos_anchor, start = 0;
    int ci = io_clip_at(io, pos, &start);
    xmlrpc_value *arr = xmlrpc_array_new(env);
    int64_t s = 0;
    for (size_t i = 0; i < io->list.size() && !env->fault_occurred; i++) {
        const io_clip &c = io->list[i];
        int cpos = (int)i == ci ? c.in + (int)((pos - start) % std::max(1, c.dur)) : c.in;
        xmlrpc_value *v = xmlrpc_build_value(
            env, "{s:s,s:s,s:i,s:i,s:i,s:i,s:i,s:i,s:i}", "name", c.name.c_str(), "cookie", c.cookie.c_str(), "length",
            (xmlrpc_int32)c.length, "in", (xmlrpc_int32)c.in, "dur", (xmlrpc_int32)c.dur, "pos", (xmlrpc_int32)cpos,
            "start", io_i32(s), "idx", (xmlrpc_int32)i, "repeat", (xmlrpc_int32)c.repeat);
        if (v) {
            xmlrpc_array_append_item(env, arr, v);
            xmlrpc_DECREF(v);
        }
        s += (int64_t)c.dur * c.repeat;
    }
    if (env->fault_occurred) {
        if (arr)
            xmlrpc_DECREF(arr);
        return nullptr;
    }
    xmlrpc_value *r = xmlrpc_build_value(env, "{s:i,s:i,s:i,s:i,s:A}", "result", 0, "gen", (xmlrpc_int32)io->gen, "pos",
                                         io_i32(pos), "idx", (xmlrpc_int32)ci, "list", arr);
    xmlrpc_DECREF(arr);
    return r;
}

static xmlrpc_value *sim_io_not_here(xmlrpc_env *env, xmlrpc_value *, sim_server_t *)
{
    return io_result(env, -38);
}

/* CueRecord, CueRecordWithData, RecordNext: a name, optionally more; RecordPause. */
template <int KIND> static xmlrpc_value *sim_io_record(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_IO_BEGIN
    std::string name;
    int flag = 0;
    if (KIND == 'p' ? sim_param_int(env, params, 0, &flag) < 0 : io_str(env, params, 0, &name) < 0)
        return nullptr;
    std::lock_guard<std::mutex> g(io->lock);
    if (KIND == 'p')
        io->rec_paused = flag ? 1 : 0;
    else if (KIND == 'c')
        io_set_speed(io, 0, IO_CUED);
    return io_result(env, 0);
}

static xmlrpc_value *sim_io_basename(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_IO_BEGIN
    std::string path, file;
    if (io_str(env, params, 0, &path) < 0)
        return nullptr;
    int r = -2;
    if (io->lib)
        r = sim_library_resolve(io->lib, path, 1, &file);
    else if (srv->cat) {
        std::string id = !path.empty() && path[0] == '/' ? path.substr(1) : path;
        if (sim_media_find(srv->cat, id)) {
            file = id;
            path = "/" + id;
            r = 0;
        }
    }
    if (r < 0)
        return xmlrpc_build_value(env, "{s:i,s:s,s:s,s:I}", "result", (xmlrpc_int32)r, "value", "", "object", "",
                                  "cache_shm_id", (xmlrpc_int64)-1);
    return xmlrpc_build_value(env, "{s:i,s:s,s:s,s:I}", "result", 0, "value", file.c_str(), "object", path.c_str(),
                              "cache_shm_id", (xmlrpc_int64)-1);
}

/* ------------------------------------------------------------------------
 * Settings
 * ---------------------------------------------------------------------- */

static int io_known(const std::string &name)
{
    for (const auto &d : io_defaults())
        if (name == d.first)
            return 1;
    return 0;
}

static xmlrpc_value *sim_io_settings_get(xmlrpc_env *env, xmlrpc_value *, sim_server_t *srv)
{
    SIM_IO_BEGIN
    std::lock_guard<std::mutex> g(io->lock);
    xmlrpc_value *arr = xmlrpc_array_new(env);
    xmlrpc_value *v = xmlrpc_build_value(env, "{s:s,s:s}", "name", "PelmoraIO", "value", "pelmora-sim 1");
    for (const auto &d : io_defaults()) {
        if (v) {
            xmlrpc_array_append_item(env, arr, v);
            xmlrpc_DECREF(v);
        }
        v = xmlrpc_build_value(env, "{s:s,s:s}", "name", d.first, "value", io->settings[d.first].c_str());
    }
    if (v) {
        xmlrpc_array_append_item(env, arr, v);
        xmlrpc_DECREF(v);
    }
    xmlrpc_value *r = env->fault_occurred ? nullptr : xmlrpc_build_value(env, "{s:i,s:A}", "result", 0, "list", arr);
    if (arr)
        xmlrpc_DECREF(arr);
    return r;
}

static xmlrpc_value *sim_io_settings_modes(xmlrpc_env *env, xmlrpc_value *, sim_server_t *srv)
{
    SIM_IO_BEGIN
    xmlrpc_value *arr = xmlrpc_array_new(env);
    const auto &modes = io_modes();
    for (size_t i = 0; i < modes.size() && !env->fault_occurred; i++) {
        xmlrpc_value *encs = xmlrpc_array_new(env), *osds = xmlrpc_array_new(env);
        for (const auto &e : modes[i].encs) {
            xmlrpc_value *v =
                xmlrpc_build_value(env, "{s:i,s:s,s:s}", "idx", (xmlrpc_int32)e.idx, "desc", e.desc, "name", e.name);
            if (v) {
                xmlrpc_array_append_item(env, encs, v);
                xmlrpc_DECREF(v);
            }
        }
        for (const char *o : modes[i].osds) {
            xmlrpc_value *v = xmlrpc_build_value(env, "(s)", o);
            if (v) {
                xmlrpc_array_append_item(env, osds, v);
                xmlrpc_DECREF(v);
            }
        }
        xmlrpc_value *m = env->fault_occurred
                              ? nullptr
                              : xmlrpc_build_value(env, "{s:i,s:s,s:s,s:A,s:A}", "idx", (xmlrpc_int32)i, "desc",
                                                   modes[i].desc, "name", modes[i].name, "list", encs, "osds", osds);
        if (m) {
            xmlrpc_array_append_item(env, arr, m);
            xmlrpc_DECREF(m);
        }
        if (encs)
            xmlrpc_DECREF(encs);
        if (osds)
            xmlrpc_DECREF(osds);
    }
    xmlrpc_value *r = env->fault_occurred ? nullptr : xmlrpc_build_value(env, "{s:i,s:A}", "result", 0, "list", arr);
    if (arr)
        xmlrpc_DECREF(arr);
    return r;
}

static xmlrpc_value *sim_io_settings_set_mode(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_IO_BEGIN
    const auto &modes = io_modes();
    const io_mode *m = nullptr;
    const io_enc *e = nullptr;
    xmlrpc_value *first = nullptr;
    xmlrpc_array_read_item(env, params, 0, &first);
    if (env->fault_occurred)
        return nullptr;
    int f_names = xmlrpc_value_type(first) == XMLRPC_TYPE_STRING;
    xmlrpc_DECREF(first);
    if (f_names) {
        std::string mn, en;
        if (io_str(env, params, 0, &mn) < 0 || io_str(env, params, 1, &en) < 0)
            return nullptr;
        for (const auto &x : modes)
            if (mn == x.name)
                m = &x;
        for (size_t i = 0; m && i < m->encs.size(); i++)
            if (en == m->encs[i].name)
                e = &m->encs[i];
    } else {
        int mi = 0, ei = 0;
        if (sim_param_int(env, params, 0, &mi) < 0 || sim_param_int(env, params, 1, &ei) < 0)
            return nullptr;
        if (mi >= 0 && (size_t)mi < modes.size())
            m = &modes[(size_t)mi];
        for (size_t i = 0; m && i < m->encs.size(); i++)
            if (ei == m->encs[i].idx)
                e = &m->encs[i];
    }
    if (!m || !e)
        return io_result(env, -22);
    std::lock_guard<std::mutex> g(io->lock);
    io->settings["mode"] = m->name;
    io->settings["enc"] = e->name;
    return io_result(env, 0);
}

static xmlrpc_value *sim_io_settings_set_value(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_IO_BEGIN
    std::string name, value;
    if (io_str(env, params, 0, &name) < 0 || io_str(env, params, 1, &value) < 0)
        return nullptr;
    /* The mode and encoder change together, through SetMode. */
    if (!io_known(name) || name == "mode" || name == "enc")
        return io_result(env, -2);
    std::lock_guard<std::mutex> g(io->lock);
    io->settings[name] = value;
    return io_result(env, 0);
}

/* Writes the settings as name=value lines: a temporary file renamed over
 * the old one, so a crash leaves one whole file. */
static int io_settings_write(sim_io_t *io)
{
    std::string text;
    for (const auto &d : io_defaults())
        text += std::string(d.first) + "=" + io->settings[d.first] + "\n";
    std::string tmp = io->settings_file + ".XXXXXX";
    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back(0);
    int fd = mkstemp(name.data());
    if (fd < 0)
        return -errno;
    int r = 0;
    fchmod(fd, 0644);
    if (write(fd, text.data(), text.size()) != (ssize_t)text.size() || fsync(fd) != 0)
        r = -(errno ? errno : EIO);
    if (close(fd) != 0 && !r)
        r = -errno;
    if (!r && rename(name.data(), io->settings_file.c_str()) != 0)
        r = -errno;
    if (r)
        unlink(name.data());
    return r;
}

static xmlrpc_value *sim_io_settings_save(xmlrpc_env *env, xmlrpc_value *, sim_server_t *srv)
{
    SIM_IO_BEGIN
    std::lock_guard<std::mutex> g(io->lock);
    return io_result(env, io_settings_write(io));
}

/* Reads the kept settings; unknown names and over-long lines are skipped. */
static void io_settings_load(sim_io_t *io)
{
    for (const auto &d : io_defaults())
        io->settings[d.first] = d.second;
    FILE *f = fopen(io->settings_file.c_str(), "r");
    if (!f)
        return;
    char line[600];
    while (fgets(line, sizeof line, f)) {
        size_t n = strcspn(line, "\r\n");
        if (line[n] == 0 && !feof(f))
            continue; /* longer than any value we write */
        line[n] = 0;
        char *eq = strchr(line, '=');
        if (!eq || strlen(eq + 1) > 259)
            continue;
        *eq = 0;
        if (io_known(line))
            io->settings[line] = eq + 1;
    }
    fclose(f);
}

/* ------------------------------------------------------------------------
 * Network preview announcement: the preview runtime stand-in finds the
 * players by the files named after their ports in this folder.
 * ---------------------------------------------------------------------- */

static std::string io_announce_path(int port)
{
    const char *d = getenv("PELMORA_PREVIEW_ANNOUNCE");
    std::string dir = d && *d ? d : "/tmp/pelmora-preview-" + std::to_string((long)getuid());
    mkdir(dir.c_str(), 0700);
    return dir + "/" + std::to_string(port);
}

/* The announcement names the player's media folder: the stand-in opens
 * the files the player names only inside it. */
static void io_announce(const sim_server_t *srv, int on, const sim_library_t *lib = nullptr)
{
    if (srv->port <= 0)
        return;
    std::string p = io_announce_path(srv->port);
    if (!on) {
        unlink(p.c_str());
        return;
    }
    int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        fprintf(stderr, "%s: cannot announce the preview source in %s: %s\n", __FUNCTION__, p.c_str(), strerror(errno));
        return;
    }
    std::string root;
    if (lib && sim_library_resolve(lib, "/", 1, &root) == 0) {
        std::string line = "media=" + root + "\n";
        if (write(fd, line.data(), line.size()) != (ssize_t)line.size())
            fprintf(stderr, "%s: cannot write %s: %s\n", __FUNCTION__, p.c_str(), strerror(errno));
    }
    close(fd);
}

/* ------------------------------------------------------------------------
 * Set-up
 * ---------------------------------------------------------------------- */

/* --refuse on a player: the call changes nothing and answers the result. */
static xmlrpc_value *sim_io_refuse(xmlrpc_env *env, xmlrpc_value *, sim_server_t *, int result)
{
    return io_result(env, result);
}

sim_io_t *sim_io_create(sim_server_t *srv, int idx, sim_library_t *lib, std::string *err)
{
    if (!srv->refuse_fn)
        srv->refuse_fn = sim_io_refuse;
    sim_io_t *io = new sim_io_t();
    io->srv = srv;
    io->lib = lib;
    io->settings_file = srv->data_dir + "/io-" + std::to_string(idx) + ".settings";
    io->anchor_ms = sim_clock_now_ms();
    io_settings_load(io);
    {
        std::lock_guard<std::mutex> g(sim_io_registry_lock);
        sim_io_registry[srv] = io;
    }
    static const struct
    {
        const char *name;
        sim_method_fn fn;
    } table[] = {
        {"PelmoraIO.GetStatus", sim_io_get_status},
        {"PelmoraIO.Play", sim_io_play},
        {"PelmoraIO.Pause", sim_io_transport<'p'>},
        {"PelmoraIO.Stop", sim_io_transport<'s'>},
        {"PelmoraIO.CuePlay", sim_io_transport<'c'>},
        {"PelmoraIO.CuePlayWithData", sim_io_transport<'w'>},
        {"PelmoraIO.Record", sim_io_transport<'r'>},
        {"PelmoraIO.PlaylistSeek", sim_io_seek},
        {"PelmoraIO.PlaylistSeekTo", sim_io_seek_to},
        {"PelmoraIO.PlaylistStep", sim_io_step},
        {"PelmoraIO.PlaylistAppend", sim_io_list_add<'a'>},
        {"PelmoraIO.PlaylistInsert", sim_io_list_add<'i'>},
        {"PelmoraIO.PlaylistAppend2", sim_io_list_add<'A'>},
        {"PelmoraIO.PlaylistInsert2", sim_io_list_add<'I'>},
        {"PelmoraIO.PlaylistClear", sim_io_list_edit<'c'>},
        {"PelmoraIO.PlaylistRemove", sim_io_list_edit<'r'>},
        {"PelmoraIO.PlaylistRepeatClip", sim_io_list_edit<'p'>},
        {"PelmoraIO.PlaylistResizeClip", sim_io_list_edit<'z'>},
        {"PelmoraIO.PlaylistMove", sim_io_list_edit<'m'>},
        {"PelmoraIO.PlaylistLoop", sim_io_list_edit<'l'>},
        {"PelmoraIO.PlaylistItems", sim_io_items},
        {"PelmoraIO.PlaylistInsertTemplate", sim_io_not_here},
        {"PelmoraIO.CueRecord", sim_io_record<'c'>},
        {"PelmoraIO.CueRecordWithData", sim_io_record<'c'>},
        {"PelmoraIO.RecordNext", sim_io_record<'n'>},
        {"PelmoraIO.RecordPause", sim_io_record<'p'>},
        {"PelmoraIO.LibBasenameItem", sim_io_basename},
        {"PelmoraIO.SettingsGet", sim_io_settings_get},
        {"PelmoraIO.SettingsGetModes", sim_io_settings_modes},
        {"PelmoraIO.SettingsSave", sim_io_settings_save},
        {"PelmoraIO.SettingsSetMode", sim_io_settings_set_mode},
        {"PelmoraIO.SettingsSetValue", sim_io_settings_set_value},
    };
    for (const auto &m : table)
        if (sim_server_add_method(srv, m.name, m.fn) < 0) {
            *err = std::string("cannot register ") + m.name;
            sim_io_destroy(io);
            return nullptr;
        }
    io_announce(srv, 1, lib);
    return io;
}

void sim_io_destroy(sim_io_t *io)
{
    if (!io)
        return;
    {
        std::lock_guard<std::mutex> g(sim_io_registry_lock);
        sim_io_registry.erase(io->srv);
    }
    io_announce(io->srv, 0);
    delete io;
}

int sim_io_preview(const std::string &io_url, const std::string &media_id, int in, int dur, const std::string &cookie)
{
    /* "http://HOST:PORT/RPC2" or "HOST:PORT". */
    size_t colon = io_url.rfind(':');
    int port = colon == std::string::npos ? -1 : atoi(io_url.c_str() + colon + 1);
    sim_io_t *io = nullptr;
    {
        std::lock_guard<std::mutex> g(sim_io_registry_lock);
        for (const auto &e : sim_io_registry)
            if (e.first->port == port)
                io = e.second;
    }
    if (!io || port <= 0)
        return -2;
    io_clip c;
    c.name = !media_id.empty() && media_id[0] == '/' ? media_id : "/" + media_id;
    c.in = in < 0 ? 0 : in;
    c.dur = dur < 0 ? 0 : dur;
    c.cookie = cookie;
    int r = io_clip_check(io, &c);
    if (r < 0)
        return r;
    std::lock_guard<std::mutex> g(io->lock);
    io_settle(io);
    io->list.clear();
    io->pos_anchor = 0;
    return io_insert(io, 0, &c);
}

int sim_io_air(sim_io_t *io, const sim_io_air_t *air)
{
    io_clip c;
    int r = 0;
    if (air->kind == SIM_IO_AIR_CLIP) {
        c.name = air->name;
        c.in = std::max(0, air->in);
        c.dur = std::max(0, air->dur);
        c.cookie = air->title.substr(0, 259);
        r = io_clip_check(io, &c); /* may read the file: before the lock */
    } else if (air->kind == SIM_IO_AIR_CARD) {
        c.name = air->name;
        c.cookie = air->title.substr(0, 259);
        c.dur = std::max(1, air->dur);
    }
    std::lock_guard<std::mutex> g(io->lock);
    io_settle(io);
    io->list.clear();
    io->pos_anchor = 0;
    io->speed = 0;
    io->status = IO_BLACK;
    if (air->kind != SIM_IO_AIR_BLACK && r == 0) {
        io->list.push_back(c);
        io->speed = 1;
        io->status = IO_PLAYING;
        /* From the moment it went to air: late callers see it where it is. */
        io->anchor_ms = air->start_ms;
    }
    io_changed(io);
    return r;
}
