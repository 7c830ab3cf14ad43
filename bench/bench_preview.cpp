/* Preview figures (docs/performance.md, "Network preview"): N previews of
 * one simulated IO player playing a 320x180 25 fps clip through the
 * stand-in runtime; prints the process's CPU and the delay from a frame's
 * sending to its drawing. Run under a virtual display:
 * xvfb-run -a BUILD/bin/bench_preview [N] [SECONDS]. */
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "pelmora.h"
#include "pelmora_io.h"
#include "pelmora_io_preview.h"
#include "sim_child.h"

static std::vector<double> delays_ms;

static pelmora_io_preview_t *first;

/* Right after each main-loop iteration: a new stamp means a frame was just
 * drawn. */
static void note_drawn(void)
{
    static int64_t last = 0;
    if (first && first->drawn_timestamp && first->drawn_timestamp != last) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        int64_t t = (int64_t)now.tv_sec * 10000000 + now.tv_nsec / 100;
        delays_ms.push_back((double)(t - first->drawn_timestamp) / 10000.0);
        last = first->drawn_timestamp;
    }
}

static double cpu_s(void)
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

static void pump_for(double sec)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(sec);
    while (std::chrono::steady_clock::now() < end) {
        while (gtk_events_pending()) {
            gtk_main_iteration_do(FALSE);
            note_drawn();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

int main(int argc, char **argv)
{
    gtk_init(&argc, &argv);
    int n = argc > 1 ? std::max(1, std::min(atoi(argv[1]), 16)) : 1;
    double secs = argc > 2 ? std::max(2.0, atof(argv[2])) : 10;
    char dir[] = "/tmp/bench_prv_XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    std::string work = dir;
    setenv("PELMORA_PREVIEW_ANNOUNCE", (work + "/announce").c_str(), 1);
    setenv("NDI_RUNTIME_DIR_V3", PELMORA_PREVIEW_RUNTIME_DIR, 1);
    std::string ff = "mkdir -p " + work +
                     "/media && ffmpeg -v error -f lavfi -i testsrc2=s=320x180:r=25:d=60 "
                     "-c:v libx264 -g 25 -pix_fmt yuv420p " +
                     work + "/media/clip.mp4";
    if (system(ff.c_str()) != 0)
        return 1;
    sim_child_t sim;
    if (sim_child_start(&sim, sim_child_bin(),
                        {"--automation=0", "--data=" + work, "--library=0", "--media=" + work + "/media", "--io=0"}) <
        0)
        return 1;
    std::string io;
    {
        std::lock_guard<std::mutex> g(sim.lock);
        for (const std::string &l : sim.lines)
            if (l.compare(0, 8, "io port ") == 0)
                io = l.substr(8);
    }
    std::string url = "http://127.0.0.1:" + io + "/RPC2";
    pelmora_init("bench-preview", "0");
    if (pelmora_io_preview_init() < 0)
        return 1;
    pelmora_playlist_append(url.c_str(), "/clip.mp4", 0, 1500, nullptr, nullptr, "b");
    pelmora_cue_play(url.c_str());
    pelmora_play(url.c_str());

    GtkWidget *win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *box = gtk_vbox_new(FALSE, 0);
    gtk_container_add(GTK_CONTAINER(win), box);
    for (int i = 0; i < n; i++) {
        GtkWidget *p = pelmora_io_preview_create("127.0.0.1", ("PelmoraIO_" + io).c_str(), 320, 180);
        gtk_box_pack_start(GTK_BOX(box), p, FALSE, FALSE, 0);
        if (i == 0)
            first = pelmora_io_preview_get(p);
    }
    gtk_widget_show_all(win);
    pump_for(3); /* connected and steady */
    delays_ms.clear();
    double c0 = cpu_s();
    auto w0 = std::chrono::steady_clock::now();
    pump_for(secs);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    double cpu = cpu_s() - c0;
    std::sort(delays_ms.begin(), delays_ms.end());
    auto pct = [](double q) { return delays_ms.empty() ? 0 : delays_ms[(size_t)(q * (delays_ms.size() - 1))]; };
    printf("previews %d: CPU %.1f%% of one core over %.1f s; frames drawn (first preview) %zu = %.1f/s; "
           "send-to-draw delay ms: median %.1f, p95 %.1f, max %.1f\n",
           n, 100 * cpu / wall, wall, delays_ms.size(), delays_ms.size() / wall, pct(0.5), pct(0.95), pct(1.0));
    gtk_widget_destroy(win);
    pump_for(0.1);
    pelmora_io_preview_release();
    pelmora_release();
    sim_child_stop(&sim);
    system(("rm -rf " + work).c_str());
    return 0;
}
