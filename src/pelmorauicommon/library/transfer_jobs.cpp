/* Job list engine (see transfer_jobs.h). */
#include "transfer_jobs.h"

#include <stdio.h>
#include <stdlib.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "gdk_unlock.h"
#include "pelmora.h"

#include "i18n.h"

namespace {

struct job_cmd
{
    char op;
    std::vector<int> ids;
};

struct posted
{
    library_jobs_t *e;
    library_jobs_answer_t a;
};

const char *op_name(char op)
{
    return op == 'c' ? _("Cancel") : op == 'r' ? _("Restart") : _("Delete");
}

void say(std::string *said, const char *line)
{
    *said += said->empty() ? line : std::string("; ") + line;
}

} // namespace

struct library_jobs_desc
{
    std::string url;
    int limit = 0;
    library_jobs_ops_t ops;
    std::mutex m;
    std::condition_variable cv;
    std::deque<job_cmd> cmds;
    bool want_fetch = false, stop = false;
    int pending = 0; /* answers posted and not yet applied (under m) */
    std::thread worker;
};

static gboolean jobs_apply(gpointer data)
{
    posted *p = (posted *)data;
    library_jobs_t *e = p->e;
    e->ops.answer(e->ops.ctx, &p->a);
    free(p->a.records);
    delete p;
    std::lock_guard<std::mutex> g(e->m);
    e->pending--;
    return FALSE;
}

static void jobs_worker(library_jobs_t *e)
{
    std::unique_lock<std::mutex> g(e->m);
    for (;;) {
        e->cv.wait(g, [e] { return e->stop || e->want_fetch || !e->cmds.empty(); });
        if (e->stop)
            return;
        std::deque<job_cmd> cmds;
        cmds.swap(e->cmds);
        e->want_fetch = false;
        g.unlock();
        posted *p = new posted();
        p->e = e;
        for (const job_cmd &c : cmds)
            for (int id : c.ids) {
                int rc = e->ops.control(e->url.c_str(), c.op, id);
                if (rc < 0) {
                    char line[200];
                    snprintf(line, sizeof(line), _("%s of job %d refused: %s (%d)"), op_name(c.op), id,
                             rc == -14 ? _("no answer from the server") : pelmora_result_text(rc), rc);
                    say(&p->a.said, line);
                }
            }
        p->a.n = e->ops.fetch(e->url.c_str(), e->limit, &p->a.records);
        if (p->a.n < 0) {
            char line[120];
            snprintf(line, sizeof(line), _("Job list unavailable (%d)"), p->a.n);
            say(&p->a.said, line);
        }
        g.lock();
        if (e->stop) {
            free(p->a.records);
            delete p;
            return;
        }
        e->pending++;
        gdk_threads_add_idle(jobs_apply, p);
    }
}

library_jobs_t *library_jobs_start(const char *url, int limit, const library_jobs_ops_t *ops)
{
    library_jobs_t *e = new library_jobs_t();
    e->url = url ? url : "";
    e->limit = limit;
    e->ops = *ops;
    e->worker = std::thread(jobs_worker, e);
    return e;
}

void library_jobs_reload(library_jobs_t *e)
{
    std::lock_guard<std::mutex> g(e->m);
    e->want_fetch = true;
    e->cv.notify_one();
}

void library_jobs_control(library_jobs_t *e, char op, const int *ids, int n)
{
    std::lock_guard<std::mutex> g(e->m);
    if (n > 0)
        e->cmds.push_back(job_cmd{op, std::vector<int>(ids, ids + n)});
    e->want_fetch = true;
    e->cv.notify_one();
}

void library_jobs_stop(library_jobs_t *e)
{
    if (!e)
        return;
    {
        std::lock_guard<std::mutex> g(e->m);
        e->stop = true;
        e->cv.notify_one();
    }
    /* The worker may be inside a server call, and posted answers take the
     * GDK lock when they run: it is let go meanwhile. */
    idle_wrap_join(e->worker, &gdk_idle_lock);
    {
        gdk_unlock_guard unlocked;
        for (;;) {
            {
                std::lock_guard<std::mutex> g(e->m);
                if (!e->pending)
                    break;
            }
            g_main_context_iteration(nullptr, FALSE);
        }
    }
    delete e;
}

int library_jobs_call(const std::function<int()> &call)
{
    int r = 0;
    idle_wrap_off_main([&] { r = call(); }, nullptr, &gdk_idle_lock);
    return r;
}
