/* Client of an IO server: every PelmoraIO transport, playlist and recording
 * call, and the status reader shared with the fuzz target. */
#include "pelmora_io.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "pelmora.h"
#include "pelmora_call.h"
#include "pelmora_lib.h"
#include "strl.h"

static const char *SRC_NAME = "pelmora_io.cpp";

namespace {

const char *nz(const char *s)
{
    return s ? s : "";
}

const pelmora_call_style IO = {SRC_NAME, pelmora_call::METHOD_COMMA};

/* A call whose answer carries nothing but "result". */
template <typename... A>
int result_call(pelmora_call::site at, const char *url, const char *method, const char *format, A... args)
{
    return pelmora_call::result_call(&IO, false, at, url, method, format, args...);
}

/* The clip struct of PlaylistInsert2 / PlaylistAppend2. */
xmlrpc_value *clip_struct(xmlrpc_env *env, const pelmora_io_clip_t *clip)
{
    return xmlrpc_build_value(env, "{s:s,s:i,s:i,s:s,s:s,s:s,s:s}", "name", clip->name, "in", (xmlrpc_int32)clip->in,
                              "dur", (xmlrpc_int32)clip->dur, "overlay_name", clip->overlay_name, "overlay_pos",
                              clip->overlay_pos, "cookie", clip->cookie, "amap", clip->amap);
}

/* A 260-byte text field from a possibly unterminated caller record. */
void clip_fix(pelmora_io_clip_t *c)
{
    c->name[259] = c->overlay_name[259] = c->overlay_pos[259] = c->cookie[259] = c->amap[259] = 0;
}

} // namespace

int pelmora_status_read(const char *caller, xmlrpc_value *answer, pelmora_status_t *s)
{
    memset(s, 0, sizeof(*s));
    pelmora_call c(caller, "", "PelmoraIO.GetStatus");
    c.share(answer);
    xmlrpc_int32 result = 0;
    const char *name = nullptr, *cookie = nullptr;
    if (!c.decompose("{s:i,s:i,s:s,s:s,s:i,s:i,s:i,s:i,s:i,s:i,s:i,*}", "result", &result, "status", &s->status, "name",
                     &name, "cookie", &cookie, "loop", &s->loop, "clip_length", &s->clip_length, "clip_in", &s->clip_in,
                     "clip_dur", &s->clip_dur, "clip_pos", &s->clip_pos, "clip_start", &s->clip_start, "clip_idx",
                     &s->clip_idx))
        return c.decompose_failed(nullptr, SRC_NAME, __LINE__);
    strlcpy(s->name, name, sizeof(s->name));
    strlcpy(s->cookie, cookie, sizeof(s->cookie));
    free((void *)name);
    free((void *)cookie);
    if (!c.decompose("{s:i,s:i,s:i,s:i,s:d,s:i,s:i,s:i,*}", "playlist_gen", &s->playlist_gen, "playlist_dur",
                     &s->playlist_dur, "playlist_pos", &s->playlist_pos, "playlist_count", &s->playlist_count,
                     "playlist_speed", &s->playlist_speed, "rec_paused", &s->rec_paused, "tc_frames", &s->tc_frames,
                     "tc_src", &s->tc_src))
        return c.decompose_failed(nullptr, SRC_NAME, __LINE__);
    return result;
}

int pelmora_getstatus(const char *url, pelmora_status_t *s)
{
    memset(s, 0, sizeof(*s));
    pelmora_call c(__func__, url, "PelmoraIO.GetStatus");
    if (!c.run("()"))
        return c.call_failed(nullptr, nullptr, 0);
    return pelmora_status_read(__func__, c.answer(), s);
}

int pelmora_play(const char *url)
{
    return pelmora_method_no_arg(url, "PelmoraIO.Play");
}

int pelmora_play_vari(const char *url, double speed)
{
    return result_call(__func__, url, "PelmoraIO.Play", "(d)", speed);
}

int pelmora_pause(const char *url)
{
    return pelmora_method_no_arg(url, "PelmoraIO.Pause");
}

int pelmora_stop(const char *url)
{
    return pelmora_method_no_arg(url, "PelmoraIO.Stop");
}

int pelmora_cue_play(const char *url)
{
    return pelmora_method_no_arg(url, "PelmoraIO.CuePlay");
}

int pelmora_cue_play_with_data(const char *url, int tc)
{
    return result_call(__func__, url, "PelmoraIO.CuePlayWithData", "(i)", (xmlrpc_int32)tc);
}

int pelmora_playlist_append(const char *url, const char *name, int in, int dur, const char *overlay_name,
                            const char *overlay_pos, const char *cookie)
{
    return result_call(__func__, url, "PelmoraIO.PlaylistAppend", "(siisss)", nz(name), (xmlrpc_int32)in,
                       (xmlrpc_int32)dur, nz(overlay_name), nz(overlay_pos), nz(cookie));
}

int pelmora_playlist_seek(const char *url, int pos)
{
    return result_call(__func__, url, "PelmoraIO.PlaylistSeek", "(i)", (xmlrpc_int32)pos);
}

int pelmora_io_basename_item(const char *url, const char *object, char *filename_abs, char *filename_local,
                             int *cache_shm_id)
{
    return pelmora_basename_item(url, "PelmoraIO.LibBasenameItem", object, nullptr, filename_abs, filename_local,
                                 cache_shm_id);
}

int pelmora_playlist_clear(const char *url)
{
    return pelmora_method_no_arg(url, "PelmoraIO.PlaylistClear");
}

int pelmora_playlist_remove(const char *url, int idx)
{
    return result_call(__func__, url, "PelmoraIO.PlaylistRemove", "(i)", (xmlrpc_int32)idx);
}

int pelmora_playlist_repeat_clip(const char *url, int idx, int count)
{
    return result_call(__func__, url, "PelmoraIO.PlaylistRepeatClip", "(ii)", (xmlrpc_int32)idx, (xmlrpc_int32)count);
}

int pelmora_playlist_resize_clip(const char *url, int idx, int in, int out)
{
    return result_call(__func__, url, "PelmoraIO.PlaylistResizeClip", "(iii)", (xmlrpc_int32)idx, (xmlrpc_int32)in,
                       (xmlrpc_int32)out);
}

int pelmora_playlist_move(const char *url, int from, int to)
{
    return result_call(__func__, url, "PelmoraIO.PlaylistMove", "(ii)", (xmlrpc_int32)from, (xmlrpc_int32)to);
}

int pelmora_playlist_insert(const char *url, int idx, const char *name, int in, int dur, const char *overlay_name,
                            const char *overlay_pos, const char *cookie)
{
    return result_call(__func__, url, "PelmoraIO.PlaylistInsert", "(isiisss)", (xmlrpc_int32)idx, nz(name),
                       (xmlrpc_int32)in, (xmlrpc_int32)dur, nz(overlay_name), nz(overlay_pos), nz(cookie));
}

int pelmora_playlist_loop(const char *url, int loop)
{
    return result_call(__func__, url, "PelmoraIO.PlaylistLoop", "(i)", (xmlrpc_int32)loop);
}

int pelmora_playlist_seek_to(const char *url, int idx, int pos)
{
    return result_call(__func__, url, "PelmoraIO.PlaylistSeekTo", "(ii)", (xmlrpc_int32)idx, (xmlrpc_int32)pos);
}

int pelmora_playlist_step(const char *url, int offset)
{
    return result_call(__func__, url, "PelmoraIO.PlaylistStep", "(i)", (xmlrpc_int32)offset);
}

int pelmora_playlist_insert_template(const char *url, int idx, const char *tmpl, int in, int out,
                                     const char *const *assets, int asset_cnt, const char *const *meta, int meta_cnt,
                                     const char *cookie)
{
    pelmora_call c(__func__, url, "PelmoraIO.PlaylistInsertTemplate", &IO);
    xmlrpc_env *env = c.env();
    xmlrpc_value *arr = xmlrpc_array_new(env);
    xmlrpc_value *st = env->fault_occurred ? nullptr : xmlrpc_struct_new(env);
    for (int i = 0; !env->fault_occurred && assets && (asset_cnt < 0 || i < asset_cnt); i++) {
        if (!assets[i]) {
            if (asset_cnt < 0)
                break;
            continue;
        }
        xmlrpc_value *v = xmlrpc_string_new(env, assets[i]);
        if (v) {
            xmlrpc_array_append_item(env, arr, v);
            xmlrpc_DECREF(v);
        }
    }
    for (int i = 0; !env->fault_occurred && meta && (meta_cnt < 0 || i < meta_cnt); i++) {
        const char *k = meta[2 * i], *v = meta[2 * i + 1];
        if (!k || !v) {
            if (meta_cnt < 0)
                break;
            continue;
        }
        xmlrpc_value *sv = xmlrpc_string_new(env, v);
        if (sv) {
            xmlrpc_struct_set_value(env, st, k, sv);
            xmlrpc_DECREF(sv);
        }
    }
    if (!env->fault_occurred)
        c.run("(isiiASs)", (xmlrpc_int32)idx, nz(tmpl), (xmlrpc_int32)in, (xmlrpc_int32)out, arr, st, nz(cookie));
    if (arr)
        xmlrpc_DECREF(arr);
    if (st)
        xmlrpc_DECREF(st);
    return c.result();
}

static int clip_call(const char *func, const char *url, const char *method, int idx, const pelmora_io_clip_t *clip)
{
    if (!clip)
        return -22;
    pelmora_io_clip_t cp = *clip;
    clip_fix(&cp);
    pelmora_call c(func, url, method, &IO);
    xmlrpc_value *st = clip_struct(c.env(), &cp);
    if (st) {
        if (idx < 0)
            c.run("(S)", st);
        else
            c.run("(iS)", (xmlrpc_int32)idx, st);
        xmlrpc_DECREF(st);
    }
    return c.result();
}

int pelmora_playlist_insert2(const char *url, int idx, const pelmora_io_clip_t *clip)
{
    return clip_call(__func__, url, "PelmoraIO.PlaylistInsert2", idx < 0 ? 0 : idx, clip);
}

int pelmora_playlist_append2(const char *url, const pelmora_io_clip_t *clip)
{
    return clip_call(__func__, url, "PelmoraIO.PlaylistAppend2", -1, clip);
}

int pelmora_playlist_items(const char *url, pelmora_io_clip_t **pclips, int *gen, int *pos, int *idx)
{
    if (!pclips)
        return -22;
    *pclips = nullptr;
    pelmora_call c(__func__, url, "PelmoraIO.PlaylistItems");
    if (!c.run("()"))
        return c.call_failed(nullptr, nullptr, 0);
    return pelmora_playlist_items_read(__func__, c.answer(), pclips, gen, pos, idx);
}

int pelmora_playlist_items_read(const char *caller, xmlrpc_value *answer, pelmora_io_clip_t **pclips, int *gen,
                                int *pos, int *idx)
{
    if (!pclips)
        return -22;
    *pclips = nullptr;
    pelmora_call c(caller, "", "PelmoraIO.PlaylistItems");
    c.share(answer);
    xmlrpc_int32 result = 0, g = 0, p = 0, i = 0;
    if (!c.decompose("{s:i,*}", "result", &result))
        return c.decompose_failed(nullptr, SRC_NAME, __LINE__);
    if (result < 0)
        return result;
    xmlrpc_value *list = nullptr;
    if (!c.decompose("{s:i,s:i,s:i,s:A,*}", "gen", &g, "pos", &p, "idx", &i, "list", &list))
        return c.decompose_failed(nullptr, SRC_NAME, __LINE__);
    if (gen)
        *gen = g;
    if (pos)
        *pos = p;
    if (idx)
        *idx = i;
    int n = xmlrpc_array_size(c.env(), list);
    if (n > PELMORA_IO_PLAYLIST_MAX)
        n = PELMORA_IO_PLAYLIST_MAX;
    std::vector<pelmora_io_clip_t> out;
    int r = 0;
    for (int k = 0; k < n && !c.failed(); k++) {
        xmlrpc_value *item = nullptr;
        xmlrpc_array_read_item(c.env(), list, k, &item);
        if (c.failed())
            break;
        pelmora_io_clip_t clip;
        memset(&clip, 0, sizeof(clip));
        const char *name = nullptr, *cookie = nullptr;
        xmlrpc_decompose_value(c.env(), item, "{s:s,s:s,s:i,s:i,s:i,s:i,s:i,s:i,s:i,*}", "name", &name, "cookie",
                               &cookie, "length", &clip.length, "in", &clip.in, "dur", &clip.dur, "pos", &clip.pos,
                               "start", &clip.start, "idx", &clip.idx, "repeat", &clip.repeat);
        xmlrpc_DECREF(item);
        if (c.failed())
            break;
        strlcpy(clip.name, name, sizeof(clip.name));
        strlcpy(clip.cookie, cookie, sizeof(clip.cookie));
        free((void *)name);
        free((void *)cookie);
        out.push_back(clip);
    }
    xmlrpc_DECREF(list);
    if (c.failed())
        return c.decompose_failed(nullptr, SRC_NAME, __LINE__);
    r = (int)out.size();
    if (r) {
        *pclips = (pelmora_io_clip_t *)malloc(out.size() * sizeof(pelmora_io_clip_t));
        if (!*pclips)
            return -12;
        memcpy(*pclips, out.data(), out.size() * sizeof(pelmora_io_clip_t));
    }
    return r;
}

int pelmora_record(const char *url)
{
    return pelmora_method_no_arg(url, "PelmoraIO.Record");
}

int pelmora_cue_record_with_data(const char *url, const char *name, int in, int dur, const char *cookie)
{
    if (!cookie)
        return result_call(__func__, url, "PelmoraIO.CueRecordWithData", "(sii)", nz(name), (xmlrpc_int32)in,
                           (xmlrpc_int32)dur);
    return result_call(__func__, url, "PelmoraIO.CueRecordWithData", "(siis)", nz(name), (xmlrpc_int32)in,
                       (xmlrpc_int32)dur, cookie);
}

int pelmora_cue_record(const char *url, const char *name, const char *cookie)
{
    if (!cookie)
        return result_call(__func__, url, "PelmoraIO.CueRecord", "(s)", nz(name));
    return result_call(__func__, url, "PelmoraIO.CueRecord", "(ss)", nz(name), cookie);
}

int pelmora_record_next(const char *url, const char *name, const char *cookie)
{
    if (!cookie)
        return result_call(__func__, url, "PelmoraIO.RecordNext", "(s)", nz(name));
    return result_call(__func__, url, "PelmoraIO.RecordNext", "(ss)", nz(name), cookie);
}

int pelmora_record_pause(const char *url, int pause)
{
    return result_call(__func__, url, "PelmoraIO.RecordPause", "(i)", (xmlrpc_int32)pause);
}
