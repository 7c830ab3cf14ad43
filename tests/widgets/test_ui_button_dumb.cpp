/* The custom-drawn button on a real X window: size from the tile, the cell
 * drawn for each style and state (read back from the server), blank mode,
 * callbacks and their defaults, separate images, background colour, and
 * the answers for widgets that are not such buttons. */
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <vector>

#include "ui_button_dumb.h"
#include "widgets_gui.h"

namespace {

struct rgba
{
    uint8_t r, g, b, a;
};

/* Serialized GdkPixbuf data (raw RGBA), written here independently of the
 * image generator. */
std::vector<guint8> serialize(int w, int h, const std::vector<rgba> &px)
{
    std::vector<guint8> out;
    auto put = [&](uint32_t v) {
        for (int s = 24; s >= 0; s -= 8)
            out.push_back((v >> s) & 0xff);
    };
    put(0x47646b50);
    put(24 + (uint32_t)w * h * 4);
    put(0x01010002);
    put((uint32_t)w * 4);
    put((uint32_t)w);
    put((uint32_t)h);
    for (const rgba &p : px) {
        out.push_back(p.r);
        out.push_back(p.g);
        out.push_back(p.b);
        out.push_back(p.a);
    }
    return out;
}

/* The colour of cell (column, row) of the test tile. */
rgba cell_colour(int col, int row)
{
    return {(uint8_t)(30 + 50 * col), (uint8_t)(30 + 40 * row), 200, 255};
}

/* A 200 x 100 tile: 4 states across, 5 styles down, each cell one colour;
 * cell (1, 4) is transparent. */
std::vector<guint8> test_tile()
{
    std::vector<rgba> px(200 * 100);
    for (int y = 0; y < 100; y++)
        for (int x = 0; x < 200; x++) {
            int col = x / 50, row = y / 20;
            px[y * 200 + x] = (col == 1 && row == 4) ? rgba{0, 0, 0, 0} : cell_colour(col, row);
        }
    return serialize(200, 100, px);
}

std::vector<guint8> solid(int w, int h, rgba c)
{
    return serialize(w, h, std::vector<rgba>((size_t)w * h, c));
}

struct shown_button
{
    GtkWidget *win = nullptr, *btn = nullptr;
    explicit shown_button(GtkWidget *b) : btn(b)
    {
        win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        /* larger than one cell: only the cell may be painted */
        gtk_window_set_default_size(GTK_WINDOW(win), 120, 60);
        gtk_container_add(GTK_CONTAINER(win), btn);
        gtk_widget_show_all(win);
        gui_pump(100);
    }
    ~shown_button() { gtk_widget_destroy(win); }
    /* colour at (x, y) of the button as the server shows it */
    rgba at(int x, int y)
    {
        gui_pump();
        GdkPixbuf *pb = widgets_grab(btn, 120, 60);
        const guchar *p =
            gdk_pixbuf_get_pixels(pb) + y * gdk_pixbuf_get_rowstride(pb) + x * gdk_pixbuf_get_n_channels(pb);
        rgba c{p[0], p[1], p[2], 255};
        g_object_unref(pb);
        return c;
    }
    /* does the whole w x h cell show colour c, and the rest not? */
    bool shows(rgba c, int w = 50, int h = 20)
    {
        gui_pump();
        GdkPixbuf *pb = widgets_grab(btn, 120, 60);
        int rs = gdk_pixbuf_get_rowstride(pb), nc = gdk_pixbuf_get_n_channels(pb);
        const guchar *p = gdk_pixbuf_get_pixels(pb);
        bool ok = true;
        for (int y = 0; y < 60 && ok; y++)
            for (int x = 0; x < 120 && ok; x++) {
                const guchar *q = p + y * rs + x * nc;
                bool same = q[0] == c.r && q[1] == c.g && q[2] == c.b;
                ok = (x < w && y < h) ? same : !same;
            }
        g_object_unref(pb);
        return ok;
    }
    rgba background() { return at(110, 50); }
};

bool same(rgba a, rgba b)
{
    return a.r == b.r && a.g == b.g && a.b == b.b;
}

struct calls
{
    int press = 0, click = 0, release = 0;
};

gboolean on_press(GtkWidget *, GdkEventButton *, gpointer d)
{
    ((calls *)d)->press++;
    return FALSE;
}
gboolean on_click(GtkWidget *, GdkEventButton *, gpointer d)
{
    ((calls *)d)->click++;
    return FALSE;
}
gboolean on_release(GtkWidget *, GdkEventButton *, gpointer d)
{
    ((calls *)d)->release++;
    return TRUE;
}

} // namespace

TEST(ButtonDumb, TileSizeAndTheCellOfEachState)
{
    NEED_DISPLAY();
    auto tile = test_tile();
    GtkWidget *b = ui_button_dumb_create_from_tile(3, 5, tile.data());
    ASSERT_NE(b, nullptr);
    int w = 0, h = 0;
    gtk_widget_get_size_request(b, &w, &h);
    EXPECT_EQ(w, 50);
    EXPECT_EQ(h, 20);
    auto *ctx = (ui_button_dumb_t *)g_object_get_data(G_OBJECT(b), "ui_button_dumb_t");
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->w, 50);
    EXPECT_EQ(ctx->h, 20);
    EXPECT_EQ(ctx->self, b);

    shown_button s(b);
    EXPECT_TRUE(s.shows(cell_colour(0, 3))) << "style 3, normal";
    widgets_send_crossing(b, GDK_ENTER_NOTIFY);
    EXPECT_TRUE(s.shows(cell_colour(1, 3))) << "hover";
    EXPECT_TRUE(widgets_send_button(b, GDK_BUTTON_PRESS, 5, 5));
    EXPECT_TRUE(s.shows(cell_colour(3, 3))) << "hovered and pressed: column 3, row 3";
    EXPECT_TRUE(widgets_send_button(b, GDK_BUTTON_RELEASE, 5, 5));
    EXPECT_TRUE(s.shows(cell_colour(1, 3)));
    widgets_send_crossing(b, GDK_LEAVE_NOTIFY);
    EXPECT_TRUE(s.shows(cell_colour(0, 3)));
    widgets_send_button(b, GDK_BUTTON_PRESS, 5, 5);
    EXPECT_TRUE(s.shows(cell_colour(2, 3))) << "pressed without hover";
    widgets_send_crossing(b, GDK_ENTER_NOTIFY);
    widgets_send_crossing(b, GDK_LEAVE_NOTIFY);
    EXPECT_FALSE(ctx->f_pressed) << "leaving drops the press";
    EXPECT_TRUE(s.shows(cell_colour(0, 3)));

    EXPECT_EQ(ui_button_dumb_set_style(b, 1), 1);
    EXPECT_EQ(ui_button_dumb_get_style(b), 1);
    EXPECT_TRUE(s.shows(cell_colour(0, 1)));
    EXPECT_EQ(ui_button_dumb_set_style(b, 9), -22);
    EXPECT_EQ(ui_button_dumb_set_style(b, -1), -22);
    EXPECT_EQ(ui_button_dumb_get_style(b), 1);
}

TEST(ButtonDumb, BlankDrawsNothingAndIgnoresClicks)
{
    NEED_DISPLAY();
    auto tile = test_tile();
    GtkWidget *b = ui_button_dumb_create_from_tile(0, 5, tile.data());
    calls c;
    ui_button_dumb_cb_click(b, on_click, &c);
    shown_button s(b);
    rgba bg = s.background();
    EXPECT_TRUE(s.shows(cell_colour(0, 0)));

    EXPECT_EQ(ui_button_dumb_set_blank(b, 5), 1);
    EXPECT_EQ(ui_button_dumb_get_blank(b), 1);
    EXPECT_TRUE(same(s.at(10, 10), bg)) << "blank: nothing drawn";
    EXPECT_FALSE(widgets_send_button(b, GDK_BUTTON_PRESS, 5, 5));
    EXPECT_FALSE(widgets_send_button(b, GDK_BUTTON_RELEASE, 5, 5));
    EXPECT_EQ(c.click, 0);
    widgets_send_crossing(b, GDK_ENTER_NOTIFY);
    auto *ctx = (ui_button_dumb_t *)g_object_get_data(G_OBJECT(b), "ui_button_dumb_t");
    EXPECT_FALSE(ctx->f_hover);
    /* while blank, a new click callback is not taken */
    calls other;
    EXPECT_EQ(ui_button_dumb_cb_click(b, on_click, &other), 0);

    EXPECT_EQ(ui_button_dumb_set_blank(b, 0), 0);
    EXPECT_TRUE(s.shows(cell_colour(0, 0)));
    widgets_send_button(b, GDK_BUTTON_PRESS, 5, 5);
    widgets_send_button(b, GDK_BUTTON_RELEASE, 5, 5);
    EXPECT_EQ(c.click, 1);
    EXPECT_EQ(other.click, 0);
}

TEST(ButtonDumb, CallbacksAndTheirDefaults)
{
    NEED_DISPLAY();
    auto tile = test_tile();
    GtkWidget *b = ui_button_dumb_create_from_tile(0, 5, tile.data());
    shown_button s(b);
    /* without callbacks: press and click are taken, a release elsewhere is not */
    EXPECT_TRUE(widgets_send_button(b, GDK_BUTTON_PRESS, 5, 5));
    EXPECT_TRUE(widgets_send_button(b, GDK_BUTTON_RELEASE, 5, 5));
    widgets_send_button(b, GDK_BUTTON_PRESS, 5, 5);
    EXPECT_FALSE(widgets_send_button(b, GDK_BUTTON_RELEASE, -10, 5));

    calls c;
    EXPECT_EQ(ui_button_dumb_cb_press(b, on_press, &c), 0);
    EXPECT_EQ(ui_button_dumb_cb_click(b, on_click, &c), 0);
    EXPECT_EQ(ui_button_dumb_cb_release(b, on_release, &c), 0);
    EXPECT_FALSE(widgets_send_button(b, GDK_BUTTON_PRESS, 5, 5)) << "the press callback's answer";
    EXPECT_FALSE(widgets_send_button(b, GDK_BUTTON_RELEASE, 5, 5)) << "the click callback's answer";
    EXPECT_EQ(c.press, 1);
    EXPECT_EQ(c.click, 1);
    EXPECT_EQ(c.release, 0);
    widgets_send_button(b, GDK_BUTTON_PRESS, 5, 5);
    EXPECT_TRUE(widgets_send_button(b, GDK_BUTTON_RELEASE, 200, 200)) << "released elsewhere";
    EXPECT_EQ(c.click, 1);
    EXPECT_EQ(c.release, 1);
}

TEST(ButtonDumb, SeparateImagesFillTheViewsRowByRow)
{
    NEED_DISPLAY();
    auto red = solid(30, 12, {220, 20, 20, 255});
    auto blue = solid(40, 40, {20, 20, 220, 255});
    auto green = solid(30, 12, {20, 200, 20, 255});
    GtkWidget *b = ui_button_dumb_create(0, (const guint8 *)nullptr, red.data(), (const guint8 *)nullptr, blue.data(),
                                         green.data(), UI_BUTTON_DUMB_END);
    ASSERT_NE(b, nullptr);
    auto *ctx = (ui_button_dumb_t *)g_object_get_data(G_OBJECT(b), "ui_button_dumb_t");
    EXPECT_EQ(ctx->w, 30) << "the first image sets the size";
    EXPECT_EQ(ctx->h, 12);
    EXPECT_EQ(ctx->views[0][0], nullptr);
    EXPECT_NE(ctx->views[0][1], nullptr);
    EXPECT_EQ(ctx->views[0][2], nullptr);
    EXPECT_NE(ctx->views[0][3], nullptr);
    EXPECT_NE(ctx->views[1][0], nullptr) << "the fifth image starts style 1";
    EXPECT_EQ(ctx->view, nullptr);

    shown_button s(b);
    rgba bg = s.background();
    EXPECT_TRUE(same(s.at(5, 5), bg)) << "a missing image leaves the background";
    widgets_send_crossing(b, GDK_ENTER_NOTIFY);
    EXPECT_TRUE(s.shows({220, 20, 20, 255}, 30, 12));
    ui_button_dumb_set_style(b, 1);
    widgets_send_crossing(b, GDK_LEAVE_NOTIFY);
    EXPECT_TRUE(s.shows({20, 200, 20, 255}, 30, 12));

    EXPECT_EQ(ui_button_dumb_create(0, UI_BUTTON_DUMB_END), nullptr);
    EXPECT_EQ(ui_button_dumb_create(0, (const guint8 *)nullptr, UI_BUTTON_DUMB_END), nullptr);
}

TEST(ButtonDumb, BackgroundColourShowsThroughTransparentParts)
{
    NEED_DISPLAY();
    auto tile = test_tile();
    GtkWidget *b = ui_button_dumb_create_from_tile(4, 5, tile.data());
    shown_button s(b);
    widgets_send_crossing(b, GDK_ENTER_NOTIFY); /* cell (1, 4) is transparent */
    rgba bg = s.background();
    EXPECT_TRUE(same(s.at(10, 10), bg));
    EXPECT_EQ(ui_button_dumb_bg_color(b, "#ff8000"), 0);
    EXPECT_TRUE(same(s.at(10, 10), {255, 128, 0, 255}));
    widgets_send_crossing(b, GDK_LEAVE_NOTIFY);
    EXPECT_TRUE(same(s.at(10, 10), cell_colour(0, 4))) << "the image over the colour";
    EXPECT_EQ(ui_button_dumb_bg_color(b, nullptr), 0);
    widgets_send_crossing(b, GDK_ENTER_NOTIFY);
    EXPECT_TRUE(same(s.at(10, 10), bg));
}

TEST(ButtonDumb, OtherWidgetsAreRefused)
{
    NEED_DISPLAY();
    GtkWidget *label = gtk_label_new("x");
    GtkWidget *area = gtk_drawing_area_new();
    g_object_ref_sink(label);
    g_object_ref_sink(area);
    for (GtkWidget *w : {label, area, (GtkWidget *)nullptr}) {
        EXPECT_EQ(ui_button_dumb_cb_press(w, on_press, nullptr), -22);
        EXPECT_EQ(ui_button_dumb_cb_click(w, on_click, nullptr), -22);
        EXPECT_EQ(ui_button_dumb_cb_release(w, on_release, nullptr), -22);
        EXPECT_EQ(ui_button_dumb_get_style(w), -22);
        EXPECT_EQ(ui_button_dumb_set_style(w, 1), -22);
        EXPECT_EQ(ui_button_dumb_get_blank(w), -22);
        EXPECT_EQ(ui_button_dumb_set_blank(w, 1), -22);
        EXPECT_EQ(ui_button_dumb_bg_color(w, "red"), -22);
    }
    g_object_unref(label);
    g_object_unref(area);
    auto tile = test_tile();
    EXPECT_EQ(ui_button_dumb_create_from_tile(0, 0, tile.data()), nullptr);
    EXPECT_EQ(ui_button_dumb_create_from_tile(0, 10, tile.data()), nullptr);
    EXPECT_EQ(ui_button_dumb_create_from_tile(0, 5, nullptr), nullptr);
    const guint8 junk[32] = {1, 2, 3};
    EXPECT_EQ(ui_button_dumb_create_from_tile(0, 5, junk), nullptr);
}
