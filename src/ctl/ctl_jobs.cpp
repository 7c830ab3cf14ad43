/* pelmora-ctl's job commands on the library server: transfer targets (never
 * their passwords), transfer and transcoding jobs listed page by page,
 * added, controlled, and followed until they end. */
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <vector>

#include "ctl_sys.h"
#include "pelmora_call.h"
#include "pelmora_jobs.h"

#define CTL_JOBS_PAGE 100
#define CTL_JOBS_MAX 1000000 /* a server that pages forever is cut here */

namespace {

int ctl_jobs_is_transfer(const ctl_sys_ctx_t *c)
{
    return c->a->sys.group == "transfer";
}

const char *ctl_jobs_state_name(int st)
{
    static const char *names[] = {"pending", "started", "done", "error", "cancelled"};
    return st >= 0 && st <= 4 ? names[st] : "unknown";
}

void ctl_jobs_common(ctl_rec_t *r, int id, int state, int progress)
{
    r->i("id", id);
    r->i("state", state);
    r->str("state_name", ctl_jobs_state_name(state));
    r->i("progress", progress);
}

void ctl_jobs_transfer_rec(ctl_rec_t *r, const pelmora_filetransfer_request_t *j)
{
    ctl_jobs_common(r, j->id, j->state, j->progress);
    r->str("direction", j->f_import ? "import" : "export");
    r->s("target", j->target, sizeof j->target);
    r->s("local", j->object_local, sizeof j->object_local);
    r->s("remote", j->object_remote, sizeof j->object_remote);
    r->i("f_delete", j->f_delete);
    r->s("error", j->error, sizeof j->error);
    r->i("created", j->created);
    r->i("updated", j->updated);
}

void ctl_jobs_transcode_rec(ctl_rec_t *r, const pelmora_filetranscoder_request_t *j)
{
    ctl_jobs_common(r, j->id, j->state, j->progress);
    r->s("factory", j->factory, sizeof j->factory);
    r->s("profile", j->profile, sizeof j->profile);
    r->s("src", j->src.object, sizeof j->src.object);
    r->s("src_local", j->src.local, sizeof j->src.local);
    r->s("dst", j->dst.object, sizeof j->dst.object);
    r->s("dst_local", j->dst.local, sizeof j->dst.local);
    r->s("in", j->in, sizeof j->in);
    r->s("dur", j->dur, sizeof j->dur);
    r->s("audio_map", j->audio_map, sizeof j->audio_map);
    r->i("audio_conf", j->audio_conf);
    r->s("timecode", j->timecode, sizeof j->timecode);
    r->s("osd", j->osd, sizeof j->osd);
    r->s("transfer_target", j->transfer_target, sizeof j->transfer_target);
    r->i("transfer_f_delete", j->transfer_f_delete);
    r->i("f_delete", j->f_delete);
    r->s("error", j->error, sizeof j->error);
    r->i("created", j->created);
    r->i("updated", j->updated);
}

/* One page of records handed to `take` (key, record); the count read or a
 * call result. */
using ctl_jobs_page_fn =
    std::function<int(int offset, int limit, std::function<void(const std::string &, ctl_rec_t &)>)>;

/* Reads every page: records are keyed so that one seen on an earlier page
 * (the list grew at its head while it was read) is not shown twice; a
 * page with nothing new is a server that does not page. */
int ctl_jobs_read_all(ctl_sys_ctx_t *c, const ctl_jobs_page_fn &page,
                      const std::function<bool(const ctl_rec_t &)> &take)
{
    std::set<std::string> seen;
    size_t total = 0;
    for (int offset = 0;;) {
        int fresh = 0, f_stop = 0;
        int n = page(offset, CTL_JOBS_PAGE, [&](const std::string &key, ctl_rec_t &r) {
            if (!f_stop && seen.insert(key).second) {
                fresh++;
                f_stop = !take(r);
            }
        });
        if (n < 0)
            return n;
        total += (size_t)n;
        if (f_stop || n < CTL_JOBS_PAGE)
            return 0;
        if (!fresh || total > CTL_JOBS_MAX) {
            fprintf(c->err, "pelmora-ctl: %s: the server's list does not end (page at %d brought nothing new)\n",
                    c->name, offset);
            return -14;
        }
        offset += n;
    }
}

ctl_jobs_page_fn ctl_jobs_pages(ctl_sys_ctx_t *c, int type)
{
    const char *url = c->url;
    if (ctl_jobs_is_transfer(c))
        return [url, type](int offset, int limit, std::function<void(const std::string &, ctl_rec_t &)> take) {
            std::vector<pelmora_filetransfer_request_t> v((size_t)limit);
            memset((void *)v.data(), 0, v.size() * sizeof v[0]);
            int n = pelmora_filetransfer_requests_list(url, type, offset, limit, v.data());
            for (int k = 0; k < n; k++) {
                ctl_rec_t r;
                ctl_jobs_transfer_rec(&r, &v[(size_t)k]);
                take(std::to_string(v[(size_t)k].id), r);
            }
            return n;
        };
    return [url, type](int offset, int limit, std::function<void(const std::string &, ctl_rec_t &)> take) {
        std::vector<pelmora_filetranscoder_request_t> v((size_t)limit);
        memset((void *)v.data(), 0, v.size() * sizeof v[0]);
        int n = pelmora_filetranscoder_requests_list(url, type, offset, limit, v.data());
        for (int k = 0; k < n; k++) {
            ctl_rec_t r;
            ctl_jobs_transcode_rec(&r, &v[(size_t)k]);
            take(std::to_string(v[(size_t)k].id), r);
        }
        return n;
    };
}

void ctl_jobs_table(ctl_sys_ctx_t *c)
{
    if (ctl_jobs_is_transfer(c))
        ctl_sys_columns(c, {"id", "state_name", "progress", "direction", "target", "local", "remote", "error"});
    else
        ctl_sys_columns(c, {"id", "state_name", "progress", "factory", "profile", "src", "dst", "error"});
}

/* The job's record now: 0 with *rec, *state set; -2 when there is none; a
 * call result. */
int ctl_jobs_get(ctl_sys_ctx_t *c, int id, ctl_rec_t *rec, int *state)
{
    if (ctl_jobs_is_transfer(c)) {
        pelmora_filetransfer_request_t *j = (pelmora_filetransfer_request_t *)calloc(1, sizeof *j);
        if (!j)
            return -12;
        int r = pelmora_filetransfer_request_get(c->url, id, j);
        /* An answer about another job is no answer about this one. */
        if (r >= 0 && j->id != id)
            r = -14;
        if (r >= 0) {
            *rec = ctl_rec_t();
            ctl_jobs_transfer_rec(rec, j);
            *state = j->state;
        }
        free(j);
        return r < 0 ? r : 0;
    }
    /* The transcoder has no call for one job: look through its list. */
    int found = 0;
    int r = ctl_jobs_read_all(c, ctl_jobs_pages(c, -1), [&](const ctl_rec_t &job) {
        if (job.v[0].json != std::to_string(id))
            return true;
        *rec = job;
        *state = atoi(job.v[1].json.c_str());
        found = 1;
        return false;
    });
    return r < 0 ? r : found ? 0 : -2;
}

void ctl_jobs_nap(int64_t ms)
{
    struct timespec ts = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0)
        ;
}

int ctl_jobs_follow(ctl_sys_ctx_t *c, int id)
{
    int64_t interval = ctl_sys_int(c, "interval", 500);
    int f_tty = isatty(fileno(c->err));
    const std::string what = "job " + std::to_string(id);
    for (;;) {
        ctl_rec_t rec;
        int state = -1;
        int r = ctl_jobs_get(c, id, &rec, &state);
        if (f_tty)
            fputs("\r\033[K", c->err);
        if (r < 0)
            return r == -2 ? (fprintf(c->err, "pelmora-ctl: %s: no %s on the server\n", c->name, what.c_str()),
                              CTL_EXIT_REFUSED)
                           : ctl_sys_fail(c, r, what);
        if (state >= PELMORA_JOB_DONE && state <= PELMORA_JOB_CANCELLED) {
            ctl_sys_emit_one(c, rec);
            if (state == PELMORA_JOB_DONE)
                return CTL_EXIT_OK;
            std::string err;
            for (const auto &v : rec.v)
                if (v.key == "error")
                    err = v.cell;
            fprintf(c->err, "pelmora-ctl: %s: %s %s%s%s\n", c->name, what.c_str(),
                    state == PELMORA_JOB_ERROR ? "ended in error" : "was cancelled", err.empty() ? "" : ": ",
                    err.c_str());
            return CTL_EXIT_REFUSED;
        }
        if (state != PELMORA_JOB_PENDING && state != PELMORA_JOB_STARTED) {
            fprintf(c->err, "pelmora-ctl: %s: %s is in a state the server does not define (%d)\n", c->name,
                    what.c_str(), state);
            return CTL_EXIT_NO_ANSWER;
        }
        if (f_tty) {
            fprintf(c->err, "%s %s: %s %s%%", c->name, what.c_str(), ctl_jobs_state_name(state), rec.v[3].cell.c_str());
            fflush(c->err);
        }
        ctl_jobs_nap(interval);
    }
}

} // namespace

int ctl_jobs_targets(ctl_sys_ctx_t *c)
{
    ctl_sys_columns(c, {"id", "type", "title", "host", "port", "path", "login", "password"});
    const char *url = c->url;
    int r = ctl_jobs_read_all(
        c,
        [url](int offset, int limit, std::function<void(const std::string &, ctl_rec_t &)> take) {
            std::vector<pelmora_filetransfer_target_t> v((size_t)limit);
            memset((void *)v.data(), 0, v.size() * sizeof v[0]);
            int n = pelmora_filetransfer_targets_list(url, offset, limit, v.data());
            for (int k = 0; k < n; k++) {
                const pelmora_filetransfer_target_t *t = &v[(size_t)k];
                ctl_rec_t rec;
                rec.s("id", t->id, sizeof t->id);
                rec.s("type", t->type, sizeof t->type);
                rec.s("title", t->title, sizeof t->title);
                rec.s("host", t->host, sizeof t->host);
                rec.s("port", t->port, sizeof t->port);
                rec.s("path", t->path, sizeof t->path);
                rec.s("login", t->login, sizeof t->login);
                /* Whether there is one, never what it is. */
                rec.b("password", t->passw[0] != 0);
                take(std::string(t->id, strnlen(t->id, sizeof t->id)), rec);
            }
            /* The password leaves no copy behind in this process. */
            memset((void *)v.data(), 0, v.size() * sizeof v[0]);
            return n;
        },
        [c](const ctl_rec_t &rec) {
            ctl_sys_emit(c, rec);
            return true;
        });
    return r < 0 ? ctl_sys_fail(c, r) : CTL_EXIT_OK;
}

int ctl_jobs_list(ctl_sys_ctx_t *c)
{
    ctl_jobs_table(c);
    int r = ctl_jobs_read_all(c, ctl_jobs_pages(c, (int)ctl_sys_int(c, "state", -1)), [c](const ctl_rec_t &rec) {
        ctl_sys_emit(c, rec);
        return true;
    });
    return r < 0 ? ctl_sys_fail(c, r) : CTL_EXIT_OK;
}

int ctl_jobs_add(ctl_sys_ctx_t *c)
{
    int f_transfer = ctl_jobs_is_transfer(c);
    pelmora_call pc("ctl_jobs_add", c->url,
                    f_transfer ? "PelmoraFileTransfer.RequestAdd" : "PelmoraFileTranscoder.RequestAdd");
    auto s = [c](const char *o) { return ctl_sys_str(c, o); };
    const std::string target = s("target"), local = s("local"), remote = s("remote"), src = s("src"), in = s("in"),
                      dur = s("dur"), dst = s("dst"), factory = s("factory"), profile = s("profile"),
                      amap = s("audio-map"), tc = s("timecode"), osd = s("osd"), ttarget = s("transfer-target");
    xmlrpc_int32 f_delete = ctl_sys_has(c, "delete-source");
    bool ok = f_transfer
                  ? pc.run("(siiss)", target.c_str(), (xmlrpc_int32)ctl_sys_has(c, "import"), f_delete, local.c_str(),
                           remote.c_str())
                  : pc.run("(ssssssisisssi)", src.c_str(), in.c_str(), dur.c_str(), dst.c_str(), factory.c_str(),
                           profile.c_str(), f_delete, amap.c_str(), (xmlrpc_int32)ctl_sys_int(c, "audio-conf", 0),
                           tc.c_str(), osd.c_str(), ttarget.c_str(), (xmlrpc_int32)ctl_sys_has(c, "transfer-delete"));
    int r;
    xmlrpc_int32 result = 0, id = -1;
    if (!ok)
        r = pc.call_failed("ctl_jobs", __LINE__);
    else if (!pc.decompose("{s:i,*}", "result", &result))
        r = pc.decompose_failed(nullptr, "ctl_jobs", __LINE__);
    else
        r = result;
    if (r >= 0 && !pc.decompose("{s:i,*}", "id", &id)) {
        pc.clear_fault();
        id = -1;
    }
    if (r < 0)
        return ctl_sys_fail(c, r);
    ctl_rec_t extra;
    if (id >= 0)
        extra.i("id", id);
    else
        extra.raw("id", "null", "");
    ctl_sys_result(c, r, &extra);
    if (!ctl_sys_has(c, "wait"))
        return CTL_EXIT_OK;
    if (id < 0) {
        fprintf(c->err, "pelmora-ctl: %s: the server named no job id; nothing to wait for\n", c->name);
        return CTL_EXIT_NO_ANSWER;
    }
    return ctl_jobs_follow(c, id);
}

int ctl_jobs_control(ctl_sys_ctx_t *c)
{
    int id = atoi(ctl_sys_pos(c, 0).c_str());
    int f_transfer = ctl_jobs_is_transfer(c);
    const char *verb = strchr(c->name, ' ') + 1;
    int r;
    if (strcmp(verb, "cancel") == 0)
        r = f_transfer ? pelmora_filetransfer_request_cancel(c->url, id)
                       : pelmora_filetranscoder_request_cancel(c->url, id);
    else if (strcmp(verb, "restart") == 0)
        r = f_transfer ? pelmora_filetransfer_request_restart(c->url, id)
                       : pelmora_filetranscoder_request_restart(c->url, id);
    else
        r = f_transfer ? pelmora_filetransfer_request_del(c->url, id) : pelmora_filetranscoder_request_del(c->url, id);
    if (r < 0)
        return ctl_sys_fail(c, r, "job " + std::to_string(id));
    return ctl_sys_result(c, r);
}

int ctl_jobs_wait(ctl_sys_ctx_t *c)
{
    return ctl_jobs_follow(c, atoi(ctl_sys_pos(c, 0).c_str()));
}
