/* pelmora-ctl commands over the automation client library. Reads are made
 * consistent (a list read twice while it changes is read again), edits by
 * field change the current event, and every failure names the result. */
#include "ctl.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "ctl_format.h"
#include "ctl_sys.h"
#include "pelmora.h"
#include "pelmora_call.h"
#include "pelmora_version.h"

#define CTL_CHUNK 32   /* events per GetEvents2 call, as the console fetches them */
#define CTL_ATTEMPTS 3 /* reads of a list that changed under us */

int ctl_get_state(const char *url, int bus_idx, pelmorabox_bus_state_t *s)
{
    memset(s, 0, sizeof *s);
    pelmora_call c(__func__, url, "PelmoraBox.GetState");
    if (!c.run("(i)", (xmlrpc_int32)bus_idx))
        return c.call_failed(nullptr, nullptr, 0);
    /* A refusal comes as "result" without a state: report it as such rather
     * than as a missing answer. */
    xmlrpc_int32 result = 0;
    if (c.decompose("{s:i,*}", "result", &result) && result < 0)
        return result;
    c.clear_fault();
    return pelmorabox_state_probe_decompose(c.env(), c.answer(), s);
}

namespace {

struct ctl_ctx
{
    const ctl_args_t *a;
    FILE *out;
    FILE *err;
    const char *url;
    int bus;
};

int ctl_fail(ctl_ctx *c, int r, const char *what = nullptr)
{
    const char *cmd = c->a->cmd_name;
    if (r == -14)
        fprintf(c->err,
                "pelmora-ctl: %s: no usable answer from %s (result -14: not reachable, timed out or a malformed "
                "answer)\n",
                cmd, c->a->host.c_str());
    else if (what)
        fprintf(c->err, "pelmora-ctl: %s: %s; server result %s\n", cmd, what, ctl_result_text(r).c_str());
    else
        fprintf(c->err, "pelmora-ctl: %s: refused by the server: result %s\n", cmd, ctl_result_text(r).c_str());
    return ctl_exit_code(r);
}

void ctl_put(ctl_ctx *c, const std::string &s)
{
    fwrite(s.data(), 1, s.size(), c->out);
}

/* The answer of a command that returns a result and the bus state. */
int ctl_print_result(ctl_ctx *c, int r, const pelmorabox_bus_state_t *s)
{
    if (r < 0)
        return ctl_fail(c, r);
    /* The library keeps the result when the state in the answer cannot be
     * read and leaves the record zeroed: say so rather than show it as news. */
    pelmorabox_bus_state_t zero;
    memset(&zero, 0, sizeof zero);
    if (memcmp(&zero, s, sizeof zero) == 0)
        fprintf(c->err,
                "pelmora-ctl: %s: warning: the answer carried no readable bus state; the state shown is "
                "empty\n",
                c->a->cmd_name);
    std::string o;
    if (c->a->f_table) {
        ctl_table_t t;
        ctl_table_state(&t, c->a->cmd_name, r, s);
        o = ctl_table_render(&t);
    } else {
        ctl_json_result(&o, c->a->cmd_name, r, s);
        o.push_back('\n');
    }
    ctl_put(c, o);
    return CTL_EXIT_OK;
}

/* Rows read so far, already turned into output text (JSON lines or table
 * rows), so that a long list costs its text and not its records. */
struct ctl_rows
{
    std::string json;
    ctl_table_t table;
    size_t count = 0;
};

void ctl_rows_add(ctl_ctx *c, ctl_rows *rows, const pelmorabox_event_t *e, int64_t idx)
{
    if (c->a->f_table)
        ctl_table_events_add(&rows->table, e, idx);
    else {
        ctl_json_event(&rows->json, e, idx);
        rows->json.push_back('\n');
    }
    rows->count++;
}

void ctl_rows_print(ctl_ctx *c, ctl_rows *rows)
{
    ctl_put(c, c->a->f_table ? ctl_table_render(&rows->table) : rows->json);
}

/* How a read of the list went against the state it started from. */
struct ctl_read_check
{
    int f_changed = 0; /* a call saw another amend than the state's */
    int f_short = 0;   /* a call returned fewer events than asked */
};

/* Reads the list indexes from..to (inclusive), CTL_CHUNK per call, into
 * rows, noting in *chk what disagreed with the state; reading stops at a
 * call that returned none (the list is shorter than the state said). */
int ctl_fetch_range(ctl_ctx *c, int64_t from, int64_t to, int64_t amend, ctl_rows *rows, ctl_read_check *chk)
{
    for (int64_t i = from; i <= to; i += CTL_CHUNK) {
        int n = (int)std::min<int64_t>(CTL_CHUNK, to - i + 1);
        int64_t want[CTL_CHUNK];
        pelmorabox_event_t *pe[CTL_CHUNK];
        for (int k = 0; k < n; k++)
            want[k] = i + k;
        pelmorabox_bus_state_t s;
        int r = pelmorabox_get_events2(c->url, c->bus, n, want, pe, &s);
        if (r < 0)
            return r;
        if (s.amend != amend)
            chk->f_changed = 1;
        if (r != n)
            chk->f_short = 1;
        for (int k = 0; k < r; k++) {
            ctl_rows_add(c, rows, pe[k], want[k]);
            pelmorabox_event_destroy(&pe[k]);
        }
        if (r == 0)
            return 1;
    }
    return 0;
}

int ctl_cmd_events(ctl_ctx *c)
{
    const ctl_args_t *a = c->a;
    ctl_rows rows;
    std::vector<int64_t> missing;
    pelmorabox_bus_state_t st;
    ctl_read_check chk;
    chk.f_changed = 1;
    int64_t amend_first = -1, amend_last = -1;
    for (int attempt = 0; attempt < CTL_ATTEMPTS && (chk.f_changed || chk.f_short); attempt++) {
        rows = ctl_rows();
        ctl_table_events_init(&rows.table);
        missing.clear();
        int r = ctl_get_state(c->url, c->bus, &st);
        if (r < 0)
            return ctl_fail(c, r);
        if (amend_first < 0)
            amend_first = st.amend;
        amend_last = st.amend;
        chk = ctl_read_check();
        if (st.count < 0)
            break; /* nothing to read; said below */
        std::vector<ctl_range_t> ranges = a->ranges;
        if (ranges.empty())
            ranges.push_back({0, -1});
        for (const ctl_range_t &rg : ranges) {
            if (rg.from == rg.to && rg.from >= st.count)
                missing.push_back(rg.from);
            int64_t to = rg.to < 0 || rg.to >= st.count ? st.count - 1 : rg.to;
            if (rg.from > to)
                continue;
            r = ctl_fetch_range(c, rg.from, to, st.amend, &rows, &chk);
            if (r < 0)
                return ctl_fail(c, r);
            if (r > 0)
                break;
        }
    }
    /* Each disagreement gets its own words: a list that changed while it
     * was read is not a state whose count the list does not hold. */
    if (st.count < 0)
        fprintf(c->err, "pelmora-ctl: events: the state gives a negative event count (%lld); no events read\n",
                (long long)st.count);
    else if (chk.f_changed)
        fprintf(c->err,
                "pelmora-ctl: events: the list kept changing while it was read (amend %lld to %lld); rows may "
                "come from different versions (see each row's amend)\n",
                (long long)amend_first, (long long)amend_last);
    else if (chk.f_short)
        fprintf(c->err,
                "pelmora-ctl: events: the state gives %lld events (amend %lld, unchanged) but the server returned "
                "fewer than asked (%zu rows read); the list holds fewer events than its state says\n",
                (long long)st.count, (long long)st.amend, rows.count);
    ctl_rows_print(c, &rows);
    for (int64_t m : missing)
        fprintf(c->err, "pelmora-ctl: events: no event at list index %lld (the list holds %lld)\n", (long long)m,
                (long long)st.count);
    return missing.empty() ? CTL_EXIT_OK : CTL_EXIT_REFUSED;
}

/* The event at one list index: 1 with *pe set, 0 when there is none, or a
 * negative call result. */
int ctl_fetch_one(ctl_ctx *c, int64_t idx, pelmorabox_event_t **pe)
{
    int64_t want = idx;
    pelmorabox_bus_state_t s;
    *pe = nullptr;
    int r = pelmorabox_get_events2(c->url, c->bus, 1, &want, pe, &s);
    if (r <= 0)
        return r;
    if (want != idx) {
        pelmorabox_event_destroy(pe);
        return 0;
    }
    return 1;
}

/* List index of the event with sys_id (found by the server's search on the
 * sys_id field), its current copy in *pe; -2 when there is none. */
int ctl_find_sys_id(ctl_ctx *c, int64_t sys_id, pelmorabox_event_t **pe)
{
    std::string key = std::to_string(sys_id);
    for (int attempt = 0; attempt < CTL_ATTEMPTS; attempt++) {
        pelmorabox_bus_state_t s;
        int idx = pelmorabox_search_event(c->url, c->bus, key.c_str(), 0, 1 << PELMORABOX_EVENT_SEARCH_IDX_SYS_ID, &s);
        if (idx == -14)
            return -14;
        if (idx < 0)
            return -2;
        int r = ctl_fetch_one(c, idx, pe);
        if (r < 0)
            return r;
        if (r == 1 && (*pe)->sys_id == sys_id)
            return idx;
        pelmorabox_event_destroy(pe); /* the list moved between the two calls */
    }
    return -2;
}

int ctl_cmd_search(ctl_ctx *c)
{
    const ctl_args_t *a = c->a;
    ctl_rows rows;
    ctl_table_events_init(&rows.table);
    int from = a->search_from;
    int last = -2;
    for (int64_t guard = 0;; guard++) {
        pelmorabox_bus_state_t s;
        int r = pelmorabox_search_event(c->url, c->bus, a->name.c_str(), from, a->search_flags, &s);
        if (r == -14) {
            ctl_rows_print(c, &rows);
            return ctl_fail(c, r);
        }
        last = r;
        /* A server that answers an index before `from` would loop forever. */
        if (r < 0 || r < from)
            break;
        pelmorabox_event_t *e = nullptr;
        int got = ctl_fetch_one(c, r, &e);
        if (got == -14) {
            ctl_rows_print(c, &rows);
            return ctl_fail(c, got);
        }
        if (got == 1) {
            ctl_rows_add(c, &rows, e, r);
            pelmorabox_event_destroy(&e);
        } else
            fprintf(c->err, "pelmora-ctl: search: found at list index %d, but the event could not be read\n", r);
        if (!a->f_search_all || guard > s.count || r == INT32_MAX)
            break;
        from = r + 1;
    }
    ctl_rows_print(c, &rows);
    if (rows.count == 0) {
        std::string what = "no event matches [" + a->name + "]";
        return ctl_fail(c, last < 0 ? last : -2, what.c_str());
    }
    return CTL_EXIT_OK;
}

int ctl_cmd_playlists(ctl_ctx *c)
{
    char **names = nullptr;
    pelmorabox_bus_state_t s;
    int r = pelmorabox_list_playlists(c->url, c->bus, &names, &s);
    if (r < 0)
        return ctl_fail(c, r);
    std::string o;
    ctl_table_t t;
    t.head = {"NAME"};
    t.right = {0};
    for (int i = 0; i < r && names[i]; i++) {
        if (c->a->f_table)
            t.rows.push_back({ctl_cell_text(names[i], strlen(names[i]))});
        else {
            o.append("{\"name\":");
            ctl_json_string(&o, names[i], strlen(names[i]));
            o.append("}\n");
        }
        free(names[i]);
    }
    free(names);
    if (c->a->f_table)
        o = ctl_table_render(&t);
    ctl_put(c, o);
    return CTL_EXIT_OK;
}

int ctl_cmd_errors(ctl_ctx *c)
{
    pelmorabox_event_t *list = nullptr;
    pelmorabox_bus_state_t s;
    int r = pelmorabox_errorflag_list(c->url, c->bus, (int)c->a->error_mask, &list, &s);
    if (r < 0)
        return ctl_fail(c, r);
    std::string o;
    ctl_table_t t;
    ctl_table_flagged_init(&t);
    for (int i = 0; i < r; i++) {
        if (c->a->f_table)
            ctl_table_flagged_add(&t, &list[i]);
        else {
            ctl_json_flagged(&o, &list[i]);
            o.push_back('\n');
        }
    }
    free(list);
    if (c->a->f_table)
        o = ctl_table_render(&t);
    ctl_put(c, o);
    return CTL_EXIT_OK;
}

int ctl_cmd_insert(ctl_ctx *c)
{
    const ctl_args_t *a = c->a;
    std::string err;
    pelmorabox_event_t *e = ctl_event_build(&a->edit, nullptr, &err);
    if (!e) {
        fprintf(c->err, "pelmora-ctl: insert: %s; nothing was sent\n", err.c_str());
        return CTL_EXIT_USAGE;
    }
    pelmorabox_bus_state_t s;
    int r;
    if (a->f_sys_id)
        r = pelmorabox_insert_event2(c->url, c->bus, a->sys_id, e, &s);
    else if (a->f_at_end)
        r = pelmorabox_insert_event2(c->url, c->bus, -1, e, &s);
    else
        r = pelmorabox_insert_event(c->url, c->bus, a->event_idx, e, &s);
    pelmorabox_event_destroy(&e);
    return ctl_print_result(c, r, &s);
}

int ctl_cmd_update(ctl_ctx *c)
{
    const ctl_args_t *a = c->a;
    std::string err;
    pelmorabox_bus_state_t s;
    int r;
    if (a->edit.f_line) {
        /* A line is the whole new event: nothing to read first. */
        pelmorabox_event_t *e = ctl_event_build(&a->edit, nullptr, &err);
        if (!e) {
            fprintf(c->err, "pelmora-ctl: update: %s; nothing was sent\n", err.c_str());
            return CTL_EXIT_USAGE;
        }
        r = a->f_sys_id ? pelmorabox_update_event2(c->url, c->bus, a->sys_id, e, &s)
                        : pelmorabox_update_event(c->url, c->bus, a->event_idx, e, &s);
        pelmorabox_event_destroy(&e);
        return ctl_print_result(c, r, &s);
    }

    /* Fields change the event as it is now. */
    pelmorabox_event_t *cur = nullptr;
    int64_t idx = a->event_idx;
    if (a->f_sys_id) {
        r = ctl_find_sys_id(c, a->sys_id, &cur);
        if (r == -14)
            return ctl_fail(c, r);
        if (r < 0) {
            std::string what = "no event with sys_id " + std::to_string(a->sys_id);
            return ctl_fail(c, r, what.c_str());
        }
        idx = r;
    } else {
        r = ctl_fetch_one(c, idx, &cur);
        if (r < 0)
            return ctl_fail(c, r);
        if (r == 0) {
            fprintf(c->err, "pelmora-ctl: update: no event at list index %lld\n", (long long)idx);
            return CTL_EXIT_REFUSED;
        }
    }
    pelmorabox_event_t *e = ctl_event_build(&a->edit, cur, &err);
    int64_t cur_sys_id = cur->sys_id;
    pelmorabox_event_destroy(&cur);
    if (!e) {
        fprintf(c->err, "pelmora-ctl: update: %s; nothing was sent\n", err.c_str());
        return CTL_EXIT_USAGE;
    }
    /* By sys_id whenever the event has one, so that an event that moved
     * since it was read is still the one changed. */
    r = cur_sys_id > 0 ? pelmorabox_update_event2(c->url, c->bus, cur_sys_id, e, &s)
                       : pelmorabox_update_event(c->url, c->bus, idx, e, &s);
    pelmorabox_event_destroy(&e);
    return ctl_print_result(c, r, &s);
}

} // namespace

int ctl_run(const ctl_args_t *a, FILE *out, FILE *err)
{
    ctl_ctx c = {a, out, err, a->url.c_str(), a->bus_idx};
    pelmorabox_bus_state_t s;
    int r;
    switch (a->cmd) {
    case CTL_CMD_STATE: {
        r = ctl_get_state(c.url, c.bus, &s);
        if (r < 0)
            return ctl_fail(&c, r);
        std::string o;
        if (a->f_table) {
            ctl_table_t t;
            ctl_table_state(&t, nullptr, 0, &s);
            o = ctl_table_render(&t);
        } else {
            ctl_json_state(&o, &s);
            o.push_back('\n');
        }
        ctl_put(&c, o);
        return CTL_EXIT_OK;
    }
    case CTL_CMD_EVENTS:
        return ctl_cmd_events(&c);
    case CTL_CMD_TAKE:
        r = pelmorabox_take(c.url, c.bus, &s);
        break;
    case CTL_CMD_TAKE_N:
        r = pelmorabox_take_n(c.url, c.bus, (int)a->event_idx, &s);
        break;
    case CTL_CMD_RUN:
        r = pelmorabox_run(c.url, c.bus, a->f_run, &s);
        break;
    case CTL_CMD_FALLBACK:
        r = pelmorabox_fallback(c.url, c.bus, &s);
        break;
    case CTL_CMD_LOAD:
        r = pelmorabox_load_playlist(c.url, c.bus, a->name.c_str(), &s);
        break;
    case CTL_CMD_APPEND:
        r = pelmorabox_append_playlist(c.url, c.bus, a->name.c_str(), &s);
        break;
    case CTL_CMD_SAVE:
        r = pelmorabox_save_playlist(c.url, c.bus, a->name.c_str(), &s);
        break;
    case CTL_CMD_CLOSE:
        r = pelmorabox_close_playlist(c.url, c.bus, &s);
        break;
    case CTL_CMD_TRUNCATE:
        r = pelmorabox_truncate_playlist(c.url, c.bus, a->sys_id, a->f_below, &s);
        break;
    case CTL_CMD_PLAYLISTS:
        return ctl_cmd_playlists(&c);
    case CTL_CMD_SEARCH:
        return ctl_cmd_search(&c);
    case CTL_CMD_ERRORS:
        return ctl_cmd_errors(&c);
    case CTL_CMD_INSERT:
        return ctl_cmd_insert(&c);
    case CTL_CMD_UPDATE:
        return ctl_cmd_update(&c);
    case CTL_CMD_SYS:
        return ctl_sys_run(a, out, err);
    case CTL_CMD_DELETE: {
        int n = (int)a->ids.size();
        r = a->f_sys_id ? pelmorabox_delete_event2(c.url, c.bus, n, a->ids.data(), &s)
                        : pelmorabox_delete_event(c.url, c.bus, n, a->ids.data(), &s);
        break;
    }
    default:
        fprintf(err, "pelmora-ctl: no command\n");
        return CTL_EXIT_USAGE;
    }
    return ctl_print_result(&c, r, &s);
}

int ctl_main(int argc, char **argv)
{
    ctl_args_t a;
    std::string err;
    int r = ctl_args_parse(argc, argv, &a, &err, stdout);
    if (r == 1)
        return fflush(stdout) == 0 ? CTL_EXIT_OK : CTL_EXIT_LOCAL;
    if (r < 0) {
        fprintf(stderr, "pelmora-ctl: %s\n", err.c_str());
        return CTL_EXIT_USAGE;
    }
    /* The client library reads its time-outs from the environment. */
    if (a.timeout_ms > 0)
        setenv(PELMORA_RPC_TIMEOUT_ENV, std::to_string(a.timeout_ms).c_str(), 1);
    if (a.connect_timeout_ms > 0)
        setenv(PELMORA_RPC_CONNECT_TIMEOUT_ENV, std::to_string(a.connect_timeout_ms).c_str(), 1);

    /* --quiet: the library's diagnostics go to /dev/null, our own messages
     * to the real standard error. */
    FILE *msg = stderr;
    if (a.f_quiet) {
        fflush(stderr);
        int saved = dup(2);
        int null_fd = open("/dev/null", O_WRONLY);
        FILE *f = saved >= 0 ? fdopen(saved, "w") : nullptr;
        if (f && null_fd >= 0 && dup2(null_fd, 2) >= 0)
            msg = f;
        else if (f)
            fclose(f);
        else if (saved >= 0)
            close(saved);
        if (null_fd >= 0)
            close(null_fd);
    }

    pelmora_init("pelmora-ctl", PELMORA_VERSION);
    int code = ctl_run(&a, stdout, msg);
    pelmora_release();

    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(msg, "pelmora-ctl: cannot write the output: %s\n", strerror(errno));
        if (code == CTL_EXIT_OK)
            code = CTL_EXIT_LOCAL;
    }
    if (msg != stderr)
        fclose(msg);
    return code;
}
