/* The preview: the meter's ballistics, the widget without a runtime, and the
 * widget against the simulator's IO player through the stand-in runtime:
 * the picture drawn, the meters' readings and the sound heard on a sound
 * server of the test's own. */
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "../io/io_sim.h"
#include "child_process.h"
#include "gui_loop.h"
#include "media_fixture.h"
#include "pelmora.h"
#include "pelmora_io.h"
#include "pelmora_io_preview.h"
#include "qpm.h"

namespace {

std::string make_dir(const char *tag)
{
    std::string t = std::string("/tmp/prv_") + tag + "_XXXXXX";
    return mkdtemp(&t[0]) ? t : "";
}

/* A sound server of our own with a 48 kHz null sink as the default. */
struct pulse_server
{
    std::string dir, sock;
    std::unique_ptr<child_process> proc;
    bool start()
    {
        if (dir.empty()) {
            dir = make_dir("pulse");
            sock = dir + "/native";
            FILE *f = fopen((dir + "/pa.conf").c_str(), "w");
            if (!f)
                return false;
            fprintf(f,
                    "load-module module-null-sink sink_name=prv rate=48000 channels=2\n"
                    "load-module module-native-protocol-unix auth-anonymous=1 socket=%s\n"
                    "set-default-sink prv\n",
                    sock.c_str());
            fclose(f);
        }
        setenv("PULSE_RUNTIME_PATH", dir.c_str(), 1);
        proc = std::make_unique<child_process>();
        proc->start({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                     "--disable-shm=yes", "-F", dir + "/pa.conf"});
        for (int i = 0; i < 100 && access(sock.c_str(), F_OK) != 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return access(sock.c_str(), F_OK) == 0;
    }
    void stop()
    {
        if (proc)
            proc->term();
        proc.reset();
        unlink(sock.c_str());
    }
    ~pulse_server()
    {
        stop();
        if (!dir.empty())
            system(("rm -rf " + dir).c_str());
    }
    /* RMS in dBFS of each channel of `ms` of the sink's monitor. */
    bool record(int ms, double *l, double *r)
    {
        child_process p;
        p.pipe_out = true;
        if (!p.start({"parec", "--server=unix:" + sock, "-d", "prv.monitor", "--format=s16le", "--rate=48000",
                      "--channels=2", "--raw"}))
            return false;
        int fd = p.out_fd;
        size_t want = (size_t)48 * ms * 4, got = 0;
        std::vector<int16_t> buf(want / 2);
        while (got < want) {
            ssize_t n = read(fd, (char *)buf.data() + got, want - got);
            if (n <= 0)
                break;
            got += (size_t)n;
        }
        p.term();
        double s[2] = {0, 0};
        size_t frames = got / 4;
        for (size_t i = 0; i < frames; i++)
            for (int c = 0; c < 2; c++)
                s[c] += (double)buf[i * 2 + c] * buf[i * 2 + c];
        *l = 10 * log10(s[0] / std::max<size_t>(frames, 1) / (32768.0 * 32768.0) + 1e-20);
        *r = 10 * log10(s[1] / std::max<size_t>(frames, 1) / (32768.0 * 32768.0) + 1e-20);
        return frames > 0 && got == want;
    }
};

/* What a type-10 meter reads after `sec` of a 1 kHz tone of `dbfs` peak,
 * quantised to 16 bits as the preview receives it. */
double meter_model(double dbfs, double sec)
{
    qpm_t *m = nullptr;
    qpm_create(10, &m);
    double a = pow(10, dbfs / 20);
    for (int i = 0; i < (int)(sec * 48000); i++)
        qpm_sample(m, lrint(a * sin(2 * M_PI * 1000.0 * (i % 48000) / 48000) * 32767) / 32767.0, 1.0 / 48000);
    double db = 0;
    qpm_value_curr(m, 1, &db);
    qpm_release(&m);
    return db;
}

/* The pixel drawn at (x, y) of the picture area. */
bool pixel(GtkWidget *area, int x, int y, int rgb[3])
{
    GdkPixbuf *pb =
        gdk_pixbuf_get_from_drawable(nullptr, area->window, gdk_drawable_get_colormap(area->window), x, y, 0, 0, 1, 1);
    if (!pb)
        return false;
    const guchar *p = gdk_pixbuf_get_pixels(pb);
    for (int i = 0; i < 3; i++)
        rgb[i] = p[i];
    g_object_unref(pb);
    return true;
}

} // namespace

TEST(PreviewMeter, BallisticsAndLimits)
{
    qpm_t *m = nullptr;
    EXPECT_EQ(qpm_create(7, &m), -1);
    EXPECT_EQ(m, nullptr);
    ASSERT_EQ(qpm_create(10, &m), 0);
    double db = 0;
    /* Silence reads the floor. */
    qpm_value_curr(m, 1, &db);
    EXPECT_TRUE(isinf(db) && db < 0);
    /* A steady full-scale level charges to k / (1 + k) of it. */
    for (int i = 0; i < 48000; i++)
        qpm_sample(m, i % 2 ? 1.0 : -1.0, 1.0 / 48000);
    qpm_value_curr(m, 1, &db);
    EXPECT_NEAR(db, 20 * log10(466.0 / 467.0), 0.01);
    /* One second of silence falls by 1 / 1.15 of a neper. */
    double before = db;
    for (int i = 0; i < 48000; i++)
        qpm_sample(m, 0, 1.0 / 48000);
    qpm_value_curr(m, 1, &db);
    EXPECT_NEAR(before - db, 20 * log10(M_E) / 1.15, 0.02);
    double mx = 0;
    EXPECT_EQ(qpm_value_max_once(m, 1, &mx), 0);
    EXPECT_NEAR(mx, before, 0.01);
    qpm_raw_Vc_max(m, &mx);
    EXPECT_EQ(mx, 0);
    EXPECT_EQ(qpm_release(&m), 0);
    EXPECT_EQ(qpm_release(&m), -1);
    EXPECT_EQ(qpm_sample(nullptr, 1, 1), -1);
}

TEST(PreviewMeter, HostileFramesAreNotDrawn)
{
    static uint8_t px[64 * 4 * 2];
    ndi_video_frame_v2_t f;
    memset(&f, 0, sizeof(f));
    f.xres = 64;
    f.yres = 2;
    f.FourCC = NDI_FOURCC_BGRX;
    f.p_data = px;
    EXPECT_EQ(preview_recv_frame_stride(&f), 256); /* 0 means 4 x width */
    f.line_stride_in_bytes = 100;                  /* shorter than a line */
    EXPECT_EQ(preview_recv_frame_stride(&f), 0);
    f.line_stride_in_bytes = -256; /* flipped */
    EXPECT_EQ(preview_recv_frame_stride(&f), 0);
    f.line_stride_in_bytes = 0x7fffffff;
    EXPECT_EQ(preview_recv_frame_stride(&f), 0);
    f.line_stride_in_bytes = 0;
    f.xres = PREVIEW_MAX_SIDE + 1;
    EXPECT_EQ(preview_recv_frame_stride(&f), 0);
    f.xres = 64;
    f.yres = -2;
    EXPECT_EQ(preview_recv_frame_stride(&f), 0);
    f.yres = 2;
    f.FourCC = NDI_FOURCC('U', 'Y', 'V', 'Y'); /* we asked for BGRX */
    EXPECT_EQ(preview_recv_frame_stride(&f), 0);
    f.FourCC = NDI_FOURCC_BGRA;
    f.p_data = nullptr;
    EXPECT_EQ(preview_recv_frame_stride(&f), 0);
}

TEST(PreviewRuntime, NoRuntimeLeavesTheWidgetEmpty)
{
    unsetenv("NDI_RUNTIME_DIR_V3");
    EXPECT_EQ(pelmora_io_preview_init(), -2);
    setenv("NDI_RUNTIME_DIR_V3", "/nonexistent", 1);
    EXPECT_EQ(pelmora_io_preview_init(), -2);
    /* A library without the loader entry point is refused and unloaded. */
    std::string dir = make_dir("rt");
    ASSERT_EQ(symlink("/lib/x86_64-linux-gnu/libm.so.6", (dir + "/libndi.so.3").c_str()), 0);
    setenv("NDI_RUNTIME_DIR_V3", dir.c_str(), 1);
    EXPECT_EQ(pelmora_io_preview_init(), -2);
    EXPECT_EQ(pelmora_ndi_api, nullptr);
    system(("rm -rf " + dir).c_str());

    GtkWidget *win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *top = pelmora_io_preview_create("127.0.0.1", "PelmoraIO_1", 320, 180);
    gtk_container_add(GTK_CONTAINER(win), top);
    gtk_widget_show_all(win);
    gui_pump(200);
    pelmora_io_preview_t *ctx = pelmora_io_preview_get(top);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->recv, nullptr);
    EXPECT_EQ(preview_recv_threads(), 0);
    EXPECT_TRUE(GTK_WIDGET_VISIBLE(ctx->ndi_window) && GTK_WIDGET_VISIBLE(ctx->qpm_window));
    EXPECT_TRUE(isinf(pelmora_io_preview_level(ctx, 0)));
    pelmora_io_preview_track_click(ctx, 2);
    pelmora_io_preview_volume(ctx, 100);
    EXPECT_EQ(ctx->track_state, 2);
    gtk_widget_destroy(win);
    gui_pump(50);
}

TEST(PreviewLive, PictureMetersAndSound)
{
    pulse_server pa;
    ASSERT_TRUE(pa.start()) << "no sound server";
    setenv("PULSE_SERVER", ("unix:" + pa.sock).c_str(), 1);
    std::string work = make_dir("live");
    setenv("PELMORA_PREVIEW_ANNOUNCE", (work + "/announce").c_str(), 1);
    mkdir((work + "/media").c_str(), 0700);
    ASSERT_TRUE(media_position_clip(work + "/media/clip.mkv", 8, true));
    io_sim sim(1, {"--library=0", "--media=" + work + "/media"});
    ASSERT_TRUE(sim.ok());
    const char *url = sim.urls[0].c_str();
    std::string port = sim.hosts[0].substr(sim.hosts[0].find(':') + 1);

    setenv("NDI_RUNTIME_DIR_V3", PELMORA_PREVIEW_RUNTIME_DIR, 1);
    ASSERT_EQ(pelmora_io_preview_init(), 0);
    pelmora_init("preview-test", "0");
    GtkWidget *win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *top = pelmora_io_preview_create("127.0.0.1", ("PelmoraIO_" + port).c_str(), 480, 270);
    gtk_container_add(GTK_CONTAINER(win), top);
    gtk_widget_show_all(win);
    pelmora_io_preview_t *ctx = pelmora_io_preview_get(top);
    ASSERT_NE(ctx, nullptr);
    ASSERT_NE(ctx->recv, nullptr);
    pelmora_io_preview_volume(ctx, 65535);
    /* Sources are matched by address and by the whole name in parentheses:
     * a longer port number or another address is not this player. */
    GtkWidget *other = pelmora_io_preview_create("127.0.0.1", ("PelmoraIO_" + port + "0").c_str(), 160, 90);
    GtkWidget *elsewhere = pelmora_io_preview_create("127.0.0.10", ("PelmoraIO_" + port).c_str(), 160, 90);
    gtk_box_pack_start(GTK_BOX(top), other, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(top), elsewhere, FALSE, FALSE, 0);

    /* Idle player: line-up tone; each meter reads what the model gives. */
    ASSERT_TRUE(gui_pump_until([&] { return ctx->recv->connected && pelmora_io_preview_level(ctx, 0) > -20; }, 10000));
    gui_pump(500);
    for (int ch = 0; ch < 7; ch++)
        EXPECT_NEAR(pelmora_io_preview_level(ctx, ch), meter_model(-6.0 - 2 * ch, 0.5), 0.5) << "meter " << ch;
    EXPECT_FALSE(pelmora_io_preview_get(other)->recv->connected);
    EXPECT_FALSE(pelmora_io_preview_get(elsewhere)->recv->connected);
    EXPECT_EQ(preview_recv_threads(), 3);
    double floor7 = pelmora_io_preview_level(ctx, 7);
    EXPECT_TRUE(isinf(floor7) && floor7 < 0) << floor7;

    /* The picture: the clip's frame at the player's position, scaled 1.5. */
    GtkWidget *area = ctx->ndi_window;
    ASSERT_EQ(pelmora_playlist_append(url, "/clip.mkv", 0, 200, nullptr, nullptr, "c"), 0);
    ASSERT_EQ(pelmora_cue_play(url), 0);
    ASSERT_EQ(pelmora_playlist_seek(url, 10), 0);
    auto blue_is = [&](int b) {
        int px[3];
        return pixel(area, 240, 135, px) && abs(px[2] - b) <= 3;
    };
    ASSERT_TRUE(gui_pump_until([&] { return blue_is(80); }, 10000)) << "frame 10 never drawn";
    const int pts[][2] = {{15, 15}, {240, 135}, {450, 30}, {60, 250}, {420, 240}};
    for (const auto &p : pts) {
        int px[3];
        ASSERT_TRUE(pixel(area, p[0], p[1], px));
        EXPECT_NEAR(px[0], (p[0] / 1.5) * 255 / 320, 6) << p[0] << "," << p[1];
        EXPECT_NEAR(px[1], (p[1] / 1.5) * 255 / 180, 6) << p[0] << "," << p[1];
        EXPECT_NEAR(px[2], 80, 3);
    }
    ASSERT_EQ(pelmora_playlist_seek(url, 27), 0);
    EXPECT_TRUE(gui_pump_until([&] { return blue_is(216); }, 5000)) << "seek not followed";
    ASSERT_EQ(pelmora_play(url), 0);
    EXPECT_TRUE(gui_pump_until([&] { return !blue_is(216); }, 5000)) << "play not followed";
    /* Playing, the meters follow the clip's sound: a 1 kHz sine of 1/8 of
     * full scale on both channels, nothing on the others. */
    gui_pump(1500);
    EXPECT_NEAR(pelmora_io_preview_level(ctx, 0), meter_model(20 * log10(0.125), 0.5), 1.5);
    EXPECT_NEAR(pelmora_io_preview_level(ctx, 1), meter_model(20 * log10(0.125), 0.5), 1.5);
    EXPECT_LT(pelmora_io_preview_level(ctx, 6), -25);

    /* Sound: the idle player's tone; the selected pair reaches the sink at
     * the stream's volume. */
    ASSERT_EQ(pelmora_stop(url), 0);
    double l = 0, r = 0;
    /* On a loaded machine blocks can come late and leave gaps, and the
     * sink still holds what was queued before a change: the level heard is
     * waited for, not sampled once. */
    auto hears = [&](double el, double er, double tol = 1) {
        return gui_pump_until([&] { return pa.record(300, &l, &r) && fabs(l - el) < tol && fabs(r - er) < tol; }, 5000);
    };
    ASSERT_TRUE(gui_pump_until([&] { return preview_sound_is_open(ctx->recv->sound); }, 5000));
    EXPECT_TRUE(hears(-6 - 3.01, -8 - 3.01)) << "pair 1 heard at " << l << " / " << r << " dBFS RMS";
    /* The slider is a linear gain: half way is 6 dB down, a quarter 12. */
    const struct
    {
        int value;
        double db;
    } gains[] = {{32768, -6.02}, {16384, -12.04}};
    for (const auto &g : gains) {
        pelmora_io_preview_volume(ctx, g.value);
        EXPECT_TRUE(hears(-6 - 3.01 + g.db, -8 - 3.01 + g.db, 0.5))
            << "volume " << g.value << " heard at " << l << " / " << r << " dBFS RMS";
    }
    pelmora_io_preview_volume(ctx, 65535);
    pelmora_io_preview_track_click(ctx, 2);
    EXPECT_TRUE(hears(-10 - 3.01, -12 - 3.01)) << "pair 2 heard at " << l << " / " << r << " dBFS RMS";
    pelmora_io_preview_track_click(ctx, 2); /* again: muted */
    EXPECT_EQ(ctx->track_state, 0);
    EXPECT_TRUE(gui_pump_until([&] { return pa.record(300, &l, &r) && l < -80 && r < -80; }, 5000))
        << "muted, yet heard at " << l << " / " << r;

    /* The sound server goes and comes back: sound returns within ~3 s. */
    pelmora_io_preview_track_click(ctx, 1);
    pa.stop();
    gui_pump(800);
    pelmora_io_preview_volume(ctx, 65535); /* must not touch a released output */
    ASSERT_TRUE(pa.start());
    bool back = gui_pump_until(
        [&] {
            double a, b;
            return pa.record(200, &a, &b) && a > -20;
        },
        6000);
    EXPECT_TRUE(back) << "no sound after the server came back";

    gtk_widget_destroy(win);
    gui_pump(50);
    EXPECT_EQ(preview_recv_threads(), 0);
    pelmora_io_preview_release();
    pelmora_release();
    system(("rm -rf " + work).c_str());
}

TEST(PreviewLive, SourceLostAndFoundAgain)
{
    /* The IO server goes away while shown: the meters fall; it comes back
     * on its port and the picture follows its player again, without the
     * operator doing anything. */
    std::string work = make_dir("lost");
    setenv("PELMORA_PREVIEW_ANNOUNCE", (work + "/announce").c_str(), 1);
    mkdir((work + "/media").c_str(), 0700);
    ASSERT_TRUE(media_position_clip(work + "/media/clip.mkv", 4));
    const std::vector<std::string> lib = {"--library=0", "--media=" + work + "/media"};
    auto sim = std::make_unique<io_sim>(1, lib);
    ASSERT_TRUE(sim->ok());
    const std::string port = sim->hosts[0].substr(sim->hosts[0].find(':') + 1);

    setenv("NDI_RUNTIME_DIR_V3", PELMORA_PREVIEW_RUNTIME_DIR, 1);
    ASSERT_EQ(pelmora_io_preview_init(), 0);
    pelmora_init("preview-test", "0");
    GtkWidget *win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *top = pelmora_io_preview_create("127.0.0.1", ("PelmoraIO_" + port).c_str(), 320, 180);
    gtk_container_add(GTK_CONTAINER(win), top);
    gtk_widget_show_all(win);
    pelmora_io_preview_t *ctx = pelmora_io_preview_get(top);
    ASSERT_NE(ctx, nullptr);
    auto blue_is = [&](int b) {
        int px[3];
        return pixel(ctx->ndi_window, 160, 90, px) && abs(px[2] - b) <= 3;
    };
    auto show_frame = [&](const std::string &url, int frame) {
        return pelmora_playlist_append(url.c_str(), "/clip.mkv", 0, 100, nullptr, nullptr, "c") == 0 &&
               pelmora_cue_play(url.c_str()) == 0 && pelmora_playlist_seek(url.c_str(), frame) == 0;
    };
    ASSERT_TRUE(show_frame(sim->urls[0], 10));
    ASSERT_TRUE(gui_pump_until([&] { return blue_is(80); }, 10000)) << "frame 10 never drawn";
    ASSERT_TRUE(gui_pump_until([&] { return pelmora_io_preview_level(ctx, 0) > -40; }, 5000));

    double playing = pelmora_io_preview_level(ctx, 0);
    ASSERT_EQ(sim->stop(), 0);
    sim.reset();
    /* Nothing comes in: the meters fall back at their own pace, and the last
     * picture is dimmed (its blue of 80 drawn at 40 %) and labelled. */
    EXPECT_TRUE(gui_pump_until([&] { return pelmora_io_preview_level(ctx, 0) < playing - 10; }, 4000))
        << "the meters still read " << pelmora_io_preview_level(ctx, 0) << " with the server gone";
    auto dimmed = [&] { /* a corner, away from the label */
                        int px[3];
                        return pixel(ctx->ndi_window, 15, 15, px) && abs(px[2] - 32) <= 3;
    };
    EXPECT_TRUE(gui_pump_until([&] { return preview_recv_stale(ctx->recv) && dimmed(); }, 3000))
        << "the last picture still passes for the channel";

    std::vector<std::string> again = lib;
    again.push_back("--io=" + port);
    sim = std::make_unique<io_sim>(0, again);
    ASSERT_TRUE(sim->ok()) << "the simulator did not come back on port " << port;
    ASSERT_TRUE(show_frame(sim->urls[0], 27));
    EXPECT_TRUE(gui_pump_until([&] { return blue_is(216); }, 10000)) << "the picture did not come back";
    EXPECT_EQ(preview_recv_threads(), 1);

    gtk_widget_destroy(win);
    gui_pump(50);
    EXPECT_EQ(preview_recv_threads(), 0);
    pelmora_io_preview_release();
    pelmora_release();
    system(("rm -rf " + work).c_str());
}

int main(int argc, char **argv)
{
    gtk_init(&argc, &argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
