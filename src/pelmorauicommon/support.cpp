/* Pixmap directory list, file images and widget lookup by name. The newest
 * directory is searched first. */
#include "support.h"

#include <gtk/gtk.h>
#include <libintl.h>
#include <stdio.h>

namespace {
GList *pixmaps_directories;
}

void add_pixmap_directory(const char *directory)
{
    pixmaps_directories = g_list_prepend(pixmaps_directories, g_strdup(directory));
}

char *find_pixmap_file(const char *filename)
{
    for (GList *elem = pixmaps_directories; elem; elem = elem->next) {
        char *pathname = g_strdup_printf("%s%s%s", (const char *)elem->data, G_DIR_SEPARATOR_S, filename);
        if (g_file_test(pathname, G_FILE_TEST_EXISTS))
            return pathname;
        g_free(pathname);
    }
    return nullptr;
}

GtkWidget *create_pixmap(const char *filename)
{
    if (!filename || !*filename)
        return gtk_image_new();
    char *pathname = find_pixmap_file(filename);
    if (!pathname) {
        g_warning(dgettext("PelmoraBox", "Couldn't find pixmap file: %s"), filename);
        return gtk_image_new();
    }
    /* gtk_image_new_from_file gives the broken-image picture on failure; an
     * empty image is what the windows expect instead. */
    GError *error = nullptr;
    GdkPixbuf *pb = gdk_pixbuf_new_from_file(pathname, &error);
    GtkWidget *image;
    if (pb) {
        image = gtk_image_new_from_pixbuf(pb);
        g_object_unref(pb);
    } else {
        fprintf(stderr, "Failed to load pixbuf file: %s: %s\n", pathname, error ? error->message : "");
        if (error)
            g_error_free(error);
        image = gtk_image_new();
    }
    g_free(pathname);
    return image;
}

GdkPixbuf *create_pixbuf(const char *filename)
{
    if (!filename || !*filename)
        return nullptr;
    char *pathname = find_pixmap_file(filename);
    if (!pathname) {
        g_warning(dgettext("PelmoraBox", "Couldn't find pixmap file: %s"), filename);
        return nullptr;
    }
    GError *error = nullptr;
    GdkPixbuf *pb = gdk_pixbuf_new_from_file(pathname, &error);
    if (!pb) {
        fprintf(stderr, "Failed to load pixbuf file: %s: %s\n", pathname, error ? error->message : "");
        if (error)
            g_error_free(error);
    }
    g_free(pathname);
    return pb;
}

GtkWidget *lookup_widget(GtkWidget *widget, const char *name)
{
    if (!widget || !name)
        return nullptr;
    for (;;) {
        GtkWidget *parent;
        if (GTK_IS_MENU(widget))
            parent = gtk_menu_get_attach_widget(GTK_MENU(widget));
        else
            parent = gtk_widget_get_parent(widget);
        if (!parent)
            parent = (GtkWidget *)g_object_get_data(G_OBJECT(widget), "GladeParentKey");
        if (!parent)
            break;
        widget = parent;
    }
    auto *found = (GtkWidget *)g_object_get_data(G_OBJECT(widget), name);
    if (!found)
        g_warning("Widget not found: %s", name);
    return found;
}
