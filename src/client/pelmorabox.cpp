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
        memcpy(e->metadata_pairs, src->metadata_pairs, sizeof(pelmorabox_event_meta_pair_t) * src->metadata_cnt);
        e->metadata_cnt = src->metadata_cnt;
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
        free(e->metadata_pairs);
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
    strlcpy(e->metadata_pairs[cnt].key, key, sizeof(e->metadata_pairs[cnt].key));
    strlcpy(e->metadata_pairs[cnt].val, val, sizeof(e->metadata_pairs[cnt].val));
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
        case '\n': out += "\\\\n"; break;
        case '\r': out += "\\\\r"; break;
        case '\t': out += "\\\\t"; break;
        case '\\': out += "\\\\\\\\"; break;
        default: out += *s; break;
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
            break;  /* a backslash at the end is dropped */
        switch (*r) {
        case '\\': *w++ = '\\'; break;
        case 'n': *w++ = '\n'; break;
        case 'r': *w++ = '\r'; break;
        case 't': *w++ = '\t'; break;
        default: break;  /* unknown escape: both characters dropped */
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
    } texts[] = {{e->start_time, sizeof(e->start_time)}, {nullptr, 0}, {e->mark_in, sizeof(e->mark_in)},
                 {e->mark_out, sizeof(e->mark_out)}, {e->duration, sizeof(e->duration)}, {nullptr, 0},
                 {e->media_id, sizeof(e->media_id)}, {e->title, sizeof(e->title)}, {e->assets, sizeof(e->assets)},
                 {e->fixed_time, sizeof(e->fixed_time)}, {e->tag, sizeof(e->tag)},
                 {meta ? meta : "", (size_t)-1}, {e->audio_map, sizeof(e->audio_map)},
                 {e->audio_amp, sizeof(e->audio_amp)}, {e->ar, sizeof(e->ar)}};
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
            return nullptr;  /* a 17th field */
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
        (xmlrpc_int32)s->lib_queued_count, "lib_absent_count", (xmlrpc_int32)s->lib_absent_count,
        "lib_present_count", (xmlrpc_int32)s->lib_present_count, "ply_stat_flag_range",
        (xmlrpc_int32)s->ply_stat_flag_range, "ply_stat_flag_subclip", (xmlrpc_int32)s->ply_stat_flag_subclip,
        "absent_remain", absent.c_str(), "last_playlist", last.c_str(), "type_C_remain", tc.c_str(),
        "type_L_remain", tl.c_str(), "ply_hash", hash.c_str(), "fixed_time_remain", ftr.c_str());
    xmlrpc_DECREF(er);
    if (envP->fault_occurred)
        return nullptr;
    return v;
}
