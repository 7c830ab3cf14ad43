/* Layout probe: see layout_probe.h. */
#include "layout_probe.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

namespace {

struct walk_ctx
{
    GtkWidget *top;
    int ox, oy; /* the top-level's origin on the screen */
    std::vector<layout_box> *out;
};

bool rect_of(GtkWidget *w, walk_ctx *c, GdkRectangle *r)
{
    int x = 0, y = 0;
    if (w != c->top && !gtk_widget_translate_coordinates(w, c->top, 0, 0, &x, &y))
        return false;
    *r = {c->ox + x, c->oy + y, w->allocation.width, w->allocation.height};
    return true;
}

void walk(GtkWidget *w, walk_ctx *c, bool scrolled, const std::string &path);

struct child_visit
{
    walk_ctx *c;
    bool scrolled;
    const std::string *path;
};

void visit_child(GtkWidget *child, gpointer data)
{
    child_visit *v = static_cast<child_visit *>(data);
    walk(child, v->c, v->scrolled, *v->path);
}

void walk(GtkWidget *w, walk_ctx *c, bool scrolled, const std::string &path)
{
    if (!gtk_widget_get_mapped(w))
        return;
    std::string here = path + "/" + G_OBJECT_TYPE_NAME(w);
    if (gtk_widget_get_name(w) && strcmp(gtk_widget_get_name(w), G_OBJECT_TYPE_NAME(w)))
        here += std::string("[") + gtk_widget_get_name(w) + "]";
    GdkRectangle r;
    if (rect_of(w, c, &r))
        c->out->push_back({w, r, scrolled, here});
    /* A combo box lays its own parts over each other by design (the
     * shown choice over its button): drawn as one widget. */
    if (GTK_IS_CONTAINER(w) && !GTK_IS_COMBO_BOX(w)) {
        /* What a viewport or a layout holds may reach past the screen:
         * it is scrolled into sight. */
        child_visit v = {c, scrolled || GTK_IS_VIEWPORT(w) || GTK_IS_LAYOUT(w) || GTK_IS_TREE_VIEW(w), &here};
        gtk_container_forall(GTK_CONTAINER(w), visit_child, &v);
    }
}

bool inside(const GdkRectangle &a, const GdkRectangle &b)
{
    return a.x >= b.x && a.y >= b.y && a.x + a.width <= b.x + b.width && a.y + a.height <= b.y + b.height;
}

bool overlap(const GdkRectangle &a, const GdkRectangle &b)
{
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

std::string rect_text(const GdkRectangle &r)
{
    char buf[96];
    snprintf(buf, sizeof buf, "%dx%d+%d+%d", r.width, r.height, r.x, r.y);
    return buf;
}

/* Allocations GTK gives to what it does not draw. */
bool drawn(const layout_box &b)
{
    return b.r.width > 1 && b.r.height > 1;
}

} // namespace

std::vector<layout_box> layout_walk(GtkWidget *top)
{
    std::vector<layout_box> out;
    if (!top || !gtk_widget_get_mapped(top))
        return out;
    walk_ctx c = {top, 0, 0, &out};
    gdk_window_get_origin(top->window, &c.ox, &c.oy);
    walk(top, &c, false, "");
    return out;
}

std::vector<std::string> layout_problems(GtkWidget *top, int sw, int sh)
{
    std::vector<std::string> bad;
    std::vector<layout_box> all = layout_walk(top);
    if (all.empty()) {
        bad.push_back("the window is not on the screen");
        return bad;
    }
    const GdkRectangle screen = {0, 0, sw, sh};
    for (const layout_box &b : all)
        if (drawn(b) && !b.scrolled && !inside(b.r, screen))
            bad.push_back("off the screen: " + b.path + " " + rect_text(b.r));
    /* Siblings must not cover each other, and a child must keep within its
     * parent (beyond it, it is drawn over the parent's neighbours). */
    for (size_t i = 0; i < all.size(); i++) {
        GtkWidget *parent = gtk_widget_get_parent(all[i].w);
        if (!drawn(all[i]))
            continue;
        for (size_t j = 0; j < all.size(); j++) {
            if (!drawn(all[j]))
                continue;
            if (all[j].w == parent && !all[i].scrolled && !inside(all[i].r, all[j].r))
                bad.push_back("beyond its parent: " + all[i].path + " " + rect_text(all[i].r) + " in " +
                              rect_text(all[j].r));
            if (j > i && parent && gtk_widget_get_parent(all[j].w) == parent && overlap(all[i].r, all[j].r))
                bad.push_back("overlapping siblings: " + all[i].path + " " + rect_text(all[i].r) + " and " +
                              all[j].path + " " + rect_text(all[j].r));
        }
    }
    return bad;
}

std::vector<std::string> layout_buttons_off_screen(GtkWidget *dlg, int sw, int sh, int *count)
{
    std::vector<std::string> bad;
    *count = 0;
    GtkWidget *action = GTK_IS_DIALOG(dlg) ? GTK_DIALOG(dlg)->action_area : nullptr;
    const GdkRectangle screen = {0, 0, sw, sh};
    for (const layout_box &b : layout_walk(dlg)) {
        if (!GTK_IS_BUTTON(b.w))
            continue;
        GtkWidget *p = gtk_widget_get_parent(b.w);
        if (action && p != action)
            continue;
        (*count)++;
        if (!inside(b.r, screen)) {
            const char *l = gtk_button_get_label(GTK_BUTTON(b.w));
            bad.push_back(std::string("button ") + (l ? l : "?") + " at " + rect_text(b.r));
        }
    }
    return bad;
}

std::string layout_shot(const std::string &name)
{
    std::string dir = PELMORA_LAYOUT_SHOTS_DIR;
    mkdir(dir.c_str(), 0755);
    GdkWindow *root = gdk_get_default_root_window();
    int w = 0, h = 0;
    gdk_drawable_get_size(root, &w, &h);
    gdk_display_sync(gdk_display_get_default());
    GdkPixbuf *pb = gdk_pixbuf_get_from_drawable(nullptr, root, nullptr, 0, 0, 0, 0, w, h);
    if (!pb)
        return "";
    std::string path = dir + "/" + name + ".png";
    bool ok = gdk_pixbuf_save(pb, path.c_str(), "png", nullptr, NULL);
    g_object_unref(pb);
    return ok ? path : "";
}

GtkWidget *layout_top_dialog(GtkWidget *except)
{
    GtkWidget *dlg = nullptr;
    GList *tops = gtk_window_list_toplevels();
    for (GList *p = tops; p; p = p->next)
        if (GTK_IS_DIALOG(p->data) && p->data != except && gtk_widget_get_mapped(GTK_WIDGET(p->data)))
            dlg = GTK_WIDGET(p->data);
    g_list_free(tops);
    return dlg;
}
