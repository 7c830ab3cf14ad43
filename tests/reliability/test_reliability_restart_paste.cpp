// A simulator killed and started again in the middle of pasting 50 events:
// every insert the server acknowledged is in its list after the restart,
// none twice, each failed insert is logged with its result and named to the
// operator on the bus's notice line (one without an answer as maybe
// inserted), and the console's grid comes back equal to the server's list.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bus.h"
#include "bus_ctl.h"
#include "engine_support.h"
#include "ops_support.h"
#include "pelmorabox.h"
#include "reliability_support.h"
#include "ui_bus.h"

namespace {

const char *const PASTE_LOG = "bus_clipboard_paste: pelmorabox_insert_event2=";

struct paste_log_desc
{
    std::mutex lock;
    std::vector<int> results;
};

void capture_paste_log(const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer data)
{
    auto *log = static_cast<paste_log_desc *>(data);
    if (message && strncmp(message, PASTE_LOG, strlen(PASTE_LOG)) == 0) {
        std::lock_guard<std::mutex> g(log->lock);
        log->results.push_back(atoi(message + strlen(PASTE_LOG)));
    }
    g_log_default_handler(domain, level, message, nullptr);
}

std::string title_of(const std::string &line)
{
    /* Start time, start type, in, out, duration, type, media id, title. */
    size_t p = 0;
    for (int i = 0; i < 7 && p != std::string::npos; i++)
        p = line.find('\t', p + 1);
    if (p == std::string::npos)
        return "";
    size_t end = line.find('\t', p + 1);
    return line.substr(p + 1, end == std::string::npos ? std::string::npos : end - p - 1);
}

class ReliabilityRestartPaste : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!engine_gtk_ready())
            GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
        char dir[] = "/tmp/pelmora_reliability_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        data = dir;
    }
    void TearDown() override
    {
        if (!IsSkipped() && e.app) {
            for (int i = 0; i < e.app->clipboard.count; i++)
                pelmorabox_event_destroy(&e.app->clipboard.list[i]);
            e.app->clipboard.count = 0;
            EXPECT_GE(e.stop(), 0);
        }
        sim_child_stop(&first);
        sim_child_stop(&second);
        if (!data.empty())
            (void)!system(("rm -rf " + data).c_str());
    }

    std::vector<std::string> sim_args(int port)
    {
        return {"--automation", std::to_string(port), "--events",       "10", "--keep-lists", "--data", data,
                "--log-calls",  "--latency",          "InsertEvent2:30"};
    }

    std::string data;
    sim_child_t first, second;
    engine_app e;
};

} // namespace

TEST_F(ReliabilityRestartPaste, AcknowledgedInsertsSurviveAndFailedOnesAreReported)
{
    ASSERT_EQ(sim_child_start(&first, sim_child_bin(), sim_args(0)), 0);
    int port = first.port;
    ASSERT_TRUE(e.create({"--add-bus=NEWS", "--host=" + first.hostport, "--idx=0"}));
    e.start();
    bus_t *b = &e.app->bus.list[0];
    ASSERT_TRUE(engine_run_until([&] { return grid_rows(b) == 10 && grid_visible_filled(b); }, 5000));

    /* Fifty events on the clipboard, and no selection: they go to the end. */
    const int n = 50;
    for (int i = 0; i < n; i++) {
        std::string line =
            engine_event_line("00:00:15:00", 'V', "demo/clip003.mxf", ("paste " + std::to_string(i)).c_str());
        e.app->clipboard.list[i] = pelmorabox_event_create_from_string(line.c_str(), nullptr, 0);
        ASSERT_NE(e.app->clipboard.list[i], nullptr);
    }
    e.app->clipboard.count = n;
    gtk_tree_selection_unselect_all(gtk_tree_view_get_selection(GTK_TREE_VIEW(b->grid)));

    /* Killed outright while the 20th insert is being answered, then started
     * again on the same port with the same data folder. */
    std::atomic<bool> restarted{false};
    std::thread killer([&] {
        for (int t = 0; t < 2000 && sim_child_count(&first, "call PelmoraBox.InsertEvent2") < 20; t++)
            usleep(5000);
        if (first.pid > 0) {
            kill(first.pid, SIGKILL);
            waitpid(first.pid, nullptr, 0);
            first.pid = -1;
        }
        restarted = sim_child_start(&second, sim_child_bin(), sim_args(port)) == 0;
    });

    paste_log_desc log;
    ops_dialogs report;
    guint handler = g_log_set_handler(nullptr, G_LOG_LEVEL_WARNING, capture_paste_log, &log);
    EXPECT_EQ(bus_clipboard_paste(b), 0);
    g_log_remove_handler(nullptr, handler);
    killer.join();
    ASSERT_TRUE(restarted.load());
    EXPECT_EQ(b->state.ign, 0) << "polling resumes after the series";

    std::vector<int> results;
    {
        std::lock_guard<std::mutex> g(log.lock);
        results = log.results;
    }
    ASSERT_EQ((int)results.size(), n) << "one result per insert";
    int acked = 0, failed = 0;
    for (int r : results)
        (r >= 0 ? acked : failed)++;
    EXPECT_GE(acked, 19) << "the inserts before the kill were answered";
    EXPECT_GT(failed, 0) << "the kill fell in the middle of the series";

    /* The operator was told on the notice line which inserts failed, every
     * one (up to the report's length of each kind) by its place and title,
     * no acknowledged one; an insert without an answer may still have been
     * carried out, and is said so. No dialog got in the way. */
    EXPECT_TRUE(report.seen.empty());
    const std::string text = bus_ui_notice_text(b);
    int unanswered = 0;
    for (int r : results)
        unanswered += r == -14;
    int refused = failed - unanswered;
    if (refused) {
        EXPECT_NE(text.find(std::to_string(refused) + " of the 50 pasted events were not inserted"), std::string::npos)
            << text;
    } else {
        EXPECT_EQ(text.find("not inserted"), std::string::npos) << text;
    }
    if (unanswered) {
        EXPECT_NE(text.find(std::to_string(unanswered) + " of the 50 pasted events got no answer from " +
                            first.hostport + ", they may still be inserted"),
                  std::string::npos)
            << text;
    }
    int refused_so_far = 0, unanswered_so_far = 0;
    for (int i = 0; i < n; i++) {
        std::string entry = std::to_string(i + 1) + ". paste " + std::to_string(i) + " [";
        bool listed = text.find(" " + entry) != std::string::npos;
        int r = results[(size_t)i];
        if (r >= 0) {
            EXPECT_FALSE(listed) << "acknowledged insert " << i << " reported as failed";
        } else if ((r == -14 ? unanswered_so_far++ : refused_so_far++) < BUS_CTL_PASTE_REPORT_MAX) {
            EXPECT_TRUE(listed) << "failed insert " << i << " not named: " << text;
        }
    }
    for (int k : {refused, unanswered})
        if (k > BUS_CTL_PASTE_REPORT_MAX) {
            EXPECT_NE(text.find("and " + std::to_string(k - BUS_CTL_PASTE_REPORT_MAX) + " more"), std::string::npos);
        }
    EXPECT_EQ(report.unexpected, 0);

    std::vector<reliability_row> server;
    ASSERT_TRUE(reliability_server_list(second.url, 0, &server));
    for (int i = 0; i < n; i++) {
        int found = 0;
        for (const reliability_row &row : server)
            found += title_of(row.line) == "paste " + std::to_string(i);
        if (results[(size_t)i] >= 0)
            EXPECT_EQ(found, 1) << "acknowledged insert " << i << " lost or doubled by the restart";
        else
            EXPECT_LE(found, 1) << "failed insert " << i;
    }
    EXPECT_EQ((int)server.size() >= 10 + acked, true);

    /* The console follows the restarted server. */
    ASSERT_TRUE(engine_run_until(
        [&] {
            std::vector<reliability_row> grid = reliability_grid_list(b);
            if (grid.size() != server.size())
                return false;
            int first_row, last_row;
            if (!grid_visible(b, &first_row, &last_row))
                return false;
            for (int r = first_row; r <= last_row; r++)
                if (!(grid[(size_t)r] == server[(size_t)r]))
                    return false;
            return true;
        },
        10000))
        << "grid rows " << grid_rows(b) << ", server " << server.size();
}
