/* Bus engine: the state thread (bus state every 0.9 s), the events thread
 * (stale rows, at most 32 per call) and the update queue between them, the
 * hand-over of results to the main loop, and the grid's scrolling hooks. */
#include "bus.h"

#include <gtk/gtk.h>
#include <inttypes.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "gdk_unlock.h"
#include "pelmorabox.h"

/* A hostile or broken server must not make the grid allocate without bound. */
#define BUS_LIST_MAX 1000000

/* Applies a state on the main loop, whoever brought it (bus_push_state for
 * operator actions, the workers' hand-over for polls). */
int bus_apply_state(bus_t *bus, int ret, pelmorabox_bus_state_t *s);

namespace {

/* Engine-private state of a running bus: which threads were started, and a
 * stop flag so that a bus can be released whatever f_exit says. */
struct bus_engine_desc
{
    bool state_started = false;
    bool events_started = false;
    std::atomic<int> stop{0};
    /* Set by the events thread when a fetch failed: the next applied state
     * queues the visible stale rows again even if nothing changed since, so
     * rows lost to a failed call do not stay empty or stale. */
    std::atomic<int> fetch_failed{0};
    /* States applied straight from an operator action (main loop). A worker
     * captures the count before its call; if an action pushed a state while
     * the call was out, the worker's answer is older than what is shown and
     * is dropped, so a series of edits never shows a state from its middle. */
    std::atomic<uint64_t> direct_pushes{0};
    /* The state thread sleeps on `wake` between polls; bus_release wakes it. */
    std::mutex wake_lock;
    std::condition_variable wake;
    /* First visible row when rows far from view last gave back their
     * records (-1: never); main loop only. */
    int kept_first = -1;
    /* Rows stored with an amend newer than the applied state's: fetched
     * against a list the grid does not show yet (the events thread's answer
     * came before its state). If that state then drops rows at the top,
     * these rows sit off their place wherever the view is by then; main loop
     * only. Past BUS_AHEAD_MAX entries, ahead_all stands for every row. */
    std::vector<int> ahead;
    bool ahead_all = false;
};

#define BUS_AHEAD_MAX 4096

/* How often a sleeping state thread looks at f_exit, which is set without
 * waking it (bus_release wakes it at once). */
#define BUS_STOP_CHECK_US 100000

/* Guards each bus's rt.engine (set while its queue is initialised) and
 * rt.recheck_waiting. Held across every queue operation from outside the
 * events thread, so bus_release never destroys the lock while the main loop
 * or the state thread is using it. */
std::mutex engines_lock;

std::atomic<int> main_thread_violations{0};

bus_engine_desc *engine_of(const bus_t *bus)
{
    std::lock_guard<std::mutex> g(engines_lock);
    return static_cast<bus_engine_desc *>(bus->rt.engine);
}

bool bus_stopping(const bus_t *bus, const bus_engine_desc *eng)
{
    if (eng && eng->stop.load())
        return true;
    return bus->app && instance_stopping(bus->app) != 0;
}

/* Sleeps us microseconds, leaving early when the bus stops. One wake-up per
 * BUS_STOP_CHECK_US at most: eight buses ticking every 10 ms cost more CPU
 * in context switches than all their polls together. */
void bus_sleep(const bus_t *bus, bus_engine_desc *eng, int64_t us)
{
    if (!eng) {
        while (us > 0 && !bus_stopping(bus, eng)) {
            int64_t step = std::min<int64_t>(us, BUS_STATE_TICK_US);
            usleep((useconds_t)step);
            us -= step;
        }
        return;
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
    std::unique_lock<std::mutex> g(eng->wake_lock);
    while (!bus_stopping(bus, eng)) {
        auto now = std::chrono::steady_clock::now();
        if (now >= until)
            break;
        eng->wake.wait_until(g, std::min(until, now + std::chrono::microseconds(BUS_STOP_CHECK_US)));
    }
}

/* A worker's state, applied unless an operator action overtook it: one was
 * pushed since the worker's call went out, or a series of edits holds the
 * pause flag. */
int push_state_proc(G_IDLE_WRAP_t *w)
{
    bus_t *bus = reinterpret_cast<bus_t *>(w->args[0]);
    bus_engine_desc *eng = engine_of(bus);
    if (eng &&
        (eng->direct_pushes.load() != (uint64_t)w->args[3] || __atomic_load_n(&bus->state.ign, __ATOMIC_ACQUIRE))) {
        g_warning("%s: state of a call overtaken by an operator action dropped", __func__);
        return 1;
    }
    return bus_apply_state(bus, (int)w->args[1], reinterpret_cast<pelmorabox_bus_state_t *>(w->args[2]));
}

int update_events_proc(G_IDLE_WRAP_t *w)
{
    bus_t *bus = reinterpret_cast<bus_t *>(w->args[0]);
    int cnt = (int)w->args[1];
    const int64_t *idxs = reinterpret_cast<const int64_t *>(w->args[2]);
    pelmorabox_event_t **events = reinterpret_cast<pelmorabox_event_t **>(w->args[3]);
    int r = bus->view.events_updated ? bus->view.events_updated(bus, cnt, idxs, events) : 0;
    if (bus_engine_desc *eng = engine_of(bus)) {
        for (int i = 0; i < cnt; i++) {
            if (!events[i] || events[i]->amend <= bus->state.s.amend || idxs[i] < 0 || idxs[i] > INT32_MAX)
                continue;
            if (eng->ahead.size() >= BUS_AHEAD_MAX)
                eng->ahead_all = true;
            else
                eng->ahead.push_back((int)idxs[i]);
        }
    }
    return r;
}

int hand_over_push_state(bus_t *bus, int ret, pelmorabox_bus_state_t *s, uint64_t pushes_before_call)
{
    G_IDLE_WRAP_t w = {};
    w.proc = push_state_proc;
    w.args[0] = reinterpret_cast<intptr_t>(bus);
    w.args[1] = ret;
    w.args[2] = reinterpret_cast<intptr_t>(s);
    w.args[3] = (intptr_t)pushes_before_call;
    return idle_wrap_run(&w, &gdk_idle_lock);
}

uint64_t direct_pushes_of(bus_t *bus)
{
    bus_engine_desc *eng = engine_of(bus);
    return eng ? eng->direct_pushes.load() : 0;
}

GtkTreeModel *grid_model(bus_t *bus)
{
    if (!bus->grid || !GTK_IS_TREE_VIEW(bus->grid))
        return nullptr;
    return gtk_tree_view_get_model(GTK_TREE_VIEW(bus->grid));
}

/* Rows are dropped at the top on the guess that events played out there. A
 * row fetched against the new list before its state was applied (the events
 * thread's answer came first) now sits off its place, yet carries the new
 * amend and would count as fresh: mark such rows stale so that they are
 * fetched again. Only fetched rows can be off: the rows in view (and the
 * `dropped` rows above them that the drop moved up) and the first two rows,
 * which every poll fetches, and the rows stored ahead of the applied state
 * (eng->ahead), which may have scrolled out of view between their fetch and
 * this state; a list of 10,000 is not walked on each take. Returns how many
 * were marked. */
int grid_mark_shifted_rows(bus_t *bus, bus_engine_desc *eng, int64_t amend, int dropped)
{
    GtkTreeModel *model = grid_model(bus);
    if (!model)
        return 0;
    int rows = gtk_tree_model_iter_n_children(model, nullptr);
    if (eng && eng->ahead_all) {
        /* Too many rows ahead to list: every row with the new amend. */
        eng->ahead_all = false;
        eng->ahead.clear();
        int n = 0;
        GtkTreeIter it;
        for (gboolean ok = gtk_tree_model_get_iter_first(model, &it); ok; ok = gtk_tree_model_iter_next(model, &it)) {
            pelmorabox_event_t *e = nullptr;
            gtk_tree_model_get(model, &it, BUS_COLUMN_DATA, &e, -1);
            if (e && e->amend >= amend) {
                e->amend = 0;
                n++;
            }
        }
        return n;
    }
    int first = 0, last = std::min(rows, 64) - 1;
    GtkTreePath *a = nullptr, *b = nullptr;
    if (gtk_tree_view_get_visible_range(GTK_TREE_VIEW(bus->grid), &a, &b)) {
        first = std::max(0, gtk_tree_path_get_indices(a)[0] - dropped);
        last = gtk_tree_path_get_indices(b)[0];
    }
    if (a)
        gtk_tree_path_free(a);
    if (b)
        gtk_tree_path_free(b);
    int n = 0;
    auto mark = [&](int i) {
        GtkTreeIter it;
        pelmorabox_event_t *e = nullptr;
        if (gtk_tree_model_iter_nth_child(model, &it, nullptr, i))
            gtk_tree_model_get(model, &it, BUS_COLUMN_DATA, &e, -1);
        if (e && e->amend >= amend) {
            e->amend = 0;
            n++;
        }
    };
    for (int i = 0; i < 2 && i < first; i++)
        mark(i);
    for (int i = first; i <= last && i < rows; i++)
        mark(i);
    /* Rows fetched ahead of the applied state, wherever the view has gone
     * since: they moved up with the drop as well. */
    if (eng)
        for (int i : eng->ahead)
            if (i - dropped >= 0 && i - dropped < rows)
                mark(i - dropped);
    return n;
}

/* After a state is applied: rows fetched ahead of it moved up by `dropped`;
 * keep only those still ahead of the applied amend. */
void grid_settle_ahead_rows(bus_t *bus, bus_engine_desc *eng, int64_t amend, int dropped)
{
    if (!eng || eng->ahead.empty())
        return;
    GtkTreeModel *model = grid_model(bus);
    std::vector<int> still;
    for (int i : eng->ahead) {
        int at = i - dropped;
        GtkTreeIter it;
        pelmorabox_event_t *e = nullptr;
        if (model && at >= 0 && gtk_tree_model_iter_nth_child(model, &it, nullptr, at))
            gtk_tree_model_get(model, &it, BUS_COLUMN_DATA, &e, -1);
        if (e && e->amend > amend && std::find(still.begin(), still.end(), at) == still.end())
            still.push_back(at);
    }
    eng->ahead.swap(still);
}

/* A row's event record takes about 1.9 KB (far more with metadata), so a
 * grid scrolled through a long list would end up holding every event of it.
 * Rows far from view give their records back and keep their texts; they are
 * stale again (no record) and are fetched when they come into view, like any
 * row not fetched yet. Kept: the rows in view and BUS_KEEP_ROWS either side,
 * the first two (every poll fetches them) and the selected rows. The sweep
 * runs when the view has moved BUS_KEEP_ROWS rows since the last one. */
void grid_release_far_rows(bus_t *bus, bus_engine_desc *eng, int first, int last)
{
    if (eng->kept_first >= 0 && std::abs(first - eng->kept_first) < BUS_KEEP_ROWS)
        return;
    eng->kept_first = first;
    GtkTreeModel *model = grid_model(bus);
    if (!model)
        return;
    GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(bus->grid));
    int lo = first - BUS_KEEP_ROWS, hi = last + BUS_KEEP_ROWS, released = 0;
    /* Only the record changes, no text: the view is not told, or it would
     * measure every such row again (about 0.5 ms a row). */
    g_signal_handlers_block_matched(model, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, bus->grid);
    GtkTreeIter it;
    int i = 0;
    for (gboolean ok = gtk_tree_model_get_iter_first(model, &it); ok; ok = gtk_tree_model_iter_next(model, &it), i++) {
        if (i < 2 || (i >= lo && i <= hi))
            continue;
        pelmorabox_event_t *e = nullptr;
        gtk_tree_model_get(model, &it, BUS_COLUMN_DATA, &e, -1);
        if (!e || gtk_tree_selection_iter_is_selected(sel, &it))
            continue;
        gtk_list_store_set(GTK_LIST_STORE(model), &it, BUS_COLUMN_DATA, nullptr, -1);
        pelmorabox_event_destroy(&e);
        released++;
    }
    g_signal_handlers_unblock_matched(model, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, bus->grid);
    if (released)
        g_warning("%s: bus %d: %d records given back, rows %d..%d kept", __func__, bus->idx, released, std::max(0, lo),
                  hi);
}

/* ---- The grid set up for long lists. ---- */

/* GTK draws each vertical grid line down the whole height of the list on
 * every expose, and strokes a dashed line dash by dash: for 10,000 rows that
 * is tens of milliseconds per redraw, during which hand-overs wait. A solid
 * line is clipped to the exposed area at once; the grid keeps its lines both
 * ways. And a column sized to its contents makes every changed row re-measure
 * every row of the list (each poll changes the first two); columns that only
 * grow re-measure the changed row alone. */
void grid_prepare_for_long_lists(GtkWidget *grid)
{
    static bool rc_parsed;
    if (!rc_parsed) {
        gtk_rc_parse_string("style \"pelmora_bus_grid\" { GtkTreeView::grid-line-pattern = \"\" }\n"
                            "widget \"*.bus_list_*\" style \"pelmora_bus_grid\"\n");
        rc_parsed = true;
    }
    gtk_widget_reset_rc_styles(grid);
    /* A realized view has read the pattern already; turning its lines off and
     * on again reads it anew. */
    GtkTreeView *view = GTK_TREE_VIEW(grid);
    GtkTreeViewGridLines lines = gtk_tree_view_get_grid_lines(view);
    if (lines != GTK_TREE_VIEW_GRID_LINES_NONE && gtk_widget_get_realized(grid)) {
        gtk_tree_view_set_grid_lines(view, GTK_TREE_VIEW_GRID_LINES_NONE);
        gtk_tree_view_set_grid_lines(view, lines);
    }
    GList *cols = gtk_tree_view_get_columns(view);
    for (GList *c = cols; c; c = c->next) {
        GtkTreeViewColumn *col = GTK_TREE_VIEW_COLUMN(c->data);
        if (gtk_tree_view_column_get_sizing(col) == GTK_TREE_VIEW_COLUMN_AUTOSIZE)
            gtk_tree_view_column_set_sizing(col, GTK_TREE_VIEW_COLUMN_GROW_ONLY);
    }
    g_list_free(cols);
}

/* ---- Scrolling hooks: whatever moved, queue the visible stale rows. ---- */

void enqueue_visible_after(const char *hook, bus_t *bus)
{
    g_warning("%s", hook);
    bus_enqueu_update_visible(bus, bus->state.s.amend);
}

void on_scrolled_changed(GtkAdjustment *adj, gpointer user_data)
{
    (void)adj;
    enqueue_visible_after("on_scrolled_changed", static_cast<bus_t *>(user_data));
}

void on_widget_scroll_adj(GtkTreeView *view, GtkAdjustment *h, GtkAdjustment *v, gpointer user_data)
{
    (void)view;
    (void)h;
    (void)v;
    enqueue_visible_after("on_widget_scroll_adj", static_cast<bus_t *>(user_data));
}

gboolean on_widget_scroll(GtkWidget *widget, GdkEvent *event, gpointer user_data)
{
    (void)widget;
    (void)event;
    enqueue_visible_after("on_widget_scroll", static_cast<bus_t *>(user_data));
    return FALSE;
}

void on_scrolled_size_allocate(GtkWidget *widget, GtkAllocation *allocation, gpointer user_data)
{
    (void)widget;
    (void)allocation;
    enqueue_visible_after("on_scrolled_size_allocate", static_cast<bus_t *>(user_data));
}

gboolean on_scrolled_scroll(GtkScrolledWindow *scrolled, GtkScrollType scroll, gboolean horizontal, gpointer user_data)
{
    (void)scrolled;
    (void)scroll;
    (void)horizontal;
    enqueue_visible_after("on_scrolled_scroll", static_cast<bus_t *>(user_data));
    return FALSE;
}

} // namespace

/* ---- Main thread check. ---- */

void bus_main_thread_mark(void)
{
    idle_wrap_main_mark();
}

int bus_assert_main_thread(const char *func)
{
    if (!idle_wrap_main_known() || idle_wrap_is_main())
        return 1;
    main_thread_violations.fetch_add(1);
    g_critical("%s: called off the main thread: widgets belong to the main loop", func);
    return 0;
}

int bus_main_thread_violations(void)
{
    return main_thread_violations.load();
}

/* ---- Applying results on the main loop. ---- */

int bus_push_state(bus_t *bus, int ret, pelmorabox_bus_state_t *s)
{
    if (!bus || !s)
        return -22;
    if (!bus_assert_main_thread("bus_push_state"))
        return -1;
    if (bus_engine_desc *eng = engine_of(bus))
        eng->direct_pushes++;
    return bus_apply_state(bus, ret, s);
}

/* A grid that just grew or shrank has not laid out its rows yet, so the
 * visible range it reports is the old one (or none): rows that came into view
 * would wait for the next scroll or change. Look again once the view has
 * settled, at default idle priority, after GTK's own layout work. */
gboolean bus_recheck_visible_idle(gpointer data)
{
    bus_t *bus = static_cast<bus_t *>(data);
    {
        std::lock_guard<std::mutex> g(engines_lock);
        bus->rt.recheck_waiting = 0;
        bus->rt.recheck_source = 0;
        if (!bus->rt.engine || (bus->app && instance_stopping(bus->app)))
            return FALSE;
    }
    if (bus->state.ret >= 0)
        bus_enqueu_update_visible(bus, bus->state.s.amend);
    return FALSE;
}

void bus_recheck_visible_later(bus_t *bus)
{
    std::lock_guard<std::mutex> g(engines_lock);
    if (!bus->rt.engine || bus->rt.recheck_waiting)
        return;
    bus->rt.recheck_waiting = 1;
    bus->rt.recheck_source = gdk_threads_add_idle_full(G_PRIORITY_DEFAULT_IDLE, bus_recheck_visible_idle, bus, nullptr);
}

int bus_apply_state(bus_t *bus, int ret, pelmorabox_bus_state_t *s)
{
    bus_engine_desc *eng = engine_of(bus);
    if (ret >= 0) {
        int shifted = 0, dropped = 0;
        if (s->count != bus->state.s.count) {
            GtkTreeModel *model = grid_model(bus);
            int before = model ? gtk_tree_model_iter_n_children(model, nullptr) : 0;
            int cnt = (int)std::max<int64_t>(0, std::min<int64_t>(s->count, BUS_LIST_MAX));
            bus_set_list_count(bus, cnt);
            if (cnt < before) {
                dropped = before - cnt;
                shifted = grid_mark_shifted_rows(bus, eng, s->amend, dropped);
            }
            bus_recheck_visible_later(bus);
        }
        grid_settle_ahead_rows(bus, eng, s->amend, dropped);
        bool retry = eng && eng->fetch_failed.exchange(0);
        if (s->amend != bus->state.s.amend || retry || shifted)
            bus_enqueu_update_visible(bus, s->amend);
        bus->state.ret = ret;
        {
            /* The events thread reads the applied amend under this lock. */
            std::lock_guard<std::mutex> g(engines_lock);
            bool queued = bus->rt.engine != nullptr;
            if (queued)
                pthread_mutex_lock(&bus->update.lock);
            bus->state.s = *s;
            if (queued)
                pthread_mutex_unlock(&bus->update.lock);
        }
        if (bus->view.time_updated)
            bus->view.time_updated(bus);
    } else if (bus->state.ret >= 0) {
        g_warning("%s: bus become offline", "bus_push_state");
        if (eng) {
            eng->ahead.clear();
            eng->ahead_all = false;
        }
        if (bus->view.gone_offline)
            bus->view.gone_offline(bus);
        bus->state.ret = ret;
        std::lock_guard<std::mutex> g(engines_lock);
        bool queued = bus->rt.engine != nullptr;
        if (queued)
            pthread_mutex_lock(&bus->update.lock);
        memset(&bus->state.s, 0, sizeof(bus->state.s));
        if (queued)
            pthread_mutex_unlock(&bus->update.lock);
    }
    return 0;
}

int bus_set_list_count(bus_t *bus, int cnt)
{
    if (!bus || cnt < 0)
        return -22;
    if (!bus_assert_main_thread("bus_set_list_count"))
        return -1;
    GtkTreeModel *model = grid_model(bus);
    if (!model)
        return -22;
    GtkListStore *store = GTK_LIST_STORE(model);
    int n = gtk_tree_model_iter_n_children(model, nullptr);
    g_warning("%s: n=%d, cnt=%d, bus->state.s.count=%" PRId64, "bus_set_list_count", n, cnt, bus->state.s.count);
    if (cnt == n)
        return 0;
    GtkTreeIter iter;
    if (cnt > n) {
        g_warning("%s: append count=%d", __func__, cnt - n);
        for (int i = n; i < cnt; i++)
            gtk_list_store_append(store, &iter);
        return 0;
    }
    g_warning("%s: drop count=%d", __func__, n - cnt);
    for (int i = 0; i < n - cnt; i++) {
        if (!gtk_tree_model_get_iter_first(model, &iter)) {
            g_warning("%s: gtk_tree_model_get_iter_first failed, i=%d", __func__, i);
            continue;
        }
        pelmorabox_event_t *e = nullptr;
        GdkPixbuf *icon = nullptr;
        gtk_tree_model_get(model, &iter, BUS_COLUMN_DATA, &e, BUS_COLUMN_START_TYPE_ICON, &icon, -1);
        if (e)
            pelmorabox_event_destroy(&e);
        if (icon)
            g_object_unref(icon);
        gtk_list_store_remove(store, &iter);
    }
    return 0;
}

int bus_enqueu_update_visible(bus_t *bus, int64_t amend)
{
    if (!bus)
        return -22;
    if (!bus_assert_main_thread("bus_enqueu_update_visible"))
        return -1;
    int64_t t0 = g_get_monotonic_time();
    g_warning("%s: amend=%" PRId64, "bus_enqueu_update_visible", amend);
    GtkTreeModel *model = grid_model(bus);
    if (!model)
        return 0;

    GtkTreePath *start = nullptr, *end = nullptr;
    if (!gtk_tree_view_get_visible_range(GTK_TREE_VIEW(bus->grid), &start, &end)) {
        g_warning("%s: gtk_tree_view_get_visible_range=FALSE", __func__);
        return 0;
    }
    int first = gtk_tree_path_get_indices(start)[0];
    int last = gtk_tree_path_get_indices(end)[0];
    gtk_tree_path_free(start);
    gtk_tree_path_free(end);
    if (last < first)
        return 0;
    if (bus_engine_desc *eng = engine_of(bus))
        grid_release_far_rows(bus, eng, first, last);

    std::vector<int> idxs;
    for (int i = first; i <= last && (int)idxs.size() < BUS_UPDATE_QUEUE_MAX; i++) {
        GtkTreeIter iter;
        if (!gtk_tree_model_iter_nth_child(model, &iter, nullptr, i))
            continue;
        pelmorabox_event_t *e = nullptr;
        gtk_tree_model_get(model, &iter, BUS_COLUMN_DATA, &e, -1);
        if (e && e->amend >= amend)
            continue;
        if (e)
            g_warning("%s: e->amend=%" PRId64 " bus->state.s.amend=%" PRId64, "bus_enqueu_update_visible", e->amend,
                      bus->state.s.amend);
        idxs.push_back(i);
    }
    if (!idxs.empty())
        bus_enqueu_update_idx(bus, (int)idxs.size(), idxs.data());
    g_warning("%s: %" PRId64 " usec", "bus_enqueu_update_visible", g_get_monotonic_time() - t0);
    return (int)idxs.size();
}

/* ---- The update queue. ---- */

int bus_enqueu_update_idx(bus_t *bus, int cnt, const int *idxs)
{
    if (!bus || cnt < 0 || (cnt && !idxs))
        return -22;
    std::lock_guard<std::mutex> g(engines_lock);
    if (!bus->rt.engine)
        return -2;
    pthread_mutex_lock(&bus->update.lock);
    int &count = bus->update.count;
    if (count >= BUS_UPDATE_QUEUE_MAX) {
        pthread_mutex_unlock(&bus->update.lock);
        return 0;
    }
    /* Long batches look waiting indexes up in a set, short ones scan. */
    bool use_set = cnt > 8 && count > 8;
    std::unordered_set<int> waiting;
    if (use_set)
        waiting.insert(bus->update.list, bus->update.list + count);
    for (int i = 0; i < cnt && count < BUS_UPDATE_QUEUE_MAX; i++) {
        int idx = idxs[i];
        bool dup;
        if (use_set)
            dup = !waiting.insert(idx).second;
        else
            dup = std::find(bus->update.list, bus->update.list + count, idx) != bus->update.list + count;
        if (!dup)
            bus->update.list[count++] = idx;
    }
    pthread_cond_signal(&bus->update.cond);
    pthread_mutex_unlock(&bus->update.lock);
    return 0;
}

/* ---- Worker threads. ---- */

void *bus_state_thread_proc(void *p)
{
    bus_t *bus = static_cast<bus_t *>(p);
    bus_engine_desc *eng = engine_of(bus);
    while (!bus_stopping(bus, eng)) {
        int paused = __atomic_load_n(&bus->state.ign, __ATOMIC_ACQUIRE);
        int64_t now = g_get_real_time();
        /* A clock set back behind the last poll must not stop the polls. */
        if (now - bus->state.last > BUS_STATE_PERIOD_US || now < bus->state.last) {
            if (paused) {
                bus_sleep(bus, eng, BUS_PAUSE_SLEEP_US);
                continue;
            }
            bus->state.last = now;
            pelmorabox_bus_state_t local;
            memset(&local, 0, sizeof(local));
            uint64_t pushes = direct_pushes_of(bus);
            int r = pelmorabox_get_state(bus->url, bus->idx, &local);
            if (bus_stopping(bus, eng))
                break;
            hand_over_push_state(bus, r, &local, pushes);
            static const int first_two[2] = {0, 1};
            if (local.count > 0)
                bus_enqueu_update_idx(bus, local.count >= 2 ? 2 : 1, first_two);
        }
        if (__atomic_load_n(&bus->state.ign, __ATOMIC_ACQUIRE)) {
            bus_sleep(bus, eng, BUS_PAUSE_SLEEP_US);
        } else {
            /* Nothing is due before the next poll: sleep until then rather
             * than look at the clock every tick. */
            int64_t due = bus->state.last + BUS_STATE_PERIOD_US + 1 - g_get_real_time();
            if (due > 0)
                bus_sleep(bus, eng, std::min<int64_t>(due, BUS_STATE_PERIOD_US));
        }
    }
    g_warning("%s: finished, bus %d", __func__, bus->idx);
    return nullptr;
}

void *bus_events_update_thread_proc(void *p)
{
    bus_t *bus = static_cast<bus_t *>(p);
    bus_engine_desc *eng = engine_of(bus);
    int64_t idxs[BUS_FETCH_MAX];
    pelmorabox_event_t *events[BUS_FETCH_MAX];

    while (!bus_stopping(bus, eng)) {
        pthread_mutex_lock(&bus->update.lock);
        if (!bus->update.count) {
            /* Checked under the lock: bus_release signals under it, so the
             * wake-up cannot slip in between this check and the wait. */
            if (!bus_stopping(bus, eng))
                pthread_cond_wait(&bus->update.cond, &bus->update.lock);
            pthread_mutex_unlock(&bus->update.lock);
            continue;
        }
        int n = std::min(bus->update.count, BUS_FETCH_MAX);
        for (int i = 0; i < n; i++)
            idxs[i] = bus->update.list[i];
        memset(events, 0, sizeof(events));
        pthread_mutex_unlock(&bus->update.lock);

        pelmorabox_bus_state_t local;
        memset(&local, 0, sizeof(local));
        uint64_t pushes = direct_pushes_of(bus);
        int r = pelmorabox_get_events2(bus->url, bus->idx, n, idxs, events, &local);
        if (r > n)
            r = n;

        if (r >= 0 && !bus_stopping(bus, eng)) {
            G_IDLE_WRAP_t w = {};
            w.proc = update_events_proc;
            w.args[0] = reinterpret_cast<intptr_t>(bus);
            w.args[1] = r;
            w.args[2] = reinterpret_cast<intptr_t>(idxs);
            w.args[3] = reinterpret_cast<intptr_t>(events);
            idle_wrap_run(&w, &gdk_idle_lock);
            hand_over_push_state(bus, r, &local, pushes);

            pthread_mutex_lock(&bus->update.lock);
            int64_t applied = bus->state.s.amend;
            /* Composed before the latest change: fetch again later. */
            for (int i = 0; i < r; i++)
                if (events[i] && events[i]->amend < applied && bus->update.count < BUS_UPDATE_QUEUE_MAX)
                    bus->update.list[bus->update.count++] = (int)idxs[i];
        } else {
            if (r < 0 && eng)
                eng->fetch_failed.store(1);
            pthread_mutex_lock(&bus->update.lock);
        }

        for (int i = 0; i < n; i++)
            if (events[i])
                pelmorabox_event_destroy(&events[i]);
        /* The taken indexes leave the head only now, so nothing queues them
         * again while they are being fetched. */
        int keep = bus->update.count - n;
        memmove(bus->update.list, bus->update.list + n, sizeof(int) * (size_t)std::max(0, keep));
        bus->update.count = std::max(0, keep);
        pthread_mutex_unlock(&bus->update.lock);
    }
    g_warning("%s: finished, bus %d", __func__, bus->idx);
    return nullptr;
}

/* ---- Start and stop. ---- */

int bus_init(bus_t *bus)
{
    if (!bus)
        return -22;
    if (!idle_wrap_main_known())
        idle_wrap_main_mark();
    if (!bus_assert_main_thread("bus_init"))
        return -1;
    if (engine_of(bus))
        return 0;

    pthread_mutex_init(&bus->update.lock, nullptr);
    pthread_cond_init(&bus->update.cond, nullptr);
    bus->update.count = 0;
    auto *eng = new bus_engine_desc();
    {
        std::lock_guard<std::mutex> g(engines_lock);
        bus->rt.engine = eng;
    }

    GtkWidget *grid = bus->grid;
    if (grid && GTK_IS_TREE_VIEW(grid))
        grid_prepare_for_long_lists(grid);
    /* The widgets connect their own signals of the grid and the buttons. */
    if (bus->view.attach)
        bus->view.attach(bus);

    if (bus->scrolled) {
        GtkAdjustment *vadj = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(bus->scrolled));
        if (vadj)
            g_signal_connect(vadj, "value-changed", G_CALLBACK(on_scrolled_changed), bus);
        g_signal_connect(bus->scrolled, "scroll-event", G_CALLBACK(on_widget_scroll), bus);
        g_signal_connect(bus->scrolled, "size-allocate", G_CALLBACK(on_scrolled_size_allocate), bus);
        g_signal_connect(bus->scrolled, "scroll-child", G_CALLBACK(on_scrolled_scroll), bus);
    }
    if (grid) {
        g_signal_connect(grid, "set-scroll-adjustments", G_CALLBACK(on_widget_scroll_adj), bus);
        g_signal_connect(grid, "scroll-event", G_CALLBACK(on_widget_scroll), bus);
    }

    if (pthread_create(&bus->state.th, nullptr, bus_state_thread_proc, bus) == 0)
        eng->state_started = true;
    else
        g_critical("%s: bus %d: state thread not started", __func__, bus->idx);
    if (pthread_create(&bus->update.th, nullptr, bus_events_update_thread_proc, bus) == 0)
        eng->events_started = true;
    else
        g_critical("%s: bus %d: events thread not started", __func__, bus->idx);

    /* The grid's drag source and destination are set up with the panel
     * (bus_dnd_attach), whose drops call back into this engine. */
    return 0;
}

int bus_release(bus_t *bus)
{
    if (!bus)
        return -22;
    bus_engine_desc *eng = engine_of(bus);
    if (!eng)
        return -2;

    {
        std::lock_guard<std::mutex> g(eng->wake_lock);
        eng->stop.store(1);
    }
    eng->wake.notify_all();
    pthread_mutex_lock(&bus->update.lock);
    pthread_cond_broadcast(&bus->update.cond);
    pthread_mutex_unlock(&bus->update.lock);
    if (eng->events_started)
        pthread_join(bus->update.th, nullptr);
    /* Both threads are joined before the lock goes away: the state thread
     * queues the first rows under it until its last poll. */
    if (eng->state_started)
        pthread_join(bus->state.th, nullptr);
    {
        std::lock_guard<std::mutex> g(engines_lock);
        bus->rt.engine = nullptr;
        bus->rt.recheck_waiting = 0;
        /* A check still queued must not run on a bus whose owner may free it
         * once this returns. */
        if (bus->rt.recheck_source)
            g_source_remove(bus->rt.recheck_source);
        bus->rt.recheck_source = 0;
    }
    pthread_cond_destroy(&bus->update.cond);
    pthread_mutex_destroy(&bus->update.lock);
    bus->update.count = 0;
    delete eng;

    idle_wrap_on_main([bus] { bus_set_list_count(bus, 0); }, &gdk_idle_lock);
    return 0;
}
