// Files written by pelmora-sim's transcoder jobs, checked with the ffmpeg and
// ffprobe programs: a loudness job's output measures the target (or says it
// was limited by the true peak) and reaches the library's listing and
// journal; a transcode is a readable file of the mode's picture and the
// expected duration; bounds refuse absurd sources; a cancel, a killed
// simulator and a full disk leave nothing that looks finished.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client_env.h"
#include "media_fixture.h"
#include "pelmora.h"
#include "pelmora_jobs.h"
#include "pelmora_lib.h"
#include "sim_child.h"

namespace {

const auto *const env = client_env_add("jobs-encode-test");

bool ffmpeg(const std::string &args)
{
    return system(("ffmpeg -nostdin -loglevel error -y " + args + " >/dev/null 2>&1").c_str()) == 0;
}

// Every name in a folder, hidden ones too, sorted.
std::vector<std::string> names(const std::string &dir)
{
    std::vector<std::string> v;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                v.push_back(e->d_name);
        closedir(d);
    }
    std::sort(v.begin(), v.end());
    return v;
}

bool has_temp(const std::string &dir)
{
    for (const std::string &n : names(dir))
        if (n.compare(0, 14, ".pelmora-part.") == 0)
            return true;
    return false;
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Sources made once for the program: a quiet clip with 44.1 kHz stereo, a
// sound whose peaks stand far above its loudness, a long clip, and two
// absurd files (a picture header of 16000 x 16000, a movie header of 596 h).
struct media_fixture
{
    std::string data, media;
    bool ok = false;
    media_fixture()
    {
        char dir[] = "/tmp/jobs_enc_XXXXXX";
        if (!mkdtemp(dir))
            return;
        data = dir;
        media = data + "/media";
        mkdir(media.c_str(), 0755);
        mkdir((media + "/in").c_str(), 0755);
        mkdir((media + "/long").c_str(), 0755);
        std::string in = media + "/in/";
        ok = ffmpeg("-f lavfi -i testsrc2=size=320x240:rate=25:duration=4 -f lavfi -i "
                    "\"sine=frequency=1000:sample_rate=44100:duration=4\" -af volume=-18dB -ac 2 -c:v libx264 "
                    "-preset ultrafast -c:a pcm_s16le -shortest " +
                    in + "quiet.mov") &&
             ffmpeg("-f lavfi -i \"aevalsrc=exprs='if(lt(mod(t\\,1)\\,0.01)\\,0.9\\,0.003)*sin(2*PI*1000*t)'"
                    ":sample_rate=48000:duration=4\" -c:a pcm_s16le " +
                    in + "spiky.wav") &&
             ffmpeg("-f lavfi -i testsrc2=size=320x240:rate=25:duration=60 -f lavfi -i "
                    "sine=frequency=440:sample_rate=48000:duration=60 -c:v libx264 -preset ultrafast -c:a pcm_s16le "
                    "-shortest " +
                    media + "/long/long.mov") &&
             ffmpeg("-f lavfi -i color=size=16x16:rate=25 -frames:v 2 -c:v mjpeg " + in + "huge.avi") &&
             ffmpeg("-f lavfi -i sine=sample_rate=8000:duration=1 -c:a pcm_s16le " + in + "endless.mov");
        // The headers say what the content is not: the picture's size in
        // the AVI's stream format, the movie's duration (596 h).
        ok = ok && patch(in + "huge.avi", "strf", {12, 16}, 16000, false) &&
             patch(in + "endless.mov", "mvhd", {20}, 0x7ffffff0, true);
    }
    static bool patch(const std::string &file, const std::string &tag, std::vector<size_t> at, uint32_t v,
                      bool big_endian)
    {
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        std::string s = ss.str();
        size_t pos = s.find(tag);
        if (pos == std::string::npos)
            return false;
        for (size_t o : at) {
            char b[4];
            for (int i = 0; i < 4; i++)
                b[big_endian ? 3 - i : i] = (char)(v >> (8 * i) & 0xff);
            f.seekp((std::streamoff)(pos + o));
            f.write(b, 4);
        }
        return (bool)f;
    }
    ~media_fixture()
    {
        if (!data.empty())
            system(("rm -rf " + data).c_str());
    }
};
media_fixture &fx()
{
    static media_fixture f;
    return f;
}

struct job_sim
{
    sim_child_t c;
    std::string url;
    explicit job_sim(const std::string &media)
    {
        std::vector<std::string> args = {"--automation=0", "--library=0", "--media=" + media, "--data=" + fx().data};
        if (sim_child_start(&c, sim_child_bin(), args) < 0)
            return;
        std::lock_guard<std::mutex> g(c.lock);
        for (const std::string &l : c.lines)
            if (l.compare(0, 13, "library port ") == 0)
                url = "http://127.0.0.1:" + l.substr(13) + "/RPC2";
    }
    // kill -9: nothing of the simulator runs its ends.
    void kill9()
    {
        kill(c.pid, SIGKILL);
        int st = 0;
        waitpid(c.pid, &st, 0);
        c.pid = -1;
        sim_child_stop(&c);
    }
    ~job_sim()
    {
        if (c.pid > 0) {
            EXPECT_EQ(0, sim_child_stop(&c));
        }
    }
};

// Adds a transcoder job; its id (the newest job).
int add(const job_sim &s, const char *src, const char *dst, const char *factory, const char *profile,
        const char *in = "", const char *dur = "")
{
    pelmora_filetranscoder_request_t r;
    memset(&r, 0, sizeof r);
    strcpy(r.src.object, src);
    strcpy(r.dst.object, dst);
    strcpy(r.factory, factory);
    strcpy(r.profile, profile);
    strcpy(r.in, in);
    strcpy(r.dur, dur);
    if (pelmora_filetranscoder_request_add(s.url.c_str(), &r) != 0)
        return -1;
    pelmora_filetranscoder_request_t v;
    memset(&v, 0, sizeof v);
    return pelmora_filetranscoder_requests_list(s.url.c_str(), -1, 0, 1, &v) == 1 ? v.id : -1;
}

pelmora_filetranscoder_request_t job_of(const job_sim &s, int id)
{
    std::vector<pelmora_filetranscoder_request_t> v(100);
    memset((void *)v.data(), 0, v.size() * sizeof v[0]);
    int n = pelmora_filetranscoder_requests_list(s.url.c_str(), -1, 0, 100, v.data());
    for (int i = 0; i < n; i++)
        if (v[(size_t)i].id == id)
            return v[(size_t)i];
    pelmora_filetranscoder_request_t none;
    memset(&none, 0, sizeof none);
    none.state = -1;
    return none;
}

// Polls the job until `until` holds for it (at most two minutes).
pelmora_filetranscoder_request_t wait_job(const job_sim &s, int id,
                                          const std::function<bool(const pelmora_filetranscoder_request_t &)> &until)
{
    pelmora_filetranscoder_request_t j = job_of(s, id);
    for (int i = 0; i < 6000 && !until(j); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        j = job_of(s, id);
    }
    return j;
}
pelmora_filetranscoder_request_t wait_end(const job_sim &s, int id)
{
    return wait_job(s, id, [](const pelmora_filetranscoder_request_t &j) { return j.state >= PELMORA_JOB_DONE; });
}

// Integrated loudness and true peak by ffmpeg's ebur128 filter.
void ebur128(const std::string &file, double *lufs, double *tp)
{
    std::string out = shell_output("ffmpeg -nostdin -nostats -hide_banner -i " + file +
                                   " -map 0:a:0 -af ebur128=peak=true -f null - 2>&1");
    size_t i = out.rfind("I:"), p = out.rfind("Peak:");
    *lufs = i == std::string::npos ? 99 : strtod(out.c_str() + i + 2, nullptr);
    *tp = p == std::string::npos ? 99 : strtod(out.c_str() + p + 5, nullptr);
}

std::string probe(const std::string &file, const std::string &entries)
{
    return shell_output("ffprobe -v error -show_entries " + entries + " -of default=nw=1 " + file + " 2>&1");
}

TEST(JobsEncode, LoudnessWritesTheNormalisedFileIntoTheLibrary)
{
    ASSERT_TRUE(fx().ok);
    job_sim s(fx().media);
    ASSERT_FALSE(s.url.empty());
    double before = 0, tp = 0;
    ebur128(fx().media + "/in/quiet.mov", &before, &tp);
    ASSERT_LT(before, -30.0); /* far from the target: the gain matters */

    int id = add(s, "/in/quiet.mov", "/in/quiet_-23.00LUFS.mxf", "audionorm", "-23.00");
    auto j = wait_end(s, id);
    ASSERT_EQ(PELMORA_JOB_DONE, j.state) << j.error;
    EXPECT_EQ(100, j.progress);
    EXPECT_EQ(nullptr, strstr(j.error, "limited")) << j.error;
    double lufs = 0;
    std::string out = fx().media + "/in/quiet_-23.00LUFS.mxf";
    ebur128(out, &lufs, &tp);
    EXPECT_NEAR(-23.0, lufs, 0.5);
    EXPECT_LE(tp, -1.0);
    EXPECT_NE(std::string::npos, probe(out, "format=format_name").find("format_name=mxf"));
    EXPECT_NE(std::string::npos, probe(out, "stream=sample_rate").find("sample_rate=48000"));
    // What the job says it wrote is what ffmpeg measures.
    const char *w = strstr(j.error, "written I ");
    ASSERT_NE(nullptr, w) << j.error;
    EXPECT_NEAR(lufs, strtod(w + 10, nullptr), 0.1);
    printf("loudness job: %s; ffmpeg: I %.1f LUFS, peak %.1f dBFS\n", j.error, lufs, tp);

    // In the folder's listing, and in the journal by its own change.
    pelmora_lib_item_t **items = nullptr;
    int n = pelmora_lib_list_items(s.url.c_str(), "/in", &items);
    bool listed = false;
    for (int i = 0; i < n; i++) {
        listed = listed || !strcmp(items[i]->name, "quiet_-23.00LUFS.mxf");
        free(items[i]);
    }
    free(items);
    EXPECT_TRUE(listed);
    pelmora_lib_state_t *st = nullptr;
    ASSERT_GE(pelmora_lib_state(s.url.c_str(), 16, &st), 0);
    int journaled = 0;
    for (int i = 0; i < st->amend_list_len; i++)
        journaled += !strcmp(st->amend_list_data[i], "+/in/quiet_-23.00LUFS.mxf");
    free(st);
    EXPECT_EQ(1, journaled); /* once: the folder watch does not add it again */

    // A second job onto the same name fails and leaves the file as it was.
    id = add(s, "/in/quiet.mov", "/in/quiet_-23.00LUFS.mxf", "audionorm", "-23.00");
    j = wait_end(s, id);
    EXPECT_EQ(PELMORA_JOB_ERROR, j.state);
    EXPECT_NE(nullptr, strstr(j.error, "already there")) << j.error;

    // Peaks 30 dB above the loudness: the gain stops at the true peak and
    // the job says so; sound without a picture gets a black one.
    id = add(s, "/in/spiky.wav", "/in/spiky_-16.00LUFS.mxf", "audionorm", "-16.00");
    j = wait_end(s, id);
    ASSERT_EQ(PELMORA_JOB_DONE, j.state) << j.error;
    EXPECT_NE(nullptr, strstr(j.error, "limited by the true peak")) << j.error;
    printf("limited job: %s\n", j.error);
    ebur128(fx().media + "/in/spiky_-16.00LUFS.mxf", &lufs, &tp);
    EXPECT_LE(tp, -1.0);
    EXPECT_GT(tp, -2.0);
    EXPECT_LT(lufs, -16.5);
    EXPECT_NE(std::string::npos,
              probe(fx().media + "/in/spiky_-16.00LUFS.mxf", "stream=codec_type").find("codec_type=video"));
    EXPECT_FALSE(has_temp(fx().media + "/in"));
    unlink(out.c_str());
    unlink((fx().media + "/in/spiky_-16.00LUFS.mxf").c_str());
}

TEST(JobsEncode, TranscodeWritesTheModeAndRefusesAbsurdSources)
{
    ASSERT_TRUE(fx().ok);
    job_sim s(fx().media);
    ASSERT_FALSE(s.url.empty());
    const std::string in = fx().media + "/in/";
    int whole = add(s, "/in/quiet.mov", "/in/quiet_576i50_imx50", "mlt", "576i50/imx50");
    int part = add(s, "/in/quiet.mov", "/in/cut_00025_00050_720p50_h264", "mlt", "720p50/h264", "25", "50");
    auto j = wait_end(s, whole);
    ASSERT_EQ(PELMORA_JOB_DONE, j.state) << j.error;
    std::string v = probe(in + "quiet_576i50_imx50", "stream=codec_name,width,height,r_frame_rate,sample_rate:format="
                                                     "format_name,duration");
    EXPECT_NE(std::string::npos, v.find("format_name=mxf")) << v;
    EXPECT_NE(std::string::npos, v.find("codec_name=mpeg2video\nwidth=720\nheight=576\nr_frame_rate=25/1")) << v;
    EXPECT_NE(std::string::npos, v.find("sample_rate=48000")) << v;
    size_t d = v.find("\nduration=");
    ASSERT_NE(std::string::npos, d) << v;
    EXPECT_NEAR(4.0, strtod(v.c_str() + d + 10, nullptr), 0.05) << v;
    // A subclip (frames 25 to 75 of the source) at 50 frames a second.
    j = wait_end(s, part);
    ASSERT_EQ(PELMORA_JOB_DONE, j.state) << j.error;
    v = probe(in + "cut_00025_00050_720p50_h264", "stream=width,r_frame_rate:format=duration");
    EXPECT_NE(std::string::npos, v.find("width=1280\nr_frame_rate=50/1")) << v;
    d = v.find("duration=");
    ASSERT_NE(std::string::npos, d) << v;
    EXPECT_NEAR(2.0, strtod(v.c_str() + d + 9, nullptr), 0.05) << v;
    // Listed by the library like any clip, with its picture read.
    pelmora_lib_item_t item;
    ASSERT_EQ(0, pelmora_lib_meta_item(s.url.c_str(), "/in/quiet_576i50_imx50", &item));
    EXPECT_EQ(720, item.width);

    // Refusals end in an error the operator can read and write nothing.
    std::vector<std::string> before = names(fx().media + "/in");
    struct
    {
        const char *src, *profile, *in, *why;
    } bad[] = {
        {"/in/huge.avi", "576i50/imx50", "", "picture too large"},
        {"/in/endless.mov", "-23.00", "", "source too long"},
        {"/in/quiet.mov", "HD/XDCAM", "", "unknown mode HD"},
        {"/in/quiet.mov", "576i50/imx50", "500", "in point past the end"},
        {"/in/gone.mov", "576i50/imx50", "", "source missing"},
    };
    for (const auto &b : bad) {
        bool norm = b.profile[0] == '-';
        int id = add(s, b.src, "/in/refused.mxf", norm ? "audionorm" : "mlt", b.profile, b.in, "");
        j = wait_end(s, id);
        EXPECT_EQ(PELMORA_JOB_ERROR, j.state) << b.src;
        EXPECT_NE(nullptr, strstr(j.error, b.why)) << b.src << ": " << j.error;
    }
    EXPECT_EQ(before, names(fx().media + "/in"));
    unlink((in + "quiet_576i50_imx50").c_str());
    unlink((in + "cut_00025_00050_720p50_h264").c_str());
}

TEST(JobsEncode, CancelAndKillLeaveNoFinishedFile)
{
    ASSERT_TRUE(fx().ok);
    const std::string dir = fx().media + "/long", out = dir + "/long_1080i50_xdcam_hd422";
    auto started = [](const pelmora_filetranscoder_request_t &j) {
        return j.state >= PELMORA_JOB_DONE || (j.state == PELMORA_JOB_STARTED && j.progress >= 2);
    };
    {
        job_sim s(fx().media);
        ASSERT_FALSE(s.url.empty());
        int id = add(s, "/long/long.mov", "/long/long_1080i50_xdcam_hd422", "mlt", "1080i50/xdcam_hd422");
        auto j = wait_job(s, id, started);
        ASSERT_EQ(PELMORA_JOB_STARTED, j.state) << j.error;
        // The progress follows the work: it moves on while the job runs.
        int first = j.progress;
        j = wait_job(s, id, [&](const pelmora_filetranscoder_request_t &k) {
            return k.state != PELMORA_JOB_STARTED || k.progress > first;
        });
        ASSERT_EQ(PELMORA_JOB_STARTED, j.state);
        EXPECT_LT(j.progress, 100);
        ASSERT_EQ(0, pelmora_filetranscoder_request_cancel(s.url.c_str(), id));
        EXPECT_EQ(PELMORA_JOB_CANCELLED, job_of(s, id).state);
        // The worker lets go of the file: its temporary goes, nothing is
        // at the destination.
        for (int i = 0; i < 500 && has_temp(dir); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_FALSE(has_temp(dir));
        EXPECT_FALSE(exists(out));

        // Killed in the middle: only the temporary is there...
        id = add(s, "/long/long.mov", "/long/long_1080i50_xdcam_hd422", "mlt", "1080i50/xdcam_hd422");
        ASSERT_EQ(PELMORA_JOB_STARTED, wait_job(s, id, started).state);
        s.kill9();
        EXPECT_TRUE(has_temp(dir));
        EXPECT_FALSE(exists(out));
    }
    // ... and the next start removes it.
    job_sim s(fx().media);
    ASSERT_FALSE(s.url.empty());
    EXPECT_EQ(std::vector<std::string>{"long.mov"}, names(dir));
}

TEST(JobsEncode, FullDiskFailsTheJobWithAReason)
{
    ASSERT_TRUE(fx().ok);
    std::string media = fx().data + "/small";
    mkdir(media.c_str(), 0755);
    if (mount("tmpfs", media.c_str(), "tmpfs", 0, "size=120m") != 0)
        GTEST_SKIP() << "no tmpfs can be mounted here";
    struct unmounter
    {
        std::string dir;
        ~unmounter() { umount2(dir.c_str(), MNT_DETACH); }
    } um{media};
    ASSERT_EQ("", shell_output("cp " + fx().media + "/long/long.mov " + media + "/ 2>&1"));
    job_sim s(media);
    ASSERT_FALSE(s.url.empty());
    // Too big for the space there is: refused before anything is written.
    int id = add(s, "/long.mov", "/long_1080i50_xdcam_hd422", "mlt", "1080i50/xdcam_hd422");
    auto j = wait_end(s, id);
    EXPECT_EQ(PELMORA_JOB_ERROR, j.state);
    EXPECT_NE(nullptr, strstr(j.error, "not enough space")) << j.error;
    // It fits when it starts, then the disk fills up under it.
    id = add(s, "/long.mov", "/long_576i50_imx50", "mlt", "576i50/imx50");
    auto k = wait_job(s, id, [&](const pelmora_filetranscoder_request_t &x) {
        return x.state >= PELMORA_JOB_DONE || (x.state == PELMORA_JOB_STARTED && has_temp(media));
    });
    ASSERT_EQ("", shell_output("dd if=/dev/zero of=" + media + "/filler bs=64k 2>/dev/null; sync"));
    j = wait_end(s, id);
    ASSERT_EQ(PELMORA_JOB_STARTED, k.state) << "the job ended before the disk was full";
    EXPECT_EQ(PELMORA_JOB_ERROR, j.state);
    EXPECT_NE(nullptr, strstr(j.error, "disk full")) << j.error;
    EXPECT_FALSE(exists(media + "/long_576i50_imx50"));
    EXPECT_FALSE(has_temp(media));
}

} // namespace
