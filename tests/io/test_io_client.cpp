/* The IO and IO settings clients: against a raw hostile server (malformed
 * values in every member, missing and extra members, oversized lists) and
 * against the player of pelmora-sim (its time model over a real clip). */
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <mutex>
#include <string>
#include <vector>

#include "client_env.h"
#include "hostile_values.h"
#include "io_sim.h"
#include "media_fixture.h"
#include "pelmora.h"
#include "pelmora_io.h"
#include "pelmora_lib.h"
#include "pelmora_settings.h"
#include "pelmorabox.h"
#include "raw_http_server.h"

namespace {

::testing::Environment *const client_env = client_env_add("io-client-test");

std::string member(const std::string &name, const std::string &value)
{
    return "<member><name>" + name + "</name><value>" + value + "</value></member>";
}

std::string response(const std::string &members)
{
    return "<?xml version=\"1.0\"?><methodResponse><params><param><value><struct>" + members +
           "</struct></value></param></params></methodResponse>";
}

const char *status_ints[] = {"result",         "status",       "loop",         "clip_length",
                             "clip_in",        "clip_dur",     "clip_pos",     "clip_start",
                             "clip_idx",       "playlist_gen", "playlist_dur", "playlist_pos",
                             "playlist_count", "rec_paused",   "tc_frames",    "tc_src"};

/* A whole status with one member's value replaced (or left out when the
 * replacement is empty). */
std::string status_xml(const std::string &which = "", const std::string &value = "<i4>7</i4>")
{
    std::string m;
    auto add = [&](const std::string &n, const std::string &v) {
        if (n != which)
            m += member(n, v);
        else if (!value.empty())
            m += member(n, value);
    };
    for (const char *n : status_ints)
        add(n, std::string("<i4>") + (strcmp(n, "result") ? "5" : "0") + "</i4>");
    add("name", "<string>clip</string>");
    add("cookie", "<string>ck</string>");
    add("playlist_speed", "<double>1.5</double>");
    return response(m);
}

std::string array(const std::vector<std::string> &values)
{
    std::string a = "<array><data>";
    for (const auto &v : values)
        a += "<value>" + v + "</value>";
    return a + "</data></array>";
}

std::string setting(const std::string &name, const std::string &value)
{
    return "<struct>" + member("name", name) + member("value", value) + "</struct>";
}

std::string mode(const std::string &idx, int n_enc, const std::string &osd)
{
    std::vector<std::string> encs((size_t)n_enc, "<struct>" + member("idx", "<i4>1</i4>") +
                                                     member("desc", "<string>E</string>") +
                                                     member("name", "<string>e</string>") + "</struct>");
    return "<struct>" + member("idx", idx) + member("desc", "<string>D</string>") +
           member("name", "<string>m</string>") + member("list", array(encs)) + member("osds", array({osd})) +
           "</struct>";
}

/* The answer the raw server sends; a previous answer may still be going
 * out on its own thread when the test sets the next one. */
struct answer_text
{
    std::mutex lock;
    std::string text;
    answer_text &operator=(const std::string &t)
    {
        std::lock_guard<std::mutex> g(lock);
        text = t;
        return *this;
    }
    std::string get()
    {
        std::lock_guard<std::mutex> g(lock);
        return text;
    }
};

} // namespace

TEST(IoClient, HostileStatusAnswers)
{
    raw_http::raw_server srv;
    answer_text body;
    srv.set([&](int fd) { raw_http::answer_body(fd, body.get()); });
    pelmora_status_t s;

    body = status_xml("zzz_extra", "<string>x</string>"); // an extra member is ignored
    ASSERT_EQ(pelmora_getstatus(srv.url().c_str(), &s), 0);
    EXPECT_STREQ(s.name, "clip");
    EXPECT_EQ(s.playlist_speed, 1.5);
    EXPECT_EQ(s.tc_src, 5);

    body = status_xml("tc_src", ""); // the last member missing fails everything
    EXPECT_EQ(pelmora_getstatus(srv.url().c_str(), &s), -14);
    body = status_xml("name", "<string>" + std::string(100000, 'n') + "</string>");
    ASSERT_EQ(pelmora_getstatus(srv.url().c_str(), &s), 0);
    EXPECT_EQ(strlen(s.name), 259u);

    // Every malformed value in a member of each type, and values of the
    // wrong type: no crash, no leak (sanitizer build), -14 every time.
    for (const char *which : {"result", "name", "playlist_speed", "tc_src"}) {
        for (const std::string &bad : malformed_values()) {
            body = status_xml(which, bad);
            EXPECT_EQ(pelmora_getstatus(srv.url().c_str(), &s), -14) << which << " " << bad.substr(0, 60);
        }
        body = status_xml(which, array({"<i4>1</i4>"}));
        EXPECT_EQ(pelmora_getstatus(srv.url().c_str(), &s), -14) << which;
    }
    body = hostile_doctype() + status_xml();
    EXPECT_EQ(pelmora_getstatus(srv.url().c_str(), &s), -14);
}

TEST(IoClient, HostileSettingsAnswers)
{
    raw_http::raw_server srv;
    answer_text body;
    srv.set([&](int fd) { raw_http::answer_body(fd, body.get()); });
    const char *url = srv.url().c_str();

    // Elements that do not decompose are skipped; a number that is no
    // number reads as 0; over-long values are cut.
    pelmora_io_settings_t st;
    memset(&st, 0, sizeof(st));
    body = response(
        member("result", "<i4>0</i4>") +
        member("list",
               array({setting("<string>mode</string>", "<string>" + std::string(5000, 'm') + "</string>"),
                      setting("<string>keyer</string>", "<i4>2</i4>"),
                      "<struct>" + member("name", "<string>enc</string>") + "</struct>", "<string>stray</string>",
                      setting("<string>record_channels_conf</string>", "<string>x3</string>"),
                      setting("<string>PelmoraIO</string>", "<string>v9</string>")})));
    ASSERT_EQ(pelmora_io_settings_get(url, &st), 0);
    EXPECT_EQ(strlen(st.mode), 259u);
    EXPECT_EQ(st.keyer, 0);
    EXPECT_EQ(st.enc[0], 0);
    EXPECT_EQ(st.record_channels_conf, 0);
    EXPECT_STREQ(st.ver, "v9");

    std::vector<std::string> many(PELMORA_IO_SETTINGS_MAX + 1, setting("<string>a</string>", "<string>b</string>"));
    body = response(member("result", "<i4>0</i4>") + member("list", array(many)));
    EXPECT_EQ(pelmora_io_settings_get(url, &st), -14);
    body = response(member("result", "<i4>-5</i4>"));
    EXPECT_EQ(pelmora_io_settings_get(url, &st), -5);
    for (const std::string &bad : malformed_values()) {
        body =
            response(member("result", "<i4>0</i4>") + member("list", array({setting("<string>mode</string>", bad)})));
        EXPECT_EQ(pelmora_io_settings_get(url, &st), -14) << bad.substr(0, 60);
    }

    // Modes: a fault anywhere abandons the whole list (and frees it).
    pelmora_io_mode_t **modes = nullptr;
    body = response(member("result", "<i4>0</i4>") +
                    member("list", array({mode("<i4>0</i4>", 2,
                                               "<array><data><value><string>clock</string>"
                                               "</value></data></array>"),
                                          mode("<i4>1</i4>", 0,
                                               "<array><data><value><string>logo</string>"
                                               "</value></data></array>")})));
    ASSERT_EQ(pelmora_io_settings_get_modes(url, &modes), 2);
    ASSERT_NE(modes, nullptr);
    EXPECT_EQ(modes[0]->enc_cnt, 2);
    EXPECT_EQ(modes[1]->enc_cnt, 0);
    EXPECT_STREQ(modes[1]->osd[0], "logo");
    EXPECT_EQ(modes[1]->osd[1], nullptr);
    EXPECT_EQ(modes[2], nullptr);
    EXPECT_EQ(pelmora_io_settings_free_modes(&modes), 0);
    EXPECT_EQ(modes, nullptr);
    EXPECT_EQ(pelmora_io_settings_free_modes(&modes), -22);

    const std::string good_osd = "<array><data><value><string>c</string></value></data></array>";
    for (const std::string &bad :
         {mode("<i4>0</i4>", 0, "<string>not an array</string>"), mode("<i4>0</i4>", 0, "<array><data></data></array>"),
          mode("<string>0</string>", 1, good_osd), mode("<i4>0</i4>", PELMORA_IO_ENCS_MAX + 1, good_osd)}) {
        body = response(member("result", "<i4>0</i4>") + member("list", array({mode("<i4>0</i4>", 1, good_osd), bad})));
        EXPECT_EQ(pelmora_io_settings_get_modes(url, &modes), -14) << bad.substr(0, 120);
        EXPECT_EQ(modes, nullptr);
    }
}

TEST(IoClient, MapTexts)
{
    char buf[64];
    EXPECT_STREQ(pelmora_settings_record_map_build(buf, sizeof buf, 3, "01234567"), "[1,2][3,4]");
    EXPECT_STREQ(pelmora_settings_record_map_build(buf, sizeof buf, 1, "23"), "[3,4]");
    EXPECT_STREQ(pelmora_settings_record_map_build(buf, sizeof buf, 8, "01"), "<unknown>");
    EXPECT_STREQ(pelmora_settings_record_map_build(buf, 6, 7, "ZZZZZZZZ"), "[36,3");
    EXPECT_EQ(pelmora_settings_get_record_map_idx(9, "01234567"), 0);
    EXPECT_EQ(pelmora_settings_get_record_map_idx(1, "0B"), 11);
    EXPECT_EQ(pelmora_settings_get_record_map_idx(0, nullptr), 0);
    EXPECT_STREQ(pelmora_settings_get_record_channels_conf(8), "<unknown>");
}

// The player of pelmora-sim over a real clip of two seconds made here.
TEST(IoClient, SimPlayerMovesWithTime)
{
    char dir[] = "/tmp/io_media_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string media = std::string(dir);
    ASSERT_TRUE(media_test_pattern(media + "/two.mov", 2, "mpeg4"));
    {
        io_sim sim(1, {"--library=0", "--media=" + media});
        ASSERT_TRUE(sim.ok());
        const char *url = sim.urls[0].c_str();
        pelmora_status_t s;

        // The player's server answers for the library too (the subclip
        // editor's caller asks it): what it registers is the library's.
        pelmora_lib_item_t item;
        memset(&item, 0, sizeof item);
        ASSERT_EQ(pelmora_lib_meta_item(url, "/two.mov", &item), 0);
        EXPECT_NEAR(item.duration, 2.0, 0.05);
        ASSERT_GE(pelmora_lib_register_subclip(url, "/two.mov", 5, 10, "from the player's server"), 0);
        pelmora_lib_subclip_t **subs = nullptr;
        ASSERT_EQ(pelmora_lib_list_subclips(url, "/two.mov", &subs, &item), 1);
        EXPECT_STREQ(subs[0]->title, "from the player's server");
        pelmora_lib_list_subclips_free(&subs);

        EXPECT_EQ(pelmora_playlist_append(url, "/nothere.mov", 0, 0, nullptr, nullptr, nullptr), -2);
        EXPECT_EQ(pelmora_playlist_append(url, "/../etc/passwd", 0, 0, nullptr, nullptr, nullptr), -1);
        ASSERT_EQ(pelmora_playlist_append(url, "/two.mov", 0, 0, nullptr, nullptr, nullptr), 0);
        ASSERT_EQ(pelmora_playlist_append(url, "/two.mov", 10, 20, "", "", "second"), 0);
        ASSERT_EQ(pelmora_getstatus(url, &s), 0);
        EXPECT_EQ(s.playlist_gen, 2);
        EXPECT_EQ(s.clip_length, 50); // the clip's own duration
        EXPECT_EQ(s.playlist_dur, 70);
        EXPECT_EQ(s.playlist_count, 2);

        char abs[260], local[260];
        int shm = 0;
        EXPECT_EQ(pelmora_io_basename_item(url, "/two.mov", abs, local, &shm), 0);
        EXPECT_STREQ(local, "/two.mov");
        EXPECT_NE(strstr(abs, "/two.mov"), nullptr);

        ASSERT_EQ(pelmora_play(url), 0);
        ASSERT_TRUE(io_wait_for([&] { return pelmora_getstatus(url, &s) == 0 && s.playlist_pos >= 55; }, 5000));
        EXPECT_EQ(s.clip_idx, 1);
        EXPECT_STREQ(s.cookie, "second");
        EXPECT_EQ(s.clip_pos, 10 + s.playlist_pos - 50);

        // Paused, two answers are the same; reverse play goes back.
        ASSERT_EQ(pelmora_pause(url), 0);
        pelmora_status_t a, b;
        ASSERT_EQ(pelmora_getstatus(url, &a), 0);
        ASSERT_EQ(pelmora_getstatus(url, &b), 0);
        EXPECT_EQ(memcmp(&a, &b, sizeof a), 0);
        EXPECT_EQ(a.playlist_speed, 0);
        ASSERT_EQ(pelmora_play_vari(url, -2), 0);
        ASSERT_TRUE(
            io_wait_for([&] { return pelmora_getstatus(url, &s) == 0 && s.playlist_pos < a.playlist_pos - 5; }, 5000));
        EXPECT_EQ(s.playlist_speed, -2);
        EXPECT_EQ(pelmora_play_vari(url, 1e9), -22);

        // Seek is in the current clip's media frames; the list runs out and stops.
        ASSERT_EQ(pelmora_stop(url), 0);
        ASSERT_EQ(pelmora_playlist_seek_to(url, 1, 25), 0);
        ASSERT_EQ(pelmora_getstatus(url, &s), 0);
        EXPECT_EQ(s.playlist_pos, 65);
        ASSERT_EQ(pelmora_playlist_seek(url, 0), 0);
        ASSERT_EQ(pelmora_getstatus(url, &s), 0);
        EXPECT_EQ(s.clip_pos, 10);

        pelmora_io_clip_t *clips = nullptr;
        int gen = 0;
        ASSERT_EQ(pelmora_playlist_items(url, &clips, &gen, nullptr, nullptr), 2);
        EXPECT_EQ(gen, 2);
        EXPECT_EQ(clips[1].in, 10);
        EXPECT_EQ(clips[1].dur, 20);
        free(clips);
        EXPECT_EQ(pelmora_playlist_clear(url), 0);
        ASSERT_EQ(pelmora_getstatus(url, &s), 0);
        EXPECT_EQ(s.playlist_gen, 3);
        EXPECT_EQ(s.playlist_count, 0);
    }
    system((std::string("rm -rf ") + dir).c_str());
}

// The automation server's preview puts the event into the IO server it names:
// the bus preview's order (stop, cue, pause, preview, seek, status).
TEST(IoClient, SimPreviewLoadsTheEvent)
{
    io_sim sim(2, {"--events=3"});
    ASSERT_TRUE(sim.ok());
    const char *io = sim.urls[1].c_str();
    pelmorabox_bus_state_t bs;
    pelmora_status_t s;
    ASSERT_EQ(pelmora_stop(io), 0);
    ASSERT_EQ(pelmora_cue_play(io), 0);
    ASSERT_EQ(pelmora_pause(io), 0);
    ASSERT_EQ(pelmorabox_preview(sim.c.url.c_str(), 0, 1, io, &bs), 0);
    ASSERT_EQ(pelmora_playlist_seek(io, 0), 0);
    ASSERT_EQ(pelmora_getstatus(io, &s), 0);
    EXPECT_EQ(s.playlist_count, 1);
    EXPECT_GT(s.playlist_dur, 0);
    EXPECT_EQ(s.name[0], '/');
    EXPECT_NE(s.cookie[0], 0); // the event's sys_id
    // Only the named player got it.
    ASSERT_EQ(pelmora_getstatus(sim.urls[0].c_str(), &s), 0);
    EXPECT_EQ(s.playlist_count, 0);
}

// Hostile callers of the simulated player: every method with parameters of
// the wrong kind, too long or with control characters, odd numbers. Each
// gets a fault or a negative result; the player goes on and ends cleanly.
TEST(IoClient, SimPlayerRefusesHostileCalls)
{
    io_sim sim(1);
    ASSERT_TRUE(sim.ok());
    const char *url = sim.urls[0].c_str();
    const char *methods[] = {"Play",
                             "Pause",
                             "Stop",
                             "CuePlay",
                             "CuePlayWithData",
                             "Record",
                             "PlaylistSeek",
                             "PlaylistSeekTo",
                             "PlaylistStep",
                             "PlaylistAppend",
                             "PlaylistInsert",
                             "PlaylistAppend2",
                             "PlaylistInsert2",
                             "PlaylistClear",
                             "PlaylistRemove",
                             "PlaylistRepeatClip",
                             "PlaylistResizeClip",
                             "PlaylistMove",
                             "PlaylistLoop",
                             "PlaylistItems",
                             "CueRecord",
                             "RecordNext",
                             "RecordPause",
                             "LibBasenameItem",
                             "SettingsSetMode",
                             "SettingsSetValue",
                             "SettingsSave",
                             "GetStatus"};
    std::string long_text(100000, 'x');
    for (const char *m : methods) {
        std::string method = std::string("PelmoraIO.") + m;
        xmlrpc_env env;
        xmlrpc_env_init(&env);
        xmlrpc_value *r[8] = {xmlrpc_client_callX(&env, url, method.c_str(), "(s)", long_text.c_str()),
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr};
        xmlrpc_env_clean(&env);
        xmlrpc_env_init(&env);
        r[1] = xmlrpc_client_callX(&env, url, method.c_str(), "(sii)", "a\x01b", (xmlrpc_int32)-1,
                                   (xmlrpc_int32)0x7fffffff);
        xmlrpc_env_clean(&env);
        xmlrpc_env_init(&env);
        r[2] = xmlrpc_client_callX(&env, url, method.c_str(), "(iii)", (xmlrpc_int32)0x7fffffff,
                                   (xmlrpc_int32)-0x7fffffff, (xmlrpc_int32)0x7fffffff);
        xmlrpc_env_clean(&env);
        xmlrpc_env_init(&env);
        r[3] = xmlrpc_client_callX(&env, url, method.c_str(), "(d)", 1e308);
        xmlrpc_env_clean(&env);
        xmlrpc_env_init(&env);
        r[4] = xmlrpc_client_callX(&env, url, method.c_str(), "({s:i})", "name", (xmlrpc_int32)1);
        xmlrpc_env_clean(&env);
        xmlrpc_env_init(&env);
        r[5] = xmlrpc_client_callX(&env, url, method.c_str(), "(siisss)", "/demo/clip001.mxf", (xmlrpc_int32)5000,
                                   (xmlrpc_int32)-3, "", "", "");
        xmlrpc_env_clean(&env);
        for (xmlrpc_value *v : r) {
            if (!v)
                continue;
            xmlrpc_env_init(&env);
            xmlrpc_int32 result = 0;
            xmlrpc_decompose_value(&env, v, "{s:i,*}", "result", &result);
            if (!env.fault_occurred && std::string(m) != "GetStatus" && std::string(m) != "PlaylistItems") {
                EXPECT_LT(result, 1) << method;
            }
            xmlrpc_env_clean(&env);
            xmlrpc_DECREF(v);
        }
    }
    pelmora_status_t s;
    EXPECT_EQ(pelmora_getstatus(url, &s), 0);
    EXPECT_LE(s.playlist_count, 1000);
}
