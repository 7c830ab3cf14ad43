// The clock widget and the group frame: their setters and context, and what
// they paint, read back from the X server (face and corners, centred lines,
// text kept on the face whatever its length).
#include <gtest/gtest.h>

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "panel_support.h"
#include "ui_oled.h"

namespace {

struct rgb
{
    int r, g, b;
};

class Oled : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!engine_gtk_ready())
            GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
        window = gtk_window_new(GTK_WINDOW_POPUP);
        gtk_window_move(GTK_WINDOW(window), 10, 10);
    }
    void TearDown() override
    {
        if (window)
            gtk_widget_destroy(window);
        if (shot)
            g_object_unref(shot);
    }

    /* Shows w alone in the window and reads its pixels back. */
    void show(GtkWidget *w)
    {
        gtk_container_add(GTK_CONTAINER(window), w);
        gtk_widget_show_all(window);
        grab(w);
    }
    void grab(GtkWidget *w)
    {
        engine_run_for(150);
        gdk_window_process_all_updates();
        gdk_flush();
        engine_run_for(50);
        GtkAllocation a;
        gtk_widget_get_allocation(w, &a);
        if (shot)
            g_object_unref(shot);
        shot =
            gdk_pixbuf_get_from_drawable(nullptr, gtk_widget_get_window(w), nullptr, a.x, a.y, 0, 0, a.width, a.height);
        ASSERT_NE(shot, nullptr);
        /* PANEL_SHOT_DIR=dir keeps each picture for a look by eye. */
        if (const char *dir = getenv("PANEL_SHOT_DIR")) {
            std::string name =
                std::string(dir) + "/" + testing::UnitTest::GetInstance()->current_test_info()->name() + ".png";
            gdk_pixbuf_save(shot, name.c_str(), "png", nullptr, NULL);
        }
    }
    rgb at(int x, int y)
    {
        const guchar *p =
            gdk_pixbuf_get_pixels(shot) + y * gdk_pixbuf_get_rowstride(shot) + x * gdk_pixbuf_get_n_channels(shot);
        return {p[0], p[1], p[2]};
    }
    static bool near(rgb a, rgb b, int tol = 6)
    {
        return abs(a.r - b.r) <= tol && abs(a.g - b.g) <= tol && abs(a.b - b.b) <= tol;
    }
    /* Pixels of rows y0..y1 that are clearly lit in the given way. */
    template <class F> int count(int x0, int x1, int y0, int y1, F lit, double *mean_x = nullptr)
    {
        int n = 0;
        double sx = 0;
        for (int y = y0; y <= y1; y++)
            for (int x = x0; x <= x1; x++)
                if (lit(at(x, y))) {
                    n++;
                    sx += x;
                }
        if (mean_x)
            *mean_x = n ? sx / n : -1;
        return n;
    }

    GtkWidget *window = nullptr;
    GdkPixbuf *shot = nullptr;
};

const rgb FACE = {0x27, 0x27, 0x27}, OUTSIDE = {0x52, 0x52, 0x52};

bool white(rgb c)
{
    return c.r > 200 && c.g > 200 && c.b > 200;
}
bool greenish(rgb c)
{
    return c.g > 120 && c.g > c.r + 50 && c.g > c.b + 50;
}

TEST_F(Oled, SettersCopyBoundedTextsAndRefuseOtherWidgets)
{
    GtkWidget *clock = ui_oled_timer_create("#272727", "#525252", 164, 74, "#30e030", 14, 24, "#fdfdfd", 22, 56);
    g_object_ref_sink(clock);
    ui_oled_timer_ctx_t *ctx = ui_oled_timer_ctx(clock);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->self, clock);
    EXPECT_EQ(ctx->background_color.red, 0x2727);
    EXPECT_EQ(ctx->parent_color.green, 0x5252);
    EXPECT_EQ(ctx->title_color.green, 0xe0e0);
    EXPECT_EQ(ctx->time_h_offset, 56);
    EXPECT_EQ(ui_oled_timer_set_time(clock, "00:01:02:03"), 0);
    EXPECT_EQ(ui_oled_timer_set_title(clock, "ON AIR"), 0);
    EXPECT_EQ(clock_time(clock), "00:01:02:03");
    EXPECT_EQ(clock_title(clock), "ON AIR");
    std::string long_text(400, 'x');
    EXPECT_EQ(ui_oled_timer_set_time(clock, long_text.c_str()), 0);
    EXPECT_EQ(strlen(ctx->time_text), 259u);
    EXPECT_EQ(ui_oled_timer_set_title(clock, nullptr), 0);
    EXPECT_EQ(clock_title(clock), "");

    GtkWidget *label = gtk_label_new("x");
    g_object_ref_sink(label);
    EXPECT_EQ(ui_oled_timer_set_time(label, "1"), -22);
    EXPECT_EQ(ui_oled_timer_set_title(label, "1"), -22);
    EXPECT_EQ(ui_oled_timer_set_time(nullptr, "1"), -22);
    g_object_unref(label);

    GtkRequisition req;
    gtk_widget_size_request(clock, &req);
    EXPECT_EQ(req.width, 164);
    EXPECT_EQ(req.height, 74);
    g_object_unref(clock);

    /* A colour that does not parse is black, not garbage. */
    GtkWidget *bad = ui_oled_timer_create("no-such", "#525252", 10, 10, "", 1, 1, nullptr, 1, 1);
    g_object_ref_sink(bad);
    EXPECT_EQ(ui_oled_timer_ctx(bad)->background_color.red, 0);
    EXPECT_EQ(ui_oled_timer_ctx(bad)->time_color.blue, 0);
    g_object_unref(bad);
}

TEST_F(Oled, FaceIsRoundedAndBothLinesAreCentredOnTheirBaselines)
{
    GtkWidget *clock = ui_oled_timer_create("#272727", "#525252", 164, 74, "#30e030", 14, 24, "#fdfdfd", 22, 56);
    ui_oled_timer_set_title(clock, "ON AIR");
    ui_oled_timer_set_time(clock, "00:01:02:03");
    show(clock);
    ASSERT_EQ(gdk_pixbuf_get_width(shot), 164);
    ASSERT_EQ(gdk_pixbuf_get_height(shot), 74);

    /* Corners outside the radius-16 arcs are the outside colour. */
    for (auto p : {std::make_pair(0, 0), std::make_pair(163, 0), std::make_pair(0, 73), std::make_pair(163, 73),
                   std::make_pair(3, 2)})
        EXPECT_TRUE(near(at(p.first, p.second), OUTSIDE)) << p.first << "," << p.second;
    /* Edges away from the corners, and the gap between the lines, are face. */
    for (auto p : {std::make_pair(1, 37), std::make_pair(162, 37), std::make_pair(82, 1), std::make_pair(82, 72),
                   std::make_pair(20, 30)})
        EXPECT_TRUE(near(at(p.first, p.second), FACE)) << p.first << "," << p.second;

    /* The title in its colour above its baseline, the time in white above its own. */
    double title_x = 0, time_x = 0;
    EXPECT_GT(count(0, 163, 8, 25, greenish, &title_x), 30);
    EXPECT_EQ(count(0, 163, 30, 73, greenish), 0);
    EXPECT_GT(count(0, 163, 36, 57, white, &time_x), 150);
    EXPECT_EQ(count(0, 163, 0, 30, white), 0);
    EXPECT_EQ(count(0, 163, 62, 73, white), 0) << "nothing below the time line but descender room";
    EXPECT_NEAR(title_x, 82, 4);
    EXPECT_NEAR(time_x, 82, 4);

    /* A new text is drawn on the next expose. */
    ui_oled_timer_set_time(clock, "");
    grab(clock);
    EXPECT_EQ(count(0, 163, 36, 57, white), 0);
}

TEST_F(Oled, TextsTooWideForTheFaceAreDrawnSmallerInsteadOfCut)
{
    /* The playlist clock's lines, on a face no higher than it asks for. */
    GtkWidget *clock = ui_oled_timer_create("#272727", "#525252", 164, 36, "#30e030", 14, 22, "#fdfdfd", 10, 38);
    ui_oled_timer_set_title(clock, "evening_news_with_a_very_long_name_2024-07-15.ply");
    ui_oled_timer_set_time(clock, "a previous playlist whose name is longer than the face.ply");
    show(clock);
    /* Both lines are there, and none of their pixels touches the sides. */
    EXPECT_GT(count(0, 163, 0, 35, greenish), 20);
    EXPECT_GT(count(0, 163, 0, 35, white), 10);
    EXPECT_EQ(count(0, 2, 0, 35, greenish) + count(161, 163, 0, 35, greenish), 0);
    EXPECT_EQ(count(0, 2, 0, 35, white) + count(161, 163, 0, 35, white), 0);
    /* The second line was placed below the face: it is raised onto it. */
    EXPECT_EQ(count(0, 163, 35, 35, white), 0);
    EXPECT_GT(count(0, 163, 24, 34, white), 10);
}

TEST_F(Oled, TitleColoursAreDrawnAsConfiguredDarkOnesIncluded)
{
    GtkWidget *box = gtk_hbox_new(FALSE, 0);
    /* The LIVE clock's dark blue title, and the ON AIR clock's green one. */
    GtkWidget *dark = ui_oled_timer_create("#272727", "#525252", 164, 74, "#2b51a8", 22, 30, "#fdfdfd", 22, 56);
    GtkWidget *bright = ui_oled_timer_create("#272727", "#525252", 164, 74, "#30e030", 22, 30, "#fdfdfd", 22, 56);
    ui_oled_timer_set_title(dark, "LIVE");
    ui_oled_timer_set_title(bright, "LIVE");
    gtk_box_pack_start(GTK_BOX(box), dark, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), bright, FALSE, FALSE, 0);
    show(box);
    /* The strokes' cores carry the colour itself, and nothing of the title
     * is brighter than it: no lifting towards white. */
    bool dark_exact = false, lifted = false;
    for (int y = 5; y < 34; y++)
        for (int x = 0; x < 164; x++) {
            rgb c = at(x, y);
            dark_exact = dark_exact || near(c, {0x2b, 0x51, 0xa8}, 8);
            lifted = lifted || (c.b > 0xb8 && c.r > 0x40);
        }
    EXPECT_TRUE(dark_exact) << "the dark blue title is drawn in its own colour";
    EXPECT_FALSE(lifted) << "the dark blue title was lightened";
    bool exact = false;
    for (int y = 5; y < 34 && !exact; y++)
        for (int x = 164; x < 328 && !exact; x++)
            exact = near(at(x, y), {0x30, 0xe0, 0x30}, 8);
    EXPECT_TRUE(exact) << "the green title is drawn as given";
}

TEST_F(Oled, GroupFrameIsARoundedPlateAroundItsChild)
{
    GtkWidget *child = gtk_drawing_area_new();
    gtk_widget_set_size_request(child, 60, 30);
    GtkWidget *frame = ui_rounded_corners_box(child, 9, 9, "#525252");
    EXPECT_EQ(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(frame), "radius")), 9);
    EXPECT_EQ(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(frame), "padding")), 9);
    EXPECT_STREQ(static_cast<const char *>(g_object_get_data(G_OBJECT(frame), "color")), "#525252");
    /* The child sits padding pixels in. */
    show(frame);
    GtkAllocation fa, ca;
    gtk_widget_get_allocation(frame, &fa);
    gtk_widget_get_allocation(child, &ca);
    EXPECT_EQ(fa.width, 60 + 18);
    EXPECT_EQ(fa.height, 30 + 18);
    int cx = 0, cy = 0;
    gtk_widget_translate_coordinates(child, frame, 0, 0, &cx, &cy);
    EXPECT_EQ(cx, 9);
    EXPECT_EQ(cy, 9);
    /* The plate's colour along the edges, not in the very corners. */
    EXPECT_FALSE(near(at(0, 0), OUTSIDE));
    EXPECT_FALSE(near(at(fa.width - 1, fa.height - 1), OUTSIDE));
    EXPECT_TRUE(near(at(fa.width / 2, 0), OUTSIDE));
    EXPECT_TRUE(near(at(0, fa.height / 2), OUTSIDE));
    EXPECT_TRUE(near(at(4, 4), OUTSIDE)) << "inside the corner arc";
    EXPECT_TRUE(near(at(9, fa.height - 5), OUTSIDE)) << "padding strip below the child";
}

} // namespace
