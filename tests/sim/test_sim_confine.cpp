/* pelmora-sim's library, IO and job services against a hostile media
 * folder and racing clients: renames onto one name, a folder swapped for a
 * link while clients write, links out of the folder and in loops, a FIFO
 * named like a clip, a small file with a huge picture, names xmlrpc-c cannot
 * send as they are, a full disk under the kept job list, what a killed run
 * left behind, and a stop while a console is connected. */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client_env.h"
#include "media_fixture.h"
#include "pelmora.h"
#include "pelmora_io.h"
#include "pelmora_jobs.h"
#include "pelmora_lib.h"
#include "sim_child.h"

namespace {

/* A call the simulator never answers comes back as -14 here instead of
 * holding the test. */
const auto *const env = client_env_add("confine-test", "0", {{"PELMORA_RPC_TIMEOUT_MS", "5000"}});

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

/* Names in a folder, hidden ones included. */
std::set<std::string> names_in(const std::string &dir)
{
    std::set<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                out.insert(e->d_name);
        closedir(d);
    }
    return out;
}

/* A short clip made by ffmpeg. */
bool make_clip(const std::string &path)
{
    return system(("ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=s=64x36:d=1:r=25 -f lavfi -i "
                   "sine=d=1 -shortest -c:v mpeg4 -c:a pcm_s16le '" +
                   path + "'")
                      .c_str()) == 0;
}

/* A baseline JPEG of a flat 16000 x 16000 picture in 1 MB: one Huffman
 * code per table, so every block is two zero bits. Decoding it writes all
 * 256 million pixels. */
std::string huge_jpeg(void)
{
    auto seg = [](int marker, const std::string &body) {
        size_t n = body.size() + 2;
        return std::string{(char)0xff, (char)marker, (char)(n >> 8), (char)(n & 0xff)} + body;
    };
    const int side = 16000;
    std::string sof = {8, (char)(side >> 8), (char)(side & 0xff), (char)(side >> 8), (char)(side & 0xff), 1, 1, 0x11,
                       0};
    std::string one_code(17, '\0');
    one_code[0] = 1; /* one code of length 1, for the symbol 0 */
    std::string j = {(char)0xff, (char)0xd8};
    j += seg(0xdb, std::string(1, '\0') + std::string(64, '\1'));
    j += seg(0xc0, sof);
    j += seg(0xc4, std::string(1, '\0') + one_code + std::string(1, '\0'));
    j += seg(0xc4, std::string(1, '\x10') + one_code + std::string(1, '\0'));
    j += seg(0xda, std::string{1, 1, 0, 0, 63, 0});
    j += std::string((size_t)(side / 8) * (side / 8) * 2 / 8, '\0');
    j += std::string{(char)0xff, (char)0xd9};
    return j;
}

/* A scratch folder with media/ and data/, removed at the end. */
struct scratch
{
    std::string dir, media, data;
    scratch()
    {
        char t[] = "/tmp/sim_confine_XXXXXX";
        if (mkdtemp(t))
            dir = t;
        media = dir + "/media";
        data = dir + "/data";
        mkdir(media.c_str(), 0755);
        mkdir(data.c_str(), 0755);
    }
    ~scratch()
    {
        if (!dir.empty())
            system(("rm -rf '" + dir + "'").c_str());
    }
};

/* pelmora-sim with a library, an IO server and the job services. */
struct sim
{
    sim_child_t c;
    std::string lib, io;
    int lib_port = 0;
    sim(const scratch &s, std::vector<std::string> more = {})
    {
        std::vector<std::string> args = {"--automation=0", "--library=0", "--io=0", "--media=" + s.media,
                                         "--data=" + s.data};
        args.insert(args.end(), more.begin(), more.end());
        if (sim_child_start(&c, sim_child_bin(), args) < 0)
            return;
        std::lock_guard<std::mutex> g(c.lock);
        for (const std::string &l : c.lines) {
            if (l.compare(0, 13, "library port ") == 0) {
                lib_port = atoi(l.c_str() + 13);
                lib = "http://127.0.0.1:" + l.substr(13) + "/RPC2";
            }
            if (l.compare(0, 8, "io port ") == 0)
                io = "http://127.0.0.1:" + l.substr(8) + "/RPC2";
        }
    }
    ~sim()
    {
        if (c.pid > 0) {
            EXPECT_EQ(0, sim_child_stop(&c));
        }
    }
    /* The simulator's largest resident size so far, in kB. */
    long hwm_kb()
    {
        std::ifstream f("/proc/" + std::to_string(c.pid) + "/status");
        std::string line;
        while (std::getline(f, line))
            if (line.compare(0, 6, "VmHWM:") == 0)
                return atol(line.c_str() + 6);
        return -1;
    }
};

std::vector<std::string> item_names(const std::string &url, const char *path, int *result)
{
    pelmora_lib_item_t **items = nullptr;
    *result = pelmora_lib_list_items(url.c_str(), path, &items);
    std::vector<std::string> out;
    for (int i = 0; i < *result; i++) {
        out.push_back(items[i]->name);
        free(items[i]);
    }
    free(items);
    return out;
}

int state_items(const std::string &url, int64_t *amend = nullptr)
{
    pelmora_lib_state_t *st = nullptr;
    int r = pelmora_lib_state(url.c_str(), 128, &st);
    if (r < 0 || !st)
        return r < 0 ? r : -14;
    int n = st->total_items;
    if (amend)
        *amend = st->amend_idx;
    free(st);
    return n;
}

/* A kept HTTP connection to a port of the simulator. */
int connect_port(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    if (fd >= 0 && connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

bool send_all(int fd, const std::string &s)
{
    for (size_t off = 0; off < s.size();) {
        ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += (size_t)n;
    }
    return true;
}

/* A rename call on a kept connection, sent in two parts: all but the last
 * byte, then (after `ready`) the last one, so that racing clients' calls
 * reach the server at the same moment. The call's result, or -14. */
int raw_rename(int fd, const std::string &src, const std::string &dst, const std::function<void()> &ready)
{
    std::string body = "<?xml version=\"1.0\"?><methodCall><methodName>PelmoraLib.LibRenameItem</methodName><params>"
                       "<param><value><string>" +
                       src + "</string></value></param><param><value><string>" + dst +
                       "</string></value></param></params></methodCall>";
    std::string req = "POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\n\r\n" + body;
    if (!send_all(fd, req.substr(0, req.size() - 1)))
        return -14;
    ready();
    if (!send_all(fd, req.substr(req.size() - 1)))
        return -14;
    std::string in;
    char buf[4096];
    while (in.find("</methodResponse>") == std::string::npos) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return -14;
        in.append(buf, (size_t)n);
    }
    size_t at = in.find("<name>result</name>");
    at = at == std::string::npos ? at : in.find("<i4>", at);
    return at == std::string::npos ? -14 : atoi(in.c_str() + at + 4);
}

/* A crude barrier for the racing clients of one round. */
struct gate
{
    std::atomic<int> arrived{0};
    void pass(int round, int clients)
    {
        arrived++;
        while (arrived.load() < (round + 1) * clients)
            std::this_thread::yield();
    }
};

} // namespace

// Eight clients rename their own item onto one name at the same moment, 200
// times: exactly one is told "done", the others -17, and every file is
// still there afterwards, the winner's content under the new name.
TEST(SimConfine, RenamesOntoOneNameNeverLoseAFile)
{
    scratch s;
    mkdir((s.media + "/race").c_str(), 0755);
    sim p(s);
    ASSERT_FALSE(p.lib.empty());
    const int clients = 8, rounds = 200;
    gate g;
    std::atomic<int> wins[rounds] = {};
    std::atomic<int> other[rounds] = {};
    std::vector<int> winner(rounds, -1);
    for (int r = 0; r < rounds; r++)
        for (int c = 0; c < clients; c++)
            write_file(s.media + "/race/r" + std::to_string(r) + "_c" + std::to_string(c) + ".mov",
                       "round " + std::to_string(r) + " client " + std::to_string(c));
    std::vector<std::thread> t;
    for (int c = 0; c < clients; c++)
        t.emplace_back([&, c] {
            int fd = connect_port(p.lib_port);
            for (int r = 0; r < rounds; r++) {
                std::string src = "/race/r" + std::to_string(r) + "_c" + std::to_string(c) + ".mov";
                std::string dst = "/race/won" + std::to_string(r) + ".mov";
                int res = raw_rename(fd, src, dst, [&] { g.pass(r, clients); });
                if (res == 0) {
                    wins[r]++;
                    winner[(size_t)r] = c;
                } else if (res != -17)
                    other[r]++;
            }
            close(fd);
        });
    for (auto &th : t)
        th.join();
    std::set<std::string> left = names_in(s.media + "/race");
    for (int r = 0; r < rounds; r++) {
        ASSERT_EQ(1, wins[r].load()) << "round " << r;
        EXPECT_EQ(0, other[r].load()) << "round " << r;
        EXPECT_EQ("round " + std::to_string(r) + " client " + std::to_string(winner[(size_t)r]),
                  read_file(s.media + "/race/won" + std::to_string(r) + ".mov"));
        for (int c = 0; c < clients; c++)
            if (c != winner[(size_t)r]) {
                EXPECT_TRUE(left.count("r" + std::to_string(r) + "_c" + std::to_string(c) + ".mov"));
            }
    }
    EXPECT_EQ((size_t)rounds * clients, left.size());
}

// While a client creates folders, renames items and writes subclips in
// /work, the folder is swapped again and again for a link to a folder
// outside the root. Nothing outside is written, renamed or deleted.
TEST(SimConfine, FolderSwappedForALinkLeadsNowhereOutside)
{
    scratch s;
    std::string work = s.media + "/work", real = s.media + "/work.real", outside = s.dir + "/outside";
    mkdir(work.c_str(), 0755);
    mkdir(outside.c_str(), 0755);
    write_file(work + "/a.mov", "inside");
    write_file(outside + "/a.mov", "outside a");
    write_file(outside + "/victim.mov", "outside victim");
    std::set<std::string> before = names_in(outside);
    sim p(s);
    ASSERT_FALSE(p.lib.empty());
    std::atomic<int> done{0}, calls{0};
    std::atomic<long> swaps{0};
    // Each swap and each swap back lands while the client's next call is
    // on its way, so the calls see the folder, the link and the moment
    // between.
    std::thread attacker([&] {
        auto next_call = [&] {
            int at = calls.load();
            while (!done.load() && calls.load() == at)
                std::this_thread::yield();
        };
        while (!done.load()) {
            if (rename(work.c_str(), real.c_str()) != 0)
                continue;
            symlink(outside.c_str(), work.c_str());
            next_call();
            unlink(work.c_str());
            rename(real.c_str(), work.c_str());
            swaps++;
            next_call();
        }
    });
    int ok = 0;
    for (int i = 0; i < 300; i++) {
        std::string d = "/work/d" + std::to_string(i);
        ok += pelmora_lib_create_dir(p.lib.c_str(), d.c_str()) == 0;
        calls++;
        ok += pelmora_lib_rename_item(p.lib.c_str(), "/work/a.mov", "/work/b.mov") == 0;
        calls++;
        ok += pelmora_lib_rename_item(p.lib.c_str(), "/work/b.mov", "/work/a.mov") == 0;
        calls++;
        ok += pelmora_lib_register_subclip(p.lib.c_str(), "/work/a.mov", 0, 5, "s") == 0;
        calls++;
        pelmora_lib_delete_item(p.lib.c_str(), "/work/victim.mov");
        calls++;
    }
    done = 1;
    attacker.join();
    EXPECT_GT(swaps.load(), 10);
    EXPECT_GT(ok, 0); /* the calls did work inside whenever the folder was there */
    EXPECT_EQ(before, names_in(outside));
    EXPECT_EQ("outside a", read_file(outside + "/a.mov"));
    EXPECT_EQ("outside victim", read_file(outside + "/victim.mov"));
}

// Links out of the root and in loops are neither listed nor read, nor
// counted; the state read counts the real items only.
TEST(SimConfine, LinksAreNotListedProbedOrCounted)
{
    scratch s;
    mkdir((s.media + "/a").c_str(), 0755);
    mkdir((s.media + "/a/b").c_str(), 0755);
    ASSERT_TRUE(make_clip(s.media + "/a/clip.mov"));
    write_file(s.media + "/a/b/note.mov", "not media");
    ASSERT_EQ(0, symlink("/etc/passwd", (s.media + "/a/passwd.mov").c_str()));
    ASSERT_EQ(0, symlink("/etc", (s.media + "/a/etc").c_str()));
    // Loops: each folder links back to its parents.
    ASSERT_EQ(0, symlink("..", (s.media + "/a/b/up").c_str()));
    ASSERT_EQ(0, symlink("../..", (s.media + "/a/b/top").c_str()));
    ASSERT_EQ(0, symlink(".", (s.media + "/a/self").c_str()));
    sim p(s);
    ASSERT_FALSE(p.lib.empty());

    int r = 0;
    std::vector<std::string> names = item_names(p.lib, "/a", &r);
    EXPECT_EQ(1, r);
    EXPECT_EQ(std::vector<std::string>{"clip.mov"}, names);
    pelmora_lib_dir_t **dirs = nullptr;
    ASSERT_EQ(1, pelmora_lib_list_dirs(p.lib.c_str(), "/a", &dirs));
    EXPECT_STREQ("b", dirs[0]->name);
    free(dirs[0]);
    free(dirs);

    pelmora_lib_item_t item;
    EXPECT_EQ(-1, pelmora_lib_meta_item(p.lib.c_str(), "/a/passwd.mov", &item));
    EXPECT_EQ(-1, pelmora_lib_meta_item(p.lib.c_str(), "/a/etc/passwd", &item));
    void *png = nullptr;
    int png_size = 0;
    EXPECT_EQ(-1, pelmora_lib_thumb_item(p.lib.c_str(), "/a/passwd.mov", "c", 32, 32, &png, &png_size));
    free(png);
    EXPECT_EQ(-1, pelmora_lib_list_items(p.lib.c_str(), "/a/self", (pelmora_lib_item_t ***)&dirs));
    char hit[260];
    EXPECT_EQ(-2, pelmora_lib_search_item(p.lib.c_str(), -1, "", "passwd", hit));

    // Eight state reads at once: every one counts two items.
    std::atomic<int> wrong{0};
    std::vector<std::thread> t;
    for (int i = 0; i < 8; i++)
        t.emplace_back([&] {
            if (state_items(p.lib) != 2)
                wrong++;
        });
    for (auto &th : t)
        th.join();
    EXPECT_EQ(0, wrong.load());
    // The count follows changes without walking through a link.
    ASSERT_EQ(0, pelmora_lib_rename_item(p.lib.c_str(), "/a/b/note.mov", "/a/note.mov"));
    ASSERT_EQ(0, pelmora_lib_create_dir(p.lib.c_str(), "/a/c"));
    write_file(s.media + "/a/c/more.mov", "x");
    ASSERT_EQ(0, pelmora_lib_rename_item(p.lib.c_str(), "/a/c", "/a/b/c"));
    EXPECT_EQ(3, state_items(p.lib));
    ASSERT_EQ(0, pelmora_lib_delete_item(p.lib.c_str(), "/a/note.mov"));
    EXPECT_EQ(2, state_items(p.lib));
}

// A FIFO named like a clip holds nobody: the player refuses it and keeps
// answering its status poll, jobs of it fail and the next job runs, and
// the program still stops on SIGTERM.
TEST(SimConfine, FifoClipHangsNothing)
{
    scratch s;
    ASSERT_TRUE(make_clip(s.media + "/real.mov"));
    ASSERT_EQ(0, mkfifo((s.media + "/clip.mov").c_str(), 0644));
    sim p(s, {"--keep-lists"});
    ASSERT_FALSE(p.io.empty());

    EXPECT_EQ(-2, pelmora_playlist_append(p.io.c_str(), "/clip.mov", 0, 0, "", "", ""));
    pelmora_status_t st;
    EXPECT_EQ(0, pelmora_getstatus(p.io.c_str(), &st));
    pelmora_lib_item_t item;
    EXPECT_EQ(-2, pelmora_lib_meta_item(p.lib.c_str(), "/clip.mov", &item));
    void *png = nullptr;
    int png_size = 0;
    EXPECT_EQ(-2, pelmora_lib_thumb_item(p.lib.c_str(), "/clip.mov", "c", 32, 32, &png, &png_size));
    int r = 0;
    EXPECT_EQ(std::vector<std::string>{"real.mov"}, item_names(p.lib, "/", &r));

    // An export of it, a loudness job of it, then an export of a real clip.
    pelmora_filetransfer_request_t t;
    memset(&t, 0, sizeof t);
    strcpy(t.target, "archive");
    strcpy(t.object_local, "/clip.mov");
    strcpy(t.object_remote, "fifo.mov");
    ASSERT_EQ(0, pelmora_filetransfer_request_add(p.lib.c_str(), &t));
    pelmora_filetranscoder_request_t tc;
    memset(&tc, 0, sizeof tc);
    strcpy(tc.src.object, "/clip.mov");
    strcpy(tc.dst.object, "/clip_norm.mov");
    strcpy(tc.factory, "audionorm");
    strcpy(tc.profile, "-23");
    ASSERT_EQ(0, pelmora_filetranscoder_request_add(p.lib.c_str(), &tc));
    strcpy(t.object_local, "/real.mov");
    strcpy(t.object_remote, "real.mov");
    ASSERT_EQ(0, pelmora_filetransfer_request_add(p.lib.c_str(), &t));
    pelmora_filetransfer_request_t jobs[8];
    int states[2] = {-1, -1};
    for (int tries = 0; tries < 600 && (states[0] < 2 || states[1] < 2); tries++) {
        memset(jobs, 0, sizeof jobs);
        int n = pelmora_filetransfer_requests_list(p.lib.c_str(), -1, 0, 8, jobs);
        ASSERT_EQ(2, n);
        states[0] = jobs[1].state; /* newest first */
        states[1] = jobs[0].state;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(PELMORA_JOB_ERROR, states[0]);
    EXPECT_EQ(PELMORA_JOB_DONE, states[1]);
    EXPECT_EQ(read_file(s.media + "/real.mov"), read_file(s.data + "/targets/archive/real.mov"));
    EXPECT_EQ(0, pelmora_getstatus(p.io.c_str(), &st));
    EXPECT_EQ(0, sim_child_stop(&p.c));
}

// A 1 MB file whose picture is 16000 x 16000 is refused before anything
// decodes it, in a thumbnail, a listing and the player, three at once; the
// simulator stays small and the status poll keeps answering.
TEST(SimConfine, HugePictureIsRefusedBeforeDecoding)
{
    scratch s;
    mkdir((s.media + "/big").c_str(), 0755);
    write_file(s.media + "/big/huge.jpg", huge_jpeg());
    ASSERT_EQ("", shell_output("ffmpeg -nostdin -loglevel error -y -i " + s.media + "/big/huge.jpg -c copy " + s.media +
                               "/big/huge.mov 2>&1"));
    ASSERT_TRUE(make_clip(s.media + "/big/small.mov"));
    sim p(s);
    ASSERT_FALSE(p.lib.empty());
    long base = p.hwm_kb();
    ASSERT_GT(base, 0);

    std::atomic<int> refused{0}, made{0};
    std::vector<std::thread> t;
    for (int i = 0; i < 3; i++)
        t.emplace_back([&, i] {
            void *png = nullptr;
            int size = 0;
            const char *f = i == 1 ? "/big/huge.jpg" : "/big/huge.mov";
            int r = pelmora_lib_thumb_item(p.lib.c_str(), f, "c", 32, 32, &png, &size);
            refused += r < 0 && r != -14;
            free(png);
        });
    t.emplace_back([&] {
        int r = 0;
        made += item_names(p.lib, "/big", &r).size() == 3;
    });
    for (auto &th : t)
        th.join();
    EXPECT_EQ(3, refused.load());
    EXPECT_EQ(1, made.load());

    pelmora_lib_item_t item;
    ASSERT_EQ(0, pelmora_lib_meta_item(p.lib.c_str(), "/big/huge.mov", &item));
    EXPECT_EQ(16000, item.width); /* from the header */
    void *png = nullptr;
    int size = 0;
    EXPECT_EQ(-27, pelmora_lib_thumb_item(p.lib.c_str(), "/big/huge.mov", "c", 32, 32, &png, &size));
    free(png);
    // A small clip beside it still gets its picture.
    EXPECT_EQ(0, pelmora_lib_thumb_item(p.lib.c_str(), "/big/small.mov", "c", 32, 32, &png, &size));
    EXPECT_GT(size, 0);
    free(png);
    pelmora_playlist_append(p.io.c_str(), "/big/huge.jpg", 0, 0, "", "", "");
    pelmora_status_t st;
    EXPECT_EQ(0, pelmora_getstatus(p.io.c_str(), &st));
    // One decoded picture would be 256 MB.
    EXPECT_LT(p.hwm_kb() - base, 150 * 1024) << "VmHWM " << p.hwm_kb() << " kB";
}

// Names beyond U+FFFF, and bytes that are no UTF-8, go out as %XX: the
// folder lists whole, the journal and a search carry them, and the names
// come back to the server as it sent them.
TEST(SimConfine, EveryNameListsAndComesBack)
{
    scratch s;
    mkdir((s.media + "/xmas").c_str(), 0755);
    ASSERT_TRUE(make_clip(s.media + "/xmas/spot \xF0\x9F\x8E\x84.mov"));
    write_file(s.media + "/xmas/latin \xE9t\xE9.mov", "x");
    write_file(s.media + "/xmas/plain.mov", "x");
    sim p(s);
    ASSERT_FALSE(p.lib.empty());
    int r = 0;
    std::vector<std::string> names = item_names(p.lib, "/xmas", &r);
    ASSERT_EQ(3, r);
    EXPECT_EQ((std::vector<std::string>{"latin %E9t%E9.mov", "plain.mov", "spot %F0%9F%8E%84.mov"}), names);
    pelmora_lib_item_t item;
    ASSERT_EQ(0, pelmora_lib_meta_item(p.lib.c_str(), "/xmas/spot %F0%9F%8E%84.mov", &item));
    EXPECT_EQ(64, item.width);
    EXPECT_STREQ("spot %F0%9F%8E%84.mov", item.name);
    char hit[260];
    EXPECT_GE(pelmora_lib_search_item(p.lib.c_str(), -1, "", "spot", hit), 0);
    EXPECT_STREQ("/xmas/spot %F0%9F%8E%84.mov", hit);

    // A change of such a name reaches the journal, and the state reads on.
    ASSERT_EQ(0, pelmora_lib_rename_item(p.lib.c_str(), "/xmas/spot %F0%9F%8E%84.mov", "/xmas/spot %F0%9F%8E%85.mov"));
    EXPECT_TRUE(names_in(s.media + "/xmas").count("spot \xF0\x9F\x8E\x85.mov"));
    pelmora_lib_state_t *st = nullptr;
    ASSERT_GE(pelmora_lib_state(p.lib.c_str(), 128, &st), 2);
    EXPECT_STREQ("+/xmas/spot %F0%9F%8E%85.mov", st->amend_list_data[0]);
    EXPECT_EQ(3, st->total_items);
    free(st);
}

// A kept job list that cannot be written refuses the change: an add is not
// acknowledged, a delete leaves the job; nothing acknowledged is lost over
// a restart.
TEST(SimConfine, FullDiskRefusesJobChanges)
{
    scratch s;
    ASSERT_TRUE(make_clip(s.media + "/real.mov"));
    // A small tmpfs as data folder, filled up; where mount is not allowed
    // the kept file's name is taken by a folder, which fails the same way.
    bool tmpfs = mount("tmpfs", s.data.c_str(), "tmpfs", 0, "size=512k") == 0;
    struct unmounter
    {
        bool on;
        std::string dir;
        ~unmounter()
        {
            if (on)
                umount2(dir.c_str(), MNT_DETACH);
        }
    } um{tmpfs, s.data};
    auto break_disk = [&] {
        if (tmpfs)
            system(("dd if=/dev/zero of=" + s.data + "/filler bs=4k 2>/dev/null").c_str());
        else {
            unlink((s.data + "/.jobs").c_str());
            mkdir((s.data + "/.jobs").c_str(), 0755);
        }
    };
    auto mend_disk = [&] {
        if (tmpfs)
            unlink((s.data + "/filler").c_str());
        else
            rmdir((s.data + "/.jobs").c_str());
    };
    auto count = [](const std::string &url) {
        pelmora_filetransfer_request_t jobs[8];
        memset(jobs, 0, sizeof jobs);
        return pelmora_filetransfer_requests_list(url.c_str(), -1, 0, 8, jobs);
    };
    pelmora_filetransfer_request_t t;
    memset(&t, 0, sizeof t);
    strcpy(t.target, "archive");
    strcpy(t.object_local, "/none.mov"); /* fails at once: nothing runs for long */
    strcpy(t.object_remote, "none.mov");
    {
        sim p(s, {"--keep-lists"});
        ASSERT_FALSE(p.lib.empty());
        ASSERT_EQ(0, pelmora_filetransfer_request_add(p.lib.c_str(), &t));
        ASSERT_EQ(0, pelmora_filetransfer_request_add(p.lib.c_str(), &t));
        break_disk();
        for (int i = 0; i < 3; i++)
            EXPECT_LT(pelmora_filetransfer_request_add(p.lib.c_str(), &t), 0);
        EXPECT_EQ(2, count(p.lib));
        pelmora_filetransfer_request_t job;
        memset(&job, 0, sizeof job);
        ASSERT_EQ(1, pelmora_filetransfer_requests_list(p.lib.c_str(), -1, 0, 1, &job));
        for (int tries = 0; tries < 200 && job.state < PELMORA_JOB_DONE; tries++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            pelmora_filetransfer_requests_list(p.lib.c_str(), -1, 0, 1, &job);
        }
        EXPECT_LT(pelmora_filetransfer_request_del(p.lib.c_str(), job.id), 0);
        EXPECT_EQ(2, count(p.lib));
        mend_disk();
        ASSERT_EQ(0, pelmora_filetransfer_request_add(p.lib.c_str(), &t));
        EXPECT_EQ(3, count(p.lib));
    }
    sim again(s, {"--keep-lists"});
    ASSERT_FALSE(again.lib.empty());
    EXPECT_EQ(3, count(again.lib));
}

// A killed run's half-copied files are removed at the next start; the
// sidecars beside them stay. An import onto an item that is there is
// refused, and the item keeps its subclips.
TEST(SimConfine, LeftoversGoAtStartAndTransfersReplaceNoItem)
{
    scratch s;
    mkdir((s.media + "/news").c_str(), 0755);
    ASSERT_TRUE(make_clip(s.media + "/news/clip.mov"));
    write_file(s.media + "/news/.clip.mov.subclips", "0\t10\tintro\n");
    write_file(s.media + "/news/.pelmora-part.4242.k3j2h1.clip2.mov", std::string(4096, 'x'));
    write_file(s.media + "/news/.clip3.mov.Ab12Cd", std::string(4096, 'x'));
    mkdir((s.data + "/targets").c_str(), 0755);
    mkdir((s.data + "/targets/archive").c_str(), 0755);
    write_file(s.data + "/targets/archive/.out.mov.Zz9Yy8", "x");
    write_file(s.data + "/targets/archive/in.mov", read_file(s.media + "/news/clip.mov") + "tail");
    sim p(s);
    ASSERT_FALSE(p.lib.empty());
    EXPECT_EQ((std::set<std::string>{".clip.mov.subclips", "clip.mov"}), names_in(s.media + "/news"));
    EXPECT_EQ(std::set<std::string>{"in.mov"}, names_in(s.data + "/targets/archive"));

    pelmora_filetransfer_request_t t;
    memset(&t, 0, sizeof t);
    strcpy(t.target, "archive");
    strcpy(t.object_local, "/news/clip.mov");
    strcpy(t.object_remote, "in.mov");
    t.f_import = 1;
    EXPECT_EQ(-17, pelmora_filetransfer_request_add(p.lib.c_str(), &t));
    pelmora_lib_item_t item;
    ASSERT_EQ(0, pelmora_lib_meta_item(p.lib.c_str(), "/news/clip.mov", &item));
    EXPECT_EQ(1, item.subclips);
    EXPECT_NE(read_file(s.data + "/targets/archive/in.mov"), read_file(s.media + "/news/clip.mov"));
}

// SIGTERM ends the program at once while a console keeps a connection open
// on every port and a call is in progress (held by an injected latency);
// a new program then listens on the same port.
TEST(SimConfine, StopsAtOnceWithAConsoleConnected)
{
    scratch s;
    ASSERT_TRUE(make_clip(s.media + "/real.mov"));
    sim p(s, {"--latency=PelmoraIO.GetStatus:60000"});
    ASSERT_FALSE(p.io.empty());
    std::vector<int> ports;
    {
        std::lock_guard<std::mutex> g(p.c.lock);
        for (const std::string &l : p.c.lines)
            if (l.find(" port ") != std::string::npos)
                ports.push_back(atoi(l.c_str() + l.rfind(' ') + 1));
    }
    ASSERT_EQ(3u, ports.size());
    std::vector<int> socks;
    for (int port : ports) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons((uint16_t)port);
        ASSERT_EQ(0, connect(fd, (struct sockaddr *)&a, sizeof a));
        socks.push_back(fd);
    }
    ASSERT_EQ(0, pelmora_lib_create_dir(p.lib.c_str(), "/kept")); /* a kept connection of the pool */
    std::thread held([&] {
        pelmora_status_t st;
        pelmora_getstatus(p.io.c_str(), &st);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); /* let the call arrive */
    auto t0 = std::chrono::steady_clock::now();
    kill(p.c.pid, SIGTERM);
    int status = -1;
    pid_t got = 0;
    while (got == 0 && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(20)) {
        got = waitpid(p.c.pid, &status, WNOHANG);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    held.join();
    for (int fd : socks)
        close(fd);
    ASSERT_EQ(p.c.pid, got);
    p.c.pid = -1;
    sim_child_stop(&p.c);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_LT(secs, 1.0);

    sim again(s, {"--library=" + std::to_string(p.lib_port)});
    EXPECT_EQ(p.lib_port, again.lib_port);
}
