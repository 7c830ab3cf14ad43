// Pictures for the operator's guide, taken from the real console: the
// simulator with a library of sample clips and an IO server, the console
// started as the program starts it, then the window, its parts and its
// dialogs drawn into PDF files, and a groff file that places them.
//   guide_shots OUTDIR MEDIA_DIR
// OUTDIR receives NAME.pdf for each picture and shots.ms, which defines the
// macro SHOT (SHOT NAME "caption"); a picture that could not be taken is
// said in the text instead. Runs under a virtual X display.
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine_support.h"
#include "instance.h"
#include "library.h"
#include "library_subclip.h"
#include "pelmora_io_preview.h"
#include "sim_child.h"
#include "ui_bus_dialogs.h"

namespace {

struct shot
{
    std::string name;
    double w_in, h_in; /* size on the page */
};

std::string out_dir;
std::vector<shot> taken;

/* One page of w by h points showing the picture: a plain PDF of one image
 * object, which the guide's PDF writer can read (it refuses what the usual
 * PDF libraries write). Through a temporary file. */
bool write_pdf(const std::string &path, GdkPixbuf *pb, double w, double h)
{
    int pw = gdk_pixbuf_get_width(pb), ph = gdk_pixbuf_get_height(pb), nc = gdk_pixbuf_get_n_channels(pb);
    int stride = gdk_pixbuf_get_rowstride(pb);
    const guchar *px = gdk_pixbuf_get_pixels(pb);
    std::string rgb;
    rgb.reserve((size_t)pw * ph * 3);
    for (int y = 0; y < ph; y++)
        for (int x = 0; x < pw; x++)
            rgb.append(reinterpret_cast<const char *>(px + (size_t)y * stride + (size_t)x * nc), 3);
    uLongf zl = compressBound(rgb.size());
    std::string z(zl, '\0');
    if (compress2(reinterpret_cast<Bytef *>(&z[0]), &zl, reinterpret_cast<const Bytef *>(rgb.data()), rgb.size(), 9) !=
        Z_OK)
        return false;
    z.resize(zl);
    char buf[512];
    snprintf(buf, sizeof buf, "q %.2f 0 0 %.2f 0 0 cm /Im1 Do Q\n", w, h);
    std::string content = buf;
    std::vector<std::string> objs;
    objs.push_back("<< /Type /Catalog /Pages 2 0 R >>");
    objs.push_back("<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    snprintf(buf, sizeof buf,
             "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %.2f %.2f] /Resources << /XObject << /Im1 4 0 R >> >> "
             "/Contents 5 0 R >>",
             w, h);
    objs.push_back(buf);
    snprintf(buf, sizeof buf,
             "<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace /DeviceRGB /BitsPerComponent 8 "
             "/Filter /FlateDecode /Length %zu >>\nstream\n",
             pw, ph, z.size());
    objs.push_back(buf + z + "\nendstream");
    snprintf(buf, sizeof buf, "<< /Length %zu >>\nstream\n", content.size());
    objs.push_back(buf + content + "endstream");
    std::string pdf = "%PDF-1.4\n";
    std::vector<size_t> at;
    for (size_t i = 0; i < objs.size(); i++) {
        at.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objs[i] + "\nendobj\n";
    }
    size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objs.size() + 1) + "\n0000000000 65535 f \n";
    for (size_t o : at) {
        snprintf(buf, sizeof buf, "%010zu 00000 n \n", o);
        pdf += buf;
    }
    pdf += "trailer\n<< /Size " + std::to_string(objs.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
           std::to_string(xref) + "\n%%EOF\n";
    std::string tmp = path + ".tmp";
    FILE *f = fopen(tmp.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(pdf.data(), 1, pdf.size(), f) == pdf.size();
    ok = fclose(f) == 0 && ok;
    return ok && rename(tmp.c_str(), path.c_str()) == 0;
}

/* The widget's area of its window as a PDF of at most 6 by 4.2 inches on
 * the page; false when it is not on screen. */
bool save_widget(const std::string &name, GtkWidget *w)
{
    if (!w || !gtk_widget_get_mapped(w) || !w->window) {
        fprintf(stderr, "guide_shots: %s is not on screen\n", name.c_str());
        return false;
    }
    GtkAllocation a = w->allocation;
    int x = GTK_WIDGET_NO_WINDOW(w) ? a.x : 0, y = GTK_WIDGET_NO_WINDOW(w) ? a.y : 0;
    if (!GTK_WIDGET_NO_WINDOW(w))
        gdk_drawable_get_size(w->window, &a.width, &a.height);
    if (a.width < 16 || a.height < 16) {
        fprintf(stderr, "guide_shots: %s is %d x %d\n", name.c_str(), a.width, a.height);
        return false;
    }
    GdkPixbuf *pb = gdk_pixbuf_get_from_drawable(nullptr, w->window, gdk_colormap_get_system(), x, y, 0, 0, a.width,
                                                 a.height);
    if (!pb)
        return false;
    double scale = std::min(6.0 / a.width, 4.2 / a.height); /* inches per pixel */
    shot s{name, a.width * scale, a.height * scale};
    bool ok = write_pdf(out_dir + "/" + name + ".pdf", pb, s.w_in * 72, s.h_in * 72);
    g_object_unref(pb);
    if (!ok)
        return false;
    taken.push_back(s);
    fprintf(stderr, "guide_shots: %s (%d x %d)\n", name.c_str(), a.width, a.height);
    return true;
}

/* The first visible toplevel other than the main window. */
GtkWidget *other_toplevel(GtkWidget *main_window)
{
    GtkWidget *found = nullptr;
    GList *l = gtk_window_list_toplevels();
    for (GList *i = l; i && !found; i = i->next) {
        GtkWidget *w = GTK_WIDGET(i->data);
        if (w != main_window && gtk_widget_get_visible(w) && GTK_IS_DIALOG(w) && gtk_widget_get_mapped(w))
            found = w;
    }
    g_list_free(l);
    return found;
}

/* Opens a dialog with `open` (which returns when the dialog is answered);
 * once the dialog has been up for a while it is drawn and cancelled. */
void shot_dialog(const std::string &name, GtkWidget *main_window, const std::function<void()> &open)
{
    struct catcher
    {
        std::string name;
        GtkWidget *main_window;
        int seen_ticks = 0, ticks = 0;
        bool done = false;
        static gboolean tick(gpointer p)
        {
            catcher *c = static_cast<catcher *>(p);
            GtkWidget *d = other_toplevel(c->main_window);
            if (++c->ticks > 150) { /* 15 s: give up on this picture */
                c->done = true;
                if (d)
                    gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_CANCEL);
                return FALSE;
            }
            if (!d || ++c->seen_ticks < 12)
                return TRUE;
            save_widget(c->name, d);
            c->done = true;
            gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_CANCEL);
            return FALSE;
        }
    } c{name, main_window};
    guint id = gdk_threads_add_timeout(100, catcher::tick, &c);
    open();
    if (!c.done)
        g_source_remove(id);
}

std::string line_of(sim_child_t *c, const std::string &prefix)
{
    std::lock_guard<std::mutex> g(c->lock);
    for (const std::string &l : c->lines)
        if (l.compare(0, prefix.size(), prefix) == 0)
            return l.substr(prefix.size());
    return "";
}

void write_macros(const std::map<std::string, std::string> &missing)
{
    std::string path = out_dir + "/shots.ms";
    FILE *f = fopen((path + ".tmp").c_str(), "w");
    if (!f)
        return;
    fprintf(f, ".\\\" Made by guide_shots: the pictures of the guide.\n"
               ".de SHOT\n"
               ".if d SHOT-\\\\$1 .SHOT-\\\\$1\n"
               ".if !d SHOT-\\\\$1 \\{\\\n"
               ".  QP\n"
               ".  I \"(The picture of \\\\$2 could not be taken in this build.)\"\n"
               ".  PP\n"
               ".\\}\n"
               ".if d SHOT-\\\\$1 \\{\\\n"
               ".  ce 1\n"
               ".  I \"\\\\$2\"\n"
               ".  PP\n"
               ".\\}\n"
               "..\n");
    for (const shot &s : taken)
        fprintf(f,
                ".de SHOT-%s\n"
                ".ne %.2fi+1v\n"
                ".sp 0.5v\n"
                ".in +(\\n[.l]u-\\n[.i]u-%.2fi)/2u\n"
                "\\X'pdf: pdfpic %s/%s.pdf -L %.2fi %.2fi'\n"
                ".in\n"
                ".sp %.2fi\n"
                "..\n",
                s.name.c_str(), s.h_in, s.w_in, out_dir.c_str(), s.name.c_str(), s.w_in, s.h_in, s.h_in);
    for (const auto &m : missing)
        fprintf(stderr, "guide_shots: no picture of %s: %s\n", m.first.c_str(), m.second.c_str());
    fclose(f);
    rename((path + ".tmp").c_str(), path.c_str());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: guide_shots OUTDIR MEDIA_DIR\n");
        return 2;
    }
    out_dir = argv[1];
    const std::string media = argv[2];
    std::map<std::string, std::string> missing;
    instance_bin_dir_set(argv[0]);
    if (!engine_gtk_ready(false)) {
        fprintf(stderr, "guide_shots: no display\n");
        write_macros(missing);
        return 1;
    }

    char data[] = "/tmp/guide_shots_XXXXXX";
    if (!mkdtemp(data))
        return 1;
    std::string announce = std::string(data) + "/announce";
    setenv("PELMORA_PREVIEW_ANNOUNCE", announce.c_str(), 1);
    const std::string src = PELMORA_SOURCE_DIR;
    system(("cp -r " + src + "/examples/sim/. " + data + "/").c_str());

    sim_child_t sim;
    int r = sim_child_start(&sim, sim_child_bin(),
                            {"--automation=0", "--buses=2", "--data=" + std::string(data), "--autostart",
                             "--playlist=0:news_evening", "--playlist=1:morning_show", "--library=0",
                             "--media=" + media, "--io=0"});
    std::string lib = "127.0.0.1:" + line_of(&sim, "library port ");
    std::string io = "127.0.0.1:" + line_of(&sim, "io port ");
    if (r < 0) {
        fprintf(stderr, "guide_shots: the simulator did not start\n");
        write_macros(missing);
        return 1;
    }
    /* The stand-in network-video runtime, loaded as the real one would be. */
    setenv("NDI_RUNTIME_DIR_V3", PELMORA_PREVIEW_RUNTIME_DIR, 0);
    int prv = pelmora_io_preview_init();

    std::vector<std::string> args = {"--window-title=PelmoraBoxUI", "--add-bus=NEWS 1", "--host=" + sim.hostport,
                                     "--idx=0", "--lib=" + lib, "--io-preview=" + io, "--prv-io=" + io, "--add-bus=MORNING 2",
                                     "--host=" + sim.hostport, "--idx=1", "--lib=" + lib};
    std::vector<char *> av = {argv[0]};
    for (std::string &a : args)
        av.push_back(&a[0]);
    av.push_back(nullptr);
    instance_t *app = instance_create((int)av.size() - 1, av.data());
    if (!app->window) {
        fprintf(stderr, "guide_shots: the console did not start\n");
        sim_child_stop(&sim);
        write_macros(missing);
        return 1;
    }
    gtk_window_resize(GTK_WINDOW(app->window), 1400, 860);
    gtk_widget_show(app->window);
    instance_init(app);
    bus_t *bus = &app->bus.list[0];

    /* The operator opens the library pane and its first folder, and selects
     * a clip; meanwhile rows, clocks and a preview frame come in. */
    if (GtkWidget *show = bus->lib.ui[LIBRARY_UI_BUTTON_SHOW])
        gtk_button_clicked(GTK_BUTTON(show));
    engine_run_for(1500);
    GtkTreeView *tree = GTK_IS_TREE_VIEW(bus->lib.ui[LIBRARY_UI_CLIPS_TREE])
                            ? GTK_TREE_VIEW(bus->lib.ui[LIBRARY_UI_CLIPS_TREE])
                            : nullptr;
    bool clip_selected = false;
    if (tree) {
        GtkTreeModel *m = gtk_tree_view_get_model(tree);
        GtkTreePath *root = gtk_tree_path_new_first();
        gtk_tree_view_expand_row(tree, root, FALSE);
        gtk_tree_path_free(root);
        GtkTreeIter r, dir, clip;
        /* The first row under parent whose title ends in `suffix`. */
        auto first_child = [m](GtkTreeIter *parent, GtkTreeIter *out, const char *suffix) {
            for (gboolean ok = gtk_tree_model_iter_children(m, out, parent); ok; ok = gtk_tree_model_iter_next(m, out)) {
                gchar *t = nullptr;
                gtk_tree_model_get(m, out, 1, &t, -1);
                bool hit = t && strlen(t) >= strlen(suffix) && !strcmp(t + strlen(t) - strlen(suffix), suffix);
                g_free(t);
                if (hit)
                    return true;
            }
            return false;
        };
        if (engine_run_until([&] { return gtk_tree_model_get_iter_first(m, &r) && first_child(&r, &dir, "news"); },
                             5000)) {
            GtkTreePath *p = gtk_tree_model_get_path(m, &dir);
            gtk_tree_view_expand_row(tree, p, FALSE);
            gtk_tree_path_free(p);
            if (engine_run_until([&] { return first_child(&dir, &clip, ".mov"); }, 5000)) {
                gtk_tree_selection_select_iter(gtk_tree_view_get_selection(tree), &clip);
                clip_selected = true;
            }
        }
    }
    engine_run_for(4500);
    if (!save_widget("console", app->window))
        missing["console"] = "the main window was not drawn";
    if (!save_widget("library-pane", bus->lib.ui[LIBRARY_UI_SHOWAREA]))
        missing["library-pane"] = "the library pane is not on screen";
    if (!save_widget("preview", bus->prv.wnd))
        missing["preview"] = "no preview strip";

    /* Dialogs the operator meets: each is drawn, then cancelled. */
    shot_dialog("item-dialog", app->window, [bus] { bus_ui_dialog_edit(bus, 1); });
    shot_dialog("open-playlist", app->window, [bus] { bus_ui_dialog_load_playlist(bus); });
    if (clip_selected)
        shot_dialog("subclip-editor", app->window, [bus] { library_subclip_dialog(&bus->lib); });
    else
        missing["subclip-editor"] = "no clip in the library to open";

    /* Closing as the operator does: the engines stop, the window goes. */
    GdkEvent *ev = gdk_event_new(GDK_DELETE);
    ev->any.window = GDK_WINDOW(g_object_ref(app->window->window));
    gtk_main_do_event(ev);
    gdk_event_free(ev);
    gtk_main();
    instance_release(app);
    gdk_threads_leave();
    if (prv >= 0)
        pelmora_io_preview_release();
    sim_child_stop(&sim);
    system((std::string("rm -rf ") + data).c_str());
    write_macros(missing);
    return 0;
}
