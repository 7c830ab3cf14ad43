/* pelmora-ctl's library, IO and job command groups: the command table, the
 * checking of their arguments by kind, and the output they share. */
#include "ctl_sys.h"

#include <ctype.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

namespace {

enum ctl_srv
{
    CTL_SRV_LIB,
    CTL_SRV_IO
};

/* Argument kinds, one letter each; a positional in lower case is optional.
 *   P  library path or name: 1..259 bytes, no control characters
 *   T  text: the same
 *   E  text that may be empty
 *   I  whole number 0..2147483647
 *   C  count 1..1000000
 *   M  milliseconds 10..3600000
 *   D  decimal number (finite)
 *   S  job state: pending, started, done, error, cancelled or 0..4
 *   F  flag (options only) */
struct ctl_sys_cmd
{
    const char *group;
    const char *name;
    const char *full; /* the command's name in messages */
    ctl_srv srv;
    const char *args; /* positional kinds */
    const char *opts; /* "name:K ..." */
    const char *need; /* options that must be given, space-separated */
    int (*run)(ctl_sys_ctx_t *c);
    const char *synopsis;
    const char *what;
};

#define CTL_JOB_ADD_OPTS "wait:F interval:M delete-source:F"

const ctl_sys_cmd ctl_sys_cmds[] = {
    {"lib", "list", "lib list", CTL_SRV_LIB, "P", "offset:I limit:C page:C dirs:F items:F", "", ctl_lib_list,
     "PATH [--page N] [--offset N --limit N] [--dirs|--items]",
     "its folders, then its items, read --page items a call (default 100);\n"
     "        --offset with --limit reads one page of items"},
    {"lib", "stat", "lib stat", CTL_SRV_LIB, "P", "", "", ctl_lib_stat, "PATH", "an item's technical metadata"},
    {"lib", "search", "lib search", CTL_SRV_LIB, "T", "all:F", "", ctl_lib_search, "TEXT [--all]",
     "the first item (every item with --all) whose name holds TEXT"},
    {"lib", "search-dur", "lib search-dur", CTL_SRV_LIB, "DD", "all:F", "", ctl_lib_search_dur, "MIN MAX [--all]",
     "items lasting from MIN up to MAX seconds"},
    {"lib", "mkdir", "lib mkdir", CTL_SRV_LIB, "P", "", "", ctl_lib_mkdir, "PATH", "make a folder"},
    {"lib", "rename", "lib rename", CTL_SRV_LIB, "PP", "", "", ctl_lib_rename, "PATH NEWPATH",
     "rename or move an item or folder to a full new path"},
    {"lib", "move", "lib move", CTL_SRV_LIB, "PP", "", "", ctl_lib_move, "PATH FOLDER",
     "move an item or folder into FOLDER, keeping its name"},
    {"lib", "delete", "lib delete", CTL_SRV_LIB, "P", "", "", ctl_lib_delete, "PATH", "delete an item"},
    {"lib", "rmdir", "lib rmdir", CTL_SRV_LIB, "P", "", "", ctl_lib_rmdir, "PATH", "delete a folder"},
    {"lib", "subclips", "lib subclips", CTL_SRV_LIB, "P", "", "", ctl_lib_subclips, "PATH", "an item's subclips"},
    {"lib", "subclip-add", "lib subclip-add", CTL_SRV_LIB, "PIIe", "", "", ctl_lib_subclip_add,
     "PATH IN FRAMES [TITLE]", "register a subclip (in point and length in frames)"},
    {"lib", "subclip-delete", "lib subclip-delete", CTL_SRV_LIB, "PI", "", "", ctl_lib_subclip_delete, "PATH IDX",
     "delete the subclip at position IDX of the item's list"},
    {"lib", "capacity", "lib capacity", CTL_SRV_LIB, "", "", "", ctl_lib_capacity, "",
     "item count, used, total and free bytes, change counter"},
    {"lib", "journal", "lib journal", CTL_SRV_LIB, "", "limit:C", "", ctl_lib_journal, "[--limit N]",
     "the latest changes, newest first (default 128, at most 4096)"},

    {"io", "status", "io status", CTL_SRV_IO, "", "follow:F interval:M count:C", "", ctl_io_status,
     "[--follow [--interval MS] [--count N]]", "the player's status, once or every MS (default 1000)"},
    {"io", "settings", "io settings", CTL_SRV_IO, "", "", "", ctl_io_settings, "", "the settings"},
    {"io", "set", "io set", CTL_SRV_IO, "TE", "", "", ctl_io_set, "NAME VALUE", "change one setting"},
    {"io", "save", "io save", CTL_SRV_IO, "", "", "", ctl_io_save, "", "save the settings"},
    {"io", "modes", "io modes", CTL_SRV_IO, "", "", "", ctl_io_modes, "", "video modes with their encoders and OSDs"},
    {"io", "set-mode", "io set-mode", CTL_SRV_IO, "TT", "", "", ctl_io_set_mode, "MODE ENCODER",
     "by names, or by numbers when both are numbers"},
    {"io", "play", "io play", CTL_SRV_IO, "", "speed:D", "", ctl_io_transport, "[--speed X]",
     "play (X: speed factor, negative backwards, 0 stills)"},
    {"io", "pause", "io pause", CTL_SRV_IO, "", "", "", ctl_io_transport, "", "pause"},
    {"io", "stop", "io stop", CTL_SRV_IO, "", "", "", ctl_io_transport, "", "stop"},
    {"io", "seek", "io seek", CTL_SRV_IO, "I", "", "", ctl_io_seek, "FRAME",
     "go to a frame of the current clip's media"},
    {"io", "cue", "io cue", CTL_SRV_IO, "P", "in:I dur:I tc:I", "", ctl_io_cue, "PATH [--in F] [--dur F] [--tc F]",
     "cue a clip alone, paused at its in point"},

    {"transfer", "targets", "transfer targets", CTL_SRV_LIB, "", "", "", ctl_jobs_targets, "",
     "transfer targets (passwords are never shown)"},
    {"transfer", "list", "transfer list", CTL_SRV_LIB, "", "state:S", "", ctl_jobs_list, "[--state S]",
     "transfer jobs, newest first"},
    {"transfer", "add", "transfer add", CTL_SRV_LIB, "", "target:T local:P remote:T import:F " CTL_JOB_ADD_OPTS,
     "target local remote", ctl_jobs_add,
     "--target ID --local PATH --remote NAME\n"
     "      [--import] [--delete-source] [--wait]",
     "copy a library item to a target (or with --import from it)"},
    {"transfer", "cancel", "transfer cancel", CTL_SRV_LIB, "I", "", "", ctl_jobs_control, "ID", "cancel a job"},
    {"transfer", "restart", "transfer restart", CTL_SRV_LIB, "I", "", "", ctl_jobs_control, "ID",
     "run an ended job again"},
    {"transfer", "delete", "transfer delete", CTL_SRV_LIB, "I", "", "", ctl_jobs_control, "ID", "delete a job"},
    {"transfer", "wait", "transfer wait", CTL_SRV_LIB, "I", "interval:M", "", ctl_jobs_wait, "ID [--interval MS]",
     "follow a job until it ends (0 done, 1 error or cancelled)"},

    {"transcode", "list", "transcode list", CTL_SRV_LIB, "", "state:S", "", ctl_jobs_list, "[--state S]",
     "transcoding jobs, newest first"},
    {"transcode", "add", "transcode add", CTL_SRV_LIB, "",
     "src:P dst:P factory:T profile:T in:E dur:E audio-map:E audio-conf:I timecode:E osd:E transfer-target:E "
     "transfer-delete:F " CTL_JOB_ADD_OPTS,
     "src dst factory profile", ctl_jobs_add,
     "--src PATH --dst PATH --factory F --profile P\n"
     "      [--in TC --dur TC] [--audio-map M --audio-conf N] [--timecode TC]\n"
     "      [--osd T] [--transfer-target ID [--transfer-delete]] [--delete-source]\n"
     "      [--wait]",
     "a transcoding (factory audionorm, profile LUFS: a loudness measurement)"},
    {"transcode", "cancel", "transcode cancel", CTL_SRV_LIB, "I", "", "", ctl_jobs_control, "ID", "cancel a job"},
    {"transcode", "restart", "transcode restart", CTL_SRV_LIB, "I", "", "", ctl_jobs_control, "ID",
     "run an ended job again"},
    {"transcode", "delete", "transcode delete", CTL_SRV_LIB, "I", "", "", ctl_jobs_control, "ID", "delete a job"},
    {"transcode", "wait", "transcode wait", CTL_SRV_LIB, "I", "interval:M", "", ctl_jobs_wait, "ID [--interval MS]",
     "follow a job until it ends (0 done, 1 error or cancelled)"},
};

const ctl_sys_cmd &ctl_sys_entry(const ctl_sys_args_t *s)
{
    return ctl_sys_cmds[s->sub];
}

/* The kind of option name in the command's list, 0 when it has none. */
char ctl_sys_opt_kind(const ctl_sys_cmd &e, const char *name)
{
    const char *p = e.opts;
    size_t n = strlen(name);
    while (*p) {
        while (*p == ' ')
            p++;
        const char *colon = strchr(p, ':');
        if (!colon)
            break;
        if ((size_t)(colon - p) == n && strncmp(p, name, n) == 0)
            return colon[1];
        p = colon + 2;
    }
    return 0;
}

const char *ctl_job_states[] = {"pending", "started", "done", "error", "cancelled"};

/* Checks v against kind k; the value kept (a state name becomes its
 * number) in *keep. */
int ctl_sys_check(char k, const std::string &what, const std::string &v, std::string *keep, std::string *err)
{
    int64_t x = 0;
    *keep = v;
    switch (k) {
    case 'P':
    case 'T':
    case 'E':
        if (v.empty() && k != 'E') {
            *err = what + " is empty";
            return -22;
        }
        if (v.size() > 259) {
            *err = what + " has " + std::to_string(v.size()) + " bytes; at most 259";
            return -22;
        }
        for (unsigned char ch : v)
            if (ch < ' ' || ch == 0x7f) {
                *err = what + " holds a control character";
                return -22;
            }
        return 0;
    case 'I':
    case 'C':
    case 'M': {
        int64_t lo = k == 'I' ? 0 : k == 'C' ? 1 : 10, hi = k == 'I' ? INT32_MAX : k == 'C' ? 1000000 : 3600000;
        if (v.empty() || v[0] == '+' || ctl_parse_int64(v.c_str(), lo, hi, 0, &x) < 0) {
            *err = what + " takes a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) + ", not [" +
                   v + "]";
            return -22;
        }
        *keep = std::to_string(x);
        return 0;
    }
    case 'D': {
        char *end = nullptr;
        double d = v.empty() || strchr(v.c_str(), ' ') ? NAN : strtod(v.c_str(), &end);
        if (!end || *end || !isfinite(d)) {
            *err = what + " takes a decimal number, not [" + v + "]";
            return -22;
        }
        return 0;
    }
    case 'S':
        for (int i = 0; i < 5; i++)
            if (v == ctl_job_states[i] || v == std::to_string(i)) {
                *keep = std::to_string(i);
                return 0;
            }
        *err = what + " takes pending, started, done, error or cancelled, not [" + v + "]";
        return -22;
    default:
        return -22;
    }
}

const std::pair<std::string, std::string> *ctl_sys_find(const ctl_sys_ctx_t *c, const char *opt)
{
    for (const auto &o : c->a->sys.opts)
        if (o.first == opt)
            return &o;
    return nullptr;
}

} // namespace

int ctl_sys_is_group(const char *word)
{
    for (const auto &e : ctl_sys_cmds)
        if (strcmp(word, e.group) == 0)
            return 1;
    return 0;
}

int ctl_sys_select(ctl_args_t *a, const char *word, std::string *err)
{
    std::string names;
    for (size_t i = 0; i < sizeof ctl_sys_cmds / sizeof ctl_sys_cmds[0]; i++) {
        const ctl_sys_cmd &e = ctl_sys_cmds[i];
        if (a->sys.group != e.group)
            continue;
        if (strcmp(word, e.name) == 0) {
            a->sys.sub = (int)i;
            a->cmd_name = e.full;
            return 0;
        }
        names += std::string(names.empty() ? "" : ", ") + e.name;
    }
    *err = "unknown " + a->sys.group + " command [" + word + "] (" + names + ")";
    return -22;
}

int ctl_sys_takes_value(const ctl_sys_args_t *s, const char *name)
{
    if (s->sub < 0)
        return 0;
    char k = ctl_sys_opt_kind(ctl_sys_entry(s), name);
    return k && k != 'F';
}

int ctl_sys_opt(ctl_args_t *a, const char *name, const std::string &val, std::string *err)
{
    if (a->sys.sub < 0) {
        *err = "--" + std::string(name) + ": the " + a->sys.group + " command comes first (see --help)";
        return -22;
    }
    char k = ctl_sys_opt_kind(ctl_sys_entry(&a->sys), name);
    if (!k)
        return 0;
    const std::string opt = std::string("--") + name;
    for (const auto &o : a->sys.opts)
        if (o.first == name) {
            *err = opt + " given twice";
            return -22;
        }
    std::string keep;
    if (k != 'F' && ctl_sys_check(k, opt, val, &keep, err) < 0)
        return -22;
    a->sys.opts.emplace_back(name, keep);
    return 1;
}

int ctl_sys_finish(ctl_args_t *a, const std::vector<std::string> &pos, std::string *err)
{
    ctl_sys_args_t *s = &a->sys;
    if (s->sub < 0) {
        std::string names;
        for (const auto &e : ctl_sys_cmds)
            if (s->group == e.group)
                names += std::string(names.empty() ? "" : ", ") + e.name;
        *err = s->group + " needs a command: " + names + " (see --help)";
        return -22;
    }
    const ctl_sys_cmd &e = ctl_sys_entry(s);
    const std::string &url = e.srv == CTL_SRV_LIB ? a->lib_url : a->io_url;
    if (url.empty()) {
        *err = std::string(e.full) + " needs " + (e.srv == CTL_SRV_LIB ? "--lib" : "--io") + " HOST:PORT";
        return -22;
    }
    size_t max = strlen(e.args), min = 0;
    while (min < max && e.args[min] >= 'A' && e.args[min] <= 'Z')
        min++;
    if (pos.size() < min || pos.size() > max) {
        *err = pos.size() < min ? std::string(e.full) + ": an argument is missing: " + e.full + " " + e.synopsis
                                : std::string(e.full) + ": unexpected argument [" + pos[max] + "]";
        return -22;
    }
    s->pos.clear();
    for (size_t i = 0; i < pos.size(); i++) {
        std::string keep;
        char k = (char)(e.args[i] & ~0x20);
        if (ctl_sys_check(k, std::string(e.full) + " argument " + std::to_string(i + 1), pos[i], &keep, err) < 0)
            return -22;
        s->pos.push_back(keep);
    }
    std::string need = e.need;
    for (size_t p = 0; p < need.size();) {
        size_t sp = need.find(' ', p);
        std::string n = need.substr(p, sp == std::string::npos ? std::string::npos : sp - p);
        p = sp == std::string::npos ? need.size() : sp + 1;
        int found = 0;
        for (const auto &o : s->opts)
            found |= o.first == n;
        if (!found) {
            *err = std::string(e.full) + " needs --" + n + ": " + e.full + " " + e.synopsis;
            return -22;
        }
    }
    auto has = [s](const char *n) {
        for (const auto &o : s->opts)
            if (o.first == n)
                return 1;
        return 0;
    };
    /* Combinations the table cannot say. */
    if (ctl_sys_opt_kind(e, "offset") && has("offset") != has("limit")) {
        *err = std::string(e.full) + ": --offset and --limit go together (one page)";
        return -22;
    }
    if (has("dirs") && has("items")) {
        *err = std::string(e.full) + " takes --dirs or --items, not both";
        return -22;
    }
    if ((has("interval") || has("count")) && !has("follow") && strcmp(e.name, "status") == 0) {
        *err = "io status: --interval and --count go with --follow";
        return -22;
    }
    if (has("interval") && !has("wait") && strcmp(e.name, "add") == 0) {
        *err = std::string(e.full) + ": --interval goes with --wait";
        return -22;
    }
    if (has("transfer-delete") && !has("transfer-target")) {
        *err = "transcode add: --transfer-delete goes with --transfer-target";
        return -22;
    }
    if (strcmp(e.name, "search-dur") == 0 &&
        (strtod(s->pos[0].c_str(), nullptr) < 0 ||
         strtod(s->pos[0].c_str(), nullptr) > strtod(s->pos[1].c_str(), nullptr))) {
        *err = "lib search-dur: MIN and MAX are seconds, 0 <= MIN <= MAX";
        return -22;
    }
    if (strcmp(e.name, "move") == 0) {
        /* The new path must fit the server's path field whole. */
        std::string src = s->pos[0];
        while (src.size() > 1 && src.back() == '/')
            src.pop_back();
        std::string base = src.substr(src.rfind('/') == std::string::npos ? 0 : src.rfind('/') + 1);
        std::string dst = s->pos[1] + (s->pos[1].back() == '/' ? "" : "/") + base;
        if (base.empty() || base == "/" || dst.size() > 259) {
            *err = "lib move: " + (base.empty() || base == "/" ? std::string("PATH names no item or folder")
                                                               : "the new path [" + dst + "] is over 259 bytes");
            return -22;
        }
        s->pos.push_back(dst);
    }
    return 0;
}

void ctl_sys_usage(FILE *f)
{
    const char *group = "";
    for (const auto &e : ctl_sys_cmds) {
        if (strcmp(group, e.group) != 0) {
            fputs(*group ? "\n" : "", f);
            group = e.group;
            fprintf(f, "%s commands (%s):\n", group,
                    e.srv == CTL_SRV_IO         ? "--io"
                    : strcmp(group, "lib") == 0 ? "--lib"
                                                : "--lib, its job services");
        }
        std::string syn = std::string(e.full) + (*e.synopsis ? " " : "") + e.synopsis;
        fprintf(f, "  %s\n", syn.c_str());
        fprintf(f, "        %s\n", e.what);
    }
    fputs("  PATH: a library path (/news/open.mov). Job states: pending, started, done,\n"
          "  error, cancelled. A wait shows a progress line when standard error is a\n"
          "  terminal and prints the job as it ended.\n",
          f);
}

/* ---- Records and output. ---- */

void ctl_rec_desc::i(const char *key, int64_t x)
{
    v.push_back({key, std::to_string(x), std::to_string(x), 1});
}

void ctl_rec_desc::d(const char *key, double x)
{
    if (!isfinite(x)) {
        v.push_back({key, "null", "", 1});
        return;
    }
    char buf[64];
    snprintf(buf, sizeof buf, "%.6f", x);
    std::string t = buf;
    while (t.back() == '0')
        t.pop_back();
    if (t.back() == '.')
        t.pop_back();
    v.push_back({key, t, t, 1});
}

void ctl_rec_desc::b(const char *key, int x)
{
    v.push_back({key, x ? "true" : "false", x ? "yes" : "no", 0});
}

void ctl_rec_desc::s(const char *key, const char *text, size_t size)
{
    std::string j;
    ctl_json_field(&j, text, size);
    v.push_back({key, j, ctl_cell_text(text, strnlen(text, size)), 0});
}

void ctl_rec_desc::str(const char *key, const std::string &text)
{
    std::string j;
    ctl_json_string(&j, text.data(), text.size());
    v.push_back({key, j, ctl_cell_text(text.data(), text.size()), 0});
}

void ctl_rec_desc::raw(const char *key, const std::string &json, const std::string &cell)
{
    v.push_back({key, json, cell, 0});
}

namespace {

std::string ctl_rec_json(const ctl_rec_t &r)
{
    std::string o = "{";
    for (size_t k = 0; k < r.v.size(); k++) {
        if (k)
            o.push_back(',');
        ctl_json_string(&o, r.v[k].key.data(), r.v[k].key.size());
        o.push_back(':');
        o.append(r.v[k].json);
    }
    o.append("}\n");
    return o;
}

void ctl_sys_put(ctl_sys_ctx_t *c, const std::string &s)
{
    fwrite(s.data(), 1, s.size(), c->out);
    fflush(c->out);
}

} // namespace

void ctl_sys_columns(ctl_sys_ctx_t *c, const std::vector<std::string> &keys)
{
    c->cols = keys;
    c->table = ctl_table_t();
    for (const std::string &k : keys) {
        std::string h = k;
        for (char &ch : h)
            ch = (char)toupper((unsigned char)ch);
        c->table.head.push_back(h);
        c->table.right.push_back(0);
    }
    c->f_table_open = 1;
}

void ctl_sys_emit(ctl_sys_ctx_t *c, const ctl_rec_t &r)
{
    if (!c->a->f_table) {
        ctl_sys_put(c, ctl_rec_json(r));
        return;
    }
    std::vector<std::string> row;
    for (size_t k = 0; k < c->cols.size(); k++) {
        std::string cell;
        for (const auto &v : r.v)
            if (v.key == c->cols[k]) {
                cell = v.cell;
                if (c->table.rows.empty())
                    c->table.right[k] = v.f_num;
            }
        row.push_back(cell);
    }
    c->table.rows.push_back(row);
}

void ctl_sys_emit_one(ctl_sys_ctx_t *c, const ctl_rec_t &r)
{
    if (!c->a->f_table) {
        ctl_sys_put(c, ctl_rec_json(r));
        return;
    }
    ctl_table_t t;
    t.head = {"NAME", "VALUE"};
    t.right = {0, 0};
    for (const auto &v : r.v)
        t.rows.push_back({v.key, v.cell});
    ctl_sys_put(c, ctl_table_render(&t));
}

void ctl_sys_flush(ctl_sys_ctx_t *c)
{
    if (c->a->f_table && c->f_table_open) {
        ctl_sys_put(c, ctl_table_render(&c->table));
        c->table.rows.clear();
        c->f_table_open = 0;
    }
}

int ctl_sys_fail(ctl_sys_ctx_t *c, int r, const std::string &what)
{
    std::string w = what.empty() ? "" : what + ": ";
    if (r == -14)
        fprintf(c->err,
                "pelmora-ctl: %s: %sno usable answer from %s (result -14: not reachable, timed out or a malformed "
                "answer)\n",
                c->name, w.c_str(), c->host);
    else
        fprintf(c->err, "pelmora-ctl: %s: %srefused by the server: result %s\n", c->name, w.c_str(),
                ctl_result_text(r).c_str());
    return ctl_exit_code(r);
}

int ctl_sys_result(ctl_sys_ctx_t *c, int r, const ctl_rec_t *extra)
{
    if (r < 0)
        return ctl_sys_fail(c, r);
    ctl_rec_t o;
    o.str("command", c->name);
    o.i("result", r);
    if (extra)
        o.v.insert(o.v.end(), extra->v.begin(), extra->v.end());
    ctl_sys_emit_one(c, o);
    return CTL_EXIT_OK;
}

std::string ctl_sys_quote(const std::string &s)
{
    return "[" + ctl_cell_text(s.data(), s.size()) + "]";
}

int ctl_sys_has(const ctl_sys_ctx_t *c, const char *opt)
{
    return ctl_sys_find(c, opt) != nullptr;
}

int64_t ctl_sys_int(const ctl_sys_ctx_t *c, const char *opt, int64_t dflt)
{
    const auto *o = ctl_sys_find(c, opt);
    return o ? strtoll(o->second.c_str(), nullptr, 10) : dflt;
}

double ctl_sys_dbl(const ctl_sys_ctx_t *c, const char *opt, double dflt)
{
    const auto *o = ctl_sys_find(c, opt);
    return o ? strtod(o->second.c_str(), nullptr) : dflt;
}

std::string ctl_sys_str(const ctl_sys_ctx_t *c, const char *opt, const char *dflt)
{
    const auto *o = ctl_sys_find(c, opt);
    return o ? o->second : std::string(dflt);
}

const std::string &ctl_sys_pos(const ctl_sys_ctx_t *c, size_t i)
{
    return c->a->sys.pos.at(i);
}

int ctl_sys_run(const ctl_args_t *a, FILE *out, FILE *err)
{
    if (a->sys.sub < 0)
        return CTL_EXIT_USAGE;
    const ctl_sys_cmd &e = ctl_sys_entry(&a->sys);
    ctl_sys_ctx_t c;
    c.a = a;
    c.out = out;
    c.err = err;
    c.url = e.srv == CTL_SRV_LIB ? a->lib_url.c_str() : a->io_url.c_str();
    c.host = e.srv == CTL_SRV_LIB ? a->lib_host.c_str() : a->io_host.c_str();
    c.name = e.full;
    int code = e.run(&c);
    ctl_sys_flush(&c);
    return code;
}
