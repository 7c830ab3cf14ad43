// Hostile media servers: one raw HTTP server on loopback answers the library,
// IO, job and IO settings calls with randomly broken answers built from what
// each client reads (right members and types mostly; then missing, mistyped,
// absurd numbers, over-long or garbled texts, lists past every bound, cut or
// garbled XML, lying lengths, bad HTTP). At least 1,000 of them go to each
// client, with every typed result checked against its conventions, then to
// the running console whose library, notification thread and preview status
// monitor point at the same server. Nothing may crash (the sanitizer build
// checks memory and undefined behaviour) and the console must stop cleanly.
#include <gtest/gtest.h>

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtk/gtk.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bus.h"
#include "engine_support.h"
#include "hostile_support.h"
#include "library.h"
#include "library_ui.h"
#include "pelmora.h"
#include "pelmora_io.h"
#include "pelmora_jobs.h"
#include "pelmora_lib.h"
#include "pelmora_settings.h"
#include "reliability_support.h"
#include "strl.h"
#include "test_xmlrpc_server.h"

namespace {

/* ---- Broken answers of the media servers ---- */

struct hostile_media : hostile_values
{
    hostile_automation automation; /* PelmoraBox calls of the running console */
    std::string png;               /* a real thumbnail, made at start */
    int last_list = -1;            /* length of the answer's outermost list */
    int list_depth = 0;
    int64_t amend = 1;
    bool short_lists = false; /* the running console: lists of a few rows */

    explicit hostile_media(uint64_t seed) : hostile_values(seed), automation(seed + 1)
    {
        /* Structs of up to 19 members: most must come through whole for the
         * typed results to be reached at all. */
        missing_pct = 2;
        mistyped_pct = 2;
    }

    int list_len()
    {
        int n;
        if (short_lists)
            n = (int)pick(8);
        else if (chance(2))
            n = 1000 + (int)pick(4500); /* past the clients' bounds */
        else
            n = chance(90) ? (int)pick(24) : (int)pick(200);
        return n;
    }

    /* A list of n elements, mostly made by good, else any value. */
    /* bad: what stands in for a good element now and then (any value when
     * null). */
    xmlrpc_value *list(xmlrpc_env *env, const std::function<xmlrpc_value *()> &good,
                       const std::function<xmlrpc_value *()> &bad = nullptr)
    {
        /* Lists inside list elements stay short: the answer must fit the
         * size limit often enough to be read. */
        int n = list_depth ? (int)pick(6) : list_len();
        if (list_depth++ == 0)
            last_list = n;
        bool plain = n > 500; /* long lists of small elements stay under the size limit */
        int saved = max_text;
        if (n > 40)
            max_text = 300;
        xmlrpc_value *a = array(env, n, [&]() -> xmlrpc_value * {
            if (plain)
                return chance(98) ? xmlrpc_build_value(env, "(s)", "x") : xmlrpc_int_new(env, 1);
            return chance(92) ? good() : bad ? bad() : any(env);
        });
        max_text = saved;
        list_depth--;
        return a;
    }

    xmlrpc_value *numtext(xmlrpc_env *env)
    {
        static const char *odd[] = {
            "1e308", "-1e308", "nan",  "inf", "25/0", "0:0", "-1:-1", "2147483648", "99999999999999999999",
            "1/3",   "16:9",   "12.5", ""};
        if (chance(50)) {
            std::string n = std::to_string(number());
            return xmlrpc_string_new(env, n.c_str());
        }
        return chance(50) ? xmlrpc_string_new(env, odd[pick(sizeof odd / sizeof odd[0])]) : str(env);
    }

    /* Journal paths. An empty one (a bare kind character) has its own test
     * below: it would end this run at once. */
    std::string path()
    {
        static const char *paths[] = {"/",  "/news", "/news/opener.mov", "/a/b/c",      "noslash",
                                      "//", "/..",   "/news/",           "/x/../../etc"};
        return chance(70) ? paths[pick(sizeof paths / sizeof paths[0])] : "/" + text();
    }

    xmlrpc_value *item(xmlrpc_env *env)
    {
        xmlrpc_value *st = xmlrpc_struct_new(env);
        for (const char *k : {"name", "format_name", "sample_fmt", "timecode"})
            member(env, st, k, str(env));
        for (const char *k : {"duration", "duration_v", "duration_a", "nb_frames", "nb_streams", "width", "height",
                              "display_aspect_ratio", "sample_aspect_ratio", "r_frame_rate", "sample_rate", "channels"})
            member(env, st, k, numtext(env));
        for (const char *k : {"st_ino", "st_size", "st_mtime", "st_ctime", "st_atime"})
            member(env, st, k, i8(env));
        member(env, st, "subclips", xmlrpc_int_new(env, chance(70) ? (int)pick(3) : (int)number()));
        return st;
    }

    xmlrpc_value *strs(xmlrpc_env *env, xmlrpc_value *st, std::initializer_list<const char *> names)
    {
        for (const char *k : names)
            member(env, st, k, str(env));
        return st;
    }
    xmlrpc_value *ints(xmlrpc_env *env, xmlrpc_value *st, std::initializer_list<const char *> names)
    {
        for (const char *k : names)
            member(env, st, k, i4(env));
        return st;
    }
    xmlrpc_value *i8s(xmlrpc_env *env, xmlrpc_value *st, std::initializer_list<const char *> names)
    {
        for (const char *k : names)
            member(env, st, k, i8(env));
        return st;
    }

    xmlrpc_value *thumb(xmlrpc_env *env)
    {
        std::string b;
        int k = (int)pick(10);
        if (k < 5)
            b = png;
        else if (k < 7 && !png.empty()) {
            b = png;
            b[pick(b.size())] ^= (char)(1 + pick(255));
        } else if (k < 8)
            b = std::string("\x89PNG\r\n\x1a\n", 8) + text();
        else if (k < 9)
            b = std::string(200000 + pick(200000), '\x89');
        return xmlrpc_base64_new(env, b.size(), reinterpret_cast<const unsigned char *>(b.data()));
    }

    xmlrpc_value *journal(xmlrpc_env *env)
    {
        static const char kinds[] = "+-&^*?";
        return list(
            env,
            [&] {
                std::string e = chance(95) ? std::string(1, kinds[pick(6)]) + path() : text();
                if (e.empty())
                    e = "?"; /* an empty entry has its own test below */
                return xmlrpc_build_value(env, "(s)", e.c_str());
            },
            /* For the running console no other value that reads as an empty
         * entry either (an array holding ""). */
            [&] { return short_lists ? i4(env) : any(env); });
    }

    xmlrpc_value *mode(xmlrpc_env *env)
    {
        xmlrpc_value *m = strs(env, ints(env, xmlrpc_struct_new(env), {"idx"}), {"name", "desc"});
        member(env, m, "list", list(env, [&] {
                   return strs(env, ints(env, xmlrpc_struct_new(env), {"idx"}), {"name", "desc"});
               }));
        member(env, m, "osds", list(env, [&] { return xmlrpc_build_value(env, "(s)", text().c_str()); }));
        return m;
    }

    xmlrpc_value *transfer(xmlrpc_env *env)
    {
        xmlrpc_value *st = ints(env, xmlrpc_struct_new(env), {"id", "f_delete", "f_import", "progress", "state"});
        strs(env, st, {"target", "object_local", "object_remote", "error"});
        return i8s(env, st, {"updated", "created"});
    }

    xmlrpc_value *transcoder(xmlrpc_env *env)
    {
        xmlrpc_value *st = ints(env, xmlrpc_struct_new(env),
                                {"id", "f_delete", "progress", "state", "audio_conf", "transfer_f_delete"});
        strs(env, st,
             {"src_object", "src_local", "dst_object", "dst_local", "in", "dur", "factory", "profile", "error",
              "audio_map", "timecode", "osd", "transfer_target"});
        return i8s(env, st, {"updated", "created"});
    }

    xmlrpc_value *sched_item(xmlrpc_env *env)
    {
        xmlrpc_value *st = ints(env, xmlrpc_struct_new(env), {"duration", "tc", "id", "enabled", "start_time"});
        strs(env, st, {"path", "title", "mode", "enc", "transfer", "prefix"});
        return i8s(env, st, {"min", "hour", "day", "weekday", "month", "year", "calc"});
    }

    xmlrpc_value *response(xmlrpc_env *env, const std::string &m)
    {
        if (chance(4))
            return any(env);
        xmlrpc_value *st = xmlrpc_struct_new(env);
        member(env, st, "result", xmlrpc_int_new(env, chance(75) ? (int)pick(3) : (int)number()));
        auto put = [&](const char *name, xmlrpc_value *v) { member(env, st, name, v); };
        auto simple = [&] { put("list", list(env, [&] { return xmlrpc_build_value(env, "(s)", text().c_str()); })); };
        last_list = -1;
        if (m == "PelmoraLib.LibListDirs")
            put("list", list(env, [&] { return strs(env, xmlrpc_struct_new(env), {"name"}); }));
        else if (m == "PelmoraLib.LibListItems")
            put("list", list(env, [&] { return item(env); }));
        else if (m == "PelmoraLib.LibListSubclips")
            put("list", list(env, [&] {
                    return strs(env, ints(env, xmlrpc_struct_new(env), {"mark_in", "duration"}), {"title"});
                }));
        else if (m == "PelmoraLib.LibMetaItem")
            put("item", item(env));
        else if (m == "PelmoraLib.LibThumbItem" || m == "PelmoraLib.LibThumbOverlay")
            put("thumb", thumb(env));
        else if (m == "PelmoraLib.LibState") {
            /* Mostly growing, sometimes jumping anywhere (wrapping on purpose).
             * The running console gets a growing counter and figures that
             * fit its percentage: the absurd ones have their own test below. */
            int64_t step = chance(80) || short_lists ? (int64_t)pick(200) : number();
            amend = (int64_t)((uint64_t)amend + (uint64_t)step);
            put("amend_idx", xmlrpc_i8_new(env, amend));
            put("total_items", i4(env));
            for (const char *k : {"free_space", "total_space", "used_space"})
                put(k, short_lists ? xmlrpc_i8_new(env, (int64_t)pick(1ull << 50) - 1000) : i8(env));
            put("amend_list", journal(env));
        } else if (m == "PelmoraLib.LibSearchItem" || m == "PelmoraLib.LibSearchItemDurRange")
            put("item", str(env));
        else if (m.find("Basename") != std::string::npos) {
            strs(env, st, {"value", "object"});
            put("cache_shm_id", i8(env));
        } else if (m == "PelmoraLib.LibListTemplates" || m == "PelmoraLib.LibListTemplateVars" ||
                   m == "PelmoraLib.LibListOverlays" || m.compare(0, 27, "PelmoraLib.LibTemplateFonts") == 0 ||
                   m == "PelmoraFileTransfer.ListRemote")
            simple();
        else if (m == "PelmoraIO.GetStatus") {
            ints(env, st,
                 {"status", "loop", "clip_length", "clip_in", "clip_dur", "clip_pos", "clip_start", "clip_idx",
                  "playlist_gen", "playlist_dur", "playlist_pos", "playlist_count", "rec_paused", "tc_frames",
                  "tc_src"});
            strs(env, st, {"name", "cookie"});
            put("playlist_speed", xmlrpc_double_new(env, (double)number() / 7.0));
        } else if (m == "PelmoraIO.PlaylistItems") {
            ints(env, st, {"gen", "pos", "idx"});
            put("list", list(env, [&] {
                    return strs(
                        env,
                        ints(env, xmlrpc_struct_new(env), {"length", "in", "dur", "pos", "start", "idx", "repeat"}),
                        {"name", "cookie"});
                }));
        } else if (m == "PelmoraIO.SettingsGet") {
            static const char *names[] = {
                "PelmoraIO",           "mode",           "enc", "playback_osd", "record_channels_conf", "keyer",
                "record_channels_map", "record_bitdepth"};
            put("list", list(env, [&] {
                    xmlrpc_value *e = xmlrpc_struct_new(env);
                    member(env, e, "name", xmlrpc_string_new(env, chance(80) ? names[pick(8)] : text().c_str()));
                    member(env, e, "value", chance(50) ? numtext(env) : str(env));
                    return e;
                }));
        } else if (m == "PelmoraIO.SettingsGetModes")
            put("list", list(env, [&] { return mode(env); }));
        else if (m == "PelmoraFileTransfer.TargetsList")
            put("list", list(env, [&] {
                    return strs(env, xmlrpc_struct_new(env),
                                {"id", "type", "title", "host", "port", "path", "login", "passw"});
                }));
        else if (m == "PelmoraFileTransfer.RequestsList")
            put("list", list(env, [&] { return transfer(env); }));
        else if (m == "PelmoraFileTransfer.RequestGet")
            put("item", transfer(env));
        else if (m == "PelmoraFileTranscoder.RequestsList")
            put("list", list(env, [&] { return transcoder(env); }));
        else if (m == "PelmoraFileTransfer.ProbeRemote")
            i8s(env, st, {"time", "size"});
        else if (m == "PelmoraSched.SchedListItems")
            put("list", list(env, [&] { return sched_item(env); }));
        else if (m == "PelmoraSched.SchedGetItem")
            put("item", sched_item(env));
        else if (m == "PelmoraSched.SchedListLogs")
            put("list", list(env, [&] {
                    xmlrpc_value *l = ints(env, xmlrpc_struct_new(env), {"duration", "tc", "status", "start_time"});
                    strs(env, l, {"origin", "mode", "enc", "transfer", "prefix"});
                    return i8s(env, l, {"start", "calc"});
                }));
        else if (m == "PelmoraSched.SchedGetState") {
            xmlrpc_value *s = chance(50) ? strs(env, ints(env, xmlrpc_struct_new(env), {"status", "duration"}),
                                                {"s_now", "s_start", "s_end"})
                                         : strs(env, xmlrpc_struct_new(env), {"s_now", "s_next"});
            put("state", i8s(env, s, {"t_now", "t_start", "t_end", "t_next"}));
        }
        return st;
    }

    std::string answer(const std::string &method, bool *close_after)
    {
        if (method.compare(0, 11, "PelmoraBox.") == 0)
            return automation.answer(method, close_after);
        return http_of([&](xmlrpc_env *env) { return response(env, method); }, close_after);
    }
};

/* A 16x9 PNG made now, as the thumbnails of a real server are. */
std::string make_png()
{
    GdkPixbuf *pb = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 16, 9);
    gdk_pixbuf_fill(pb, 0x3070a0ff);
    gchar *buf = nullptr;
    gsize len = 0;
    std::string out;
    if (gdk_pixbuf_save_to_buffer(pb, &buf, &len, "png", nullptr, NULL))
        out.assign(buf, len);
    g_free(buf);
    g_object_unref(pb);
    return out;
}

/* ---- Checks of typed results ---- */

/* Counts the broken conventions of one client's results, keeping the first
 * few for the failure message. */
struct verdict
{
    int bad = 0;
    std::string first;
    int calls = 0, usable = 0;

    void fail(const std::string &what)
    {
        if (bad++ < 5)
            first += what + "; ";
    }
    void text(const char *s, size_t size, const char *what)
    {
        if (strnlen(s, size) == size)
            fail(std::string(what) + " not terminated");
    }
    template <size_t N> void text(const char (&s)[N], const char *what) { text(s, N, what); }
    void count(int r, int bound, const char *what)
    {
        calls++;
        usable += r >= 0;
        if (r > bound)
            fail(std::string(what) + " returned " + std::to_string(r) + " > " + std::to_string(bound));
    }
    /* A null-terminated list of exactly n entries. */
    template <typename T> void null_terminated(T **list, int n, const char *what)
    {
        for (int i = 0; list && i < n; i++)
            if (!list[i]) {
                fail(std::string(what) + " entry missing");
                return;
            }
        if (list && list[n])
            fail(std::string(what) + " not null-terminated");
    }
};

void check_item(verdict &v, const pelmora_lib_item_t *it)
{
    v.text(it->name, "item name");
    v.text(it->full, "item path");
    v.text(it->format_name, "format");
    v.text(it->sample_fmt, "sample format");
    v.text(it->timecode, "timecode");
    if (it->duration != (it->duration_v != 0 ? it->duration_v : it->duration_f))
        v.fail("item duration");
}

void free_strings(char **list)
{
    for (int i = 0; list && list[i]; i++)
        free(list[i]);
    free(list);
}

/* Records past `limit` must stay as the caller left them. */
template <typename T> struct guarded_records
{
    std::vector<T> recs;
    explicit guarded_records(int limit) : recs((size_t)limit + 1) { clear(); }
    void clear()
    {
        memset((void *)recs.data(), 0, recs.size() * sizeof(T));
        memset((void *)&recs.back(), 0x5a, sizeof(T));
    }
    bool tail_untouched() const
    {
        const unsigned char *p = reinterpret_cast<const unsigned char *>(&recs.back());
        return std::all_of(p, p + sizeof(T), [](unsigned char c) { return c == 0x5a; });
    }
};

class ReliabilityHostileMedia : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!engine_gtk_ready())
            GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
        gen.png = make_png();
        ASSERT_FALSE(gen.png.empty());
        ASSERT_GT(srv.port(), 0);
        url = srv.url();
    }

    /* Calls one() until the server has answered `answers` more calls. */
    void drive(verdict &v, int answers, const std::function<void(verdict &)> &one)
    {
        int before = srv.served(), rounds = 0;
        while (srv.served() - before < answers && rounds++ < answers * 4)
            one(v);
        EXPECT_GE(srv.served() - before, answers);
        EXPECT_EQ(v.bad, 0) << v.first;
        EXPECT_GT(v.usable, 0) << "some broken answers still carry a usable result";
        EXPECT_LT(v.usable, v.calls) << "and many are refused";
    }
    /* Length of the list last answered (-1: none). */
    int last_list()
    {
        int n = 0;
        srv.locked([&] { n = gen.last_list; });
        return n;
    }
    /* A list count must not exceed what the answer held. */
    int list_bound(int bound)
    {
        int n = last_list();
        return n < 0 ? bound : std::min(n, bound);
    }

    hostile_media gen{20261208};
    hostile_server srv{[this](const std::string &m, bool *close_after) { return gen.answer(m, close_after); }};
    std::string url;
};

} // namespace

TEST_F(ReliabilityHostileMedia, LibraryClientKeepsItsConventions)
{
    verdict v;
    int k = 0;
    drive(v, 1000, [&](verdict &v) {
        const char *u = url.c_str();
        switch (k++ % 9) {
        case 0: {
            pelmora_lib_dir_t **dirs = nullptr;
            int r = pelmora_lib_list_dirs(u, "/news", &dirs);
            v.count(r, list_bound(INT32_MAX), "list_dirs");
            if ((r >= 0) != (dirs != nullptr))
                v.fail("list_dirs list and result disagree");
            v.null_terminated(dirs, r, "folder list");
            for (int i = 0; dirs && i < r && dirs[i]; i++) {
                v.text(dirs[i]->name, "folder name");
                v.text(dirs[i]->full, "folder path");
            }
            for (int i = 0; dirs && dirs[i]; i++)
                free(dirs[i]);
            free(dirs);
            break;
        }
        case 1: {
            pelmora_lib_item_t **items = nullptr;
            int r = k % 2 ? pelmora_lib_list_items(u, "/news", &items)
                          : pelmora_lib_list_items2(u, "/news", &items, 0, LIBRARY_PAGE_ITEMS);
            v.count(r, list_bound(INT32_MAX), "list_items");
            v.null_terminated(items, r, "item list");
            for (int i = 0; items && i < r && items[i]; i++)
                check_item(v, items[i]);
            for (int i = 0; items && items[i]; i++)
                free(items[i]);
            free(items);
            break;
        }
        case 2: {
            pelmora_lib_item_t parent;
            pelmora_lib_subclip_t **subs = nullptr;
            int r = pelmora_lib_list_subclips(u, "/news/opener.mov", &subs, &parent);
            v.count(r, list_bound(INT32_MAX), "list_subclips");
            if (r > 0 && !subs)
                v.fail("subclip count without a list");
            v.null_terminated(subs, r, "subclip list");
            for (int i = 0; subs && i < r && subs[i]; i++) {
                v.text(subs[i]->title, "subclip title");
                if (subs[i]->idx != i || subs[i]->parent != &parent)
                    v.fail("subclip index or parent");
            }
            if (subs)
                pelmora_lib_list_subclips_free(&subs);
            break;
        }
        case 3: {
            pelmora_lib_item_t it;
            v.count(pelmora_lib_meta_item(u, "/news/opener.mov", &it), INT32_MAX, "meta_item");
            check_item(v, &it);
            break;
        }
        case 4: {
            void *data = nullptr;
            int size = -1;
            int r = pelmora_lib_thumb_item(u, "/news/opener.mov", "fit", 64, 36, &data, &size);
            v.count(r, INT32_MAX, "thumb_item");
            if (r >= 0 && (!data || size <= 0 || size > PELMORA_LIB_THUMB_MAX))
                v.fail("thumbnail size " + std::to_string(size));
            if (r < 0 && (data || size))
                v.fail("failed thumbnail left data");
            free(data);
            break;
        }
        case 5: {
            static const int limits[] = {0, 3, LIBRARY_JOURNAL_LIMIT, 100000};
            int limit = limits[(k / 9) % 4];
            pelmora_lib_state_t *st = nullptr;
            int r = pelmora_lib_state(u, limit, &st);
            int cap = limit > 0 ? std::min(limit, PELMORA_LIB_STATE_MAX_ENTRIES) : PELMORA_LIB_STATE_MAX_ENTRIES;
            v.count(r, list_bound(cap), "state");
            if ((r >= 0) != (st != nullptr) || (st && st->amend_list_len != r))
                v.fail("state count and journal disagree");
            for (int i = 0; st && i < st->amend_list_len; i++)
                v.text(st->amend_list_data[i], 260, "journal entry");
            free(st);
            break;
        }
        case 6: {
            char dst[260];
            memset(dst, 'x', sizeof dst);
            int r = k % 2 ? pelmora_lib_search_item(u, 0, "", "news", dst)
                          : pelmora_lib_search_item_dur_range(u, 0, nullptr, 1.0, 2.0, dst);
            v.count(r, INT32_MAX, "search");
            v.text(dst, "search hit");
            break;
        }
        case 7: {
            char abs_name[260], local[260];
            int shm = 0;
            v.count(pelmora_lib_basename_item(u, "id", k % 2 ? "mov" : nullptr, abs_name, local, &shm), INT32_MAX,
                    "basename");
            v.text(abs_name, "basename value");
            v.text(local, "basename object");
            break;
        }
        default: {
            char **list = nullptr;
            int r = k % 2 ? pelmora_lib_list_templates(u, &list) : pelmora_lib_list_template_vars(u, "t", &list);
            v.count(r, list_bound(INT32_MAX), "template list");
            if ((r >= 0) != (list != nullptr))
                v.fail("template list and result disagree");
            v.null_terminated(list, r, "template list");
            free_strings(list);
            break;
        }
        }
    });
}

TEST_F(ReliabilityHostileMedia, IoClientKeepsItsConventions)
{
    verdict v;
    int k = 0;
    drive(v, 1000, [&](verdict &v) {
        const char *u = url.c_str();
        switch (k++ % 6) {
        case 0:
        case 1: {
            pelmora_status_t s;
            memset(&s, 0x5a, sizeof s);
            int r = pelmora_getstatus(u, &s);
            v.count(r, INT32_MAX, "getstatus");
            v.text(s.name, "status name");
            v.text(s.cookie, "status cookie");
            break;
        }
        case 2: {
            pelmora_io_clip_t *clips = nullptr;
            int gen_no = 0, pos = 0, idx = 0;
            int r = pelmora_playlist_items(u, &clips, &gen_no, &pos, &idx);
            v.count(r, list_bound(PELMORA_IO_PLAYLIST_MAX), "playlist_items");
            if (r > 0 && !clips)
                v.fail("playlist count without clips");
            for (int i = 0; clips && i < r; i++) {
                v.text(clips[i].name, "clip name");
                v.text(clips[i].cookie, "clip cookie");
            }
            free(clips);
            break;
        }
        case 3: {
            char abs_name[260], local[260];
            int shm = 0;
            v.count(pelmora_io_basename_item(u, "id", abs_name, local, &shm), INT32_MAX, "io basename");
            v.text(abs_name, "io basename value");
            v.text(local, "io basename object");
            break;
        }
        case 4:
            v.count(pelmora_playlist_append(u, "/news/opener.mov", 0, 25, nullptr, nullptr, nullptr), INT32_MAX,
                    "append");
            break;
        default: {
            int r = (k / 6) % 3 == 0   ? pelmora_stop(u)
                    : (k / 6) % 3 == 1 ? pelmora_cue_play_with_data(u, 90000)
                                       : pelmora_playlist_seek(u, 12);
            v.count(r, INT32_MAX, "transport");
            break;
        }
        }
    });
}

TEST_F(ReliabilityHostileMedia, JobClientKeepsItsConventions)
{
    const int limit = 4;
    guarded_records<pelmora_filetransfer_target_t> trg(limit);
    guarded_records<pelmora_filetransfer_request_t> req(limit);
    guarded_records<pelmora_filetranscoder_request_t> tr(limit);
    guarded_records<pelmora_sched_item_t> sched(limit);
    guarded_records<pelmora_sched_log_t> logs(limit);
    verdict v;
    int k = 0;
    drive(v, 1000, [&](verdict &v) {
        const char *u = url.c_str();
        switch (k++ % 8) {
        case 0: {
            trg.clear();
            int r = pelmora_filetransfer_targets_list(u, 0, limit, trg.recs.data());
            v.count(r, limit, "targets_list");
            if (!trg.tail_untouched())
                v.fail("targets written past the limit");
            for (int i = 0; i < limit; i++)
                v.text(trg.recs[(size_t)i].passw, "target password");
            break;
        }
        case 1: {
            req.clear();
            int r = pelmora_filetransfer_requests_list(u, -1, 0, limit, req.recs.data());
            v.count(r, limit, "transfer requests_list");
            if (!req.tail_untouched())
                v.fail("transfers written past the limit");
            for (int i = 0; i < limit; i++)
                v.text(req.recs[(size_t)i].object_remote, "transfer remote object");
            break;
        }
        case 2: {
            tr.clear();
            int r = pelmora_filetranscoder_requests_list(u, -1, 0, limit, tr.recs.data());
            v.count(r, limit, "transcoder requests_list");
            if (!tr.tail_untouched())
                v.fail("transcoder jobs written past the limit");
            for (int i = 0; i < limit; i++) {
                v.text(tr.recs[(size_t)i].dst.object, "transcoder destination");
                v.text(tr.recs[(size_t)i].osd, "transcoder osd");
            }
            break;
        }
        case 3: {
            req.clear();
            v.count(pelmora_filetransfer_request_get(u, 7, req.recs.data()), INT32_MAX, "request_get");
            v.text(req.recs[0].error, "transfer error");
            if (!req.tail_untouched())
                v.fail("request_get wrote past its record");
            break;
        }
        case 4: {
            char **list = nullptr;
            int r = pelmora_filetransfer_list(u, "t1", "/", &list);
            v.count(r, list_bound(INT32_MAX), "list_remote");
            v.null_terminated(list, std::max(r, 0), "remote list");
            free_strings(list);
            break;
        }
        case 5: {
            int64_t t = 0, size = 0;
            v.count(pelmora_filetransfer_probe(u, "t1", "/a", &t, &size), INT32_MAX, "probe");
            break;
        }
        case 6: {
            sched.clear();
            logs.clear();
            int r = k % 2 ? pelmora_sched_item_list(u, limit, sched.recs.data())
                          : pelmora_sched_log_list(u, limit, logs.recs.data());
            v.count(r, limit, "scheduler list");
            if (!sched.tail_untouched() || !logs.tail_untouched())
                v.fail("scheduler records written past the limit");
            break;
        }
        default: {
            pelmora_sched_state_t st;
            v.count(pelmora_sched_get_state(u, &st), INT32_MAX, "sched state");
            v.text(st.s_now, "scheduler now");
            v.text(st.s_next, "scheduler next");
            break;
        }
        }
    });
}

TEST_F(ReliabilityHostileMedia, SettingsClientKeepsItsConventions)
{
    verdict v;
    int k = 0;
    drive(v, 1000, [&](verdict &v) {
        const char *u = url.c_str();
        switch (k++ % 4) {
        case 0: {
            pelmora_io_settings_t s;
            memset(&s, 0, sizeof s);
            v.count(pelmora_io_settings_get(u, &s), INT32_MAX, "settings_get");
            v.text(s.ver, "settings version");
            v.text(s.mode, "settings mode");
            v.text(s.record_channels_map, "channel map");
            char built[64];
            pelmora_settings_record_map_build(built, sizeof built, s.record_channels_conf, s.record_channels_map);
            v.text(built, "built channel map");
            break;
        }
        case 1:
        case 2: {
            pelmora_io_mode_t **modes = nullptr;
            int r = pelmora_io_settings_get_modes(u, &modes);
            v.count(r, list_bound(PELMORA_IO_MODES_MAX), "get_modes");
            if ((r >= 0) != (modes != nullptr))
                v.fail("mode list and result disagree");
            v.null_terminated(modes, std::max(r, 0), "mode list");
            for (int i = 0; modes && i < r && modes[i]; i++) {
                pelmora_io_mode_t *m = modes[i];
                v.text(m->name, "mode name");
                if (m->enc_cnt < 0 || m->enc_cnt > PELMORA_IO_ENCS_MAX || m->osd_cnt < 0 ||
                    m->osd_cnt > PELMORA_IO_OSDS_MAX) {
                    v.fail("mode counts out of bounds");
                    continue;
                }
                v.null_terminated(m->enc, m->enc_cnt, "encoder list");
                v.null_terminated(m->osd, m->osd_cnt, "osd list");
                for (int e = 0; m->enc && e < m->enc_cnt && m->enc[e]; e++)
                    v.text(m->enc[e]->desc, "encoder description");
            }
            if (modes)
                pelmora_io_settings_free_modes(&modes);
            break;
        }
        default:
            v.count(k % 2 ? pelmora_io_settings_set_value(u, "keyer", "1") : pelmora_io_settings_set_mode(u, 1, 2),
                    INT32_MAX, "settings set");
            break;
        }
    });
}

namespace {

/* Expands the library rows down to depth 3 (a folder's sub-folders, items
 * and their subclips load when opened) and scrolls the tree somewhere. */
void open_and_scroll(GtkTreeView *view, std::mt19937 &rng)
{
    GtkTreeModel *m = gtk_tree_view_get_model(view);
    std::function<void(GtkTreeIter *, int)> walk = [&](GtkTreeIter *parent, int depth) {
        GtkTreeIter it;
        int n = 0;
        for (gboolean ok = gtk_tree_model_iter_children(m, &it, parent); ok && n < 6;
             ok = gtk_tree_model_iter_next(m, &it), n++) {
            if (!gtk_tree_model_iter_has_child(m, &it))
                continue;
            GtkTreePath *p = gtk_tree_model_get_path(m, &it);
            if (rng() % 8 == 0)
                gtk_tree_view_collapse_row(view, p); /* and opened again later: read anew */
            else
                gtk_tree_view_expand_row(view, p, FALSE);
            gtk_tree_path_free(p);
            if (depth < 3)
                walk(&it, depth + 1);
        }
    };
    walk(nullptr, 0);
    GtkAdjustment *adj = gtk_tree_view_get_vadjustment(view);
    double span = gtk_adjustment_get_upper(adj) - gtk_adjustment_get_page_size(adj);
    if (span > 0)
        gtk_adjustment_set_value(adj, span * (double)(rng() % 100) / 100.0);
}

} // namespace

TEST_F(ReliabilityHostileMedia, RunningConsoleMeetsBrokenLibraryAndIoAnswers)
{
    srv.locked([this] { gen.short_lists = gen.automation.small_counts = true; });
    const int buses = 4;
    std::vector<std::string> args;
    for (int i = 0; i < buses; i++)
        for (const std::string &a :
             {"--add-bus=BUS" + std::to_string(i), "--host=" + srv.hostport(), "--idx=" + std::to_string(i),
              "--lib=" + srv.hostport(), "--io-preview=" + srv.hostport()})
            args.push_back(a);
    engine_app e;
    ASSERT_TRUE(e.create(args));
    gtk_widget_show(e.app->window);
    for (int i = 0; i < buses; i++)
        ASSERT_NE(e.app->bus.list[i].lib.ui[LIBRARY_UI_CLIPS_TREE], nullptr);
    ASSERT_EQ(instance_init(e.app), 0);

    /* The operator opens and scrolls every bus's library while the
     * notification threads, the monitors and the bus engines poll. */
    std::mt19937 rng(11);
    int lib0 = srv.served_prefix("PelmoraLib."), status0 = srv.served("PelmoraIO.GetStatus"),
        state0 = srv.served("PelmoraLib.LibState"), list0 = srv.served("PelmoraLib.LibListItems"), all0 = srv.served();
    auto t0 = clock_type::now();
    while (ms_since(t0) < 90000 && (srv.served_prefix("PelmoraLib.") - lib0 < 1000 || srv.served() - all0 < 1500)) {
        for (int i = 0; i < buses; i++)
            open_and_scroll(GTK_TREE_VIEW(e.app->bus.list[i].lib.ui[LIBRARY_UI_CLIPS_TREE]), rng);
        engine_run_for(100);
    }
    EXPECT_GE(srv.served_prefix("PelmoraLib.") - lib0, 1000);
    EXPECT_GT(srv.served("PelmoraLib.LibState") - state0, 20) << "the notification threads met broken journals";
    EXPECT_GT(srv.served("PelmoraLib.LibListItems") - list0, 20) << "the tree loader met broken listings";
    /* The buses' monitors of this one server share one poll. */
    EXPECT_GT(srv.served("PelmoraIO.GetStatus") - status0, 2) << "the monitors met broken status";
    for (int i = 0; i < buses; i++)
        EXPECT_TRUE(e.app->bus.list[i].preview.f_running);

    /* Closed as the operator closes it: the shutdown thread stops the
     * monitors, the notification threads, the libraries and the engines. */
    ASSERT_TRUE(reliability_close_console(e.app, 30000)) << "the console did not stop";
    EXPECT_EQ(e.app->f_exit, 2);
    EXPECT_EQ(bus_main_thread_violations(), 0);
}

namespace {

/* A LibState answer with one journal entry. */
xmlrpc_value *lib_state(xmlrpc_env *env, int64_t amend, int64_t free_space, const char *entry)
{
    return xmlrpc_build_value(env, "{s:i,s:I,s:i,s:I,s:I,s:((s))}", "result", 0, "amend_idx", (xmlrpc_int64)amend,
                              "total_items", 1, "free_space", (xmlrpc_int64)free_space, "total_space", (xmlrpc_int64)3,
                              "amend_list", entry);
}

/* Two notification passes of a library tree over a server whose LibState
 * answers are made by state (called with the pass number); exits 0 when the
 * tree still has its root row afterwards. For the death tests below: a crash
 * there ends only their own process. */
void two_passes_then_exit(const std::function<xmlrpc_value *(xmlrpc_env *, int)> &state)
{
    int pass = 0;
    test_xmlrpc_server state_srv([&](xmlrpc_env *env, const std::string &m, xmlrpc_value *) -> xmlrpc_value * {
        if (m != "PelmoraLib.LibState")
            return xmlrpc_build_value(env, "{s:i}", "result", -2);
        return state(env, pass++);
    });
    library_t *lib = static_cast<library_t *>(calloc(1, sizeof(library_t)));
    strlcpy(lib->url, state_srv.url().c_str(), sizeof lib->url);
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_container_add(GTK_CONTAINER(window), library_ui_tree_create(lib));
    library_init(lib);
    GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(lib->ui[LIBRARY_UI_CLIPS_TREE]));
    library_stat_notify(lib, 1);
    library_stat_notify(lib, 1);
    GtkTreeIter root;
    bool whole = gtk_tree_model_get_iter_first(m, &root);
    library_release(lib);
    gtk_widget_destroy(window);
    free(lib);
    exit(whole ? 0 : 1);
}

} // namespace

TEST_F(ReliabilityHostileMedia, AbsurdLibraryCountersOverflowNothing)
{
    /* The change counter jumps from near the smallest to the largest value,
     * the free space is the largest value: no difference or percentage may
     * overflow (the sanitizer build checks). */
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(two_passes_then_exit([](xmlrpc_env *env, int pass) {
                    return lib_state(env, pass ? INT64_MAX : INT64_MIN + 1, INT64_MAX, "+/clip.mov");
                }),
                testing::ExitedWithCode(0), "");
}

TEST_F(ReliabilityHostileMedia, JournalEntryWithoutAPathLeavesTheTreeWhole)
{
    /* A state whose journal holds a removal of no path at all ("-"): the
     * second pass applies it. The root row must stay; run apart, as a crash
     * here ends the process (a fresh process: GTK is not forked). */
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(two_passes_then_exit([](xmlrpc_env *env, int pass) { return lib_state(env, 11 + pass, 1, "-"); }),
                testing::ExitedWithCode(0), "");
}

TEST_F(ReliabilityHostileMedia, EmptyJournalEntryIsPassedOver)
{
    /* An entry that is not even a kind character. */
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(two_passes_then_exit([](xmlrpc_env *env, int pass) { return lib_state(env, 11 + pass, 1, ""); }),
                testing::ExitedWithCode(0), "");
}
