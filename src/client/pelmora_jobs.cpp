/* Client of the job services of a library server (transfers, transcoding)
 * and of the recording scheduler. Each call is its decoding through the
 * call helper; the list readers stop at the caller's limit. */
#include "pelmora_jobs.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <vector>

#include "pelmora.h"
#include "pelmora_call.h"
#include "strl.h"

static const char *SRC_NAME = "pelmora_jobs.cpp";

namespace {

/* Texts handed out by a decomposition: each copied truncated into its field,
 * all freed when the holder goes out of scope (also on a failed decode). */
struct texts
{
    std::vector<const char *> v;
    const char **slot()
    {
        v.push_back(nullptr);
        return &v.back();
    }
    ~texts()
    {
        for (const char *s : v)
            free((void *)s);
    }
};

/* Pointers into texts::v stay valid: the vector is sized before any slot. */
struct text_slots
{
    texts t;
    explicit text_slots(size_t n) { t.v.reserve(n); }
    const char **operator[](size_t) { return t.slot(); }
};

/* After a failed decomposition xmlrpc-c has already freed the texts it
 * handed out, without clearing the caller's pointers: they are forgotten
 * here so that the holder does not free them again. */
bool decomposed(xmlrpc_env *env, std::initializer_list<const char **> slots)
{
    if (!env->fault_occurred)
        return true;
    for (const char **p : slots)
        *p = nullptr;
    return false;
}

void put(char *dst, size_t size, const char *s)
{
    strlcpy(dst, s ? s : "", size);
}

struct value_ref
{
    xmlrpc_value *v = nullptr;
    ~value_ref()
    {
        if (v)
            xmlrpc_DECREF(v);
    }
};

const pelmora_call_style JOBS = {SRC_NAME, pelmora_call::SRC_ALWAYS};

template <typename... A>
int result_call(pelmora_call::site at, const char *url, const char *method, const char *format, A... args)
{
    return pelmora_call::result_call(&JOBS, false, at, url, method, format, args...);
}

/* The list reading shared by every list call: the "result", then up to
 * limit elements of "list" handed to decode(env, item, i); decode leaves a
 * fault in env for an element that does not decompose. */
template <typename F> int read_list(pelmora_call &c, int limit, F decode)
{
    int result = c.result(true);
    if (result < 0)
        return result;
    int n = c.list("list", limit, [&](xmlrpc_value *item, int i) {
        decode(c.env(), item, i);
        return !c.failed();
    });
    if (n >= 0 && c.failed()) {
        c.decompose_failed(nullptr, SRC_NAME, __LINE__);
        /* The server's result, but never more than the records read:
         * callers go through that many records of their array. */
        return result < n ? result : n;
    }
    return n;
}

/* An answer already received, owned by a helper for the readers. */
struct adopted
{
    pelmora_call c;
    adopted(const char *caller, const char *method, xmlrpc_value *answer) : c(caller, "", method, &JOBS)
    {
        c.share(answer);
    }
};

void target_decode(xmlrpc_env *env, xmlrpc_value *item, pelmora_filetransfer_target_t *t)
{
    text_slots s(8);
    const char **id = s[0], **type = s[1], **title = s[2], **host = s[3], **port = s[4], **path = s[5], **login = s[6],
               **passw = s[7];
    xmlrpc_decompose_value(env, item, "{s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,*}", "id", id, "type", type, "title", title,
                           "host", host, "port", port, "path", path, "login", login, "passw", passw);
    if (!decomposed(env, {id, type, title, host, port, path, login, passw}))
        return;
    put(t->id, sizeof(t->id), *id);
    put(t->type, sizeof(t->type), *type);
    put(t->title, sizeof(t->title), *title);
    put(t->host, sizeof(t->host), *host);
    put(t->port, sizeof(t->port), *port);
    put(t->path, sizeof(t->path), *path);
    put(t->login, sizeof(t->login), *login);
    put(t->passw, sizeof(t->passw), *passw);
}

void transfer_decode(xmlrpc_env *env, xmlrpc_value *item, pelmora_filetransfer_request_t *r)
{
    text_slots s(4);
    const char **target = s[0], **local = s[1], **remote = s[2], **error = s[3];
    xmlrpc_int32 id = 0, f_delete = 0, f_import = 0, progress = 0, state = 0;
    xmlrpc_int64 updated = 0, created = 0;
    xmlrpc_decompose_value(env, item, "{s:i,s:s,s:i,s:i,s:s,s:s,s:i,s:i,s:s,s:I,s:I,*}", "id", &id, "target", target,
                           "f_delete", &f_delete, "f_import", &f_import, "object_local", local, "object_remote", remote,
                           "progress", &progress, "state", &state, "error", error, "updated", &updated, "created",
                           &created);
    if (!decomposed(env, {target, local, remote, error}))
        return;
    r->id = id;
    r->f_delete = f_delete;
    r->f_import = f_import;
    r->progress = progress;
    r->state = state;
    r->updated = updated;
    r->created = created;
    put(r->target, sizeof(r->target), *target);
    put(r->object_local, sizeof(r->object_local), *local);
    put(r->object_remote, sizeof(r->object_remote), *remote);
    put(r->error, sizeof(r->error), *error);
}

void transcoder_decode(xmlrpc_env *env, xmlrpc_value *item, pelmora_filetranscoder_request_t *r)
{
    text_slots s(15);
    const char **src_o = s[0], **src_l = s[1], **dst_o = s[2], **dst_l = s[3], **in = s[4], **dur = s[5],
               **factory = s[6], **profile = s[7], **error = s[8];
    xmlrpc_int32 id = 0, f_delete = 0, progress = 0, state = 0;
    xmlrpc_int64 updated = 0, created = 0;
    xmlrpc_decompose_value(env, item, "{s:i,s:I,s:I,s:i,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:i,s:i,s:s,*}", "id", &id,
                           "updated", &updated, "created", &created, "f_delete", &f_delete, "src_object", src_o,
                           "src_local", src_l, "dst_object", dst_o, "dst_local", dst_l, "in", in, "dur", dur, "factory",
                           factory, "profile", profile, "progress", &progress, "state", &state, "error", error);
    if (!decomposed(env, {src_o, src_l, dst_o, dst_l, in, dur, factory, profile, error}))
        return;
    const char **amap = s[9], **tc = s[10], **osd = s[11], **tt = s[12];
    xmlrpc_int32 audio_conf = 0, tfd = 0;
    xmlrpc_decompose_value(env, item, "{s:s,s:i,s:s,s:s,s:s,s:i,*}", "audio_map", amap, "audio_conf", &audio_conf,
                           "timecode", tc, "osd", osd, "transfer_target", tt, "transfer_f_delete", &tfd);
    if (!decomposed(env, {amap, tc, osd, tt}))
        return;
    r->id = id;
    r->updated = updated;
    r->created = created;
    r->f_delete = f_delete;
    r->progress = progress;
    r->state = state;
    r->audio_conf = audio_conf;
    r->transfer_f_delete = tfd;
    put(r->src.object, sizeof(r->src.object), *src_o);
    put(r->src.local, sizeof(r->src.local), *src_l);
    put(r->dst.object, sizeof(r->dst.object), *dst_o);
    put(r->dst.local, sizeof(r->dst.local), *dst_l);
    put(r->in, sizeof(r->in), *in);
    put(r->dur, sizeof(r->dur), *dur);
    put(r->factory, sizeof(r->factory), *factory);
    put(r->profile, sizeof(r->profile), *profile);
    put(r->error, sizeof(r->error), *error);
    put(r->audio_map, sizeof(r->audio_map), *amap);
    put(r->timecode, sizeof(r->timecode), *tc);
    put(r->osd, sizeof(r->osd), *osd);
    put(r->transfer_target, sizeof(r->transfer_target), *tt);
}

} // namespace

/* ---- transfers ---- */

int pelmora_filetransfer_targets_read(const char *caller, xmlrpc_value *answer, int limit,
                                      pelmora_filetransfer_target_t *trg)
{
    adopted a(caller, "PelmoraFileTransfer.TargetsList", answer);
    return read_list(a.c, limit,
                     [trg](xmlrpc_env *env, xmlrpc_value *item, int i) { target_decode(env, item, &trg[i]); });
}

int pelmora_filetransfer_targets_list(const char *url, int offset, int limit, pelmora_filetransfer_target_t *trg)
{
    if (!trg && limit > 0)
        return -22;
    pelmora_call c(__func__, url, "PelmoraFileTransfer.TargetsList", &JOBS);
    if (!c.run("(ii)", (xmlrpc_int32)offset, (xmlrpc_int32)limit))
        return c.call_failed(nullptr, SRC_NAME, __LINE__);
    return pelmora_filetransfer_targets_read(__func__, c.answer(), limit, trg);
}

int pelmora_filetransfer_requests_read(const char *caller, xmlrpc_value *answer, int limit,
                                       pelmora_filetransfer_request_t *req)
{
    adopted a(caller, "PelmoraFileTransfer.RequestsList", answer);
    return read_list(a.c, limit,
                     [req](xmlrpc_env *env, xmlrpc_value *item, int i) { transfer_decode(env, item, &req[i]); });
}

int pelmora_filetransfer_requests_list(const char *url, int type, int offset, int limit,
                                       pelmora_filetransfer_request_t *req)
{
    if (!req && limit > 0)
        return -22;
    pelmora_call c(__func__, url, "PelmoraFileTransfer.RequestsList", &JOBS);
    if (!c.run("(iii)", (xmlrpc_int32)type, (xmlrpc_int32)offset, (xmlrpc_int32)limit))
        return c.call_failed(nullptr, SRC_NAME, __LINE__);
    return pelmora_filetransfer_requests_read(__func__, c.answer(), limit, req);
}

int pelmora_filetransfer_request_get(const char *url, int id, pelmora_filetransfer_request_t *req)
{
    if (!req)
        return -22;
    pelmora_call c(__func__, url, "PelmoraFileTransfer.RequestGet", &JOBS);
    if (!c.run("(i)", (xmlrpc_int32)id))
        return c.call_failed(nullptr, SRC_NAME, __LINE__);
    int result = c.result(true);
    if (result < 0)
        return result;
    value_ref item;
    if (!c.decompose("{s:S,*}", "item", &item.v))
        return c.decompose_failed(nullptr, SRC_NAME, __LINE__);
    transfer_decode(c.env(), item.v, req);
    if (c.failed())
        return c.decompose_failed(nullptr, SRC_NAME, __LINE__);
    return result;
}

int pelmora_filetransfer_request_add(const char *url, const pelmora_filetransfer_request_t *req)
{
    if (!req)
        return -22;
    return result_call(__func__, url, "PelmoraFileTransfer.RequestAdd", "(siiss)", req->target,
                       (xmlrpc_int32)req->f_import, (xmlrpc_int32)req->f_delete, req->object_local, req->object_remote);
}

int pelmora_filetransfer_request_del(const char *url, int id)
{
    return result_call(__func__, url, "PelmoraFileTransfer.RequestDel", "(i)", (xmlrpc_int32)id);
}

int pelmora_filetransfer_request_cancel(const char *url, int id)
{
    return result_call(__func__, url, "PelmoraFileTransfer.RequestCancel", "(i)", (xmlrpc_int32)id);
}

int pelmora_filetransfer_request_restart(const char *url, int id)
{
    return result_call(__func__, url, "PelmoraFileTransfer.RequestRestart", "(i)", (xmlrpc_int32)id);
}

int pelmora_filetransfer_probe(const char *url, const char *target, const char *object, int64_t *p_time,
                               int64_t *p_size)
{
    if (!target || !object)
        return -22;
    pelmora_call c(__func__, url, "PelmoraFileTransfer.ProbeRemote", &JOBS);
    c.run("(ss)", target, object);
    int result = c.result();
    if (result < 0)
        return result;
    xmlrpc_int64 t = 0, size = 0;
    if (!c.decompose("{s:I,s:I,*}", "time", &t, "size", &size))
        return c.decompose_failed(nullptr, SRC_NAME, __LINE__);
    if (p_time)
        *p_time = t;
    if (p_size)
        *p_size = size;
    return result;
}

int pelmora_filetransfer_list(const char *url, const char *target, const char *object, char ***plist)
{
    if (!target || !object || !plist)
        return -22;
    char **got = nullptr;
    pelmora_call c(__func__, url, "PelmoraFileTransfer.ListRemote");
    c.run("(ss)", target, object);
    int r = parse_simple_list_response(__func__, c.env(), c.release(), &got);
    if (r < 0 || !got)
        return r;
    size_t have = 0;
    if (*plist)
        while ((*plist)[have])
            have++;
    char **joined = (char **)realloc(*plist, (have + (size_t)r + 1) * sizeof(char *));
    if (!joined) {
        for (int i = 0; got[i]; i++)
            free(got[i]);
        free(got);
        return -12;
    }
    for (int i = 0; i < r; i++)
        joined[have + i] = got[i];
    joined[have + r] = nullptr;
    free(got);
    *plist = joined;
    return r;
}

/* ---- transcoder ---- */

int pelmora_filetranscoder_requests_read(const char *caller, xmlrpc_value *answer, int limit,
                                         pelmora_filetranscoder_request_t *req)
{
    adopted a(caller, "PelmoraFileTranscoder.RequestsList", answer);
    return read_list(a.c, limit,
                     [req](xmlrpc_env *env, xmlrpc_value *item, int i) { transcoder_decode(env, item, &req[i]); });
}

int pelmora_filetranscoder_requests_list(const char *url, int type, int offset, int limit,
                                         pelmora_filetranscoder_request_t *req)
{
    if (!req && limit > 0)
        return -22;
    pelmora_call c(__func__, url, "PelmoraFileTranscoder.RequestsList", &JOBS);
    if (!c.run("(iii)", (xmlrpc_int32)type, (xmlrpc_int32)offset, (xmlrpc_int32)limit))
        return c.call_failed(nullptr, SRC_NAME, __LINE__);
    return pelmora_filetranscoder_requests_read(__func__, c.answer(), limit, req);
}

int pelmora_filetranscoder_request_add(const char *url, const pelmora_filetranscoder_request_t *req)
{
    if (!req)
        return -22;
    return result_call(__func__, url, "PelmoraFileTranscoder.RequestAdd", "(ssssssisisssi)", req->src.object, req->in,
                       req->dur, req->dst.object, req->factory, req->profile, (xmlrpc_int32)req->f_delete,
                       req->audio_map, (xmlrpc_int32)req->audio_conf, req->timecode, req->osd, req->transfer_target,
                       (xmlrpc_int32)req->transfer_f_delete);
}

int pelmora_filetranscoder_request_del(const char *url, int id)
{
    return result_call(__func__, url, "PelmoraFileTranscoder.RequestDel", "(i)", (xmlrpc_int32)id);
}

int pelmora_filetranscoder_request_cancel(const char *url, int id)
{
    return result_call(__func__, url, "PelmoraFileTranscoder.RequestCancel", "(i)", (xmlrpc_int32)id);
}

int pelmora_filetranscoder_request_restart(const char *url, int id)
{
    return result_call(__func__, url, "PelmoraFileTranscoder.RequestRestart", "(i)", (xmlrpc_int32)id);
}

/* ---- recording scheduler ---- */

namespace {

void sched_item_decode(xmlrpc_env *env, xmlrpc_value *v, pelmora_sched_item_t *it)
{
    text_slots s(7);
    const char **path = s[0], **title = s[1], **mode = s[2], **enc = s[3];
    xmlrpc_int32 duration = 0, tc = 0, id = 0, enabled = 0;
    xmlrpc_int64 min = 0, hour = 0, day = 0, weekday = 0, month = 0, year = 0, calc = 0;
    xmlrpc_decompose_value(env, v, "{s:i,s:i,s:i,s:i,s:s,s:s,s:I,s:I,s:I,s:I,s:I,s:I,s:I,s:s,s:s,*}", "duration",
                           &duration, "tc", &tc, "id", &id, "enabled", &enabled, "path", path, "title", title, "min",
                           &min, "hour", &hour, "day", &day, "weekday", &weekday, "month", &month, "year", &year,
                           "calc", &calc, "mode", mode, "enc", enc);
    if (!decomposed(env, {path, title, mode, enc}))
        return;
    const char **transfer = s[4], **prefix = s[5];
    xmlrpc_int32 start_time = 0;
    xmlrpc_decompose_value(env, v, "{s:i,s:s,s:s,*}", "start_time", &start_time, "transfer", transfer, "prefix",
                           prefix);
    if (!decomposed(env, {transfer, prefix}))
        return;
    it->duration = duration;
    it->tc = tc;
    it->id = id;
    it->enabled = enabled;
    it->min = min;
    it->hour = hour;
    it->day = day;
    it->weekday = weekday;
    it->month = month;
    it->year = year;
    it->calc = calc;
    it->start_time = start_time;
    put(it->path, sizeof(it->path), *path);
    put(it->title, sizeof(it->title), *title);
    put(it->mode, sizeof(it->mode), *mode);
    put(it->enc, sizeof(it->enc), *enc);
    put(it->transfer, sizeof(it->transfer), *transfer);
    put(it->prefix, sizeof(it->prefix), *prefix);
}

void sched_log_decode(xmlrpc_env *env, xmlrpc_value *v, pelmora_sched_log_t *l)
{
    text_slots s(5);
    const char **origin = s[0], **mode = s[1], **enc = s[2], **transfer = s[3], **prefix = s[4];
    xmlrpc_int32 duration = 0, tc = 0, status = 0, start_time = 0;
    xmlrpc_int64 start = 0, calc = 0;
    xmlrpc_decompose_value(env, v, "{s:i,s:i,s:i,s:s,s:I,s:I,s:s,s:s,s:i,s:s,s:s,*}", "duration", &duration, "tc", &tc,
                           "status", &status, "origin", origin, "start", &start, "calc", &calc, "mode", mode, "enc",
                           enc, "start_time", &start_time, "transfer", transfer, "prefix", prefix);
    if (!decomposed(env, {origin, mode, enc, transfer, prefix}))
        return;
    l->duration = duration;
    l->tc = tc;
    l->status = status;
    l->start = start;
    l->calc = calc;
    l->start_time = start_time;
    put(l->origin, sizeof(l->origin), *origin);
    put(l->mode, sizeof(l->mode), *mode);
    put(l->enc, sizeof(l->enc), *enc);
    put(l->transfer, sizeof(l->transfer), *transfer);
    put(l->prefix, sizeof(l->prefix), *prefix);
}

} // namespace

int pelmora_sched_item_add(const char *url, const pelmora_sched_item_t *it)
{
    if (!it)
        return -22;
    return result_call(__func__, url, "PelmoraSched.SchedAddItem", "(IIIIIIiiissssiss)", (xmlrpc_int64)it->min,
                       (xmlrpc_int64)it->hour, (xmlrpc_int64)it->day, (xmlrpc_int64)it->weekday,
                       (xmlrpc_int64)it->month, (xmlrpc_int64)it->year, (xmlrpc_int32)it->enabled,
                       (xmlrpc_int32)it->duration, (xmlrpc_int32)it->tc, it->title, it->path, it->mode, it->enc,
                       (xmlrpc_int32)it->start_time, it->transfer, it->prefix);
}

int pelmora_sched_item_del(const char *url, int id)
{
    return result_call(__func__, url, "PelmoraSched.SchedDeleteItem", "(i)", (xmlrpc_int32)id);
}

int pelmora_sched_item_get(const char *url, int id, pelmora_sched_item_t *item)
{
    if (!item)
        return -22;
    pelmora_call c(__func__, url, "PelmoraSched.SchedGetItem", &JOBS);
    c.run("(i)", (xmlrpc_int32)id);
    int result = c.result();
    if (result < 0)
        return result;
    value_ref v;
    if (!c.decompose("{s:S,*}", "item", &v.v))
        return c.decompose_failed(nullptr, SRC_NAME, __LINE__);
    sched_item_decode(c.env(), v.v, item);
    if (c.failed())
        return c.decompose_failed(nullptr, SRC_NAME, __LINE__);
    return result;
}

int pelmora_sched_item_list(const char *url, int limit, pelmora_sched_item_t *items)
{
    if (!items && limit > 0)
        return -22;
    pelmora_call c(__func__, url, "PelmoraSched.SchedListItems", &JOBS);
    if (!c.run("()"))
        return c.call_failed(nullptr, SRC_NAME, __LINE__);
    return read_list(c, limit,
                     [items](xmlrpc_env *env, xmlrpc_value *v, int i) { sched_item_decode(env, v, &items[i]); });
}

int pelmora_sched_item_enable(const char *url, int id, int enable)
{
    return result_call(__func__, url, "PelmoraSched.SchedEnableItem", "(ii)", (xmlrpc_int32)id, (xmlrpc_int32)enable);
}

int pelmora_sched_log_list(const char *url, int limit, pelmora_sched_log_t *logs)
{
    if (!logs && limit > 0)
        return -22;
    pelmora_call c(__func__, url, "PelmoraSched.SchedListLogs", &JOBS);
    if (!c.run("()"))
        return c.call_failed(nullptr, SRC_NAME, __LINE__);
    return read_list(c, limit, [logs](xmlrpc_env *env, xmlrpc_value *v, int i) { sched_log_decode(env, v, &logs[i]); });
}

int pelmora_sched_expand_curr(const char *url, int flag)
{
    return result_call(__func__, url, "PelmoraSched.SchedExpandCurr", "(i)", (xmlrpc_int32)flag);
}

int pelmora_sched_get_state(const char *url, pelmora_sched_state_t *st)
{
    if (!st)
        return -22;
    memset(st, 0, sizeof(*st));
    pelmora_call c(__func__, url, "PelmoraSched.SchedGetState", &JOBS);
    c.run("()");
    int result = c.result();
    if (result < 0)
        return result;
    value_ref v;
    if (!c.decompose("{s:S,*}", "state", &v.v))
        return c.decompose_failed(nullptr, SRC_NAME, __LINE__);
    text_slots s(4);
    const char **now = s[0], **a = s[1], **b = s[2];
    xmlrpc_int32 status = 0, duration = 0;
    xmlrpc_int64 t_now = 0, t_a = 0, t_b = 0;
    xmlrpc_decompose_value(c.env(), v.v, "{s:i,s:i,s:s,s:I,s:s,s:I,s:s,s:I,*}", "status", &status, "duration",
                           &duration, "s_now", now, "t_now", &t_now, "s_start", a, "t_start", &t_a, "s_end", b, "t_end",
                           &t_b);
    if (decomposed(c.env(), {now, a, b})) {
        st->f_recording = 1;
        st->status = status;
        st->duration = duration;
        put(st->s_start, sizeof(st->s_start), *a);
        st->t_start = t_a;
        put(st->s_end, sizeof(st->s_end), *b);
        st->t_end = t_b;
    } else {
        /* Nothing recording: the other form names the next start. */
        c.clear_fault();
        const char **now2 = s[3];
        xmlrpc_decompose_value(c.env(), v.v, "{s:s,s:I,s:s,s:I,*}", "s_now", now2, "t_now", &t_now, "s_next", a,
                               "t_next", &t_a);
        if (!decomposed(c.env(), {now2, a}))
            return c.decompose_failed(nullptr, SRC_NAME, __LINE__);
        now = now2;
        put(st->s_next, sizeof(st->s_next), *a);
        st->t_next = t_a;
    }
    put(st->s_now, sizeof(st->s_now), *now);
    st->t_now = t_now;
    return result;
}
