/* Built-in images: every catalogue entry decodes to the size it claims, is
 * really drawn (not blank, not one flat colour) and differs from the others;
 * the whole catalogue is rendered onto one contact sheet for a person to look
 * at (PELMORA_IMAGES_SHEET names the file, else images.png in the build tree). */
#include <gtest/gtest.h>

#include <gdk/gdk.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "ui_images.h"

namespace {

struct decoded
{
    const ui_image_desc *desc;
    GdkPixbuf *pb;
};

std::vector<decoded> decode_all()
{
    std::vector<decoded> v;
    for (const ui_image_desc *i = ui_images; i->name; i++)
        v.push_back({i, ui_images_pixbuf(i->data)});
    return v;
}

void release(std::vector<decoded> &v)
{
    for (auto &d : v)
        if (d.pb)
            g_object_unref(d.pb);
}

std::string pixels_of(GdkPixbuf *pb)
{
    int w = gdk_pixbuf_get_width(pb), h = gdk_pixbuf_get_height(pb);
    int rs = gdk_pixbuf_get_rowstride(pb), nc = gdk_pixbuf_get_n_channels(pb);
    const guchar *p = gdk_pixbuf_get_pixels(pb);
    std::string s;
    for (int y = 0; y < h; y++)
        s.append((const char *)p + (size_t)y * rs, (size_t)w * nc);
    return s;
}

/* A cell of a tiled image: the count of visible pixels in it. */
int opaque_in(GdkPixbuf *pb, int x0, int y0, int w, int h)
{
    int rs = gdk_pixbuf_get_rowstride(pb);
    const guchar *p = gdk_pixbuf_get_pixels(pb);
    int n = 0;
    for (int y = y0; y < y0 + h; y++)
        for (int x = x0; x < x0 + w; x++)
            n += p[(size_t)y * rs + x * 4 + 3] > 128;
    return n;
}

} // namespace

TEST(Images, EveryEntryDecodesToItsSizeAndIsDrawn)
{
    auto all = decode_all();
    ASSERT_GE(all.size(), 100u);
    for (auto &d : all) {
        SCOPED_TRACE(d.desc->name);
        ASSERT_NE(d.pb, nullptr);
        EXPECT_EQ(gdk_pixbuf_get_width(d.pb), d.desc->width);
        EXPECT_EQ(gdk_pixbuf_get_height(d.pb), d.desc->height);
        ASSERT_TRUE(gdk_pixbuf_get_has_alpha(d.pb));
        int w = d.desc->width, h = d.desc->height;
        int visible = opaque_in(d.pb, 0, 0, w, h);
        /* at least an eighth of the area is drawn, and not as one flat
         * block: shapes have edges and most have shading */
        EXPECT_GT(visible, w * h / 8);
        EXPECT_LT(visible, w * h);
        std::map<unsigned, int> colours;
        const guchar *p = gdk_pixbuf_get_pixels(d.pb);
        int rs = gdk_pixbuf_get_rowstride(d.pb);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                const guchar *q = p + (size_t)y * rs + x * 4;
                if (q[3])
                    colours[((unsigned)q[0] << 24) | (q[1] << 16) | (q[2] << 8) | q[3]]++;
            }
        EXPECT_GE(colours.size(), 3u);
    }
    release(all);
}

TEST(Images, NamesAreUniqueAndPicturesDiffer)
{
    auto all = decode_all();
    std::map<std::string, std::string> by_pixels;
    std::map<std::string, int> names;
    for (auto &d : all) {
        ASSERT_NE(d.pb, nullptr) << d.desc->name;
        EXPECT_EQ(++names[d.desc->name], 1) << d.desc->name;
        EXPECT_EQ(ui_images_lookup(d.desc->name), d.desc->data);
        std::string px = pixels_of(d.pb);
        auto it = by_pixels.find(px);
        if (it != by_pixels.end()) {
            /* The transfer and transcoder lists share pictures for the same
             * job state or command; nothing else may repeat. */
            std::string a = it->second, b = d.desc->name;
            bool shared = a.rfind("transfer_", 0) == 0 && b.rfind("transcoder_", 0) == 0 &&
                          a.substr(strlen("transfer_")) == b.substr(strlen("transcoder_"));
            EXPECT_TRUE(shared) << a << " and " << b << " are the same picture";
        } else {
            by_pixels[px] = d.desc->name;
        }
    }
    EXPECT_EQ(ui_images_lookup("no_such_image"), nullptr);
    EXPECT_EQ(ui_images_lookup(nullptr), nullptr);
    EXPECT_EQ(ui_images_pixbuf(nullptr), nullptr);
    release(all);
}

TEST(Images, RolesNamedByTheWindowsExist)
{
    const char *names[] = {"inline_image_logo_16x16",
                           "inline_image_logo_32x32",
                           "inline_image_logo_48x48",
                           "inline_image_logo",
                           "status_offline_image",
                           "status_online_paused_image",
                           "status_online_playing_image",
                           "inline_image_start_type_follow",
                           "inline_image_start_type_manual",
                           "inline_image_start_type_fixed_time",
                           "inline_image_start_type_gap_fill",
                           "list_take_image",
                           "preview_show_img",
                           "preview_hide_img",
                           "item_dlg_audio_map_image",
                           "metatree_4",
                           "transfer_dir_id",
                           "transcoder_state_cancel",
                           "subclip_edit_delete_image_inline",
                           "inline_pelmora_io_preview_audio_pairs_button",
                           "library_capacity_image"};
    for (const char *n : names)
        EXPECT_NE(ui_images_lookup(n), nullptr) << n;
    /* the logo sizes are what their names say */
    GdkPixbuf *pb = ui_images_pixbuf(inline_image_logo_32x32);
    ASSERT_NE(pb, nullptr);
    EXPECT_EQ(gdk_pixbuf_get_width(pb), 32);
    g_object_unref(pb);
}

TEST(Images, TiledImagesHaveEveryCellDrawn)
{
    /* audio pair buttons: 4 states across, 5 styles down */
    GdkPixbuf *pb = ui_images_pixbuf(inline_pelmora_io_preview_audio_pairs_button);
    ASSERT_NE(pb, nullptr);
    int w = gdk_pixbuf_get_width(pb), h = gdk_pixbuf_get_height(pb);
    ASSERT_EQ(w % 4, 0);
    ASSERT_EQ(h % 5, 0);
    int cw = w / 4, ch = h / 5;
    std::vector<std::string> cells;
    for (int style = 0; style < 5; style++)
        for (int state = 0; state < 4; state++) {
            EXPECT_GT(opaque_in(pb, state * cw, style * ch, cw, ch), cw * ch / 2) << style << "," << state;
            GdkPixbuf *sub = gdk_pixbuf_new_subpixbuf(pb, state * cw, style * ch, cw, ch);
            GdkPixbuf *copy = gdk_pixbuf_copy(sub);
            cells.push_back(pixels_of(copy));
            g_object_unref(copy);
            g_object_unref(sub);
        }
    /* every state and style looks different from every other */
    for (size_t i = 0; i < cells.size(); i++)
        for (size_t j = i + 1; j < cells.size(); j++)
            EXPECT_NE(cells[i], cells[j]) << i << " vs " << j;
    g_object_unref(pb);

    /* capacity gauge: 10 x 10 cells of 56, cell k shows k percent, so the
     * used part grows with k */
    pb = ui_images_pixbuf(library_capacity_image);
    ASSERT_NE(pb, nullptr);
    ASSERT_EQ(gdk_pixbuf_get_width(pb), 560);
    ASSERT_EQ(gdk_pixbuf_get_height(pb), 560);
    int rs = gdk_pixbuf_get_rowstride(pb);
    const guchar *p = gdk_pixbuf_get_pixels(pb);
    auto light_in_bar = [&](int k) {
        int x0 = (k % 10) * 56, y0 = (k / 10) * 56, n = 0;
        for (int x = x0; x < x0 + 56; x++) {
            const guchar *q = p + (size_t)(y0 + 19) * rs + x * 4;
            n += q[0] > 0xe0 && q[1] > 0xe0 && q[2] > 0xe0 && q[3] == 0xff;
        }
        return n;
    };
    EXPECT_GT(light_in_bar(0), light_in_bar(37));
    EXPECT_GT(light_in_bar(37), light_in_bar(99));
    EXPECT_EQ(light_in_bar(99), 0);
    g_object_unref(pb);
}

TEST(Images, ContactSheet)
{
    auto all = decode_all();
    const int cols = 6, cw = 190, pad = 8, label_h = 28;
    /* each entry: 1x and, for small images, 3x side by side */
    std::vector<int> heights;
    int x = 0, row_h = 0, y = pad;
    struct place
    {
        int x, y, zoom;
    };
    std::vector<place> places;
    for (auto &d : all) {
        int w = d.desc->width, h = d.desc->height;
        int zoom = w <= 48 && h <= 70 ? 3 : (w > 200 ? 1 : 2);
        if (w > 200)
            zoom = 1;
        int span = (w + w * (zoom > 1 ? zoom : 0) + 3 * pad + cw - 1) / cw;
        if (x + span > cols) {
            y += row_h + label_h + pad;
            x = 0;
            row_h = 0;
        }
        places.push_back({x, y, zoom});
        x += span;
        row_h = std::max(row_h, h * zoom);
    }
    int sheet_w = cols * cw, sheet_h = y + row_h + label_h + pad;
    cairo_surface_t *s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, sheet_w, sheet_h);
    cairo_t *cr = cairo_create(s);
    cairo_set_source_rgb(cr, 0.93, 0.93, 0.92);
    cairo_paint(cr);
    for (size_t i = 0; i < all.size(); i++) {
        auto &d = all[i];
        place pl = places[i];
        double px = pl.x * cw + pad, py = pl.y;
        int w = d.desc->width, h = d.desc->height;
        /* 1x on the window colour */
        gdk_cairo_set_source_pixbuf(cr, d.pb, px, py);
        cairo_paint(cr);
        if (pl.zoom > 1) {
            cairo_save(cr);
            cairo_translate(cr, px + w + pad, py);
            cairo_scale(cr, pl.zoom, pl.zoom);
            gdk_cairo_set_source_pixbuf(cr, d.pb, 0, 0);
            cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
            cairo_paint(cr);
            cairo_restore(cr);
        }
        cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
        cairo_set_font_size(cr, 10);
        cairo_set_source_rgb(cr, 0.15, 0.15, 0.15);
        cairo_move_to(cr, px, py + h * pl.zoom + 13);
        cairo_show_text(cr, d.desc->name);
    }
    cairo_destroy(cr);
    const char *out = getenv("PELMORA_IMAGES_SHEET");
    std::string path = out && *out ? out : std::string(PELMORA_BUILD_BIN_DIR) + "/../images.png";
    ASSERT_EQ(cairo_surface_write_to_png(s, path.c_str()), CAIRO_STATUS_SUCCESS) << path;
    cairo_surface_destroy(s);
    release(all);

    GError *err = nullptr;
    GdkPixbuf *back = gdk_pixbuf_new_from_file(path.c_str(), &err);
    ASSERT_NE(back, nullptr) << (err ? err->message : "");
    EXPECT_EQ(gdk_pixbuf_get_width(back), sheet_w);
    g_object_unref(back);
}
