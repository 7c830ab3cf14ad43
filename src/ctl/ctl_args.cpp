/* pelmora-ctl command line and event building: options before the command
 * are global, those after it belong to the command; every value is checked
 * so that a bad argument never reaches the server. */
#include "ctl_args.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "optwalk.h"
#include "pelmora_version.h"
#include "strl.h"

/* Sets the message of a usage error: -22. */
static int ctl_fail(std::string *err, const std::string &why)
{
    *err = why;
    return -22;
}

void ctl_usage(FILE *f)
{
    fputs("Usage: pelmora-ctl --host HOST:PORT [--idx BUS] [OPTIONS] COMMAND [ARGS...]\n"
          "       pelmora-ctl --lib HOST:PORT [OPTIONS] lib|transfer|transcode COMMAND ...\n"
          "       pelmora-ctl --io HOST:PORT [OPTIONS] io COMMAND [ARGS...]\n"
          "Command-line client of the playout servers: a bus's automation server\n"
          "(PelmoraBox), the library with its transfer and transcoding jobs, an IO server.\n"
          "\n"
          "Global options (before the command; all but --idx may also follow it):\n"
          "  --host HOST:PORT        the automation server (bus commands)\n"
          "  --lib HOST:PORT         the library server (lib, transfer, transcode)\n"
          "  --io HOST:PORT          the IO server (io)\n"
          "  --idx N                 bus index on that server (default 0)\n"
          "  --table                 readable table instead of one JSON object per line\n"
          "  --quiet, -q             hide the client library's diagnostics on stderr\n"
          "  --timeout MS            whole-call time-out (PELMORA_RPC_TIMEOUT_MS)\n"
          "  --connect-timeout MS    connect time-out (PELMORA_RPC_CONNECT_TIMEOUT_MS)\n"
          "  --help, -h              this text;  --version  the version\n"
          "\n"
          "Bus commands (--host):\n"
          "  state                          the bus state (18 members)\n"
          "  events [RANGE...]              events by list index: N, A-B or A- (all)\n"
          "  take                           take the next event\n"
          "  take-n IDX                     jump to the event at list index IDX\n"
          "  run start|stop                 start or stop the bus\n"
          "  fallback                       run the bus's fallback\n"
          "  load NAME | append NAME | save NAME   playlists on the server\n"
          "  close                          close the loaded playlist\n"
          "  truncate --sys-id ID --above|--below   remove the events above or below one\n"
          "  playlists                      names of the playlists available to the bus\n"
          "  search KEY [--fields LIST] [--from IDX] [--all]\n"
          "                                 LIST: title,media_id,assets,meta_key,\n"
          "                                 meta_val,start_time,sys_id or all\n"
          "                                 (default title,media_id)\n"
          "  errors [--mask MASK | --absent]  flagged events (default: error, 0x2000100)\n"
          "                                 MASK: a number, flag names joined by , or |,\n"
          "                                 or error, error-subclip, absent\n"
          "  insert --at IDX|end | --before-sys-id ID  EVENT\n"
          "  update --idx IDX | --sys-id ID  EVENT   (fields change the current event)\n"
          "  delete IDX|A-B... | delete --sys-id ID[,ID...]...\n"
          "\n"
          "EVENT: --line LINE (tab-separated event line; \\t accepted for a tab; - reads\n"
          "  one line from standard input) and/or fields: --media ID --title TEXT\n"
          "  --dur TC --in TC --out TC --type C\n"
          "  --start-type follow|manual|fixed|gap-fill|CHAR\n"
          "  --fixed TC --tag TEXT --assets TEXT --audio-map T --audio-amp T --ar T\n"
          "  --meta KEY=VALUE (repeatable; replaces the metadata) --no-meta.\n"
          "  TC is HH:MM:SS:FF (or empty to clear).\n"
          "\n"
          "\n",
          f);
    ctl_sys_usage(f);
    fputs("\nExit status: 0 success, 1 refused by the server (or nothing there; for a\n"
          "job's wait: the job ended in error or was cancelled), 2 bad command line\n"
          "(nothing sent), 3 no usable answer, 4 local failure.\n",
          f);
}

/* ---- Values. ---- */

int ctl_parse_int64(const char *s, int64_t lo, int64_t hi, int f_hex, int64_t *out)
{
    if (!s || !*s || isspace((unsigned char)*s))
        return -22;
    int base = 10;
    const char *p = s;
    int neg = 0;
    if (*p == '-' || *p == '+') {
        neg = *p == '-';
        p++;
    }
    if (f_hex && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (!*p || !isxdigit((unsigned char)*p))
        return -22;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(p, &end, base);
    if (errno || *end || v > (unsigned long long)INT64_MAX)
        return -22;
    int64_t x = neg ? -(int64_t)v : (int64_t)v;
    if (x < lo || x > hi)
        return -22;
    *out = x;
    return 0;
}

int ctl_host_url(const char *host, std::string *url)
{
    if (!host || !*host)
        return -22;
    std::string h = host;
    size_t colon;
    if (h[0] == '[') {
        size_t close = h.find(']');
        if (close == std::string::npos || close < 2 || close + 1 >= h.size() || h[close + 1] != ':')
            return -22;
        colon = close + 1;
    } else {
        colon = h.rfind(':');
        if (colon == std::string::npos || colon == 0 || h.find(':') != colon)
            return -22;
    }
    for (size_t i = 0; i < colon; i++) {
        unsigned char c = (unsigned char)h[i];
        if (c <= ' ' || c == '/' || c == '?' || c == '#' || c == '@' || c >= 0x7f)
            return -22;
    }
    int64_t port = 0;
    std::string p = h.substr(colon + 1);
    if (p.empty() || p.find_first_not_of("0123456789") != std::string::npos ||
        ctl_parse_int64(p.c_str(), 1, 65535, 0, &port) < 0)
        return -22;
    *url = "http://" + h + "/RPC2";
    return 0;
}

int ctl_parse_range(const char *s, ctl_range_t *r)
{
    if (!s || !*s)
        return -22;
    std::string t = s;
    size_t dash = t.find('-');
    int64_t a = 0, b = -1;
    if (dash == std::string::npos) {
        if (ctl_parse_int64(t.c_str(), 0, INT32_MAX, 0, &a) < 0 || t[0] == '+')
            return -22;
        b = a;
    } else {
        std::string sa = t.substr(0, dash), sb = t.substr(dash + 1);
        if (sa.empty() || sa[0] == '+' || ctl_parse_int64(sa.c_str(), 0, INT32_MAX, 0, &a) < 0)
            return -22;
        if (!sb.empty() && (sb[0] == '+' || ctl_parse_int64(sb.c_str(), 0, INT32_MAX, 0, &b) < 0 || b < a))
            return -22;
    }
    r->from = a;
    r->to = b;
    return 0;
}

int ctl_parse_search_fields(const char *s, int *flags, std::string *err)
{
    static const struct
    {
        const char *name;
        int bit;
    } names[] = {
        {"title", PELMORABOX_EVENT_SEARCH_IDX_TITLE},           {"media_id", PELMORABOX_EVENT_SEARCH_IDX_MEDIA_ID},
        {"media", PELMORABOX_EVENT_SEARCH_IDX_MEDIA_ID},        {"assets", PELMORABOX_EVENT_SEARCH_IDX_ASSETS},
        {"meta_key", PELMORABOX_EVENT_SEARCH_IDX_META_KEY},     {"meta_val", PELMORABOX_EVENT_SEARCH_IDX_META_VAL},
        {"start_time", PELMORABOX_EVENT_SEARCH_IDX_START_TIME}, {"sys_id", PELMORABOX_EVENT_SEARCH_IDX_SYS_ID}};
    int f = 0;
    std::string t = s ? s : "";
    size_t pos = 0;
    do {
        size_t comma = t.find(',', pos);
        std::string w = t.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        pos = comma == std::string::npos ? std::string::npos : comma + 1;
        int found = 0;
        if (w == "all") {
            f |= (1 << PELMORABOX_EVENT_SEARCH_IDX_LAST) - 1;
            found = 1;
        }
        for (const auto &n : names)
            if (w == n.name) {
                f |= 1 << n.bit;
                found = 1;
            }
        if (!found)
            return ctl_fail(err, "unknown search field [" + w +
                                     "] (title, media_id, assets, meta_key, meta_val, start_time, sys_id, all)");
    } while (pos != std::string::npos);
    *flags = f;
    return 0;
}

int ctl_parse_error_mask(const char *s, int64_t *mask, std::string *err)
{
    static const struct
    {
        const char *name;
        int64_t bits;
    } names[] = {{"CUEING", PELMORABOX_EVENT_FLAG_CUEING},
                 {"PLAY", PELMORABOX_EVENT_FLAG_PLAY},
                 {"PRESENT", PELMORABOX_EVENT_FLAG_PRESENT},
                 {"CUED", PELMORABOX_EVENT_FLAG_CUED},
                 {"CUE_FAILED", PELMORABOX_EVENT_FLAG_CUE_FAILED},
                 {"PLAY_FAILED", PELMORABOX_EVENT_FLAG_PLAY_FAILED},
                 {"PLAYING", PELMORABOX_EVENT_FLAG_PLAYING},
                 {"ABSENT", 0x80},
                 {"RANGE_ERR", PELMORABOX_EVENT_FLAG_RANGE_ERR},
                 {"SUBCLIP", PELMORABOX_EVENT_FLAG_SUBCLIP},
                 {"NON_CONT", PELMORABOX_EVENT_FLAG_NON_CONT},
                 {"error", 0x2000100},
                 {"error-subclip", 0x2000500},
                 {"absent", 0x80}};
    std::string t = s ? s : "";
    int64_t m = 0;
    size_t pos = 0;
    do {
        size_t sep = t.find_first_of(",|", pos);
        std::string w = t.substr(pos, sep == std::string::npos ? std::string::npos : sep - pos);
        pos = sep == std::string::npos ? std::string::npos : sep + 1;
        int64_t v = 0;
        int found = 0;
        for (const auto &n : names)
            if (strcasecmp(w.c_str(), n.name) == 0 && (n.name[0] < 'a' || w == n.name)) {
                v = n.bits;
                found = 1;
                break;
            }
        if (!found && ctl_parse_int64(w.c_str(), 1, INT32_MAX, 1, &v) == 0)
            found = 1;
        if (!found) {
            *err =
                "bad mask part [" + w + "]: a number from 1 to 0x7fffffff, a flag name or error, error-subclip, absent";
            return -22;
        }
        m |= v;
    } while (pos != std::string::npos);
    if (m > INT32_MAX)
        return ctl_fail(err, "mask does not fit the server's 32-bit parameter");
    *mask = m;
    return 0;
}

/* ---- Event lines and fields. ---- */

std::string ctl_line_unescape(const char *src)
{
    std::string s = src ? src : "";
    if (s.find('\t') != std::string::npos)
        return s;
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == 't' || s[i + 1] == '\\')) {
            out += s[i + 1] == 't' ? '\t' : '\\';
            i++;
        } else
            out += s[i];
    }
    return out;
}

static const char *CTL_START_TYPES = " FMG[-]I(=)O";

/* Record sizes of the line's fields, in line order; 0 for the one-character
 * fields and for metadata (checked on their own). */
static const struct
{
    const char *name;
    size_t size;
} ctl_line_fields[16] = {{"start_time", 32}, {"start_type", 0},  {"mark_in", 32},   {"mark_out", 32},
                         {"duration", 32},   {"event_type", 0},  {"media_id", 260}, {"title", 260},
                         {"assets", 260},    {"fixed_time", 32}, {"tag", 260},      {"metadata", 0},
                         {"audio_map", 32},  {"audio_amp", 32},  {"ar", 32},        {"dst", 260}};

int ctl_line_check(const std::string &line, std::string *err)
{
    if (line.size() > PELMORABOX_EVENT_LINE_MAX) {
        *err = "event line of " + std::to_string(line.size()) + " characters; at most " +
               std::to_string(PELMORABOX_EVENT_LINE_MAX);
        return -22;
    }
    std::vector<std::string> f;
    size_t pos = 0;
    for (;;) {
        size_t t = line.find('\t', pos);
        f.push_back(line.substr(pos, t == std::string::npos ? std::string::npos : t - pos));
        if (t == std::string::npos)
            break;
        pos = t + 1;
    }
    size_t n = f.size();
    if (n != 9 && n != 12 && n != 14 && n != 15 && n != 16) {
        *err = "event line has " + std::to_string(n) + " tab-separated fields; 9, 12, 14, 15 or 16 expected";
        return -22;
    }
    for (size_t i = 0; i < n; i++) {
        const std::string &v = f[i];
        for (unsigned char ch : v)
            if (ch < ' ' || ch == 0x7f)
                return ctl_fail(err, std::string("event line field ") + std::to_string(i) + " (" +
                                         ctl_line_fields[i].name + ") holds a control character");
        if (ctl_line_fields[i].size && v.size() > ctl_line_fields[i].size - 1) {
            *err = std::string("event line field ") + std::to_string(i) + " (" + ctl_line_fields[i].name + ") has " +
                   std::to_string(v.size()) + " bytes; at most " + std::to_string(ctl_line_fields[i].size - 1);
            return -22;
        }
    }
    if (f[1].size() > 1 || (f[1].size() == 1 && !strchr(CTL_START_TYPES, f[1][0])))
        return ctl_fail(err, "event line field 1 (start_type) must be empty or one of \"" +
                                 std::string(CTL_START_TYPES) + "\"");
    if (f[5].size() > 1 || (f[5].size() == 1 && (f[5][0] < ' ' || f[5][0] > '~')))
        return ctl_fail(err, "event line field 5 (event_type) must be empty or one ASCII character");
    return 0;
}

int ctl_parse_start_type(const char *s, char *out)
{
    static const struct
    {
        const char *word;
        char c;
    } words[] = {{"follow", ' '},   {"manual", 'M'},  {"fixed", 'F'}, {"fixed-time", 'F'},
                 {"gap-fill", 'G'}, {"gapfill", 'G'}, {"gap", 'G'}};
    if (!s)
        return -22;
    if (!*s) {
        *out = ' ';
        return 0;
    }
    for (const auto &w : words)
        if (strcasecmp(s, w.word) == 0) {
            *out = w.c;
            return 0;
        }
    if (s[1] == 0 && strchr(CTL_START_TYPES, s[0])) {
        *out = s[0];
        return 0;
    }
    return -22;
}

/* HH:MM:SS:FF with two or more hour digits; ";" or "." before the frames
 * (drop-frame notations) also pass. The frame rate is the server's. */
static int ctl_tc_shape(const std::string &v)
{
    size_t n = v.size(), i = 0;
    while (i < n && isdigit((unsigned char)v[i]))
        i++;
    if (i < 2 || n - i != 9)
        return -22;
    const char *p = v.c_str() + i;
    auto two = [](const char *q, int lim) {
        return isdigit((unsigned char)q[0]) && isdigit((unsigned char)q[1]) && (q[0] - '0') * 10 + (q[1] - '0') < lim;
    };
    if (p[0] != ':' || !two(p + 1, 60) || p[3] != ':' || !two(p + 4, 60) || !strchr(":;.", p[6]) || !p[6] ||
        !two(p + 7, 60))
        return -22;
    return 0;
}

int ctl_field_check(int field, const std::string &val, std::string *err)
{
    static const struct
    {
        const char *opt;
        size_t size;
        int f_tc;
    } field_limits[CTL_FIELD_LAST] = {
        {"--media", 260, 0},    {"--title", 260, 0},    {"--dur", 32, 1},   {"--in", 32, 1},   {"--out", 32, 1},
        {"--type", 0, 0},       {"--start-type", 0, 0}, {"--fixed", 32, 1}, {"--tag", 260, 0}, {"--assets", 260, 0},
        {"--audio-map", 32, 0}, {"--audio-amp", 32, 0}, {"--ar", 32, 0}};
    if (field < 0 || field >= CTL_FIELD_LAST)
        return -22;
    const char *opt = field_limits[field].opt;
    if (field == CTL_FIELD_TYPE) {
        if (val.empty() || val == "none" || (val.size() == 1 && val[0] > ' ' && val[0] <= '~'))
            return 0;
        *err = "--type takes one ASCII letter (or none)";
        return -22;
    }
    if (field == CTL_FIELD_START_TYPE) {
        char c;
        if (ctl_parse_start_type(val.c_str(), &c) == 0)
            return 0;
        *err = "--start-type takes follow, manual, fixed, gap-fill or one of \"" + std::string(CTL_START_TYPES) + "\"";
        return -22;
    }
    for (unsigned char c : val)
        if (c < ' ' || c == 0x7f)
            return ctl_fail(err, std::string(opt) + " holds a control character (tab, line break, ...)");
    if (val.size() > field_limits[field].size - 1) {
        *err = std::string(opt) + " has " + std::to_string(val.size()) + " bytes; at most " +
               std::to_string(field_limits[field].size - 1);
        return -22;
    }
    if (field_limits[field].f_tc && !val.empty() && ctl_tc_shape(val) < 0)
        return ctl_fail(err, std::string(opt) + " [" + val + "] is not a timecode HH:MM:SS:FF");
    return 0;
}

pelmorabox_event_t *ctl_event_build(const ctl_event_edit_t *ed, const pelmorabox_event_t *base, std::string *err)
{
    pelmorabox_event_t *e = nullptr;
    if (ed->f_line) {
        if (ctl_line_check(ed->line, err) < 0)
            return nullptr;
        e = pelmorabox_event_create_from_string(ed->line.c_str(), nullptr, 0);
    } else if (base)
        e = pelmorabox_event_clone(base);
    else
        e = pelmorabox_event_create();
    if (!e) {
        *err = "out of memory";
        return nullptr;
    }
    if (!e->start_type)
        e->start_type = ' ';
    int f_start_type = 0;
    for (const auto &fv : ed->fields)
        if (fv.first == CTL_FIELD_START_TYPE)
            f_start_type = 1;
    for (const auto &fv : ed->fields) {
        const char *v = fv.second.c_str();
        switch (fv.first) {
        case CTL_FIELD_MEDIA:
            strlcpy(e->media_id, v, sizeof e->media_id);
            break;
        case CTL_FIELD_TITLE:
            strlcpy(e->title, v, sizeof e->title);
            break;
        case CTL_FIELD_DUR:
            strlcpy(e->duration, v, sizeof e->duration);
            break;
        case CTL_FIELD_IN:
            strlcpy(e->mark_in, v, sizeof e->mark_in);
            break;
        case CTL_FIELD_OUT:
            strlcpy(e->mark_out, v, sizeof e->mark_out);
            break;
        case CTL_FIELD_TYPE:
            e->event_type = (!*v || fv.second == "none") ? 0 : (unsigned char)v[0];
            break;
        case CTL_FIELD_START_TYPE:
            ctl_parse_start_type(v, &e->start_type);
            break;
        case CTL_FIELD_FIXED:
            strlcpy(e->fixed_time, v, sizeof e->fixed_time);
            /* A fixed time means a fixed start unless the start type was named too. */
            if (*v && !f_start_type)
                e->start_type = 'F';
            break;
        case CTL_FIELD_TAG:
            strlcpy(e->tag, v, sizeof e->tag);
            break;
        case CTL_FIELD_ASSETS:
            strlcpy(e->assets, v, sizeof e->assets);
            break;
        case CTL_FIELD_AUDIO_MAP:
            strlcpy(e->audio_map, v, sizeof e->audio_map);
            break;
        case CTL_FIELD_AUDIO_AMP:
            strlcpy(e->audio_amp, v, sizeof e->audio_amp);
            break;
        case CTL_FIELD_AR:
            strlcpy(e->ar, v, sizeof e->ar);
            break;
        default:
            break;
        }
    }
    if (ed->f_meta) {
        pelmorabox_event_clear_meta(e);
        for (const auto &kv : ed->meta) {
            int before = e->metadata_cnt;
            pelmorabox_event_add_meta(e, kv.first.c_str(), kv.second.c_str());
            if (e->metadata_cnt != before + 1) {
                *err = "out of memory";
                pelmorabox_event_destroy(&e);
                return nullptr;
            }
        }
    }
    /* The line is what travels: it must fit whole, never be cut. */
    std::vector<char> buf(PELMORABOX_EVENT_LINE_MAX + 2);
    pelmorabox_event_format_string(e, buf.data(), (int)buf.size());
    size_t len = strlen(buf.data());
    if (len > PELMORABOX_EVENT_LINE_MAX) {
        *err = "the event line would exceed " + std::to_string(PELMORABOX_EVENT_LINE_MAX) +
               " characters (metadata too large)";
        pelmorabox_event_destroy(&e);
        return nullptr;
    }
    return e;
}

/* ---- The command line. ---- */

namespace {

/* What a row's setter answers besides 0 (taken) and -22 (err set). */
#define CTL_OPT_EXIT 1    /* --help or --version: written, nothing to run */
#define CTL_OPT_UNKNOWN 2 /* not an option of this command after all */

/* Which commands a row serves: a bit per ctl_cmd_t (CTL_CMD_NONE: before
 * the command). */
#define CTL_ON(c) (1u << (c))
#define CTL_ANY (~0u)
#define CTL_EVENT (CTL_ON(CTL_CMD_INSERT) | CTL_ON(CTL_CMD_UPDATE))

/* The parse in progress: the arguments and what only the checks at the end
 * need to know. */
struct ctl_parse
{
    ctl_args_t *a;
    FILE *out;
    int f_search_fields, f_mask;
};

typedef int (*ctl_opt_fn)(ctl_parse *p, const std::string &opt, const std::string &val, int arg, std::string *err);

struct ctl_opt_row
{
    const char *name;
    unsigned cmds;
    int f_value;
    ctl_opt_fn set;
    int arg; /* handed to set: which field, which variant */
};

int ctl_one_int(const std::string &opt, const std::string &v, int64_t lo, int64_t hi, int64_t *out, std::string *err)
{
    if (ctl_parse_int64(v.c_str(), lo, hi, 0, out) == 0)
        return 0;
    *err = opt + " takes a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) + ", not [" + v + "]";
    return -22;
}

int ctl_read_stdin_line(std::string *out)
{
    out->clear();
    int c;
    while ((c = getchar()) != EOF && c != '\n') {
        if (out->size() > PELMORABOX_EVENT_LINE_MAX)
            break;
        out->push_back((char)c);
    }
    if (!out->empty() && out->back() == '\r')
        out->pop_back();
    return 0;
}

/* arg: 0 --help, 1 --version. */
int opt_help(ctl_parse *p, const std::string &, const std::string &, int arg, std::string *)
{
    if (arg)
        fprintf(p->out, "pelmora-ctl %s\n", PELMORA_VERSION);
    else
        ctl_usage(p->out);
    return CTL_OPT_EXIT;
}

/* arg: 0 the automation server, 1 the library, 2 the IO server. */
int opt_host(ctl_parse *p, const std::string &opt, const std::string &val, int arg, std::string *err)
{
    ctl_args_t *a = p->a;
    std::string *h = arg == 0 ? &a->host : arg == 1 ? &a->lib_host : &a->io_host;
    if (ctl_host_url(val.c_str(), arg == 0 ? &a->url : arg == 1 ? &a->lib_url : &a->io_url) < 0)
        return ctl_fail(err, opt + " takes HOST:PORT (port 1..65535), not [" + val + "]");
    *h = val;
    return 0;
}

int opt_table(ctl_parse *p, const std::string &, const std::string &, int arg, std::string *)
{
    p->a->f_table = arg;
    return 0;
}

/* A flag of the arguments. arg: 0 --quiet, 1 search --all, 2 --no-meta. */
int opt_flag(ctl_parse *p, const std::string &, const std::string &, int arg, std::string *)
{
    *(arg == 0 ? &p->a->f_quiet : arg == 1 ? &p->a->f_search_all : &p->a->edit.f_meta) = 1;
    return 0;
}

/* A whole number into an int of the arguments. arg: 0 --timeout, 1
 * --connect-timeout (1 to 3600000 ms), 2 --idx (the bus), 3 --from. */
int opt_int(ctl_parse *p, const std::string &opt, const std::string &val, int arg, std::string *err)
{
    int *field[] = {&p->a->timeout_ms, &p->a->connect_timeout_ms, &p->a->bus_idx, &p->a->search_from};
    int64_t x = 0;
    if (ctl_one_int(opt, val, arg < 2 ? 1 : 0, arg < 2 ? 3600000 : INT32_MAX, &x, err) < 0)
        return -22;
    *field[arg] = (int)x;
    return 0;
}

int opt_truncate_sys_id(ctl_parse *p, const std::string &opt, const std::string &val, int, std::string *err)
{
    if (ctl_one_int(opt, val, 0, INT64_MAX, &p->a->sys_id, err) < 0)
        return -22;
    p->a->f_sys_id = 1;
    return 0;
}

/* arg: 1 --below, 0 --above. */
int opt_above_below(ctl_parse *p, const std::string &, const std::string &, int arg, std::string *err)
{
    if (p->a->f_below >= 0 && p->a->f_below != arg)
        return ctl_fail(err, "truncate takes --above or --below, not both");
    p->a->f_below = arg;
    return 0;
}

int opt_fields(ctl_parse *p, const std::string &, const std::string &val, int, std::string *err)
{
    if (ctl_parse_search_fields(val.c_str(), &p->a->search_flags, err) < 0)
        return -22;
    p->f_search_fields = 1;
    return 0;
}

/* arg: 1 --absent, 0 --mask. */
int opt_mask(ctl_parse *p, const std::string &, const std::string &val, int arg, std::string *err)
{
    if (p->f_mask)
        return ctl_fail(err, "errors takes one --mask or --absent");
    if (ctl_parse_error_mask(arg ? "absent" : val.c_str(), &p->a->error_mask, err) < 0)
        return -22;
    p->f_mask = 1;
    return 0;
}

int opt_delete_sys_id(ctl_parse *p, const std::string &opt, const std::string &val, int, std::string *err)
{
    size_t at = 0;
    do {
        size_t comma = val.find(',', at);
        std::string w = val.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        at = comma == std::string::npos ? std::string::npos : comma + 1;
        int64_t x = 0;
        if (ctl_one_int(opt, w, 0, INT64_MAX, &x, err) < 0)
            return -22;
        p->a->ids.push_back(x);
    } while (at != std::string::npos);
    p->a->f_sys_id = 1;
    return 0;
}

/* arg: the ctl_field_t the option sets. */
int opt_field(ctl_parse *p, const std::string &, const std::string &val, int arg, std::string *err)
{
    if (ctl_field_check(arg, val, err) < 0)
        return -22;
    p->a->edit.fields.emplace_back(arg, val);
    return 0;
}

int opt_meta(ctl_parse *p, const std::string &, const std::string &val, int, std::string *err)
{
    size_t eq = val.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == val.size())
        return ctl_fail(err, "--meta takes KEY=VALUE with a non-empty key and value, not [" + val + "]");
    std::string k = val.substr(0, eq), v = val.substr(eq + 1);
    if (k.size() > 255 || v.size() > 4095)
        return ctl_fail(err, "--meta key over 255 or value over 4095 bytes");
    p->a->edit.meta.emplace_back(k, v);
    p->a->edit.f_meta = 1;
    return 0;
}

int opt_line(ctl_parse *p, const std::string &, const std::string &val, int, std::string *err)
{
    ctl_event_edit_t *ed = &p->a->edit;
    if (ed->f_line)
        return ctl_fail(err, "--line given twice");
    if (val == "-")
        ctl_read_stdin_line(&ed->line);
    else
        ed->line = ctl_line_unescape(val.c_str());
    if (ctl_line_check(ed->line, err) < 0)
        return -22;
    ed->f_line = 1;
    return 0;
}

/* insert's position. arg: 0 --at, 1 --before-sys-id. Update takes a value
 * under both names too, only to refuse them. */
int opt_position(ctl_parse *p, const std::string &opt, const std::string &val, int arg, std::string *err)
{
    ctl_args_t *a = p->a;
    if (a->cmd != CTL_CMD_INSERT)
        return CTL_OPT_UNKNOWN;
    if (a->event_idx >= 0 || a->f_at_end || a->f_sys_id)
        return ctl_fail(err, "insert takes one position: --at IDX, --at end or --before-sys-id ID");
    if (arg == 0 && val == "end")
        a->f_at_end = 1;
    else if (ctl_one_int(opt, val, arg, INT64_MAX, arg ? &a->sys_id : &a->event_idx, err) < 0)
        return -22;
    a->f_sys_id = arg;
    return 0;
}

/* update's event. arg: 0 --idx, 1 --sys-id. Insert takes a value under
 * --sys-id too, only to refuse it. */
int opt_target(ctl_parse *p, const std::string &opt, const std::string &val, int arg, std::string *err)
{
    ctl_args_t *a = p->a;
    if (a->cmd != CTL_CMD_UPDATE)
        return CTL_OPT_UNKNOWN;
    if (a->event_idx >= 0 || a->f_sys_id)
        return ctl_fail(err, "update takes one of --idx IDX or --sys-id ID");
    if (ctl_one_int(opt, val, arg, INT64_MAX, arg ? &a->sys_id : &a->event_idx, err) < 0)
        return -22;
    a->f_sys_id = arg;
    return 0;
}

/* Every option, global and per command; the first row of its name that
 * serves the command takes it. */
const ctl_opt_row ctl_opt_rows[] = {
    {"help", CTL_ANY, 0, opt_help, 0},
    {"version", CTL_ANY, 0, opt_help, 1},
    {"host", CTL_ANY, 1, opt_host, 0},
    {"lib", CTL_ANY, 1, opt_host, 1},
    {"io", CTL_ANY, 1, opt_host, 2},
    {"table", CTL_ANY, 0, opt_table, 1},
    {"json", CTL_ANY, 0, opt_table, 0},
    {"quiet", CTL_ANY, 0, opt_flag, 0},
    {"timeout", CTL_ANY, 1, opt_int, 0},
    {"connect-timeout", CTL_ANY, 1, opt_int, 1},
    {"idx", CTL_ON(CTL_CMD_NONE), 1, opt_int, 2},
    {"sys-id", CTL_ON(CTL_CMD_TRUNCATE), 1, opt_truncate_sys_id, 0},
    {"above", CTL_ON(CTL_CMD_TRUNCATE), 0, opt_above_below, 0},
    {"below", CTL_ON(CTL_CMD_TRUNCATE), 0, opt_above_below, 1},
    {"fields", CTL_ON(CTL_CMD_SEARCH), 1, opt_fields, 0},
    {"from", CTL_ON(CTL_CMD_SEARCH), 1, opt_int, 3},
    {"all", CTL_ON(CTL_CMD_SEARCH), 0, opt_flag, 1},
    {"mask", CTL_ON(CTL_CMD_ERRORS), 1, opt_mask, 0},
    {"absent", CTL_ON(CTL_CMD_ERRORS), 0, opt_mask, 1},
    {"sys-id", CTL_ON(CTL_CMD_DELETE), 1, opt_delete_sys_id, 0},
    {"media", CTL_EVENT, 1, opt_field, CTL_FIELD_MEDIA},
    {"title", CTL_EVENT, 1, opt_field, CTL_FIELD_TITLE},
    {"dur", CTL_EVENT, 1, opt_field, CTL_FIELD_DUR},
    {"duration", CTL_EVENT, 1, opt_field, CTL_FIELD_DUR},
    {"in", CTL_EVENT, 1, opt_field, CTL_FIELD_IN},
    {"out", CTL_EVENT, 1, opt_field, CTL_FIELD_OUT},
    {"type", CTL_EVENT, 1, opt_field, CTL_FIELD_TYPE},
    {"start-type", CTL_EVENT, 1, opt_field, CTL_FIELD_START_TYPE},
    {"fixed", CTL_EVENT, 1, opt_field, CTL_FIELD_FIXED},
    {"tag", CTL_EVENT, 1, opt_field, CTL_FIELD_TAG},
    {"assets", CTL_EVENT, 1, opt_field, CTL_FIELD_ASSETS},
    {"audio-map", CTL_EVENT, 1, opt_field, CTL_FIELD_AUDIO_MAP},
    {"audio-amp", CTL_EVENT, 1, opt_field, CTL_FIELD_AUDIO_AMP},
    {"ar", CTL_EVENT, 1, opt_field, CTL_FIELD_AR},
    {"meta", CTL_EVENT, 1, opt_meta, 0},
    {"no-meta", CTL_EVENT, 0, opt_flag, 2},
    {"line", CTL_EVENT, 1, opt_line, 0},
    {"at", CTL_EVENT, 1, opt_position, 0},
    {"before-sys-id", CTL_EVENT, 1, opt_position, 1},
    {"idx", CTL_ON(CTL_CMD_UPDATE), 1, opt_target, 0},
    {"sys-id", CTL_EVENT, 1, opt_target, 1},
};

const ctl_opt_row *ctl_opt_find(const std::string &name, ctl_cmd_t cmd)
{
    for (const ctl_opt_row &o : ctl_opt_rows)
        if (name == o.name && (o.cmds & CTL_ON(cmd)))
            return &o;
    return nullptr;
}

/* ---- Positional arguments and the checks once all is read. ---- */

int fin_events(ctl_parse *p, const std::vector<std::string> &pos, std::string *err)
{
    for (const std::string &s : pos) {
        ctl_range_t r;
        if (ctl_parse_range(s.c_str(), &r) < 0)
            return ctl_fail(err, "events: [" + s + "] is not a list index N, a range A-B or A-");
        p->a->ranges.push_back(r);
    }
    return 0;
}

int fin_take_n(ctl_parse *p, const std::vector<std::string> &pos, std::string *err)
{
    return ctl_one_int("take-n", pos[0], 0, INT32_MAX, &p->a->event_idx, err);
}

int fin_run(ctl_parse *p, const std::vector<std::string> &pos, std::string *err)
{
    if (pos[0] == "start" || pos[0] == "1" || pos[0] == "on")
        p->a->f_run = 1;
    else if (pos[0] == "stop" || pos[0] == "0" || pos[0] == "off")
        p->a->f_run = 0;
    else
        return ctl_fail(err, "run takes start or stop, not [" + pos[0] + "]");
    return 0;
}

/* load, append, save, search: a playlist name or the search key. */
int fin_name(ctl_parse *p, const std::vector<std::string> &pos, std::string *err)
{
    ctl_args_t *a = p->a;
    if (pos[0].empty())
        return ctl_fail(err, std::string(a->cmd_name) + (a->cmd == CTL_CMD_SEARCH ? ": the search key is empty"
                                                                                  : ": the playlist name is empty"));
    a->name = pos[0];
    if (a->cmd == CTL_CMD_SEARCH && !p->f_search_fields)
        a->search_flags = (1 << PELMORABOX_EVENT_SEARCH_IDX_TITLE) | (1 << PELMORABOX_EVENT_SEARCH_IDX_MEDIA_ID);
    return 0;
}

int fin_truncate(ctl_parse *p, const std::vector<std::string> &, std::string *err)
{
    if (!p->a->f_sys_id || p->a->f_below < 0)
        return ctl_fail(err, "truncate needs --sys-id ID and one of --above or --below");
    return 0;
}

int fin_errors(ctl_parse *p, const std::vector<std::string> &, std::string *)
{
    if (!p->f_mask)
        p->a->error_mask = 0x2000100;
    return 0;
}

int fin_delete(ctl_parse *p, const std::vector<std::string> &pos, std::string *err)
{
    ctl_args_t *a = p->a;
    if (a->f_sys_id && !pos.empty())
        return ctl_fail(err, "delete takes list indexes or --sys-id ids, not both");
    for (const std::string &s : pos) {
        ctl_range_t r;
        if (ctl_parse_range(s.c_str(), &r) < 0 || r.to < 0)
            return ctl_fail(err, "delete: [" + s + "] is not a list index N or a range A-B");
        if (r.to - r.from + 1 + (int64_t)a->ids.size() > 100000)
            return ctl_fail(err, "delete: more than 100000 indexes");
        for (int64_t k = r.from; k <= r.to; k++)
            a->ids.push_back(k);
    }
    if (a->ids.empty())
        return ctl_fail(err, "delete needs list indexes or --sys-id ids");
    if (a->ids.size() > 100000)
        return ctl_fail(err, "delete: more than 100000 ids");
    return 0;
}

/* Built once now so that a line too long is a usage error, not a call. */
int ctl_edit_probe(ctl_args_t *a, std::string *err)
{
    pelmorabox_event_t *probe = ctl_event_build(&a->edit, nullptr, err);
    if (!probe)
        return -22;
    pelmorabox_event_destroy(&probe);
    return 0;
}

int fin_insert(ctl_parse *p, const std::vector<std::string> &, std::string *err)
{
    ctl_args_t *a = p->a;
    if (a->event_idx < 0 && !a->f_at_end && !a->f_sys_id)
        return ctl_fail(err, "insert needs a position: --at IDX, --at end or --before-sys-id ID");
    if (!a->edit.f_line && a->edit.fields.empty() && !a->edit.f_meta)
        return ctl_fail(err, "insert needs the event: --line or fields such as --media and --dur");
    return ctl_edit_probe(a, err);
}

int fin_update(ctl_parse *p, const std::vector<std::string> &, std::string *err)
{
    ctl_args_t *a = p->a;
    if (a->event_idx < 0 && !a->f_sys_id)
        return ctl_fail(err, "update needs --idx IDX or --sys-id ID");
    if (!a->edit.f_line && a->edit.fields.empty() && !a->edit.f_meta)
        return ctl_fail(err, "update: nothing to change (give --line or fields)");
    return ctl_edit_probe(a, err);
}

typedef int (*ctl_fin_fn)(ctl_parse *p, const std::vector<std::string> &pos, std::string *err);

/* The automation server's commands: how many positional arguments each
 * takes and what checks them and the options together. */
struct ctl_cmd_row
{
    const char *name;
    ctl_cmd_t cmd;
    size_t pos_min, pos_max;
    ctl_fin_fn finish;
};

const size_t CTL_MANY = (size_t)-1;

const ctl_cmd_row ctl_cmds[] = {
    {"state", CTL_CMD_STATE, 0, 0, nullptr},
    {"events", CTL_CMD_EVENTS, 0, CTL_MANY, fin_events},
    {"take", CTL_CMD_TAKE, 0, 0, nullptr},
    {"take-n", CTL_CMD_TAKE_N, 1, 1, fin_take_n},
    {"run", CTL_CMD_RUN, 1, 1, fin_run},
    {"fallback", CTL_CMD_FALLBACK, 0, 0, nullptr},
    {"load", CTL_CMD_LOAD, 1, 1, fin_name},
    {"append", CTL_CMD_APPEND, 1, 1, fin_name},
    {"save", CTL_CMD_SAVE, 1, 1, fin_name},
    {"close", CTL_CMD_CLOSE, 0, 0, nullptr},
    {"truncate", CTL_CMD_TRUNCATE, 0, 0, fin_truncate},
    {"playlists", CTL_CMD_PLAYLISTS, 0, 0, nullptr},
    {"search", CTL_CMD_SEARCH, 1, 1, fin_name},
    {"errors", CTL_CMD_ERRORS, 0, 0, fin_errors},
    {"insert", CTL_CMD_INSERT, 0, 0, fin_insert},
    {"update", CTL_CMD_UPDATE, 0, 0, fin_update},
    {"delete", CTL_CMD_DELETE, 0, CTL_MANY, fin_delete},
};

/* Options that take a value, global and per command. */
int ctl_takes_value(const std::string &name, const ctl_args_t *a)
{
    const ctl_opt_row *o = ctl_opt_find(name, a->cmd);
    return (o && o->f_value) || (a->cmd == CTL_CMD_SYS && ctl_sys_takes_value(&a->sys, name.c_str()));
}

/* A word that is no option: the command, a group's sub-command, or a
 * positional argument. */
int ctl_word(ctl_args_t *a, const std::string &arg, std::vector<std::string> *pos, std::string *err)
{
    if (a->cmd == CTL_CMD_NONE && ctl_sys_is_group(arg.c_str())) {
        a->cmd = CTL_CMD_SYS;
        a->sys.group = arg;
        a->cmd_name = "";
    } else if (a->cmd == CTL_CMD_SYS && a->sys.sub < 0)
        return ctl_sys_select(a, arg.c_str(), err) < 0 ? -22 : 0;
    else if (a->cmd == CTL_CMD_NONE) {
        for (const auto &c : ctl_cmds)
            if (arg == c.name) {
                a->cmd = c.cmd;
                a->cmd_name = c.name;
            }
        if (a->cmd == CTL_CMD_NONE)
            return ctl_fail(err, "unknown command [" + arg + "] (see --help)");
    } else
        pos->push_back(arg);
    return 0;
}

} // namespace

int ctl_args_parse(int argc, char **argv, ctl_args_t *a, std::string *err, FILE *out)
{
    ctl_parse p = {a, out, 0, 0};
    std::vector<std::string> pos;
    int f_dashdash = 0;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (f_dashdash || arg.size() < 2 || arg[0] != '-') {
            if (ctl_word(a, arg, &pos, err) < 0)
                return -22;
            continue;
        }
        if (arg == "--") {
            if (a->cmd == CTL_CMD_NONE)
                return ctl_fail(err, "no command before --");
            f_dashdash = 1;
            continue;
        }
        std::string name, val;
        if (arg == "-h")
            name = "help";
        else if (arg == "-q")
            name = "quiet";
        else if (arg.compare(0, 2, "--") != 0)
            return ctl_fail(err, "unknown option [" + arg + "]");
        /* After the command --idx is the event's list index (update only). */
        if (a->cmd != CTL_CMD_NONE && a->cmd != CTL_CMD_UPDATE && arg.substr(2, arg.find('=') - 2) == "idx")
            return ctl_fail(err, std::string("--idx (the bus index) goes before the command: pelmora-ctl --host H:P "
                                             "--idx N ") +
                                     a->cmd_name + " ...");
        if (name.empty() &&
            optwalk_long(
                argc, argv, &i, [a](const std::string &n) { return ctl_takes_value(n, a) != 0; }, &name, &val, err) < 0)
            return -22;
        const std::string opt = "--" + name;
        const ctl_opt_row *o = ctl_opt_find(name, a->cmd);
        int r = o ? o->set(&p, opt, val, o->arg, err) : CTL_OPT_UNKNOWN;
        if (r == CTL_OPT_UNKNOWN && a->cmd == CTL_CMD_SYS) {
            r = ctl_sys_opt(a, name.c_str(), val, err);
            r = r < 0 ? -22 : r ? 0 : CTL_OPT_UNKNOWN;
        }
        if (r < 0)
            return -22;
        if (r == CTL_OPT_EXIT)
            return 1;
        if (r == CTL_OPT_UNKNOWN)
            return ctl_fail(err, "unknown option [" + opt + "]" +
                                     (a->cmd == CTL_CMD_NONE ? std::string(" before the command")
                                                             : std::string(" for ") + a->cmd_name));
    }

    if (a->cmd == CTL_CMD_NONE)
        return ctl_fail(err, "no command given (see --help)");
    if (a->cmd == CTL_CMD_SYS)
        return ctl_sys_finish(a, pos, err);
    if (a->host.empty())
        return ctl_fail(err, "--host HOST:PORT is required");
    for (const ctl_cmd_row &c : ctl_cmds) {
        if (c.cmd != a->cmd)
            continue;
        const std::string cmd = c.name;
        if (pos.size() < c.pos_min)
            return ctl_fail(err, cmd + ": an argument is missing (see --help)");
        if (pos.size() > c.pos_max)
            return ctl_fail(err, cmd + ": unexpected argument [" + pos[c.pos_max] + "]");
        return c.finish ? c.finish(&p, pos, err) : 0;
    }
    return 0;
}
