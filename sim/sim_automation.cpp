/* Simulator automation namespace: parameter decoding, the bus calls and the
 * responses ("result", "state", event items, lists). */
#include "sim_automation.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>

#include "sim_clock.h"
#include "sim_io.h"
#include "sim_params.h"
#include "sim_playlist.h"
#include "strl.h"
#include "timecode.h"

#define SIM_SNAPSHOTS_MAX 64

/* ---- Parameters: wrong types or missing items set an XML-RPC fault. ---- */

/* An integer parameter sent as i4 or i8. */
static int sim_int_value(xmlrpc_env *env, xmlrpc_value *v, int64_t *out)
{
    xmlrpc_type t = xmlrpc_value_type(v);
    if (t == XMLRPC_TYPE_INT) {
        int x = 0;
        xmlrpc_read_int(env, v, &x);
        *out = x;
    } else if (t == XMLRPC_TYPE_I8) {
        xmlrpc_int64 x = 0;
        xmlrpc_read_i8(env, v, &x);
        *out = x;
    } else
        xmlrpc_env_set_fault(env, XMLRPC_TYPE_ERROR, "integer expected");
    return env->fault_occurred ? -22 : 0;
}

static int sim_arg_int(xmlrpc_env *env, xmlrpc_value *params, int pos, int64_t *out)
{
    xmlrpc_value *v = sim_param(env, params, pos, XMLRPC_TYPE_DEAD);
    if (!v)
        return -22;
    int r = sim_int_value(env, v, out);
    xmlrpc_DECREF(v);
    return r;
}

/* An event line: compressed (base64) as the console sends it, or plain. A
 * line that cannot be inflated is no fault but a refused event: "" here. */
static int sim_arg_line(xmlrpc_env *env, xmlrpc_value *params, int pos, std::string *out)
{
    xmlrpc_value *v = sim_param(env, params, pos, XMLRPC_TYPE_DEAD);
    if (!v)
        return -22;
    out->clear();
    if (xmlrpc_value_type(v) == XMLRPC_TYPE_BASE64) {
        const unsigned char *data = nullptr;
        size_t len = 0;
        xmlrpc_read_base64(env, v, &len, &data);
        if (!env->fault_occurred) {
            std::vector<char> buf(PELMORABOX_EVENT_LINE_BUF);
            if (pelmorabox_event_line_inflate(data, len, buf.data(), (int)buf.size()) >= 0)
                out->assign(buf.data());
            free((void *)data);
        }
    } else if (xmlrpc_value_type(v) == XMLRPC_TYPE_STRING) {
        const char *s = nullptr;
        size_t len = 0;
        xmlrpc_read_string_lp(env, v, &len, &s);
        if (!env->fault_occurred) {
            if (len <= PELMORABOX_EVENT_LINE_MAX && strlen(s) == len)
                out->assign(s, len);
            free((void *)s);
        }
    } else
        xmlrpc_env_set_fault(env, XMLRPC_TYPE_ERROR, "event line expected (base64 or string)");
    xmlrpc_DECREF(v);
    return env->fault_occurred ? -22 : 0;
}

/* An array of indexes or ids, each a one-element array "(I)" or a bare integer. */
static int sim_arg_list(xmlrpc_env *env, xmlrpc_value *params, int pos, std::vector<int64_t> *out)
{
    xmlrpc_value *v = sim_param(env, params, pos, XMLRPC_TYPE_ARRAY);
    if (!v)
        return -22;
    int n = xmlrpc_array_size(env, v);
    for (int i = 0; i < n && !env->fault_occurred; i++) {
        xmlrpc_value *item = nullptr;
        xmlrpc_array_read_item(env, v, i, &item);
        if (env->fault_occurred)
            break;
        int64_t x = 0;
        if (xmlrpc_value_type(item) == XMLRPC_TYPE_ARRAY) {
            xmlrpc_value *inner = nullptr;
            if (xmlrpc_array_size(env, item) >= 1)
                xmlrpc_array_read_item(env, item, 0, &inner);
            else if (!env->fault_occurred)
                xmlrpc_env_set_fault(env, XMLRPC_TYPE_ERROR, "empty index item");
            if (inner) {
                sim_int_value(env, inner, &x);
                xmlrpc_DECREF(inner);
            }
        } else
            sim_int_value(env, item, &x);
        xmlrpc_DECREF(item);
        out->push_back(x);
    }
    xmlrpc_DECREF(v);
    return env->fault_occurred ? -22 : 0;
}

/* ---- Responses. ---- */

static void sim_set(xmlrpc_env *env, xmlrpc_value *st, const char *key, xmlrpc_value *v)
{
    if (env->fault_occurred || !v) {
        if (v)
            xmlrpc_DECREF(v);
        return;
    }
    xmlrpc_struct_set_value(env, st, key, v);
    xmlrpc_DECREF(v);
}

static xmlrpc_value *sim_done(xmlrpc_env *env, xmlrpc_value *st)
{
    if (env->fault_occurred) {
        if (st)
            xmlrpc_DECREF(st);
        return nullptr;
    }
    return st;
}

/* A refusal before any bus was touched: "result" alone (plus an empty list
 * member where the caller reads one first, so it sees the refusal). */
static xmlrpc_value *sim_refuse(xmlrpc_env *env, int result, const char *list_member = nullptr)
{
    if (env->fault_occurred)
        return nullptr;
    xmlrpc_value *st = xmlrpc_struct_new(env);
    sim_set(env, st, "result", xmlrpc_int_new(env, result));
    if (list_member)
        sim_set(env, st, list_member, xmlrpc_array_new(env));
    return sim_done(env, st);
}

static void sim_keep_list(sim_server_t *srv, sim_bus_t *bus);

/* A call on one bus: its lock held and its list played up to now. With
 * --keep-lists a list the call changed is written before the lock goes, so
 * before the answer leaves (Abyss sends it after the method returns). */
typedef struct sim_call_desc
{
    sim_server_t *srv = nullptr;
    sim_bus_t *bus = nullptr;
    std::unique_lock<std::mutex> guard;
    int64_t now = 0;
    int f_state = 0;
    pelmorabox_bus_state_t state;

    ~sim_call_desc()
    {
        if (srv && bus && guard.owns_lock())
            sim_keep_list(srv, bus);
    }
} sim_call_t;

/* Folder of the kept running lists, inside the data folder; the leading dot
 * keeps it out of ListPlaylists and out of reach of playlist names. */
static std::string sim_keep_dir(const sim_server_t *srv)
{
    return srv->data_dir + "/.running";
}

/* The first server's lists are "bus-B"; a further server's carry its
 * position, so several servers sharing a data folder keep their own. */
static std::string sim_keep_name(const sim_server_t *srv, const sim_bus_t *bus)
{
    std::string name = "bus-" + std::to_string(bus->idx);
    return srv->server_idx ? "server-" + std::to_string(srv->server_idx) + "-" + name : name;
}

/* Writes the bus's list when its content differs from what was written last
 * (the caller holds the bus lock). A failed write is logged; the call is
 * still answered, as a server with a full disk would. */
static void sim_keep_list(sim_server_t *srv, sim_bus_t *bus)
{
    if (!srv->opts || !srv->opts->f_keep_lists || bus->idx < 0 || (size_t)bus->idx >= srv->kept_hash.size())
        return;
    if (srv->kept_hash[(size_t)bus->idx] == bus->ply_hash)
        return;
    std::string dir = sim_keep_dir(srv);
    mkdir(dir.c_str(), 0755);
    std::vector<const pelmorabox_event_t *> events;
    for (const sim_event_t &se : bus->list)
        events.push_back(se.ev);
    int r = sim_playlist_write(dir.c_str(), sim_keep_name(srv, bus).c_str(), events);
    if (r < 0)
        fprintf(stderr, "sim: bus %d: running list not kept (%d)\n", bus->idx, r);
    else
        srv->kept_hash[(size_t)bus->idx] = bus->ply_hash;
}

/* 0 with the bus locked; -22 for a bus out of range; a fault leaves env set. */
static int sim_call_open(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv, sim_call_t *c)
{
    int64_t idx = -1;
    if (sim_arg_int(env, params, 0, &idx) < 0)
        return -22;
    c->srv = srv;
    c->f_state = 0;
    c->bus = idx >= 0 && idx <= 0xffff ? sim_server_bus(srv, (int)idx) : nullptr;
    if (!c->bus)
        return -22;
    c->guard = std::unique_lock<std::mutex>(c->bus->lock);
    c->now = sim_clock_now_ms();
    sim_bus_advance(c->bus, c->now);
    return 0;
}

/* The bus state after the call (computed once per call), with `er` when given. */
static xmlrpc_value *sim_state_value(xmlrpc_env *env, sim_call_t *c, const int64_t *er)
{
    if (!c->f_state) {
        sim_bus_state(c->bus, c->now, &c->state);
        c->f_state = 1;
    }
    pelmorabox_bus_state_t s = c->state;
    if (er)
        memcpy(s.er, er, sizeof s.er);
    return pelmorabox_state2xmlrpc(env, &s);
}

/* The standard automation response: "result" and the bus state after the call. */
static xmlrpc_value *sim_std(xmlrpc_env *env, sim_call_t *c, int result)
{
    xmlrpc_value *st = xmlrpc_struct_new(env);
    sim_set(env, st, "result", xmlrpc_int_new(env, result));
    sim_set(env, st, "state", sim_state_value(env, c, nullptr));
    return sim_done(env, st);
}

/* A list response: "result", the array under `member` (taken over) and the
 * bus state after the call. */
static xmlrpc_value *sim_list_response(xmlrpc_env *env, sim_call_t *c, int result, const char *member,
                                       xmlrpc_value *list)
{
    xmlrpc_value *st = xmlrpc_struct_new(env);
    sim_set(env, st, "result", xmlrpc_int_new(env, result));
    sim_set(env, st, member, list);
    sim_set(env, st, "state", sim_state_value(env, c, nullptr));
    return sim_done(env, st);
}

/* Appends item (released here, may be null after a fault) to list. */
static void sim_append(xmlrpc_env *env, xmlrpc_value *list, xmlrpc_value *item)
{
    if (!env->fault_occurred)
        xmlrpc_array_append_item(env, list, item);
    if (item)
        xmlrpc_DECREF(item);
}

/* Adds an event ("event_c" compressed, or "event" with --plain-events) and
 * its own state (er: flags, sys_id, start, 0, list index) to `st`. */
static void sim_put_event(xmlrpc_env *env, sim_call_t *c, xmlrpc_value *st, const sim_event_t *se, int64_t idx)
{
    std::string line = sim_bus_event_line(c->bus, se);
    if (c->srv->opts->f_plain_events)
        sim_set(env, st, "event", xmlrpc_string_new_lp(env, line.size(), line.c_str()));
    else {
        std::vector<unsigned char> z(PELMORABOX_EVENT_LINE_BUF + 64);
        int n = pelmorabox_event_line_deflate(line.c_str(), z.data(), (int)z.size());
        if (n < 0) {
            xmlrpc_env_set_fault(env, XMLRPC_INTERNAL_ERROR, "event line does not compress into 16384 bytes");
            return;
        }
        sim_set(env, st, "event_c", xmlrpc_base64_new(env, (size_t)n, z.data()));
    }
    int64_t er[5] = {se->flags, se->sys_id, se->start_ms, 0, idx};
    sim_set(env, st, "state", sim_state_value(env, c, er));
}

/* ---- Bus state and events. ---- */

#define SIM_OPEN(c, list_member)                                                                                       \
    sim_call_t c;                                                                                                      \
    do {                                                                                                               \
        int open_r = sim_call_open(env, params, srv, &c);                                                              \
        if (env->fault_occurred)                                                                                       \
            return nullptr;                                                                                            \
        if (open_r < 0)                                                                                                \
            return sim_refuse(env, open_r, list_member);                                                               \
    } while (0)

static xmlrpc_value *sim_m_get_state(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_OPEN(c, nullptr);
    return sim_std(env, &c, 0);
}

static xmlrpc_value *sim_m_get_events2(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    std::vector<int64_t> idxs;
    if (sim_arg_list(env, params, 1, &idxs) < 0)
        return nullptr;
    SIM_OPEN(c, "events");
    xmlrpc_value *events = xmlrpc_array_new(env);
    int cnt = 0;
    for (int64_t i : idxs) {
        if (env->fault_occurred)
            break;
        if (i < 0 || i >= (int64_t)c.bus->list.size())
            continue; /* rows past the end are simply not returned */
        xmlrpc_value *item = xmlrpc_struct_new(env);
        sim_put_event(env, &c, item, &c.bus->list[(size_t)i], i);
        sim_append(env, events, item);
        cnt++;
    }
    return sim_list_response(env, &c, cnt, "events", events);
}

static xmlrpc_value *sim_m_get_event(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    int64_t idx = 0;
    if (sim_arg_int(env, params, 1, &idx) < 0)
        return nullptr;
    SIM_OPEN(c, nullptr);
    if (idx < 0 || idx >= (int64_t)c.bus->list.size())
        return sim_std(env, &c, -2);
    xmlrpc_value *st = xmlrpc_struct_new(env);
    sim_set(env, st, "result", xmlrpc_int_new(env, 0));
    sim_put_event(env, &c, st, &c.bus->list[(size_t)idx], idx);
    return sim_done(env, st);
}

/* The event of a line sent by a client, or null. A control character in a
 * field (a newline or carriage return in a title, say) would split or lose
 * the event in a saved playlist, so such a line is refused; the metadata
 * field carries its own escapes and holds none. */
static pelmorabox_event_t *sim_event_from_line(const std::string &line)
{
    if (line.empty())
        return nullptr;
    for (unsigned char ch : line)
        if ((ch < 0x20 && ch != '\t') || ch == 0x7f)
            return nullptr;
    return pelmorabox_event_create_from_string(line.c_str(), nullptr, 0);
}

/* Insert and update, by list index or by sys_id. */
static xmlrpc_value *sim_insert_update(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv, int f_update,
                                       int f_by_id)
{
    std::string line;
    int64_t where = 0;
    if (sim_arg_line(env, params, 1, &line) < 0 || sim_arg_int(env, params, 2, &where) < 0)
        return nullptr;
    SIM_OPEN(c, nullptr);
    pelmorabox_event_t *e = sim_event_from_line(line);
    if (!e)
        return sim_std(env, &c, -22);
    int64_t idx = where;
    if (f_by_id && where != -1) {
        idx = sim_bus_find_sys_id(c.bus, where);
        if (idx < 0) {
            pelmorabox_event_destroy(&e);
            return sim_std(env, &c, -2);
        }
    }
    int r = f_update ? sim_bus_update(c.bus, f_by_id && where == -1 ? -1 : idx, e, c.now)
                     : sim_bus_insert(c.bus, idx, e, c.now);
    return sim_std(env, &c, r);
}

static xmlrpc_value *sim_m_insert_event(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    return sim_insert_update(env, params, srv, 0, 0);
}
static xmlrpc_value *sim_m_insert_event2(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    return sim_insert_update(env, params, srv, 0, 1);
}
static xmlrpc_value *sim_m_update_event(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    return sim_insert_update(env, params, srv, 1, 0);
}
static xmlrpc_value *sim_m_update_event2(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    return sim_insert_update(env, params, srv, 1, 1);
}

static xmlrpc_value *sim_m_delete_events(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    std::vector<int64_t> idxs;
    if (sim_arg_list(env, params, 1, &idxs) < 0)
        return nullptr;
    SIM_OPEN(c, nullptr);
    return sim_std(env, &c, sim_bus_delete(c.bus, idxs, c.now));
}

static xmlrpc_value *sim_m_delete_events2(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    std::vector<int64_t> ids, idxs;
    if (sim_arg_list(env, params, 1, &ids) < 0)
        return nullptr;
    SIM_OPEN(c, nullptr);
    for (int64_t id : ids) {
        int i = id == -1 ? -1 : sim_bus_find_sys_id(c.bus, id);
        if (i >= 0)
            idxs.push_back(i);
    }
    return sim_std(env, &c, sim_bus_delete(c.bus, idxs, c.now));
}

static xmlrpc_value *sim_m_reset_tc(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    std::vector<int64_t> ids;
    if (sim_arg_list(env, params, 1, &ids) < 0)
        return nullptr;
    SIM_OPEN(c, nullptr);
    return sim_std(env, &c, sim_bus_reset_tc(c.bus, ids, c.now));
}

/* ---- Commands. ---- */

static xmlrpc_value *sim_m_run(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    int64_t f = 0;
    if (sim_arg_int(env, params, 1, &f) < 0)
        return nullptr;
    SIM_OPEN(c, nullptr);
    return sim_std(env, &c, sim_bus_run(c.bus, f != 0, c.now));
}

static xmlrpc_value *sim_m_take(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_OPEN(c, nullptr);
    return sim_std(env, &c, sim_bus_take(c.bus, c.now));
}

static xmlrpc_value *sim_m_take_n(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    int64_t idx = 0;
    if (sim_arg_int(env, params, 1, &idx) < 0)
        return nullptr;
    SIM_OPEN(c, nullptr);
    return sim_std(env, &c, sim_bus_take_n(c.bus, idx, c.now));
}

static xmlrpc_value *sim_m_fallback(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_OPEN(c, nullptr);
    return sim_std(env, &c, sim_bus_fallback(c.bus, c.now));
}

static xmlrpc_value *sim_m_trimpad(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    int64_t val = 0;
    if (sim_arg_int(env, params, 1, &val) < 0)
        return nullptr;
    SIM_OPEN(c, nullptr);
    if (val < -0x7fffffffLL || val > 0x7fffffffLL)
        return sim_std(env, &c, -22);
    return sim_std(env, &c, sim_bus_trimpad(c.bus, (int)val, c.now));
}

/* The event is named by its negated sys_id (as the console sends it) or by
 * a list index. The request is checked and remembered on the bus, and an IO
 * server of this process named by the URL gets the event as its playlist. */
static xmlrpc_value *sim_m_preview(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    int64_t ev = 0;
    std::string io_url;
    if (sim_arg_int(env, params, 1, &ev) < 0 || sim_param_str(env, params, 2, &io_url) < 0)
        return nullptr;
    SIM_OPEN(c, nullptr);
    int i = ev < 0 ? sim_bus_find_sys_id(c.bus, -ev) : (ev < (int64_t)c.bus->list.size() ? (int)ev : -2);
    if (i < 0)
        return sim_std(env, &c, -2);
    if (io_url.empty())
        return sim_std(env, &c, -22);
    c.bus->preview_sys_id = c.bus->list[(size_t)i].sys_id;
    c.bus->preview_url = io_url;
    fprintf(stderr, "sim: bus %d: preview of sys_id %lld on %s\n", c.bus->idx, (long long)c.bus->preview_sys_id,
            io_url.c_str());
    /* An IO server of this process gets the event as its playlist. */
    const pelmorabox_event_t *pe = c.bus->list[(size_t)i].ev;
    if (pe) {
        int ir = sim_io_preview(io_url, pe->media_id, tc_tc2frames(pe->mark_in),
                                pelmorabox_event_duration_frames(pe, 0), std::to_string(pe->sys_id));
        if (ir < 0)
            fprintf(stderr, "sim: bus %d: preview not loaded into %s (%d)\n", c.bus->idx, io_url.c_str(), ir);
    }
    return sim_std(env, &c, 0);
}

static xmlrpc_value *sim_m_search(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    std::string key;
    int64_t start = 0, flags = 0;
    if (sim_param_str(env, params, 1, &key) < 0 || sim_arg_int(env, params, 2, &start) < 0 ||
        sim_arg_int(env, params, 3, &flags) < 0)
        return nullptr;
    SIM_OPEN(c, nullptr);
    if (start > 0x7fffffff)
        return sim_std(env, &c, -2);
    return sim_std(env, &c, sim_bus_search(c.bus, key.c_str(), (int)std::max<int64_t>(start, 0), (int)flags));
}

/* ---- Playlists. ---- */

static int sim_playlist_load_into(sim_call_t *c, const std::string &name, int f_append)
{
    std::vector<pelmorabox_event_t *> events;
    int r = sim_playlist_read(c->srv->data_dir.c_str(), name.c_str(), &events);
    if (r < 0)
        return r;
    std::string file;
    sim_playlist_name(name.c_str(), &file);
    return sim_bus_load(c->bus, events, f_append, file.c_str(), c->now);
}

static xmlrpc_value *sim_playlist_call(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv, int what)
{
    std::string name;
    if (sim_param_str(env, params, 1, &name) < 0)
        return nullptr;
    SIM_OPEN(c, nullptr);
    std::string file;
    if (sim_playlist_name(name.c_str(), &file) < 0) {
        fprintf(stderr, "sim: bus %d: playlist name refused\n", c.bus->idx);
        return sim_std(env, &c, -22);
    }
    if (what != 2)
        return sim_std(env, &c, sim_playlist_load_into(&c, name, what == 1));
    std::vector<const pelmorabox_event_t *> events;
    for (const sim_event_t &se : c.bus->list)
        events.push_back(se.ev);
    int r = sim_playlist_write(srv->data_dir.c_str(), name.c_str(), events);
    if (r >= 0)
        sim_bus_set_playlist(c.bus, file.c_str());
    return sim_std(env, &c, r);
}

static xmlrpc_value *sim_m_load_playlist(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    return sim_playlist_call(env, params, srv, 0);
}
static xmlrpc_value *sim_m_append_playlist(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    return sim_playlist_call(env, params, srv, 1);
}
static xmlrpc_value *sim_m_save_playlist(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    return sim_playlist_call(env, params, srv, 2);
}

static xmlrpc_value *sim_m_close_playlist(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_OPEN(c, nullptr);
    return sim_std(env, &c, sim_bus_close(c.bus, c.now));
}

static xmlrpc_value *sim_m_truncate(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    int64_t id = 0, f_below = 0;
    if (sim_arg_int(env, params, 1, &id) < 0 || sim_arg_int(env, params, 2, &f_below) < 0)
        return nullptr;
    SIM_OPEN(c, nullptr);
    return sim_std(env, &c, sim_bus_truncate(c.bus, id, f_below != 0, c.now));
}

static xmlrpc_value *sim_m_list_playlists(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_OPEN(c, "list");
    std::vector<std::string> names;
    sim_playlist_list(srv->data_dir.c_str(), &names);
    xmlrpc_value *list = xmlrpc_array_new(env);
    for (const std::string &n : names) {
        if (env->fault_occurred)
            break;
        xmlrpc_value *item = xmlrpc_build_value(env, "(s)", n.c_str());
        sim_append(env, list, item);
    }
    return sim_list_response(env, &c, (int)names.size(), "list", list);
}

/* Bit 0x80 of the mask (and of the reported flags) stands for an absent event. */
#define SIM_FLAG_ABSENT 0x80

static xmlrpc_value *sim_m_errorflag_list(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    int64_t mask = 0;
    if (sim_arg_int(env, params, 1, &mask) < 0)
        return nullptr;
    SIM_OPEN(c, "list");
    xmlrpc_value *list = xmlrpc_array_new(env);
    int cnt = 0;
    for (const sim_event_t &se : c.bus->list) {
        if (env->fault_occurred)
            break;
        int64_t f = se.flags | ((se.media_flags & PELMORABOX_EVENT_FLAG_PRESENT) ? 0 : SIM_FLAG_ABSENT);
        if (!(f & mask))
            continue;
        char tc[32];
        sim_clock_tod2tc(se.start_ms, tc, sizeof tc);
        xmlrpc_value *item =
            xmlrpc_build_value(env, "{s:s,s:s,s:I,s:s,s:I,s:I}", "media_id", se.ev->media_id, "start_time", tc, "start",
                               (xmlrpc_int64)se.start_ms, "comment", se.ev->title, "sys_id", (xmlrpc_int64)se.sys_id,
                               "flags", (xmlrpc_int64)f);
        sim_append(env, list, item);
        cnt++;
    }
    return sim_list_response(env, &c, cnt, "list", list);
}

/* The media the list uses: target 0 all, 1 present only, 2 absent only;
 * "ref" counts the events that use each. */
static xmlrpc_value *sim_m_lib_list(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    int64_t target = 0;
    if (sim_arg_int(env, params, 1, &target) < 0)
        return nullptr;
    SIM_OPEN(c, "list");
    if (target < 0 || target > 2)
        return sim_refuse(env, -22, "list");
    std::map<std::string, std::pair<int, std::string>> used;
    for (const sim_event_t &se : c.bus->list) {
        int present = (se.media_flags & PELMORABOX_EVENT_FLAG_PRESENT) != 0;
        if (!se.ev->media_id[0] || (target == 1 && !present) || (target == 2 && present))
            continue;
        auto &u = used[se.ev->media_id];
        u.first++;
        if (u.second.empty()) {
            std::string id = se.ev->media_id;
            const sim_media_t *m = sim_media_find(c.bus->cat, id.substr(0, id.find('#', 1)));
            u.second = !present                           ? std::string("absent")
                       : m                                ? m->origin
                       : c.bus->cat->live && id[0] != '#' ? std::string("library")
                                                          : std::string("live");
        }
    }
    xmlrpc_value *list = xmlrpc_array_new(env);
    for (const auto &kv : used) {
        if (env->fault_occurred)
            break;
        xmlrpc_value *item = xmlrpc_build_value(env, "{s:s,s:s,s:i}", "origin", kv.second.second.c_str(), "object",
                                                kv.first.c_str(), "ref", kv.second.first);
        sim_append(env, list, item);
    }
    return sim_list_response(env, &c, (int)used.size(), "list", list);
}

/* ---- Snapshots: server-side copies of a list, addressed by number. ---- */

static sim_snapshot_t *sim_snapshot_find(sim_bus_t *bus, int64_t id)
{
    for (sim_snapshot_t &sn : bus->snapshots)
        if (sn.id == id)
            return &sn;
    return nullptr;
}

/* A new snapshot: its number, or -28 when the bus holds too many. */
static int sim_snapshot_new(sim_bus_t *bus)
{
    if (bus->snapshots.size() >= SIM_SNAPSHOTS_MAX)
        return -28;
    sim_snapshot_t sn;
    sn.id = bus->snapshot_next++;
    bus->snapshots.push_back(sn);
    return sn.id;
}

static xmlrpc_value *sim_m_snapshot_new(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_OPEN(c, nullptr);
    return sim_std(env, &c, sim_snapshot_new(c.bus));
}

static xmlrpc_value *sim_m_snapshot_curr(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_OPEN(c, nullptr);
    int id = sim_snapshot_new(c.bus);
    if (id < 0)
        return sim_std(env, &c, id);
    sim_snapshot_t *sn = sim_snapshot_find(c.bus, id);
    for (const sim_event_t &se : c.bus->list) {
        pelmorabox_event_t *e = pelmorabox_event_clone(se.ev);
        if (e)
            sn->events.push_back(sim_bus_event_make(c.bus, e));
    }
    return sim_std(env, &c, id);
}

static xmlrpc_value *sim_m_snapshot_add_event(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    int64_t id = 0;
    std::string line;
    if (sim_arg_int(env, params, 1, &id) < 0 || sim_arg_line(env, params, 2, &line) < 0)
        return nullptr;
    SIM_OPEN(c, nullptr);
    sim_snapshot_t *sn = sim_snapshot_find(c.bus, id);
    if (!sn)
        return sim_std(env, &c, -2);
    pelmorabox_event_t *e = sim_event_from_line(line);
    if (!e)
        return sim_std(env, &c, -22);
    sn->events.push_back(sim_bus_event_make(c.bus, e));
    return sim_std(env, &c, (int)sn->events.size());
}

static xmlrpc_value *sim_m_snapshot_get_event(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    int64_t id = 0, idx = 0;
    if (sim_arg_int(env, params, 1, &id) < 0 || sim_arg_int(env, params, 2, &idx) < 0)
        return nullptr;
    SIM_OPEN(c, nullptr);
    sim_snapshot_t *sn = sim_snapshot_find(c.bus, id);
    if (!sn || idx < 0 || idx >= (int64_t)sn->events.size())
        return sim_std(env, &c, -2);
    xmlrpc_value *st = xmlrpc_struct_new(env);
    sim_set(env, st, "result", xmlrpc_int_new(env, 0));
    sim_event_t se = sn->events[(size_t)idx];
    se.flags = se.media_flags & ~SIM_MEDIA_QUEUED;
    se.start_ms = 0;
    sim_put_event(env, &c, st, &se, idx);
    return sim_done(env, st);
}

static xmlrpc_value *sim_m_snapshot_destroy(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    int64_t id = 0;
    if (sim_arg_int(env, params, 1, &id) < 0)
        return nullptr;
    SIM_OPEN(c, nullptr);
    for (size_t i = 0; i < c.bus->snapshots.size(); i++) {
        if (c.bus->snapshots[i].id != id)
            continue;
        for (sim_event_t &se : c.bus->snapshots[i].events)
            sim_bus_event_free(&se);
        c.bus->snapshots.erase(c.bus->snapshots.begin() + (long)i);
        return sim_std(env, &c, 0);
    }
    return sim_std(env, &c, -2);
}

static xmlrpc_value *sim_m_snapshot_load(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    std::string name;
    if (sim_param_str(env, params, 1, &name) < 0)
        return nullptr;
    SIM_OPEN(c, nullptr);
    std::vector<pelmorabox_event_t *> events;
    int r = sim_playlist_read(srv->data_dir.c_str(), name.c_str(), &events);
    if (r < 0)
        return sim_std(env, &c, r);
    int id = sim_snapshot_new(c.bus);
    sim_snapshot_t *sn = id >= 0 ? sim_snapshot_find(c.bus, id) : nullptr;
    for (pelmorabox_event_t *e : events) {
        if (sn)
            sn->events.push_back(sim_bus_event_make(c.bus, e));
        else
            pelmorabox_event_destroy(&e);
    }
    return sim_std(env, &c, id);
}

static xmlrpc_value *sim_m_snapshot_save(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    int64_t id = 0;
    std::string name;
    if (sim_arg_int(env, params, 1, &id) < 0 || sim_param_str(env, params, 2, &name) < 0)
        return nullptr;
    SIM_OPEN(c, nullptr);
    sim_snapshot_t *sn = sim_snapshot_find(c.bus, id);
    if (!sn)
        return sim_std(env, &c, -2);
    std::vector<const pelmorabox_event_t *> events;
    for (const sim_event_t &se : sn->events)
        events.push_back(se.ev);
    return sim_std(env, &c, sim_playlist_write(srv->data_dir.c_str(), name.c_str(), events));
}

int sim_automation_keep_load(sim_server_t *srv, int bus_idx)
{
    sim_bus_t *bus = sim_server_bus(srv, bus_idx);
    if (!bus)
        return -22;
    if (srv->kept_hash.size() < srv->buses.size())
        srv->kept_hash.resize(srv->buses.size(), 0);
    std::vector<pelmorabox_event_t *> events;
    int r = sim_playlist_read(sim_keep_dir(srv).c_str(), sim_keep_name(srv, bus).c_str(), &events);
    if (r < 0)
        return r;
    std::lock_guard<std::mutex> g(bus->lock);
    r = sim_bus_load(bus, events, 0, nullptr, sim_clock_now_ms());
    srv->kept_hash[(size_t)bus_idx] = bus->ply_hash;
    return r;
}

int sim_automation_load(sim_server_t *srv, int bus_idx, const char *name)
{
    sim_bus_t *bus = sim_server_bus(srv, bus_idx);
    if (!bus)
        return -22;
    sim_call_t c;
    c.srv = srv;
    c.f_state = 0;
    c.bus = bus;
    c.guard = std::unique_lock<std::mutex>(bus->lock);
    c.now = sim_clock_now_ms();
    return sim_playlist_load_into(&c, name, 0);
}

/* A call refused on request (--refuse): the bus state as it is, nothing done. */
static xmlrpc_value *sim_refuse_call(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv, int result)
{
    SIM_OPEN(c, nullptr);
    return sim_std(env, &c, result);
}

int sim_automation_register(sim_server_t *srv)
{
    srv->refuse_fn = sim_refuse_call;
    static const struct
    {
        const char *name;
        sim_method_fn fn;
    } table[] = {
        {"PelmoraBox.GetState", sim_m_get_state},
        {"PelmoraBox.GetEvents2", sim_m_get_events2},
        {"PelmoraBox.GetEvent", sim_m_get_event},
        {"PelmoraBox.InsertEvent", sim_m_insert_event},
        {"PelmoraBox.InsertEvent2", sim_m_insert_event2},
        {"PelmoraBox.UpdateEvent", sim_m_update_event},
        {"PelmoraBox.UpdateEvent2", sim_m_update_event2},
        {"PelmoraBox.DeleteEvents", sim_m_delete_events},
        {"PelmoraBox.DeleteEvents2", sim_m_delete_events2},
        {"PelmoraBox.ResetEventsTC", sim_m_reset_tc},
        {"PelmoraBox.Run", sim_m_run},
        {"PelmoraBox.Take", sim_m_take},
        {"PelmoraBox.TakeN", sim_m_take_n},
        {"PelmoraBox.Fallback", sim_m_fallback},
        {"PelmoraBox.Preview", sim_m_preview},
        {"PelmoraBox.LoadPlaylist", sim_m_load_playlist},
        {"PelmoraBox.AppendPlaylist", sim_m_append_playlist},
        {"PelmoraBox.SavePlaylist", sim_m_save_playlist},
        {"PelmoraBox.ClosePlaylist", sim_m_close_playlist},
        {"PelmoraBox.TruncatePlaylist", sim_m_truncate},
        {"PelmoraBox.TrimPadEvent", sim_m_trimpad},
        {"PelmoraBox.SearchEvent", sim_m_search},
        {"PelmoraBox.ListPlaylists", sim_m_list_playlists},
        {"PelmoraBox.ErrorFlagList", sim_m_errorflag_list},
        {"PelmoraBox.LibList", sim_m_lib_list},
        {"PelmoraBox.SnapshotNew", sim_m_snapshot_new},
        {"PelmoraBox.SnapshotCurr", sim_m_snapshot_curr},
        {"PelmoraBox.SnapshotAddEvent", sim_m_snapshot_add_event},
        {"PelmoraBox.SnapshotGetEvent", sim_m_snapshot_get_event},
        {"PelmoraBox.SnapshotDestroy", sim_m_snapshot_destroy},
        {"PelmoraBox.SnapshotLoad", sim_m_snapshot_load},
        {"PelmoraBox.SnapshotSave", sim_m_snapshot_save},
    };
    for (const auto &m : table)
        if (sim_server_add_method(srv, m.name, m.fn) < 0)
            return -22;
    return 0;
}
