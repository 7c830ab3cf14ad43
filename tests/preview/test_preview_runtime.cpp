/* The preview against runtimes and players that cannot be trusted: a
 * runtime table with empty slots or a capture that never comes back, and
 * the stand-in runtime (loaded into this process as the console loads it)
 * facing players that answer malformed values, name files it must not
 * open, or name a small clip holding a huge picture. */
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "gui_loop.h"
#include "pelmora_io_preview.h"
#include "raw_http_server.h"
#include "test_xmlrpc_server.h"

namespace {

std::string make_dir(const char *tag)
{
    std::string t = std::string("/tmp/prvrt_") + tag + "_XXXXXX";
    return mkdtemp(&t[0]) ? t : "";
}

bool write_file(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "w");
    if (!f)
        return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    return fclose(f) == 0 && ok;
}

/* A window holding one preview of the source "... (name)" at 127.0.0.1. */
struct preview_window
{
    GtkWidget *win = nullptr;
    pelmora_io_preview_t *ctx = nullptr;
    explicit preview_window(const std::string &name)
    {
        win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        GtkWidget *top = pelmora_io_preview_create("127.0.0.1", name.c_str(), 320, 180);
        gtk_container_add(GTK_CONTAINER(win), top);
        gtk_widget_show_all(win);
        ctx = pelmora_io_preview_get(top);
    }
    void close()
    {
        if (win)
            gtk_widget_destroy(win);
        win = nullptr;
        ctx = nullptr;
    }
    ~preview_window() { close(); }
    bool pixel(int x, int y, int rgb[3])
    {
        GdkWindow *w = ctx->ndi_window->window;
        GdkPixbuf *pb = gdk_pixbuf_get_from_drawable(nullptr, w, gdk_drawable_get_colormap(w), x, y, 0, 0, 1, 1);
        if (!pb)
            return false;
        for (int i = 0; i < 3; i++)
            rgb[i] = gdk_pixbuf_get_pixels(pb)[i];
        g_object_unref(pb);
        return true;
    }
    bool shows(int x, int y, int r, int g, int b)
    {
        int px[3];
        return pixel(x, y, px) && abs(px[0] - r) <= 12 && abs(px[1] - g) <= 12 && abs(px[2] - b) <= 12;
    }
};

/* The stand-in runtime loaded and a private announcement folder in which
 * a test announces its players; released and removed at the end. */
struct standin
{
    std::string announce;
    standin()
    {
        announce = make_dir("announce");
        setenv("PELMORA_PREVIEW_ANNOUNCE", announce.c_str(), 1);
        setenv("NDI_RUNTIME_DIR_V3", PELMORA_PREVIEW_RUNTIME_DIR, 1);
    }
    bool init() { return pelmora_io_preview_init() == 0; }
    /* The player on `port` serves the media folder `media` ("" for none). */
    bool announce_player(int port, const std::string &media)
    {
        return write_file(announce + "/" + std::to_string(port), media.empty() ? "" : "media=" + media + "\n");
    }
    ~standin()
    {
        pelmora_io_preview_release();
        system(("rm -rf " + announce).c_str());
    }
};

/* The test card's fourth bar (green) where a 640x360 card is drawn into a
 * 320x180 area. */
const int CARD_X = 160, CARD_Y = 60;

long status_kib(const char *key)
{
    FILE *f = fopen("/proc/self/status", "r");
    char line[256];
    long v = -1;
    size_t kl = strlen(key);
    while (f && fgets(line, sizeof line, f))
        if (!strncmp(line, key, kl) && line[kl] == ':')
            v = atol(line + kl + 1);
    if (f)
        fclose(f);
    return v;
}

} // namespace

/* A table missing any slot the console calls is refused, with the slot
 * named, before the runtime is initialised; the preview is then empty. */
TEST(RuntimeTable, EmptySlotsRefused)
{
    std::string lib = std::string(PELMORA_FAKE_RUNTIME_DIR) + "/libndi.so.3";
    /* Held open here so that its counters outlive the console's unload. */
    void *h = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr) << dlerror();
    auto inits = (int (*)(void))dlsym(h, "fake_ndi_initialized");
    ASSERT_NE(inits, nullptr);
    setenv("NDI_RUNTIME_DIR_V3", PELMORA_FAKE_RUNTIME_DIR, 1);
    const struct
    {
        const char *mode, *slot;
    } cases[] = {{"only-init", "[destroy]"}, {"no-free-meta", "[recv_free_metadata]"}};
    for (const auto &c : cases) {
        setenv("PELMORA_FAKE_NDI", c.mode, 1);
        testing::internal::CaptureStderr();
        int r = pelmora_io_preview_init();
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(r, -2) << c.mode;
        EXPECT_EQ(pelmora_ndi_api, nullptr) << c.mode;
        EXPECT_NE(log.find(c.slot), std::string::npos) << c.mode << ": " << log;
        EXPECT_EQ(inits(), 0) << c.mode;
        preview_window w("PelmoraIO_1");
        ASSERT_NE(w.ctx, nullptr);
        EXPECT_EQ(w.ctx->recv, nullptr) << c.mode;
        gui_pump(100);
    }
    EXPECT_EQ(preview_recv_threads(), 0);
    dlclose(h);
    unsetenv("PELMORA_FAKE_NDI");
}

/* A capture that never comes back does not hold the close: the thread is
 * left behind, and the runtime is not unloaded under it until it returns. */
TEST(RuntimeTable, HungCaptureDoesNotHoldTheClose)
{
    setenv("NDI_RUNTIME_DIR_V3", PELMORA_FAKE_RUNTIME_DIR, 1);
    setenv("PELMORA_FAKE_NDI", "block", 1);
    ASSERT_EQ(pelmora_io_preview_init(), 0);
    void *h = dlopen((std::string(PELMORA_FAKE_RUNTIME_DIR) + "/libndi.so.3").c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(h, nullptr);
    auto captures = (int (*)(void))dlsym(h, "fake_ndi_captures");
    auto unblock = (void (*)(void))dlsym(h, "fake_ndi_unblock");
    ASSERT_TRUE(captures && unblock);

    preview_window w("PelmoraIO_1");
    ASSERT_NE(w.ctx, nullptr);
    ASSERT_TRUE(gui_pump_until([&] { return captures() > 0; }, 5000)) << "the receiver never captured";
    testing::internal::CaptureStderr();
    auto t0 = std::chrono::steady_clock::now();
    w.close();
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    int r = pelmora_io_preview_release();
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_LT(ms, 1000) << "the close waited on the runtime";
    EXPECT_NE(log.find("left behind"), std::string::npos) << log;
    /* Still inside the runtime: not unloaded under it. */
    EXPECT_EQ(r, -16);
    EXPECT_NE(pelmora_ndi_api, nullptr);
    EXPECT_NE(log.find("not released"), std::string::npos) << log;
    EXPECT_EQ(preview_recv_threads(), 1);

    unblock();
    EXPECT_TRUE(gui_pump_until([] { return preview_recv_threads() == 0; }, 5000))
        << "the thread left behind never ended";
    EXPECT_EQ(pelmora_io_preview_release(), 0);
    EXPECT_EQ(pelmora_ndi_api, nullptr);
    dlclose(h);
    unsetenv("PELMORA_FAKE_NDI");
}

/* Answers that would crash the XML-RPC library, blow up the parser or
 * carry oversized values are refused before parsing; the receiver stays
 * connected and closes. */
TEST(RuntimeHostile, MalformedAnswersDoNotCrash)
{
    standin rt;
    ASSERT_TRUE(rt.init());
    auto member = [](const char *name, const std::string &value) {
        return std::string("<member><name>") + name + "</name><value>" + value + "</value></member>";
    };
    auto status = [&](const std::string &extra, const std::string &name_value = "<string>x</string>") {
        return "<?xml version=\"1.0\"?><methodResponse><params><param><value><struct>" +
               member("result", "<i4>0</i4>") + member("status", "<i4>1</i4>") + member("name", name_value) +
               member("clip_pos", "<i4>0</i4>") + member("tc_frames", "<i4>0</i4>") + extra +
               "</struct></value></param></params></methodResponse>";
    };
    const std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b "
                             "\"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">]>"
                             "<methodResponse><params><param><value>&c;</value></param></params></methodResponse>";
    const std::vector<std::string> bodies = {
        status(member("cache_shm_id", "<i8>12a</i8>")),
        status(member("cache_shm_id", "<i8>99999999999999999999</i8>")),
        status(member("cache_shm_id", "<ex:i8> 1 </ex:i8>")),
        status(member("cache_shm_id", "<i8><![CDATA[12]]></i8>")),
        status(member("cache_shm_id", "<i8 x=\"1\">1</i8>")),
        bomb,
        status("", "<string>" + std::string(100000, 'n') + "</string>"),
        status("", "<i4>7</i4>"),
        status(member("value", "<string>/etc/passwd</string>")), /* a file to refuse, as well */
        status("").substr(0, 120),
        "not XML at all",
    };
    std::atomic<size_t> served{0};
    raw_http::raw_server srv;
    srv.set([&](int fd) { raw_http::answer_body(fd, bodies[served++ % bodies.size()]); });
    int port = atoi(srv.url().c_str() + strlen("http://127.0.0.1:"));
    ASSERT_TRUE(rt.announce_player(port, rt.announce));

    preview_window w("PelmoraIO_" + std::to_string(port));
    ASSERT_NE(w.ctx, nullptr);
    ASSERT_NE(w.ctx->recv, nullptr);
    /* Every answer served three times over, to a receiver still alive. */
    EXPECT_TRUE(gui_pump_until([&] { return served.load() >= 3 * bodies.size(); }, 20000))
        << "only " << served.load() << " answers asked for";
    EXPECT_TRUE(w.ctx->recv->connected);
    w.close();
    EXPECT_TRUE(gui_pump_until([] { return preview_recv_threads() == 0; }, 5000));
}

/* The stand-in opens what a player names only when it is a regular file
 * inside the player's announced media folder: a clip outside it, a link
 * leading out of it and a FIFO in it are refused (a test card is shown),
 * a clip inside it is shown, and the close completes. */
TEST(RuntimeHostile, OnlyRegularFilesInTheMediaFolder)
{
    standin rt;
    ASSERT_TRUE(rt.init());
    std::string work = make_dir("files");
    std::string media = work + "/media", away = work + "/away";
    mkdir(media.c_str(), 0700);
    mkdir(away.c_str(), 0700);
    const std::string ff = "ffmpeg -v error -f lavfi -i color=c=0xff8000:s=320x180:r=25:d=1 -c:v ffv1 ";
    ASSERT_EQ(system((ff + media + "/inside.mkv").c_str()), 0);
    ASSERT_EQ(system((ff + away + "/outside.mkv").c_str()), 0);
    ASSERT_EQ(symlink((away + "/outside.mkv").c_str(), (media + "/link.mkv").c_str()), 0);
    ASSERT_EQ(mkfifo((media + "/fifo.mkv").c_str(), 0600), 0);

    std::mutex lock;
    std::string clip = "inside";
    test_xmlrpc_server srv([&](xmlrpc_env *env, const std::string &method, xmlrpc_value *params) -> xmlrpc_value * {
        if (method == "PelmoraIO.GetStatus") {
            std::lock_guard<std::mutex> g(lock);
            return xmlrpc_build_value(env, "{s:i,s:i,s:s,s:i,s:i}", "result", 0, "status", 1, "name", clip.c_str(),
                                      "clip_pos", 0, "tc_frames", 0);
        }
        const char *name = nullptr;
        xmlrpc_decompose_value(env, params, "(s)", &name);
        if (env->fault_occurred)
            return nullptr;
        std::string n = name;
        free((void *)name);
        std::string file = n == "outside" ? away + "/outside.mkv" : media + "/" + n + ".mkv";
        return xmlrpc_build_value(env, "{s:i,s:s}", "result", 0, "value", file.c_str());
    });
    ASSERT_TRUE(rt.announce_player(srv.port(), media));
    auto show = [&](const char *name) {
        std::lock_guard<std::mutex> g(lock);
        clip = name;
    };
    auto asked = [&](const std::string &name) {
        for (const auto &c : srv.calls())
            if (c.method == "PelmoraIO.LibBasenameItem" && c.types == "(s)") {
                const char *s = nullptr;
                xmlrpc_env env;
                xmlrpc_env_init(&env);
                xmlrpc_decompose_value(&env, c.params.get(), "(s)", &s);
                bool hit = !env.fault_occurred && s && name == s;
                free((void *)s);
                xmlrpc_env_clean(&env);
                if (hit)
                    return true;
            }
        return false;
    };

    preview_window w("PelmoraIO_" + std::to_string(srv.port()));
    ASSERT_NE(w.ctx, nullptr);
    EXPECT_TRUE(gui_pump_until([&] { return w.shows(CARD_X, CARD_Y, 255, 128, 0); }, 10000))
        << "the clip inside the media folder is not shown";
    for (const char *name : {"outside", "link", "fifo"}) {
        show(name);
        EXPECT_TRUE(gui_pump_until([&] { return asked(name) && w.shows(CARD_X, CARD_Y, 0, 191, 0); }, 10000))
            << name << ": no test card";
        /* And it stays a test card: the file is not opened later either. */
        gui_pump(300);
        EXPECT_TRUE(w.shows(CARD_X, CARD_Y, 0, 191, 0)) << name;
    }
    testing::internal::CaptureStderr();
    w.close();
    EXPECT_TRUE(gui_pump_until([] { return preview_recv_threads() == 0; }, 5000)) << "the close did not complete";
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.find("left behind"), std::string::npos) << log;
    system(("rm -rf " + work).c_str());
}

/* A small clip holding a 16000x16000 picture is refused before it is
 * decoded: the process's peak memory does not grow by the picture. */
TEST(RuntimeHostile, HugePictureIsNotDecoded)
{
    standin rt;
    ASSERT_TRUE(rt.init());
    std::string media = make_dir("huge");
    ASSERT_EQ(system(("ffmpeg -v error -f lavfi -i color=c=gray:s=16000x16000:r=25:d=0.04 -frames:v 1 "
                      "-pix_fmt gray -c:v png " +
                      media + "/huge.mkv")
                         .c_str()),
              0);
    struct stat st;
    ASSERT_EQ(stat((media + "/huge.mkv").c_str(), &st), 0);
    EXPECT_LT(st.st_size, 4 << 20) << "not a small file";
    std::atomic<int> basenames{0};
    test_xmlrpc_server srv([&](xmlrpc_env *env, const std::string &method, xmlrpc_value *) -> xmlrpc_value * {
        if (method == "PelmoraIO.GetStatus")
            return xmlrpc_build_value(env, "{s:i,s:i,s:s,s:i,s:i}", "result", 0, "status", 1, "name", "huge",
                                      "clip_pos", 0, "tc_frames", 0);
        basenames++;
        return xmlrpc_build_value(env, "{s:i,s:s}", "result", 0, "value", (media + "/huge.mkv").c_str());
    });
    ASSERT_TRUE(rt.announce_player(srv.port(), media));

    /* The peak is measured from here on. */
    ASSERT_TRUE(write_file("/proc/self/clear_refs", "5"));
    long rss0 = status_kib("VmRSS");
    testing::internal::CaptureStderr();
    preview_window w("PelmoraIO_" + std::to_string(srv.port()));
    ASSERT_NE(w.ctx, nullptr);
    EXPECT_TRUE(gui_pump_until([&] { return basenames > 0 && w.shows(CARD_X, CARD_Y, 0, 191, 0); }, 15000))
        << "no test card in place of the huge picture";
    gui_pump(500);
    w.close();
    EXPECT_TRUE(gui_pump_until([] { return preview_recv_threads() == 0; }, 5000));
    std::string log = testing::internal::GetCapturedStderr();
    long peak = status_kib("VmHWM");
    EXPECT_NE(log.find("16000x16000 refused"), std::string::npos) << log;
    /* The picture alone is 250 MB. */
    EXPECT_LT(peak - rss0, 120 * 1024) << "peak grew by " << (peak - rss0) / 1024 << " MB";
    system(("rm -rf " + media).c_str());
}

int main(int argc, char **argv)
{
    gtk_init(&argc, &argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
