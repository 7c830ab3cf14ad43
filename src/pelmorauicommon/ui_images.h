/* Built-in images: every picture the program draws from its own data, in
 * the serialized GdkPixbuf format (RGBA, 8 bits), for gdk_pixbuf_new_from_inline
 * and the inline_data of button tables. The drawings live in tools/images;
 * the build runs them into ui_images_data.{h,cpp}, which declare and define
 * one array per image (inline_image_logo, list_take_image, ...) and the
 * catalogue below. */
#pragma once
#include <gdk-pixbuf/gdk-pixbuf.h>

/* One entry of the catalogue; the catalogue ends with a null name. */
typedef struct ui_image_desc
{
    const char *name;
    const guint8 *data;
    int width, height;
    const char *role;
} ui_image_t;

extern const ui_image_desc ui_images[];

/* The data of the image with that name, or null. */
const guint8 *ui_images_lookup(const char *name);
/* A new pixbuf of built-in data (caller unrefs), or null for null or bad data. */
GdkPixbuf *ui_images_pixbuf(const guint8 *data);

#include "ui_images_data.h"
