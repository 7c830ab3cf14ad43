// The job services of pelmora-sim driven through the jobs client: a transfer
// copies the file whole, a loudness job agrees with the ffmpeg program's
// ebur128 filter, refused controls change nothing, kept jobs survive a
// restart, and the list honours the caller's limit.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client_env.h"
#include "media_fixture.h"
#include "pelmora.h"
#include "pelmora_jobs.h"
#include "sim_child.h"

namespace {

const auto *const env = client_env_add("jobs-test");

// A data folder with sample media, made once for the program.
struct data_fixture
{
    std::string data, media;
    data_fixture()
    {
        char dir[] = "/tmp/jobs_it_XXXXXX";
        if (!mkdtemp(dir))
            return;
        data = dir;
        media = data + "/media";
        std::string cmd = std::string(PELMORA_SOURCE_DIR) + "/scripts/make-media --quick " + media + " >/dev/null";
        if (system(cmd.c_str()) != 0)
            media.clear();
    }
    ~data_fixture()
    {
        if (!data.empty())
            system(("rm -rf " + data).c_str());
    }
};
data_fixture &fx()
{
    static data_fixture f;
    return f;
}

struct job_sim
{
    sim_child_t c;
    std::string url;
    explicit job_sim(bool keep = false)
    {
        std::vector<std::string> args = {"--automation=0", "--library=0", "--media=" + fx().media,
                                         "--data=" + fx().data};
        if (keep)
            args.push_back("--keep-lists");
        if (sim_child_start(&c, sim_child_bin(), args) < 0)
            return;
        std::lock_guard<std::mutex> g(c.lock);
        for (const std::string &l : c.lines)
            if (l.compare(0, 13, "library port ") == 0)
                url = "http://127.0.0.1:" + l.substr(13) + "/RPC2";
    }
    ~job_sim() { EXPECT_EQ(0, sim_child_stop(&c)); }
};

template <typename R>
std::vector<R> list_of(int (*fn)(const char *, int, int, int, R *), const std::string &url, int limit, int *n)
{
    std::vector<R> v((size_t)std::max(limit, 1));
    memset((void *)v.data(), 0, v.size() * sizeof(R));
    *n = fn(url.c_str(), -1, 0, limit, v.data());
    v.resize((size_t)std::max(*n, 0));
    return v;
}

// Waits until job id reaches a state of 2 or more; its last record.
template <typename R> R wait_end(int (*fn)(const char *, int, int, int, R *), const std::string &url, int id)
{
    R found;
    memset((void *)&found, 0, sizeof found);
    found.state = -1;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < end) {
        int n = 0;
        for (const R &r : list_of(fn, url, 100, &n))
            if (r.id == id)
                found = r;
        if (found.state >= PELMORA_JOB_DONE)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return found;
}

// The id of the newest job (the lists give the newest first).
template <typename R> int newest(int (*fn)(const char *, int, int, int, R *), const std::string &url)
{
    int n = 0;
    auto v = list_of(fn, url, 1, &n);
    return n > 0 ? v[0].id : -1;
}

pelmora_filetransfer_request_t transfer(const char *target, const char *local, const char *remote, int f_delete)
{
    pelmora_filetransfer_request_t r;
    memset(&r, 0, sizeof r);
    strcpy(r.target, target);
    strcpy(r.object_local, local);
    strcpy(r.object_remote, remote);
    r.f_delete = f_delete;
    return r;
}

TEST(JobsSim, ExportArrivesWholeInTheTargetFolderAndImportComesBack)
{
    ASSERT_FALSE(fx().media.empty());
    job_sim s;
    ASSERT_FALSE(s.url.empty());
    pelmora_filetransfer_target_t trg[4];
    memset(trg, 0, sizeof trg);
    ASSERT_EQ(2, pelmora_filetransfer_targets_list(s.url.c_str(), 0, 4, trg));
    EXPECT_STREQ("archive", trg[0].id);

    auto req = transfer("archive", "/news/opener.mov", "opener_copy.mov", 0);
    ASSERT_EQ(0, pelmora_filetransfer_request_add(s.url.c_str(), &req));
    auto done = wait_end(pelmora_filetransfer_requests_list, s.url, newest(pelmora_filetransfer_requests_list, s.url));
    ASSERT_EQ(PELMORA_JOB_DONE, done.state) << done.error;
    EXPECT_EQ(100, done.progress);
    std::string src = fx().media + "/news/opener.mov", dst = fx().data + "/targets/archive/opener_copy.mov";
    EXPECT_EQ("", shell_output("cmp " + src + " " + dst + " 2>&1"));
    // Nothing of the temporary file is left beside it.
    EXPECT_EQ("opener_copy.mov\n", shell_output("ls -A " + fx().data + "/targets/archive"));

    // And back into the library with the source deleted on the target.
    req = transfer("archive", "/promos/opener_back.mov", "opener_copy.mov", 1);
    req.f_import = 1;
    ASSERT_EQ(0, pelmora_filetransfer_request_add(s.url.c_str(), &req));
    done = wait_end(pelmora_filetransfer_requests_list, s.url, newest(pelmora_filetransfer_requests_list, s.url));
    ASSERT_EQ(PELMORA_JOB_DONE, done.state) << done.error;
    EXPECT_EQ("", shell_output("cmp " + src + " " + fx().media + "/promos/opener_back.mov 2>&1"));
    EXPECT_EQ("", shell_output("ls -A " + fx().data + "/targets/archive"));
    unlink((fx().media + "/promos/opener_back.mov").c_str());

    // A source that is not there ends in an error the operator can read;
    // names that would leave the target are refused at once.
    req = transfer("archive", "/news/none.mov", "none.mov", 0);
    ASSERT_EQ(0, pelmora_filetransfer_request_add(s.url.c_str(), &req));
    done = wait_end(pelmora_filetransfer_requests_list, s.url, newest(pelmora_filetransfer_requests_list, s.url));
    EXPECT_EQ(PELMORA_JOB_ERROR, done.state);
    EXPECT_STREQ("source missing", done.error);
    req = transfer("archive", "/news/opener.mov", "../../escape.mov", 0);
    EXPECT_EQ(-22, pelmora_filetransfer_request_add(s.url.c_str(), &req));
    req = transfer("nowhere", "/news/opener.mov", "x.mov", 0);
    EXPECT_EQ(-2, pelmora_filetransfer_request_add(s.url.c_str(), &req));
}

TEST(JobsSim, LoudnessAgreesWithFfmpegEbur128)
{
    ASSERT_FALSE(fx().media.empty());
    std::string file = fx().media + "/promos/spring_promo.mov";
    std::string out = shell_output("ffmpeg -nostdin -nostats -hide_banner -i " + file +
                                   " -map 0:a:0 -af ebur128=peak=true -f null - 2>&1");
    // The summary's "I:" line (the last one; the running lines come before).
    size_t at = out.rfind("I:");
    ASSERT_NE(std::string::npos, at) << out;
    double ref = strtod(out.c_str() + at + 2, nullptr);
    ASSERT_LT(ref, -5.0);

    job_sim s;
    pelmora_filetranscoder_request_t r;
    memset(&r, 0, sizeof r);
    strcpy(r.src.object, "/promos/spring_promo.mov");
    strcpy(r.dst.object, "/promos/spring_promo_-23.00LUFS.mxf");
    strcpy(r.factory, "audionorm");
    strcpy(r.profile, "-23.00");
    ASSERT_EQ(0, pelmora_filetranscoder_request_add(s.url.c_str(), &r));
    auto done =
        wait_end(pelmora_filetranscoder_requests_list, s.url, newest(pelmora_filetranscoder_requests_list, s.url));
    ASSERT_EQ(PELMORA_JOB_DONE, done.state) << done.error;
    double measured = 0, gain = 0;
    ASSERT_EQ(2, sscanf(done.error, "I %lf LUFS, TP %*f dBTP, gain %lf dB", &measured, &gain)) << done.error;
    EXPECT_NEAR(ref, measured, 0.1) << out.substr(at);
    EXPECT_NEAR(-23.0 - measured, gain, 0.011);

    // A target level that is no number is refused before a job exists.
    strcpy(r.profile, "loud");
    EXPECT_EQ(-22, pelmora_filetranscoder_request_add(s.url.c_str(), &r));
}

TEST(JobsSim, RefusedControlsChangeNothingAndJobsSurviveARestart)
{
    ASSERT_FALSE(fx().media.empty());
    unlink((fx().data + "/.jobs").c_str());
    int id = -1;
    {
        job_sim s(true);
        pelmora_filetranscoder_request_t r;
        memset(&r, 0, sizeof r);
        strcpy(r.src.object, "/news/opener.mov");
        strcpy(r.dst.object, "/news/opener_1080i50_xdcam_hd422");
        strcpy(r.factory, "mlt");
        strcpy(r.profile, "1080i50/xdcam_hd422");
        strcpy(r.osd, "TC");
        ASSERT_EQ(0, pelmora_filetranscoder_request_add(s.url.c_str(), &r));
        id = newest(pelmora_filetranscoder_requests_list, s.url);
        // Running (a 10 s clip encoded in full HD takes seconds): a delete is refused.
        int n = 0;
        for (int i = 0; i < 100; i++) {
            auto v = list_of(pelmora_filetranscoder_requests_list, s.url, 10, &n);
            if (n > 0 && v[0].state == PELMORA_JOB_STARTED)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(-16, pelmora_filetranscoder_request_del(s.url.c_str(), id));
        EXPECT_EQ(-16, pelmora_filetranscoder_request_restart(s.url.c_str(), id));
        auto v = list_of(pelmora_filetranscoder_requests_list, s.url, 10, &n);
        ASSERT_EQ(1, n);
        EXPECT_EQ(PELMORA_JOB_STARTED, v[0].state);
        // Cancelled once; a second cancel is refused and the job stays as it was.
        EXPECT_EQ(0, pelmora_filetranscoder_request_cancel(s.url.c_str(), id));
        EXPECT_EQ(-1, pelmora_filetranscoder_request_cancel(s.url.c_str(), id));
        v = list_of(pelmora_filetranscoder_requests_list, s.url, 10, &n);
        ASSERT_EQ(1, n);
        EXPECT_EQ(PELMORA_JOB_CANCELLED, v[0].state);
        EXPECT_EQ(-2, pelmora_filetranscoder_request_cancel(s.url.c_str(), id + 1000));
    }
    {
        job_sim s(true);
        int n = 0;
        auto v = list_of(pelmora_filetranscoder_requests_list, s.url, 10, &n);
        ASSERT_EQ(1, n);
        EXPECT_EQ(id, v[0].id);
        EXPECT_EQ(PELMORA_JOB_CANCELLED, v[0].state);
        EXPECT_STREQ("TC", v[0].osd);
        EXPECT_STREQ("1080i50/xdcam_hd422", v[0].profile);
        // Restarted, it runs to the end and its file is there.
        EXPECT_EQ(0, pelmora_filetranscoder_request_restart(s.url.c_str(), id));
        auto done = wait_end(pelmora_filetranscoder_requests_list, s.url, id);
        EXPECT_EQ(PELMORA_JOB_DONE, done.state) << done.error;
        EXPECT_EQ(0, unlink((fx().media + "/news/opener_1080i50_xdcam_hd422").c_str()));
        EXPECT_EQ(0, pelmora_filetranscoder_request_del(s.url.c_str(), id));
        list_of(pelmora_filetranscoder_requests_list, s.url, 10, &n);
        EXPECT_EQ(0, n);
    }
}

TEST(JobsSim, ListStopsAtTheCallersLimit)
{
    ASSERT_FALSE(fx().media.empty());
    job_sim s;
    auto req = transfer("playout", "/news/missing.mov", "m.mov", 0);
    for (int i = 0; i < 150; i++)
        ASSERT_EQ(0, pelmora_filetransfer_request_add(s.url.c_str(), &req));
    int n = 0;
    auto v = list_of(pelmora_filetransfer_requests_list, s.url, 100, &n);
    EXPECT_EQ(100, n);
    EXPECT_STREQ("/news/missing.mov", v[99].object_local);
    // A record past the limit was never written.
    std::vector<pelmora_filetransfer_request_t> buf(101);
    memset((void *)buf.data(), 0, buf.size() * sizeof buf[0]);
    EXPECT_EQ(100, pelmora_filetransfer_requests_list(s.url.c_str(), -1, 0, 100, buf.data()));
    EXPECT_EQ(0, buf[100].id);
}

} // namespace
