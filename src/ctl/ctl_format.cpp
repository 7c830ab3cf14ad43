/* pelmora-ctl output: JSON lines and text tables. Every text is treated as
 * bytes from the outside: escaped for JSON, made printable for tables. */
#include "ctl_format.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "ctl_args.h"
#include "pelmora.h"

size_t ctl_utf8_seq(const unsigned char *s, size_t n, uint32_t *cp)
{
    if (!n)
        return 0;
    unsigned c = s[0];
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    size_t len;
    uint32_t v, min;
    if (c >= 0xc2 && c <= 0xdf) {
        len = 2;
        v = c & 0x1f;
        min = 0x80;
    } else if (c >= 0xe0 && c <= 0xef) {
        len = 3;
        v = c & 0x0f;
        min = 0x800;
    } else if (c >= 0xf0 && c <= 0xf4) {
        len = 4;
        v = c & 0x07;
        min = 0x10000;
    } else
        return 0;
    if (n < len)
        return 0;
    for (size_t i = 1; i < len; i++) {
        if ((s[i] & 0xc0) != 0x80)
            return 0;
        v = (v << 6) | (s[i] & 0x3f);
    }
    if (v < min || v > 0x10ffff || (v >= 0xd800 && v <= 0xdfff))
        return 0;
    *cp = v;
    return len;
}

void ctl_json_string(std::string *out, const char *s, size_t len)
{
    const unsigned char *p = (const unsigned char *)s;
    out->push_back('"');
    for (size_t i = 0; i < len;) {
        unsigned char c = p[i];
        char esc[8];
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back((char)c);
            i++;
            continue;
        }
        if (c < 0x20 || c == 0x7f) {
            switch (c) {
            case '\b':
                out->append("\\b");
                break;
            case '\f':
                out->append("\\f");
                break;
            case '\n':
                out->append("\\n");
                break;
            case '\r':
                out->append("\\r");
                break;
            case '\t':
                out->append("\\t");
                break;
            default:
                snprintf(esc, sizeof esc, "\\u%04x", c);
                out->append(esc);
            }
            i++;
            continue;
        }
        uint32_t cp;
        size_t n = ctl_utf8_seq(p + i, len - i, &cp);
        if (n) {
            out->append(s + i, n);
            i += n;
            continue;
        }
        snprintf(esc, sizeof esc, "\\u%04x", c);
        out->append(esc);
        i++;
    }
    out->push_back('"');
}

void ctl_json_field(std::string *out, const char *s, size_t size)
{
    ctl_json_string(out, s, strnlen(s, size));
}

std::vector<std::string> ctl_flag_names(int64_t flags)
{
    static const struct
    {
        int64_t bit;
        const char *name;
    } bits[] = {{PELMORABOX_EVENT_FLAG_CUEING, "CUEING"},         {PELMORABOX_EVENT_FLAG_PLAY, "PLAY"},
                {PELMORABOX_EVENT_FLAG_PRESENT, "PRESENT"},       {PELMORABOX_EVENT_FLAG_CUED, "CUED"},
                {PELMORABOX_EVENT_FLAG_CUE_FAILED, "CUE_FAILED"}, {PELMORABOX_EVENT_FLAG_PLAY_FAILED, "PLAY_FAILED"},
                {PELMORABOX_EVENT_FLAG_PLAYING, "PLAYING"},       {0x80, "ABSENT"},
                {PELMORABOX_EVENT_FLAG_RANGE_ERR, "RANGE_ERR"},   {PELMORABOX_EVENT_FLAG_SUBCLIP, "SUBCLIP"},
                {PELMORABOX_EVENT_FLAG_NON_CONT, "NON_CONT"}};
    std::vector<std::string> names;
    int64_t known = 0;
    for (const auto &b : bits) {
        known |= b.bit;
        if (flags & b.bit)
            names.push_back(b.name);
        else if (b.bit == 0x80 && !(flags & PELMORABOX_EVENT_FLAG_PRESENT))
            names.push_back(b.name); /* media not present: the event is absent */
    }
    for (int i = 0; i < 64; i++) {
        uint64_t bit = (uint64_t)1 << i;
        if (((uint64_t)flags & bit) && !((uint64_t)known & bit))
            names.push_back("BIT" + std::to_string(i));
    }
    return names;
}

const char *ctl_start_type_name(char st)
{
    switch (st) {
    case 'M':
        return "MANUAL";
    case 'F':
        return "FIXED TIME";
    case 'G':
        return "GAP FILL";
    default:
        return "FOLLOW";
    }
}

static void ctl_json_i64(std::string *out, const char *key, int64_t v)
{
    char buf[64];
    snprintf(buf, sizeof buf, "\"%s\":%" PRId64, key, v);
    out->append(buf);
}

#define CTL_JSON_TEXT(out, key, field)                                                                                 \
    do {                                                                                                               \
        (out)->append("\"" key "\":");                                                                                 \
        ctl_json_field((out), (field), sizeof(field));                                                                 \
    } while (0)

void ctl_json_state(std::string *out, const pelmorabox_bus_state_t *s)
{
    out->push_back('{');
    ctl_json_i64(out, "f_running", s->f_running);
    out->push_back(',');
    ctl_json_i64(out, "amend", s->amend);
    out->push_back(',');
    ctl_json_i64(out, "count", s->count);
    out->push_back(',');
    CTL_JSON_TEXT(out, "time", s->time);
    out->append(",\"er\":[");
    for (int i = 0; i < 5; i++) {
        char buf[32];
        snprintf(buf, sizeof buf, "%s%" PRId64, i ? "," : "", s->er[i]);
        out->append(buf);
    }
    out->append("],");
    CTL_JSON_TEXT(out, "curr_remain", s->curr_remain);
    out->push_back(',');
    CTL_JSON_TEXT(out, "ply_remain", s->ply_remain);
    out->push_back(',');
    ctl_json_i64(out, "lib_queued_count", s->lib_queued_count);
    out->push_back(',');
    ctl_json_i64(out, "lib_absent_count", s->lib_absent_count);
    out->push_back(',');
    ctl_json_i64(out, "lib_present_count", s->lib_present_count);
    out->push_back(',');
    ctl_json_i64(out, "ply_stat_flag_range", s->ply_stat_flag_range);
    out->push_back(',');
    ctl_json_i64(out, "ply_stat_flag_subclip", s->ply_stat_flag_subclip);
    out->push_back(',');
    CTL_JSON_TEXT(out, "absent_remain", s->absent_remain);
    out->push_back(',');
    CTL_JSON_TEXT(out, "last_playlist", s->last_playlist);
    out->push_back(',');
    CTL_JSON_TEXT(out, "type_C_remain", s->type_C_remain);
    out->push_back(',');
    CTL_JSON_TEXT(out, "type_L_remain", s->type_L_remain);
    out->push_back(',');
    CTL_JSON_TEXT(out, "fixed_time_remain", s->fixed_time_remain);
    out->push_back(',');
    CTL_JSON_TEXT(out, "ply_hash", s->ply_hash);
    out->push_back('}');
}

static void ctl_json_flags(std::string *out, int64_t flags)
{
    ctl_json_i64(out, "flags", flags);
    out->append(",\"flag_names\":[");
    int first = 1;
    for (const std::string &n : ctl_flag_names(flags)) {
        if (!first)
            out->push_back(',');
        first = 0;
        ctl_json_string(out, n.c_str(), n.size());
    }
    out->push_back(']');
}

/* A one-character field: "" for none. */
static void ctl_json_char(std::string *out, const char *key, int c)
{
    out->append("\"");
    out->append(key);
    out->append("\":");
    char ch = (char)c;
    ctl_json_string(out, &ch, c ? 1 : 0);
}

void ctl_json_event(std::string *out, const pelmorabox_event_t *e, int64_t idx)
{
    out->push_back('{');
    if (idx >= 0) {
        ctl_json_i64(out, "idx", idx);
        out->push_back(',');
    }
    ctl_json_i64(out, "sys_id", e->sys_id);
    out->push_back(',');
    ctl_json_i64(out, "amend", e->amend);
    out->push_back(',');
    ctl_json_i64(out, "start", e->start);
    out->push_back(',');
    ctl_json_flags(out, e->flags);
    out->push_back(',');
    CTL_JSON_TEXT(out, "start_time", e->start_time);
    out->push_back(',');
    ctl_json_char(out, "start_type", e->start_type);
    out->append(",\"start_type_name\":");
    const char *stn = ctl_start_type_name(e->start_type);
    ctl_json_string(out, stn, strlen(stn));
    out->push_back(',');
    ctl_json_char(out, "event_type", e->event_type);
    out->push_back(',');
    CTL_JSON_TEXT(out, "media_id", e->media_id);
    out->push_back(',');
    CTL_JSON_TEXT(out, "title", e->title);
    out->push_back(',');
    CTL_JSON_TEXT(out, "mark_in", e->mark_in);
    out->push_back(',');
    CTL_JSON_TEXT(out, "mark_out", e->mark_out);
    out->push_back(',');
    CTL_JSON_TEXT(out, "duration", e->duration);
    out->push_back(',');
    CTL_JSON_TEXT(out, "assets", e->assets);
    out->push_back(',');
    CTL_JSON_TEXT(out, "fixed_time", e->fixed_time);
    out->push_back(',');
    CTL_JSON_TEXT(out, "tag", e->tag);
    out->append(",\"metadata\":[");
    for (int i = 0; i < e->metadata_cnt && e->metadata_pairs; i++) {
        if (i)
            out->push_back(',');
        out->push_back('[');
        ctl_json_field(out, e->metadata_pairs[i].key, PELMORABOX_META_KEY_MAX + 1);
        out->push_back(',');
        ctl_json_field(out, e->metadata_pairs[i].val, PELMORABOX_META_VAL_MAX + 1);
        out->push_back(']');
    }
    out->append("],");
    CTL_JSON_TEXT(out, "audio_map", e->audio_map);
    out->push_back(',');
    CTL_JSON_TEXT(out, "audio_amp", e->audio_amp);
    out->push_back(',');
    CTL_JSON_TEXT(out, "ar", e->ar);
    out->push_back(',');
    CTL_JSON_TEXT(out, "dst", e->dst);
    out->push_back(',');
    CTL_JSON_TEXT(out, "origin", e->origin);
    out->append(",\"line\":");
    std::vector<char> line(PELMORABOX_EVENT_LINE_BUF);
    pelmorabox_event_format_string(const_cast<pelmorabox_event_t *>(e), line.data(), (int)line.size());
    ctl_json_string(out, line.data(), strlen(line.data()));
    out->push_back('}');
}

void ctl_json_flagged(std::string *out, const pelmorabox_event_t *e)
{
    out->push_back('{');
    ctl_json_i64(out, "sys_id", e->sys_id);
    out->push_back(',');
    ctl_json_i64(out, "start", e->start);
    out->push_back(',');
    CTL_JSON_TEXT(out, "start_time", e->start_time);
    out->push_back(',');
    CTL_JSON_TEXT(out, "media_id", e->media_id);
    out->push_back(',');
    CTL_JSON_TEXT(out, "title", e->title);
    out->push_back(',');
    ctl_json_flags(out, e->flags);
    out->push_back('}');
}

void ctl_json_result(std::string *out, const char *command, int result, const pelmorabox_bus_state_t *s)
{
    out->append("{\"command\":");
    ctl_json_string(out, command, strlen(command));
    out->push_back(',');
    ctl_json_i64(out, "result", result);
    out->append(",\"state\":");
    ctl_json_state(out, s);
    out->push_back('}');
}

/* ---- Tables. ---- */

static void ctl_utf8_put(std::string *out, uint32_t cp)
{
    if (cp < 0x80)
        out->push_back((char)cp);
    else if (cp < 0x800) {
        out->push_back((char)(0xc0 | (cp >> 6)));
        out->push_back((char)(0x80 | (cp & 0x3f)));
    } else if (cp < 0x10000) {
        out->push_back((char)(0xe0 | (cp >> 12)));
        out->push_back((char)(0x80 | ((cp >> 6) & 0x3f)));
        out->push_back((char)(0x80 | (cp & 0x3f)));
    } else {
        out->push_back((char)(0xf0 | (cp >> 18)));
        out->push_back((char)(0x80 | ((cp >> 12) & 0x3f)));
        out->push_back((char)(0x80 | ((cp >> 6) & 0x3f)));
        out->push_back((char)(0x80 | (cp & 0x3f)));
    }
}

std::string ctl_cell_text(const char *s, size_t len)
{
    const unsigned char *p = (const unsigned char *)s;
    std::string out;
    for (size_t i = 0; i < len;) {
        unsigned char c = p[i];
        if (c < 0x20 || c == 0x7f) {
            char esc[8];
            if (c == '\t')
                out.append("\\t");
            else if (c == '\n')
                out.append("\\n");
            else if (c == '\r')
                out.append("\\r");
            else {
                snprintf(esc, sizeof esc, "\\x%02x", c);
                out.append(esc);
            }
            i++;
            continue;
        }
        uint32_t cp;
        size_t n = ctl_utf8_seq(p + i, len - i, &cp);
        if (n) {
            out.append(s + i, n);
            i += n;
        } else {
            ctl_utf8_put(&out, c);
            i++;
        }
    }
    return out;
}

static int ctl_cp_width(uint32_t cp)
{
    static const uint32_t zero[][2] = {{0x0300, 0x036f}, {0x1ab0, 0x1aff}, {0x1dc0, 0x1dff}, {0x200b, 0x200f},
                                       {0x20d0, 0x20ff}, {0xfe00, 0xfe0f}, {0xfe20, 0xfe2f}};
    static const uint32_t wide[][2] = {{0x1100, 0x115f},   {0x2e80, 0x303e},   {0x3041, 0x33ff},  {0x3400, 0x4dbf},
                                       {0x4e00, 0x9fff},   {0xa000, 0xa4cf},   {0xac00, 0xd7a3},  {0xf900, 0xfaff},
                                       {0xfe30, 0xfe4f},   {0xff00, 0xff60},   {0xffe0, 0xffe6},  {0x1f300, 0x1f64f},
                                       {0x1f900, 0x1f9ff}, {0x20000, 0x2fffd}, {0x30000, 0x3fffd}};
    for (const auto &r : zero)
        if (cp >= r[0] && cp <= r[1])
            return 0;
    for (const auto &r : wide)
        if (cp >= r[0] && cp <= r[1])
            return 2;
    return 1;
}

size_t ctl_text_width(const std::string &s)
{
    const unsigned char *p = (const unsigned char *)s.data();
    size_t w = 0;
    for (size_t i = 0; i < s.size();) {
        uint32_t cp;
        size_t n = ctl_utf8_seq(p + i, s.size() - i, &cp);
        if (!n) {
            w++;
            i++;
            continue;
        }
        w += (size_t)ctl_cp_width(cp);
        i += n;
    }
    return w;
}

std::string ctl_table_render(const ctl_table_t *t)
{
    size_t cols = t->head.size();
    std::vector<size_t> width(cols, 0);
    for (size_t c = 0; c < cols; c++)
        width[c] = ctl_text_width(t->head[c]);
    for (const auto &row : t->rows)
        for (size_t c = 0; c < cols && c < row.size(); c++)
            width[c] = std::max(width[c], ctl_text_width(row[c]));
    std::string out;
    auto put_row = [&](const std::vector<std::string> &row) {
        std::string line;
        for (size_t c = 0; c < cols; c++) {
            const std::string cell = c < row.size() ? row[c] : std::string();
            size_t pad = width[c] - ctl_text_width(cell);
            if (c)
                line.append("  ");
            int right = c < t->right.size() && t->right[c];
            if (right)
                line.append(pad, ' ');
            line.append(cell);
            if (!right)
                line.append(pad, ' ');
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out.append(line);
        out.push_back('\n');
    };
    put_row(t->head);
    for (const auto &row : t->rows)
        put_row(row);
    return out;
}

static std::string ctl_cell_field(const char *s, size_t size)
{
    return ctl_cell_text(s, strnlen(s, size));
}

#define CTL_CELL(field) ctl_cell_field((field), sizeof(field))

static std::string ctl_flags_cell(int64_t flags)
{
    std::string s;
    for (const std::string &n : ctl_flag_names(flags)) {
        if (!s.empty())
            s.push_back(',');
        s.append(n);
    }
    return s;
}

static std::string ctl_char_cell(int c)
{
    char ch = (char)c;
    return c && c != ' ' ? ctl_cell_text(&ch, 1) : std::string();
}

void ctl_table_events_init(ctl_table_t *t)
{
    t->head = {"IDX", "SYS_ID", "START_TIME", "ST", "T", "DURATION", "IN", "OUT", "MEDIA_ID", "TITLE", "FLAGS"};
    t->right = {1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    t->rows.clear();
}

void ctl_table_events_add(ctl_table_t *t, const pelmorabox_event_t *e, int64_t idx)
{
    t->rows.push_back({idx >= 0 ? std::to_string(idx) : std::string(), std::to_string(e->sys_id),
                       CTL_CELL(e->start_time), ctl_char_cell(e->start_type), ctl_char_cell(e->event_type),
                       CTL_CELL(e->duration), CTL_CELL(e->mark_in), CTL_CELL(e->mark_out), CTL_CELL(e->media_id),
                       CTL_CELL(e->title), ctl_flags_cell(e->flags)});
}

void ctl_table_flagged_init(ctl_table_t *t)
{
    t->head = {"SYS_ID", "START_TIME", "MEDIA_ID", "TITLE", "FLAGS"};
    t->right = {1, 0, 0, 0, 0};
    t->rows.clear();
}

void ctl_table_flagged_add(ctl_table_t *t, const pelmorabox_event_t *e)
{
    t->rows.push_back({std::to_string(e->sys_id), CTL_CELL(e->start_time), CTL_CELL(e->media_id), CTL_CELL(e->title),
                       ctl_flags_cell(e->flags)});
}

void ctl_table_state(ctl_table_t *t, const char *command, int result, const pelmorabox_bus_state_t *s)
{
    t->head = {"NAME", "VALUE"};
    t->right = {0, 0};
    t->rows.clear();
    if (command) {
        t->rows.push_back({"command", command});
        t->rows.push_back({"result", std::to_string(result)});
    }
    std::string er = "[";
    for (int i = 0; i < 5; i++)
        er += (i ? ", " : "") + std::to_string(s->er[i]);
    er += "]";
    t->rows.push_back({"f_running", std::to_string(s->f_running)});
    t->rows.push_back({"amend", std::to_string(s->amend)});
    t->rows.push_back({"count", std::to_string(s->count)});
    t->rows.push_back({"time", CTL_CELL(s->time)});
    t->rows.push_back({"er", er});
    t->rows.push_back({"curr_remain", CTL_CELL(s->curr_remain)});
    t->rows.push_back({"ply_remain", CTL_CELL(s->ply_remain)});
    t->rows.push_back({"lib_queued_count", std::to_string(s->lib_queued_count)});
    t->rows.push_back({"lib_absent_count", std::to_string(s->lib_absent_count)});
    t->rows.push_back({"lib_present_count", std::to_string(s->lib_present_count)});
    t->rows.push_back({"ply_stat_flag_range", std::to_string(s->ply_stat_flag_range)});
    t->rows.push_back({"ply_stat_flag_subclip", std::to_string(s->ply_stat_flag_subclip)});
    t->rows.push_back({"absent_remain", CTL_CELL(s->absent_remain)});
    t->rows.push_back({"last_playlist", CTL_CELL(s->last_playlist)});
    t->rows.push_back({"type_C_remain", CTL_CELL(s->type_C_remain)});
    t->rows.push_back({"type_L_remain", CTL_CELL(s->type_L_remain)});
    t->rows.push_back({"fixed_time_remain", CTL_CELL(s->fixed_time_remain)});
    t->rows.push_back({"ply_hash", CTL_CELL(s->ply_hash)});
}

int ctl_exit_code(int r)
{
    if (r >= 0)
        return CTL_EXIT_OK;
    return r == -14 ? CTL_EXIT_NO_ANSWER : CTL_EXIT_REFUSED;
}

std::string ctl_result_text(int r)
{
    std::string s = std::to_string(r);
    /* Not strerror(-r): a server may answer INT_MIN, which has no negation. */
    if (r < 0)
        s += std::string(" (") + pelmora_result_text(r) + ")";
    return s;
}
