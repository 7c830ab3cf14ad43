// The library server of pelmora-sim over real sample media (made with the
// ffmpeg program at test time), driven through the library client: metadata
// against ffprobe, thumbnails, paging, outside changes in the journal, own
// changes and amend_idx, subclips, and paths that try to leave the folder.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>

#include "client_env.h"
#include "media_fixture.h"
#include "pelmora.h"
#include "pelmora_lib.h"
#include "sim_child.h"

namespace {

const auto *const env = client_env_add("library-test");

// One media folder for the whole program: making clips is the slow part.
struct media_fixture
{
    std::string root; // the tree the sim serves
    media_fixture()
    {
        char dir[] = "/tmp/lib_it_XXXXXX";
        if (!mkdtemp(dir))
            return;
        root = std::string(dir) + "/media";
        std::string cmd = std::string(PELMORA_SOURCE_DIR) + "/scripts/make-media --quick " + root + " >/dev/null";
        if (system(cmd.c_str()) != 0)
            root.clear();
    }
    ~media_fixture()
    {
        if (!root.empty())
            system(("rm -rf " + root.substr(0, root.size() - 6)).c_str());
    }
};
media_fixture &media()
{
    static media_fixture m;
    return m;
}

struct lib_sim
{
    sim_child_t c;
    std::string url;
    explicit lib_sim(const std::string &root)
    {
        std::vector<std::string> args = {"--automation=0", "--library=0", "--media=" + root, "--data=" + root + "/..",
                                         "--log-calls"};
        if (sim_child_start(&c, sim_child_bin(), args) < 0)
            return;
        std::lock_guard<std::mutex> g(c.lock);
        for (const std::string &l : c.lines)
            if (l.compare(0, 13, "library port ") == 0)
                url = "http://127.0.0.1:" + l.substr(13) + "/RPC2";
    }
    // A clean exit: a sanitizer report in the simulator fails the test.
    ~lib_sim() { EXPECT_EQ(0, sim_child_stop(&c)); }
};

template <typename F> bool wait_for(F cond, int ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Journal entries newer than `since`, oldest first.
std::vector<std::string> journal_since(const std::string &url, int64_t since, int64_t *now)
{
    std::vector<std::string> out;
    pelmora_lib_state_t *st = nullptr;
    if (pelmora_lib_state(url.c_str(), 128, &st) < 0 || !st)
        return out;
    int64_t d = std::min<int64_t>(st->amend_idx - since, st->amend_list_len);
    for (int64_t i = d - 1; i >= 0; i--)
        out.push_back(st->amend_list_data[i]);
    if (now)
        *now = st->amend_idx;
    free(st);
    return out;
}

bool has(const std::vector<std::string> &v, const std::string &s)
{
    return std::find(v.begin(), v.end(), s) != v.end();
}

std::map<std::string, std::string> ffprobe(const std::string &file)
{
    std::map<std::string, std::string> m;
    std::string out = shell_output("ffprobe -v error -show_entries stream=codec_type,width,height,r_frame_rate,"
                                   "display_aspect_ratio,sample_rate,channels -of default=nw=1 '" +
                                   file + "'; " +
                                   "echo codec_type=; ffprobe -v error -show_entries format=format_name,duration "
                                   "-of default=nw=1 '" +
                                   file + "'");
    std::string type;
    size_t i = 0;
    while (i < out.size()) {
        size_t j = out.find('\n', i);
        std::string l = out.substr(i, j - i);
        i = j == std::string::npos ? out.size() : j + 1;
        size_t eq = l.find('=');
        if (eq == std::string::npos)
            continue;
        std::string k = l.substr(0, eq), v = l.substr(eq + 1);
        if (k == "codec_type")
            type = v;
        else if (!m.count(type + "." + k) && v != "N/A" && v != "0/0")
            m[type + "." + k] = v;
    }
    return m;
}

} // namespace

TEST(LibrarySim, MetadataOfEverySampleClipIsWhatFfprobeReports)
{
    ASSERT_FALSE(media().root.empty()) << "scripts/make-media failed";
    lib_sim s(media().root);
    ASSERT_FALSE(s.url.empty());
    int clips = 0;
    for (const char *folder : {"/news", "/promos"}) {
        pelmora_lib_item_t **items = nullptr;
        int n = pelmora_lib_list_items(s.url.c_str(), folder, &items);
        ASSERT_GT(n, 0) << folder;
        for (int i = 0; i < n; i++) {
            pelmora_lib_item_t *it = items[i];
            auto p = ffprobe(media().root + it->full);
            SCOPED_TRACE(it->full);
            ASSERT_FALSE(p[".format_name"].empty() || p["video.width"].empty() || p["audio.channels"].empty());
            EXPECT_EQ(p[".format_name"], it->format_name);
            EXPECT_NEAR(atof(p[".duration"].c_str()), it->duration, 0.001);
            EXPECT_EQ(p["video.r_frame_rate"],
                      std::to_string(it->r_frame_rate_num) + "/" + std::to_string(it->r_frame_rate_den));
            EXPECT_EQ(atoi(p["video.width"].c_str()), it->width);
            EXPECT_EQ(atoi(p["video.height"].c_str()), it->height);
            EXPECT_EQ(p["video.display_aspect_ratio"], std::to_string(it->dar_num) + ":" + std::to_string(it->dar_den));
            EXPECT_EQ(atoi(p["audio.channels"].c_str()), it->channels);
            EXPECT_EQ(atoi(p["audio.sample_rate"].c_str()), it->sample_rate);
            EXPECT_EQ(8, it->channels);
            EXPECT_STRNE("00:00:00:00", it->timecode); // the container's start timecode came through
            clips++;
            free(it);
        }
        free(items);
    }
    EXPECT_EQ(2, clips);

    // The file that is not media is listed with what the file system knows.
    pelmora_lib_item_t meta;
    ASSERT_EQ(0, pelmora_lib_meta_item(s.url.c_str(), "/docs/readme.txt", &meta));
    EXPECT_GT(meta.stat_size, 0);
    EXPECT_EQ(0, meta.width);
    EXPECT_STREQ("00:00:00:00", meta.timecode);
}

TEST(LibrarySim, ThumbnailIsAPngFittedIntoTheBoxAndComesFromTheCacheTheSecondTime)
{
    ASSERT_FALSE(media().root.empty());
    lib_sim s(media().root);
    ASSERT_FALSE(s.url.empty());
    for (int round = 0; round < 2; round++) {
        void *data = nullptr;
        int size = 0;
        ASSERT_EQ(0, pelmora_lib_thumb_item(s.url.c_str(), "/news/opener.mov", "c", 32, 32, &data, &size));
        ASSERT_GT(size, 24);
        const unsigned char *b = (const unsigned char *)data;
        EXPECT_EQ(0, memcmp(b, "\x89PNG\r\n\x1a\n", 8));
        // IHDR: 16:9 fitted into 32x32 is 32x18.
        EXPECT_EQ(32u, (unsigned)(b[16] << 24 | b[17] << 16 | b[18] << 8 | b[19]));
        EXPECT_EQ(18u, (unsigned)(b[20] << 24 | b[21] << 16 | b[22] << 8 | b[23]));
        free(data);
    }
    void *data = nullptr;
    int size = 0;
    EXPECT_LT(pelmora_lib_thumb_item(s.url.c_str(), "/docs/readme.txt", "c", 32, 32, &data, &size), 0);
    EXPECT_EQ(-22, pelmora_lib_thumb_item(s.url.c_str(), "/news/opener.mov", "c", 100000, 32, &data, &size));
    EXPECT_EQ(nullptr, data);
}

TEST(LibrarySim, OutsideChangesReachTheJournalAndOwnChangesCountOneEach)
{
    ASSERT_FALSE(media().root.empty());
    lib_sim s(media().root);
    ASSERT_FALSE(s.url.empty());
    int64_t idx = 0;
    journal_since(s.url, 0, &idx);

    // Copied in from outside: announced within a second.
    ASSERT_EQ(0, system(("cp '" + media().root + "/news/opener.mov' '" + media().root + "/news/copy.mov'").c_str()));
    std::vector<std::string> j;
    EXPECT_TRUE(wait_for(
        [&] {
            auto n = journal_since(s.url, idx, nullptr);
            j.insert(j.end(), n.begin(), n.end());
            journal_since(s.url, 0, &idx);
            return has(j, "+/news/copy.mov");
        },
        1000));
    ASSERT_EQ(0, mkdir((media().root + "/news/later").c_str(), 0755));
    ASSERT_EQ(0, unlink((media().root + "/news/copy.mov").c_str()));
    EXPECT_TRUE(wait_for(
        [&] {
            auto n = journal_since(s.url, idx, nullptr);
            j.insert(j.end(), n.begin(), n.end());
            journal_since(s.url, 0, &idx);
            return has(j, "&/news/later") && has(j, "-/news/copy.mov");
        },
        1000));

    // Our own change: exactly one entry, there when the call returns, and
    // the watch does not add a second one.
    ASSERT_EQ(0, pelmora_lib_create_dir(s.url.c_str(), "/news/later/own"));
    auto own = journal_since(s.url, idx, &idx);
    ASSERT_EQ(1u, own.size());
    EXPECT_EQ("&/news/later/own", own[0]);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int64_t after = 0;
    journal_since(s.url, idx, &after);
    EXPECT_EQ(idx, after);
    EXPECT_EQ(-17, pelmora_lib_create_dir(s.url.c_str(), "/news/later/own"));
    EXPECT_EQ(0, pelmora_lib_delete_dir(s.url.c_str(), "/news/later/own"));
    EXPECT_EQ(0, pelmora_lib_delete_dir(s.url.c_str(), "/news/later"));
}

TEST(LibrarySim, SubclipsSurviveInTheirSidecarAndPathsCannotLeaveTheFolder)
{
    ASSERT_FALSE(media().root.empty());
    lib_sim s(media().root);
    ASSERT_FALSE(s.url.empty());
    const char *clip = "/promos/spring_promo.mov";
    ASSERT_EQ(0, pelmora_lib_register_subclip(s.url.c_str(), clip, 25, 50, "first\tsecond"));
    ASSERT_EQ(0, pelmora_lib_register_subclip(s.url.c_str(), clip, 100, 25, "third"));
    pelmora_lib_subclip_t **subs = nullptr;
    ASSERT_EQ(2, pelmora_lib_list_subclips(s.url.c_str(), clip, &subs, nullptr));
    EXPECT_EQ(25, subs[0]->mark_in);
    EXPECT_STREQ("first second", subs[0]->title); // a tab would break the sidecar's lines
    EXPECT_EQ(1, subs[1]->idx);
    EXPECT_EQ(nullptr, subs[2]);
    pelmora_lib_list_subclips_free(&subs);
    EXPECT_EQ(0, pelmora_lib_delete_subclip(s.url.c_str(), clip, 0));
    EXPECT_EQ(-2, pelmora_lib_delete_subclip(s.url.c_str(), clip, 5));
    pelmora_lib_item_t meta;
    ASSERT_EQ(0, pelmora_lib_meta_item(s.url.c_str(), clip, &meta));
    EXPECT_EQ(1, meta.subclips);
    EXPECT_EQ(0, pelmora_lib_delete_subclip(s.url.c_str(), clip, 0));

    // A link out of the folder, "..", hidden names: refused, nothing outside touched.
    std::string outside = media().root + "/../outside";
    mkdir(outside.c_str(), 0755);
    ASSERT_EQ(0, system(("echo secret > '" + outside + "/f.txt'").c_str()));
    symlink(outside.c_str(), (media().root + "/escape").c_str());
    pelmora_lib_item_t **items = nullptr;
    EXPECT_EQ(-1, pelmora_lib_list_items(s.url.c_str(), "/escape", &items));
    EXPECT_EQ(-1, pelmora_lib_list_items(s.url.c_str(), "/news/../..", &items));
    EXPECT_EQ(-1, pelmora_lib_meta_item(s.url.c_str(), "/escape/f.txt", &meta));
    EXPECT_EQ(-1, pelmora_lib_delete_item(s.url.c_str(), "/escape/f.txt"));
    EXPECT_EQ(-1, pelmora_lib_rename_item(s.url.c_str(), "/escape/f.txt", "/stolen.txt"));
    EXPECT_EQ(-1, pelmora_lib_create_dir(s.url.c_str(), "/escape/new"));
    EXPECT_EQ(-1, pelmora_lib_delete_item(s.url.c_str(), "/promos/.spring_promo.mov.subclips"));
    EXPECT_EQ(-2, pelmora_lib_meta_item(s.url.c_str(), "/etc/passwd", &meta));
    symlink((outside + "/not-yet").c_str(), (media().root + "/dangling").c_str());
    EXPECT_EQ(-1, pelmora_lib_meta_item(s.url.c_str(), "/dangling", &meta));
    EXPECT_EQ(-1, pelmora_lib_create_dir(s.url.c_str(), "/dangling"));
    struct stat nst;
    EXPECT_NE(0, stat((outside + "/not-yet").c_str(), &nst));
    unlink((media().root + "/dangling").c_str());
    struct stat st;
    EXPECT_EQ(0, stat((outside + "/f.txt").c_str(), &st));
    EXPECT_NE(0, stat((outside + "/new").c_str(), &st));
    unlink((media().root + "/escape").c_str());
}

TEST(LibrarySim, PagesOfAFolderAndSearches)
{
    ASSERT_FALSE(media().root.empty());
    std::string dir = media().root + "/many";
    mkdir(dir.c_str(), 0755);
    for (int i = 0; i < 30; i++) {
        std::string f = dir + "/item" + std::to_string(100 + i) + ".mov";
        ASSERT_EQ(0, link((media().root + "/news/opener.mov").c_str(), f.c_str()));
    }
    lib_sim s(media().root);
    ASSERT_FALSE(s.url.empty());
    pelmora_lib_item_t **items = nullptr;
    ASSERT_EQ(5, pelmora_lib_list_items2(s.url.c_str(), "/many", &items, 25, 10)); // 5 left after 25
    EXPECT_STREQ("/many/item125.mov", items[0]->full);
    for (int i = 0; i < 5; i++)
        free(items[i]);
    free(items);
    EXPECT_EQ(0, pelmora_lib_list_items2(s.url.c_str(), "/many", &items, 40, 10));
    free(items);

    char hit[260];
    int r = pelmora_lib_search_item(s.url.c_str(), -1, nullptr, "ITEM12", hit);
    ASSERT_GE(r, 0);
    EXPECT_STREQ("/many/item120.mov", hit);
    int r2 = pelmora_lib_search_item(s.url.c_str(), r, nullptr, "ITEM12", hit);
    EXPECT_GT(r2, r);
    EXPECT_STREQ("/many/item121.mov", hit);
    EXPECT_EQ(-2, pelmora_lib_search_item(s.url.c_str(), -1, nullptr, "nothing-like-this", hit));
    EXPECT_STREQ("", hit);
    r = pelmora_lib_search_item_dur_range(s.url.c_str(), -1, nullptr, 11.5, 12.5, hit);
    ASSERT_GE(r, 0);
    EXPECT_STREQ("/promos/spring_promo.mov", hit);
    system(("rm -rf '" + dir + "'").c_str());
}
