/* Library tree test harness: see lib_tree_support.h. */
#include "lib_tree_support.h"
#include "gui_loop.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include <gtest/gtest.h>

#include "library_capacity.h"
#include "library_ui.h"
#include "pelmora.h"
#include "pelmora_lib.h"

namespace {

gboolean pause_tick(gpointer p)
{
    auto *m = static_cast<lib_pause_meter *>(p);
    auto now = lib_steady::now();
    m->max_ms = std::max(m->max_ms, std::chrono::duration<double, std::milli>(now - m->last).count());
    m->last = now;
    return TRUE;
}

} // namespace

bool lib_name_less(const std::string &a, const std::string &b)
{
    int c = g_utf8_collate(a.c_str(), b.c_str());
    return c ? c < 0 : a < b;
}

bool lib_gtk_ready()
{
    return gui_ready(true, [] { pelmora_init("library-tree-test", "0"); });
}

lib_pause_meter::lib_pause_meter()
{
    id = g_timeout_add(10, pause_tick, this);
}

lib_pause_meter::~lib_pause_meter()
{
    g_source_remove(id);
}

bool lib_tree_fixture::start(int big, const std::vector<std::string> &sim_extra)
{
    char tmpl[] = "/tmp/lib_tree_XXXXXX";
    if (!mkdtemp(tmpl))
        return false;
    dir = tmpl;
    root = dir + "/media";
    if (system((std::string(PELMORA_SOURCE_DIR) + "/scripts/make-media --quick " + root + " >/dev/null").c_str()))
        return false;
    if (big) {
        mkdir((root + "/big").c_str(), 0755);
        for (int i = 0; i < big; i++) {
            char name[64];
            snprintf(name, sizeof name, "/big/clip%05d.mov", i);
            if (link((root + "/news/opener.mov").c_str(), (root + name).c_str()))
                return false;
        }
    }
    extra = sim_extra;
    if (sim_child_start(&sim, sim_child_bin(), sim_args("0")) < 0)
        return false;
    lib = static_cast<library_t *>(calloc(1, sizeof(library_t)));
    {
        std::lock_guard<std::mutex> g(sim.lock);
        for (const std::string &l : sim.lines)
            if (l.compare(0, 13, "library port ") == 0)
                snprintf(lib->url, sizeof lib->url, "http://127.0.0.1:%s/RPC2", l.substr(13).c_str());
    }
    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 900, 700);
    GtkWidget *box = gtk_vbox_new(FALSE, 0);
    gtk_container_add(GTK_CONTAINER(window), box);
    gtk_box_pack_start(GTK_BOX(box), library_ui_tree_create(lib), TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(box), library_ui_search_row_create(lib), FALSE, FALSE, 0);
    notice = gtk_label_new("");
    gtk_widget_set_no_show_all(notice, TRUE);
    gtk_box_pack_start(GTK_BOX(box), notice, FALSE, FALSE, 0);
    library_ui_notice_attach(lib, notice);
    view = GTK_TREE_VIEW(lib->ui[LIBRARY_UI_CLIPS_TREE]);
    library_init(lib);
    gtk_widget_show_all(window);
    lib_pump_until([] { return false; }, 200);
    return lib->url[0] != 0;
}

std::vector<std::string> lib_tree_fixture::sim_args(const std::string &port)
{
    std::vector<std::string> args = {"--automation=0", "--library=" + port, "--media=" + root, "--data=" + dir,
                                     "--log-calls"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

bool lib_tree_fixture::sim_stop()
{
    return sim_child_stop(&sim) == 0;
}

bool lib_tree_fixture::sim_restart()
{
    const char *at = strrchr(lib->url, ':');
    return at && sim_child_start(&sim, sim_child_bin(), sim_args(std::to_string(atoi(at + 1)))) == 0;
}

void lib_tree_fixture::notify_start()
{
    notifier_stop = 0;
    notifier = std::thread([this] {
        while (!notifier_stop) {
            library_stat_notify(lib, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
}

void lib_tree_fixture::notify_stop()
{
    if (!notifier.joinable())
        return;
    /* The thread may be waiting for a hand-over: the loop runs until it
     * has seen the flag. */
    notifier_stop = 1;
    std::atomic<int> joined{0};
    std::thread joiner([&] {
        notifier.join();
        joined = 1;
    });
    lib_pump_until([&] { return joined.load() == 1; }, 30000);
    joiner.join();
}

lib_tree_fixture::~lib_tree_fixture()
{
    notify_stop();
    if (lib) {
        library_release(lib);
        gtk_widget_destroy(window);
        free(lib);
    }
    if (sim.pid > 0) {
        EXPECT_EQ(0, sim_child_stop(&sim));
    }
    if (dir.compare(0, 14, "/tmp/lib_tree_") == 0)
        (void)!system(("rm -rf " + dir).c_str());
}

bool lib_tree_fixture::child(GtkTreeIter *parent, const char *name, GtkTreeIter *out)
{
    if (!gtk_tree_model_iter_children(model(), out, parent))
        return false;
    do {
        gchar *t = nullptr;
        gtk_tree_model_get(model(), out, LIBRARY_COLUMN_TITLE, &t, -1);
        bool hit = t && !strcmp(t, name);
        g_free(t);
        if (hit)
            return true;
    } while (gtk_tree_model_iter_next(model(), out));
    return false;
}

void lib_tree_fixture::expand(GtkTreeIter *it)
{
    GtkTreePath *p = gtk_tree_model_get_path(model(), it);
    gtk_tree_view_expand_row(view, p, FALSE);
    gtk_tree_path_free(p);
}

std::vector<std::string> lib_row_titles(GtkTreeModel *m, GtkTreeIter *parent, bool items_only)
{
    std::vector<std::string> out;
    GtkTreeIter it;
    for (gboolean ok = gtk_tree_model_iter_children(m, &it, parent); ok; ok = gtk_tree_model_iter_next(m, &it)) {
        gpointer item = nullptr, d = nullptr;
        gtk_tree_model_get(m, &it, LIBRARY_COLUMN_ITEM_DATA, &item, LIBRARY_COLUMN_DIR_DATA, &d, -1);
        if (item)
            out.push_back(static_cast<pelmora_lib_item_t *>(item)->name);
        else if (d && !items_only)
            out.push_back(static_cast<pelmora_lib_dir_t *>(d)->name);
    }
    return out;
}

std::vector<std::string> lib_disk_names(const std::string &dir, bool f_dirs)
{
    std::vector<std::string> out;
    DIR *d = opendir(dir.c_str());
    while (struct dirent *e = d ? readdir(d) : nullptr) {
        struct stat st;
        if (e->d_name[0] != '.' && fstatat(dirfd(d), e->d_name, &st, 0) == 0 &&
            (S_ISREG(st.st_mode) || (f_dirs && S_ISDIR(st.st_mode))))
            out.push_back(e->d_name);
    }
    if (d)
        closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

std::string lib_rows_against_disk(GtkTreeModel *m, GtkTreeIter *parent, const std::string &dir)
{
    std::vector<std::string> rows = lib_row_titles(m, parent, true);
    for (size_t i = 1; i < rows.size(); i++)
        if (!lib_name_less(rows[i - 1], rows[i]))
            return "out of order or twice at row " + std::to_string(i) + ": " + rows[i - 1] + ", " + rows[i];
    std::vector<std::string> sorted = rows, disk = lib_disk_names(dir, false);
    std::sort(sorted.begin(), sorted.end());
    if (sorted == disk)
        return "";
    std::vector<std::string> extra, missing;
    std::set_difference(sorted.begin(), sorted.end(), disk.begin(), disk.end(), std::back_inserter(extra));
    std::set_difference(disk.begin(), disk.end(), sorted.begin(), sorted.end(), std::back_inserter(missing));
    return std::to_string(rows.size()) + " rows, " + std::to_string(disk.size()) + " files; " +
           std::to_string(extra.size()) + " extra (" + (extra.empty() ? "" : extra[0]) + "), " +
           std::to_string(missing.size()) + " missing (" + (missing.empty() ? "" : missing[0]) + ")";
}
