/* A show rehearsed against pelmora-sim over a media folder made with ffmpeg:
 * library clips put on a bus as a drop puts them are present with their
 * files' lengths and go ABSENT when their files go; a bus paired with an IO
 * server plays to air, the preview following the clip on air frame by frame
 * (checked against ffmpeg's decode) through takes, a live card, a play-out
 * and a stop, and the as-run log tells what went to air and when. */
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bus_dnd.h"
#include "pelmora.h"
#include "pelmora_io.h"
#include "pelmora_io_preview.h"
#include "pelmora_lib.h"
#include "pelmorabox.h"
#include "sim_child.h"
#include "timecode.h"

namespace {

void pump(int ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        while (gtk_events_pending())
            gtk_main_iteration_do(FALSE);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool pump_until(const std::function<bool()> &cond, int ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        pump(10);
        if (cond())
            return true;
    }
    return cond();
}

int64_t now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string sh(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n;
    while (p && (n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    if (p)
        pclose(p);
    return out;
}

/* 320x180 at 25 fps, lossless: red says which clip, green the row, blue
 * the frame number; ffmpeg's 1 kHz sine (1/8 of full scale) on two channels. */
void make_clip(const std::string &file, int red, int secs)
{
    std::string ff =
        "ffmpeg -v error -f lavfi -i \"color=c=black:s=320x180:r=25:d=" + std::to_string(secs) +
        ",format=rgb24,geq=r=" + std::to_string(red) +
        ":g='Y*255/H':b='N'\" -f lavfi -i sine=frequency=1000:sample_rate=48000:duration=" + std::to_string(secs) +
        " -af 'pan=stereo|c0=c0|c1=c0' -c:a pcm_s16le " + "-pix_fmt bgr0 -c:v ffv1 " + file;
    ASSERT_EQ(system(ff.c_str()), 0);
}

/* A simulator over `media` with its lines; stopped (cleanly) at the end. */
struct rehearsal_sim
{
    sim_child_t c;
    std::string url, lib_url, io_url, io_port;
    bool start(const std::vector<std::string> &args)
    {
        if (sim_child_start(&c, sim_child_bin(), args) < 0)
            return false;
        url = c.url;
        std::lock_guard<std::mutex> g(c.lock);
        for (const std::string &l : c.lines) {
            if (l.compare(0, 13, "library port ") == 0)
                lib_url = "http://127.0.0.1:" + l.substr(13) + "/RPC2";
            if (l.compare(0, 8, "io port ") == 0) {
                io_port = l.substr(8);
                io_url = "http://127.0.0.1:" + io_port + "/RPC2";
            }
        }
        return !lib_url.empty();
    }
    ~rehearsal_sim()
    {
        if (c.pid > 0) {
            EXPECT_EQ(sim_child_stop(&c), 0) << "pelmora-sim did not end cleanly";
        }
    }
};

struct Rehearsal : ::testing::Test
{
    std::string work;
    bus_t *bus = nullptr; /* only its (empty) folder rules are read by the drop */
    void SetUp() override
    {
        char d[] = "/tmp/rehearsal_XXXXXX";
        ASSERT_TRUE(mkdtemp(d));
        work = d;
        mkdir((work + "/media").c_str(), 0700);
        mkdir((work + "/media/news").c_str(), 0700);
        mkdir((work + "/data").c_str(), 0700);
        setenv("PELMORA_PREVIEW_ANNOUNCE", (work + "/announce").c_str(), 1);
        pelmora_init("rehearsal-test", "0");
        bus = (bus_t *)calloc(1, sizeof(bus_t));
    }
    void TearDown() override
    {
        free(bus);
        pelmora_release();
        system(("rm -rf " + work).c_str());
    }
    /* The event a drop of library item `path` makes, put at the end. */
    int drop(const std::string &url, const std::string &lib_url, const std::string &dir, const std::string &name)
    {
        pelmora_lib_item_t **items = nullptr;
        int n = pelmora_lib_list_items(lib_url.c_str(), dir.c_str(), &items);
        int r = -2;
        for (int i = 0; i < n; i++) {
            if (r == -2 && name == items[i]->name) {
                pelmorabox_event_t *e = bus_dnd_event_from_library(bus, nullptr, items[i], nullptr);
                pelmorabox_bus_state_t s;
                r = pelmorabox_insert_event2(url.c_str(), 0, -1, e, &s);
                pelmorabox_event_destroy(&e);
            }
            free(items[i]);
        }
        free(items);
        return r;
    }
    int insert(const std::string &url, const std::string &line)
    {
        pelmorabox_event_t *e = pelmorabox_event_create_from_string(line.c_str(), nullptr, 0);
        pelmorabox_bus_state_t s;
        int r = pelmorabox_insert_event2(url.c_str(), 0, -1, e, &s);
        pelmorabox_event_destroy(&e);
        return r;
    }
};

/* Event i of bus 0 as the console fetches its rows: duration text, flags,
 * start, sys_id; the bus state beside it. */
struct row
{
    std::string dur, media;
    int64_t flags = -1, start = 0, sys_id = 0;
};
row get_row(const std::string &url, int i, pelmorabox_bus_state_t *s = nullptr)
{
    int64_t idx = i;
    pelmorabox_event_t *e = nullptr;
    pelmorabox_bus_state_t st;
    row r;
    if (pelmorabox_get_events2(url.c_str(), 0, 1, &idx, &e, &st) == 1) {
        r = {e->duration, e->media_id, e->flags, e->start, e->sys_id};
        pelmorabox_event_destroy(&e);
    }
    if (s)
        *s = st;
    return r;
}

std::string tc(int frames)
{
    char b[32];
    return tc_frames2tc(frames, b);
}

} // namespace

TEST_F(Rehearsal, TheLibrarysFilesAreTheBusesMedia)
{
    make_clip(work + "/media/news/a.mkv", 60, 8);
    int frames = atoi(sh("ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=nb_read_frames "
                         "-of csv=p=0 " +
                         work + "/media/news/a.mkv")
                          .c_str());
    ASSERT_EQ(frames, 200);
    rehearsal_sim sim;
    ASSERT_TRUE(sim.start({"--automation=0", "--library=0", "--media=" + work + "/media", "--data=" + work + "/data"}));
    ASSERT_EQ(pelmora_lib_register_subclip(sim.lib_url.c_str(), "/news/a.mkv", 50, 25, "tease"), 0);

    /* Dropped from the library; named by its path alone; a subclip; a file
     * that is not there. */
    ASSERT_GE(drop(sim.url, sim.lib_url, "/news", "a.mkv"), 0);
    ASSERT_GE(insert(sim.url, "\t \t\t\t\tV\tnews/a.mkv\tBy path\t\t\t\t\t\t\t"), 0);
    ASSERT_GE(insert(sim.url, "\t \t\t\t\tV\t/news/a.mkv#tease\tSubclip\t\t\t\t\t\t\t"), 0);
    ASSERT_GE(insert(sim.url, "\t \t\t\t00:00:05:00\tV\t/news/gone.mkv\tMissing\t\t\t\t\t\t\t"), 0);
    pelmorabox_bus_state_t s;
    ASSERT_TRUE(pump_until(
        [&] {
            get_row(sim.url, 0, &s);
            return s.lib_queued_count == 0 && s.lib_present_count == 3;
        },
        5000))
        << s.lib_queued_count << " queued, " << s.lib_present_count << " present";
    EXPECT_EQ(s.lib_absent_count, 1);
    const int P = PELMORABOX_EVENT_FLAG_PRESENT, SUB = PELMORABOX_EVENT_FLAG_SUBCLIP;
    EXPECT_EQ(get_row(sim.url, 0).dur, tc(frames));
    EXPECT_EQ(get_row(sim.url, 1).dur, tc(frames)) << "the file's length, as the server knows it";
    EXPECT_EQ(get_row(sim.url, 2).dur, tc(25)) << "the subclip's length";
    EXPECT_EQ(get_row(sim.url, 2).flags & (P | SUB), P | SUB);
    for (int i = 0; i < 2; i++)
        EXPECT_EQ(get_row(sim.url, i).flags & (P | PELMORABOX_EVENT_FLAG_RANGE_ERR), P) << i;
    EXPECT_EQ(get_row(sim.url, 3).flags & P, 0);

    /* The file goes, then comes back: each within 2 s, the list's counter
     * moving so that every console refetches. */
    int64_t amend = s.amend;
    ASSERT_EQ(rename((work + "/media/news/a.mkv").c_str(), (work + "/a.mkv").c_str()), 0);
    EXPECT_TRUE(pump_until([&] { return (get_row(sim.url, 0, &s).flags & P) == 0 && s.lib_absent_count == 4; }, 2000));
    EXPECT_GT(s.amend, amend);
    EXPECT_EQ(get_row(sim.url, 2).flags & P, 0);
    ASSERT_EQ(rename((work + "/a.mkv").c_str(), (work + "/media/news/a.mkv").c_str()), 0);
    EXPECT_TRUE(pump_until([&] { return (get_row(sim.url, 1, &s).flags & P) && s.lib_present_count == 3; }, 2000));
}

TEST_F(Rehearsal, ABusPlaysToAirThroughItsIOServer)
{
    make_clip(work + "/media/news/a.mkv", 60, 8);
    make_clip(work + "/media/news/b.mkv", 200, 8);
    rehearsal_sim sim;
    ASSERT_TRUE(sim.start({"--automation=0", "--library=0", "--media=" + work + "/media", "--data=" + work + "/data",
                           "--io=0", "--bus-io=0:%0"}));
    ASSERT_GE(drop(sim.url, sim.lib_url, "/news", "a.mkv"), 0);
    ASSERT_GE(insert(sim.url, "\t \t\t\t00:00:05:00\tL\t#CAM1\tStudio A\t\t\t\t\t\t\t"), 0);
    ASSERT_GE(insert(sim.url, "\t \t00:00:02:00\t00:00:03:24\t00:00:02:00\tV\t/news/b.mkv\tB\t\t\t\t\t\t\t"), 0);
    ASSERT_GE(insert(sim.url, "\t \t00:00:04:00\t\t00:00:04:00\tV\t/news/a.mkv\tA again\t\t\t\t\t\t\t"), 0);

    setenv("NDI_RUNTIME_DIR_V3", PELMORA_PREVIEW_RUNTIME_DIR, 1);
    ASSERT_EQ(pelmora_io_preview_init(), 0);
    GtkWidget *win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *top = pelmora_io_preview_create("127.0.0.1", ("PelmoraIO_" + sim.io_port).c_str(), 480, 270);
    gtk_container_add(GTK_CONTAINER(win), top);
    gtk_widget_show_all(win);
    pelmora_io_preview_t *ctx = pelmora_io_preview_get(top);
    GtkWidget *area = ctx->ndi_window;
    auto px = [&](int x, int y, int rgb[3]) {
        GdkPixbuf *pb = gdk_pixbuf_get_from_drawable(nullptr, area->window, gdk_drawable_get_colormap(area->window), x,
                                                     y, 0, 0, 1, 1);
        if (!pb)
            return false;
        for (int i = 0; i < 3; i++)
            rgb[i] = gdk_pixbuf_get_pixels(pb)[i];
        g_object_unref(pb);
        return true;
    };
    auto red_is = [&](int red) {
        int p[3];
        return px(240, 135, p) && abs(p[0] - red) <= 3;
    };
    auto black = [&] {
        int p[3], q[3];
        return px(240, 135, p) && px(20, 20, q) && p[0] + p[1] + p[2] + q[0] + q[1] + q[2] == 0;
    };

    /* Stopped: black, and the meters fall silent. */
    EXPECT_TRUE(pump_until([&] { return black() && pelmora_io_preview_level(ctx, 0) < -40; }, 10000));

    /* On air: clip A from its mark in at the server's clock. The frame shown
     * is the frame ffmpeg decodes at that position. */
    pelmorabox_bus_state_t s;
    ASSERT_EQ(pelmorabox_run(sim.url.c_str(), 0, 1, &s), 0);
    row a = get_row(sim.url, 0);
    ASSERT_TRUE(pump_until([&] { return red_is(60); }, 5000)) << "clip A never shown";
    pump(600);
    int p[3];
    ASSERT_TRUE(px(240, 135, p));
    int shown = p[2], expect = (int)((now_ms() - a.start) / 40);
    EXPECT_NEAR(shown, expect, 12) << "frame shown against the position on air";
    std::string raw = sh("ffmpeg -v error -i " + work + "/media/news/a.mkv -vf select='eq(n\\," +
                         std::to_string(shown) + ")' -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
    ASSERT_EQ(raw.size(), (size_t)320 * 180 * 3);
    const int pts[][2] = {{15, 15}, {240, 135}, {450, 30}, {60, 250}};
    for (const auto &pt : pts) {
        ASSERT_TRUE(px(pt[0], pt[1], p));
        const unsigned char *f = (const unsigned char *)raw.data() + ((pt[1] * 2 / 3) * 320 + pt[0] * 2 / 3) * 3;
        EXPECT_NEAR(p[0], f[0], 3) << pt[0] << "," << pt[1];
        EXPECT_NEAR(p[1], f[1], 6) << pt[0] << "," << pt[1];
        EXPECT_NEAR(p[2], f[2], 3) << pt[0] << "," << pt[1];
    }
    /* Its sound, at its own level: 1/8 of full scale on the first pair. */
    EXPECT_NEAR(pelmora_io_preview_level(ctx, 0), 20 * log10(0.125), 2.5);
    EXPECT_LT(pelmora_io_preview_level(ctx, 6), -25);

    /* A take puts the live source on air: a test card (bars on top). */
    ASSERT_EQ(pelmorabox_take(sim.url.c_str(), 0, &s), 0);
    row live = get_row(sim.url, 0);
    EXPECT_TRUE(pump_until([&] { return px(20, 20, p) && abs(p[0] - 191) <= 3 && abs(p[2] - 191) <= 3; }, 3000));
    pelmora_status_t io;
    ASSERT_EQ(pelmora_getstatus(sim.io_url.c_str(), &io), 0);
    EXPECT_STREQ(io.name, "#CAM1");
    EXPECT_STREQ(io.cookie, "Studio A");

    /* The next take: clip B from its mark in (frame 50), which then plays
     * out; A follows from frame 100, and a stop leaves black. */
    ASSERT_EQ(pelmorabox_take(sim.url.c_str(), 0, &s), 0);
    row b = get_row(sim.url, 0);
    ASSERT_TRUE(pump_until([&] { return red_is(200); }, 3000)) << "clip B never shown";
    ASSERT_TRUE(px(240, 135, p));
    EXPECT_NEAR(p[2], 50 + (now_ms() - b.start) / 40, 12);
    ASSERT_TRUE(pump_until([&] { return red_is(60); }, 5000)) << "A again never followed B";
    row again = get_row(sim.url, 0);
    ASSERT_TRUE(px(240, 135, p));
    EXPECT_NEAR(p[2], 100 + (now_ms() - again.start) / 40, 12);
    EXPECT_EQ(again.start, b.start + 2000) << "B's planned end";
    pump(500);
    ASSERT_EQ(pelmorabox_run(sim.url.c_str(), 0, 0, &s), 0);
    int64_t stopped = now_ms();
    EXPECT_TRUE(pump_until([&] { return black() && pelmora_io_preview_level(ctx, 0) < -40; }, 5000));

    /* The as-run log: one whole line per event that went to air. */
    std::vector<std::vector<std::string>> lines;
    ASSERT_TRUE(pump_until(
        [&] {
            lines.clear();
            std::ifstream in(work + "/data/asrun-bus-0.log");
            for (std::string l; std::getline(in, l);) {
                std::vector<std::string> f;
                std::stringstream ss(l);
                for (std::string x; std::getline(ss, x, '\t');)
                    f.push_back(x);
                lines.push_back(f);
            }
            return lines.size() >= 4;
        },
        3000));
    ASSERT_EQ(lines.size(), 4u);
    const row *aired[] = {&a, &live, &b, &again};
    const char *how[] = {"taken", "taken", "played out", "stopped"};
    for (int i = 0; i < 4; i++) {
        ASSERT_EQ(lines[i].size(), 8u) << i;
        EXPECT_EQ(lines[i][1], std::to_string(aired[i]->start)) << i;
        EXPECT_EQ(lines[i][2], std::to_string(aired[i]->sys_id)) << i;
        EXPECT_EQ(lines[i][3], aired[i]->media) << i;
        EXPECT_EQ(lines[i][6], how[i]) << i;
    }
    EXPECT_EQ(lines[0][4], "00:00:08:00");
    EXPECT_EQ(lines[2][4], "00:00:02:00");
    EXPECT_EQ(lines[2][5], "00:00:02:00");
    int f = tc_tc2frames(lines[3][5].c_str());
    EXPECT_NEAR(f, (stopped - again.start) / 40, 3);

    gtk_widget_destroy(win);
    pump(50);
    pelmora_io_preview_release();
}

int main(int argc, char **argv)
{
    gtk_init(&argc, &argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
