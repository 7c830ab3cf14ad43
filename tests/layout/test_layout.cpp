// The whole console on the screen it is given (CTest runs it on 1280 x 720
// and on 1920 x 1080), in German, as an operator has it: eight buses, the
// library shown with the preview strip and the details area under it, then
// the subclip editor, the item dialog, the IO settings and the library's
// delete question in turn. Every mapped widget lies on the screen (scrolled
// content excepted), no widget covers a sibling or leaves its parent, every
// button of a dialog's button row is on the screen; each state is kept as a
// screenshot in the build tree (layout-shots/).
#include <gtest/gtest.h>

#include <libintl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "engine_support.h"
#include "instance_lifecycle.h"
#include "layout_probe.h"
#include "library_ops.h"
#include "library_subclip.h"
#include "library_ui.h"
#include "media_fixture.h"
#include "pelmora_io_preview.h"
#include "ui_bus.h"

namespace {

std::string line_after(sim_child_t *c, const std::string &prefix)
{
    std::lock_guard<std::mutex> g(c->lock);
    for (const std::string &l : c->lines)
        if (l.compare(0, prefix.size(), prefix) == 0)
            return l.substr(prefix.size());
    return "";
}

std::string joined(const std::vector<std::string> &v)
{
    std::string s;
    for (size_t i = 0; i < v.size() && i < 12; i++)
        s += "\n  " + v[i];
    if (v.size() > 12)
        s += "\n  ... " + std::to_string(v.size() - 12) + " more";
    return s;
}

/* Every text a widget tree shows: labels, frame labels, tooltips. */
void collect_texts(GtkWidget *w, std::vector<std::string> *out)
{
    if (GTK_IS_LABEL(w))
        out->push_back(gtk_label_get_text(GTK_LABEL(w)));
    if (GTK_IS_FRAME(w) && gtk_frame_get_label(GTK_FRAME(w)))
        out->push_back(gtk_frame_get_label(GTK_FRAME(w)));
    if (gchar *tip = gtk_widget_get_tooltip_text(w)) {
        out->push_back(tip);
        g_free(tip);
    }
    if (GTK_IS_CONTAINER(w)) {
        GList *l = gtk_container_get_children(GTK_CONTAINER(w));
        for (GList *p = l; p; p = p->next)
            collect_texts(GTK_WIDGET(p->data), out);
        g_list_free(l);
    }
}

bool has_text(const std::vector<std::string> &v, const std::string &part)
{
    for (const std::string &s : v)
        if (s.find(part) != std::string::npos)
            return true;
    return false;
}

/* Waits on the main loop (the dialog's own) for a dialog to be up with its
 * size settled, hands it to `look`, then answers it. */
struct dialog_visit
{
    std::function<void(GtkWidget *)> look;
    int response;
    GtkWidget *main_window;
    GdkRectangle last = {0, 0, 0, 0};
    int same = 0, polls = 0;
    bool seen = false;

    static gboolean tick(gpointer p)
    {
        dialog_visit *v = static_cast<dialog_visit *>(p);
        GtkWidget *dlg = layout_top_dialog();
        if (!dlg)
            return ++v->polls < 400;
        GdkRectangle r = {0, 0, dlg->allocation.width, dlg->allocation.height};
        gdk_window_get_origin(dlg->window, &r.x, &r.y);
        bool settled = r.x == v->last.x && r.y == v->last.y && r.width == v->last.width && r.height == v->last.height;
        v->last = r;
        v->same = settled ? v->same + 1 : 0;
        if (v->same < 3 && ++v->polls < 400)
            return TRUE;
        v->seen = true;
        v->look(dlg);
        gtk_dialog_response(GTK_DIALOG(dlg), v->response);
        return FALSE;
    }
};

class Layout : public testing::Test
{
  protected:
    void SetUp() override
    {
        setenv("LANGUAGE", "de", 1);
        setenv("LANG", "C.UTF-8", 1);
        unsetenv("LC_ALL");
        unsetenv("LC_MESSAGES");
        std::string locale_dir = std::string(PELMORA_BUILD_BIN_DIR) + "/../share/locale/";
        for (const char *domain : {"PelmoraBox", "pelmorabox"}) {
            bindtextdomain(domain, locale_dir.c_str());
            bind_textdomain_codeset(domain, "UTF-8");
        }
        textdomain("PelmoraBox");
        if (!engine_gtk_ready())
            GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
        sw = gdk_screen_get_width(gdk_screen_get_default());
        sh = gdk_screen_get_height(gdk_screen_get_default());
        /* CTest names the screen it started: the test must not pass on a
         * larger one by mistake. */
        if (const char *want = getenv("PELMORA_LAYOUT_SCREEN")) {
            char got[32];
            snprintf(got, sizeof got, "%dx%d", sw, sh);
            ASSERT_STREQ(got, want) << "the display is not the screen this run is for";
        }
        tag = std::to_string(sw) + "x" + std::to_string(sh);

        char dir[] = "/tmp/layout_XXXXXX";
        ASSERT_TRUE(mkdtemp(dir));
        work = dir;
        mkdir((work + "/media").c_str(), 0700);
        setenv("PELMORA_PREVIEW_ANNOUNCE", (work + "/announce").c_str(), 1);
        ASSERT_TRUE(media_test_pattern(work + "/media/clip.mkv", 10));
        setenv("NDI_RUNTIME_DIR_V3", PELMORA_PREVIEW_RUNTIME_DIR, 1);
        prv = pelmora_io_preview_init();

        ASSERT_GE(sim_child_start(&sim, sim_child_bin(),
                                  {"--automation=0", "--buses=8", "--events=20", "--data=" + work, "--library=0",
                                   "--media=" + work + "/media", "--io=0"}),
                  0);
        const std::string lib = "127.0.0.1:" + line_after(&sim, "library port ");
        io = "127.0.0.1:" + line_after(&sim, "io port ");
        /* Eight buses on the library; the first with the preview strip, the
         * IO player of the subclip editor and the details area (a bus's
         * options follow its --idx). */
        std::vector<std::string> args;
        for (const std::string &a : engine_bus_args(sim.hostport, 8)) {
            args.push_back(a);
            if (a.compare(0, 6, "--idx=") == 0)
                args.push_back("--lib=" + lib);
            if (a == "--idx=0") {
                args.push_back("--io-preview=" + io);
                args.push_back("--prv-io=" + io);
                args.push_back("--assets-details-height=120");
            }
        }
        ASSERT_TRUE(e.create(args));
        gtk_widget_show(e.app->window);
        ASSERT_EQ(instance_init(e.app), 0);
        running = true;
        bus = &e.app->bus.list[0];
    }

    void TearDown() override
    {
        if (running) {
            GdkEvent *ev = gdk_event_new(GDK_DELETE);
            ev->any.window = GDK_WINDOW(g_object_ref(e.app->window->window));
            gtk_main_do_event(ev);
            gdk_event_free(ev);
            gtk_main();
            instance_release(e.app);
        }
        if (sim.pid > 0)
            sim_child_stop(&sim);
        if (prv >= 0)
            pelmora_io_preview_release();
        if (work.compare(0, 12, "/tmp/layout_") == 0)
            (void)!system(("rm -rf " + work).c_str());
    }

    /* The library of the first bus shown, its root open, the clip listed
     * and the window's size settled. */
    void show_library()
    {
        library_ui_showhide(&bus->lib, 1);
        GtkTreeView *view = GTK_TREE_VIEW(bus->lib.ui[LIBRARY_UI_CLIPS_TREE]);
        GtkTreePath *first = gtk_tree_path_new_first();
        ASSERT_TRUE(engine_run_until(
            [&] {
                gtk_tree_view_expand_row(view, first, FALSE);
                return library_select_item(&bus->lib, "/clip.mkv") >= 0 &&
                       gtk_tree_selection_count_selected_rows(gtk_tree_view_get_selection(view)) == 1;
            },
            15000));
        gtk_tree_path_free(first);
        settle();
    }

    /* Runs the main loop until the window's allocation and the divider
     * have stayed the same for a few polls. */
    void settle()
    {
        GtkWidget *w = e.app->window;
        GdkRectangle last = {-1, -1, -1, -1};
        int same = 0;
        engine_run_until(
            [&] {
                GdkRectangle r = w->allocation;
                r.x = gtk_paned_get_position(GTK_PANED(paned()));
                same = (r.x == last.x && r.width == last.width && r.height == last.height) ? same + 1 : 0;
                last = r;
                return same >= 5;
            },
            10000);
    }

    GtkWidget *paned() { return gtk_widget_get_parent(bus->window); }

    /* What an operator would see wrong on the main window, with a shot. */
    void check_main(const std::string &state)
    {
        std::vector<std::string> bad = layout_problems(e.app->window, sw, sh);
        std::string shot = layout_shot(state + "-" + tag);
        EXPECT_FALSE(shot.empty());
        EXPECT_TRUE(bad.empty()) << state << " (" << shot << "):" << joined(bad);
    }

    /* A dialog on the screen, its buttons reachable, over the middle of the
     * main window as far as the screen lets it be. */
    void check_dialog(GtkWidget *dlg, const std::string &state)
    {
        std::string shot = layout_shot(state + "-" + tag);
        std::vector<std::string> bad = layout_problems(dlg, sw, sh);
        EXPECT_TRUE(bad.empty()) << state << " (" << shot << "):" << joined(bad);
        int buttons = 0;
        std::vector<std::string> off = layout_buttons_off_screen(dlg, sw, sh, &buttons);
        EXPECT_GT(buttons, 0) << state;
        EXPECT_TRUE(off.empty()) << state << ":" << joined(off);
        int dx, dy, mx, my;
        gdk_window_get_origin(dlg->window, &dx, &dy);
        gdk_window_get_origin(e.app->window->window, &mx, &my);
        int dcx = dx + dlg->allocation.width / 2, mcx = mx + e.app->window->allocation.width / 2;
        int dcy = dy + dlg->allocation.height / 2, mcy = my + e.app->window->allocation.height / 2;
        /* Centred, unless the screen's edge pushed it. */
        if (dx > 0 && dx + dlg->allocation.width < sw) {
            EXPECT_LE(abs(dcx - mcx), 2) << state << ": not centred across the main window";
        }
        if (dy > 0 && dy + dlg->allocation.height < sh) {
            EXPECT_LE(abs(dcy - mcy), 2) << state << ": not centred on the main window";
        }
        EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(dlg)), GTK_WINDOW(e.app->window)) << state;
    }

    /* Runs `open` (which runs a modal dialog) while `look` inspects the
     * dialog once it is up; the dialog then gets `response`. */
    void visit(const std::function<void()> &open, const std::function<void(GtkWidget *)> &look, int response)
    {
        dialog_visit v;
        v.look = look;
        v.response = response;
        v.main_window = e.app->window;
        guint id = gdk_threads_add_timeout(50, dialog_visit::tick, &v);
        open();
        if (!v.seen)
            g_source_remove(id);
        EXPECT_TRUE(v.seen) << "no dialog came up";
        settle();
    }

    int sw = 0, sh = 0;
    std::string tag, work, io;
    int prv = -1;
    bool running = false;
    sim_child_t sim;
    engine_app e;
    bus_t *bus = nullptr;
};

TEST_F(Layout, MainWindowWithTheLibraryShownAndTheDividerMoved)
{
    show_library();
    GtkRequisition req;
    gtk_widget_size_request(e.app->window, &req);
    printf("%s: window asks for %dx%d, has %dx%d\n", tag.c_str(), req.width, req.height,
           e.app->window->allocation.width, e.app->window->allocation.height);
    EXPECT_LE(req.width, sw);
    EXPECT_LE(req.height, sh);
    check_main("main-library");

    /* The way to the preview server's settings is in sight. */
    GtkWidget *settings = nullptr;
    for (const layout_box &b : layout_walk(e.app->window))
        if (!strcmp(gtk_widget_get_name(b.w), "preview_io_settings"))
            settings = b.w;
    ASSERT_NE(settings, nullptr) << "no settings button beside the preview";

    /* The divider moves both ways, and nothing is drawn over anything at
     * either end. */
    gint min_pos = 0, max_pos = 0;
    g_object_get(paned(), "min-position", &min_pos, "max-position", &max_pos, NULL);
    EXPECT_LT(min_pos + 100, max_pos) << "the divider cannot be dragged";
    gtk_paned_set_position(GTK_PANED(paned()), 0);
    settle();
    int left = bus->window->allocation.width;
    check_main("divider-left");
    gtk_paned_set_position(GTK_PANED(paned()), 10000);
    settle();
    int right = bus->window->allocation.width;
    check_main("divider-right");
    EXPECT_GT(right - left, 100) << "the bus panel's width did not follow the divider";

    /* A notice of the library moves nothing below it. */
    GtkWidget *tree = bus->lib.ui[LIBRARY_UI_CLIPS_TREE];
    GtkWidget *search = bus->lib.ui[LIBRARY_UI_SEARCH];
    int x0, tree_h0, search_y0, x1, tree_h1, search_y1;
    gtk_widget_translate_coordinates(search, e.app->window, 0, 0, &x0, &search_y0);
    tree_h0 = tree->allocation.height;
    library_ui_notice(&bus->lib, "Eine Meldung der Bibliothek");
    settle();
    gtk_widget_translate_coordinates(search, e.app->window, 0, 0, &x1, &search_y1);
    tree_h1 = tree->allocation.height;
    EXPECT_EQ(search_y1, search_y0) << "the search row moved when a notice came";
    EXPECT_EQ(tree_h1, tree_h0) << "the tree changed its height when a notice came";
    check_main("library-notice");
    library_ui_notice(&bus->lib, nullptr);

    /* Nor does the bus's red notice move the list under it. */
    int grid_y0, grid_y1;
    gtk_widget_translate_coordinates(bus->scrolled, e.app->window, 0, 0, &x0, &grid_y0);
    bus_ui_notice(bus, "Vorschau fehlgeschlagen: der Server antwortet nicht", BUS_UI_NOTICE_FAILED);
    settle();
    gtk_widget_translate_coordinates(bus->scrolled, e.app->window, 0, 0, &x1, &grid_y1);
    EXPECT_EQ(grid_y1, grid_y0) << "the event list moved when the bus's notice came";
    check_main("bus-notice");
    bus_ui_notice(bus, nullptr, BUS_UI_NOTICE_NONE);
}

TEST_F(Layout, DialogsFitWithEveryButtonReachable)
{
    show_library();

    visit([&] { library_subclip_dialog(&bus->lib); }, [&](GtkWidget *dlg) { check_dialog(dlg, "subclip-editor"); },
          GTK_RESPONSE_REJECT);

    /* The first event of the bus, edited. */
    GtkTreeView *grid = GTK_TREE_VIEW(bus->grid);
    ASSERT_TRUE(engine_run_until(
        [&] { return gtk_tree_model_iter_n_children(gtk_tree_view_get_model(grid), nullptr) > 0; }, 10000));
    GtkTreePath *row0 = gtk_tree_path_new_first();
    gtk_tree_view_set_cursor(grid, row0, nullptr, FALSE);
    gtk_tree_path_free(row0);
    std::vector<std::string> item_texts;
    visit([&] { gtk_button_clicked(GTK_BUTTON(bus->buttons[BUTTON_LIST_ITEM_EDIT])); },
          [&](GtkWidget *dlg) {
              check_dialog(dlg, "item-dialog");
              collect_texts(dlg, &item_texts);
          },
          GTK_RESPONSE_REJECT);
    EXPECT_TRUE(has_text(item_texts, "STARTZEIT:")) << "the item dialog's captions are not German";

    std::vector<std::string> io_texts;
    GtkWidget *settings = nullptr;
    for (const layout_box &b : layout_walk(e.app->window))
        if (!strcmp(gtk_widget_get_name(b.w), "preview_io_settings"))
            settings = b.w;
    ASSERT_NE(settings, nullptr);
    visit([&] { gtk_button_clicked(GTK_BUTTON(settings)); },
          [&](GtkWidget *dlg) {
              check_dialog(dlg, "io-settings");
              collect_texts(dlg, &io_texts);
          },
          GTK_RESPONSE_REJECT);
    EXPECT_TRUE(has_text(io_texts, io)) << "the IO settings do not name the server " << io;

    /* The delete question names what it deletes. */
    ASSERT_GE(library_select_item(&bus->lib, "/clip.mkv"), 0);
    std::vector<std::string> question;
    visit([&] { library_delete_items_srv(nullptr, &bus->lib); },
          [&](GtkWidget *dlg) {
              check_dialog(dlg, "delete-question");
              collect_texts(dlg, &question);
          },
          GTK_RESPONSE_CANCEL);
    EXPECT_TRUE(has_text(question, "clip.mkv")) << "the delete question does not list the item";
}

} // namespace
