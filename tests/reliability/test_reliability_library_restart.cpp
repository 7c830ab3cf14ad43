// The library's simulator killed and started again on the same port with the
// same media folder, in the middle of the operator's work with the library:
// - a move of 40 items into another folder: every item is on disk exactly
//   once, every move the server answered is in the destination, the pane's
//   notice line counts every failed one, and the open tree comes back equal
//   to the disk in both folders;
// - a drop of 30 library rows onto a bus (the automation server stays up):
//   every acknowledged insert is in the server's list once, with its media
//   and duration, and the grid equals that list; rows deleted through the
//   restarted server before their drop arrives are not inserted, and the
//   bus's notice line says how many.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bus_dnd.h"
#include "lib_console.h"
#include "library_ops.h"
#include "library_select.h"
#include "library_ui.h"
#include "pelmora_lib.h"
#include "pelmorabox.h"
#include "reliability_support.h"
#include "ui_bus.h"

namespace {

bool exists(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

std::string clip(int i)
{
    char name[32];
    snprintf(name, sizeof name, "clip%04d.mov", i);
    return name;
}

/* Which moves the server answered, from the operation's log: the path of
 * each call, then its result, from the one worker that makes them. */
struct move_log_desc
{
    std::mutex lock;
    std::string pending;
    std::vector<std::pair<std::string, int>> results;
};

void capture_move_log(const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer data)
{
    auto *log = static_cast<move_log_desc *>(data);
    static const char call[] = "library_move_items_srv: item pelmora_lib_rename_item([";
    static const char result[] = "library_move_items_srv: item r=";
    if (message) {
        std::lock_guard<std::mutex> g(log->lock);
        if (strncmp(message, call, strlen(call)) == 0) {
            const char *p = message + strlen(call);
            const char *end = strchr(p, ']');
            log->pending = end ? std::string(p, (size_t)(end - p)) : "";
        } else if (strncmp(message, result, strlen(result)) == 0) {
            log->results.emplace_back(log->pending, atoi(message + strlen(result)));
            log->pending.clear();
        }
    }
    g_log_default_handler(domain, level, message, nullptr);
}

class ReliabilityLibraryRestart : public LibConsoleTest
{
  protected:
    void TearDown() override
    {
        if (killer.joinable())
            killer.join(); /* a test that stopped before it did */
        LibConsoleTest::TearDown();
        sim_child_stop(&libsim);
        sim_child_stop(&libsim2);
    }

    /* Media with `links` hard links of the 10 s clip in /many and one in
     * /dest, a library simulator of its own (so it can die alone), an
     * automation simulator for one bus, and the console with its library
     * started as start-up starts it. */
    void start_split(int links, std::vector<std::string> automation_extra)
    {
        char tmpl[] = "/tmp/lib_console_XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        root = tmpl;
        ASSERT_EQ(
            0,
            system((std::string(PELMORA_SOURCE_DIR) + "/scripts/make-media --quick " + root + " >/dev/null").c_str()));
        ASSERT_EQ(0, mkdir((root + "/many").c_str(), 0755));
        ASSERT_EQ(0, mkdir((root + "/dest").c_str(), 0755));
        for (int i = 0; i < links; i++)
            ASSERT_EQ(0, link((root + "/news/opener.mov").c_str(), (root + "/many/" + clip(i)).c_str()));
        /* The destination holds one item of its own: an open folder. */
        ASSERT_EQ(0, link((root + "/news/opener.mov").c_str(), (root + "/dest/keep.mov").c_str()));

        ASSERT_EQ(0, sim_child_start(&libsim, sim_child_bin(), lib_args("0")));
        {
            std::lock_guard<std::mutex> g(libsim.lock);
            for (const std::string &l : libsim.lines)
                if (l.compare(0, 13, "library port ") == 0)
                    lib_port = l.substr(13);
        }
        ASSERT_FALSE(lib_port.empty());

        data = engine_data_dir(
            {{"pl0", {ops_event_line("00:00:10:00", "x", "A0"), ops_event_line("00:00:10:00", "y", "A1")}}});
        std::vector<std::string> args = {"--playlist", "0:pl0"};
        args.insert(args.end(), automation_extra.begin(), automation_extra.end());
        start_sim(args);
        std::vector<std::string> extra;
        for (const std::string &a : engine_bus_args(sim.hostport, 1)) {
            extra.push_back(a);
            if (a.compare(0, 6, "--idx=") == 0)
                extra.push_back("--lib=127.0.0.1:" + lib_port);
        }
        ASSERT_TRUE(e.create(extra));
        e.start();
        library_init(lib());
        library_stat_notify(lib(), 1);
        notifier = std::thread([this] {
            while (!stopping) {
                library_stat_notify(lib(), 0);
                g_usleep(100000);
            }
        });
        library_ui_showhide(lib(), 1);
    }

    /* The library's simulator (with an automation port nobody uses: the
     * harness finds a simulator by that port's line). */
    std::vector<std::string> lib_args(const std::string &port)
    {
        return {"--automation", "0",         "--library",       port, "--media", root,
                "--log-calls",  "--latency", "LibRenameItem:60"};
    }

    /* From another thread: once `count` calls that begin with `call` are in
     * `watched`'s log, the library's simulator is killed outright and
     * started again on its port over the same folder. */
    void restart_library_at(sim_child_t *watched, const std::string &call, int count)
    {
        killer = std::thread([this, watched, call, count] {
            for (int t = 0; t < 4000 && sim_child_count(watched, call) < count; t++)
                usleep(5000);
            if (libsim.pid > 0) {
                kill(libsim.pid, SIGKILL);
                waitpid(libsim.pid, nullptr, 0);
                libsim.pid = -1;
            }
            restarted = sim_child_start(&libsim2, sim_child_bin(), lib_args(lib_port)) == 0;
        });
    }

    /* Item rows under the folder row `dir` in the tree (placeholders not
     * counted), or -1 when the folder has no row or is not listed yet. */
    int tree_items(const std::string &dir)
    {
        GtkTreeIter d, c;
        if (!row(0, dir, &d))
            return -1;
        GtkTreeModel *m = gtk_tree_view_get_model(tree());
        int n = 0;
        for (gboolean ok = gtk_tree_model_iter_children(m, &c, &d); ok; ok = gtk_tree_model_iter_next(m, &c)) {
            gchar *title = nullptr;
            gtk_tree_model_get(m, &c, 1, &title, -1);
            GtkTreeIter probe;
            /* A placeholder row holds no record: it has no path of its own. */
            if (title && row(0, dir + "/" + title, &probe))
                n++;
            g_free(title);
        }
        return n;
    }

    /* The clips of both folders in the open tree as they are on disk. */
    bool tree_matches_disk(int links, std::string *why)
    {
        for (const char *dir : {"/many", "/dest"}) {
            if (!open_path(0, dir, 200)) {
                *why = std::string(dir) + " not open";
                return false;
            }
            int on_disk = std::string(dir) == "/dest";
            for (int i = 0; i < links; i++) {
                std::string path = std::string(dir) + "/" + clip(i);
                bool disk = exists(root + path);
                GtkTreeIter it;
                if (disk != row(0, path, &it)) {
                    *why = path + (disk ? " on disk, not in the tree" : " in the tree, not on disk");
                    return false;
                }
                on_disk += disk;
            }
            if (tree_items(dir) != on_disk) {
                *why = std::string(dir) + ": " + std::to_string(tree_items(dir)) + " rows, " + std::to_string(on_disk) +
                       " on disk";
                return false;
            }
        }
        return true;
    }

    sim_child_t libsim, libsim2;
    std::string lib_port;
    std::thread killer;
    std::atomic<bool> restarted{false};
};

TEST_F(ReliabilityLibraryRestart, MoveOfFortyItemsLosesNoneDoublesNoneAndNamesEveryFailure)
{
    const int n = 40;
    start_split(n, {});
    if (HasFatalFailure())
        return;
    ASSERT_TRUE(open_path(0, "/dest"));
    ASSERT_TRUE(open_path(0, "/many"));
    ASSERT_TRUE(engine_run_until([&] { return tree_items("/many") == n; }, 10000));
    std::vector<std::string> paths;
    for (int i = 0; i < n; i++)
        paths.push_back("/many/" + clip(i));
    select_rows(0, paths);

    /* Move, as from its button: the destination answered in its dialog. */
    ops_dialogs d;
    d.then([this](GtkWidget *dlg) {
        auto *ctx = static_cast<library_ui_select_item_dialog_t *>(lib()->select_item_dialog.ctx);
        EXPECT_EQ(0, library_select_item_wait(&ctx->lib, "/dest", 5000));
        gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
        return true;
    });
    restart_library_at(&libsim, "call PelmoraLib.LibRenameItem", 15);
    move_log_desc log;
    guint handler = g_log_set_handler(nullptr, G_LOG_LEVEL_WARNING, capture_move_log, &log);
    library_move_items_srv(lib()->ui[LIBRARY_UI_BUTTON_MOVE_ITEMS], lib());
    g_log_remove_handler(nullptr, handler);
    killer.join();
    ASSERT_TRUE(restarted.load());
    EXPECT_EQ(d.pending(), 0u);
    EXPECT_EQ(d.unexpected, 0) << "no other dialog than the destination's";

    std::vector<std::pair<std::string, int>> results;
    {
        std::lock_guard<std::mutex> g(log.lock);
        results = log.results;
    }
    ASSERT_EQ((int)results.size(), n) << "one answer per item";
    int moved = 0, failed = 0, on_disk_moved = 0;
    for (int i = 0; i < n; i++) {
        const std::string name = clip(i);
        ASSERT_EQ(results[(size_t)i].first, "/many/" + name);
        bool src = exists(root + "/many/" + name), dst = exists(root + "/dest/" + name);
        EXPECT_NE(src, dst) << name << " is " << (src ? "in both folders" : "in neither folder");
        on_disk_moved += dst;
        if (results[(size_t)i].second >= 0) {
            moved++;
            EXPECT_TRUE(dst) << name << ": the server answered its move, it is not in the destination";
        } else
            failed++;
    }
    EXPECT_GE(moved, 14) << "the moves before the kill were answered";
    EXPECT_GT(failed, 0) << "the kill fell in the middle of the move";
    /* Only the move under way at the kill can have been made unanswered. */
    EXPECT_LE(on_disk_moved - moved, 1);
    EXPECT_GE(on_disk_moved, moved);

    /* The operator is told of every failure: the first named, the count of
     * the others. */
    std::string notice = library_ui_notice_text(lib());
    const std::string first_failed = [&] {
        for (const auto &r : results)
            if (r.second < 0)
                return r.first;
        return std::string();
    }();
    EXPECT_NE(notice.find("Moving of " + first_failed), std::string::npos) << notice;
    if (failed > 1) {
        EXPECT_NE(notice.find("(and " + std::to_string(failed - 1) + " more failures)"), std::string::npos) << notice;
    }

    /* With the server back, the open tree follows the disk in both folders
     * (the journal of the new server, or the folders listed again). */
    std::string why;
    EXPECT_TRUE(engine_run_until([&] { return tree_matches_disk(n, &why); }, 20000)) << why;
}

TEST_F(ReliabilityLibraryRestart, DropOfThirtyRowsInsertsEachAcknowledgedOnceAndNamesRowsGoneMeanwhile)
{
    const int n = 30;
    start_split(n, {"--latency", "InsertEvent2:40"});
    if (HasFatalFailure())
        return;
    bus_t *b = bus(0);
    /* Nothing of the drop stops the operator with a dialog. */
    ops_dialogs none;
    ASSERT_TRUE(wait_filled(b, 2));
    ASSERT_TRUE(open_path(0, "/many"));
    ASSERT_TRUE(engine_run_until([&] { return tree_items("/many") == n; }, 10000));
    std::vector<std::string> paths;
    for (int i = 0; i < n; i++)
        paths.push_back("/many/" + clip(i));
    select_rows(0, paths);

    /* Two payloads of the same 30 rows, made as the tree makes them when a
     * drag asks for its data. */
    GdkDragContext *ctx = gdk_drag_context_new();
    GtkSelectionData first, second;
    for (GtkSelectionData *sd : {&first, &second}) {
        memset(sd, 0, sizeof *sd);
        sd->target = gdk_atom_intern_static_string("application/library_row_datas");
        sd->selection = GDK_SELECTION_PRIMARY;
        g_signal_emit_by_name(tree(), "drag-data-get", ctx, sd, 0u, 0u);
        ASSERT_EQ(sd->length, n * (int)sizeof(library_row_records_t));
    }

    /* Dropped after the last row while the library's server dies and
     * comes back. */
    restart_library_at(&sim, "call PelmoraBox.InsertEvent2", 10);
    size_t mk = mark();
    gtk_tree_selection_unselect_all(gtk_tree_view_get_selection(GTK_TREE_VIEW(b->grid)));
    g_signal_emit_by_name(b->grid, "drag-data-received", ctx, 5, 5000, &first, (guint)BUS_DND_INFO_LIBRARY_ROWS, 0u);
    ASSERT_TRUE(engine_run_until([&] { return calls("PelmoraBox.InsertEvent2", 0, mk, false) >= n; }, 20000));
    killer.join();
    ASSERT_TRUE(restarted.load());

    std::vector<reliability_row> server;
    ASSERT_TRUE(engine_run_until(
        [&] { return reliability_server_list(sim.url, 0, &server) && (int)server.size() >= 2 + n; }, 10000))
        << server.size() << " events";
    EXPECT_EQ((int)server.size(), 2 + n);
    for (int i = 0; i < n; i++) {
        int found = 0;
        for (const reliability_row &r : server) {
            pelmorabox_event_t *ev = pelmorabox_event_create_from_string(r.line.c_str(), nullptr, 0);
            ASSERT_NE(ev, nullptr) << r.line;
            if (strcmp(ev->title, clip(i).c_str()) == 0) {
                found++;
                EXPECT_STREQ(ev->media_id, ("/many/" + clip(i)).c_str());
                EXPECT_STREQ(ev->duration, "00:00:10:00");
                EXPECT_STREQ(ev->mark_out, "00:00:09:24");
            }
            pelmorabox_event_destroy(&ev);
        }
        EXPECT_EQ(found, 1) << clip(i);
    }
    /* The grid holds the events of the rows in view. */
    ASSERT_TRUE(engine_run_until(
        [&] {
            std::vector<reliability_row> grid = reliability_grid_list(b);
            int first_row, last_row;
            if (grid.size() != server.size() || !grid_visible(b, &first_row, &last_row))
                return false;
            for (int r = first_row; r <= last_row; r++)
                if (!(grid[(size_t)r] == server[(size_t)r]))
                    return false;
            return true;
        },
        10000))
        << "grid rows " << grid_rows(b) << ", server " << server.size();

    /* Ten of the rows deleted through the new server (another console's
     * work): its journal takes their rows out of the tree. The second
     * payload, still on its way, names those ten among the thirty: the
     * twenty that a row still holds are inserted, the ten are not, and the
     * bus says how many were left out. */
    std::string lib_url = "http://127.0.0.1:" + lib_port + "/RPC2";
    for (int i = 0; i < n; i += 3)
        ASSERT_EQ(0, pelmora_lib_delete_item(lib_url.c_str(), ("/many/" + clip(i)).c_str())) << clip(i);
    const int deleted = (n + 2) / 3;
    ASSERT_TRUE(engine_run_until([&] { return tree_items("/many") == n - deleted; }, 15000))
        << tree_items("/many") << " rows";
    auto *rows = reinterpret_cast<const library_row_records_t *>(second.data);
    int alive = 0;
    for (int i = 0; i < n; i++)
        alive += library_ui_record_alive(rows[i].item) != 0;
    ASSERT_EQ(alive, n - deleted) << "a deleted row's record goes with it";
    mk = mark();
    g_signal_emit_by_name(b->grid, "drag-data-received", ctx, 5, 5000, &second, (guint)BUS_DND_INFO_LIBRARY_ROWS, 0u);
    ASSERT_TRUE(engine_run_until([&] { return calls("PelmoraBox.InsertEvent2", 0, mk, false) >= n - deleted; }, 20000));
    ASSERT_TRUE(engine_run_until(
        [&] {
            return std::string(bus_ui_notice_text(b)).find(std::to_string(deleted) + " of " + std::to_string(n)) !=
                   std::string::npos;
        },
        10000))
        << bus_ui_notice_text(b);
    engine_run_for(300);
    EXPECT_EQ(calls("PelmoraBox.InsertEvent2", 0, mk), n - deleted);
    ASSERT_TRUE(reliability_server_list(sim.url, 0, &server));
    ASSERT_EQ((int)server.size(), 2 + n + n - deleted);
    for (int i = 0; i < n; i++) {
        int found = 0;
        for (size_t k = 2 + n; k < server.size(); k++) {
            pelmorabox_event_t *ev = pelmorabox_event_create_from_string(server[k].line.c_str(), nullptr, 0);
            ASSERT_NE(ev, nullptr);
            found += strcmp(ev->media_id, ("/many/" + clip(i)).c_str()) == 0;
            pelmorabox_event_destroy(&ev);
        }
        EXPECT_EQ(found, i % 3 == 0 ? 0 : 1) << clip(i);
    }
    EXPECT_EQ(none.unexpected, 0);
    g_free(first.data);
    g_free(second.data);
    g_object_unref(ctx);
}

} // namespace

/* The library's server goes away while the operator only looks, the folder
 * changes meanwhile, and a new server (whose journal knows nothing of it)
 * answers on the same port: the open folders follow the disk again. */
TEST_F(ReliabilityLibraryRestart, ChangesWhileTheServerWasAwayReachTheOpenTree)
{
    const int n = 20;
    start_split(n, {});
    if (HasFatalFailure())
        return;
    ASSERT_TRUE(open_path(0, "/dest"));
    ASSERT_TRUE(open_path(0, "/many"));
    ASSERT_TRUE(engine_run_until([&] { return tree_items("/many") == n; }, 10000));

    kill(libsim.pid, SIGKILL);
    waitpid(libsim.pid, nullptr, 0);
    libsim.pid = -1;
    /* Seen away by the notification thread before anything changes. */
    engine_run_until([] { return false; }, 400);
    for (int i = 0; i < 6; i++)
        ASSERT_EQ(0, rename((root + "/many/" + clip(i)).c_str(), (root + "/dest/" + clip(i)).c_str()));
    ASSERT_EQ(0, unlink((root + "/many/" + clip(6)).c_str()));
    ASSERT_EQ(0, sim_child_start(&libsim2, sim_child_bin(), lib_args(lib_port)));

    std::string why;
    EXPECT_TRUE(engine_run_until([&] { return tree_matches_disk(n, &why); }, 20000)) << why;
}
