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

/* One call's bookkeeping: the fault environment, the answer reference and
 * the documented log lines, released on every way out. */
struct lib_call
{
    pelmora_call pc;
    xmlrpc_env &env;
    xmlrpc_value *res = nullptr; /* owned by pc */
    const char *func;
    const char *url;
    const char *method;
    int result = 0;

    lib_call(const char *f, const char *u, const char *m)
        : pc(f, u ? u : "", m), env(*pc.env()), func(f), url(u ? u : ""), method(m)
    {
    }
    lib_call(const lib_call &) = delete;
    lib_call &operator=(const lib_call &) = delete;

    /* Makes the call and reads "result": 0 when there is an answer with a
     * result (kept in `result`, negatives logged), else -14. */
    template <typename... A> int call(const char *format, A... args)
    {
        bool ok = pc.run(format, args...);
        note_fault(ok, env.fault_code);
        if (!ok)
            return pc.call_failed(nullptr, nullptr, 0);
        return read_result();
    }
    /* As call, on an answer already received (a reference is taken). */
    int take(xmlrpc_value *answer)
    {
        if (answer)
            xmlrpc_INCREF(answer);
        pc.adopt(nullptr, answer);
        return read_result();
    }
    int read_result()
    {
        res = pc.answer();
        xmlrpc_int32 r = 0;
        if (!pc.decompose("{s:i,*}", "result", &r))
            return pc.decompose_failed(method, SRC_NAME, __LINE__);
        result = r;
        return 0;
    }
    void log_negative() const
    {
        fprintf(stderr, "%s: %s return %d (%s)\n", func, method, result, pelmora_result_text(result));
    }
    /* The array member `name`, or null (logged). The caller releases it. */
    xmlrpc_value *array(const char *name)
    {
        xmlrpc_value *a = nullptr;
        xmlrpc_decompose_value(&env, res, "{s:A,*}", name, &a);
        if (env.fault_occurred) {
            fprintf(stderr, "%s/%s: decompose value failed: %s (%d) [%s:%d]\n", func, method, env.fault_string,
                    env.fault_code, SRC_NAME, __LINE__);
            return nullptr;
        }
        return a;
    }
};

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

/* The "list" answer of a call made through c (cr is what c.call gave): a
 * negative result is logged and returned; else the array goes into list and
 * its length into *size, 0 returned. -14 for an answer without a list. */
int list_answer(lib_call &c, int cr, value_ref &list, int *size)
{
    if (cr < 0)
        return -14;
    if (c.result < 0) {
        c.log_negative();
        return c.result;
    }
    if (!(list.v = c.array("list")))
        return -14;
    *size = xmlrpc_array_size(&c.env, list.v);
    if (c.env.fault_occurred || *size < 0)
        return -14;
    return 0;
}

/* A call whose answer carries only "result". */
template <typename... A>
int result_only(const char *func, const char *url, const char *method, const char *format, A... args)
{
    lib_call c(func, url, method);
    if (c.call(format, args...) < 0)
        return -14;
    if (c.result < 0)
        c.log_negative();
    return c.result;
}

/* A call answered by a simple list of strings. */
template <typename... A>
int simple_list(const char *func, const char *url, const char *method, char ***plist, const char *format, A... args)
{
    if (!plist)
        return -22;
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *res = xmlrpc_client_callX(&env, url, method, format, args...);
    int r = parse_simple_list_response(func, &env, res, plist);
    xmlrpc_env_clean(&env);
    return r;
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
    bool ok = pc.run(format, args...);
    note_fault(ok, pc.env()->fault_code);
    if (!ok) {
        pc.call_failed(nullptr, nullptr, 0);
        return nullptr;
    }
    return pc.answer();
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
    lib_call c(caller, "", method);
    value_ref list;
    int size = 0;
    if (int r = list_answer(c, c.take(answer), list, &size))
        return r;
    pelmora_lib_dir_t **dirs = (pelmora_lib_dir_t **)calloc((size_t)size + 1, sizeof(*dirs));
    if (!dirs)
        return -12;
    int n = 0, r = 0;
    for (int i = 0; i < size && !r; i++) {
        value_ref e;
        const char *name = nullptr;
        xmlrpc_array_read_item(&c.env, list.v, i, &e.v);
        if (!c.env.fault_occurred)
            xmlrpc_decompose_value(&c.env, e.v, "{s:s,*}", "name", &name);
        if (c.env.fault_occurred) {
            fprintf(stderr, "%s/%s: xmlrpc_array_read_item failed: %s (%d)\n", caller, method, c.env.fault_string,
                    c.env.fault_code);
            r = -14;
            break;
        }
        pelmora_lib_dir_t *d = (pelmora_lib_dir_t *)calloc(1, sizeof(*d));
        if (!d) {
            free((void *)name);
            r = -12;
            break;
        }
        strlcpy(d->name, name, sizeof(d->name));
        free((void *)name);
        pelmora_lib_join(d->full, sizeof(d->full), path, d->name);
        dirs[n++] = d;
    }
    if (r) {
        for (int i = 0; i < n; i++)
            free(dirs[i]);
        free(dirs);
        return r;
    }
    std::sort(dirs, dirs + n,
              [](const pelmora_lib_dir_t *a, const pelmora_lib_dir_t *b) { return case_cmp(a->name, b->name) > 0; });
    *pdirs = dirs;
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
    lib_call c(caller, "", method);
    value_ref list;
    int size = 0;
    if (int r = list_answer(c, c.take(answer), list, &size))
        return r;
    pelmora_lib_item_t **items = (pelmora_lib_item_t **)calloc((size_t)size + 1, sizeof(*items));
    if (!items)
        return -12;
    int n = 0, r = 0;
    for (int i = 0; i < size; i++) {
        value_ref e;
        xmlrpc_array_read_item(&c.env, list.v, i, &e.v);
        if (c.env.fault_occurred || xmlrpc_value_type(e.v) != XMLRPC_TYPE_STRUCT) {
            fprintf(stderr, "%s/%s: xmlrpc_array_read_item failed: %s (%d)\n", caller, method,
                    c.env.fault_occurred ? c.env.fault_string : "not a struct", c.env.fault_code);
            r = -14;
            break;
        }
        pelmora_lib_item_t *it = (pelmora_lib_item_t *)calloc(1, sizeof(*it));
        if (!it) {
            r = -12;
            break;
        }
        pelmora_lib_item_read(caller, e.v, it);
        pelmora_lib_join(it->full, sizeof(it->full), path, it->name);
        items[n++] = it;
    }
    if (r) {
        for (int i = 0; i < n; i++)
            free(items[i]);
        free(items);
        return r;
    }
    std::sort(items, items + n,
              [](const pelmora_lib_item_t *a, const pelmora_lib_item_t *b) { return case_cmp(a->name, b->name) < 0; });
    *pitems = items;
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
    lib_call c(caller, "", method);
    value_ref list;
    int size = 0;
    if (int r = list_answer(c, c.take(answer), list, &size))
        return r;
    pelmora_lib_subclip_t **subs = nullptr;
    int n = 0, r = 0;
    for (int i = 0; i < size; i++) {
        value_ref e;
        xmlrpc_int32 mark_in = 0, duration = 0;
        const char *title = nullptr;
        xmlrpc_array_read_item(&c.env, list.v, i, &e.v);
        if (!c.env.fault_occurred)
            xmlrpc_decompose_value(&c.env, e.v, "{s:i,s:i,s:s,*}", "mark_in", &mark_in, "duration", &duration, "title",
                                   &title);
        if (c.env.fault_occurred) {
            fprintf(stderr, "%s/%s: xmlrpc_array_read_item failed: %s (%d)\n", caller, method, c.env.fault_string,
                    c.env.fault_code);
            r = -14;
            break;
        }
        pelmora_lib_subclip_t *s = (pelmora_lib_subclip_t *)calloc(1, sizeof(*s));
        pelmora_lib_subclip_t **grown =
            s ? (pelmora_lib_subclip_t **)realloc(subs, sizeof(*subs) * ((size_t)n + 2)) : nullptr;
        if (!grown) {
            free(s);
            free((void *)title);
            r = -12;
            break;
        }
        subs = grown;
        s->idx = n;
        s->mark_in = mark_in;
        s->duration = duration;
        strlcpy(s->title, title, sizeof(s->title));
        free((void *)title);
        s->parent = parent;
        subs[n++] = s;
        subs[n] = nullptr;
    }
    if (r) {
        if (subs)
            pelmora_lib_list_subclips_free(&subs);
        return r;
    }
    *pitems = subs;
    return n;
}

int pelmora_lib_meta_item(const char *url, const char *object, pelmora_lib_item_t *pitem)
{
    if (!pitem || !object)
        return -22;
    memset(pitem, 0, sizeof(*pitem));
    lib_call c(__func__, url, "PelmoraLib.LibMetaItem");
    if (c.call("(s)", object) < 0)
        return -14;
    if (c.result != 0) {
        if (c.result < 0)
            c.log_negative();
        return c.result;
    }
    value_ref item;
    xmlrpc_decompose_value(&c.env, c.res, "{s:S,*}", "item", &item.v);
    if (c.env.fault_occurred) {
        fprintf(stderr, "%s:%d: xmlrpc_decompose_value failed: %s (%d)\n", __func__, __LINE__, c.env.fault_string,
                c.env.fault_code);
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
    lib_call c(func, url, method);
    int cr = f_args4 ? c.call(format, a, b, (xmlrpc_int32)w, (xmlrpc_int32)h) : c.call(format, a);
    if (cr < 0)
        return -14;
    if (c.result < 0) {
        c.log_negative();
        return c.result;
    }
    const unsigned char *bytes = nullptr;
    size_t len = 0;
    xmlrpc_decompose_value(&c.env, c.res, "{s:6,*}", "thumb", &bytes, &len);
    if (c.env.fault_occurred) {
        fprintf(stderr, "%s/%s: decompose value failed: %s (%d) [%s:%d]\n", func, method, c.env.fault_string,
                c.env.fault_code, SRC_NAME, __LINE__);
        return -14;
    }
    if (len == 0 || len > PELMORA_LIB_THUMB_MAX) {
        fprintf(stderr, "%s: %s: a thumbnail of %zu bytes refused\n", func, method, len);
        free((void *)bytes);
        return -14;
    }
    *pdata = (void *)bytes;
    *pdata_size = (int)len;
    return c.result;
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
static int search_answer(lib_call &c, char *dst)
{
    if (c.result < 0) {
        if (c.result != -14 && c.result != -2)
            fprintf(stderr, "%s: %s return %d\n", c.func, c.method, c.result);
        return c.result;
    }
    const char *hit = nullptr;
    xmlrpc_decompose_value(&c.env, c.res, "{s:s,*}", "item", &hit);
    if (c.env.fault_occurred) {
        fprintf(stderr, "%s/%s: decompose value failed: %s (%d) [%s:%d]\n", c.func, c.method, c.env.fault_string,
                c.env.fault_code, SRC_NAME, __LINE__);
        return -14;
    }
    strlcpy(dst, hit, 260);
    free((void *)hit);
    return c.result;
}

int pelmora_lib_search_item(const char *url, int start_idx, const char *start_item, const char *keyword, char *dst)
{
    if (!dst || !keyword)
        return -22;
    dst[0] = 0;
    lib_call c(__func__, url, "PelmoraLib.LibSearchItem");
    if (c.call("(iss)", (xmlrpc_int32)start_idx, start_item ? start_item : "", keyword) < 0)
        return -14;
    return search_answer(c, dst);
}

int pelmora_lib_search_item_dur_range(const char *url, int start_idx, const char *start_item, double dur_a,
                                      double dur_b, char *dst)
{
    if (!dst)
        return -22;
    dst[0] = 0;
    lib_call c(__func__, url, "PelmoraLib.LibSearchItemDurRange");
    if (c.call("(isdd)", (xmlrpc_int32)start_idx, start_item ? start_item : "", dur_a, dur_b) < 0)
        return -14;
    return search_answer(c, dst);
}

int pelmora_lib_state_read(const char *caller, xmlrpc_value *resultP, int amend_list_limit,
                           pelmora_lib_state_t **p_state)
{
    static const char *method = "PelmoraLib.LibState";
    if (!p_state)
        return -22;
    *p_state = nullptr;
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    int r = 0;
    xmlrpc_int32 result = 0, total_items = 0;
    xmlrpc_int64 amend_idx = 0, free_space = 0, total_space = 0;
    value_ref list;
    xmlrpc_decompose_value(&env, resultP, "{s:i,*}", "result", &result);
    if (!env.fault_occurred && result < 0) {
        fprintf(stderr, "%s: %s return %d (%s)\n", caller, method, result, pelmora_result_text(result));
        xmlrpc_env_clean(&env);
        return result;
    }
    if (!env.fault_occurred)
        xmlrpc_decompose_value(&env, resultP, "{s:I,s:i,s:I,s:I,*}", "amend_idx", &amend_idx, "total_items",
                               &total_items, "free_space", &free_space, "total_space", &total_space);
    if (!env.fault_occurred)
        xmlrpc_decompose_value(&env, resultP, "{s:A,*}", "amend_list", &list.v);
    int size = 0;
    if (!env.fault_occurred)
        size = xmlrpc_array_size(&env, list.v);
    if (env.fault_occurred) {
        fprintf(stderr, "%s/%s: decompose value failed: %s (%d) [%s:%d]\n", caller, method, env.fault_string,
                env.fault_code, SRC_NAME, __LINE__);
        xmlrpc_env_clean(&env);
        return -14;
    }
    /* Entries past the limit asked for are never applied; not holding them
     * keeps a flooding server from sizing our allocation. */
    int cap = amend_list_limit > 0 ? std::min(amend_list_limit, PELMORA_LIB_STATE_MAX_ENTRIES)
                                   : PELMORA_LIB_STATE_MAX_ENTRIES;
    int want = std::min(size, cap);
    pelmora_lib_state_t *st =
        (pelmora_lib_state_t *)calloc(1, sizeof(pelmora_lib_state_t) + (size_t)want * sizeof(st->amend_list_data[0]));
    if (!st) {
        xmlrpc_env_clean(&env);
        return -12;
    }
    int n = 0;
    for (int i = 0; i < want; i++) {
        value_ref e;
        const char *s = nullptr;
        xmlrpc_array_read_item(&env, list.v, i, &e.v);
        if (!env.fault_occurred)
            xmlrpc_decompose_value(&env, e.v, "(s)", &s);
        if (env.fault_occurred) {
            fprintf(stderr, "%s/%s: xmlrpc_array_read_item failed: %s (%d)\n", caller, method, env.fault_string,
                    env.fault_code);
            r = -14;
            break;
        }
        strlcpy(st->amend_list_data[n++], s, sizeof(st->amend_list_data[0]));
        free((void *)s);
    }
    xmlrpc_env_clean(&env);
    if (r) {
        free(st);
        return r;
    }
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
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *res = xmlrpc_client_callX(&env, url, "PelmoraLib.LibState", "(i)", (xmlrpc_int32)amend_list_limit);
    note_fault(!env.fault_occurred, env.fault_code);
    int r;
    if (env.fault_occurred) {
        fprintf(stderr, "%s: xmlrpc_client_callX(%s, %s) failed: %s (%d)\n", __func__, url, "PelmoraLib.LibState",
                env.fault_string, env.fault_code);
        r = -14;
    } else {
        r = pelmora_lib_state_read(__func__, res, amend_list_limit, p_state);
        xmlrpc_DECREF(res);
    }
    xmlrpc_env_clean(&env);
    return r;
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
    lib_call c(__func__, url, method);
    int cr = ext && *ext ? c.call("(ss)", object, ext) : c.call("(s)", object);
    if (cr < 0)
        return -14;
    const char *value = nullptr, *local = nullptr;
    xmlrpc_int64 shm = -1;
    xmlrpc_decompose_value(&c.env, c.res, "{s:i,s:s,s:s,s:I,*}", "result", &c.result, "value", &value, "object", &local,
                           "cache_shm_id", &shm);
    if (c.env.fault_occurred) {
        fprintf(stderr, "%s/%s: decompose value failed: %s (%d) [%s:%d]\n", __func__, method, c.env.fault_string,
                c.env.fault_code, SRC_NAME, __LINE__);
        return -14;
    }
    if (filename_abs)
        strlcpy(filename_abs, value, 260);
    if (filename_local)
        strlcpy(filename_local, local, 260);
    if (cache_shm_id)
        *cache_shm_id = (int)shm;
    free((void *)value);
    free((void *)local);
    return c.result;
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
