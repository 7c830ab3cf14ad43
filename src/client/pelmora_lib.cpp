/* Client of the media library server: every PelmoraLib call, the item and
 * state readers and the sort orders of the folder and item lists. */
#include "pelmora_lib.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "pelmora.h"
#include "pelmora_call.h"
#include "strl.h"

static const char *SRC_NAME = "pelmora_lib.cpp";

namespace {

/* The fault of this thread's last call that got no answer to read. */
thread_local int last_fault = 0;

/* Keeps what run() left in the fault environment. */
void note_fault(bool answered, int code)
{
    last_fault = answered ? 0 : code ? code : XMLRPC_INTERNAL_ERROR;
}

const pelmora_call_style LIB = {SRC_NAME, pelmora_call::NAME_METHOD};

/* Makes the call; its fault is kept for pelmora_lib_last_fault. */
template <typename... A> bool lib_run(pelmora_call &c, const char *format, A... args)
{
    bool ok = c.run(format, args...);
    note_fault(ok, c.env()->fault_code);
    return ok;
}

/* Reference guard for a value read out of an answer. */
struct value_ref
{
    xmlrpc_value *v = nullptr;
    ~value_ref()
    {
        if (v)
            xmlrpc_DECREF(v);
    }
};

/* Reads the "list" of a list answer through c: a negative result is
 * logged and returned; every element goes to decode, which returns 0 to go
 * on, or -12, or -14 with a fault for a malformed element. -14 for an
 * answer without a list. */
int lib_list(pelmora_call &c, xmlrpc_value *answer, const std::function<int(xmlrpc_value *)> &decode)
{
    c.share(answer);
    int r = c.result(true);
    if (r < 0)
        return r;
    int failure = 0;
    int n = c.list("list", INT_MAX, [&](xmlrpc_value *e, int) { return (failure = decode(e)) == 0; });
    if (n < 0)
        return n;
    if (failure == -14)
        fprintf(stderr, "%s/%s: xmlrpc_array_read_item failed: %s (%d)\n", c.caller(), c.method(),
                c.env()->fault_string, c.env()->fault_code);
    return failure;
}

/* The records read, in a new null-terminated array; on a failure r (or
 * without memory) the records are freed and r (or -12) returned. */
template <typename T> int records(std::vector<T *> &got, int r, T ***out)
{
    T **a = r ? nullptr : (T **)calloc(got.size() + 1, sizeof(T *));
    if (!a) {
        for (T *p : got)
            free(p);
        return r ? r : -12;
    }
    std::copy(got.begin(), got.end(), a);
    *out = a;
    return (int)got.size();
}

/* A call whose answer carries only "result". */
template <typename... A>
int result_only(const char *func, const char *url, const char *method, const char *format, A... args)
{
    pelmora_call c(func, url, method, &LIB);
    lib_run(c, format, args...);
    return c.result(true);
}

/* A call answered by a simple list of strings. */
template <typename... A>
int simple_list(const char *func, const char *url, const char *method, char ***plist, const char *format, A... args)
{
    if (!plist)
        return -22;
    pelmora_call c(func, url, method);
    c.run(format, args...);
    return parse_simple_list_response(func, c.env(), c.release(), plist);
}

int case_cmp(const char *a, const char *b)
{
    return strcasecmp(a, b);
}

/* Text numbers of the item struct; anything unreadable gives 0. */
double text_double(const char *s)
{
    char *end = nullptr;
    double d = strtod(s, &end);
    if (end == s || !isfinite(d))
        return 0;
    return d;
}

int text_int(const char *s)
{
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(s, &end, 10);
    if (end == s || errno || v < INT32_MIN || v > INT32_MAX)
        return 0;
    return (int)v;
}

void text_ratio(const char *s, const char *pattern, int *num, int *den)
{
    int a = 0, b = 0;
    if (sscanf(s, pattern, &a, &b) == 2) {
        *num = a;
        *den = b;
    }
}

} // namespace

void pelmora_lib_join(char *full, size_t size, const char *path, const char *name)
{
    strlcpy(full, path ? path : "", size);
    size_t n = strlen(full);
    if (n && full[n - 1] != '/')
        strlcat(full, "/", size);
    strlcat(full, name ? name : "", size);
}

int pelmora_lib_item_read(const char *caller, xmlrpc_value *v, pelmora_lib_item_t *item)
{
    memset(item, 0, sizeof(*item));
    strlcpy(item->timecode, "00:00:00:00", sizeof(item->timecode));
    int failed = 0;

    struct text_member
    {
        const char *name;
        char *dst;
        size_t size;
        int kind; /* 0 text, 1 double, 2 int, 3 "%d:%d", 4 "%d/%d" */
        void *num;
        void *den;
    };
    char t_dur[64], t_dur_v[64], t_dur_a[64], t_nbf[32], t_nbs[32], t_w[32], t_h[32], t_dar[64], t_sar[64], t_rate[64],
        t_sr[32], t_ch[32];
    const text_member texts[] = {
        {"name", item->name, sizeof(item->name), 0, nullptr, nullptr},
        {"format_name", item->format_name, sizeof(item->format_name), 0, nullptr, nullptr},
        {"duration", t_dur, sizeof(t_dur), 1, &item->duration_f, nullptr},
        {"duration_v", t_dur_v, sizeof(t_dur_v), 1, &item->duration_v, nullptr},
        {"duration_a", t_dur_a, sizeof(t_dur_a), 1, &item->duration_a, nullptr},
        {"nb_frames", t_nbf, sizeof(t_nbf), 2, &item->nb_frames, nullptr},
        {"nb_streams", t_nbs, sizeof(t_nbs), 2, &item->nb_streams, nullptr},
        {"width", t_w, sizeof(t_w), 2, &item->width, nullptr},
        {"height", t_h, sizeof(t_h), 2, &item->height, nullptr},
        {"display_aspect_ratio", t_dar, sizeof(t_dar), 3, &item->dar_num, &item->dar_den},
        {"sample_aspect_ratio", t_sar, sizeof(t_sar), 3, &item->sar_num, &item->sar_den},
        {"r_frame_rate", t_rate, sizeof(t_rate), 4, &item->r_frame_rate_num, &item->r_frame_rate_den},
        {"sample_fmt", item->sample_fmt, sizeof(item->sample_fmt), 0, nullptr, nullptr},
        {"sample_rate", t_sr, sizeof(t_sr), 2, &item->sample_rate, nullptr},
        {"channels", t_ch, sizeof(t_ch), 2, &item->channels, nullptr},
        {"timecode", item->timecode, sizeof(item->timecode), 0, nullptr, nullptr},
    };
    for (const text_member &m : texts) {
        xmlrpc_env env;
        xmlrpc_env_init(&env);
        const char *s = nullptr;
        xmlrpc_decompose_value(&env, v, "{s:s,*}", m.name, &s);
        if (env.fault_occurred) {
            fprintf(stderr, "%s:%d: xmlrpc_decompose_value failed: %s (%d)\n", caller, __LINE__, env.fault_string,
                    env.fault_code);
            failed++;
        } else {
            strlcpy(m.dst, s, m.size);
            free((void *)s);
            switch (m.kind) {
            case 1:
                *(double *)m.num = text_double(m.dst);
                break;
            case 2:
                *(int *)m.num = text_int(m.dst);
                break;
            case 3:
                text_ratio(m.dst, "%d:%d", (int *)m.num, (int *)m.den);
                break;
            case 4:
                text_ratio(m.dst, "%d/%d", (int *)m.num, (int *)m.den);
                break;
            default:
                break;
            }
        }
        xmlrpc_env_clean(&env);
    }

    const struct
    {
        const char *name;
        int64_t *dst;
    } stats[] = {{"st_ino", &item->stat_ino},
                 {"st_size", &item->stat_size},
                 {"st_mtime", &item->stat_mtime},
                 {"st_ctime", &item->stat_ctime},
                 {"st_atime", &item->stat_atime}};
    for (const auto &m : stats) {
        xmlrpc_env env;
        xmlrpc_env_init(&env);
        xmlrpc_int64 x = 0;
        xmlrpc_decompose_value(&env, v, "{s:I,*}", m.name, &x);
        if (env.fault_occurred) {
            fprintf(stderr, "%s:%d: xmlrpc_decompose_value failed: %s (%d)\n", caller, __LINE__, env.fault_string,
                    env.fault_code);
            failed++;
        } else
            *m.dst = x;
        xmlrpc_env_clean(&env);
    }
    {
        xmlrpc_env env;
        xmlrpc_env_init(&env);
        xmlrpc_int32 x = 0;
        xmlrpc_decompose_value(&env, v, "{s:i,*}", "subclips", &x);
        if (env.fault_occurred) {
            fprintf(stderr, "%s:%d: xmlrpc_decompose_value failed: %s (%d)\n", caller, __LINE__, env.fault_string,
                    env.fault_code);
            failed++;
        } else
            item->subclips = x;
        xmlrpc_env_clean(&env);
    }
    item->duration = item->duration_v != 0 ? item->duration_v : item->duration_f;
    return failed;
}

/* The calls below make the call, then read its answer with the readers
 * that the fuzz targets share. */
template <typename... A> static xmlrpc_value *lib_answer(pelmora_call &pc, const char *format, A... args)
{
    if (lib_run(pc, format, args...))
        return pc.answer();
    pc.call_failed(nullptr, nullptr, 0);
    return nullptr;
}

int pelmora_lib_last_fault(void)
{
    return last_fault;
}

int pelmora_lib_list_dirs(const char *url, const char *path, pelmora_lib_dir_t ***pdirs)
{
    if (!pdirs)
        return -22;
    *pdirs = nullptr;
    if (!path)
        return -22;
    pelmora_call pc(__func__, url, "PelmoraLib.LibListDirs");
    xmlrpc_value *answer = lib_answer(pc, "(s)", path);
    return answer ? pelmora_lib_dirs_read(__func__, answer, path, pdirs) : -14;
}

int pelmora_lib_dirs_read(const char *caller, xmlrpc_value *answer, const char *path, pelmora_lib_dir_t ***pdirs)
{
    static const char *method = "PelmoraLib.LibListDirs";
    if (!pdirs)
        return -22;
    *pdirs = nullptr;
    if (!path)
        return -22;
    pelmora_call c(caller, "", method, &LIB);
    std::vector<pelmora_lib_dir_t *> got;
    int r = lib_list(c, answer, [&](xmlrpc_value *e) {
        const char *name = nullptr;
        xmlrpc_decompose_value(c.env(), e, "{s:s,*}", "name", &name);
        if (c.failed())
            return -14;
        pelmora_lib_dir_t *d = (pelmora_lib_dir_t *)calloc(1, sizeof(*d));
        if (d) {
            strlcpy(d->name, name, sizeof(d->name));
            pelmora_lib_join(d->full, sizeof(d->full), path, d->name);
            got.push_back(d);
        }
        free((void *)name);
        return d ? 0 : -12;
    });
    int n = records(got, r, pdirs);
    if (n <= 0)
        return n;
    pelmora_lib_dir_t **dirs = *pdirs;
    std::sort(dirs, dirs + n,
              [](const pelmora_lib_dir_t *a, const pelmora_lib_dir_t *b) { return case_cmp(a->name, b->name) > 0; });
    return n;
}

int pelmora_lib_list_items2(const char *url, const char *path, pelmora_lib_item_t ***pitems, int offset, int limit)
{
    if (!pitems)
        return -22;
    *pitems = nullptr;
    if (!path)
        return -22;
    pelmora_call pc(__func__, url, "PelmoraLib.LibListItems");
    xmlrpc_value *answer = offset == -1 && limit == -1
                               ? lib_answer(pc, "(s)", path)
                               : lib_answer(pc, "(sii)", path, (xmlrpc_int32)offset, (xmlrpc_int32)limit);
    return answer ? pelmora_lib_items_read(__func__, answer, path, pitems) : -14;
}

int pelmora_lib_items_read(const char *caller, xmlrpc_value *answer, const char *path, pelmora_lib_item_t ***pitems)
{
    static const char *method = "PelmoraLib.LibListItems";
    if (!pitems)
        return -22;
    *pitems = nullptr;
    if (!path)
        return -22;
    pelmora_call c(caller, "", method, &LIB);
    std::vector<pelmora_lib_item_t *> got;
    int r = lib_list(c, answer, [&](xmlrpc_value *e) {
        if (xmlrpc_value_type(e) != XMLRPC_TYPE_STRUCT) {
            xmlrpc_env_set_fault(c.env(), 0, "not a struct");
            return -14;
        }
        pelmora_lib_item_t *it = (pelmora_lib_item_t *)calloc(1, sizeof(*it));
        if (!it)
            return -12;
        pelmora_lib_item_read(caller, e, it);
        pelmora_lib_join(it->full, sizeof(it->full), path, it->name);
        got.push_back(it);
        return 0;
    });
    int n = records(got, r, pitems);
    if (n <= 0)
        return n;
    pelmora_lib_item_t **items = *pitems;
    std::sort(items, items + n,
              [](const pelmora_lib_item_t *a, const pelmora_lib_item_t *b) { return case_cmp(a->name, b->name) < 0; });
    return n;
}

int pelmora_lib_list_items(const char *url, const char *path, pelmora_lib_item_t ***pitems)
{
    return pelmora_lib_list_items2(url, path, pitems, -1, -1);
}

int pelmora_lib_list_subclips_free(pelmora_lib_subclip_t ***pitems)
{
    if (!pitems || !*pitems)
        return -22;
    for (pelmora_lib_subclip_t **p = *pitems; *p; p++)
        free(*p);
    free(*pitems);
    *pitems = nullptr;
    return 0;
}

int pelmora_lib_list_subclips(const char *url, const char *path, pelmora_lib_subclip_t ***pitems,
                              pelmora_lib_item_t *parent)
{
    if (!pitems)
        return -22;
    *pitems = nullptr;
    if (!path)
        return -22;
    pelmora_call pc(__func__, url, "PelmoraLib.LibListSubclips");
    xmlrpc_value *answer = lib_answer(pc, "(s)", path);
    return answer ? pelmora_lib_subclips_read(__func__, answer, parent, pitems) : -14;
}

int pelmora_lib_subclips_read(const char *caller, xmlrpc_value *answer, pelmora_lib_item_t *parent,
                              pelmora_lib_subclip_t ***pitems)
{
    static const char *method = "PelmoraLib.LibListSubclips";
    if (!pitems)
        return -22;
    *pitems = nullptr;
    pelmora_call c(caller, "", method, &LIB);
    std::vector<pelmora_lib_subclip_t *> got;
    int r = lib_list(c, answer, [&](xmlrpc_value *e) {
        xmlrpc_int32 mark_in = 0, duration = 0;
        const char *title = nullptr;
        xmlrpc_decompose_value(c.env(), e, "{s:i,s:i,s:s,*}", "mark_in", &mark_in, "duration", &duration, "title",
                               &title);
        if (c.failed())
            return -14;
        pelmora_lib_subclip_t *s = (pelmora_lib_subclip_t *)calloc(1, sizeof(*s));
        if (s) {
            s->idx = (int)got.size();
            s->mark_in = mark_in;
            s->duration = duration;
            strlcpy(s->title, title, sizeof(s->title));
            s->parent = parent;
            got.push_back(s);
        }
        free((void *)title);
        return s ? 0 : -12;
    });
    /* No subclips: no array either. */
    return r || !got.empty() ? records(got, r, pitems) : 0;
}

int pelmora_lib_meta_item(const char *url, const char *object, pelmora_lib_item_t *pitem)
{
    if (!pitem || !object)
        return -22;
    memset(pitem, 0, sizeof(*pitem));
    pelmora_call c(__func__, url, "PelmoraLib.LibMetaItem", &LIB);
    lib_run(c, "(s)", object);
    if (int r = c.result(true))
        return r;
    value_ref item;
    if (!c.decompose("{s:S,*}", "item", &item.v)) {
        fprintf(stderr, "%s:%d: xmlrpc_decompose_value failed: %s (%d)\n", __func__, __LINE__, c.env()->fault_string,
                c.env()->fault_code);
        return -14;
    }
    pelmora_lib_item_read(__func__, item.v, pitem);
    strlcpy(pitem->full, object, sizeof(pitem->full));
    return 0;
}

/* Copies the byte string member "thumb" of a thumbnail answer. */
static int thumb_call(const char *func, const char *url, const char *method, void **pdata, int *pdata_size,
                      const char *format, const char *a, const char *b, int w, int h, int f_args4)
{
    if (!pdata || !pdata_size)
        return -22;
    *pdata = nullptr;
    *pdata_size = 0;
    pelmora_call c(func, url, method, &LIB);
    if (f_args4)
        lib_run(c, format, a, b, (xmlrpc_int32)w, (xmlrpc_int32)h);
    else
        lib_run(c, format, a);
    int r = c.result(true);
    if (r < 0)
        return r;
    const unsigned char *bytes = nullptr;
    size_t len = 0;
    if (!c.decompose("{s:6,*}", "thumb", &bytes, &len))
        return c.decompose_failed(method, SRC_NAME, __LINE__);
    if (len == 0 || len > PELMORA_LIB_THUMB_MAX) {
        fprintf(stderr, "%s: %s: a thumbnail of %zu bytes refused\n", func, method, len);
        free((void *)bytes);
        return -14;
    }
    *pdata = (void *)bytes;
    *pdata_size = (int)len;
    return r;
}

int pelmora_lib_thumb_item(const char *url, const char *src, const char *scale_type, int scale_width, int scale_height,
                           void **pdata, int *pdata_size)
{
    if (!src || !scale_type)
        return -22;
    return thumb_call(__func__, url, "PelmoraLib.LibThumbItem", pdata, pdata_size, "(ssii)", src, scale_type,
                      scale_width, scale_height, 1);
}

int pelmora_lib_thumb_overlay(const char *url, const char *name, void **pdata, int *pdata_size)
{
    if (!name)
        return -22;
    return thumb_call(__func__, url, "PelmoraLib.LibThumbOverlay", pdata, pdata_size, "(s)", name, nullptr, 0, 0, 0);
}

/* Reads a search answer: the hit's path into dst on a result of 0 or more. */
static int search_answer(pelmora_call &c, char *dst)
{
    int r = c.result();
    if (r < 0) {
        if (r != -14 && r != -2)
            fprintf(stderr, "%s: %s return %d\n", c.caller(), c.method(), r);
        return r;
    }
    const char *hit = nullptr;
    if (!c.decompose("{s:s,*}", "item", &hit))
        return c.decompose_failed(c.method(), SRC_NAME, __LINE__);
    strlcpy(dst, hit, 260);
    free((void *)hit);
    return r;
}

int pelmora_lib_search_item(const char *url, int start_idx, const char *start_item, const char *keyword, char *dst)
{
    if (!dst || !keyword)
        return -22;
    dst[0] = 0;
    pelmora_call c(__func__, url, "PelmoraLib.LibSearchItem", &LIB);
    lib_run(c, "(iss)", (xmlrpc_int32)start_idx, start_item ? start_item : "", keyword);
    return search_answer(c, dst);
}

int pelmora_lib_search_item_dur_range(const char *url, int start_idx, const char *start_item, double dur_a,
                                      double dur_b, char *dst)
{
    if (!dst)
        return -22;
    dst[0] = 0;
    pelmora_call c(__func__, url, "PelmoraLib.LibSearchItemDurRange", &LIB);
    lib_run(c, "(isdd)", (xmlrpc_int32)start_idx, start_item ? start_item : "", dur_a, dur_b);
    return search_answer(c, dst);
}

int pelmora_lib_state_read(const char *caller, xmlrpc_value *resultP, int amend_list_limit,
                           pelmora_lib_state_t **p_state)
{
    static const char *method = "PelmoraLib.LibState";
    if (!p_state)
        return -22;
    *p_state = nullptr;
    pelmora_call c(caller, "", method, &LIB);
    c.share(resultP);
    int r = c.result(true);
    if (r < 0)
        return r;
    xmlrpc_int32 total_items = 0;
    xmlrpc_int64 amend_idx = 0, free_space = 0, total_space = 0;
    if (!c.decompose("{s:I,s:i,s:I,s:I,*}", "amend_idx", &amend_idx, "total_items", &total_items, "free_space",
                     &free_space, "total_space", &total_space))
        return c.decompose_failed(method, SRC_NAME, __LINE__);
    /* Entries past the limit asked for are never applied; not holding them
     * keeps a flooding server from sizing our allocation. */
    int cap = amend_list_limit > 0 ? std::min(amend_list_limit, PELMORA_LIB_STATE_MAX_ENTRIES)
                                   : PELMORA_LIB_STATE_MAX_ENTRIES;
    std::vector<std::string> entries;
    int n = c.list("amend_list", cap, [&](xmlrpc_value *e, int) {
        const char *text = nullptr;
        xmlrpc_decompose_value(c.env(), e, "(s)", &text);
        if (c.failed())
            return false;
        entries.emplace_back(text);
        free((void *)text);
        return true;
    });
    if (n < 0)
        return n;
    if (c.failed()) {
        fprintf(stderr, "%s/%s: xmlrpc_array_read_item failed: %s (%d)\n", caller, method, c.env()->fault_string,
                c.env()->fault_code);
        return -14;
    }
    pelmora_lib_state_t *st =
        (pelmora_lib_state_t *)calloc(1, sizeof(pelmora_lib_state_t) + (size_t)n * sizeof(st->amend_list_data[0]));
    if (!st)
        return -12;
    for (int i = 0; i < n; i++)
        strlcpy(st->amend_list_data[i], entries[i].c_str(), sizeof(st->amend_list_data[0]));
    st->amend_list_len = n;
    st->amend_idx = amend_idx;
    st->total_items = total_items;
    st->free_space = free_space;
    st->total_space = total_space;
    /* Figures from a confused server must not overflow the difference. */
    if (__builtin_sub_overflow(total_space, free_space, &st->used_space))
        st->used_space = 0;
    *p_state = st;
    return n;
}

int pelmora_lib_state(const char *url, int amend_list_limit, pelmora_lib_state_t **p_state)
{
    if (!p_state)
        return -22;
    *p_state = nullptr;
    pelmora_call c(__func__, url, "PelmoraLib.LibState");
    if (!lib_run(c, "(i)", (xmlrpc_int32)amend_list_limit))
        return c.call_failed(nullptr, nullptr, 0);
    return pelmora_lib_state_read(__func__, c.answer(), amend_list_limit, p_state);
}

int pelmora_lib_create_dir(const char *url, const char *name)
{
    return name ? result_only(__func__, url, "PelmoraLib.LibCreateDir", "(s)", name) : -22;
}

int pelmora_lib_rename_item(const char *url, const char *src, const char *dst)
{
    return src && dst ? result_only(__func__, url, "PelmoraLib.LibRenameItem", "(ss)", src, dst) : -22;
}

int pelmora_lib_delete_item(const char *url, const char *name)
{
    return name ? result_only(__func__, url, "PelmoraLib.LibDeleteItem", "(s)", name) : -22;
}

int pelmora_lib_delete_dir(const char *url, const char *name)
{
    return name ? result_only(__func__, url, "PelmoraLib.LibDeleteDir", "(s)", name) : -22;
}

int pelmora_lib_delete_subclip(const char *url, const char *path, int idx)
{
    return path ? result_only(__func__, url, "PelmoraLib.LibDeleteSubclip", "(si)", path, (xmlrpc_int32)idx) : -22;
}

int pelmora_lib_register_subclip(const char *url, const char *path, int mark_in, int duration, const char *title)
{
    if (!path || !title)
        return -22;
    return result_only(__func__, url, "PelmoraLib.LibRegisterSubclip", "(siis)", path, (xmlrpc_int32)mark_in,
                       (xmlrpc_int32)duration, title);
}

int pelmora_lib_list_templates(const char *url, char ***plist)
{
    return simple_list(__func__, url, "PelmoraLib.LibListTemplates", plist, "()");
}

int pelmora_lib_list_template_vars(const char *url, const char *tmpl, char ***plist)
{
    if (!tmpl)
        return -22;
    return simple_list(__func__, url, "PelmoraLib.LibListTemplateVars", plist, "(s)", tmpl);
}

int pelmora_basename_item(const char *url, const char *method, const char *object, const char *ext, char *filename_abs,
                          char *filename_local, int *cache_shm_id)
{
    if (cache_shm_id)
        *cache_shm_id = -1;
    if (filename_abs)
        filename_abs[0] = 0;
    if (filename_local)
        filename_local[0] = 0;
    if (!object || !method)
        return -22;
    pelmora_call c(__func__, url, method, &LIB);
    if (ext && *ext)
        lib_run(c, "(ss)", object, ext);
    else
        lib_run(c, "(s)", object);
    int r = c.result();
    if (c.failed())
        return -14;
    const char *value = nullptr, *local = nullptr;
    xmlrpc_int64 shm = -1;
    if (!c.decompose("{s:s,s:s,s:I,*}", "value", &value, "object", &local, "cache_shm_id", &shm))
        return c.decompose_failed(method, SRC_NAME, __LINE__);
    if (filename_abs)
        strlcpy(filename_abs, value, 260);
    if (filename_local)
        strlcpy(filename_local, local, 260);
    if (cache_shm_id)
        *cache_shm_id = (int)shm;
    free((void *)value);
    free((void *)local);
    return r;
}

int pelmora_lib_basename_item(const char *url, const char *object, const char *ext, char *filename_abs,
                              char *filename_local, int *cache_shm_id)
{
    return pelmora_basename_item(url, "PelmoraLib.LibBasenameItem", object, ext, filename_abs, filename_local,
                                 cache_shm_id);
}

int pelmora_lib_basename_overlay(const char *url, const char *name, char *filename_abs, char *filename_local,
                                 int *cache_shm_id)
{
    return pelmora_basename_item(url, "PelmoraLib.LibBasenameOverlay", name, nullptr, filename_abs, filename_local,
                                 cache_shm_id);
}

int pelmora_lib_list_overlays(const char *url, char ***plist)
{
    return simple_list(__func__, url, "PelmoraLib.LibListOverlays", plist, "()");
}

int pelmora_lib_disk_usage(const char *url)
{
    return result_only(__func__, url, "PelmoraLib.LibDiskUsage", "()");
}

int pelmora_lib_register_item(const char *url, const char *path)
{
    return path ? result_only(__func__, url, "PelmoraLib.LibRegisterItem", "(s)", path) : -22;
}

int pelmora_lib_register_cue(const char *url, const char *path, int frame)
{
    return path ? result_only(__func__, url, "PelmoraLib.LibRegisterCue", "(si)", path, (xmlrpc_int32)frame) : -22;
}

int pelmora_lib_template_get(const char *url, const char *name)
{
    return name ? result_only(__func__, url, "PelmoraLib.LibTemplateGet", "(s)", name) : -22;
}

int pelmora_lib_template_set(const char *url, const char *name, const char *const *vars)
{
    if (!name)
        return -22;
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *arr = xmlrpc_array_new(&env);
    for (int i = 0; vars && vars[i] && !env.fault_occurred; i++) {
        xmlrpc_value *s = xmlrpc_string_new(&env, vars[i]);
        if (env.fault_occurred)
            break;
        xmlrpc_array_append_item(&env, arr, s);
        xmlrpc_DECREF(s);
    }
    int r = env.fault_occurred ? -12 : result_only(__func__, url, "PelmoraLib.LibTemplateSet", "(sA)", name, arr);
    if (arr)
        xmlrpc_DECREF(arr);
    xmlrpc_env_clean(&env);
    return r;
}

int pelmora_lib_template_add(const char *url, const char *name)
{
    return name ? result_only(__func__, url, "PelmoraLib.LibTemplateAdd", "(s)", name) : -22;
}

int pelmora_lib_template_del(const char *url, const char *name)
{
    return name ? result_only(__func__, url, "PelmoraLib.LibTemplateDel", "(s)", name) : -22;
}

int pelmora_lib_template_fonts(const char *url, char ***plist)
{
    return simple_list(__func__, url, "PelmoraLib.LibTemplateFonts", plist, "()");
}

int pelmora_lib_template_fonts2(const char *url, char ***plist)
{
    return simple_list(__func__, url, "PelmoraLib.LibTemplateFonts2", plist, "()");
}

int pelmora_lib_template_rename(const char *url, const char *src, const char *dst)
{
    return src && dst ? result_only(__func__, url, "PelmoraLib.LibTemplateRename", "(ss)", src, dst) : -22;
}

int pelmora_lib_template_replace(const char *url, const char *src, const char *dst)
{
    return src && dst ? result_only(__func__, url, "PelmoraLib.LibTemplateReplace", "(ss)", src, dst) : -22;
}

int pelmora_lib_template_clone(const char *url, const char *src, const char *dst)
{
    return src && dst ? result_only(__func__, url, "PelmoraLib.LibTemplateClone", "(ss)", src, dst) : -22;
}

int pelmora_lib_template_build(const char *url, const char *tmpl, const char *dst, int width, int height,
                               xmlrpc_value *vars, xmlrpc_value *opts)
{
    if (!tmpl || !dst || !vars || !opts)
        return -22;
    return result_only(__func__, url, "PelmoraLib.LibTemplateBuild", "(ssiiAS)", tmpl, dst, (xmlrpc_int32)width,
                       (xmlrpc_int32)height, vars, opts);
}
