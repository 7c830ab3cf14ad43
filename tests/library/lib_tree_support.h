/* Harness of the library tree suites: pelmora-sim's library server over
 * sample media (plus a folder /big of hard links to one clip), a bare window
 * with one library tree, a meter of main-loop pauses, and readers of the
 * tree's rows. */
#pragma once
#include <gtk/gtk.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "library.h"
#include "sim_child.h"

using lib_steady = std::chrono::steady_clock;

/* GTK on the test's display, the GDK lock held as the program holds it
 * around its loop; false without a display. */
bool lib_gtk_ready();

/* The longest time between two ticks of a 10 ms timer: how long the main
 * loop was kept from running. */
struct lib_pause_meter
{
    lib_steady::time_point last = lib_steady::now();
    double max_ms = 0;
    guint id;
    lib_pause_meter();
    ~lib_pause_meter();
};

/* Runs the main loop until cond holds (true) or ms have passed (false).
 * A costly cond is asked only every every_ms: asked on each turn of the
 * loop, it would leave a 10 ms timer due on every turn, and the timer's
 * priority would keep the hand-overs from ever running. */
template <typename F> bool lib_pump_until(F cond, int ms, int every_ms = 0)
{
    auto end = lib_steady::now() + std::chrono::milliseconds(ms);
    auto ask = lib_steady::now();
    for (;;) {
        if (lib_steady::now() >= ask) {
            if (cond())
                return true;
            ask = lib_steady::now() + std::chrono::milliseconds(every_ms);
        }
        if (lib_steady::now() > end)
            return false;
        gtk_main_iteration_do(FALSE);
        g_usleep(1000);
    }
}

struct lib_tree_fixture
{
    std::string dir, root;
    sim_child_t sim;
    library_t *lib = nullptr;
    GtkWidget *window = nullptr;
    GtkTreeView *view = nullptr;
    GtkWidget *notice = nullptr; /* the pane's notice line; the gauge is lib->ui[LIBRARY_UI_CAPACITY_DST] */
    std::thread notifier;        /* the notification thread, as the console runs it */
    std::atomic<int> notifier_stop{0};

    /* Media, `big` links /big/clip%05d.mov, the simulator (calls logged,
     * sim_extra added), the tree in a window and the library started. */
    bool start(int big, const std::vector<std::string> &sim_extra = {});
    ~lib_tree_fixture();

    GtkTreeModel *model() { return gtk_tree_view_get_model(view); }
    /* The row of a child named `name` under parent (null: top level). */
    bool child(GtkTreeIter *parent, const char *name, GtkTreeIter *out);
    void expand(GtkTreeIter *it);
    int calls(const char *method) { return sim_child_count(&sim, std::string("call ") + method + " "); }
    int thumbs_asked() { return calls("PelmoraLib.LibThumbItem"); }
    /* The state read every 100 ms on a thread of its own; stopped (the loop
     * serving its hand-overs meanwhile) by notify_stop or the destructor. */
    void notify_start();
    void notify_stop();
    /* The library's simulator stopped, and started again on the same port
     * over the same media. */
    bool sim_stop();
    bool sim_restart();
    std::vector<std::string> sim_args(const std::string &port);
    std::vector<std::string> extra;
};

/* Titles of the rows under parent, in row order (placeholders left out);
 * items only, or folders and items. */
std::vector<std::string> lib_row_titles(GtkTreeModel *m, GtkTreeIter *parent, bool items_only);
/* What the library server lists in a folder on disk: regular files (and
 * folders with f_dirs), hidden names left out, sorted. */
std::vector<std::string> lib_disk_names(const std::string &dir, bool f_dirs);
/* Names in the order of the tree's NAME column (UTF-8 collation). */
bool lib_name_less(const std::string &a, const std::string &b);
/* "" when the item rows under parent are exactly the folder's files, each
 * once and in the server's order (case ignored); else what differs. */
std::string lib_rows_against_disk(GtkTreeModel *m, GtkTreeIter *parent, const std::string &dir);
