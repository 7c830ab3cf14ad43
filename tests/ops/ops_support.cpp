/* Bus operation test helpers: see ops_support.h. */
#include "ops_support.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "bus.h"
#include "pelmorabox.h"
#include "ui_bus.h"

namespace {

gboolean dialogs_tick(gpointer data)
{
    auto *d = static_cast<ops_dialogs *>(data);
    GtkWidget *dlg =
        gui_find_top([](GtkWidget *w) { return GTK_IS_DIALOG(w) && !g_object_get_data(G_OBJECT(w), "ops_handled"); });
    if (!dlg) {
        d->stray = nullptr;
        return TRUE;
    }
    if (d->steps.empty()) {
        if (d->stray != dlg) {
            d->stray = dlg;
            d->stray_since = g_get_monotonic_time();
        } else if (g_get_monotonic_time() - d->stray_since > 2000000) {
            ops_dialog_seen s;
            const char *t = gtk_window_get_title(GTK_WINDOW(dlg));
            s.title = t ? t : "";
            ADD_FAILURE() << "unexpected dialog [" << s.title << "]";
            d->unexpected++;
            g_object_set_data(G_OBJECT(dlg), "ops_handled", GINT_TO_POINTER(1));
            gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_DELETE_EVENT);
        }
        return TRUE;
    }
    if (!g_object_get_data(G_OBJECT(dlg), "ops_recorded")) {
        ops_dialog_seen s;
        const char *t = gtk_window_get_title(GTK_WINDOW(dlg));
        s.title = t ? t : "";
        if (GTK_IS_MESSAGE_DIALOG(dlg)) {
            gchar *text = nullptr;
            g_object_get(dlg, "text", &text, NULL);
            s.text = text ? text : "";
            g_free(text);
        }
        d->seen.push_back(s);
        g_object_set_data(G_OBJECT(dlg), "ops_recorded", GINT_TO_POINTER(1));
    }
    ops_dialogs::step_t step = d->steps.front();
    d->steps.pop_front();
    if (step(dlg))
        g_object_set_data(G_OBJECT(dlg), "ops_handled", GINT_TO_POINTER(1));
    return TRUE;
}

GdkEvent *button_event(GtkWidget *button, GdkEventType type, guint32 t)
{
    GdkEvent *ev = gdk_event_new(type);
    GdkWindow *win = gtk_button_get_event_window(GTK_BUTTON(button));
    if (type == GDK_ENTER_NOTIFY) {
        ev->crossing.window = GDK_WINDOW(g_object_ref(win));
        ev->crossing.time = t;
        ev->crossing.mode = GDK_CROSSING_NORMAL;
        ev->crossing.detail = GDK_NOTIFY_ANCESTOR;
        ev->crossing.x = ev->crossing.y = 2;
    } else {
        ev->button.window = GDK_WINDOW(g_object_ref(win));
        ev->button.time = t;
        ev->button.button = 1;
        ev->button.x = ev->button.y = 2;
        ev->button.device = gdk_device_get_core_pointer();
    }
    return ev;
}

void dispatch(GdkEvent *ev)
{
    gtk_main_do_event(ev);
    gdk_event_free(ev);
}

} // namespace

ops_dialogs::ops_dialogs()
{
    source = gdk_threads_add_timeout(20, dialogs_tick, this);
}

ops_dialogs::~ops_dialogs()
{
    if (source)
        g_source_remove(source);
}

void ops_dialogs::then(step_t step)
{
    steps.push_back(std::move(step));
}

void ops_dialogs::respond(int response)
{
    then([response](GtkWidget *dlg) {
        gtk_dialog_response(GTK_DIALOG(dlg), response);
        return true;
    });
}

ops_loop_watch::ops_loop_watch(GtkWidget *main_window) : main(main_window)
{
    each = [this] {
        GList *all = gtk_window_list_toplevels();
        for (GList *l = all; l; l = l->next) {
            GtkWidget *t = GTK_WIDGET(l->data);
            if (t == main || !gtk_widget_get_visible(t) || !(GTK_IS_DIALOG(t) || gtk_window_get_modal(GTK_WINDOW(t))))
                continue;
            const char *title = gtk_window_get_title(GTK_WINDOW(t));
            std::string s = title ? title : "";
            if (std::find(modal.begin(), modal.end(), s) == modal.end())
                modal.push_back(s);
        }
        g_list_free(all);
    };
    start(10, true);
}

gboolean ops_send_key(GtkWidget *w, guint keyval, guint state, guint32 time)
{
    GdkEvent *ev = gdk_event_new(GDK_KEY_PRESS);
    ev->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(w)));
    ev->key.send_event = TRUE;
    ev->key.keyval = keyval;
    ev->key.state = state;
    ev->key.time = time;
    ev->key.string = g_strdup("");
    gboolean r = gtk_widget_event(w, ev);
    gdk_event_free(ev);
    return r;
}

void ops_click_at(GtkWidget *button, guint32 t)
{
    dispatch(button_event(button, GDK_ENTER_NOTIFY, t));
    dispatch(button_event(button, GDK_BUTTON_PRESS, t));
    dispatch(button_event(button, GDK_BUTTON_RELEASE, t + 40));
}

gboolean ops_double_click_row(GtkWidget *grid, int row)
{
    GtkTreePath *p = gtk_tree_path_new_from_indices(row, -1);
    GdkRectangle r;
    gtk_tree_view_get_cell_area(GTK_TREE_VIEW(grid), p, nullptr, &r);
    gtk_tree_path_free(p);
    GdkEvent *ev = gdk_event_new(GDK_2BUTTON_PRESS);
    ev->button.window = GDK_WINDOW(g_object_ref(gtk_tree_view_get_bin_window(GTK_TREE_VIEW(grid))));
    ev->button.send_event = TRUE;
    ev->button.button = 1;
    ev->button.x = r.x + 5;
    ev->button.y = r.y + r.height / 2;
    ev->button.device = gdk_device_get_core_pointer();
    gboolean handled = gtk_widget_event(grid, ev);
    gdk_event_free(ev);
    return handled;
}

void ops_select_rows(bus_t *bus, const std::vector<int> &rows)
{
    GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(bus->grid));
    gtk_tree_selection_unselect_all(sel);
    for (int r : rows) {
        GtkTreePath *p = gtk_tree_path_new_from_indices(r, -1);
        gtk_tree_selection_select_path(sel, p);
        gtk_tree_path_free(p);
    }
}

int ops_cursor_row(bus_t *bus)
{
    GtkTreePath *p = nullptr;
    gtk_tree_view_get_cursor(GTK_TREE_VIEW(bus->grid), &p, nullptr);
    int r = p ? gtk_tree_path_get_indices(p)[0] : -1;
    if (p)
        gtk_tree_path_free(p);
    return r;
}

std::string ops_event_line(const char *dur, const char *media, const char *title, char start_type, const char *mark_in,
                           const char *mark_out, const char *fixed_time)
{
    char buf[1024];
    /* start time, start type, in, out, duration, type, media id, title,
     * assets, fixed time, tag, metadata, audio map, audio amp, AR */
    snprintf(buf, sizeof buf, "\t%c\t%s\t%s\t%s\tV\t%s\t%s\t\t%s\t\t\t\t\t", start_type, mark_in, mark_out, dur, media,
             title, fixed_time);
    return buf;
}

void OpsTest::SetUp()
{
    if (!engine_gtk_ready())
        GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
}

void OpsTest::TearDown()
{
    if (!IsSkipped() && e.app) {
        EXPECT_GE(e.stop(), 0) << "bus_release did not return";
    }
    sim_child_stop(&sim);
    if (!data.empty())
        engine_remove_dir(data);
}

void OpsTest::start_sim(std::vector<std::string> args)
{
    std::vector<std::string> all = {"--automation", "0", "--log-calls"};
    if (!data.empty()) {
        all.push_back("--data");
        all.push_back(data);
    }
    all.insert(all.end(), args.begin(), args.end());
    ASSERT_EQ(sim_child_start(&sim, sim_child_bin(), all), 0);
}

void OpsTest::start_console(std::vector<std::string> extra, int buses)
{
    std::vector<std::string> args = extra;
    for (std::string &a : engine_bus_args(sim.hostport, buses))
        args.push_back(a);
    ASSERT_TRUE(e.create(args));
    e.start();
}

bool OpsTest::wait_filled(bus_t *b, int n, int ms)
{
    return engine_run_until(
        [&] {
            if (grid_rows(b) != n)
                return false;
            for (int i = 0; i < n; i++)
                if (!grid_event(b, i))
                    return false;
            return true;
        },
        ms);
}

bool OpsTest::wait_titles(bus_t *b, const std::vector<std::string> &expected, int ms)
{
    return engine_run_until(
        [&] {
            if (grid_rows(b) != (int)expected.size())
                return false;
            for (int i = 0; i < (int)expected.size(); i++)
                if (!grid_event(b, i) || grid_text(b, i, BUS_COLUMN_TITLE) != expected[i])
                    return false;
            return true;
        },
        ms);
}

void OpsTest::show_page(int i)
{
    gtk_notebook_set_current_page(GTK_NOTEBOOK(e.app->apps_notebook), i);
    engine_run_for(50);
}

std::vector<std::string> OpsTest::titles(bus_t *b)
{
    std::vector<std::string> t;
    for (int i = 0; i < grid_rows(b); i++)
        t.push_back(grid_text(b, i, BUS_COLUMN_TITLE));
    return t;
}

/* The bus index of the marker calls: out of range, so the server only logs
 * and refuses them. */
#define OPS_SYNC_BUS 999

void OpsTest::sync_log()
{
    auto markers = [this] {
        int n = 0;
        for (const sim_call &c : sim_calls(&sim))
            n += c.bus == OPS_SYNC_BUS ? 1 : 0;
        return n;
    };
    if (sim.pid <= 0)
        return;
    int before = markers();
    pelmorabox_bus_state_t s;
    pelmorabox_get_state(sim.url.c_str(), OPS_SYNC_BUS, &s);
    /* Waited for without running the main loop: results that workers are
     * handing over stay pending, so the panel is read as the action left it. */
    for (int i = 0; i < 600 && markers() <= before; i++)
        g_usleep(5000);
}

int OpsTest::calls(const char *method, int bus_idx, size_t from, bool sync)
{
    if (sync)
        sync_log();
    int n = 0;
    for (const sim_call &c : sim_calls(&sim, from))
        if (c.method == method && (bus_idx == -2 || c.bus == bus_idx))
            n++;
    return n;
}
