/* Transcoding requests and their destination names (see transcoder_items.h). */
#include "transcoder_items.h"

#include <stdio.h>
#include <string.h>

#include <string>

#include "strl.h"
#include "timecode.h"

static void put(char *dst, size_t size, const std::string &s)
{
    strlcpy(dst, s.c_str(), size);
}

/* The path without its extension: only a "." in the last component counts,
 * so a dotted folder name is never cut into. */
static std::string cut_ext(const std::string &p)
{
    size_t dot = p.rfind('.'), slash = p.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return p;
    return p.substr(0, dot);
}

/* Where an item's result goes before the settings' suffix: the chosen
 * folder and the item's name, else the item's own path. */
static std::string item_base(const pelmora_lib_item_t *item, const char *dst_path)
{
    if (!dst_path || !*dst_path)
        return item->full;
    std::string d = dst_path;
    if (d.back() != '/')
        d += "/";
    return d + item->name;
}

int library_transcoder_dlg_result_setup_req(const library_transcoder_dlg_result_t *res,
                                            pelmora_filetranscoder_request_t *req)
{
    if (!res || !req)
        return -22;
    if (res->timecode[0])
        strlcpy(req->timecode, res->timecode, sizeof(req->timecode));
    put(req->profile, sizeof(req->profile), std::string(res->mode_name) + "/" + res->enc_name);
    req->audio_conf = res->audio_conf;
    strlcpy(req->audio_map, res->audio_map, sizeof(req->audio_map));
    strlcpy(req->osd, res->osd, sizeof(req->osd));
    strlcpy(req->transfer_target, res->transfer_target, sizeof(req->transfer_target));
    req->transfer_f_delete = res->transfer_f_delete;
    strlcpy(req->factory, "mlt", sizeof(req->factory));
    return 0;
}

int library_transcoder_item_req(const library_transcoder_dlg_result_t *res, const pelmora_lib_item_t *item,
                                const char *dst_path, pelmora_filetranscoder_request_t *req)
{
    if (!item || library_transcoder_dlg_result_setup_req(res, req) < 0)
        return -22;
    strlcpy(req->src.object, item->full, sizeof(req->src.object));
    put(req->dst.object, sizeof(req->dst.object),
        cut_ext(item_base(item, dst_path)) + "_" + res->mode_name + "_" + res->enc_name);
    if (!res->timecode[0] && item->timecode[0])
        strlcpy(req->timecode, item->timecode, sizeof(req->timecode));
    return 0;
}

int library_transcoder_subclip_req(const library_transcoder_dlg_result_t *res, const pelmora_lib_subclip_t *sc,
                                   const char *dst_path, pelmora_filetranscoder_request_t *req)
{
    if (!sc || !sc->parent || library_transcoder_dlg_result_setup_req(res, req) < 0)
        return -22;
    const pelmora_lib_item_t *item = sc->parent;
    strlcpy(req->src.object, item->full, sizeof(req->src.object));
    snprintf(req->in, sizeof(req->in), "%d", sc->mark_in);
    snprintf(req->dur, sizeof(req->dur), "%d", sc->duration);
    std::string base = item_base(item, dst_path);
    base = base.substr(0, base.rfind('/') + 1);
    char nums[40];
    snprintf(nums, sizeof(nums), "_%05d_%05d_", sc->mark_in, sc->duration);
    put(req->dst.object, sizeof(req->dst.object), base + sc->title + nums + res->mode_name + "_" + res->enc_name);
    if (!res->timecode[0] && item->timecode[0]) {
        int start = tc_tc2frames(item->timecode);
        char tc[32];
        if (start >= 0 && tc_frames2tc(start + sc->mark_in, tc))
            strlcpy(req->timecode, tc, sizeof(req->timecode));
    }
    return 0;
}

int library_transcoder_items_add(library_t *lib, const library_transcoder_dlg_result_t *res,
                                 pelmora_lib_item_t *const *items, int n_items, pelmora_lib_subclip_t *const *subs,
                                 int n_subs, const char *dst_path)
{
    int failed = 0;
    for (int i = 0; i < n_items + n_subs; i++) {
        pelmora_filetranscoder_request_t req;
        memset(&req, 0, sizeof(req));
        int r = i < n_items ? library_transcoder_item_req(res, items[i], dst_path, &req)
                            : library_transcoder_subclip_req(res, subs[i - n_items], dst_path, &req);
        if (r >= 0)
            r = pelmora_filetranscoder_request_add(lib->url, &req);
        if (r < 0)
            failed++;
    }
    return -failed;
}

int library_transcoder_dst_choice(int n_dirs, char *const *dirs, int n_items, char *const *items, char *dst,
                                  size_t size)
{
    if (!dst || !size)
        return 0;
    if (n_dirs == 1 && n_items == 0 && dirs && dirs[0] && dirs[0][0] == '/') {
        strlcpy(dst, dirs[0], size);
        return 1;
    }
    char parent[260];
    if (n_items == 1 && n_dirs == 0 && items && items[0] && library_parent_path(items[0], parent, sizeof parent) == 0) {
        strlcpy(dst, parent, size);
        return 1;
    }
    return 0;
}

int library_transcoder_tc_valid(const char *text)
{
    if (!text || !*text)
        return 1;
    int f = tc_tc2frames(text);
    char again[32];
    return f >= 0 && tc_frames2tc(f, again) && !strcmp(again, text);
}

int library_audionorm_req(const pelmora_lib_item_t *item, double level, pelmora_filetranscoder_request_t *req)
{
    if (!item || !req)
        return -22;
    strlcpy(req->src.object, item->full, sizeof(req->src.object));
    strlcpy(req->factory, "audionorm", sizeof(req->factory));
    snprintf(req->profile, sizeof(req->profile), "%.2lf", level);
    put(req->dst.object, sizeof(req->dst.object), cut_ext(item->full) + "_" + req->profile + "LUFS.mxf");
    return 0;
}

const char *library_transcoder_src_text(const pelmora_filetranscoder_request_t *r)
{
    return !strcmp(r->factory, "mltp") ? "<playlist...>" : r->src.object;
}
