// The library tree against a library server that misbehaves: pages it
// refuses with a fault, a state read it refuses, silence while a folder (the
// root) is opened, an offset it ignores, and a change counter that jumps
// back and forth. The server is an XML-RPC server in this process whose
// every answer the test decides, including none at all.
#include <gtest/gtest.h>

#include <gtk/gtk.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <xmlrpc-c/base.h>

#include "lib_tree_support.h"
#include "library.h"
#include "library_capacity.h"
#include "library_ui.h"
#include "pelmora_lib.h"
#include "raw_http_server.h"
#include "strl.h"

namespace {

// An XML-RPC server on loopback whose handler answers each call with a
// value, a fault (set in env), or nothing (*drop: the connection is closed
// unanswered). One connection per call, each on its own thread.
class lib_server
{
  public:
    using handler_t =
        std::function<xmlrpc_value *(xmlrpc_env *env, const std::string &method, xmlrpc_value *params, bool *drop)>;

    explicit lib_server(handler_t h) : handler_(std::move(h))
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t al = sizeof a;
        if (bind(fd_, (struct sockaddr *)&a, sizeof a) || listen(fd_, 64) ||
            getsockname(fd_, (struct sockaddr *)&a, &al))
            abort();
        url_ = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/RPC2";
        acceptor_ = std::thread([this] { accept_loop(); });
    }
    ~lib_server()
    {
        stop_ = 1;
        shutdown(fd_, SHUT_RDWR);
        acceptor_.join();
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> g(lock_);
            for (int c : conns_)
                shutdown(c, SHUT_RDWR);
            threads.swap(threads_);
        }
        for (auto &t : threads)
            t.join();
        for (int c : conns_)
            close(c);
        close(fd_);
    }
    const std::string &url() const { return url_; }
    int count(const std::string &method)
    {
        std::lock_guard<std::mutex> g(lock_);
        return counts_[method];
    }

  private:
    void accept_loop()
    {
        while (!stop_) {
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            std::lock_guard<std::mutex> g(lock_);
            conns_.push_back(c);
            threads_.emplace_back([this, c] { serve(c); });
        }
    }
    void serve(int c)
    {
        std::string req;
        char buf[8192];
        size_t head = std::string::npos, len = 0;
        while (head == std::string::npos || req.size() < head + 4 + len) {
            ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                return;
            req.append(buf, (size_t)n);
            head = req.find("\r\n\r\n");
            size_t at = req.find("Content-Length:");
            if (at == std::string::npos)
                at = req.find("content-length:");
            if (head != std::string::npos && at != std::string::npos)
                len = strtoul(req.c_str() + at + 15, nullptr, 10);
        }
        xmlrpc_env env;
        xmlrpc_env_init(&env);
        const char *method = nullptr;
        xmlrpc_value *params = nullptr;
        xmlrpc_parse_call(&env, req.data() + head + 4, len, &method, &params);
        if (env.fault_occurred) {
            xmlrpc_env_clean(&env);
            return;
        }
        bool drop = false;
        xmlrpc_value *v = nullptr;
        {
            std::lock_guard<std::mutex> g(lock_);
            counts_[method]++;
            v = handler_(&env, method, params, &drop);
        }
        xmlrpc_DECREF(params);
        free((void *)method);
        if (drop) {
            if (v)
                xmlrpc_DECREF(v);
            xmlrpc_env_clean(&env);
            shutdown(c, SHUT_RDWR); /* closed unanswered */
            return;
        }
        xmlrpc_env out;
        xmlrpc_env_init(&out);
        xmlrpc_mem_block *body = XMLRPC_MEMBLOCK_NEW(char, &out, 0);
        if (env.fault_occurred)
            xmlrpc_serialize_fault(&out, body, &env);
        else if (v)
            xmlrpc_serialize_response(&out, body, v);
        if (v)
            xmlrpc_DECREF(v);
        raw_http::answer_body(c, std::string(XMLRPC_MEMBLOCK_CONTENTS(char, body), XMLRPC_MEMBLOCK_SIZE(char, body)));
        XMLRPC_MEMBLOCK_FREE(char, body);
        xmlrpc_env_clean(&out);
        xmlrpc_env_clean(&env);
        shutdown(c, SHUT_RDWR);
    }

    handler_t handler_;
    int fd_ = -1;
    std::atomic<int> stop_{0};
    std::string url_;
    std::thread acceptor_;
    std::mutex lock_;
    std::vector<int> conns_;
    std::vector<std::thread> threads_;
    std::map<std::string, int> counts_;
};

// Answers of a well-formed library server.
xmlrpc_value *state_answer(xmlrpc_env *env, int64_t amend, int total_items, const std::vector<std::string> &journal)
{
    xmlrpc_value *arr = xmlrpc_array_new(env);
    for (const std::string &e : journal) {
        xmlrpc_value *one = xmlrpc_build_value(env, "(s)", e.c_str());
        xmlrpc_array_append_item(env, arr, one);
        xmlrpc_DECREF(one);
    }
    xmlrpc_value *v = xmlrpc_build_value(
        env, "{s:i,s:I,s:i,s:I,s:I,s:A}", "result", 0, "amend_idx", (xmlrpc_int64)amend, "total_items", total_items,
        "free_space", (xmlrpc_int64)25 << 30, "total_space", (xmlrpc_int64)100 << 30, "amend_list", arr);
    xmlrpc_DECREF(arr);
    return v;
}

xmlrpc_value *item_answer(xmlrpc_env *env, const std::string &name)
{
    return xmlrpc_build_value(
        env, "{s:s,s:I,s:I,s:I,s:I,s:I,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:i}", "name",
        name.c_str(), "st_ino", (xmlrpc_int64)1, "st_size", (xmlrpc_int64)1000, "st_mtime", (xmlrpc_int64)1700000000,
        "st_ctime", (xmlrpc_int64)1700000000, "st_atime", (xmlrpc_int64)1700000000, "format_name", "mov", "duration",
        "10", "duration_v", "10", "duration_a", "10", "nb_frames", "250", "nb_streams", "2", "width", "1920", "height",
        "1080", "display_aspect_ratio", "16:9", "sample_aspect_ratio", "1:1", "r_frame_rate", "25/1", "sample_fmt",
        "s16", "sample_rate", "48000", "channels", "2", "timecode", "10:00:00:00", "subclips", 0);
}

xmlrpc_value *list_answer(xmlrpc_env *env, const std::vector<xmlrpc_value *> &elements)
{
    xmlrpc_value *arr = xmlrpc_array_new(env);
    for (xmlrpc_value *e : elements) {
        xmlrpc_array_append_item(env, arr, e);
        xmlrpc_DECREF(e);
    }
    xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:A}", "result", 0, "list", arr);
    xmlrpc_DECREF(arr);
    return v;
}

std::string clip_name(int i)
{
    char b[32];
    snprintf(b, sizeof b, "clip%04d.mov", i);
    return b;
}

// The offset and limit of a LibListItems call ("(sii)"; -1 each for "(s)").
void page_of(xmlrpc_value *params, int *offset, int *limit)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    const char *path = nullptr;
    *offset = *limit = -1;
    xmlrpc_decompose_value(&env, params, "(sii)", &path, offset, limit);
    free((void *)path);
    xmlrpc_env_clean(&env);
}

// What the library writes to its log, kept for the test to read.
std::mutex log_lock;
std::vector<std::string> log_lines;
void keep_log(const gchar *domain, GLogLevelFlags level, const gchar *msg, gpointer)
{
    {
        std::lock_guard<std::mutex> g(log_lock);
        log_lines.push_back(msg ? msg : "");
    }
    g_log_default_handler(domain, level, msg, nullptr);
}

class HostileLibrary : public ::testing::Test
{
  protected:
    std::unique_ptr<lib_server> srv;
    library_t *lib = nullptr;
    GtkWidget *window = nullptr;
    GtkTreeView *view = nullptr;
    std::thread notifier;
    std::atomic<int> notifier_stop{0};

    void SetUp() override
    {
        if (!lib_gtk_ready())
            GTEST_SKIP() << "no display";
    }
    // The tree, its search row with the gauge and the notice line, on srv.
    void start(lib_server::handler_t h)
    {
        srv.reset(new lib_server(std::move(h)));
        lib = static_cast<library_t *>(calloc(1, sizeof(library_t)));
        strlcpy(lib->url, srv->url().c_str(), sizeof lib->url);
        strlcpy(lib->host, srv->url().substr(7, srv->url().size() - 12).c_str(), sizeof lib->host);
        window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_default_size(GTK_WINDOW(window), 900, 700);
        GtkWidget *box = gtk_vbox_new(FALSE, 0);
        gtk_container_add(GTK_CONTAINER(window), box);
        gtk_box_pack_start(GTK_BOX(box), library_ui_tree_create(lib), TRUE, TRUE, 0);
        gtk_box_pack_start(GTK_BOX(box), library_ui_search_row_create(lib), FALSE, FALSE, 0);
        GtkWidget *notice = gtk_label_new("");
        gtk_widget_set_no_show_all(notice, TRUE);
        gtk_box_pack_start(GTK_BOX(box), notice, FALSE, FALSE, 0);
        library_ui_notice_attach(lib, notice);
        view = GTK_TREE_VIEW(lib->ui[LIBRARY_UI_CLIPS_TREE]);
        library_init(lib);
        gtk_widget_show_all(window);
    }
    void notify_start()
    {
        notifier = std::thread([this] {
            while (!notifier_stop) {
                library_stat_notify(lib, 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
    }
    void TearDown() override
    {
        if (notifier.joinable()) {
            notifier_stop = 1;
            std::atomic<int> joined{0};
            std::thread joiner([&] {
                notifier.join();
                joined = 1;
            });
            lib_pump_until([&] { return joined.load() == 1; }, 30000);
            joiner.join();
        }
        if (lib) {
            library_release(lib);
            gtk_widget_destroy(window);
            free(lib);
        }
        srv.reset();
    }
    GtkTreeModel *model() { return gtk_tree_view_get_model(view); }
    bool root(GtkTreeIter *it) { return gtk_tree_model_get_iter_first(model(), it); }
    void open_root()
    {
        GtkTreeIter r;
        ASSERT_TRUE(root(&r));
        GtkTreePath *p = gtk_tree_model_get_path(model(), &r);
        gtk_tree_view_expand_row(view, p, FALSE);
        gtk_tree_path_free(p);
    }
    int root_items()
    {
        GtkTreeIter r;
        return root(&r) ? (int)lib_row_titles(model(), &r, true).size() : 0;
    }
    void idle(int ms)
    {
        lib_pump_until([] { return false; }, ms);
    }
};

} // namespace

// A name the server cannot send makes it refuse every page that holds it:
// the folder is listed in narrower pages around it and the rest shows; a
// refused state read is said on the pane and asked for less often.
TEST_F(HostileLibrary, RefusedPageLeavesOutOnlyItsItemAndRefusedStateBacksOff)
{
    const int total = 250, bad = 130;
    std::atomic<int> refuse_state{0};
    start([&](xmlrpc_env *env, const std::string &m, xmlrpc_value *params, bool *) -> xmlrpc_value * {
        if (m == "PelmoraLib.LibState") {
            if (refuse_state)
                xmlrpc_env_set_fault(env, XMLRPC_INVALID_UTF8_ERROR, "invalid UTF-8 in a journal entry");
            return refuse_state ? nullptr : state_answer(env, 10, total, {});
        }
        if (m == "PelmoraLib.LibListItems") {
            int offset, limit;
            page_of(params, &offset, &limit);
            if (offset <= bad && bad < offset + limit) {
                xmlrpc_env_set_fault(env, XMLRPC_INVALID_UTF8_ERROR, "invalid UTF-8 in a name");
                return nullptr;
            }
            std::vector<xmlrpc_value *> items;
            for (int i = offset; i < std::min(total, offset + limit); i++)
                items.push_back(item_answer(env, clip_name(i)));
            return list_answer(env, items);
        }
        if (m == "PelmoraLib.LibListDirs")
            return list_answer(env, {});
        return xmlrpc_build_value(env, "{s:i}", "result", -2);
    });
    ASSERT_EQ(0, library_stat_notify(lib, 1));
    open_root();
    ASSERT_TRUE(lib_pump_until([&] { return root_items() == total - 1; }, 20000)) << root_items();
    GtkTreeIter r, row;
    ASSERT_TRUE(root(&r));
    std::vector<std::string> names = lib_row_titles(model(), &r, true);
    EXPECT_EQ(names.end(), std::find(names.begin(), names.end(), clip_name(bad)));
    EXPECT_EQ(clip_name(total - 1), names.back());
    EXPECT_TRUE(lib_pump_until([&] { return strstr(library_ui_notice_text(lib), "1 item left out") != nullptr; }, 2000))
        << library_ui_notice_text(lib);
    EXPECT_LT(srv->count("PelmoraLib.LibListItems"), 20);
    (void)row;

    refuse_state = 1;
    notify_start();
    ASSERT_TRUE(lib_pump_until(
        [&] { return strstr(library_ui_notice_text(lib), "refuses the library state") != nullptr; }, 5000))
        << library_ui_notice_text(lib);
    EXPECT_FALSE(gtk_widget_is_sensitive(lib->ui[LIBRARY_UI_CAPACITY_DST]));
    int before = srv->count("PelmoraLib.LibState");
    idle(3000);
    // 100 ms polls would have made 30 calls; the wait doubles up to 2 s.
    EXPECT_LE(srv->count("PelmoraLib.LibState") - before, 8);
    EXPECT_EQ(total - 1, root_items()); // a refused poll is not an empty library
    refuse_state = 0;
    EXPECT_TRUE(lib_pump_until([&] { return gtk_widget_is_sensitive(lib->ui[LIBRARY_UI_CAPACITY_DST]); }, 5000));
    EXPECT_STREQ("", library_ui_notice_text(lib));
}

// The root opened while the server is silent keeps its expander, and is
// listed once the server answers again, without a restart.
TEST_F(HostileLibrary, RootOpenedWhileTheServerIsSilentIsListedWhenItAnswers)
{
    std::atomic<int> silent{1};
    start([&](xmlrpc_env *env, const std::string &m, xmlrpc_value *, bool *drop) -> xmlrpc_value * {
        if (silent) {
            *drop = true;
            return nullptr;
        }
        if (m == "PelmoraLib.LibState")
            return state_answer(env, 5, 3, {});
        if (m == "PelmoraLib.LibListDirs")
            return list_answer(env, {xmlrpc_build_value(env, "{s:s}", "name", "news")});
        if (m == "PelmoraLib.LibListItems")
            return list_answer(env, {item_answer(env, "a.mov"), item_answer(env, "b.mov")});
        return xmlrpc_build_value(env, "{s:i}", "result", -2);
    });
    EXPECT_EQ(-14, library_stat_notify(lib, 1));
    EXPECT_TRUE(strstr(library_ui_notice_text(lib), "does not answer")) << library_ui_notice_text(lib);
    EXPECT_FALSE(gtk_widget_is_sensitive(lib->ui[LIBRARY_UI_CAPACITY_DST]));
    notify_start();
    open_root();
    idle(1500);
    GtkTreeIter r;
    ASSERT_TRUE(root(&r));
    EXPECT_TRUE(gtk_tree_model_iter_has_child(model(), &r)); // still openable
    EXPECT_EQ(0, root_items());

    silent = 0;
    EXPECT_TRUE(lib_pump_until([&] { return root_items() == 2; }, 10000));
    GtkTreeIter news;
    ASSERT_TRUE(gtk_tree_model_iter_children(model(), &news, &r));
    EXPECT_EQ((std::vector<std::string>{"news", "a.mov", "b.mov"}), lib_row_titles(model(), &r, false));
    EXPECT_TRUE(gtk_widget_is_sensitive(lib->ui[LIBRARY_UI_CAPACITY_DST]));
    EXPECT_STREQ("", library_ui_notice_text(lib));
}

// A server that answers every page with the same items, and one that makes
// up new names for ever: paging stops, and the log says why.
TEST_F(HostileLibrary, PagingEndsOnARepeatedPageAndBeyondTheLibrarysItemCount)
{
    std::atomic<int> fresh{0}, page{0};
    start([&](xmlrpc_env *env, const std::string &m, xmlrpc_value *, bool *) -> xmlrpc_value * {
        if (m == "PelmoraLib.LibState")
            return state_answer(env, 5, 250, {});
        if (m == "PelmoraLib.LibListItems") {
            int base = fresh ? 100 * page++ : 0; // offset ignored
            std::vector<xmlrpc_value *> items;
            for (int i = 0; i < 100; i++)
                items.push_back(item_answer(env, clip_name(base + i)));
            return list_answer(env, items);
        }
        if (m == "PelmoraLib.LibListDirs")
            return list_answer(env, {});
        if (m == "PelmoraLib.LibThumbItem")
            return xmlrpc_build_value(env, "{s:i}", "result", -2);
        return xmlrpc_build_value(env, "{s:i}", "result", -2);
    });
    g_log_set_default_handler(keep_log, nullptr);
    ASSERT_EQ(0, library_stat_notify(lib, 1));
    open_root();
    idle(2500);
    EXPECT_EQ(100, root_items());
    EXPECT_EQ(2, srv->count("PelmoraLib.LibListItems"));
    EXPECT_LE(srv->count("PelmoraLib.LibThumbItem"), 100);

    // Fresh names on every page: at most the 250 the library holds, and a
    // page beyond.
    fresh = 1;
    GtkTreeIter r;
    ASSERT_TRUE(root(&r));
    GtkTreePath *p = gtk_tree_model_get_path(model(), &r);
    gtk_tree_view_collapse_row(view, p);
    gtk_tree_view_expand_row(view, p, FALSE);
    gtk_tree_path_free(p);
    idle(2500);
    EXPECT_EQ(5, srv->count("PelmoraLib.LibListItems"));
    EXPECT_EQ(300, root_items());
    g_log_set_default_handler(g_log_default_handler, nullptr);
    std::lock_guard<std::mutex> g(log_lock);
    int said = 0;
    for (const std::string &l : log_lines)
        said += l.find("listed before: the listing ends there") != std::string::npos ||
                l.find("than the library holds (250)") != std::string::npos;
    EXPECT_EQ(2, said);
}

// A change counter that jumps between the ends of its range on every read:
// the open folders are listed again at a bounded rate, and the difference
// is never logged as a negative count.
TEST_F(HostileLibrary, CounterJumpingBackAndForthDrawsBoundedListingsWithoutOverflow)
{
    std::atomic<int> reads{0};
    start([&](xmlrpc_env *env, const std::string &m, xmlrpc_value *, bool *) -> xmlrpc_value * {
        if (m == "PelmoraLib.LibState") {
            int n = reads++;
            int64_t amend = n % 4 == 0 ? INT64_MIN + 5 : n % 4 == 1 ? INT64_MAX - 5 : n % 4 == 2 ? 7 : 9;
            return state_answer(env, amend, 3, {"+/c.mov", "+/b.mov", "+/a.mov"});
        }
        if (m == "PelmoraLib.LibListDirs")
            return list_answer(env, {xmlrpc_build_value(env, "{s:s}", "name", "news")});
        if (m == "PelmoraLib.LibListItems")
            return list_answer(env, {item_answer(env, "a.mov"), item_answer(env, "b.mov"), item_answer(env, "c.mov")});
        if (m == "PelmoraLib.LibMetaItem")
            return xmlrpc_build_value(env, "{s:i,s:S}", "result", 0, "item", item_answer(env, "a.mov"));
        return xmlrpc_build_value(env, "{s:i}", "result", -2);
    });
    {
        std::lock_guard<std::mutex> g(log_lock);
        log_lines.clear();
    }
    g_log_set_default_handler(keep_log, nullptr);
    ASSERT_EQ(0, library_stat_notify(lib, 1));
    open_root();
    ASSERT_TRUE(lib_pump_until([&] { return root_items() == 3; }, 5000));
    int before = srv->count("PelmoraLib.LibListItems") + srv->count("PelmoraLib.LibListDirs");
    notify_start();
    idle(5000);
    int listings = srv->count("PelmoraLib.LibListItems") + srv->count("PelmoraLib.LibListDirs") - before;
    int polls = srv->count("PelmoraLib.LibState");
    g_log_set_default_handler(g_log_default_handler, nullptr);
    EXPECT_GE(polls, 20);
    // One folder open, one listing (folders and items) per second at most.
    EXPECT_LE(listings, 2 * 7) << polls << " polls";
    EXPECT_EQ(3, root_items());
    // The count of changes said in the log is never negative.
    std::lock_guard<std::mutex> g(log_lock);
    int said = 0;
    for (const std::string &l : log_lines)
        for (const char *word : {" new,", " changes,"}) {
            size_t at = l.find(word);
            if (at == std::string::npos)
                continue;
            size_t from = l.rfind(' ', at - 1);
            said++;
            EXPECT_NE('-', l[from + 1]) << l;
        }
    EXPECT_GE(said, 1);
}
