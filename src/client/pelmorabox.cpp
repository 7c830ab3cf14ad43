/* Automation client: event and bus state records with their wire forms
 * (event line, metadata escaping, compressed transport), and every typed
 * PelmoraBox call on top of the shared call frame. */
#include "pelmorabox.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include <zlib.h>

#include "pelmora.h"
#include "pelmora_call.h"
#include "strl.h"
#include "timecode.h"

static const char *SRC_NAME = "pelmorabox.cpp";

/* ------------------------------------------------------------------------
 * Event records
 * ---------------------------------------------------------------------- */

/* The pairs array grows in powers of two; clone and add agree on the rule,
 * so a clone can take further pairs without knowing how it was made. */
static int meta_capacity(int cnt)
{
    int c = 0;
    if (cnt > 0)
        for (c = 1; c < cnt; c <<= 1)
            ;
    return c;
}

/* Fills a pair with copies of key and value, cut at their limits, in one
 * allocation: a pair costs its text, not the limits. 0 or -12. */
static int meta_pair_set(pelmorabox_event_meta_pair_t *p, const char *key, const char *val)
{
    size_t kl = strnlen(key, PELMORABOX_META_KEY_MAX), vl = strnlen(val, PELMORABOX_META_VAL_MAX);
    char *buf = (char *)malloc(kl + vl + 2);
    if (!buf)
        return -12;
    memcpy(buf, key, kl);
    buf[kl] = 0;
    memcpy(buf + kl + 1, val, vl);
    buf[kl + 1 + vl] = 0;
    p->key = buf;
    p->val = buf + kl + 1;
    return 0;
}

int pelmorabox_event_clear_meta(pelmorabox_event_t *e)
{
    if (!e)
        return -22;
    for (int i = 0; i < e->metadata_cnt && e->metadata_pairs; i++)
        free(e->metadata_pairs[i].key);
    free(e->metadata_pairs);
    e->metadata_pairs = nullptr;
    e->metadata_cnt = 0;
    return 0;
}

pelmorabox_event_t *pelmorabox_event_create(void)
{
    pelmorabox_event_t *e = (pelmorabox_event_t *)calloc(1, sizeof(pelmorabox_event_t));
    if (e)
        e->ref = 1;
    return e;
}

pelmorabox_event_t *pelmorabox_event_clone(const pelmorabox_event_t *src)
{
    if (!src)
        return nullptr;
    pelmorabox_event_t *e = (pelmorabox_event_t *)malloc(sizeof(pelmorabox_event_t));
    if (!e)
        return nullptr;
    memcpy(e, src, sizeof(*e));
    e->ref = 1;
    e->metadata_pairs = nullptr;
    e->metadata_cnt = 0;
    if (src->metadata_cnt > 0 && src->metadata_pairs) {
        int cap = meta_capacity(src->metadata_cnt);
        e->metadata_pairs = (pelmorabox_event_meta_pair_t *)malloc(sizeof(pelmorabox_event_meta_pair_t) * cap);
        if (!e->metadata_pairs) {
            free(e);
            return nullptr;
        }
        for (int i = 0; i < src->metadata_cnt; i++) {
            if (meta_pair_set(&e->metadata_pairs[i], src->metadata_pairs[i].key, src->metadata_pairs[i].val) < 0) {
                pelmorabox_event_clear_meta(e);
                free(e);
                return nullptr;
            }
            e->metadata_cnt = i + 1;
        }
    }
    return e;
}

int pelmorabox_event_addref(pelmorabox_event_t *e)
{
    if (!e)
        return -22;
    return __atomic_add_fetch(&e->ref, 1, __ATOMIC_ACQ_REL);
}

int pelmorabox_event_destroy(pelmorabox_event_t **pe)
{
    if (!pe || !*pe)
        return -22;
    pelmorabox_event_t *e = *pe;
    *pe = nullptr;
    if (__atomic_sub_fetch(&e->ref, 1, __ATOMIC_ACQ_REL) <= 0) {
        pelmorabox_event_clear_meta(e);
        free(e);
    }
    return 0;
}

pelmorabox_event_t *pelmorabox_event_add_meta(pelmorabox_event_t *e, const char *key, const char *val)
{
    if (!e)
        return e;
    if (!key || !*key || !val || !*val) {
        fprintf(stderr, "ASSERT(%s:%d): key=[%s], val=[%s]\n", SRC_NAME, __LINE__, key ? key : "(null)",
                val ? val : "(null)");
        return e;
    }
    int cnt = e->metadata_cnt;
    if (cnt + 1 > meta_capacity(cnt)) {
        int cap = meta_capacity(cnt + 1);
        void *p = realloc(e->metadata_pairs, sizeof(pelmorabox_event_meta_pair_t) * cap);
        if (!p) {
            fprintf(stderr, "%s: out of memory for %d pairs\n", __func__, cap);
            return e;
        }
        e->metadata_pairs = (pelmorabox_event_meta_pair_t *)p;
    }
    if (meta_pair_set(&e->metadata_pairs[cnt], key, val) < 0) {
        fprintf(stderr, "%s: out of memory for a pair\n", __func__);
        return e;
    }
    e->metadata_cnt = cnt + 1;
    return e;
}

int pelmorabox_event_find_by_meta_key(pelmorabox_event_t *e, const char *key, char **p_val)
{
    if (p_val)
        *p_val = nullptr;
    if (!e || !key)
        return -2;
    for (int i = 0; i < e->metadata_cnt; i++) {
        if (!strcmp(e->metadata_pairs[i].key, key)) {
            if (p_val)
                *p_val = e->metadata_pairs[i].val;
            return i;
        }
    }
    return -2;
}

int pelmorabox_event_duration_frames(const pelmorabox_event_t *e, int error_value)
{
    if (!e)
        return error_value;
    if (e->duration[0]) {
        int d = tc_tc2frames(e->duration);
        if (d >= 0)
            return d;
    }
    if (e->mark_in[0] && e->mark_out[0]) {
        int in = tc_tc2frames(e->mark_in);
        int out = tc_tc2frames(e->mark_out);
        if (in >= 0 && out >= 0 && out >= in)
            return out - in + 1;
    }
    return error_value;
}

/* ------------------------------------------------------------------------
 * Metadata text
 * ---------------------------------------------------------------------- */

/* First level: the characters that would break the line or the pair
 * structure become escapes whose backslash is itself escaped, so that one
 * c_unescape of the whole text leaves them as plain escapes. */
static void meta_escape(std::string &out, const char *s)
{
    for (; *s; s++) {
        switch (*s) {
        case '\n':
            out += "\\\\n";
            break;
        case '\r':
            out += "\\\\r";
            break;
        case '\t':
            out += "\\\\t";
            break;
        case '\\':
            out += "\\\\\\\\";
            break;
        default:
            out += *s;
            break;
        }
    }
}

char *pelmorabox_event_compose_metadata(const pelmorabox_event_t *e, char **pbuf)
{
    std::string out;
    if (e) {
        for (int i = 0; i < e->metadata_cnt; i++) {
            if (i)
                out += "\\n";
            meta_escape(out, e->metadata_pairs[i].key);
            out += "\\t";
            meta_escape(out, e->metadata_pairs[i].val);
        }
    }
    char *buf = strdup(out.c_str());
    if (pbuf)
        *pbuf = buf;
    return buf;
}

char *c_unescape(char *src)
{
    if (!src)
        return src;
    char *w = src;
    for (const char *r = src; *r; r++) {
        if (*r != '\\') {
            *w++ = *r;
            continue;
        }
        r++;
        if (!*r)
            break; /* a backslash at the end is dropped */
        switch (*r) {
        case '\\':
            *w++ = '\\';
            break;
        case 'n':
            *w++ = '\n';
            break;
        case 'r':
            *w++ = '\r';
            break;
        case 't':
            *w++ = '\t';
            break;
        default:
            break; /* unknown escape: both characters dropped */
        }
    }
    *w = 0;
    return src;
}

int pelmorabox_event_parse_metadata(pelmorabox_event_t *e, const char *src)
{
    if (!e || !src || !*src)
        return 0;
    std::vector<char> text(src, src + strlen(src) + 1);
    c_unescape(text.data());

    char *p = text.data();
    for (;;) {
        char *tab = strchr(p, '\t');
        if (!tab)
            break;
        *tab = 0;
        char *key = p;
        char *val = tab + 1;
        char *nl = strchr(val, '\n');
        if (nl) {
            *nl = 0;
            p = nl + 1;
        } else
            p = val + strlen(val);
        /* Second level: the stored key and value get their own escapes
         * undone. Done before storing, so the length limits apply to the
         * plain texts, and pairs that end up empty are dropped quietly. */
        c_unescape(key);
        c_unescape(val);
        if (*key && *val)
            pelmorabox_event_add_meta(e, key, val);
        if (!nl)
            break;
    }
    return 0;
}

/* ------------------------------------------------------------------------
 * Event line
 * ---------------------------------------------------------------------- */

static const char *START_TYPES = " FMG[-]I(=)O";

/* The line as the console sends it, unbounded; callers cut or refuse. */
static std::string event_line(const pelmorabox_event_t *e)
{
    char *meta = pelmorabox_event_compose_metadata(e, nullptr);
    char st = e->start_type ? e->start_type : ' ';
    char et = e->event_type ? (char)e->event_type : ' ';
    std::string line;
    line.reserve(1024 + (meta ? strlen(meta) : 0));
    struct
    {
        const char *p;
        size_t size;
    } texts[] = {{e->start_time, sizeof(e->start_time)},
                 {nullptr, 0},
                 {e->mark_in, sizeof(e->mark_in)},
                 {e->mark_out, sizeof(e->mark_out)},
                 {e->duration, sizeof(e->duration)},
                 {nullptr, 0},
                 {e->media_id, sizeof(e->media_id)},
                 {e->title, sizeof(e->title)},
                 {e->assets, sizeof(e->assets)},
                 {e->fixed_time, sizeof(e->fixed_time)},
                 {e->tag, sizeof(e->tag)},
                 {meta ? meta : "", (size_t)-1},
                 {e->audio_map, sizeof(e->audio_map)},
                 {e->audio_amp, sizeof(e->audio_amp)},
                 {e->ar, sizeof(e->ar)}};
    for (int i = 0; i < 15; i++) {
        if (i)
            line += '\t';
        if (i == 1)
            line += st;
        else if (i == 5)
            line += et;
        else
            line.append(texts[i].p, strnlen(texts[i].p, texts[i].size));
    }
    free(meta);
    return line;
}

char *pelmorabox_event_format_string(pelmorabox_event_t *src, char *buf, int lim)
{
    if (!buf || lim <= 0)
        return buf;
    buf[0] = 0;
    if (!src)
        return buf;
    std::string line = event_line(src);
    strlcpy(buf, line.c_str(), (size_t)lim);
    return buf;
}

static void copy_field(char *dst, size_t size, const char *b, const char *e)
{
    size_t n = (size_t)(e - b);
    if (n > size - 1)
        n = size - 1;
    memcpy(dst, b, n);
    dst[n] = 0;
}

pelmorabox_event_t *pelmorabox_event_create_from_string(const char *src, char *error_buf, int error_lim)
{
    (void)error_buf;
    (void)error_lim;
    if (!src)
        return nullptr;

    const char *fb[16], *fe[16];
    int n = 0;
    const char *p = src;
    for (;;) {
        const char *t = strchr(p, '\t');
        if (n == 16)
            return nullptr; /* a 17th field */
        fb[n] = p;
        fe[n] = t ? t : p + strlen(p);
        n++;
        if (!t)
            break;
        p = t + 1;
    }
    if (n != 9 && n != 12 && n != 14 && n != 15 && n != 16)
        return nullptr;

    pelmorabox_event_t *e = pelmorabox_event_create();
    if (!e)
        return nullptr;
#define FIELD(i, f) copy_field(e->f, sizeof(e->f), fb[i], fe[i])
    FIELD(0, start_time);
    e->start_type = ' ';
    if (fe[1] > fb[1] && fb[1][0] && strchr(START_TYPES, fb[1][0]))
        e->start_type = fb[1][0];
    FIELD(2, mark_in);
    FIELD(3, mark_out);
    FIELD(4, duration);
    e->event_type = (fe[5] > fb[5] && fb[5][0] != ' ') ? (unsigned char)fb[5][0] : 0;
    FIELD(6, media_id);
    FIELD(7, title);
    FIELD(8, assets);
    if (n >= 12) {
        FIELD(9, fixed_time);
        FIELD(10, tag);
        std::string meta(fb[11], fe[11]);
        pelmorabox_event_parse_metadata(e, meta.c_str());
    }
    if (n >= 14) {
        FIELD(12, audio_map);
        FIELD(13, audio_amp);
    }
    if (n >= 15)
        FIELD(14, ar);
    if (n >= 16)
        FIELD(15, dst);
#undef FIELD
    return e;
}

int pelmorabox_event_line_deflate(const char *line, unsigned char *out, int lim)
{
    if (!line || !out || lim <= 0)
        return -22;
    uLongf out_len = (uLongf)lim;
    int z = compress2(out, &out_len, (const Bytef *)line, (uLong)strlen(line) + 1, 9);
    if (z == Z_MEM_ERROR)
        return -12;
    if (z != Z_OK)
        return -22;
    return (int)out_len;
}

int pelmorabox_event_line_inflate(const unsigned char *src, size_t len, char *out, int lim)
{
    if (!out || lim <= 0)
        return -22;
    out[0] = 0;
    if (!src || !len)
        return -22;

    z_stream zs;
    memset(&zs, 0, sizeof(zs));
    if (inflateInit(&zs) != Z_OK)
        return -12;
    zs.next_in = (Bytef *)src;
    zs.avail_in = (uInt)(len > 0xffffffffu ? 0xffffffffu : len);
    zs.next_out = (Bytef *)out;
    zs.avail_out = (uInt)lim;
    int z = inflate(&zs, Z_FINISH);
    size_t produced = (size_t)lim - zs.avail_out;
    inflateEnd(&zs);

    /* Only a complete stream whose text ends within the buffer is taken: a
     * cut stream or a text that runs to the end of the buffer is refused
     * rather than read past it. */
    const char *zero = produced ? (const char *)memchr(out, 0, produced) : nullptr;
    if (z != Z_STREAM_END || !zero) {
        out[0] = 0;
        return -22;
    }
    return (int)(zero - out);
}

/* ------------------------------------------------------------------------
 * Bus state
 * ---------------------------------------------------------------------- */

/* Reads an optional text member; missing or mistyped leaves the field empty. */
static void state_opt_text(xmlrpc_value *st, const char *name, char *dst, size_t keep)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    const char *str = nullptr;
    xmlrpc_decompose_value(&env, st, "{s:s,*}", name, &str);
    if (!env.fault_occurred) {
        strlcpy(dst, str, keep + 1);
        free((void *)str);
    }
    xmlrpc_env_clean(&env);
}

static int64_t read_int_item(xmlrpc_env *env, xmlrpc_value *v)
{
    if (xmlrpc_value_type(v) == XMLRPC_TYPE_INT) {
        int i = 0;
        xmlrpc_read_int(env, v, &i);
        return i;
    }
    xmlrpc_int64 i8 = 0;
    xmlrpc_read_i8(env, v, &i8);
    return i8;
}

int pelmorabox_state_probe_decompose(xmlrpc_env *env, xmlrpc_value *xitem, pelmorabox_bus_state_t *s)
{
    memset(s, 0, sizeof(*s));
    xmlrpc_value *st = nullptr;
    xmlrpc_decompose_value(env, xitem, "{s:S,*}", "state", &st);
    if (env->fault_occurred) {
        fprintf(stderr, "%s: xmlrpc_decompose_value() failed: %s (%d) [%s:%d]\n", __func__, env->fault_string,
                env->fault_code, SRC_NAME, __LINE__);
        return -14;
    }

    xmlrpc_int32 f_running = 0, q = 0, a = 0, p = 0, fr = 0, fs = 0;
    xmlrpc_int64 amend = 0, count = 0;
    const char *time_s = nullptr, *curr_remain = nullptr, *ply_remain = nullptr;
    xmlrpc_value *er = nullptr;
    xmlrpc_decompose_value(env, st, "{s:i,s:I,s:I,s:s,s:A,s:s,s:s,s:i,s:i,s:i,s:i,s:i,*}", "f_running", &f_running,
                           "amend", &amend, "count", &count, "time", &time_s, "er", &er, "curr_remain", &curr_remain,
                           "ply_remain", &ply_remain, "lib_queued_count", &q, "lib_absent_count", &a,
                           "lib_present_count", &p, "ply_stat_flag_range", &fr, "ply_stat_flag_subclip", &fs);
    if (env->fault_occurred) {
        fprintf(stderr, "%s: xmlrpc_decompose_value failed: %s (%d) [%s:%d]\n", "pelmorabox_state_decompose",
                env->fault_string, env->fault_code, SRC_NAME, __LINE__);
        xmlrpc_DECREF(st);
        return -14;
    }

    s->f_running = f_running;
    s->amend = amend;
    s->count = count;
    strlcpy(s->time, time_s, 32);
    strlcpy(s->curr_remain, curr_remain, 32);
    strlcpy(s->ply_remain, ply_remain, 32);
    s->lib_queued_count = q;
    s->lib_absent_count = a;
    s->lib_present_count = p;
    s->ply_stat_flag_range = fr;
    s->ply_stat_flag_subclip = fs;
    free((void *)time_s);
    free((void *)curr_remain);
    free((void *)ply_remain);

    int r = 0;
    int n = xmlrpc_array_size(env, er);
    for (int i = 0; !env->fault_occurred && i < n && i < 5; i++) {
        xmlrpc_value *v = nullptr;
        xmlrpc_array_read_item(env, er, i, &v);
        if (env->fault_occurred)
            break;
        s->er[i] = read_int_item(env, v);
        xmlrpc_DECREF(v);
    }
    if (env->fault_occurred) {
        fprintf(stderr, "%s: xmlrpc_decompose_value failed: %s (%d) [%s:%d]\n", "pelmorabox_state_decompose",
                env->fault_string, env->fault_code, SRC_NAME, __LINE__);
        memset(s->er, 0, sizeof(s->er));
        r = -14;
    }
    xmlrpc_DECREF(er);

    state_opt_text(st, "absent_remain", s->absent_remain, 31);
    state_opt_text(st, "last_playlist", s->last_playlist, 259);
    state_opt_text(st, "type_C_remain", s->type_C_remain, 31);
    state_opt_text(st, "type_L_remain", s->type_L_remain, 31);
    state_opt_text(st, "fixed_time_remain", s->fixed_time_remain, 31);
    state_opt_text(st, "ply_hash", s->ply_hash, 31);
    xmlrpc_DECREF(st);
    return r;
}

xmlrpc_value *pelmorabox_state2xmlrpc(xmlrpc_env *envP, pelmorabox_bus_state_t *s)
{
    xmlrpc_value *er = xmlrpc_build_value(envP, "(IIIII)", (xmlrpc_int64)s->er[0], (xmlrpc_int64)s->er[1],
                                          (xmlrpc_int64)s->er[2], (xmlrpc_int64)s->er[3], (xmlrpc_int64)s->er[4]);
    if (envP->fault_occurred)
        return nullptr;
    /* The texts are cut at their own arrays' ends even if a record came
     * without a terminator. */
    std::string time_s(s->time, strnlen(s->time, sizeof(s->time)));
    std::string curr(s->curr_remain, strnlen(s->curr_remain, sizeof(s->curr_remain)));
    std::string ply(s->ply_remain, strnlen(s->ply_remain, sizeof(s->ply_remain)));
    std::string absent(s->absent_remain, strnlen(s->absent_remain, sizeof(s->absent_remain)));
    std::string last(s->last_playlist, strnlen(s->last_playlist, sizeof(s->last_playlist)));
    std::string tc(s->type_C_remain, strnlen(s->type_C_remain, sizeof(s->type_C_remain)));
    std::string tl(s->type_L_remain, strnlen(s->type_L_remain, sizeof(s->type_L_remain)));
    std::string hash(s->ply_hash, strnlen(s->ply_hash, sizeof(s->ply_hash)));
    std::string ftr(s->fixed_time_remain, strnlen(s->fixed_time_remain, sizeof(s->fixed_time_remain)));
    xmlrpc_value *v = xmlrpc_build_value(
        envP, "{s:i,s:I,s:I,s:s,s:A,s:s,s:s,s:i,s:i,s:i,s:i,s:i,s:s,s:s,s:s,s:s,s:s,s:s}", "f_running",
        (xmlrpc_int32)s->f_running, "amend", (xmlrpc_int64)s->amend, "count", (xmlrpc_int64)s->count, "time",
        time_s.c_str(), "er", er, "curr_remain", curr.c_str(), "ply_remain", ply.c_str(), "lib_queued_count",
        (xmlrpc_int32)s->lib_queued_count, "lib_absent_count", (xmlrpc_int32)s->lib_absent_count, "lib_present_count",
        (xmlrpc_int32)s->lib_present_count, "ply_stat_flag_range", (xmlrpc_int32)s->ply_stat_flag_range,
        "ply_stat_flag_subclip", (xmlrpc_int32)s->ply_stat_flag_subclip, "absent_remain", absent.c_str(),
        "last_playlist", last.c_str(), "type_C_remain", tc.c_str(), "type_L_remain", tl.c_str(), "ply_hash",
        hash.c_str(), "fixed_time_remain", ftr.c_str());
    xmlrpc_DECREF(er);
    if (envP->fault_occurred)
        return nullptr;
    return v;
}

/* ------------------------------------------------------------------------
 * Response decoding shared by every automation call
 * ---------------------------------------------------------------------- */

/* The standard decoding on the call helper: "result", and when it is not
 * negative the bus state into s. */
static int std_response(pelmora_call &c, pelmorabox_bus_state_t *s)
{
    static const char *self = "parser_std_response";
    if (c.failed())
        return c.call_failed(self, nullptr, 0);
    xmlrpc_int32 result = 0;
    if (!c.decompose("{s:i,*}", "result", &result))
        return c.decompose_failed(self, SRC_NAME, __LINE__);
    if (result < 0)
        fprintf(stderr, "%s/%s: %s return %d (%s)\n", c.caller(), self, c.method(), result,
                pelmora_result_text(result));
    else if (s) {
        /* A state that cannot be read is logged there and leaves s zeroed;
         * the call itself still succeeded. */
        xmlrpc_env senv;
        xmlrpc_env_init(&senv);
        pelmorabox_state_probe_decompose(&senv, c.answer(), s);
        xmlrpc_env_clean(&senv);
    }
    return result;
}

int parser_std_response(xmlrpc_env *envP, const char *url, const char *method, const char *caller,
                        xmlrpc_value *resultP, pelmorabox_bus_state_t *s)
{
    pelmora_call c(caller, url, method);
    c.adopt(envP, resultP);
    return std_response(c, s);
}

/* The list of indexes as the server takes it: one one-element array of an
 * i8 per value. */
static xmlrpc_value *index_array(xmlrpc_env *envP, int cnt, const int64_t *idxs)
{
    xmlrpc_value *arr = xmlrpc_array_new(envP);
    for (int i = 0; !envP->fault_occurred && i < cnt; i++) {
        xmlrpc_value *item = xmlrpc_build_value(envP, "(I)", (xmlrpc_int64)idxs[i]);
        if (envP->fault_occurred)
            break;
        xmlrpc_array_append_item(envP, arr, item);
        xmlrpc_DECREF(item);
    }
    if (envP->fault_occurred && arr) {
        xmlrpc_DECREF(arr);
        arr = nullptr;
    }
    return arr;
}

int pelmorabox_callX_iA(const char *url, const char *method, int bus_idx, int cnt, const int64_t *idxs,
                        pelmorabox_bus_state_t *s)
{
    if (s)
        memset(s, 0, sizeof(*s));
    if (cnt < 0 || (cnt && !idxs))
        return -22;
    pelmora_call c(__func__, url, method);
    if (xmlrpc_value *arr = index_array(c.env(), cnt, idxs)) {
        c.run("(iA)", (xmlrpc_int32)bus_idx, arr);
        xmlrpc_DECREF(arr);
    }
    return std_response(c, s);
}

int pelmorabox_xxx_playlist(const char *url, const char *method, int bus_idx, const char *name,
                            pelmorabox_bus_state_t *s)
{
    if (s)
        memset(s, 0, sizeof(*s));
    if (!name)
        return -22;
    pelmora_call c(__func__, url, method);
    c.run("(is)", (xmlrpc_int32)bus_idx, name);
    return std_response(c, s);
}

/* ------------------------------------------------------------------------
 * Bus state and events on the server
 * ---------------------------------------------------------------------- */

int pelmorabox_get_state(const char *url, int idx, pelmorabox_bus_state_t *s)
{
    static const char *method = "PelmoraBox.GetState";
    memset(s, 0, sizeof(*s));
    pelmora_call c(__func__, url, method);
    if (!c.run("(i)", (xmlrpc_int32)idx))
        return c.call_failed(SRC_NAME, __LINE__);
    return pelmorabox_state_probe_decompose(c.env(), c.answer(), s);
}

int pelmorabox_get_event_parse(xmlrpc_env *envP, xmlrpc_value *item, pelmorabox_event_t **pe, pelmorabox_bus_state_t *s,
                               int64_t *pidx)
{
    (void)envP;
    *pe = nullptr;
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    std::vector<char> text;
    const char *line = nullptr;
    xmlrpc_decompose_value(&env, item, "{s:s,*}", "event", &line);
    if (!env.fault_occurred) {
        text.assign(line, line + strlen(line) + 1);
        free((void *)line);
    } else {
        xmlrpc_env_clean(&env);
        xmlrpc_env_init(&env);
        const unsigned char *bytes = nullptr;
        size_t len = 0;
        xmlrpc_decompose_value(&env, item, "{s:6,*}", "event_c", &bytes, &len);
        if (env.fault_occurred) {
            fprintf(stderr, "%s: decompose value failed: %s (%d) [%s:%d]\n", __func__, env.fault_string, env.fault_code,
                    SRC_NAME, __LINE__);
            xmlrpc_env_clean(&env);
            return -14;
        }
        text.resize(PELMORABOX_EVENT_LINE_BUF);
        int n = pelmorabox_event_line_inflate(bytes, len, text.data(), (int)text.size());
        free((void *)bytes);
        if (n < 0) {
            fprintf(stderr, "%s: event_c of %zu bytes does not inflate to a text within %d bytes [%s:%d]\n", __func__,
                    len, PELMORABOX_EVENT_LINE_BUF, SRC_NAME, __LINE__);
            xmlrpc_env_clean(&env);
            return -22;
        }
    }
    xmlrpc_env_clean(&env);

    pelmorabox_event_t *e = pelmorabox_event_create_from_string(text.data(), nullptr, 0);
    xmlrpc_env_init(&env);
    pelmorabox_state_probe_decompose(&env, item, s);
    xmlrpc_env_clean(&env);
    if (!e)
        return -22;
    e->flags = s->er[0];
    e->sys_id = s->er[1];
    e->start = s->er[2];
    e->amend = s->amend;
    if (pidx)
        *pidx = s->er[4];
    *pe = e;
    return 0;
}

int pelmorabox_get_events2(const char *url, int bus_idx, int cnt, int64_t *idxs, pelmorabox_event_t **pe,
                           pelmorabox_bus_state_t *s)
{
    static const char *method = "PelmoraBox.GetEvents2";
    memset(s, 0, sizeof(*s));
    if (cnt < 0 || (cnt && (!idxs || !pe)))
        return -22;
    for (int i = 0; i < cnt; i++)
        pe[i] = nullptr;

    pelmora_call c(__func__, url, method);
    if (xmlrpc_value *arr = index_array(c.env(), cnt, idxs)) {
        c.run("(iA)", (xmlrpc_int32)bus_idx, arr);
        xmlrpc_DECREF(arr);
    }
    if (c.failed())
        return c.call_failed(SRC_NAME, __LINE__);

    int r = 0;
    xmlrpc_value *events = nullptr;
    if (!c.decompose("{s:A,*}", "events", &events))
        return c.decompose_failed(nullptr, SRC_NAME, __LINE__);
    xmlrpc_env *env = c.env();
    int size = xmlrpc_array_size(env, events);
    if (env->fault_occurred) {
        fprintf(stderr, "%s: xmlrpc_array_size failed: %s (%d)\n", __func__, env->fault_string, env->fault_code);
        r = -14;
    } else {
        int stored = 0, last = 0;
        for (int i = 0; i < size && stored < cnt && !env->fault_occurred; i++) {
            xmlrpc_value *item = nullptr;
            xmlrpc_array_read_item(env, events, i, &item);
            if (env->fault_occurred) {
                fprintf(stderr, "%s: xmlrpc_array_read_item failed: %s (%d)\n", __func__, env->fault_string,
                        env->fault_code);
                last = -14;
                break;
            }
            pelmorabox_bus_state_t item_state;
            int64_t idx = 0;
            last = pelmorabox_get_event_parse(env, item, &pe[stored], &item_state, &idx);
            xmlrpc_DECREF(item);
            if (last == 0)
                idxs[stored++] = idx;
        }
        r = stored ? stored : last;
    }
    xmlrpc_DECREF(events);
    if (r >= 0) {
        c.clear_fault();
        pelmorabox_state_probe_decompose(c.env(), c.answer(), s);
    }
    return r;
}

/* GetEvent and SnapshotGetEvent: the response is one event item. */
static int get_one_event(pelmora_call &c, pelmorabox_event_t **pe, pelmorabox_bus_state_t *s)
{
    if (c.failed())
        return c.call_failed(SRC_NAME, __LINE__);
    xmlrpc_int32 result = 0;
    if (!c.decompose("{s:i,*}", "result", &result))
        return c.decompose_failed(nullptr, SRC_NAME, __LINE__);
    if (result < 0) {
        /* A refusal carries no event to read. */
        fprintf(stderr, "%s: %s return %d (%s)\n", c.caller(), c.method(), result, pelmora_result_text(result));
        return result;
    }
    return pelmorabox_get_event_parse(c.env(), c.answer(), pe, s, nullptr);
}

int pelmorabox_get_event(const char *url, int bus_idx, int event_idx, pelmorabox_event_t **pe,
                         pelmorabox_bus_state_t *s)
{
    static const char *method = "PelmoraBox.GetEvent";
    memset(s, 0, sizeof(*s));
    *pe = nullptr;
    pelmora_call c(__func__, url, method);
    c.run("(ii)", (xmlrpc_int32)bus_idx, (xmlrpc_int32)event_idx);
    return get_one_event(c, pe, s);
}

int pelmorabox_update_insert_event(const char *url, const char *method, int bus_idx, int64_t event_idx,
                                   pelmorabox_event_t *e, pelmorabox_bus_state_t *s)
{
    memset(s, 0, sizeof(*s));
    if (!e)
        return -22;
    /* A line longer than the protocol's limit would arrive cut, with its
     * later fields lost or shifted: refuse it instead of sending it. */
    std::string line = event_line(e);
    if (line.size() > PELMORABOX_EVENT_LINE_MAX) {
        fprintf(stderr, "%s: %s: event line of %zu characters exceeds %d [%s:%d]\n", __func__, method, line.size(),
                PELMORABOX_EVENT_LINE_MAX, SRC_NAME, __LINE__);
        return -22;
    }
    std::vector<unsigned char> z(PELMORABOX_EVENT_LINE_BUF);
    int zl = pelmorabox_event_line_deflate(line.c_str(), z.data(), (int)z.size());
    if (zl < 0) {
        fprintf(stderr, "%s: %s: compressed event does not fit in %d bytes [%s:%d]\n", __func__, method,
                PELMORABOX_EVENT_LINE_BUF, SRC_NAME, __LINE__);
        return zl;
    }
    pelmora_call c(__func__, url, method);
    c.run("(i6I)", (xmlrpc_int32)bus_idx, z.data(), (size_t)zl, (xmlrpc_int64)event_idx);
    return std_response(c, s);
}

int pelmorabox_insert_event(const char *url, int bus_idx, int64_t idx, pelmorabox_event_t *e, pelmorabox_bus_state_t *s)
{
    return pelmorabox_update_insert_event(url, "PelmoraBox.InsertEvent", bus_idx, idx, e, s);
}

int pelmorabox_insert_event2(const char *url, int bus_idx, int64_t sys_id, pelmorabox_event_t *e,
                             pelmorabox_bus_state_t *s)
{
    return pelmorabox_update_insert_event(url, "PelmoraBox.InsertEvent2", bus_idx, sys_id, e, s);
}

int pelmorabox_update_event(const char *url, int bus_idx, int64_t idx, pelmorabox_event_t *e, pelmorabox_bus_state_t *s)
{
    return pelmorabox_update_insert_event(url, "PelmoraBox.UpdateEvent", bus_idx, idx, e, s);
}

int pelmorabox_update_event2(const char *url, int bus_idx, int64_t sys_id, pelmorabox_event_t *e,
                             pelmorabox_bus_state_t *s)
{
    return pelmorabox_update_insert_event(url, "PelmoraBox.UpdateEvent2", bus_idx, sys_id, e, s);
}

int pelmorabox_delete_event(const char *url, int bus_idx, int cnt, const int64_t *idxs, pelmorabox_bus_state_t *s)
{
    return pelmorabox_callX_iA(url, "PelmoraBox.DeleteEvents", bus_idx, cnt, idxs, s);
}

int pelmorabox_delete_event2(const char *url, int bus_idx, int cnt, const int64_t *idxs, pelmorabox_bus_state_t *s)
{
    return pelmorabox_callX_iA(url, "PelmoraBox.DeleteEvents2", bus_idx, cnt, idxs, s);
}

int pelmorabox_reset_tc_event(const char *url, int bus_idx, int cnt, const int64_t *list, pelmorabox_bus_state_t *s)
{
    return pelmorabox_callX_iA(url, "PelmoraBox.ResetEventsTC", bus_idx, cnt, list, s);
}

/* ------------------------------------------------------------------------
 * Commands, playlists, search
 * ---------------------------------------------------------------------- */

/* One call with a standard response; format and arguments as given. */
#define STD_CALL(method, fmt, ...)                                                                                     \
    do {                                                                                                               \
        memset(s, 0, sizeof(*s));                                                                                      \
        pelmora_call c(__func__, url, method);                                                                         \
        c.run(fmt, __VA_ARGS__);                                                                                       \
        return std_response(c, s);                                                                                     \
    } while (0)

int pelmorabox_run(const char *url, int bus_idx, int f_run, pelmorabox_bus_state_t *s)
{
    STD_CALL("PelmoraBox.Run", "(ii)", (xmlrpc_int32)bus_idx, (xmlrpc_int32)f_run);
}

int pelmorabox_take(const char *url, int bus_idx, pelmorabox_bus_state_t *s)
{
    STD_CALL("PelmoraBox.Take", "(i)", (xmlrpc_int32)bus_idx);
}

int pelmorabox_take_n(const char *url, int bus_idx, int event_idx, pelmorabox_bus_state_t *s)
{
    STD_CALL("PelmoraBox.TakeN", "(ii)", (xmlrpc_int32)bus_idx, (xmlrpc_int32)event_idx);
}

int pelmorabox_fallback(const char *url, int bus_idx, pelmorabox_bus_state_t *s)
{
    STD_CALL("PelmoraBox.Fallback", "(i)", (xmlrpc_int32)bus_idx);
}

int pelmorabox_preview(const char *url, int bus_idx, int64_t ev, const char *io_url, pelmorabox_bus_state_t *s)
{
    if (!io_url) {
        memset(s, 0, sizeof(*s));
        return -22;
    }
    STD_CALL("PelmoraBox.Preview", "(iIs)", (xmlrpc_int32)bus_idx, (xmlrpc_int64)ev, io_url);
}

int pelmorabox_append_playlist(const char *url, int bus_idx, const char *name, pelmorabox_bus_state_t *s)
{
    return pelmorabox_xxx_playlist(url, "PelmoraBox.AppendPlaylist", bus_idx, name, s);
}

int pelmorabox_load_playlist(const char *url, int bus_idx, const char *name, pelmorabox_bus_state_t *s)
{
    return pelmorabox_xxx_playlist(url, "PelmoraBox.LoadPlaylist", bus_idx, name, s);
}

int pelmorabox_save_playlist(const char *url, int bus_idx, const char *name, pelmorabox_bus_state_t *s)
{
    return pelmorabox_xxx_playlist(url, "PelmoraBox.SavePlaylist", bus_idx, name, s);
}

int pelmorabox_close_playlist(const char *url, int bus_idx, pelmorabox_bus_state_t *s)
{
    STD_CALL("PelmoraBox.ClosePlaylist", "(i)", (xmlrpc_int32)bus_idx);
}

int pelmorabox_truncate_playlist(const char *url, int bus_idx, int64_t event_sys_id, int f_below,
                                 pelmorabox_bus_state_t *s)
{
    STD_CALL("PelmoraBox.TruncatePlaylist", "(iIi)", (xmlrpc_int32)bus_idx, (xmlrpc_int64)event_sys_id,
             (xmlrpc_int32)f_below);
}

int pelmorabox_trimpad_event(const char *url, int bus_idx, int val, pelmorabox_bus_state_t *s)
{
    STD_CALL("PelmoraBox.TrimPadEvent", "(ii)", (xmlrpc_int32)bus_idx, (xmlrpc_int32)val);
}

int pelmorabox_search_event(const char *url, int bus_idx, const char *key, int start_idx, int flags,
                            pelmorabox_bus_state_t *s)
{
    if (!key) {
        memset(s, 0, sizeof(*s));
        return -22;
    }
    STD_CALL("PelmoraBox.SearchEvent", "(isii)", (xmlrpc_int32)bus_idx, key, (xmlrpc_int32)start_idx,
             (xmlrpc_int32)flags);
}

/* Reads the member "list" of a list response and its size: the array (the
 * caller releases it) or null after logging. */
static xmlrpc_value *list_member(const char *caller, xmlrpc_env *envP, xmlrpc_value *resultP, int *psize)
{
    xmlrpc_value *list = nullptr;
    xmlrpc_decompose_value(envP, resultP, "{s:A,*}", "list", &list);
    if (envP->fault_occurred) {
        fprintf(stderr, "%s: decompose value failed: %s (%d) [%s:%d]\n", caller, envP->fault_string, envP->fault_code,
                SRC_NAME, __LINE__);
        return nullptr;
    }
    *psize = xmlrpc_array_size(envP, list);
    if (envP->fault_occurred) {
        fprintf(stderr, "%s: xmlrpc_array_size failed: %s (%d)", caller, envP->fault_string, envP->fault_code);
        xmlrpc_DECREF(list);
        return nullptr;
    }
    return list;
}

/* Runs take (i, item) on each item of the response's "list" member, after
 * prepare (size) has agreed (it may leave a fault in envP to refuse). Stops
 * at the first fault, logged; take may leave one too. Returns the size of
 * the list, 0 when there is none. */
template <typename Prepare, typename Take>
static int each_list_item(const char *caller, xmlrpc_env *envP, xmlrpc_value *resultP, Prepare prepare, Take take)
{
    int size = 0;
    xmlrpc_value *list = list_member(caller, envP, resultP, &size);
    if (!list)
        return 0;
    prepare(size);
    for (int i = 0; !envP->fault_occurred && i < size; i++) {
        xmlrpc_value *item = nullptr;
        xmlrpc_array_read_item(envP, list, i, &item);
        if (envP->fault_occurred) {
            fprintf(stderr, "%s: xmlrpc_array_read_item failed: %s (%d)", caller, envP->fault_string, envP->fault_code);
            break;
        }
        take(i, item);
        xmlrpc_DECREF(item);
    }
    xmlrpc_DECREF(list);
    return size;
}

static void free_names(char **names)
{
    if (!names)
        return;
    for (char **p = names; *p; p++)
        free(*p);
    free(names);
}

int pelmorabox_list_playlists(const char *url, int bus_idx, char ***plist, pelmorabox_bus_state_t *s)
{
    static const char *method = "PelmoraBox.ListPlaylists";
    memset(s, 0, sizeof(*s));
    *plist = nullptr;
    pelmora_call c(__func__, url, method);
    if (!c.run("(i)", (xmlrpc_int32)bus_idx))
        return c.call_failed(nullptr, nullptr, 0);
    xmlrpc_env &env = *c.env();
    xmlrpc_value *resultP = c.answer();

    int n = 0;
    char **names = nullptr;
    const char *func = __func__;
    each_list_item(
        func, &env, resultP,
        [&](int size) {
            names = (char **)calloc((size_t)size + 1, sizeof(char *));
            if (!names)
                xmlrpc_faultf(&env, "out of memory for %d names", size);
        },
        [&](int, xmlrpc_value *item) {
            const char *name = nullptr;
            xmlrpc_decompose_value(&env, item, "(s)", &name);
            if (env.fault_occurred)
                fprintf(stderr, "%s: xmlrpc_array_read_item failed: %s (%d)", func, env.fault_string, env.fault_code);
            else
                names[n++] = (char *)name;
        });
    /* A fault left pending by the list makes the standard decoding give
     * -14; nothing is handed over then. */
    int r = std_response(c, s);
    if (r < 0) {
        free_names(names);
        return r;
    }
    *plist = names;
    return n;
}

/* An optional i8 or string member of a list item; missing leaves the target. */
static void opt_i8(xmlrpc_value *item, const char *name, int64_t *dst)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_int64 v = 0;
    xmlrpc_decompose_value(&env, item, "{s:I,*}", name, &v);
    if (!env.fault_occurred)
        *dst = v;
    xmlrpc_env_clean(&env);
}

static void opt_text(xmlrpc_value *item, const char *name, char *dst, size_t size)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    const char *v = nullptr;
    xmlrpc_decompose_value(&env, item, "{s:s,*}", name, &v);
    if (!env.fault_occurred) {
        strlcpy(dst, v, size);
        free((void *)v);
    }
    xmlrpc_env_clean(&env);
}

int pelmorabox_errorflag_list(const char *url, int bus_idx, int error_flag, pelmorabox_event_t **plist,
                              pelmorabox_bus_state_t *s)
{
    static const char *method = "PelmoraBox.ErrorFlagList";
    memset(s, 0, sizeof(*s));
    *plist = nullptr;
    pelmora_call c(__func__, url, method);
    if (!c.run("(ii)", (xmlrpc_int32)bus_idx, (xmlrpc_int32)error_flag))
        return c.call_failed(nullptr, nullptr, 0);
    xmlrpc_env &env = *c.env();
    xmlrpc_value *resultP = c.answer();

    pelmorabox_event_t *recs = nullptr;
    const char *func = __func__;
    int size = each_list_item(
        func, &env, resultP,
        [&](int n) {
            recs = (pelmorabox_event_t *)calloc((size_t)n + 1, sizeof(pelmorabox_event_t));
            if (!recs)
                xmlrpc_faultf(&env, "out of memory for %d records", n);
        },
        [&](int i, xmlrpc_value *item) {
            const char *media_id = nullptr, *start_time = nullptr;
            xmlrpc_int64 start = 0;
            xmlrpc_decompose_value(&env, item, "{s:s,s:s,s:I,*}", "media_id", &media_id, "start_time", &start_time,
                                   "start", &start);
            if (env.fault_occurred) {
                fprintf(stderr, "%s:%d: xmlrpc_decompose_value(ssI) failed: %s (%d)", func, __LINE__, env.fault_string,
                        env.fault_code);
                return;
            }
            pelmorabox_event_t *r = &recs[i];
            strlcpy(r->media_id, media_id, sizeof(r->media_id));
            strlcpy(r->start_time, start_time, sizeof(r->start_time));
            r->start = start;
            free((void *)media_id);
            free((void *)start_time);
            opt_text(item, "comment", r->title, sizeof(r->title));
            opt_i8(item, "sys_id", &r->sys_id);
            opt_i8(item, "flags", &r->flags);
        });
    int r = std_response(c, s);
    if (r < 0) {
        free(recs);
        return r;
    }
    *plist = recs;
    return size;
}

int pelmorabox_absent_list(const char *url, int bus_idx, pelmorabox_event_t **plist, pelmorabox_bus_state_t *s)
{
    return pelmorabox_errorflag_list(url, bus_idx, 128, plist, s);
}

int pelmorabox_lib_list(const char *url, int bus_idx, int target, pelmorabox_bus_lib_list_t *bl,
                        pelmorabox_bus_state_t *s)
{
    static const char *method = "PelmoraBox.LibList";
    memset(s, 0, sizeof(*s));
    pelmorabox_bus_lib_init(bl);
    pelmora_call c(__func__, url, method);
    if (!c.run("(ii)", (xmlrpc_int32)bus_idx, (xmlrpc_int32)target))
        return c.call_failed(nullptr, nullptr, 0);
    xmlrpc_env &env = *c.env();
    xmlrpc_value *resultP = c.answer();

    const char *func = __func__;
    each_list_item(
        func, &env, resultP, [](int) {},
        [&](int i, xmlrpc_value *item) {
            const char *origin = nullptr, *object = nullptr;
            xmlrpc_int32 ref = 0;
            xmlrpc_decompose_value(&env, item, "{s:s,s:s,s:i,*}", "origin", &origin, "object", &object, "ref", &ref);
            if (env.fault_occurred) {
                fprintf(stderr, "%s:%d: xmlrpc_decompose_value(ssI) failed: %s (%d)", func, __LINE__, env.fault_string,
                        env.fault_code);
                return;
            }
            pelmorabox_bus_lib_item_t *it = (pelmorabox_bus_lib_item_t *)calloc(1, sizeof(*it));
            if (!it || pelmorabox_bus_lib_append(bl, it) < 0) {
                free(it);
                free((void *)origin);
                free((void *)object);
                xmlrpc_faultf(&env, "out of memory for item %d", i);
                return;
            }
            it->origin = (char *)origin;
            it->object = (char *)object;
            it->ref = ref;
        });
    int r = std_response(c, s);
    if (r < 0) {
        pelmorabox_bus_lib_release(bl);
        return r;
    }
    return bl->count;
}

/* ------------------------------------------------------------------------
 * Server-side snapshots
 * ---------------------------------------------------------------------- */

int pelmorabox_snapshot_new(const char *url, int bus_idx, pelmorabox_bus_state_t *s)
{
    STD_CALL("PelmoraBox.SnapshotNew", "(i)", (xmlrpc_int32)bus_idx);
}

int pelmorabox_snapshot_curr(const char *url, int bus_idx, pelmorabox_bus_state_t *s)
{
    STD_CALL("PelmoraBox.SnapshotCurr", "(i)", (xmlrpc_int32)bus_idx);
}

int pelmorabox_snapshot_add_event(const char *url, int bus_idx, int snapshot_idx, pelmorabox_event_t *e,
                                  pelmorabox_bus_state_t *s)
{
    if (!e) {
        memset(s, 0, sizeof(*s));
        return -22;
    }
    std::string line = event_line(e);
    if (line.size() > PELMORABOX_EVENT_LINE_MAX) {
        memset(s, 0, sizeof(*s));
        fprintf(stderr, "%s: event line of %zu characters exceeds %d [%s:%d]\n", __func__, line.size(),
                PELMORABOX_EVENT_LINE_MAX, SRC_NAME, __LINE__);
        return -22;
    }
    STD_CALL("PelmoraBox.SnapshotAddEvent", "(iis)", (xmlrpc_int32)bus_idx, (xmlrpc_int32)snapshot_idx, line.c_str());
}

int pelmorabox_snapshot_get_event(const char *url, int bus_idx, int snapshot_idx, int event_idx,
                                  pelmorabox_event_t **pe, pelmorabox_bus_state_t *s)
{
    static const char *method = "PelmoraBox.SnapshotGetEvent";
    memset(s, 0, sizeof(*s));
    *pe = nullptr;
    pelmora_call c(__func__, url, method);
    c.run("(iii)", (xmlrpc_int32)bus_idx, (xmlrpc_int32)snapshot_idx, (xmlrpc_int32)event_idx);
    return get_one_event(c, pe, s);
}

int pelmorabox_snapshot_destroy(const char *url, int bus_idx, int snapshot_idx, pelmorabox_bus_state_t *s)
{
    STD_CALL("PelmoraBox.SnapshotDestroy", "(ii)", (xmlrpc_int32)bus_idx, (xmlrpc_int32)snapshot_idx);
}

int pelmorabox_snapshot_load(const char *url, int bus_idx, const char *name, pelmorabox_bus_state_t *s)
{
    return pelmorabox_xxx_playlist(url, "PelmoraBox.SnapshotLoad", bus_idx, name, s);
}

int pelmorabox_snapshot_save(const char *url, int bus_idx, int snapshot_idx, const char *name,
                             pelmorabox_bus_state_t *s)
{
    if (!name) {
        memset(s, 0, sizeof(*s));
        return -22;
    }
    STD_CALL("PelmoraBox.SnapshotSave", "(iis)", (xmlrpc_int32)bus_idx, (xmlrpc_int32)snapshot_idx, name);
}

#undef STD_CALL

/* ------------------------------------------------------------------------
 * Bus library list
 * ---------------------------------------------------------------------- */

int pelmorabox_bus_lib_init(pelmorabox_bus_lib_list_t *bl)
{
    bl->list = nullptr;
    bl->count = 0;
    return 0;
}

int pelmorabox_bus_lib_append(pelmorabox_bus_lib_list_t *bl, pelmorabox_bus_lib_item_t *item)
{
    void *p = realloc(bl->list, sizeof(*bl->list) * (size_t)(bl->count + 1));
    if (!p)
        return -12;
    bl->list = (pelmorabox_bus_lib_item_t **)p;
    bl->list[bl->count++] = item;
    return bl->count;
}

int pelmorabox_bus_lib_drop(pelmorabox_bus_lib_list_t *bl, int idx)
{
    if (!bl->count || idx < 0 || idx >= bl->count)
        return -2;
    memmove(&bl->list[idx], &bl->list[idx + 1], sizeof(*bl->list) * (size_t)(bl->count - idx - 1));
    return --bl->count;
}

int pelmorabox_bus_lib_delete(pelmorabox_bus_lib_list_t *bl, int idx)
{
    if (!bl->count || idx < 0 || idx >= bl->count)
        return -2;
    pelmorabox_bus_lib_item_t *it = bl->list[idx];
    if (it) {
        free(it->origin);
        free(it->object);
        free(it);
    }
    return pelmorabox_bus_lib_drop(bl, idx);
}

int pelmorabox_bus_lib_release(pelmorabox_bus_lib_list_t *bl)
{
    while (bl->count)
        pelmorabox_bus_lib_delete(bl, bl->count - 1);
    free(bl->list);
    bl->list = nullptr;
    return 0;
}

int pelmorabox_bus_lib_lookup_by_origin(pelmorabox_bus_lib_list_t *bl, const char *val)
{
    if (!val)
        return -2;
    for (int i = 0; i < bl->count; i++)
        if (bl->list[i] && bl->list[i]->origin && !strcmp(bl->list[i]->origin, val))
            return i;
    return -2;
}

int pelmorabox_bus_lib_lookup_by_object(pelmorabox_bus_lib_list_t *bl, const char *val)
{
    if (!val)
        return -2;
    /* A name with an extension also matches its "#" form: a.mxf finds a#. */
    std::string hashed;
    if (const char *dot = strrchr(val, '.'))
        hashed = std::string(val, (size_t)(dot - val)) + "#";
    for (int i = 0; i < bl->count; i++) {
        const char *o = bl->list[i] ? bl->list[i]->object : nullptr;
        if (o && (!strcmp(o, val) || (!hashed.empty() && hashed == o)))
            return i;
    }
    return -2;
}

/* ------------------------------------------------------------------------
 * Playlist name filter
 * ---------------------------------------------------------------------- */

int pelmorabox_playlist_name_rule1(const char *filename, int f_ply, const char *keyword, int f_day_range)
{
    if (!filename)
        return -105;
    if (f_ply) {
        const char *p = strstr(filename, ".ply");
        if (!p || p[4])
            return -105;
    }
    if (keyword && *keyword && !strstr(filename, keyword))
        return -105;
    if (!f_day_range)
        return 0;

    static const long offsets[] = {0, -86400, 86400, 172800, 259200};
    time_t now = time(nullptr);
    int days = 0;
    for (int i = 0; i < 5; i++) {
        time_t t = now + offsets[i];
        struct tm tm;
        localtime_r(&t, &tm);
        char iso[32], dmy[32];
        strftime(iso, sizeof(iso), "%Y-%m-%d", &tm);
        strftime(dmy, sizeof(dmy), "%d%m%y", &tm);
        if (strstr(filename, iso) || strstr(filename, dmy))
            days |= 1 << i;
    }
    return (days & f_day_range) ? 0 : -105;
}
