// Library tree figures (docs/performance.md, "Library"): a folder of N items
// (hard links to one sample clip) served by pelmora-sim, opened in the real
// tree: time to the first rows, to the first thumbnails and to the whole
// folder, the longest main-loop pause while it fills (a 10 ms timer), and
// thumbnails per second for a screenful of rows asked at once.
// Run under a virtual display: xvfb-run -a BUILD/bin/bench_library [N]
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "library.h"
#include "library_ui.h"
#include "pelmora.h"
#include "sim_child.h"

using steady = std::chrono::steady_clock;

static double ms_since(steady::time_point t)
{
    return std::chrono::duration<double, std::milli>(steady::now() - t).count();
}

static steady::time_point last_tick;
static double max_pause;

static gboolean tick(gpointer)
{
    max_pause = std::max(max_pause, ms_since(last_tick));
    last_tick = steady::now();
    return TRUE;
}

template <typename F> static bool pump_until(F cond, int ms)
{
    auto end = steady::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (steady::now() > end)
            return false;
        gtk_main_iteration_do(FALSE);
        g_usleep(500);
    }
    return true;
}

int main(int argc, char **argv)
{
    int n = argc > 1 ? atoi(argv[1]) : 10000;
    if (n < 1 || n > 200000) {
        fprintf(stderr, "usage: bench_library [ITEMS]\n");
        return 2;
    }
    gdk_threads_init();
    if (!gtk_init_check(&argc, &argv)) {
        fprintf(stderr, "bench_library: no display (run it under xvfb-run -a)\n");
        return 2;
    }
    pelmora_init("bench_library", "0");
    gdk_threads_enter();

    char tmpl[] = "/tmp/bench_library_XXXXXX";
    if (!mkdtemp(tmpl))
        return 1;
    std::string dir = tmpl, root = dir + "/media";
    if (system((std::string(PELMORA_SOURCE_DIR) + "/scripts/make-media --quick " + root + " >/dev/null").c_str()))
        return 1;
    mkdir((root + "/big").c_str(), 0755);
    for (int i = 0; i < n; i++) {
        char name[64];
        snprintf(name, sizeof name, "/big/clip%06d.mov", i);
        if (link((root + "/news/opener.mov").c_str(), (root + name).c_str()))
            return 1;
    }
    sim_child_t sim;
    if (sim_child_start(&sim, PELMORA_BUILD_BIN_DIR "/pelmora-sim",
                        {"--automation=0", "--library=0", "--media=" + root, "--data=" + dir, "--log-calls"}) < 0)
        return 1;
    library_t *lib = static_cast<library_t *>(calloc(1, sizeof(library_t)));
    {
        std::lock_guard<std::mutex> g(sim.lock);
        for (const std::string &l : sim.lines)
            if (l.compare(0, 13, "library port ") == 0)
                snprintf(lib->url, sizeof lib->url, "http://127.0.0.1:%s/RPC2", l.substr(13).c_str());
    }

    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 900, 700);
    gtk_container_add(GTK_CONTAINER(window), library_ui_tree_create(lib));
    GtkTreeView *view = GTK_TREE_VIEW(lib->ui[LIBRARY_UI_CLIPS_TREE]);
    GtkTreeModel *m = gtk_tree_view_get_model(view);
    library_init(lib);
    gtk_widget_show_all(window);
    pump_until([] { return false; }, 300);

    GtkTreeIter rootrow, big;
    gtk_tree_model_get_iter_first(m, &rootrow);
    GtkTreePath *p = gtk_tree_model_get_path(m, &rootrow);
    gtk_tree_view_expand_row(view, p, FALSE);
    gtk_tree_path_free(p);
    auto find_big = [&] {
        if (!gtk_tree_model_iter_children(m, &big, &rootrow))
            return false;
        do {
            gchar *t = nullptr;
            gtk_tree_model_get(m, &big, 1, &t, -1);
            bool hit = t && !strcmp(t, "big");
            g_free(t);
            if (hit)
                return true;
        } while (gtk_tree_model_iter_next(m, &big));
        return false;
    };
    pump_until(find_big, 10000);
    auto thumbed = [&](int upto) {
        int k = 0;
        for (int i = 0; i < upto; i++) {
            GtkTreeIter it;
            gpointer item = nullptr;
            if (gtk_tree_model_iter_nth_child(m, &it, &big, i))
                gtk_tree_model_get(m, &it, 7, &item, -1);
            k += item && static_cast<pelmora_lib_item_t *>(item)->priv[0] ? 1 : 0;
        }
        return k;
    };

    int thumbs_before = sim_child_count(&sim, "call PelmoraLib.LibThumbItem");
    last_tick = steady::now();
    max_pause = 0;
    guint timer = g_timeout_add(10, tick, nullptr);
    auto t0 = steady::now();
    p = gtk_tree_model_get_path(m, &big);
    gtk_tree_view_expand_row(view, p, FALSE);
    gtk_tree_path_free(p);
    pump_until([&] { return gtk_tree_model_iter_n_children(m, &big) >= 20; }, 60000);
    double first_rows = ms_since(t0);
    /* The first children are the placeholders until the folder is in. */
    pump_until([&] { return thumbed(12) >= 10; }, 60000);
    double first_thumbs = ms_since(t0);
    auto tt = steady::now();
    int view_thumbs = sim_child_count(&sim, "call PelmoraLib.LibThumbItem") - thumbs_before;
    pump_until([&] { return gtk_tree_model_iter_n_children(m, &big) == n; }, 600000);
    double all_rows = ms_since(t0);
    double fill_pause = max_pause;
    pump_until([] { return false; }, 1000); // the rows in view finish their thumbnails

    // A screenful of rows asked at once, none of them cached by the server.
    std::vector<int64_t> ids;
    std::vector<std::string> paths;
    for (int i = 0; i < 40 && i < n; i++) {
        char name[64];
        snprintf(name, sizeof name, "/big/clip%06d.mov", n - 1 - i);
        ids.push_back(-1 - i); // no row: the bytes are fetched and dropped
        paths.push_back(name);
    }
    std::vector<const char *> cp;
    for (auto &s : paths)
        cp.push_back(s.c_str());
    int64_t asked0 = library_thumbs_asked(lib);
    tt = steady::now();
    library_thumbs_want(lib, (int)ids.size(), ids.data(), cp.data());
    pump_until([&] { return library_thumbs_asked(lib) - asked0 >= (int64_t)ids.size(); }, 60000);
    pump_until([] { return false; }, 50);
    double thumbs_s = ids.size() / (ms_since(tt) / 1000.0);
    g_source_remove(timer);

    printf("items %d\n", n);
    printf("first rows       %8.0f ms\n", first_rows);
    printf("first thumbnails %8.0f ms (%d thumbnails asked while filling)\n", first_thumbs, view_thumbs);
    printf("all rows         %8.0f ms\n", all_rows);
    printf("longest pause    %8.1f ms (while the folder fills)\n", fill_pause);
    printf("thumbnails       %8.1f per second (decoded by the server, PNG over loopback, decoded in the tree)\n",
           thumbs_s);

    library_release(lib);
    gtk_widget_destroy(window);
    free(lib);
    sim_child_stop(&sim);
    system(("rm -rf " + dir).c_str());
    return 0;
}
