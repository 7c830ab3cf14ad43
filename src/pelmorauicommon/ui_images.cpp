/* Look-ups in the catalogue of built-in images; the image data itself is
 * drawn at build time (ui_images_data.cpp). */
#include "ui_images.h"

#include <string.h>

const guint8 *ui_images_lookup(const char *name)
{
    if (!name)
        return nullptr;
    for (const ui_image_desc *i = ui_images; i->name; i++)
        if (!strcmp(i->name, name))
            return i->data;
    return nullptr;
}

GdkPixbuf *ui_images_pixbuf(const guint8 *data)
{
    if (!data)
        return nullptr;
    GError *err = nullptr;
    GdkPixbuf *pb = gdk_pixbuf_new_from_inline(-1, data, FALSE, &err);
    if (err) {
        g_warning("%s: %s", __func__, err->message);
        g_error_free(err);
    }
    return pb;
}
