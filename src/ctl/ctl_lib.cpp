/* pelmora-ctl's library commands: folders listed in pages and checked
 * against the change counter, items, searches, folder and item edits,
 * subclips, capacity and the change journal. */
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <set>

#include "ctl_sys.h"
#include "pelmora_lib.h"

#define CTL_LIB_ATTEMPTS 3       /* reads of a folder that changed under us */
#define CTL_LIB_MAX_ROWS 1000000 /* a server that pages forever is cut here */
#define CTL_LIB_PAGE_DEFAULT 100

namespace {

void ctl_lib_item_rec(ctl_rec_t *r, const pelmora_lib_item_t *it)
{
    char buf[64];
    r->str("kind", "item");
    r->s("name", it->name, sizeof it->name);
    r->s("path", it->full, sizeof it->full);
    r->i("size", it->stat_size);
    r->i("mtime", it->stat_mtime);
    r->s("format", it->format_name, sizeof it->format_name);
    r->d("duration", it->duration);
    r->d("duration_video", it->duration_v);
    r->d("duration_audio", it->duration_a);
    r->i("frames", it->nb_frames);
    r->i("streams", it->nb_streams);
    r->i("width", it->width);
    r->i("height", it->height);
    snprintf(buf, sizeof buf, "%d/%d", it->r_frame_rate_num, it->r_frame_rate_den);
    r->str("frame_rate", buf);
    snprintf(buf, sizeof buf, "%d:%d", it->dar_num, it->dar_den);
    r->str("dar", buf);
    snprintf(buf, sizeof buf, "%d:%d", it->sar_num, it->sar_den);
    r->str("sar", buf);
    r->s("sample_fmt", it->sample_fmt, sizeof it->sample_fmt);
    r->i("sample_rate", it->sample_rate);
    r->i("channels", it->channels);
    r->s("timecode", it->timecode, sizeof it->timecode);
    r->i("subclips", it->subclips);
}

/* The change counter, or a negative call result. */
int ctl_lib_amend(ctl_sys_ctx_t *c, int64_t *amend)
{
    pelmora_lib_state_t *st = nullptr;
    int r = pelmora_lib_state(c->url, 1, &st);
    if (r >= 0 && !st)
        r = -14;
    if (r >= 0)
        *amend = st->amend_idx;
    free(st);
    return r < 0 ? r : 0;
}

struct ctl_lib_listing
{
    std::vector<ctl_rec_t> rows;
    std::string why; /* what was wrong with an answer */
};

/* One read of the folder: its folders, then its items page by page. */
int ctl_lib_read_folder(ctl_sys_ctx_t *c, const char *path, ctl_lib_listing *l)
{
    if (!ctl_sys_has(c, "items")) {
        pelmora_lib_dir_t **dirs = nullptr;
        int n = pelmora_lib_list_dirs(c->url, path, &dirs);
        if (n < 0)
            return n;
        /* The client gives them descending, as the tree inserts them. */
        for (int k = n - 1; k >= 0; k--) {
            ctl_rec_t r;
            r.str("kind", "dir");
            r.s("name", dirs[k]->name, sizeof dirs[k]->name);
            r.s("path", dirs[k]->full, sizeof dirs[k]->full);
            l->rows.push_back(r);
        }
        for (int k = 0; k < n; k++)
            free(dirs[k]);
        free(dirs);
    }
    if (ctl_sys_has(c, "dirs"))
        return 0;
    int f_one = ctl_sys_has(c, "offset");
    int64_t offset = ctl_sys_int(c, "offset", 0);
    int page = (int)(f_one ? ctl_sys_int(c, "limit", 1) : ctl_sys_int(c, "page", CTL_LIB_PAGE_DEFAULT));
    std::set<std::string> seen;
    for (;;) {
        pelmora_lib_item_t **items = nullptr;
        int n = pelmora_lib_list_items2(c->url, path, &items, (int)offset, page);
        if (n < 0)
            return n;
        int bad = 0;
        if (n > page) {
            l->why = "the server answered " + std::to_string(n) + " items to a page of " + std::to_string(page);
            bad = 1;
        }
        for (int k = 0; k < n && !bad; k++) {
            if (!seen.insert(std::string(items[k]->name, strnlen(items[k]->name, sizeof items[k]->name))).second) {
                l->why = "the server gave the item " + ctl_sys_quote(items[k]->name) + " twice across pages";
                bad = 1;
                break;
            }
            ctl_rec_t r;
            ctl_lib_item_rec(&r, items[k]);
            l->rows.push_back(r);
        }
        for (int k = 0; k < n; k++)
            free(items[k]);
        free(items);
        if (bad)
            return -14;
        if (f_one || n < page)
            return 0;
        offset += n;
        if (l->rows.size() > CTL_LIB_MAX_ROWS || offset > INT32_MAX - page) {
            l->why = "the folder does not end (over " + std::to_string(CTL_LIB_MAX_ROWS) + " entries)";
            return -14;
        }
    }
}

/* The answer of an edit; a failure names the path it was about. */
int ctl_lib_done(ctl_sys_ctx_t *c, int r)
{
    return r < 0 ? ctl_sys_fail(c, r, ctl_sys_quote(ctl_sys_pos(c, 0))) : ctl_sys_result(c, r);
}

/* A search until nothing more is found (or the first hit). */
int ctl_lib_search_loop(ctl_sys_ctx_t *c, const std::string &what,
                        int (*step)(ctl_sys_ctx_t *c, int start, const char *start_item, char *dst))
{
    ctl_sys_columns(c, {"pos", "path"});
    int start = -1, found = 0;
    char item[260] = "";
    for (;;) {
        char dst[260] = "";
        int r = step(c, start, item, dst);
        if (r == -2)
            break;
        if (r < 0) {
            ctl_sys_flush(c);
            return ctl_sys_fail(c, r, what);
        }
        /* The next search starts from the hit: one that does not move on
         * would be asked again for ever. */
        if (found && r <= start) {
            ctl_sys_flush(c);
            fprintf(c->err, "pelmora-ctl: %s: the server's search went back (position %d after %d); stopped\n", c->name,
                    r, start);
            return CTL_EXIT_NO_ANSWER;
        }
        ctl_rec_t rec;
        rec.i("pos", r);
        rec.s("path", dst, sizeof dst);
        ctl_sys_emit(c, rec);
        found++;
        if (!ctl_sys_has(c, "all") || found > CTL_LIB_MAX_ROWS)
            break;
        start = r;
        memcpy(item, dst, sizeof item);
    }
    if (!found) {
        ctl_sys_flush(c);
        fprintf(c->err, "pelmora-ctl: %s: nothing matches %s\n", c->name, what.c_str());
        return CTL_EXIT_REFUSED;
    }
    return CTL_EXIT_OK;
}

int ctl_lib_name_step(ctl_sys_ctx_t *c, int start, const char *item, char *dst)
{
    return pelmora_lib_search_item(c->url, start, item, ctl_sys_pos(c, 0).c_str(), dst);
}

int ctl_lib_dur_step(ctl_sys_ctx_t *c, int start, const char *item, char *dst)
{
    return pelmora_lib_search_item_dur_range(c->url, start, item, strtod(ctl_sys_pos(c, 0).c_str(), nullptr),
                                             strtod(ctl_sys_pos(c, 1).c_str(), nullptr), dst);
}

} // namespace

int ctl_lib_list(ctl_sys_ctx_t *c)
{
    const char *path = ctl_sys_pos(c, 0).c_str();
    ctl_lib_listing l;
    int64_t before = 0, after = 0, first = 0;
    for (int attempt = 0; attempt < CTL_LIB_ATTEMPTS; attempt++) {
        l = ctl_lib_listing();
        int r = ctl_lib_amend(c, &before);
        if (r == 0)
            r = ctl_lib_read_folder(c, path, &l);
        if (r == 0)
            r = ctl_lib_amend(c, &after);
        if (r < 0) {
            if (!l.why.empty())
                fprintf(c->err, "pelmora-ctl: %s: %s\n", c->name, l.why.c_str());
            return ctl_sys_fail(c, r, ctl_sys_quote(path));
        }
        if (attempt == 0)
            first = before;
        if (before == after)
            break;
    }
    ctl_sys_columns(c, {"kind", "name", "size", "duration", "format", "width", "height", "timecode", "subclips"});
    for (const ctl_rec_t &r : l.rows)
        ctl_sys_emit(c, r);
    if (before != after)
        fprintf(c->err,
                "pelmora-ctl: %s: the library kept changing while the folder was read (change counter %lld to "
                "%lld); the listing may mix versions\n",
                c->name, (long long)first, (long long)after);
    return CTL_EXIT_OK;
}

int ctl_lib_stat(ctl_sys_ctx_t *c)
{
    const std::string &path = ctl_sys_pos(c, 0);
    pelmora_lib_item_t it;
    int r = pelmora_lib_meta_item(c->url, path.c_str(), &it);
    if (r < 0)
        return ctl_sys_fail(c, r, ctl_sys_quote(path));
    if (r > 0) {
        /* A positive result comes without the item. */
        fprintf(c->err, "pelmora-ctl: %s: %s: the server answered result %d and no item\n", c->name,
                ctl_sys_quote(path).c_str(), r);
        return CTL_EXIT_NO_ANSWER;
    }
    ctl_rec_t rec;
    ctl_lib_item_rec(&rec, &it);
    ctl_sys_emit_one(c, rec);
    return CTL_EXIT_OK;
}

int ctl_lib_search(ctl_sys_ctx_t *c)
{
    return ctl_lib_search_loop(c, ctl_sys_quote(ctl_sys_pos(c, 0)), ctl_lib_name_step);
}

int ctl_lib_search_dur(ctl_sys_ctx_t *c)
{
    return ctl_lib_search_loop(c, "[" + ctl_sys_pos(c, 0) + " s to " + ctl_sys_pos(c, 1) + " s]", ctl_lib_dur_step);
}

int ctl_lib_mkdir(ctl_sys_ctx_t *c)
{
    return ctl_lib_done(c, pelmora_lib_create_dir(c->url, ctl_sys_pos(c, 0).c_str()));
}

int ctl_lib_rename(ctl_sys_ctx_t *c)
{
    return ctl_lib_done(c, pelmora_lib_rename_item(c->url, ctl_sys_pos(c, 0).c_str(), ctl_sys_pos(c, 1).c_str()));
}

int ctl_lib_move(ctl_sys_ctx_t *c)
{
    /* The parser put the new full path after the two arguments. */
    ctl_rec_t to;
    to.str("path", ctl_sys_pos(c, 2));
    int r = pelmora_lib_rename_item(c->url, ctl_sys_pos(c, 0).c_str(), ctl_sys_pos(c, 2).c_str());
    return ctl_sys_result(c, r, &to);
}

int ctl_lib_delete(ctl_sys_ctx_t *c)
{
    return ctl_lib_done(c, pelmora_lib_delete_item(c->url, ctl_sys_pos(c, 0).c_str()));
}

int ctl_lib_rmdir(ctl_sys_ctx_t *c)
{
    return ctl_lib_done(c, pelmora_lib_delete_dir(c->url, ctl_sys_pos(c, 0).c_str()));
}

int ctl_lib_subclips(ctl_sys_ctx_t *c)
{
    pelmora_lib_subclip_t **list = nullptr;
    int r = pelmora_lib_list_subclips(c->url, ctl_sys_pos(c, 0).c_str(), &list, nullptr);
    if (r < 0)
        return ctl_sys_fail(c, r, ctl_sys_quote(ctl_sys_pos(c, 0)));
    ctl_sys_columns(c, {"idx", "mark_in", "duration", "title"});
    for (int k = 0; list && list[k]; k++) {
        ctl_rec_t rec;
        rec.i("idx", list[k]->idx);
        rec.i("mark_in", list[k]->mark_in);
        rec.i("duration", list[k]->duration);
        rec.s("title", list[k]->title, sizeof list[k]->title);
        ctl_sys_emit(c, rec);
    }
    if (list)
        pelmora_lib_list_subclips_free(&list);
    return CTL_EXIT_OK;
}

int ctl_lib_subclip_add(ctl_sys_ctx_t *c)
{
    const std::string title = c->a->sys.pos.size() > 3 ? ctl_sys_pos(c, 3) : std::string();
    return ctl_lib_done(c,
                        pelmora_lib_register_subclip(c->url, ctl_sys_pos(c, 0).c_str(), atoi(ctl_sys_pos(c, 1).c_str()),
                                                     atoi(ctl_sys_pos(c, 2).c_str()), title.c_str()));
}

int ctl_lib_subclip_delete(ctl_sys_ctx_t *c)
{
    return ctl_lib_done(c,
                        pelmora_lib_delete_subclip(c->url, ctl_sys_pos(c, 0).c_str(), atoi(ctl_sys_pos(c, 1).c_str())));
}

int ctl_lib_capacity(ctl_sys_ctx_t *c)
{
    pelmora_lib_state_t *st = nullptr;
    int r = pelmora_lib_state(c->url, 1, &st);
    if (r >= 0 && !st)
        r = -14;
    if (r < 0)
        return ctl_sys_fail(c, r);
    ctl_rec_t rec;
    rec.i("total_items", st->total_items);
    rec.i("used_space", st->used_space);
    rec.i("total_space", st->total_space);
    rec.i("free_space", st->free_space);
    rec.i("amend_idx", st->amend_idx);
    free(st);
    ctl_sys_emit_one(c, rec);
    return CTL_EXIT_OK;
}

int ctl_lib_journal(ctl_sys_ctx_t *c)
{
    static const struct
    {
        char kind;
        const char *change;
    } kinds[] = {{'+', "item-added"},
                 {'*', "item-changed"},
                 {'-', "item-removed"},
                 {'&', "folder-added"},
                 {'^', "folder-removed"}};
    int limit = (int)std::min<int64_t>(ctl_sys_int(c, "limit", 128), PELMORA_LIB_STATE_MAX_ENTRIES);
    pelmora_lib_state_t *st = nullptr;
    int r = pelmora_lib_state(c->url, limit, &st);
    if (r >= 0 && !st)
        r = -14;
    if (r < 0)
        return ctl_sys_fail(c, r);
    ctl_sys_columns(c, {"kind", "change", "path"});
    for (int k = 0; k < st->amend_list_len && k < limit; k++) {
        const char *e = st->amend_list_data[k];
        const char *change = "unknown";
        for (const auto &kd : kinds)
            if (e[0] == kd.kind)
                change = kd.change;
        ctl_rec_t rec;
        rec.s("kind", e, e[0] ? 1 : 0);
        rec.str("change", change);
        rec.s("path", e[0] ? e + 1 : e, sizeof st->amend_list_data[k] - 1);
        ctl_sys_emit(c, rec);
    }
    free(st);
    return CTL_EXIT_OK;
}
