/* Pixmap directory list and widget lookup: search order, loading the
 * shipped logo, missing and unreadable files, and climbing to the
 * top-level through parents, menu attach widgets and "GladeParentKey". */
#include <gtest/gtest.h>

#include <glib/gstdio.h>
#include <stdio.h>

#include <string>

#include "support.h"
#include "widgets_gui.h"

namespace {

/* A scratch directory with a few files, removed afterwards. */
struct scratch_dir
{
    std::string path;
    scratch_dir()
    {
        char *p = g_dir_make_tmp("pelmora-pixmaps-XXXXXX", nullptr);
        path = p;
        g_free(p);
    }
    std::string put(const char *name, const char *content)
    {
        std::string f = path + "/" + name;
        g_file_set_contents(f.c_str(), content, -1, nullptr);
        return f;
    }
    ~scratch_dir()
    {
        GDir *d = g_dir_open(path.c_str(), 0, nullptr);
        while (const char *n = g_dir_read_name(d))
            g_remove((path + "/" + n).c_str());
        g_dir_close(d);
        g_rmdir(path.c_str());
    }
};

std::string found(const char *name)
{
    char *p = find_pixmap_file(name);
    std::string s = p ? p : "";
    g_free(p);
    return s;
}

} // namespace

TEST(PixmapDirectories, NewestDirectoryIsSearchedFirst)
{
    scratch_dir a, b;
    a.put("both.png", "a");
    b.put("both.png", "b");
    a.put("only_a.png", "a");
    add_pixmap_directory(a.path.c_str());
    add_pixmap_directory(b.path.c_str());
    EXPECT_EQ(found("both.png"), b.path + "/both.png");
    EXPECT_EQ(found("only_a.png"), a.path + "/only_a.png");
    EXPECT_EQ(found("nowhere.png"), "");
    /* the list keeps its own copy of the name */
    {
        scratch_dir c;
        c.put("c.png", "c");
        std::string name = c.path;
        add_pixmap_directory(name.c_str());
        name.assign(name.size(), 'x');
        EXPECT_EQ(found("c.png"), c.path + "/c.png");
    }
}

TEST(PixmapDirectories, LoadingFiles)
{
    NEED_DISPLAY();
    std::string shipped = std::string(PELMORA_SOURCE_DIR) + "/share/PelmoraBoxUI/pixmaps";
    add_pixmap_directory(shipped.c_str());
    GdkPixbuf *logo = create_pixbuf("PelmoraBoxUI.png");
    ASSERT_NE(logo, nullptr);
    EXPECT_EQ(gdk_pixbuf_get_width(logo), 48);
    EXPECT_EQ(gdk_pixbuf_get_height(logo), 48);
    g_object_unref(logo);

    GtkWidget *img = create_pixmap("PelmoraBoxUI.png");
    ASSERT_TRUE(GTK_IS_IMAGE(img));
    g_object_ref_sink(img);
    EXPECT_EQ(gtk_image_get_storage_type(GTK_IMAGE(img)), GTK_IMAGE_PIXBUF);
    g_object_unref(img);

    /* missing: null pixbuf, empty image */
    EXPECT_EQ(create_pixbuf("no_such_file.png"), nullptr);
    GtkWidget *empty = create_pixmap("no_such_file.png");
    ASSERT_TRUE(GTK_IS_IMAGE(empty));
    g_object_ref_sink(empty);
    EXPECT_EQ(gtk_image_get_storage_type(GTK_IMAGE(empty)), GTK_IMAGE_EMPTY);
    g_object_unref(empty);

    /* present but not an image */
    scratch_dir d;
    d.put("broken.png", "this is not a picture");
    add_pixmap_directory(d.path.c_str());
    EXPECT_EQ(create_pixbuf("broken.png"), nullptr);
    GtkWidget *broken = create_pixmap("broken.png");
    g_object_ref_sink(broken);
    EXPECT_EQ(gtk_image_get_storage_type(GTK_IMAGE(broken)), GTK_IMAGE_EMPTY);
    g_object_unref(broken);
    EXPECT_EQ(create_pixbuf(nullptr), nullptr);
    EXPECT_EQ(create_pixbuf(""), nullptr);
}

TEST(LookupWidget, ClimbsToTheTopLevel)
{
    NEED_DISPLAY();
    GtkWidget *win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *box = gtk_vbox_new(FALSE, 0);
    GtkWidget *inner = gtk_hbox_new(FALSE, 0);
    GtkWidget *button = gtk_button_new_with_label("x");
    gtk_container_add(GTK_CONTAINER(win), box);
    gtk_box_pack_start(GTK_BOX(box), inner, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(inner), button, FALSE, FALSE, 0);
    GtkWidget *target = gtk_label_new("target");
    gtk_box_pack_start(GTK_BOX(box), target, FALSE, FALSE, 0);
    g_object_set_data(G_OBJECT(win), "the_label", target);

    EXPECT_EQ(lookup_widget(button, "the_label"), target);
    EXPECT_EQ(lookup_widget(win, "the_label"), target);
    EXPECT_EQ(lookup_widget(button, "missing"), nullptr);
    /* data on an inner widget is not looked at: the top-level is */
    g_object_set_data(G_OBJECT(inner), "inner_only", button);
    EXPECT_EQ(lookup_widget(button, "inner_only"), nullptr);

    /* a menu hanging off a menu item in the window */
    GtkWidget *bar = gtk_menu_bar_new();
    gtk_box_pack_start(GTK_BOX(box), bar, FALSE, FALSE, 0);
    GtkWidget *item = gtk_menu_item_new_with_label("File");
    gtk_menu_shell_append(GTK_MENU_SHELL(bar), item);
    GtkWidget *menu = gtk_menu_new();
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(item), menu);
    GtkWidget *entry = gtk_menu_item_new_with_label("Open");
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), entry);
    EXPECT_EQ(lookup_widget(entry, "the_label"), target);

    /* a popup menu attached to nothing, pointing at its window by key */
    GtkWidget *popup = gtk_menu_new();
    g_object_ref_sink(popup);
    GtkWidget *pitem = gtk_menu_item_new_with_label("Delete");
    gtk_menu_shell_append(GTK_MENU_SHELL(popup), pitem);
    EXPECT_EQ(lookup_widget(pitem, "the_label"), nullptr);
    g_object_set_data(G_OBJECT(popup), "GladeParentKey", win);
    EXPECT_EQ(lookup_widget(pitem, "the_label"), target);
    EXPECT_EQ(lookup_widget(nullptr, "the_label"), nullptr);
    gtk_widget_destroy(popup);
    g_object_unref(popup);
    gtk_widget_destroy(win);
}
