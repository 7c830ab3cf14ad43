// Transcoding from the library pane against an in-process library server
// (the simulator's library port has no IO modes to offer): the override
// step's folder reaches the server's transcode request, the pane's button
// with nothing selected says so on the pane, and a job's audio configuration
// out of range shows "<unknown>".
#include <gtest/gtest.h>

#include <gtk/gtk.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "gui_loop.h"
#include "library_pane.h"
#include "library_ui.h"
#include "pelmora.h"
#include "strl.h"
#include "test_xmlrpc_server.h"
#include "transcoder.h"
#include "transfer.h"

namespace {

using steady = std::chrono::steady_clock;

bool gtk_ready()
{
    return gui_ready(true, [] { pelmora_init("jobs-transcode-test", "0"); });
}

template <typename F> bool pump_until(F cond, int ms)
{
    auto end = steady::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (steady::now() > end)
            return false;
        gdk_threads_leave();
        g_main_context_iteration(nullptr, FALSE);
        gdk_threads_enter();
        g_usleep(1000);
    }
    return true;
}

xmlrpc_value *names(xmlrpc_env *env, const std::vector<const char *> &l)
{
    xmlrpc_value *list = xmlrpc_array_new(env);
    for (const char *n : l) {
        xmlrpc_value *e = xmlrpc_build_value(env, "{s:s}", "name", n);
        xmlrpc_array_append_item(env, list, e);
        xmlrpc_DECREF(e);
    }
    xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:A}", "result", 0, "list", list);
    xmlrpc_DECREF(list);
    return v;
}

// A library server with /news/a.mov and /out/b.mov, one IO mode HD with the
// encoder XDCAM, no transfer targets; it keeps the destinations of the
// transcode requests it is sent and lists one job of audio_conf.
struct fake_library
{
    std::mutex m;
    std::vector<std::string> dsts;
    int audio_conf = 42;
    test_xmlrpc_server srv{[this](xmlrpc_env *env, const std::string &method, xmlrpc_value *params) {
        return answer(env, method, params);
    }};

    xmlrpc_value *answer(xmlrpc_env *env, const std::string &method, xmlrpc_value *params)
    {
        std::string path;
        if (method.compare(0, 11, "PelmoraLib.") == 0 && xmlrpc_array_size(env, params) > 0) {
            const char *p = nullptr;
            xmlrpc_env e;
            xmlrpc_env_init(&e);
            xmlrpc_decompose_value(&e, params, "(s*)", &p);
            path = p ? p : "";
            free((void *)p);
            xmlrpc_env_clean(&e);
        }
        if (method == "PelmoraIO.SettingsGetModes")
            return xmlrpc_build_value(env, "{s:i,s:({s:i,s:s,s:s,s:({s:i,s:s,s:s}),s:()})}", "result", 0, "list", "idx",
                                      0, "desc", "HD", "name", "HD", "list", "idx", 0, "desc", "XDCAM", "name", "XDCAM",
                                      "osds");
        if (method == "PelmoraFileTransfer.TargetsList")
            return xmlrpc_build_value(env, "{s:i,s:()}", "result", 0, "list");
        if (method == "PelmoraLib.LibListDirs")
            return path == "/" ? names(env, {"news", "out"}) : names(env, {});
        if (method == "PelmoraLib.LibListItems")
            return names(env, path == "/news"  ? std::vector<const char *>{"a.mov"}
                              : path == "/out" ? std::vector<const char *>{"b.mov"}
                                               : std::vector<const char *>{});
        if (method == "PelmoraFileTranscoder.RequestAdd") {
            const char *src = nullptr, *in = nullptr, *dur = nullptr, *dst = nullptr;
            xmlrpc_decompose_value(env, params, "(ssss*)", &src, &in, &dur, &dst);
            {
                std::lock_guard<std::mutex> g(m);
                dsts.push_back(dst ? dst : "");
            }
            free((void *)src);
            free((void *)in);
            free((void *)dur);
            free((void *)dst);
            return xmlrpc_build_value(env, "{s:i}", "result", 0);
        }
        if (method == "PelmoraFileTranscoder.RequestsList")
            return xmlrpc_build_value(
                env, "{s:i,s:({s:i,s:I,s:I,s:i,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:i,s:i,s:s,s:s,s:i,s:s,s:s,s:s,s:i})}",
                "result", 0, "list", "id", 7, "updated", (xmlrpc_int64)1700000000, "created", (xmlrpc_int64)1700000000,
                "f_delete", 0, "src_object", "/news/a.mov", "src_local", "", "dst_object", "/news/a_HD_XDCAM",
                "dst_local", "", "in", "", "dur", "", "factory", "mlt", "profile", "HD/XDCAM", "progress", 0, "state",
                0, "error", "", "audio_map", "01234567", "audio_conf", audio_conf, "timecode", "", "osd", "",
                "transfer_target", "", "transfer_f_delete", 0);
        return xmlrpc_build_value(env, "{s:i}", "result", -5);
    }
    std::vector<std::string> sent()
    {
        std::lock_guard<std::mutex> g(m);
        return dsts;
    }
};

GtkWidget *visible_dialog(const char *title)
{
    GList *tops = gtk_window_list_toplevels();
    GtkWidget *hit = nullptr;
    for (GList *l = tops; l; l = l->next)
        if (GTK_IS_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data))) {
            const char *t = gtk_window_get_title(GTK_WINDOW(l->data));
            if (t && !strcmp(t, title))
                hit = GTK_WIDGET(l->data);
        }
    g_list_free(tops);
    return hit;
}

GtkWidget *find_tree(GtkWidget *w)
{
    if (GTK_IS_TREE_VIEW(w))
        return w;
    if (!GTK_IS_CONTAINER(w))
        return nullptr;
    GList *kids = gtk_container_get_children(GTK_CONTAINER(w));
    GtkWidget *hit = nullptr;
    for (GList *l = kids; l && !hit; l = l->next)
        hit = find_tree(GTK_WIDGET(l->data));
    g_list_free(kids);
    return hit;
}

// The operator's side of the two dialogs: OK in the settings, then in the
// override dialog the rows named by `pick` (a path of row titles under the
// root, each opened on the way), or cancel when pick is empty.
struct operator_desc
{
    std::vector<std::vector<std::string>> picks; // each a path of titles
    int step = 0;
    int overrides_seen = 0;

    static bool child(GtkTreeModel *m, GtkTreeIter *parent, const std::string &title, GtkTreeIter *out)
    {
        for (gboolean ok = gtk_tree_model_iter_children(m, out, parent); ok; ok = gtk_tree_model_iter_next(m, out)) {
            gchar *t = nullptr;
            gtk_tree_model_get(m, out, 1, &t, -1);
            bool same = t && title == t;
            g_free(t);
            if (same)
                return true;
        }
        return false;
    }

    static gboolean tick(gpointer p)
    {
        auto *o = static_cast<operator_desc *>(p);
        if (GtkWidget *s = visible_dialog("Transcode settings")) {
            gtk_dialog_response(GTK_DIALOG(s), GTK_RESPONSE_ACCEPT);
            return TRUE;
        }
        GtkWidget *d = visible_dialog("Override destination path");
        if (!d)
            return TRUE;
        if (o->picks.empty()) {
            o->overrides_seen++;
            gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_REJECT);
            return TRUE;
        }
        GtkTreeView *view = GTK_TREE_VIEW(find_tree(d));
        GtkTreeModel *m = gtk_tree_view_get_model(view);
        GtkTreeIter root;
        if (!gtk_tree_model_get_iter_first(m, &root))
            return TRUE;
        // Open each row on the way; a row not loaded yet is looked for at
        // the next tick.
        GtkTreeSelection *sel = gtk_tree_view_get_selection(view);
        gtk_tree_selection_unselect_all(sel);
        int found = 0;
        for (const std::vector<std::string> &pick : o->picks) {
            GtkTreeIter at = root, next;
            bool ok = true;
            for (const std::string &title : pick) {
                GtkTreePath *path = gtk_tree_model_get_path(m, &at);
                gtk_tree_view_expand_row(view, path, FALSE);
                gtk_tree_path_free(path);
                if (!(ok = child(m, &at, title, &next)))
                    break;
                at = next;
            }
            if (ok) {
                gtk_tree_selection_select_iter(sel, &at);
                found++;
            }
        }
        if (found == (int)o->picks.size()) {
            o->overrides_seen++;
            gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_ACCEPT);
        }
        return TRUE;
    }
};

library_t *new_library(const fake_library &f)
{
    library_t *lib = static_cast<library_t *>(calloc(1, sizeof(library_t)));
    strlcpy(lib->url, f.srv.url().c_str(), sizeof lib->url);
    strlcpy(lib->host, f.srv.hostport().c_str(), sizeof lib->host);
    return lib;
}

// Transcodes /news/a.mov with the operator doing `o`: the destination the
// server was sent.
std::string transcode_a(fake_library &f, library_t *lib, operator_desc &o)
{
    pelmora_lib_item_t a;
    memset(&a, 0, sizeof a);
    strcpy(a.name, "a.mov");
    strcpy(a.full, "/news/a.mov");
    pelmora_lib_item_t *items[1] = {&a};
    size_t before = f.sent().size();
    guint src = g_timeout_add(20, operator_desc::tick, &o);
    int r = library_transcoder_item(lib, items, 1, nullptr, 0, nullptr);
    g_source_remove(src);
    EXPECT_EQ(0, r);
    std::vector<std::string> s = f.sent();
    return s.size() == before + 1 ? s.back() : "<" + std::to_string(s.size() - before) + " requests>";
}

} // namespace

TEST(JobsTranscode, OverrideStepSendsTheChosenFolderAndOnlyAOneRowChoiceChangesIt)
{
    if (!gtk_ready())
        GTEST_SKIP() << "no display";
    fake_library f;
    library_t *lib = new_library(f);

    operator_desc folder{{{"out"}}};
    EXPECT_EQ("/out/a_HD_XDCAM", transcode_a(f, lib, folder));
    EXPECT_EQ(1, folder.overrides_seen);
    // One item: its folder.
    operator_desc item{{{"out", "b.mov"}}};
    EXPECT_EQ("/out/a_HD_XDCAM", transcode_a(f, lib, item));
    // Two folders, or a cancel: the result stays beside its source.
    operator_desc two{{{"news"}, {"out"}}};
    EXPECT_EQ("/news/a_HD_XDCAM", transcode_a(f, lib, two));
    operator_desc cancel{{}};
    EXPECT_EQ("/news/a_HD_XDCAM", transcode_a(f, lib, cancel));
    EXPECT_EQ(1, cancel.overrides_seen);

    // The rule alone: a top-level item's folder is the root.
    char dst[260] = "/keep";
    char *top[] = {const_cast<char *>("/a.mov"), nullptr};
    char *dirs[] = {const_cast<char *>("/x"), const_cast<char *>("/y"), nullptr};
    EXPECT_EQ(1, library_transcoder_dst_choice(0, nullptr, 1, top, dst, sizeof dst));
    EXPECT_STREQ("/", dst);
    EXPECT_EQ(0, library_transcoder_dst_choice(1, dirs, 1, top, dst, sizeof dst));
    EXPECT_EQ(0, library_transcoder_dst_choice(2, dirs, 0, nullptr, dst, sizeof dst));
    EXPECT_STREQ("/", dst);
    library_job_windows_release(lib);
    free(lib);
}

TEST(JobsTranscode, ButtonWithNothingSelectedSaysSoOnThePaneWithoutADialog)
{
    if (!gtk_ready())
        GTEST_SKIP() << "no display";
    fake_library f;
    library_t *lib = new_library(f);
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_container_add(GTK_CONTAINER(window), library_ui_create_main(nullptr, lib, 1, nullptr));
    library_init(lib);
    gtk_widget_show_all(window);
    GtkWidget *button = lib->ui[LIBRARY_UI_BUTTON_TRANSCODER_ITEM];
    ASSERT_NE(nullptr, button);
    int dialogs = 0;
    guint src = g_timeout_add(
        20,
        [](gpointer p) -> gboolean {
            GList *tops = gtk_window_list_toplevels();
            for (GList *l = tops; l; l = l->next)
                if (GTK_IS_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data))) {
                    ++*static_cast<int *>(p);
                    gtk_dialog_response(GTK_DIALOG(l->data), GTK_RESPONSE_REJECT);
                }
            g_list_free(tops);
            return TRUE;
        },
        &dialogs);
    gtk_button_clicked(GTK_BUTTON(button));
    pump_until([] { return false; }, 200);
    g_source_remove(src);
    const char *said = library_ui_notice_text(lib);
    EXPECT_STREQ("No library item selected", said ? said : "(nothing)");
    EXPECT_EQ(0, dialogs);
    EXPECT_EQ(0u, f.srv.count("PelmoraIO.SettingsGetModes")); // no settings asked for
    library_release(lib);
    gtk_widget_destroy(window);
    pthread_mutex_destroy(&lib->lock);
    free(lib);
}

TEST(JobsTranscode, AudioConfigurationOutOfRangeShowsUnknown)
{
    if (!gtk_ready())
        GTEST_SKIP() << "no display";
    fake_library f;
    library_t *lib = new_library(f);
    ASSERT_EQ(0, library_transcoder_list(lib));
    library_job_window_t *w = library_transcoder_window(lib);
    ASSERT_NE(nullptr, w);
    GtkTreeModel *model = gtk_tree_view_get_model(GTK_TREE_VIEW(library_job_window_view(w)));
    auto cells = [&](int conf) {
        f.audio_conf = conf;
        int before = library_job_window_applied(w);
        library_job_window_reload(w);
        EXPECT_TRUE(pump_until([&] { return library_job_window_applied(w) > before; }, 15000));
        GtkTreeIter it;
        std::string out = "(no row)";
        if (gtk_tree_model_get_iter_first(model, &it)) {
            gchar *aconf = nullptr, *amap = nullptr;
            gtk_tree_model_get(model, &it, 9, &aconf, 10, &amap, -1);
            out = std::string(aconf ? aconf : "(null)") + " | " + (amap ? amap : "(null)");
            g_free(aconf);
            g_free(amap);
        }
        return out;
    };
    EXPECT_EQ("<unknown> | <unknown>", cells(42));
    EXPECT_EQ("<unknown> | <unknown>", cells(-1));
    EXPECT_EQ("Stereo (2) | [1,2]", cells(1));
    library_job_windows_release(lib);
    free(lib);
}
