// The job list windows against pelmora-sim: icons by state, rows updated in
// place with the selection kept, 500 jobs refreshed without stalling the
// main loop, a refused cancel or delete said in the window with nothing
// changed; and the naming rules of the requests the dialogs make.
#include <gtest/gtest.h>

#include <gtk/gtk.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "gui_loop.h"
#include "library_ui.h"
#include "pelmora.h"
#include "pelmora_jobs.h"
#include "sim_child.h"
#include "strl.h"
#include "timecode.h"
#include "transcoder.h"
#include "transfer.h"

namespace {

using steady = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__)
const double max_pause_ms = 200.0;
#else
const double max_pause_ms = 100.0;
#endif

bool gtk_ready()
{
    return gui_ready(true, [] { pelmora_init("jobs-ui-test", "0"); });
}

struct pause_meter
{
    steady::time_point last = steady::now();
    double max_ms = 0;
    guint id;
    pause_meter() { id = g_timeout_add(10, tick, this); }
    ~pause_meter() { g_source_remove(id); }
    static gboolean tick(gpointer p)
    {
        auto *m = static_cast<pause_meter *>(p);
        auto now = steady::now();
        m->max_ms = std::max(m->max_ms, std::chrono::duration<double, std::milli>(now - m->last).count());
        m->last = now;
        return TRUE;
    }
};

template <typename F> bool pump_until(F cond, int ms)
{
    auto end = steady::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (steady::now() > end)
            return false;
        // As gtk_main does: the loop runs without the GDK lock, each
        // hand-over takes it.
        gdk_threads_leave();
        g_main_context_iteration(nullptr, FALSE);
        gdk_threads_enter();
        g_usleep(1000);
    }
    return true;
}

// Reloads and waits for the answer to be applied.
bool reload(library_job_window_t *w)
{
    int before = library_job_window_applied(w);
    library_job_window_reload(w);
    return pump_until([&] { return library_job_window_applied(w) > before; }, 15000);
}

struct lib_sim
{
    sim_child_t c;
    std::string data;
    library_t *lib = nullptr;
    explicit lib_sim(std::vector<std::string> extra = {})
    {
        char dir[] = "/tmp/jobs_ui_XXXXXX";
        if (!mkdtemp(dir))
            return;
        data = dir;
        system(("mkdir -p " + data + "/media/news && printf x >" + data + "/media/news/a.mov").c_str());
        std::vector<std::string> args = {"--automation=0", "--library=0", "--media=" + data + "/media",
                                         "--data=" + data};
        args.insert(args.end(), extra.begin(), extra.end());
        if (sim_child_start(&c, sim_child_bin(), args) < 0)
            return;
        lib = (library_t *)calloc(1, sizeof(library_t));
        std::lock_guard<std::mutex> g(c.lock);
        for (const std::string &l : c.lines)
            if (l.compare(0, 13, "library port ") == 0) {
                std::string url = "http://127.0.0.1:" + l.substr(13) + "/RPC2";
                strlcpy(lib->url, url.c_str(), sizeof(lib->url));
            }
    }
    ~lib_sim()
    {
        if (lib) {
            library_job_windows_release(lib);
            free(lib);
        }
        EXPECT_EQ(0, sim_child_stop(&c));
        if (!data.empty())
            system(("rm -rf " + data).c_str());
    }
};

int rows(library_job_window_t *w)
{
    return gtk_tree_model_iter_n_children(gtk_tree_view_get_model(GTK_TREE_VIEW(library_job_window_view(w))), nullptr);
}

TEST(JobsUi, StateAndDirectionIconsAndComments)
{
    EXPECT_EQ(2, library_job_state_icon(7));
    EXPECT_EQ(0, library_job_state_icon(-1));
    EXPECT_EQ(4, library_job_state_icon(4));
    EXPECT_EQ(1, library_transfer_dir_icon(0, 1));
    EXPECT_EQ(3, library_transfer_dir_icon(5, 2));
    char buf[64];
    EXPECT_STREQ("", library_job_comment(0, 50, "late", buf, sizeof buf));
    EXPECT_STREQ("42%", library_job_comment(1, 42, "late", buf, sizeof buf));
    EXPECT_STREQ("late", library_job_comment(3, 42, "late", buf, sizeof buf));
}

TEST(JobsUi, RequestNamesTimecodesAndPlaylistSource)
{
    tc_setmode((tc_modes_t)0);
    library_transcoder_dlg_result_t res;
    memset(&res, 0, sizeof res);
    strcpy(res.mode_name, "HD");
    strcpy(res.enc_name, "XDCAM");
    pelmora_lib_item_t item;
    memset(&item, 0, sizeof item);
    strcpy(item.name, "a.mov");
    strcpy(item.full, "/news/a.mov");
    strcpy(item.timecode, "10:00:00:00");
    pelmora_lib_subclip_t sc;
    memset(&sc, 0, sizeof sc);
    strcpy(sc.title, "cut");
    sc.mark_in = 250;
    sc.duration = 100;
    sc.parent = &item;
    pelmora_filetranscoder_request_t req;
    memset(&req, 0, sizeof req);
    ASSERT_EQ(0, library_transcoder_subclip_req(&res, &sc, nullptr, &req));
    EXPECT_STREQ("/news/cut_00250_00100_HD_XDCAM", req.dst.object);
    EXPECT_STREQ("/news/a.mov", req.src.object);
    EXPECT_STREQ("250", req.in);
    EXPECT_STREQ("HD/XDCAM", req.profile);
    EXPECT_STREQ("mlt", req.factory);
    EXPECT_STREQ("10:00:10:00", req.timecode); // the parent's start plus mark_in
    memset(&req, 0, sizeof req);
    ASSERT_EQ(0, library_transcoder_item_req(&res, &item, "/out", &req));
    EXPECT_STREQ("/out/a_HD_XDCAM", req.dst.object);
    // A dotted folder is not an extension.
    strcpy(item.full, "/news.v2/clip");
    memset(&req, 0, sizeof req);
    ASSERT_EQ(0, library_transcoder_item_req(&res, &item, nullptr, &req));
    EXPECT_STREQ("/news.v2/clip_HD_XDCAM", req.dst.object);

    strcpy(item.full, "/news/a.mov");
    memset(&req, 0, sizeof req);
    ASSERT_EQ(0, library_audionorm_req(&item, -23.0, &req));
    EXPECT_STREQ("/news/a_-23.00LUFS.mxf", req.dst.object);
    EXPECT_STREQ("-23.00", req.profile);
    double level = 0;
    EXPECT_EQ(-22, library_audionorm_level("loud", &level));
    EXPECT_EQ(-22, library_audionorm_level("-23x", &level));
    EXPECT_EQ(0, library_audionorm_level("-16", &level));
    EXPECT_EQ(-16.0, level);

    EXPECT_TRUE(library_transcoder_tc_valid("10:00:00:00"));
    EXPECT_FALSE(library_transcoder_tc_valid("10:00"));
    EXPECT_FALSE(library_transcoder_tc_valid("10:00:00:30"));

    strcpy(req.factory, "mltp");
    EXPECT_STREQ("<playlist...>", library_transcoder_src_text(&req));
    strcpy(req.factory, "mltpx");
    EXPECT_STREQ("/news/a.mov", library_transcoder_src_text(&req));
}

TEST(JobsUi, FiveHundredJobsRefreshInPlaceKeepingSelectionWithoutStalling)
{
    if (!gtk_ready())
        GTEST_SKIP() << "no display";
    lib_sim s;
    ASSERT_TRUE(s.lib && s.lib->url[0]);
    pelmora_filetranscoder_request_t req;
    memset(&req, 0, sizeof req);
    strcpy(req.src.object, "/news/a.mov");
    strcpy(req.dst.object, "/news/a_HD_XDCAM");
    strcpy(req.factory, "mlt");
    strcpy(req.profile, "HD/XDCAM");
    gdk_threads_leave();
    int failed = 0;
    for (int i = 0; i < 500; i++)
        failed += pelmora_filetranscoder_request_add(s.lib->url, &req) != 0;
    gdk_threads_enter();
    ASSERT_EQ(0, failed);

    ASSERT_EQ(0, library_transcoder_list(s.lib));
    library_job_window_t *w = library_transcoder_window(s.lib);
    ASSERT_TRUE(w);
    ASSERT_TRUE(pump_until([&] { return library_job_window_applied(w) > 0; }, 15000));
    EXPECT_EQ(LIBRARY_JOBS_LIMIT, rows(w));

    GtkTreeView *view = GTK_TREE_VIEW(library_job_window_view(w));
    GtkTreeModel *model = gtk_tree_view_get_model(view);
    GtkTreeSelection *sel = gtk_tree_view_get_selection(view);
    GtkTreePath *p3 = gtk_tree_path_new_from_indices(3, -1), *p5 = gtk_tree_path_new_from_indices(5, -1);
    gtk_tree_selection_select_path(sel, p3);
    gtk_tree_selection_select_path(sel, p5);
    GtkTreeIter it;
    gtk_tree_model_get_iter(model, &it, p3);
    gchar *id_before = nullptr;
    gtk_tree_model_get(model, &it, 0, &id_before, -1);

    pause_meter pm;
    for (int i = 0; i < 4; i++)
        ASSERT_TRUE(reload(w));
    EXPECT_LT(pm.max_ms, max_pause_ms);
    // The same rows, still selected, with their content refreshed in place.
    EXPECT_EQ(model, gtk_tree_view_get_model(view));
    EXPECT_EQ(2, gtk_tree_selection_count_selected_rows(sel));
    EXPECT_TRUE(gtk_tree_selection_path_is_selected(sel, p3));
    EXPECT_TRUE(gtk_tree_selection_path_is_selected(sel, p5));
    gtk_tree_model_get_iter(model, &it, p3);
    gchar *id_after = nullptr;
    GdkPixbuf *icon = nullptr;
    gchar *src = nullptr;
    gtk_tree_model_get(model, &it, 0, &id_after, 1, &icon, 2, &src, -1);
    EXPECT_STREQ(id_before, id_after);
    EXPECT_STREQ("/news/a.mov", src);
    EXPECT_TRUE(icon != nullptr);
    if (icon)
        g_object_unref(icon);
    // Once the jobs have ended (a.mov is no media: each one fails when its
    // turn comes) the row shows the error icon in place.
    ASSERT_TRUE(pump_until(
        [&] {
            reload(w);
            GdkPixbuf *pb = nullptr;
            gtk_tree_model_get_iter(model, &it, p3);
            gtk_tree_model_get(model, &it, 1, &pb, -1);
            bool done = pb == library_job_window_icon(w, PELMORA_JOB_ERROR);
            if (pb)
                g_object_unref(pb);
            return done;
        },
        20000));
    EXPECT_NE(library_job_window_icon(w, PELMORA_JOB_ERROR), library_job_window_icon(w, PELMORA_JOB_PENDING));
    EXPECT_TRUE(gtk_tree_selection_path_is_selected(sel, p3));
    g_free(id_before);
    g_free(id_after);
    g_free(src);
    gtk_tree_path_free(p3);
    gtk_tree_path_free(p5);
}

// Answers the next modal dialog: ticks the named check box, then OK.
struct dialog_answer
{
    const char *check;
    int seen = 0;
    static gboolean tick(gpointer p)
    {
        auto *d = static_cast<dialog_answer *>(p);
        GList *tops = gtk_window_list_toplevels();
        GtkWidget *dlg = nullptr;
        for (GList *l = tops; l; l = l->next)
            if (GTK_IS_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data)))
                dlg = GTK_WIDGET(l->data);
        g_list_free(tops);
        if (!dlg)
            return TRUE;
        d->seen++;
        if (d->check)
            if (GtkWidget *w = find(dlg, d->check))
                gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w), TRUE);
        gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
        return FALSE;
    }
    static GtkWidget *find(GtkWidget *w, const char *name)
    {
        if (!strcmp(gtk_widget_get_name(w), name))
            return w;
        if (!GTK_IS_CONTAINER(w))
            return nullptr;
        GList *kids = gtk_container_get_children(GTK_CONTAINER(w));
        GtkWidget *hit = nullptr;
        for (GList *l = kids; l && !hit; l = l->next)
            hit = find(GTK_WIDGET(l->data), name);
        g_list_free(kids);
        return hit;
    }
};

TEST(JobsUi, ExportOfTwoItemsDeletingTheSourceShowsTwoSuchJobs)
{
    if (!gtk_ready())
        GTEST_SKIP() << "no display";
    lib_sim s;
    ASSERT_TRUE(s.lib && s.lib->url[0]);
    system(("cp " + s.data + "/media/news/a.mov " + s.data + "/media/news/b.mov").c_str());
    pelmora_lib_item_t a, b;
    memset(&a, 0, sizeof a);
    memset(&b, 0, sizeof b);
    strcpy(a.name, "a.mov");
    strcpy(a.full, "/news/a.mov");
    strcpy(b.name, "b.mov");
    strcpy(b.full, "/news/b.mov");
    pelmora_lib_item_t *items[2] = {&a, &b};
    ASSERT_EQ(0, library_transfer_list(s.lib));
    library_job_window_t *w = library_transfer_window(s.lib);
    dialog_answer ans{"export_delete_source"};
    guint src = g_timeout_add(20, dialog_answer::tick, &ans);
    EXPECT_EQ(2, library_transfer_export(s.lib, items, 2));
    if (!ans.seen)
        g_source_remove(src);
    ASSERT_EQ(1, ans.seen);
    ASSERT_TRUE(pump_until(
        [&] {
            reload(w);
            return rows(w) == 2;
        },
        15000));
    GtkTreeModel *model = gtk_tree_view_get_model(GTK_TREE_VIEW(library_job_window_view(w)));
    GtkTreeIter it;
    int n = 0;
    for (gboolean ok = gtk_tree_model_get_iter_first(model, &it); ok; ok = gtk_tree_model_iter_next(model, &it)) {
        GdkPixbuf *dir = nullptr;
        gchar *remote = nullptr;
        gtk_tree_model_get(model, &it, 2, &dir, 5, &remote, -1);
        EXPECT_EQ(library_job_window_icon(w, 5 + 1), dir) << remote;
        EXPECT_TRUE(!strcmp(remote, "a.mov") || !strcmp(remote, "b.mov")) << remote;
        if (dir)
            g_object_unref(dir);
        g_free(remote);
        n++;
    }
    EXPECT_EQ(2, n);
    pelmora_filetransfer_request_t r[3];
    memset(r, 0, sizeof r);
    gdk_threads_leave();
    ASSERT_EQ(2, pelmora_filetransfer_requests_list(s.lib->url, -1, 0, 3, r));
    gdk_threads_enter();
    EXPECT_EQ(1, r[0].f_delete);
    EXPECT_EQ(1, r[1].f_delete);
    EXPECT_EQ(0, r[0].f_import);
    EXPECT_STREQ("archive", r[0].target);
}

TEST(JobsUi, RefusedCancelAndDeleteAreSaidAndChangeNothing)
{
    if (!gtk_ready())
        GTEST_SKIP() << "no display";
    lib_sim s;
    ASSERT_TRUE(s.lib && s.lib->url[0]);
    pelmora_filetransfer_request_t req;
    memset(&req, 0, sizeof req);
    strcpy(req.target, "archive");
    strcpy(req.object_local, "/news/a.mov");
    strcpy(req.object_remote, "a.mov");
    gdk_threads_leave();
    ASSERT_EQ(0, pelmora_filetransfer_request_add(s.lib->url, &req));
    gdk_threads_enter();
    ASSERT_EQ(0, library_transfer_list(s.lib));
    library_job_window_t *w = library_transfer_window(s.lib);
    ASSERT_TRUE(w);
    GtkTreeView *view = GTK_TREE_VIEW(library_job_window_view(w));
    GtkTreeModel *model = gtk_tree_view_get_model(view);
    // Wait for the copy to be done as the window shows it.
    int state_icon_done = 0;
    ASSERT_TRUE(pump_until(
        [&] {
            reload(w);
            GtkTreeIter it;
            if (!gtk_tree_model_get_iter_first(model, &it))
                return false;
            GdkPixbuf *pb = nullptr;
            gtk_tree_model_get(model, &it, 1, &pb, -1);
            state_icon_done = pb == library_job_window_icon(w, PELMORA_JOB_DONE);
            if (pb)
                g_object_unref(pb);
            return state_icon_done == 1;
        },
        15000));
    // The export direction icon.
    GtkTreeIter it;
    ASSERT_TRUE(gtk_tree_model_get_iter_first(model, &it));
    GdkPixbuf *dir = nullptr;
    gtk_tree_model_get(model, &it, 2, &dir, -1);
    EXPECT_EQ(library_job_window_icon(w, 5 + 0), dir);
    if (dir)
        g_object_unref(dir);

    gtk_tree_selection_select_iter(gtk_tree_view_get_selection(view), &it);
    int before = library_job_window_applied(w);
    EXPECT_EQ(1, library_job_window_control(w, 'c'));
    ASSERT_TRUE(pump_until([&] { return library_job_window_applied(w) > before; }, 15000));
    std::string said = gtk_label_get_text(GTK_LABEL(library_job_window_status(w)));
    EXPECT_NE(std::string::npos, said.find("refused")) << said;
    EXPECT_EQ(1, rows(w));
    pelmora_filetransfer_request_t now[2];
    memset(now, 0, sizeof now);
    gdk_threads_leave();
    ASSERT_EQ(1, pelmora_filetransfer_requests_list(s.lib->url, -1, 0, 2, now));
    gdk_threads_enter();
    EXPECT_EQ(PELMORA_JOB_DONE, now[0].state);

    // A delete the server refuses (the job is already gone, removed by
    // another console): said in the window; the next list empties the row.
    gdk_threads_leave();
    ASSERT_EQ(0, pelmora_filetransfer_request_del(s.lib->url, now[0].id));
    gdk_threads_enter();
    before = library_job_window_applied(w);
    EXPECT_EQ(1, library_job_window_control(w, 'd')); // the row still shows the deleted job
    ASSERT_TRUE(pump_until([&] { return library_job_window_applied(w) > before; }, 15000));
    said = gtk_label_get_text(GTK_LABEL(library_job_window_status(w)));
    EXPECT_NE(std::string::npos, said.find("Delete of job")) << said;
    EXPECT_EQ(0, rows(w));

    // A running transcode cannot be deleted: said in its window, the job and
    // its row stay. Twenty seconds of a clip encoded in full HD keep it
    // running for seconds.
    ASSERT_EQ(0, system(("ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=320x240:rate=25:duration=20 "
                         "-c:v libx264 -preset ultrafast " +
                         s.data + "/media/news/long.mov >/dev/null 2>&1")
                            .c_str()));
    pelmora_filetranscoder_request_t tr;
    memset(&tr, 0, sizeof tr);
    strcpy(tr.src.object, "/news/long.mov");
    strcpy(tr.dst.object, "/news/long_1080i50_xdcam_hd422");
    strcpy(tr.factory, "mlt");
    strcpy(tr.profile, "1080i50/xdcam_hd422");
    gdk_threads_leave();
    ASSERT_EQ(0, pelmora_filetranscoder_request_add(s.lib->url, &tr));
    gdk_threads_enter();
    ASSERT_EQ(0, library_transcoder_list(s.lib));
    library_job_window_t *tw = library_transcoder_window(s.lib);
    ASSERT_TRUE(tw);
    GtkTreeView *tview = GTK_TREE_VIEW(library_job_window_view(tw));
    ASSERT_TRUE(pump_until(
        [&] {
            reload(tw);
            GtkTreeIter ti;
            if (!gtk_tree_model_get_iter_first(gtk_tree_view_get_model(tview), &ti))
                return false;
            GdkPixbuf *pb = nullptr;
            gtk_tree_model_get(gtk_tree_view_get_model(tview), &ti, 1, &pb, -1);
            bool started = pb == library_job_window_icon(tw, PELMORA_JOB_STARTED);
            if (pb)
                g_object_unref(pb);
            if (started)
                gtk_tree_selection_select_iter(gtk_tree_view_get_selection(tview), &ti);
            return started;
        },
        15000));
    before = library_job_window_applied(tw);
    EXPECT_EQ(1, library_job_window_control(tw, 'd'));
    ASSERT_TRUE(pump_until([&] { return library_job_window_applied(tw) > before; }, 15000));
    said = gtk_label_get_text(GTK_LABEL(library_job_window_status(tw)));
    EXPECT_NE(std::string::npos, said.find("refused")) << said;
    EXPECT_EQ(1, rows(tw));
    pelmora_filetranscoder_request_t still[2];
    memset(still, 0, sizeof still);
    gdk_threads_leave();
    EXPECT_EQ(1, pelmora_filetranscoder_requests_list(s.lib->url, -1, 0, 2, still));
    gdk_threads_enter();
    EXPECT_GE(still[0].state, PELMORA_JOB_STARTED);
    EXPECT_NE(PELMORA_JOB_CANCELLED, still[0].state);
}

} // namespace

TEST(JobsUi, RefusedExportIsSaidOnThePane)
{
    if (!gtk_ready())
        GTEST_SKIP() << "no display";
    lib_sim s({"--refuse=PelmoraFileTransfer.RequestAdd"});
    ASSERT_TRUE(s.lib && s.lib->url[0]);
    strlcpy(s.lib->host, "the-library", sizeof s.lib->host);
    GtkWidget *line = gtk_label_new("");
    g_object_ref_sink(line);
    ASSERT_EQ(0, library_ui_notice_attach(s.lib, line));
    pelmora_lib_item_t a;
    memset(&a, 0, sizeof a);
    strcpy(a.name, "a.mov");
    strcpy(a.full, "/news/a.mov");
    pelmora_lib_item_t *items[1] = {&a};
    dialog_answer ans{"export_delete_source"};
    guint src = g_timeout_add(20, dialog_answer::tick, &ans);
    EXPECT_EQ(0, library_transfer_export(s.lib, items, 1));
    if (!ans.seen)
        g_source_remove(src);
    const char *said = library_ui_notice_text(s.lib);
    EXPECT_NE(nullptr, strstr(said ? said : "", "1 of 1 requests refused by the library server the-library"))
        << (said ? said : "");
    g_object_unref(line);
}
