/* Console benchmark harness: the real main window and bus engines against a
 * running automation server, timed from inside the process. Start-up until
 * every visible row of every bus is filled; a take through the TAKE button's
 * handler until the row and the clocks show it, beside the bare round trip
 * of the same call; a change made by another client (pelmora-ctl) until the
 * row shows it; the main loop's longest pause in each phase; resident memory
 * after scrolling through every list. With libraries and previews (the
 * whole console, started as the program starts): a large library folder
 * opened and scrolled in every bus, memory after it, and a library change by
 * another client until the tree shows it. Prints figures; never fails on
 * time. */
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bus.h"
#include "console_probe.h"
#include "instance.h"
#include "instance_lifecycle.h"
#include "library.h"
#include "pelmora.h"
#include "pelmora_lib.h"
#include "pelmorabox.h"
#include "ui_bus.h"

extern char **environ;

namespace {

struct harness_opts_desc
{
    std::string host;
    std::string ctl;
    int buses = 8;
    int takes = 10;
    int changes = 10;
    bool scroll = false;
    std::string label = "console";
    std::vector<std::string> bus_args; /* added to every bus (--lib, ...) */
    std::vector<std::string> prv_io;   /* one preview IO server per bus */
    std::string lib_folder;            /* the folder opened in every library */
    int lib_items = 0;                 /* its item count */
};

double ms(int64_t us)
{
    return (double)us / 1000.0;
}

/* "median m  p90 p  max x ms (n=N)" of a set of microsecond samples. */
std::string spread(std::vector<int64_t> v)
{
    if (v.empty())
        return "no samples";
    std::sort(v.begin(), v.end());
    char buf[160];
    snprintf(buf, sizeof buf, "median %.1f  p90 %.1f  min %.1f  max %.1f ms (n=%zu)", ms(v[v.size() / 2]),
             ms(v[std::min(v.size() - 1, v.size() * 9 / 10)]), ms(v.front()), ms(v.back()), v.size());
    return buf;
}

int64_t median(std::vector<int64_t> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void gap_line(const char *phase)
{
    printf("%-28s main loop longest pause %.1f ms\n", phase, ms(console_probe_gap_max_us()));
    console_probe_gap_reset();
}

/* A bus is ready when its grid has the server's row count and every row it
 * shows is filled; a grid on a page that is not shown has no visible range,
 * and the engine fills only its first two rows until the page is shown. */
bool bus_ready(bus_t *b)
{
    if (b->state.s.count <= 0 || grid_rows(b) != b->state.s.count)
        return false;
    int first, last;
    if (grid_visible(b, &first, &last))
        return grid_visible_filled(b);
    return grid_event(b, 0) && (b->state.s.count < 2 || grid_event(b, 1));
}

bool all_ready(instance_t *app)
{
    for (int i = 0; i < app->bus.count; i++)
        if (!bus_ready(&app->bus.list[i]))
            return false;
    return true;
}

/* Shows each bus's page in turn, as soon as the one before is filled, and
 * returns the time from each switch until that page's visible rows were
 * filled (the page of bus 0 is shown at the end again). */
std::vector<int64_t> tab_tour(instance_t *app, int *missed)
{
    std::vector<int64_t> out;
    *missed = 0;
    for (int i = 1; i <= app->bus.count; i++) {
        int page = i % app->bus.count;
        bus_t *b = &app->bus.list[page];
        int64_t t0 = console_probe_now_us();
        gtk_notebook_set_current_page(GTK_NOTEBOOK(app->apps_notebook), page);
        if (engine_run_until([&] { return grid_visible_filled(b); }, 10000, 1))
            out.push_back(console_probe_now_us() - t0);
        else
            (*missed)++;
    }
    return out;
}

/* ---- (b) take through the button's handler. ---- */

struct row_watch_desc
{
    bus_t *bus;
    int64_t sys_id;
    const char *title; /* when set: any row whose title is this */
    int64_t t_seen;
    int64_t after_sys_id; /* when set: any other event playing on top (the
                             server skips events the library lacks) */
};

row_watch_desc row_watch;

bool row_watch_holds(void)
{
    bus_t *b = row_watch.bus;
    if (!b)
        return false;
    if (row_watch.title) {
        int rows = grid_rows(b);
        int first = 0, last = -1;
        if (!grid_visible(b, &first, &last))
            return false;
        for (int i = std::max(0, first); i <= last && i < rows; i++)
            if (grid_text(b, i, BUS_COLUMN_TITLE) == row_watch.title)
                return true;
        return false;
    }
    pelmorabox_event_t *e = grid_event(b, 0);
    bool which = row_watch.after_sys_id ? e && e->sys_id != row_watch.after_sys_id : e && e->sys_id == row_watch.sys_id;
    return which && (e->flags & PELMORABOX_EVENT_FLAG_PLAYING) &&
           grid_text(b, 0, BUS_COLUMN_NOTES).find("PLAYING") != std::string::npos;
}

/* Every change of a row is checked at once, so the time is the moment the
 * row was set, not the next tick of a waiting loop. */
void on_row_changed(GtkTreeModel *, GtkTreePath *, GtkTreeIter *, gpointer)
{
    if (row_watch.bus && !row_watch.t_seen && row_watch_holds())
        row_watch.t_seen = console_probe_now_us();
}

void watch_rows(instance_t *app)
{
    for (int i = 0; i < app->bus.count; i++) {
        GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(app->bus.list[i].grid));
        g_signal_connect(m, "row-changed", G_CALLBACK(on_row_changed), nullptr);
    }
}

void phase_take(instance_t *app, const harness_opts_desc &o)
{
    bus_t *b = &app->bus.list[0];
    if (!b->buttons[BUTTON_LIST_TAKE]) {
        printf("(b) take: the panel has no TAKE button\n");
        return;
    }
    std::vector<int64_t> handler, clocks, shown, bare;
    int missed = 0;
    console_probe_gap_reset();
    for (int i = 0; i < o.takes; i++) {
        /* Past the button's double-click guard, with the list at rest. */
        engine_run_for(700);
        engine_run_until([&] { return grid_visible_filled(b) && grid_event(b, 1); }, 5000);
        pelmorabox_event_t *next = grid_event(b, 1);
        if (!next || !b->state.s.f_running) {
            printf("(b) take: bus 0 is not running or has no second event\n");
            return;
        }
        int64_t amend0 = b->state.s.amend;
        pelmorabox_event_t *on_air = grid_event(b, 0);
        row_watch = {b, next->sys_id, nullptr, 0, o.bus_args.empty() || !on_air ? 0 : on_air->sys_id};
        int64_t t0 = console_probe_now_us();
        gtk_button_clicked(GTK_BUTTON(b->buttons[BUTTON_LIST_TAKE]));
        int64_t t1 = console_probe_now_us();
        auto clock_shows = [&] {
            return b->state.s.amend != amend0 &&
                   console_probe_clock(b->clock_rem) ==
                       std::string(b->state.s.curr_remain[0] ? b->state.s.curr_remain : "  :  :  :  ");
        };
        int64_t t_clock = clock_shows() ? t1 : 0;
        bool ok = engine_run_until(
            [&] {
                if (!t_clock && clock_shows())
                    t_clock = console_probe_now_us();
                if (!row_watch.t_seen && row_watch_holds())
                    row_watch.t_seen = console_probe_now_us();
                return t_clock && row_watch.t_seen;
            },
            5000, 1);
        if (!ok) {
            missed++;
            pelmorabox_event_t *e0 = grid_event(b, 0);
            fprintf(stderr,
                    "take %d not shown: handler %.1f ms, amend %lld -> %lld, clock [%s] state [%s], row 0 sys_id %lld "
                    "(want %lld) flags %llx notes [%s]\n",
                    i, ms(t1 - t0), (long long)amend0, (long long)b->state.s.amend,
                    console_probe_clock(b->clock_rem).c_str(), b->state.s.curr_remain,
                    e0 ? (long long)e0->sys_id : -1LL, (long long)row_watch.sys_id,
                    e0 ? (unsigned long long)e0->flags : 0ULL, grid_text(b, 0, BUS_COLUMN_NOTES).c_str());
            row_watch.bus = nullptr;
            continue;
        }
        if (getenv("HARNESS_VERBOSE"))
            printf("take %d: handler %.1f clocks %.1f row %.1f ms\n", i, ms(t1 - t0), ms(t_clock - t0),
                   ms(row_watch.t_seen - t0));
        handler.push_back(t1 - t0);
        clocks.push_back(t_clock - t0);
        shown.push_back(std::max(t_clock, row_watch.t_seen) - t0);
        row_watch.bus = nullptr;

        /* The bare call, from a plain thread while the loop goes on, on the
         * same bus and server. */
        engine_run_for(300);
        std::atomic<bool> done{false};
        int64_t rtt = 0;
        int r = 0;
        pelmorabox_bus_state_t s;
        std::thread th([&] {
            int64_t a = console_probe_now_us();
            r = pelmorabox_take(b->url, b->idx, &s);
            rtt = console_probe_now_us() - a;
            done = true;
        });
        engine_run_until([&] { return done.load(); }, 15000, 1);
        th.join();
        if (r >= 0) {
            bare.push_back(rtt);
            /* The console learns of this take from its next state poll;
             * the next take through the button must start from there. */
            engine_run_until([&] { return b->state.s.amend >= s.amend; }, 5000, 5);
        }
    }
    printf("(b) take, TAKE button handler returned: %s\n", spread(handler).c_str());
    printf("(b) take, clocks show the new state:    %s\n", spread(clocks).c_str());
    printf("(b) take, row and clocks show it:        %s\n", spread(shown).c_str());
    printf("(b) bare PelmoraBox.Take round trip:     %s\n", spread(bare).c_str());
    if (!shown.empty() && !bare.empty())
        printf("(b) take-to-display / bare round trip (medians): %.2f\n",
               (double)median(shown) / (double)std::max<int64_t>(1, median(bare)));
    if (missed)
        printf("(b) takes not shown within 5 s: %d\n", missed);
    gap_line("(b)");
}

/* ---- (c) a change made by another client. ---- */

struct ctl_run_desc
{
    int64_t t_spawn = 0, t_exit = 0;
    int status = -1;
    std::atomic<bool> done{false};
};

void ctl_run(const std::vector<std::string> &args, ctl_run_desc *r)
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    r->t_spawn = console_probe_now_us();
    pid_t pid = -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    int sr = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (sr == 0) {
        int st = 0;
        waitpid(pid, &st, 0);
        r->status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    r->t_exit = console_probe_now_us();
    r->done = true;
}

void phase_change(instance_t *app, const harness_opts_desc &o)
{
    if (o.ctl.empty()) {
        printf("(c) other client: no --ctl given\n");
        return;
    }
    bus_t *b = &app->bus.list[0];
    std::vector<int64_t> from_spawn, from_ack, ctl_time;
    int missed = 0;
    console_probe_gap_reset();
    for (int i = 0; i < o.changes; i++) {
        engine_run_for(250 + 97 * (i % 7));
        engine_run_until([&] { return grid_visible_filled(b); }, 5000);
        int first = 0, last = 0;
        if (!grid_visible(b, &first, &last) || last - first < 6) {
            printf("(c) other client: too few visible rows\n");
            return;
        }
        int row = first + 3 + i % 3;
        char title[64];
        snprintf(title, sizeof title, "bench change %d-%d", (int)getpid(), i);
        row_watch = {b, 0, title, 0, 0};
        ctl_run_desc r;
        std::vector<std::string> args = {
            o.ctl,     "--host", o.host, "--idx", std::to_string(b->idx), "-q", "update", "--idx", std::to_string(row),
            "--title", title};
        std::thread th(ctl_run, args, &r);
        bool ok = engine_run_until([&] { return r.done.load() && row_watch.t_seen; }, 8000, 1);
        th.join();
        if (!ok || r.status != 0) {
            missed++;
            row_watch.bus = nullptr;
            continue;
        }
        from_spawn.push_back(row_watch.t_seen - r.t_spawn);
        from_ack.push_back(std::max<int64_t>(0, row_watch.t_seen - r.t_exit));
        ctl_time.push_back(r.t_exit - r.t_spawn);
        row_watch.bus = nullptr;
    }
    printf("(c) pelmora-ctl update run (start to exit): %s\n", spread(ctl_time).c_str());
    printf("(c) change shown, from pelmora-ctl start:   %s\n", spread(from_spawn).c_str());
    printf("(c) change shown, from pelmora-ctl exit:    %s\n", spread(from_ack).c_str());
    if (missed)
        printf("(c) changes not shown within 8 s (or refused): %d\n", missed);
    gap_line("(c)");
}

/* ---- (e) scrolling through every list. ---- */

void phase_scroll(instance_t *app)
{
    long before = console_probe_rss_kib();
    console_probe_gap_reset();
    int64_t t0 = console_probe_now_us();
    int pages = 0, slow = 0;
    for (int i = 0; i < app->bus.count; i++) {
        bus_t *b = &app->bus.list[i];
        gtk_notebook_set_current_page(GTK_NOTEBOOK(app->apps_notebook), i);
        engine_run_for(100);
        GtkAdjustment *adj = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(b->scrolled));
        double value = 0;
        for (;;) {
            gtk_adjustment_set_value(adj, value);
            pages++;
            if (!engine_run_until([&] { return grid_visible_filled(b); }, 3000, 1))
                slow++;
            double upper = gtk_adjustment_get_upper(adj), page = gtk_adjustment_get_page_size(adj);
            if (value >= upper - page || page <= 0)
                break;
            value = std::min(value + page, upper - page);
        }
        gtk_adjustment_set_value(adj, 0);
    }
    int64_t t1 = console_probe_now_us();
    gtk_notebook_set_current_page(GTK_NOTEBOOK(app->apps_notebook), 0);
    engine_run_for(1500);
    long rows = 0, held = 0;
    for (int i = 0; i < app->bus.count; i++) {
        bus_t *b = &app->bus.list[i];
        int n = grid_rows(b);
        rows += n;
        GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(b->grid));
        GtkTreeIter it;
        for (gboolean ok = gtk_tree_model_get_iter_first(m, &it); ok; ok = gtk_tree_model_iter_next(m, &it)) {
            pelmorabox_event_t *e = nullptr;
            gtk_tree_model_get(m, &it, BUS_COLUMN_DATA, &e, -1);
            held += e ? 1 : 0;
        }
    }
    long after = console_probe_rss_kib();
    printf("(e) scrolled %d pages of %d buses in %.1f s (%d pages not filled within 3 s)\n", pages, app->bus.count,
           ms(t1 - t0) / 1000.0, slow);
    printf("(e) rows %ld, rows holding an event %ld\n", rows, held);
    printf("(e) resident memory before scrolling %.1f MiB, after %.1f MiB\n", before / 1024.0, after / 1024.0);
    gap_line("(e)");
}

/* ---- (g) every bus's library: a large folder opened and scrolled through,
 * then a change by another client until the tree shows it. ---- */

bool lib_find(GtkTreeModel *m, GtkTreeIter *parent, const char *title, GtkTreeIter *out);

/* The folder row titled `title` directly under the library's root row. */
bool lib_folder(GtkTreeModel *m, const char *title, GtkTreeIter *out)
{
    GtkTreeIter root;
    return gtk_tree_model_get_iter_first(m, &root) && lib_find(m, &root, title, out);
}

/* The row titled `title` among the children of parent. */
bool lib_find(GtkTreeModel *m, GtkTreeIter *parent, const char *title, GtkTreeIter *out)
{
    for (gboolean ok = gtk_tree_model_iter_children(m, out, parent); ok; ok = gtk_tree_model_iter_next(m, out)) {
        gchar *t = nullptr;
        gtk_tree_model_get(m, out, 1, &t, -1);
        bool same = t && !strcmp(t, title);
        g_free(t);
        if (same)
            return true;
    }
    return false;
}

GtkTreeView *lib_view(bus_t *b)
{
    GtkWidget *w = b->lib.ui[LIBRARY_UI_CLIPS_TREE];
    return w && GTK_IS_TREE_VIEW(w) ? GTK_TREE_VIEW(w) : nullptr;
}

void phase_libraries(instance_t *app, const harness_opts_desc &o)
{
    console_probe_gap_reset();
    std::vector<int64_t> loaded, scrolled;
    int missing = 0;
    for (int i = 0; i < app->bus.count; i++) {
        bus_t *b = &app->bus.list[i];
        gtk_notebook_set_current_page(GTK_NOTEBOOK(app->apps_notebook), i);
        GtkTreeView *v = lib_view(b);
        GtkTreeIter dir;
        /* The pane starts folded: the operator unfolds it, then opens the
         * root row, which is listed when it is opened. */
        if (GtkWidget *show = b->lib.ui[LIBRARY_UI_BUTTON_SHOW])
            gtk_button_clicked(GTK_BUTTON(show));
        engine_run_for(200);
        GtkTreePath *root = gtk_tree_path_new_first();
        if (v)
            gtk_tree_view_expand_row(v, root, FALSE);
        gtk_tree_path_free(root);
        if (!v || !engine_run_until([&] { return lib_folder(gtk_tree_view_get_model(v), o.lib_folder.c_str(), &dir); },
                                    10000, 5)) {
            if (v && getenv("HARNESS_VERBOSE")) {
                GtkTreeModel *m = gtk_tree_view_get_model(v);
                GtkTreeIter top, child;
                for (gboolean ok = gtk_tree_model_get_iter_first(m, &top); ok; ok = gtk_tree_model_iter_next(m, &top)) {
                    gchar *t = nullptr;
                    gtk_tree_model_get(m, &top, 1, &t, -1);
                    fprintf(stderr, "library row [%s], %d children:", t ? t : "",
                            gtk_tree_model_iter_n_children(m, &top));
                    g_free(t);
                    for (gboolean c = gtk_tree_model_iter_children(m, &child, &top); c;
                         c = gtk_tree_model_iter_next(m, &child)) {
                        gtk_tree_model_get(m, &child, 1, &t, -1);
                        fprintf(stderr, " [%s]", t ? t : "");
                        g_free(t);
                    }
                    fprintf(stderr, "\n");
                }
            }
            missing++;
            continue;
        }
        GtkTreeModel *m = gtk_tree_view_get_model(v);
        GtkTreePath *path = gtk_tree_model_get_path(m, &dir);
        int64_t t0 = console_probe_now_us();
        gtk_tree_view_expand_to_path(v, path);
        gtk_tree_path_free(path);
        bool all = engine_run_until(
            [&] {
                GtkTreeIter d;
                return lib_folder(m, o.lib_folder.c_str(), &d) && gtk_tree_model_iter_n_children(m, &d) >= o.lib_items;
            },
            180000, 20);
        if (!all) {
            missing++;
            continue;
        }
        loaded.push_back(console_probe_now_us() - t0);
        GtkAdjustment *adj = gtk_tree_view_get_vadjustment(v);
        int64_t t1 = console_probe_now_us();
        for (double value = 0;;) {
            gtk_adjustment_set_value(adj, value);
            engine_run_for(20);
            double upper = gtk_adjustment_get_upper(adj), page = gtk_adjustment_get_page_size(adj);
            if (value >= upper - page || page <= 0)
                break;
            value = std::min(value + page, upper - page);
        }
        scrolled.push_back(console_probe_now_us() - t1);
    }
    printf("(g) library folder of %d items opened until every row is in: %s\n", o.lib_items, spread(loaded).c_str());
    printf("(g) scrolled through it page by page: %s\n", spread(scrolled).c_str());
    if (missing)
        printf("(g) libraries without the folder or not filled within 180 s: %d\n", missing);
    gap_line("(g)");
    printf("(g) resident memory with every library opened and scrolled: %.1f MiB\n", console_probe_rss_kib() / 1024.0);

    /* Another client renames an item of the open folder; timed until the
     * first bus's tree shows the new name. */
    bus_t *b = &app->bus.list[0];
    GtkTreeView *v = lib_view(b);
    if (!v || !o.lib_items)
        return;
    gtk_notebook_set_current_page(GTK_NOTEBOOK(app->apps_notebook), 0);
    std::vector<int64_t> shown;
    GtkTreeModel *m = gtk_tree_view_get_model(v);
    for (int k = 0; k < 5; k++) {
        GtkTreeIter dir, row;
        if (!lib_folder(m, o.lib_folder.c_str(), &dir) || !gtk_tree_model_iter_nth_child(m, &row, &dir, 100 + k))
            break;
        gchar *t = nullptr;
        gtk_tree_model_get(m, &row, 1, &t, -1);
        std::string from = "/" + o.lib_folder + "/" + (t ? t : ""), to_name = std::string("renamed_") + (t ? t : "");
        g_free(t);
        std::string to = "/" + o.lib_folder + "/" + to_name;
        std::atomic<bool> done{false};
        int64_t t0 = console_probe_now_us();
        std::string url = b->lib.url;
        std::thread other([&] {
            pelmora_lib_rename_item(url.c_str(), from.c_str(), to.c_str());
            done = true;
        });
        bool ok = engine_run_until(
            [&] {
                GtkTreeIter d, r;
                return done && lib_folder(m, o.lib_folder.c_str(), &d) && lib_find(m, &d, to_name.c_str(), &r);
            },
            /* Not more often: a look through 10,000 rows every few ms would
             * itself keep the main loop from the hand-overs it waits for. */
            20000, 20);
        other.join();
        if (ok)
            shown.push_back(console_probe_now_us() - t0);
    }
    printf("(g) an item renamed by another client until the open tree shows it (looked for every 20 ms): %s\n",
           spread(shown).c_str());
    gap_line("(g)");
}

int usage(void)
{
    fprintf(stderr, "usage: console_harness --host HOST:PORT [--buses N] [--ctl PELMORA_CTL] [--takes N]\n"
                    "                       [--changes N] [--scroll] [--label TEXT] [--bus-arg ARG]...\n"
                    "                       [--prv-io HOST:PORT]... [--library-folder NAME --library-items N]\n"
                    "       (--prv-io: a bus's preview IO server, for its status monitor and its picture)\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    int64_t t_process = console_probe_now_us();
    harness_opts_desc o;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](void) -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--host")
            o.host = value();
        else if (a == "--ctl")
            o.ctl = value();
        else if (a == "--buses")
            o.buses = atoi(value().c_str());
        else if (a == "--takes")
            o.takes = atoi(value().c_str());
        else if (a == "--changes")
            o.changes = atoi(value().c_str());
        else if (a == "--label")
            o.label = value();
        else if (a == "--scroll")
            o.scroll = true;
        else if (a == "--bus-arg")
            o.bus_args.push_back(value());
        else if (a == "--prv-io")
            o.prv_io.push_back(value());
        else if (a == "--library-folder")
            o.lib_folder = value();
        else if (a == "--library-items")
            o.lib_items = atoi(value().c_str());
        else
            return usage();
    }
    if (o.host.empty() || o.buses < 1 || o.buses > INSTANCE_MAX_BUSES)
        return usage();
    instance_bin_dir_set(argv[0]);
    if (!engine_gtk_ready(false)) {
        fprintf(stderr, "console_harness: no display\n");
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);

    engine_app p;
    int64_t t_build = console_probe_now_us();
    /* Libraries and previews make it the whole console: started and
     * stopped as the program does it (instance_init, the window closed). */
    const bool whole = !o.bus_args.empty() || !o.prv_io.empty();
    std::vector<std::string> args;
    for (int i = 0; i < o.buses; i++) {
        std::vector<std::string> one = engine_bus_args(o.host, i + 1);
        args.insert(args.end(), one.end() - 3, one.end());
        args.insert(args.end(), o.bus_args.begin(), o.bus_args.end());
        if (i < (int)o.prv_io.size()) { /* its monitor and its picture */
            args.push_back("--io-preview=" + o.prv_io[i]);
            args.push_back("--prv-io=" + o.prv_io[i]);
        }
    }
    if (!p.create(args)) {
        fprintf(stderr, "console_harness: the window was not built\n");
        return 1;
    }
    console_probe_gap_start();
    if (whole) {
        gtk_widget_show(p.app->window);
        instance_init(p.app);
    } else
        p.start();
    int64_t t_started = console_probe_now_us();
    instance_t *app = p.app;
    watch_rows(app);

    printf("== %s: %d buses on %s\n", o.label.c_str(), o.buses, o.host.c_str());
    bool ready = engine_run_until([&] { return all_ready(app); }, 60000, 1);
    int64_t t_ready = console_probe_now_us();
    long rows = 0;
    for (int i = 0; i < app->bus.count; i++)
        rows += grid_rows(&app->bus.list[i]);
    if (!ready)
        printf("(a) not every bus had its rows after 60 s (%ld rows)\n", rows);
    printf("(a) window build and engine start: %.1f ms\n", ms(t_started - t_build));
    printf("(a) start-up to the shown page filled and every bus's rows in place: %.1f ms from process start, "
           "%.1f ms from engines started (%ld rows)\n",
           ms(t_ready - t_process), ms(t_ready - t_started), rows);
    int missed = 0;
    std::vector<int64_t> tour = tab_tour(app, &missed);
    int64_t t_toured = console_probe_now_us();
    printf("(a) showing each page in turn, switch until its visible rows are filled: %s\n", spread(tour).c_str());
    if (missed)
        printf("(a) pages not filled within 10 s of being shown: %d\n", missed);
    printf("(a) start-up to every visible row of every bus filled (each page shown once, in turn): %.1f ms from "
           "process start\n",
           ms(t_toured - t_process));
    gap_line("(a)");

    /* The toolkit measures every row of a grid it has shown, in the
     * background; until it is through, the main loop is held in long slices
     * and every figure below would be one of waiting for them. */
    int64_t t_settle = console_probe_now_us();
    engine_run_until(
        [&] {
            int64_t last = console_probe_gap_last_over_50ms();
            return console_probe_now_us() - std::max(last, t_settle) > 2000000;
        },
        120000, 20);
    int64_t long_total = 0;
    int64_t long_count = console_probe_gap_long(&long_total);
    printf("(a) after the pages were shown the main loop was held %lld times for over 100 ms (%.1f s in all, longest "
           "%.1f ms); "
           "at rest %.1f s later\n",
           (long long)long_count, ms(long_total) / 1000.0, ms(console_probe_gap_max_us()),
           ms(std::max(console_probe_gap_last_over_50ms(), t_settle) - t_toured) / 1000.0);
    console_probe_gap_reset();

    engine_run_for(1000);
    phase_take(app, o);
    phase_change(app, o);
    if (o.scroll)
        phase_scroll(app);
    else
        printf("resident memory: %.1f MiB\n", console_probe_rss_kib() / 1024.0);
    if (!o.lib_folder.empty())
        phase_libraries(app, o);

    int64_t t_stop = console_probe_now_us();
    int rc = 0;
    if (whole) {
        GdkEvent *ev = gdk_event_new(GDK_DELETE);
        ev->any.window = GDK_WINDOW(g_object_ref(app->window->window));
        gtk_main_do_event(ev);
        gdk_event_free(ev);
        gtk_main(); /* until the window is gone */
        instance_release(app);
    } else
        rc = p.stop(15000) < 0;
    printf("shutdown of the engines: %.1f ms%s\n", ms(console_probe_now_us() - t_stop),
           rc ? " (did not end within 15 s)" : "");
    fflush(stdout);
    /* The protocol client is left to the process's end, as a hung worker
     * would still hold a client. */
    return rc ? 1 : 0;
}
