/* Library pane and drag-and-drop test harness: see lib_console.h. */
#include "lib_console.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "library_events.h"
#include "library_select.h"
#include "library_ui.h"
#include "pelmora_lib.h"

namespace {

bool find(GtkTreeModel *m, GtkTreeIter *parent, const std::string &path, GtkTreeIter *out)
{
    GtkTreeIter it;
    if (!gtk_tree_model_iter_children(m, &it, parent))
        return false;
    do {
        gpointer item = nullptr, dir = nullptr, sub = nullptr;
        gtk_tree_model_get(m, &it, LIBRARY_COLUMN_ITEM_DATA, &item, LIBRARY_COLUMN_DIR_DATA, &dir,
                           LIBRARY_COLUMN_SUBCLIP_DATA, &sub, -1);
        std::string name;
        if (item)
            name = static_cast<pelmora_lib_item_t *>(item)->full;
        else if (dir)
            name = static_cast<pelmora_lib_dir_t *>(dir)->full;
        else if (sub) {
            auto *s = static_cast<pelmora_lib_subclip_t *>(sub);
            name = std::string(s->parent ? s->parent->full : "") + "#" + s->title;
        }
        if (!name.empty() && name == path) {
            *out = it;
            return true;
        }
        if (find(m, &it, path, out))
            return true;
    } while (gtk_tree_model_iter_next(m, &it));
    return false;
}

} // namespace

void LibConsoleTest::TearDown()
{
    if (!IsSkipped() && e.app) {
        stopping = true;
        if (notifier.joinable()) {
            /* It may be waiting for a hand-over: the loop runs meanwhile. */
            std::atomic<bool> done{false};
            std::thread j([this, &done] {
                notifier.join();
                done = true;
            });
            engine_run_until([&] { return done.load(); }, 10000);
            j.join();
        }
        for (int i = 0; i < e.app->bus.count; i++)
            library_release(lib(i));
    }
    OpsTest::TearDown();
    if (root.compare(0, 17, "/tmp/lib_console_") == 0)
        (void)!system(("rm -rf " + root).c_str());
}

void LibConsoleTest::start_all(int buses, const std::vector<std::vector<std::string>> &playlists, int links,
                               std::vector<std::string> console_extra)
{
    char tmpl[] = "/tmp/lib_console_XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    root = tmpl;
    ASSERT_EQ(
        0, system((std::string(PELMORA_SOURCE_DIR) + "/scripts/make-media --quick " + root + " >/dev/null").c_str()));
    if (links) {
        mkdir((root + "/many").c_str(), 0755);
        for (int i = 0; i < links; i++) {
            char name[64];
            snprintf(name, sizeof name, "/many/clip%04d.mov", i);
            ASSERT_EQ(0, link((root + "/news/opener.mov").c_str(), (root + name).c_str()));
        }
    }
    std::vector<std::pair<std::string, std::vector<std::string>>> lists;
    std::vector<std::string> args = {"--buses", std::to_string(buses), "--library", "0", "--media", root};
    for (size_t i = 0; i < playlists.size(); i++) {
        lists.push_back({"pl" + std::to_string(i), playlists[i]});
        args.push_back("--playlist");
        args.push_back(std::to_string(i) + ":pl" + std::to_string(i));
    }
    data = engine_data_dir(lists);
    start_sim(args);
    std::string lib_port;
    {
        std::lock_guard<std::mutex> g(sim.lock);
        for (const std::string &l : sim.lines)
            if (l.compare(0, 13, "library port ") == 0)
                lib_port = l.substr(13);
    }
    ASSERT_FALSE(lib_port.empty());
    std::vector<std::string> extra;
    std::vector<std::string> bus_args = engine_bus_args(sim.hostport, buses);
    for (const std::string &a : bus_args) {
        extra.push_back(a);
        if (a.compare(0, 6, "--idx=") == 0)
            extra.push_back("--lib=127.0.0.1:" + lib_port);
    }
    /* Bus options go to the last bus. */
    extra.insert(extra.end(), console_extra.begin(), console_extra.end());
    ASSERT_TRUE(e.create(extra));
    e.start();
    /* As start-up does: the model, the row hook, a first state read, and
     * the notification thread. */
    for (int i = 0; i < buses; i++) {
        library_init(lib(i));
        library_events_attach(bus(i));
        library_stat_notify(lib(i), 1);
    }
    notifier = std::thread([this, buses] {
        while (!stopping) {
            for (int i = 0; i < buses; i++)
                library_stat_notify(lib(i), 0);
            g_usleep(100000);
        }
    });
}

GtkTreeView *LibConsoleTest::tree(int i)
{
    return GTK_TREE_VIEW(lib(i)->ui[LIBRARY_UI_CLIPS_TREE]);
}

bool LibConsoleTest::select_path(int bus_i, const char *path, int ms)
{
    return library_select_item_wait(lib(bus_i), path, ms) == 0;
}

bool LibConsoleTest::open_path(int bus_i, const char *path, int ms)
{
    GtkTreeModel *m = gtk_tree_view_get_model(tree(bus_i));
    /* A journal entry may reload the folder meanwhile and replace the row:
     * it is looked up and opened again until its children are in. */
    return engine_run_until(
        [&] {
            GtkTreeIter r, c;
            if (!row(bus_i, path, &r)) {
                select_path(bus_i, path, 50);
                return false;
            }
            GtkTreePath *p = gtk_tree_model_get_path(m, &r);
            if (!gtk_tree_view_row_expanded(tree(bus_i), p))
                gtk_tree_view_expand_row(tree(bus_i), p, FALSE);
            gtk_tree_path_free(p);
            if (!gtk_tree_model_iter_children(m, &c, &r))
                return false;
            gpointer a = nullptr, b = nullptr, d = nullptr;
            gtk_tree_model_get(m, &c, LIBRARY_COLUMN_ITEM_DATA, &a, LIBRARY_COLUMN_DIR_DATA, &b,
                               LIBRARY_COLUMN_SUBCLIP_DATA, &d, -1);
            return a || b || d;
        },
        ms);
}

bool LibConsoleTest::row(int bus_i, const std::string &path, GtkTreeIter *out)
{
    return find(gtk_tree_view_get_model(tree(bus_i)), nullptr, path, out);
}

void LibConsoleTest::select_rows(int bus_i, const std::vector<std::string> &paths)
{
    GtkTreeSelection *sel = gtk_tree_view_get_selection(tree(bus_i));
    gtk_tree_selection_unselect_all(sel);
    for (const std::string &p : paths) {
        GtkTreeIter it;
        ASSERT_TRUE(row(bus_i, p, &it)) << p;
        gtk_tree_selection_select_iter(sel, &it);
    }
}

void LibConsoleTest::row_point(GtkTreeView *view, GtkTreePath *p, int *x, int *y)
{
    GdkRectangle r;
    int ox = 0, oy = 0;
    gdk_window_get_origin(gtk_tree_view_get_bin_window(view), &ox, &oy);
    if (p) {
        gtk_tree_view_get_cell_area(view, p, gtk_tree_view_get_column(view, 1), &r);
        *x = ox + r.x + r.width / 2;
        *y = oy + r.y + r.height / 2;
    } else {
        int w = 0, h = 0;
        gdk_drawable_get_size(gtk_tree_view_get_bin_window(view), &w, &h);
        *x = ox + w / 2;
        *y = oy + h - 5;
    }
}

bool LibConsoleTest::x_drag(int x0, int y0, int x1, int y1, int via_x, int via_y)
{
    std::vector<std::string> cmd = {"xdotool", "mousemove", std::to_string(x0), std::to_string(y0),
                                    "sleep",   "0.3",       "mousedown",        "1",
                                    "sleep",   "0.2"};
    auto step = [&](int x, int y) {
        for (std::string w : {std::string("mousemove"), std::to_string(x), std::to_string(y), std::string("sleep"),
                              std::string("0.15")})
            cmd.push_back(w);
    };
    /* Past the drag threshold first, then along. */
    step(x0, y0 + 12);
    if (via_x >= 0) {
        step(via_x, via_y);
        step(via_x + 2, via_y + 1);
        cmd.push_back("sleep");
        cmd.push_back("1.5"); /* a tab under the pointer switches its page */
        step(via_x + 3, via_y + 2);
    }
    step((x0 + x1) / 2, (y0 + y1) / 2);
    step(x1, y1 + 1);
    step(x1, y1);
    cmd.push_back("sleep");
    cmd.push_back("0.3");
    cmd.push_back("mouseup");
    cmd.push_back("1");
    std::vector<char *> argv;
    for (std::string &s : cmd)
        argv.push_back(const_cast<char *>(s.c_str()));
    argv.push_back(nullptr);
    GPid pid = 0;
    GError *err = nullptr;
    if (!g_spawn_async(nullptr, argv.data(), nullptr, (GSpawnFlags)(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD),
                       nullptr, nullptr, &pid, &err)) {
        ADD_FAILURE() << "xdotool: " << (err ? err->message : "");
        if (err)
            g_error_free(err);
        return false;
    }
    int status = -1;
    bool reaped = false;
    bool done = engine_run_until([&] { return reaped || (reaped = waitpid(pid, &status, WNOHANG) == pid); }, 20000);
    g_spawn_close_pid(pid);
    /* The drop's hand-overs and its server calls follow. */
    engine_run_for(300);
    EXPECT_TRUE(done && WIFEXITED(status)) << "xdotool did not end, status " << status;
    return done;
}
