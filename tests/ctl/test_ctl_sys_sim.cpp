/* pelmora-ctl's library, IO and job commands as a program against
 * pelmora-sim serving a real media folder: a folder read in pages is the
 * folder on disk, edits reach the disk, a transfer followed with wait has
 * its file arrived, refused calls end with status 1 and bad command lines
 * send nothing. */
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ctl_json_test.h"
#include "ctl_run.h"
#include "sim_child.h"

namespace {

/* Sample media made with ffmpeg once for the program. */
struct media_fixture
{
    std::string root, media;
    media_fixture()
    {
        char dir[] = "/tmp/ctl_sys_XXXXXX";
        if (!mkdtemp(dir))
            return;
        root = dir;
        std::string cmd = std::string(PELMORA_SOURCE_DIR) + "/scripts/make-media --quick " + root + "/media >/dev/null";
        if (system(cmd.c_str()) == 0)
            media = root + "/media";
    }
    ~media_fixture()
    {
        if (!root.empty())
            system(("rm -rf " + root).c_str());
    }
};
media_fixture &fx()
{
    static media_fixture f;
    return f;
}

std::string line_after(sim_child_t *c, const std::string &prefix)
{
    std::lock_guard<std::mutex> g(c->lock);
    for (const std::string &l : c->lines)
        if (l.compare(0, prefix.size(), prefix) == 0)
            return l.substr(prefix.size());
    return "";
}

struct CtlSysSim : ::testing::Test
{
    sim_child_t sim;
    std::string data, media, lib, io;

    void start(std::vector<std::string> extra = {})
    {
        ASSERT_FALSE(fx().media.empty()) << "scripts/make-media (ffmpeg) failed";
        char dir[] = "/tmp/ctl_sys_run_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        data = dir;
        media = data + "/media";
        ASSERT_EQ(system(("cp -r " + fx().media + " " + media).c_str()), 0);
        std::vector<std::string> args = {"--automation=0",   "--library=0",    "--io=0",
                                         "--media=" + media, "--data=" + data, "--log-calls"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_EQ(sim_child_start(&sim, sim_child_bin(), args), 0);
        lib = "127.0.0.1:" + line_after(&sim, "library port ");
        io = "127.0.0.1:" + line_after(&sim, "io port ");
    }
    void TearDown() override
    {
        EXPECT_EQ(sim_child_stop(&sim), 0) << "pelmora-sim did not end cleanly";
        if (data.compare(0, 17, "/tmp/ctl_sys_run_") == 0)
            system(("rm -rf " + data).c_str());
    }
    ctl_run_result L(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--lib", lib});
        return ctl_run(args);
    }
    ctl_run_result I(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--io", io});
        return ctl_run(args);
    }
    int calls() { return sim_child_count(&sim, "call "); }
};

std::vector<jv> json_lines(const ctl_run_result &r)
{
    std::vector<jv> v;
    EXPECT_TRUE(jv_parse_lines(r.out, &v)) << "not JSON lines: " << r.out;
    return v;
}

/* The folder's entries on disk as the library names them: folders, then
 * items, each by name ignoring case; hidden names left out. */
std::vector<std::string> disk_listing(const std::string &dir)
{
    std::vector<std::string> dirs, items;
    DIR *d = opendir(dir.c_str());
    while (struct dirent *e = d ? readdir(d) : nullptr) {
        if (e->d_name[0] == '.')
            continue;
        struct stat st;
        if (stat((dir + "/" + e->d_name).c_str(), &st) == 0)
            (S_ISDIR(st.st_mode) ? dirs : items).push_back(e->d_name);
    }
    if (d)
        closedir(d);
    auto by_name = [](const std::string &a, const std::string &b) { return strcasecmp(a.c_str(), b.c_str()) < 0; };
    std::sort(dirs.begin(), dirs.end(), by_name);
    std::sort(items.begin(), items.end(), by_name);
    for (const std::string &i : items)
        dirs.push_back("item:" + i);
    return dirs;
}

TEST_F(CtlSysSim, AFolderListedInPagesIsTheFolderOnDisk)
{
    start();
    const std::string news = media + "/news";
    /* Eleven items (mixed case), two folders and a hidden sidecar. */
    for (int i = 0; i < 10; i++)
        ASSERT_EQ(link((news + "/opener.mov").c_str(), (news + "/Clip" + std::to_string(i) + ".mov").c_str()), 0);
    ASSERT_EQ(mkdir((news + "/archive").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((news + "/Bulletins").c_str(), 0755), 0);
    ASSERT_EQ(system(("touch " + news + "/.hidden").c_str()), 0);

    int before = sim_child_count(&sim, "call PelmoraLib.LibListItems");
    ctl_run_result r = L({"lib", "list", "/news", "--page", "3"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> got;
    for (const jv &e : json_lines(r)) {
        EXPECT_EQ(e.s("path"), "/news/" + e.s("name"));
        got.push_back((e.s("kind") == "item" ? "item:" : "") + e.s("name"));
        if (e.s("kind") == "item") {
            struct stat st;
            ASSERT_EQ(stat((news + "/" + e.s("name")).c_str(), &st), 0);
            EXPECT_EQ(e.n("size"), (long long)st.st_size);
            EXPECT_EQ(e.s("timecode"), "10:00:00:00");
            EXPECT_EQ(e.s("frame_rate"), "25/1");
        }
    }
    EXPECT_EQ(got, disk_listing(news));
    /* Eleven items in pages of three: four calls. The simulator logs a call
     * as it answers it, so its last line may come just after our exit. */
    int listed = 0;
    for (int i = 0; i < 200 && (listed = sim_child_count(&sim, "call PelmoraLib.LibListItems") - before) < 4; i++)
        usleep(10 * 1000);
    EXPECT_EQ(listed, 4);

    /* One page by offset and limit: the items only, from the fourth. */
    r = L({"lib", "list", "/news", "--items", "--offset", "3", "--limit", "4"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> page;
    for (const jv &e : json_lines(r))
        page.push_back("item:" + e.s("name"));
    std::vector<std::string> disk = disk_listing(news);
    std::vector<std::string> want(disk.begin() + 2 + 3, disk.begin() + 2 + 7);
    EXPECT_EQ(page, want);

    /* A folder that is not there is the server's refusal. */
    r = L({"lib", "list", "/nowhere"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("pelmora-ctl: lib list: [/nowhere]: refused by the server: result -2"), std::string::npos)
        << r.err;
}

TEST_F(CtlSysSim, LibraryEditsReachTheDiskAndTheJournal)
{
    start();
    struct stat st;
    EXPECT_EQ(L({"lib", "mkdir", "/day"}).status, 0);
    EXPECT_EQ(stat((media + "/day").c_str(), &st), 0);
    ctl_run_result r = L({"lib", "move", "/news/opener.mov", "/day"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json_lines(r)[0].s("path"), "/day/opener.mov");
    EXPECT_EQ(L({"lib", "rename", "/day/opener.mov", "/day/open.mov"}).status, 0);
    EXPECT_EQ(stat((media + "/day/open.mov").c_str(), &st), 0);
    EXPECT_NE(stat((media + "/news/opener.mov").c_str(), &st), 0);

    EXPECT_EQ(L({"lib", "subclip-add", "/day/open.mov", "25", "50", "tease"}).status, 0);
    EXPECT_EQ(L({"lib", "subclip-add", "/day/open.mov", "100", "10"}).status, 0);
    r = L({"lib", "subclips", "/day/open.mov"});
    std::vector<jv> sc = json_lines(r);
    ASSERT_EQ(sc.size(), 2u) << r.out;
    EXPECT_EQ(sc[0].n("mark_in"), 25);
    EXPECT_EQ(sc[0].n("duration"), 50);
    EXPECT_EQ(sc[0].s("title"), "tease");
    EXPECT_EQ(L({"lib", "subclip-delete", "/day/open.mov", "0"}).status, 0);
    sc = json_lines(L({"lib", "subclips", "/day/open.mov"}));
    ASSERT_EQ(sc.size(), 1u);
    EXPECT_EQ(sc[0].n("mark_in"), 100);
    r = L({"lib", "stat", "/day/open.mov"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json_lines(r)[0].n("subclips"), 1);

    r = L({"lib", "search", "open", "--all"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(json_lines(r).size(), 1u) << r.out;
    EXPECT_EQ(json_lines(r)[0].s("path"), "/day/open.mov");
    EXPECT_EQ(L({"lib", "search", "no-such-name"}).status, 1);
    r = L({"lib", "search-dur", "9", "13", "--all"});
    EXPECT_EQ(json_lines(r).size(), 2u) << r.out; /* the 10 s and 12 s clips */

    EXPECT_EQ(L({"lib", "delete", "/day/open.mov"}).status, 0);
    EXPECT_EQ(L({"lib", "rmdir", "/day"}).status, 0);
    EXPECT_NE(stat((media + "/day").c_str(), &st), 0);

    /* Newest first: the folder went, the item went before it. */
    std::vector<jv> j = json_lines(L({"lib", "journal", "--limit", "2"}));
    ASSERT_EQ(j.size(), 2u);
    EXPECT_EQ(j[0].s("change"), "folder-removed");
    EXPECT_EQ(j[0].s("path"), "/day");
    EXPECT_EQ(j[1].s("change"), "item-removed");
    jv cap = json_lines(L({"lib", "capacity"}))[0];
    EXPECT_GT(cap.n("total_space"), 0);
    EXPECT_GT(cap.n("amend_idx"), 0);
}

TEST_F(CtlSysSim, ATransferFollowedWithWaitHasItsFileArrived)
{
    start();
    ctl_run_result r =
        L({"transfer", "add", "--target", "archive", "--local", "/news/opener.mov", "--remote", "evening.mov"});
    ASSERT_EQ(r.status, 0) << r.err;
    long long id = json_lines(r)[0].n("id");
    ASSERT_GT(id, 0) << r.out;
    r = L({"transfer", "wait", std::to_string(id), "--interval", "20"});
    ASSERT_EQ(r.status, 0) << r.err;
    jv job = json_lines(r)[0];
    EXPECT_EQ(job.s("state_name"), "done");
    struct stat a, b;
    ASSERT_EQ(stat((data + "/targets/archive/evening.mov").c_str(), &a), 0);
    ASSERT_EQ(stat((media + "/news/opener.mov").c_str(), &b), 0);
    EXPECT_EQ(a.st_size, b.st_size);

    /* A source that is not there: the job ends in error, the wait with 1. */
    r = L({"transfer", "add", "--target", "archive", "--local", "/news/gone.mov", "--remote", "gone.mov", "--wait",
           "--interval", "20"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("ended in error: source missing"), std::string::npos) << r.err;

    /* A loudness run followed to its end; its figures are the job's text. */
    r = L({"transcode", "add", "--src", "/news/opener.mov", "--dst", "/news/opener.norm.mov", "--factory", "audionorm",
           "--profile", "-23", "--wait", "--interval", "20"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<jv> out = json_lines(r);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_NE(out[1].s("error").find("LUFS"), std::string::npos) << r.out;

    /* The targets: ids and paths, never a password member's text. */
    r = L({"transfer", "targets"});
    ASSERT_EQ(r.status, 0);
    std::vector<jv> t = json_lines(r);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].s("id"), "archive");
    EXPECT_EQ(t[0].get("password")->kind, jv::BOOL);
    EXPECT_EQ(L({"transfer", "wait", "999"}).status, 1);
    EXPECT_EQ(L({"transcode", "wait", "999"}).status, 1);
}

TEST_F(CtlSysSim, RefusedCallsEndWithStatusOne)
{
    start({"--refuse=PelmoraLib.LibCreateDir:0:-13", "--refuse=PelmoraIO.SettingsSave",
           "--refuse=PelmoraFileTransfer.RequestGet:0:-5", "--refuse=PelmoraIO.PlaylistAppend:0:-28"});
    const struct
    {
        int f_io;
        std::vector<std::string> args;
        std::string msg;
    } cases[] = {
        {0, {"lib", "mkdir", "/nope"}, "lib mkdir: [/nope]: refused by the server: result -13"},
        {1, {"io", "save"}, "io save: refused by the server: result -1"},
        {0, {"transfer", "wait", "1"}, "transfer wait: job 1: refused by the server: result -5"},
        {1, {"io", "cue", "/news/opener.mov"}, "io cue: at the append of [/news/opener.mov]: refused"},
    };
    for (const auto &c : cases) {
        ctl_run_result r = c.f_io ? I(c.args) : L(c.args);
        EXPECT_EQ(r.status, 1) << c.args[1] << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.args[1];
        EXPECT_NE(r.err.find("pelmora-ctl: " + c.msg), std::string::npos) << r.err;
    }
    struct stat st;
    EXPECT_NE(stat((media + "/nope").c_str(), &st), 0);
}

TEST_F(CtlSysSim, IoCueStatusAndSettings)
{
    start();
    ASSERT_EQ(I({"io", "cue", "/news/opener.mov", "--in", "25", "--dur", "100"}).status, 0);
    ctl_run_result r = I({"io", "status", "--follow", "--interval", "10", "--count", "3"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<jv> s = json_lines(r);
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[2].s("name"), "/news/opener.mov");
    EXPECT_EQ(s[2].n("clip_in"), 25);
    EXPECT_EQ(s[2].n("clip_dur"), 100);
    EXPECT_EQ(I({"io", "seek", "60"}).status, 0);
    EXPECT_EQ(json_lines(I({"io", "status"}))[0].n("clip_pos"), 60);

    EXPECT_EQ(I({"io", "set", "playback_osd", "clock"}).status, 0);
    EXPECT_EQ(I({"io", "set-mode", "720p50", "h264"}).status, 0);
    jv set = json_lines(I({"io", "settings"}))[0];
    EXPECT_EQ(set.s("playback_osd"), "clock");
    EXPECT_EQ(set.s("mode"), "720p50");
    EXPECT_EQ(I({"io", "set", "no_such_setting", "1"}).status, 1);
    std::vector<jv> modes = json_lines(I({"io", "modes"}));
    ASSERT_EQ(modes.size(), 4u);
    EXPECT_EQ(modes[1].get("encoders")->arr.size(), 2u);
}

TEST_F(CtlSysSim, BadCommandLinesSendNothing)
{
    start();
    const std::vector<std::vector<std::string>> bad = {
        {"--lib", lib, "lib"},
        {"--lib", lib, "lib", "lsit", "/"},
        {"--io", io, "lib", "list", "/"},
        {"--lib", lib, "lib", "list"},
        {"--lib", lib, "lib", "list", "/", "--offset", "3"},
        {"--lib", lib, "lib", "list", "/", "--page", "0"},
        {"--lib", lib, "lib", "stat", "/a\tb"},
        {"--lib", lib, "lib", "mkdir", std::string(300, 'x')},
        {"--lib", lib, "lib", "search-dur", "20", "10"},
        {"--lib", lib, "lib", "subclip-add", "/a.mov", "-1", "10"},
        {"--lib", lib, "lib", "move", "/a.mov", "/" + std::string(255, 'd')},
        {"--lib", lib, "transfer", "add", "--target", "archive", "--local", "/a.mov"},
        {"--lib", lib, "transfer", "wait", "x"},
        {"--lib", lib, "transfer", "list", "--state", "running"},
        {"--lib", lib, "transcode", "add", "--src", "/a", "--dst", "/b", "--factory", "f"},
        {"--lib", lib, "--table", "transfer", "--wait", "add"},
        {"--io", io, "io", "seek", "12x"},
        {"--io", io, "io", "play", "--speed", "nan"},
        {"--io", io, "io", "status", "--count", "3"},
        {"--io", io, "io", "status", "--follow", "--interval", "1"},
        {"--lib", "nohost", "lib", "capacity"},
    };
    int before = calls();
    for (const auto &args : bad) {
        ctl_run_result r = ctl_run(args);
        EXPECT_EQ(r.status, 2) << args.back() << ": " << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.compare(0, 13, "pelmora-ctl: "), 0) << r.err;
    }
    EXPECT_EQ(calls(), before);
}

} // namespace
