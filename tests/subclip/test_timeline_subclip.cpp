/* The subclip time line on a real X window: clicks that seek, the drag
 * rules of the work-area handles, bar and pointer (synthesized events and
 * real pointer events through XTest), the scroll after a dragged pointer,
 * keyframe presses, what is drawn with and without marks, and clips of
 * length 0 or of days. */
#include <gtest/gtest.h>

#include <vector>

#include "gtk_timeline_subclip.h"
#include "widgets_gui.h"

namespace {

/* 408 pixels wide: the axis is 400 pixels, so with the whole of a 400 s
 * clip visible one pixel is one second and x = t + 4. */
const int WIDTH = 408;

struct fixture
{
    GtkWidget *win = nullptr;
    TimelineSubclip *ts = nullptr;
    std::vector<float> seeks;
    std::vector<gpointer> keys1, keys2;

    fixture(float length, float pos, float in, float out, float wa_b, float wa_e, int preview = 0)
    {
        win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_move(GTK_WINDOW(win), 0, 0);
        ts = TIMELINE_SUBCLIP(timeline_subclip_new(WIDTH, length, pos, in, out, wa_b, wa_e, preview));
        gtk_container_add(GTK_CONTAINER(win), GTK_WIDGET(ts));
        g_signal_connect(ts, "timeline_subclip_signal_pos_modified", G_CALLBACK(on_seek), this);
        g_signal_connect(ts, "timeline_subclip_signal_key_selected1", G_CALLBACK(on_key1), this);
        g_signal_connect(ts, "timeline_subclip_signal_key_selected2", G_CALLBACK(on_key2), this);
        gtk_widget_show_all(win);
        gui_pump(150);
    }
    ~fixture()
    {
        gtk_widget_destroy(win);
        gui_pump();
    }
    static void on_seek(TimelineSubclip *, gfloat t, gpointer self) { ((fixture *)self)->seeks.push_back(t); }
    static void on_key1(TimelineSubclip *, gpointer d, gpointer self) { ((fixture *)self)->keys1.push_back(d); }
    static void on_key2(TimelineSubclip *, gpointer d, gpointer self) { ((fixture *)self)->keys2.push_back(d); }

    gboolean press(double x, double y, guint button = 1, GdkEventType type = GDK_BUTTON_PRESS)
    {
        GdkEvent *ev = gdk_event_new(type);
        ev->button.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(ts))));
        ev->button.x = x;
        ev->button.y = y;
        ev->button.button = button;
        ev->button.device = gdk_device_get_core_pointer();
        gboolean r = gtk_widget_event(GTK_WIDGET(ts), ev);
        gdk_event_free(ev);
        return r;
    }
    gboolean release(double x, double y) { return press(x, y, 1, GDK_BUTTON_RELEASE); }
    gboolean move(double x, double y)
    {
        GdkEvent *ev = gdk_event_new(GDK_MOTION_NOTIFY);
        ev->motion.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(ts))));
        ev->motion.x = x;
        ev->motion.y = y;
        gboolean r = gtk_widget_event(GTK_WIDGET(ts), ev);
        gdk_event_free(ev);
        return r;
    }
    /* The RGB of one pixel as the X server holds it. */
    std::vector<int> pixel(int x, int y)
    {
        GdkPixbuf *pb = widgets_grab(GTK_WIDGET(ts), WIDTH, 36);
        const guchar *p =
            gdk_pixbuf_get_pixels(pb) + y * gdk_pixbuf_get_rowstride(pb) + x * gdk_pixbuf_get_n_channels(pb);
        std::vector<int> v{p[0], p[1], p[2]};
        g_object_unref(pb);
        return v;
    }
};

TEST(TimelineSubclip, ClickSeeksAndClampsButAClickOnThePointerStartsADrag)
{
    NEED_DISPLAY();
    fixture f(400, 100, 50, 150, 0, 100);
    /* Above the pointer's band, right over it: a seek, not a drag. */
    EXPECT_FALSE(f.press(104, 15));
    EXPECT_EQ(f.ts->drag_target, 0);
    /* Off both ends of the axis the time is held to the clip. */
    f.press(1, 15);
    f.press(407, 30);
    ASSERT_EQ(f.seeks.size(), 3u);
    EXPECT_FLOAT_EQ(f.seeks[0], 100);
    EXPECT_FLOAT_EQ(f.seeks[1], 0);
    EXPECT_FLOAT_EQ(f.seeks[2], 400);
    /* The same x in the pointer's band within 6 pixels: a pointer drag. */
    EXPECT_TRUE(f.press(110, 25));
    EXPECT_EQ(f.ts->drag_target, 4);
    EXPECT_EQ(f.seeks.size(), 3u);
    f.release(110, 25);
    EXPECT_EQ(f.ts->drag_target, 0);
    /* 7 pixels off is a seek again. */
    f.press(111, 25);
    EXPECT_EQ(f.ts->drag_target, 0);
    EXPECT_EQ(f.seeks.size(), 4u);
}

TEST(TimelineSubclip, LeftHandleStopsAtZeroAndShortOfTheRightHandle)
{
    NEED_DISPLAY();
    fixture f(400, 0, 0, 400, 20, 60); /* handles at x 84 and 244 */
    ASSERT_TRUE(f.press(86, 8));
    EXPECT_EQ(f.ts->drag_target, 1);
    f.move(36, 8);
    EXPECT_NEAR(f.ts->wa_begin, 7.5, 1e-4);
    f.move(-40, 8); /* past x 4 */
    EXPECT_FLOAT_EQ(f.ts->wa_begin, 0);
    f.release(-40, 8);
    /* Towards the other handle in 5-pixel steps: it stops while the two are
     * still more than 26 pixels apart, and the right one stays. */
    f.press(6, 8);
    for (int x = 6; x < 400; x += 5)
        f.move(x, 8);
    f.release(400, 8);
    double xl = f.ts->wa_begin * 4 + 4, xr = f.ts->wa_end * 4 + 4;
    EXPECT_FLOAT_EQ(f.ts->wa_end, 60);
    EXPECT_GT(xr - xl, 26);
    EXPECT_LE(xr - xl, 31);
}

TEST(TimelineSubclip, BarDragStopsAtBothEndsKeepingItsWidth)
{
    NEED_DISPLAY();
    fixture f(400, 0, 0, 400, 20, 60);
    ASSERT_TRUE(f.press(164, 8));
    EXPECT_EQ(f.ts->drag_target, 3);
    for (int x = 164; x > -300; x -= 10)
        f.move(x, 8);
    EXPECT_GE(f.ts->wa_begin, 0);
    EXPECT_LT(f.ts->wa_begin, 2.6);
    EXPECT_NEAR(f.ts->wa_end - f.ts->wa_begin, 40, 1e-3);
    for (int x = -300; x < 900; x += 10)
        f.move(x, 8);
    EXPECT_LE(f.ts->wa_end, 100);
    EXPECT_GT(f.ts->wa_end, 97.4);
    EXPECT_NEAR(f.ts->wa_end - f.ts->wa_begin, 40, 1e-3);
    f.release(0, 8);
    EXPECT_EQ(f.ts->drag_target, 0);
}

TEST(TimelineSubclip, PointerDraggedPastTheRightEdgeScrollsTheWorkArea)
{
    NEED_DISPLAY();
    fixture f(400, 100, 0, 400, 0, 50); /* 0..200 s visible, pointer at x 204 */
    ASSERT_TRUE(f.press(204, 25));
    f.move(500, 25); /* t = 200 × 496 / 400 = 248 s */
    ASSERT_EQ(f.seeks.size(), 1u);
    EXPECT_FLOAT_EQ(f.seeks[0], 248);
    /* Scrolled in 0.1 % steps until 248 s is inside: the end reaches 62 %. */
    EXPECT_NEAR(f.ts->wa_end, 62, 0.11);
    EXPECT_NEAR(f.ts->wa_end - f.ts->wa_begin, 50, 1e-3);
    /* Far beyond: the time is the clip's end and the area stops at 100 %. */
    f.move(5000, 25);
    EXPECT_FLOAT_EQ(f.seeks.back(), 400);
    EXPECT_FLOAT_EQ(f.ts->wa_end, 100);
    EXPECT_NEAR(f.ts->wa_begin, 50, 1e-3);
    f.release(5000, 25);
    EXPECT_EQ(f.ts->drag_target, 0);
    EXPECT_FLOAT_EQ(f.ts->pos, 100); /* the owner moves it, not the drag */
}

TEST(TimelineSubclip, RealPointerDragsTheRightHandleToTheEnd)
{
    NEED_DISPLAY();
    fixture f(400, 0, 0, 400, 20, 60);
    gdk_window_raise(gtk_widget_get_window(f.win));
    GdkWindow *w = gtk_widget_get_window(GTK_WIDGET(f.ts));
    ASSERT_TRUE(gdk_test_simulate_button(w, 240, 8, 1, (GdkModifierType)0, GDK_BUTTON_PRESS));
    gui_pump(100);
    EXPECT_EQ(f.ts->drag_target, 2);
    int ox, oy;
    gdk_window_get_origin(w, &ox, &oy);
    for (int x = 250; x <= 600; x += 50) {
        gdk_display_warp_pointer(gdk_display_get_default(), gdk_screen_get_default(), ox + x, oy + 8);
        gui_pump(40);
    }
    gdk_test_simulate_button(w, 400, 8, 1, (GdkModifierType)0, GDK_BUTTON_RELEASE);
    gui_pump(100);
    EXPECT_EQ(f.ts->drag_target, 0);
    EXPECT_FLOAT_EQ(f.ts->wa_end, 100);
    EXPECT_FLOAT_EQ(f.ts->wa_begin, 20);
}

TEST(TimelineSubclip, KeyframesAnswerButtonThreeWithTheirData)
{
    NEED_DISPLAY();
    fixture f(400, 0, 0, 400, 0, 100);
    float pos[2] = {100, 300};
    int flag[2] = {1, 0};
    int a, b;
    gpointer data[2] = {&a, &b};
    timeline_subclip_set_layout(f.ts, 0, 0, 1, 10, 20, 2, pos, flag, data);
    pos[1] = 0; /* the widget keeps its own copy */
    EXPECT_TRUE(f.press(310, 25, 3));
    EXPECT_TRUE(f.press(310, 25, 3, GDK_2BUTTON_PRESS));
    EXPECT_FALSE(f.press(311, 25, 3)); /* 7 pixels off */
    EXPECT_FALSE(f.press(104, 25, 2));
    ASSERT_EQ(f.keys1.size(), 1u);
    ASSERT_EQ(f.keys2.size(), 1u);
    EXPECT_EQ(f.keys1[0], &b);
    EXPECT_EQ(f.keys2[0], &b);
    /* Below 0 keeps them; 0 drops them. */
    timeline_subclip_set_layout(f.ts, 0, 0, 1, 10, 20, -1, nullptr, nullptr, nullptr);
    EXPECT_EQ(f.ts->keyframes.cnt, 2);
    timeline_subclip_set_layout(f.ts, 0, 0, 1, 10, 20, 0, nullptr, nullptr, nullptr);
    EXPECT_EQ(f.ts->keyframes.cnt, 0);
    EXPECT_TRUE(f.ts->keyframes.pos == nullptr);
}

TEST(TimelineSubclip, ShadingPointerAndPreviewOnScreen)
{
    NEED_DISPLAY();
    fixture f(400, 300, 100, 200, 0, 100);
    gui_pump(100);
    /* Row 14 of the band is (154,154,154); the span lays half of
     * (115,140,205) over it, and over the in mark's black stem. */
    std::vector<int> shaded = f.pixel(154, 14), mark = f.pixel(104, 14);
    EXPECT_EQ(f.pixel(254, 14), (std::vector<int>{154, 154, 154}));
    EXPECT_NEAR(shaded[0], 134, 2);
    EXPECT_NEAR(shaded[1], 147, 2);
    EXPECT_NEAR(shaded[2], 179, 2);
    EXPECT_NEAR(mark[0], 57, 2);
    EXPECT_NEAR(mark[1], 70, 2);
    EXPECT_NEAR(mark[2], 102, 2);
    EXPECT_EQ(f.pixel(304, 26), (std::vector<int>{173, 205, 231})); /* pointer fill */
    /* Without marks: no shading and no mark, but the pointer stays. */
    timeline_subclip_set_layout(f.ts, 1, 50, 0, 0, 0, -1, nullptr, nullptr, nullptr);
    gui_pump(50);
    EXPECT_EQ(f.ts->f_preview, 1);
    EXPECT_EQ(f.pixel(154, 14), (std::vector<int>{154, 154, 154}));
    EXPECT_EQ(f.pixel(104, 14), (std::vector<int>{154, 154, 154}));
    EXPECT_EQ(f.pixel(54, 26), (std::vector<int>{173, 205, 231}));
}

TEST(TimelineSubclip, ZeroAndHugeLengths)
{
    NEED_DISPLAY();
    {
        /* Nothing to scale: everything sits at the left end, seeks give 0. */
        fixture f(0, 0, 0, 0, 0, 100);
        f.press(200, 15);
        ASSERT_EQ(f.seeks.size(), 1u);
        EXPECT_FLOAT_EQ(f.seeks[0], 0);
        EXPECT_EQ(f.pixel(4, 26), (std::vector<int>{173, 205, 231}));
    }
    {
        /* An empty work area of a real clip: seeks give its start. */
        fixture f(400, 0, 0, 400, 30, 30);
        f.press(300, 15);
        ASSERT_EQ(f.seeks.size(), 1u);
        EXPECT_FLOAT_EQ(f.seeks[0], 120);
    }
    {
        /* Weeks long: the coarsest density (labels 2000 s apart, so bunched at
         * the left end) and a label past the largest frame count; the label
         * ticks are still drawn in black over the shaded band. */
        fixture f(3e6f, 1.5e6f, 0, 3e6f, 0, 100);
        timeline_subclip_set_timecode_offset(f.ts, 2147400000);
        gui_pump(50);
        int black = 0;
        for (int x = 0; x < WIDTH; x++)
            black += f.pixel(x, 28) == std::vector<int>{0, 0, 0};
        EXPECT_GE(black, 1);
        f.press(404, 15);
        EXPECT_FLOAT_EQ(f.seeks.back(), 3e6f);
    }
}

} // namespace
