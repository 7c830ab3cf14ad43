// Thumbnails from a hostile library server: the header reader refuses image
// bombs of every kept format and every picture whose cost no header bounds;
// a library tree served bombs as thumbnails stays small and its main loop
// keeps running while ordinary thumbnails still show; a decoder released
// with decodes pending calls nobody afterwards.
#include <gtest/gtest.h>

#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <array>
#include <atomic>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "lib_tree_support.h"
#include "library_thumb.h"
#include "library_ui.h"
#include "strl.h"
#include "test_xmlrpc_server.h"

namespace {

// Peak resident size of the whole test process with every bomb served. The
// sanitizer build keeps shadow memory and freed blocks in quarantine, about
// 150 MB more for this run; one decoded bomb would still take gigabytes.
#if defined(__SANITIZE_ADDRESS__)
const long max_resident_kb = 600L * 1024;
#else
const long max_resident_kb = 200L * 1024;
#endif

using bytes = std::string;

// Pictures made with ffmpeg at test time, in a folder removed at the end.
struct media_dir
{
    std::string dir;
    media_dir()
    {
        char tmpl[] = "/tmp/media_thumbs_XXXXXX";
        if (mkdtemp(tmpl))
            dir = tmpl;
    }
    ~media_dir()
    {
        if (!dir.empty())
            system(("rm -rf " + dir).c_str());
    }
    // A test picture of w x h in the file `name` (the format from its
    // extension); empty when ffmpeg failed.
    bytes make(const std::string &name, int w, int h, const std::string &extra = "")
    {
        std::string path = dir + "/" + name;
        std::string cmd = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=" + std::to_string(w) + "x" +
                          std::to_string(h) + ":rate=1 -frames:v 1 " + extra + " " + path + " >/dev/null 2>&1";
        if (dir.empty() || system(cmd.c_str()))
            return "";
        std::ifstream f(path, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
};

void put_le16(bytes &b, size_t at, unsigned v)
{
    b[at] = (char)(v & 0xff);
    b[at + 1] = (char)(v >> 8);
}

void put_le32(bytes &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[at + i] = (char)(v >> (8 * i));
}

void put_be16(bytes &b, size_t at, unsigned v)
{
    b[at] = (char)(v >> 8);
    b[at + 1] = (char)(v & 0xff);
}

// The 35-byte GIF that claims a 30000 x 30000 screen and frame.
bytes gif_bomb()
{
    bytes b = std::string("GIF89a") + std::string(7, '\0') + std::string("\0\0\0\xff\xff\xff", 6) + "," +
              std::string(9, '\0') + std::string("\x02\x02\x4c\x01\x00;", 6);
    put_le16(b, 6, 30000);
    put_le16(b, 8, 30000);
    b[10] = (char)0x80;
    put_le16(b, 19 + 5, 30000);
    put_le16(b, 19 + 7, 30000);
    return b;
}

// A tiny GIF of `frames` frames of w x h at (x, y) on a 4 x 4 screen.
bytes gif_frames(int frames, int x, int y, int w, int h)
{
    bytes b = std::string("GIF89a") + std::string(7, '\0') + std::string("\0\0\0\xff\xff\xff", 6);
    put_le16(b, 6, 4);
    put_le16(b, 8, 4);
    b[10] = (char)0x80;
    for (int i = 0; i < frames; i++) {
        bytes f = "," + std::string(9, '\0') + std::string("\x02\x02\x84\x51\x00", 5);
        put_le16(f, 1, x);
        put_le16(f, 3, y);
        put_le16(f, 5, w);
        put_le16(f, 7, h);
        b += f;
    }
    return b + ";";
}

// A little-endian TIFF directory with the given (tag, type, value) entries
// and one strip of PackBits bytes.
bytes tiff_with(const std::vector<std::array<uint32_t, 3>> &entries)
{
    bytes b = std::string("II*\0", 4) + std::string(4, '\0');
    put_le32(b, 4, 8);
    bytes ifd(2 + entries.size() * 12 + 4, '\0');
    put_le16(ifd, 0, (unsigned)entries.size());
    for (size_t i = 0; i < entries.size(); i++) {
        put_le16(ifd, 2 + i * 12, entries[i][0]);
        put_le16(ifd, 2 + i * 12 + 2, entries[i][1]);
        put_le32(ifd, 2 + i * 12 + 4, 1);
        put_le32(ifd, 2 + i * 12 + 8, entries[i][2]);
    }
    return b + ifd + std::string("\x81\x00\x80", 3);
}

bytes tiff_bomb()
{
    return tiff_with({{256, 4, 16000},
                      {257, 4, 16000},
                      {258, 3, 8},
                      {259, 3, 32773},
                      {262, 3, 1},
                      {273, 4, 8 + 2 + 9 * 12 + 4},
                      {277, 3, 1},
                      {278, 4, 16000},
                      {279, 4, 3}});
}

// An SVG of nested uses: ten levels of ten (a few kilobytes, 10^10 shapes).
bytes svg_bomb()
{
    std::string s = "<?xml version=\"1.0\"?><svg xmlns=\"http://www.w3.org/2000/svg\" "
                    "xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"32\" height=\"32\"><defs>"
                    "<g id=\"l0\"><rect width=\"1\" height=\"1\"/></g>";
    for (int l = 1; l <= 10; l++) {
        s += "<g id=\"l" + std::to_string(l) + "\">";
        for (int k = 0; k < 10; k++)
            s += "<use xlink:href=\"#l" + std::to_string(l - 1) + "\"/>";
        s += "</g>";
    }
    return s + "</defs><use xlink:href=\"#l10\"/></svg>";
}

// The picture with its header's size fields set to w x h.
bytes png_sized(bytes b, uint32_t w, uint32_t h)
{
    for (int i = 0; i < 4; i++) {
        b[16 + i] = (char)(w >> (24 - 8 * i));
        b[20 + i] = (char)(h >> (24 - 8 * i));
    }
    return b;
}

bytes jpeg_sized(bytes b, unsigned w, unsigned h)
{
    for (size_t i = 2; i + 9 < b.size(); i++)
        if ((unsigned char)b[i] == 0xFF && ((unsigned char)b[i + 1] & 0xF0) == 0xC0 &&
            (unsigned char)b[i + 1] != 0xC4) {
            put_be16(b, i + 5, h);
            put_be16(b, i + 7, w);
            break;
        }
    return b;
}

bytes bmp_sized(bytes b, int32_t w, int32_t h)
{
    put_le32(b, 18, (uint32_t)w);
    put_le32(b, 22, (uint32_t)h);
    return b;
}

int header(const bytes &b, library_thumb_header_t *h)
{
    return library_thumb_header(b.data(), b.size(), h);
}

long vm_kb(const char *field)
{
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.compare(0, strlen(field), field) == 0)
            return atol(line.c_str() + strlen(field) + 1);
    return -1;
}

} // namespace

TEST(MediaThumbs, HeadersOfEveryKeptFormatAreReadAndBombsRefusedBeforeDecoding)
{
    media_dir m;
    bytes png = m.make("a.png", 48, 32), jpg = m.make("a.jpg", 48, 32), gif = m.make("a.gif", 48, 32),
          bmp = m.make("a.bmp", 48, 32), tif = m.make("a.tiff", 48, 32);
    bytes prog = m.make("p.jpg", 48, 32, "-c:v mjpeg -q:v 3");
    ASSERT_FALSE(png.empty() || jpg.empty() || gif.empty() || bmp.empty() || tif.empty()) << "ffmpeg";

    const struct
    {
        const bytes *b;
        int format;
    } ok[] = {{&png, LIBRARY_THUMB_PNG},
              {&jpg, LIBRARY_THUMB_JPEG},
              {&gif, LIBRARY_THUMB_GIF},
              {&bmp, LIBRARY_THUMB_BMP},
              {&tif, LIBRARY_THUMB_TIFF}};
    for (const auto &c : ok) {
        library_thumb_header_t h;
        ASSERT_EQ(0, header(*c.b, &h)) << c.format;
        EXPECT_EQ(c.format, h.format);
        EXPECT_EQ(48, h.width);
        EXPECT_EQ(32, h.height);
        GdkPixbuf *pb = nullptr;
        ASSERT_EQ(0, library_thumb_decode(c.b->data(), c.b->size(), 16, &pb)) << c.format;
        EXPECT_EQ(16, gdk_pixbuf_get_width(pb)); // fitted into 16 x 16, the sides kept in proportion
        EXPECT_EQ(11, gdk_pixbuf_get_height(pb));
        g_object_unref(pb);
    }

    // Huge sizes in each format's header: refused as too large, nothing
    // decoded (the old decoder took gigabytes and seconds on these).
    library_thumb_header_t h;
    EXPECT_EQ(-7, header(gif_bomb(), &h));
    EXPECT_EQ(35u, gif_bomb().size());
    EXPECT_EQ(-7, header(png_sized(png, 30000, 30000), &h));
    EXPECT_EQ(-7, header(png_sized(png, 2000, 600), &h)); // more pixels than a thumbnail has
    EXPECT_EQ(-7, header(jpeg_sized(jpg, 30000, 30000), &h));
    EXPECT_EQ(-7, header(bmp_sized(bmp, 16000, 16000), &h));
    EXPECT_EQ(-7, header(bmp_sized(bmp, 16, -16000), &h)); // stored top down
    EXPECT_EQ(-7, header(tiff_bomb(), &h));
    GdkPixbuf *pb = reinterpret_cast<GdkPixbuf *>(1);
    bytes gb = gif_bomb();
    EXPECT_EQ(-1, library_thumb_decode(gb.data(), gb.size(), 0, &pb));
    EXPECT_EQ(nullptr, pb);
    EXPECT_EQ(-1, library_thumb_from_data(gb.data(), (int)gb.size(), &pb));

    // What a GIF keeps: every frame, each possibly beyond the screen.
    EXPECT_EQ(0, header(gif_frames(3, 0, 0, 4, 4), &h));
    EXPECT_EQ(3, h.frames);
    EXPECT_EQ(-7, header(gif_frames(1, 1000, 0, 100, 4), &h));
    EXPECT_EQ(-7, header(gif_frames(LIBRARY_THUMB_FRAMES_MAX + 1, 0, 0, 4, 4), &h));
    EXPECT_EQ(-7, header(gif_frames(8, 0, 0, 1000, 1000), &h)); // 8 million pixels kept
    EXPECT_EQ(-22, header(gif_frames(0, 0, 0, 4, 4), &h));
    // A TIFF whose tile is decoded whole whatever the picture's size, and one
    // with absurd samples.
    EXPECT_EQ(-7, header(tiff_with({{256, 3, 8}, {257, 3, 8}, {322, 4, 65536}, {323, 4, 16}}), &h));
    EXPECT_EQ(-7, header(tiff_with({{256, 3, 8}, {257, 3, 8}, {277, 3, 60000}}), &h));
    EXPECT_EQ(-22, header(tiff_with({{256, 3, 8}, {256, 3, 8}, {257, 3, 8}}), &h)); // said twice
    EXPECT_EQ(-22, header(tiff_with({{256, 3, 8}}), &h));
    // A JPEG of more scans than a thumbnail needs: each scan is a pass.
    bytes scans = jpg.substr(0, jpg.size() - 2);
    size_t sos = scans.find("\xff\xda");
    ASSERT_NE(std::string::npos, sos);
    bytes one = scans.substr(sos);
    for (int i = 0; i < LIBRARY_THUMB_SCANS_MAX; i++)
        scans += one;
    EXPECT_EQ(-7, header(scans + "\xff\xd9", &h));
    EXPECT_EQ(0, header(prog, &h));

    // No header bounds the cost of vector pictures, nor of formats not kept.
    EXPECT_EQ(-22, header(svg_bomb(), &h));
    EXPECT_EQ(-22, header("P6\n30000 30000\n255\n", &h));
    EXPECT_EQ(-22, header(bytes("\0\0\1\0\1\0", 6), &h)); // an icon file
    // Cut short inside the header.
    EXPECT_EQ(-22, header(png.substr(0, 20), &h));
    EXPECT_EQ(-22, header(bmp.substr(0, 16), &h));
    EXPECT_EQ(-22, header(tif.substr(0, 6), &h));
    EXPECT_EQ(-22, header(jpg.substr(0, 4), &h));
    EXPECT_EQ(-22, header(gif.substr(0, 12), &h));
}

TEST(MediaThumbs, DecoderReleasedWithDecodesPendingCallsNobodyAndAFullQueueSaysWhenItHasRoom)
{
    if (!lib_gtk_ready())
        GTEST_SKIP() << "no display";
    media_dir m;
    bytes big = m.make("big.png", 1000, 1000);
    ASSERT_FALSE(big.empty());
    struct seen_desc
    {
        std::vector<int64_t> ids;
        int rooms = 0;
        int64_t max_side = 0;
    } seen;
    auto done = [](void *cookie, int64_t id, GdkPixbuf *pb) {
        auto *s = static_cast<seen_desc *>(cookie);
        if (!id) {
            s->rooms++;
            return;
        }
        s->ids.push_back(id);
        if (pb)
            s->max_side = std::max<int64_t>(s->max_side, std::max(gdk_pixbuf_get_width(pb), gdk_pixbuf_get_height(pb)));
    };
    library_thumb_t *t = library_thumb_new(done, &seen, nullptr);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(-22, library_thumb_queue(t, 1, "", 0));
    // Until the queue is full; what it refuses is not queued.
    int queued = 0, refused = 0;
    for (int64_t id = 1; id <= 2 * LIBRARY_THUMB_QUEUE_MAX && !refused; id++) {
        int r = library_thumb_queue(t, id, big.data(), big.size());
        ASSERT_TRUE(r == 0 || r == -11) << r;
        (r ? refused : queued)++;
    }
    ASSERT_EQ(1, refused);
    ASSERT_TRUE(lib_pump_until([&] { return seen.rooms == 1; }, 60000));
    EXPECT_EQ((size_t)queued, seen.ids.size());
    EXPECT_LE(seen.max_side, LIBRARY_THUMB_SHOW_MAX);
    EXPECT_EQ(LIBRARY_THUMB_SHOW_MAX, seen.max_side);
    int64_t decoded = 0, failed = 0;
    int pending = -1;
    library_thumb_counts(t, &decoded, &failed, &pending);
    EXPECT_EQ(queued, decoded);
    EXPECT_EQ(0, failed);
    EXPECT_EQ(0, pending);

    // Released with decodes pending: nothing more is called, also not for
    // the decode under way.
    seen.ids.clear();
    for (int64_t id = 1000; id < 1040; id++)
        ASSERT_EQ(0, library_thumb_queue(t, id, big.data(), big.size()));
    ASSERT_TRUE(lib_pump_until([&] { return !seen.ids.empty(); }, 30000));
    library_thumb_release(t);
    size_t at_release = seen.ids.size();
    EXPECT_LT(at_release, 40u);
    lib_pump_until([] { return false; }, 1500);
    EXPECT_EQ(at_release, seen.ids.size());
    EXPECT_EQ(1, seen.rooms);
}

TEST(MediaThumbs, ImageBombsServedAsThumbnailsLeaveTheConsoleSmallAndItsLoopRunning)
{
    if (!lib_gtk_ready())
        GTEST_SKIP() << "no display";
    media_dir m;
    std::map<std::string, bytes> pics;
    pics["/a_ok.png"] = m.make("a.png", 48, 32);
    pics["/a_ok.jpg"] = m.make("a.jpg", 48, 32);
    pics["/a_ok.gif"] = m.make("a.gif", 48, 32);
    pics["/a_ok.bmp"] = m.make("a.bmp", 48, 32);
    pics["/a_ok.tiff"] = m.make("a.tiff", 48, 32);
    pics["/a_ok_large.png"] = m.make("l.png", 1000, 500);
    for (const auto &p : pics)
        ASSERT_FALSE(p.second.empty()) << p.first;
    bytes jpg = pics["/a_ok.jpg"], png = pics["/a_ok.png"], bmp = pics["/a_ok.bmp"];
    const std::vector<std::pair<std::string, bytes>> bombs = {
        {"gif", gif_bomb()},
        {"png", png_sized(png, 30000, 30000)},
        {"jpg", jpeg_sized(jpg, 30000, 30000)},
        {"bmp", bmp_sized(bmp, 16000, 16000)},
        {"tiff", tiff_bomb()},
        {"svg", svg_bomb()},
    };
    // Two rows of each, all in view: each visible row asks for its picture.
    for (const auto &b : bombs)
        for (int k = 0; k < 2; k++)
            pics["/b_bomb" + std::to_string(k) + "." + b.first] = b.second;

    test_xmlrpc_server srv([&](xmlrpc_env *env, const std::string &method, xmlrpc_value *params) -> xmlrpc_value * {
        if (method == "PelmoraLib.LibListDirs")
            return xmlrpc_build_value(env, "{s:i,s:()}", "result", 0, "list");
        if (method == "PelmoraLib.LibListItems") {
            xmlrpc_value *list = xmlrpc_array_new(env);
            for (const auto &p : pics) {
                xmlrpc_value *e = xmlrpc_build_value(env, "{s:s}", "name", p.first.c_str() + 1);
                xmlrpc_array_append_item(env, list, e);
                xmlrpc_DECREF(e);
            }
            xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:A}", "result", 0, "list", list);
            xmlrpc_DECREF(list);
            return v;
        }
        if (method == "PelmoraLib.LibThumbItem") {
            const char *path = nullptr;
            xmlrpc_decompose_value(env, params, "(s*)", &path);
            auto it = pics.find(path ? path : "");
            free((void *)path);
            if (it == pics.end())
                return xmlrpc_build_value(env, "{s:i}", "result", -2);
            return xmlrpc_build_value(env, "{s:i,s:6}", "result", 0, "thumb", (const unsigned char *)it->second.data(),
                                      it->second.size());
        }
        return xmlrpc_build_value(env, "{s:i}", "result", -5);
    });

    library_t *lib = static_cast<library_t *>(calloc(1, sizeof(library_t)));
    strlcpy(lib->url, srv.url().c_str(), sizeof lib->url);
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 800, 980);
    gtk_container_add(GTK_CONTAINER(window), library_ui_tree_create(lib));
    GtkTreeView *view = GTK_TREE_VIEW(lib->ui[LIBRARY_UI_CLIPS_TREE]);
    GtkTreeModel *model = gtk_tree_view_get_model(view);
    library_init(lib);
    gtk_widget_show_all(window);
    lib_pump_until([] { return false; }, 200);

    lib_pause_meter pauses;
    GtkTreeIter root;
    ASSERT_TRUE(gtk_tree_model_get_iter_first(model, &root));
    GtkTreePath *p = gtk_tree_model_get_path(model, &root);
    gtk_tree_view_expand_row(view, p, FALSE);
    gtk_tree_path_free(p);

    // The rows by name, with the picture each shows and its own thumbnail.
    struct row_desc
    {
        GdkPixbuf *shown = nullptr;
        void *own = nullptr;
    };
    auto rows = [&] {
        std::map<std::string, row_desc> out;
        GtkTreeIter it;
        for (gboolean ok = gtk_tree_model_iter_children(model, &it, &root); ok;
             ok = gtk_tree_model_iter_next(model, &it)) {
            gchar *title = nullptr;
            gpointer item = nullptr;
            GdkPixbuf *pb = nullptr;
            gtk_tree_model_get(model, &it, 0, &pb, 1, &title, 7, &item, -1);
            if (title && item)
                out["/" + std::string(title)] = {pb, static_cast<pelmora_lib_item_t *>(item)->priv[0]};
            if (pb)
                g_object_unref(pb); // the store keeps its own
            g_free(title);
        }
        return out;
    };
    auto all_asked = [&] {
        for (const auto &p : pics) {
            int n = 0;
            for (const test_xmlrpc_call &c : srv.calls())
                if (c.method == "PelmoraLib.LibThumbItem") {
                    const char *path = nullptr;
                    xmlrpc_env env;
                    xmlrpc_env_init(&env);
                    xmlrpc_decompose_value(&env, c.params.get(), "(s*)", &path);
                    n += path && p.first == path;
                    free((void *)path);
                    xmlrpc_env_clean(&env);
                }
            if (!n)
                return false;
        }
        return true;
    };
    auto ok_shown = [&] {
        std::map<std::string, row_desc> r = rows();
        for (const auto &p : pics)
            if (p.first.compare(0, 5, "/a_ok") == 0 && (!r.count(p.first) || !r[p.first].own))
                return false;
        return true;
    };
    bool came = lib_pump_until([&] { return all_asked() && ok_shown(); }, 60000, 50);
    if (!came)
        for (const auto &p : rows())
            printf("%s: shown %p own %p\n", p.first.c_str(), (void *)p.second.shown, p.second.own);
    ASSERT_TRUE(came) << "asked " << all_asked() << " shown " << ok_shown() << " thumbnail calls "
                      << srv.count("PelmoraLib.LibThumbItem");
    lib_pump_until([] { return false; }, 500); // anything still under way comes in

    std::map<std::string, row_desc> r = rows();
    GdkPixbuf *clip = lib->icons[1];
    ASSERT_NE(nullptr, clip);
    for (const auto &p : pics) {
        ASSERT_TRUE(r.count(p.first)) << p.first;
        if (p.first.compare(0, 5, "/a_ok") == 0) {
            EXPECT_EQ(r[p.first].own, (void *)r[p.first].shown) << p.first;
            EXPECT_NE(clip, r[p.first].shown) << p.first;
            int w = gdk_pixbuf_get_width(r[p.first].shown), h = gdk_pixbuf_get_height(r[p.first].shown);
            EXPECT_LE(std::max(w, h), LIBRARY_THUMB_SHOW_MAX) << p.first;
        } else {
            EXPECT_EQ(nullptr, r[p.first].own) << p.first;
            EXPECT_EQ(clip, r[p.first].shown) << p.first; // the clip icon stays
        }
    }
    long peak_kb = vm_kb("VmHWM");
    printf("peak resident %ld kB, longest main-loop pause %.1f ms\n", peak_kb, pauses.max_ms);
    EXPECT_GT(peak_kb, 0);
    EXPECT_LT(peak_kb, max_resident_kb);
    EXPECT_LT(pauses.max_ms, 100.0);

    // The library released while thumbnails may still be decoding: its rows
    // go, nothing comes back into them.
    GtkTreeIter it;
    ASSERT_TRUE(gtk_tree_model_iter_children(model, &it, &root));
    p = gtk_tree_model_get_path(model, &root);
    gtk_tree_view_collapse_row(view, p);
    gtk_tree_view_expand_row(view, p, FALSE);
    gtk_tree_path_free(p);
    ASSERT_TRUE(lib_pump_until([&] { return gtk_tree_model_iter_n_children(model, &root) > 10; }, 20000));
    library_release(lib);
    lib_pump_until([] { return false; }, 500);
    EXPECT_EQ(1, gtk_tree_model_iter_n_children(model, &root));
    gtk_widget_destroy(window);
    pthread_mutex_destroy(&lib->lock);
    free(lib);
}
