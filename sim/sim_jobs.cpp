/* Job services of the simulator's library server (see sim_jobs.h). One
 * worker thread runs the jobs one at a time, in id order, with the lock
 * released while the file work runs; the work asks after every packet
 * whether the job is still wanted, so a cancel or a stop ends it at once. */
#include "sim_jobs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <ebur128.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "sim_confine.h"
#include "sim_encode.h"
#include "sim_media_probe.h"

namespace {

/* Jobs held at once (both services): an add past this is refused. */
const size_t JOBS_MAX = 10000;
/* Records one list answer carries at most. */
const int LIST_MAX = 1000;
/* Targets listed at most. */
const size_t TARGETS_MAX = 1000;
/* The kept jobs file is refused past this size. */
const off_t KEPT_MAX = 64 << 20;

enum
{
    TRANSFER = 0,
    TRANSCODER = 1
};

struct job
{
    int id = 0;
    int state = 0;
    int progress = 0;
    std::string error;
    int64_t updated = 0, created = 0;
    /* transfer */
    std::string target, object_local, object_remote;
    int f_import = 0, f_delete = 0;
    /* transcoder */
    std::string src, dst, in, dur, factory, profile, audio_map, timecode, osd, transfer_target;
    int audio_conf = 0, transfer_f_delete = 0;
    int f_measured = 0;
    double loudness = 0, true_peak = 0, gain = 0;
};

/* A single name inside a target folder: no separators, nothing hidden. */
bool plain_name(const std::string &s)
{
    if (s.empty() || s.size() > 255 || s[0] == '.')
        return false;
    for (unsigned char c : s)
        if (c == '/' || c < 0x20 || c == 0x7f)
            return false;
    return true;
}

bool audionorm(const job &j)
{
    return j.factory == "audionorm";
}

} // namespace

struct sim_jobs_desc
{
    sim_server_t *srv = nullptr;
    sim_library_t *lib = nullptr;
    std::string targets_dir;
    std::string kept_file; /* empty: jobs are not kept */
    std::mutex lock;
    std::condition_variable cond;
    std::map<int, job> jobs[2];
    int next_id = 1;
    int f_stop = 0;
    int f_dirty = 0;
    int f_save_failed = 0; /* the last write of the kept file failed (logged once) */
    std::thread worker;
};

static std::mutex sim_jobs_registry_lock;
static std::map<sim_server_t *, sim_jobs_t *> sim_jobs_registry;

static sim_jobs_t *sim_jobs_of(sim_server_t *srv)
{
    std::lock_guard<std::mutex> g(sim_jobs_registry_lock);
    auto it = sim_jobs_registry.find(srv);
    return it == sim_jobs_registry.end() ? nullptr : it->second;
}

/* ------------------------------------------------------------------------
 * Loudness
 * ---------------------------------------------------------------------- */

/* The weighting of one channel, from the stream's layout: LFE is left out,
 * surround channels weigh 1.41, everything else 1. */
static int loudness_channel(const AVChannelLayout *l, int i)
{
    if (l->order != AV_CHANNEL_ORDER_NATIVE && l->order != AV_CHANNEL_ORDER_CUSTOM)
        return EBUR128_LEFT;
    switch (av_channel_layout_channel_from_index(l, (unsigned)i)) {
    case AV_CHAN_LOW_FREQUENCY:
    case AV_CHAN_LOW_FREQUENCY_2:
        return EBUR128_UNUSED;
    case AV_CHAN_SIDE_LEFT:
    case AV_CHAN_BACK_LEFT:
        return EBUR128_LEFT_SURROUND;
    case AV_CHAN_SIDE_RIGHT:
    case AV_CHAN_BACK_RIGHT:
        return EBUR128_RIGHT_SURROUND;
    case AV_CHAN_FRONT_CENTER:
        return EBUR128_CENTER;
    case AV_CHAN_FRONT_RIGHT:
        return EBUR128_RIGHT;
    default:
        return EBUR128_LEFT;
    }
}

/* One decoded frame as interleaved doubles, whatever its sample format. */
static bool frame_samples(const AVFrame *f, int ch, std::vector<double> *out)
{
    int n = f->nb_samples;
    out->assign((size_t)n * (size_t)ch, 0.0);
    AVSampleFormat fmt = (AVSampleFormat)f->format;
    bool planar = av_sample_fmt_is_planar(fmt);
    for (int c = 0; c < ch; c++) {
        const uint8_t *base = planar ? f->extended_data[c] : f->extended_data[0];
        for (int s = 0; s < n; s++) {
            size_t k = planar ? (size_t)s : (size_t)s * ch + c;
            double v;
            switch (av_get_packed_sample_fmt(fmt)) {
            case AV_SAMPLE_FMT_U8:
                v = (base[k] - 128) / 128.0;
                break;
            case AV_SAMPLE_FMT_S16:
                v = ((const int16_t *)base)[k] / 32768.0;
                break;
            case AV_SAMPLE_FMT_S32:
                v = ((const int32_t *)base)[k] / 2147483648.0;
                break;
            case AV_SAMPLE_FMT_FLT:
                v = ((const float *)base)[k];
                break;
            case AV_SAMPLE_FMT_DBL:
                v = ((const double *)base)[k];
                break;
            default:
                return false;
            }
            (*out)[(size_t)s * ch + c] = v;
        }
    }
    return true;
}

struct ebur_guard
{
    ebur128_state *st = nullptr;
    ~ebur_guard()
    {
        if (st)
            ebur128_destroy(&st);
    }
};

/* progress(percent) is told now and then; a false answer stops the work
 * (-125, cancelled). */
static int loudness_measure(int fd, double *lufs, double *tp, const std::function<bool(int)> &progress)
{
    AVFormatContext *fc = nullptr;
    int r = sim_probe_open(fd, &fc);
    if (r < 0)
        return r;
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext *)> fg(
        fc, [](AVFormatContext *f) { avformat_close_input(&f); });
    if ((r = avformat_find_stream_info(fc, nullptr)) < 0)
        return r;
    int si = av_find_best_stream(fc, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (si < 0)
        return -61; /* no audio */
    AVStream *st = fc->streams[si];
    const AVCodec *codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec)
        return -95;
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext *)> cc(avcodec_alloc_context3(codec),
                                                                   [](AVCodecContext *c) { avcodec_free_context(&c); });
    if (!cc || avcodec_parameters_to_context(cc.get(), st->codecpar) < 0 || avcodec_open2(cc.get(), codec, nullptr) < 0)
        return -22;
    int ch = cc->ch_layout.nb_channels, rate = cc->sample_rate;
    /* What the meter cannot take is refused before it sees a sample. */
    if (ch < 1 || ch > 64 || rate < 8000 || rate > 384000)
        return -22;
    ebur_guard eg;
    eg.st = ebur128_init((unsigned)ch, (unsigned long)rate, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    if (!eg.st)
        return -12;
    for (int c = 0; c < ch; c++)
        ebur128_set_channel(eg.st, (unsigned)c, loudness_channel(&cc->ch_layout, c));
    double total = fc->duration > 0 ? fc->duration / (double)AV_TIME_BASE : 0;
    std::unique_ptr<AVPacket, void (*)(AVPacket *)> pkt(av_packet_alloc(), [](AVPacket *p) { av_packet_free(&p); });
    std::unique_ptr<AVFrame, void (*)(AVFrame *)> frm(av_frame_alloc(), [](AVFrame *f) { av_frame_free(&f); });
    if (!pkt || !frm)
        return -12;
    std::vector<double> buf;
    int64_t samples = 0;
    int last_pct = -1;
    bool eof = false;
    while (!eof) {
        r = av_read_frame(fc, pkt.get());
        if (r < 0) {
            eof = true;
            avcodec_send_packet(cc.get(), nullptr);
        } else {
            bool mine = pkt->stream_index == si;
            if (mine)
                r = avcodec_send_packet(cc.get(), pkt.get());
            av_packet_unref(pkt.get());
            if (!mine)
                continue;
            if (r < 0 && r != AVERROR(EAGAIN))
                return r;
        }
        while (avcodec_receive_frame(cc.get(), frm.get()) == 0) {
            bool ok =
                frm->ch_layout.nb_channels == ch && frm->sample_rate == rate && frame_samples(frm.get(), ch, &buf);
            int n = frm->nb_samples;
            av_frame_unref(frm.get());
            if (!ok)
                return -22;
            if (ebur128_add_frames_double(eg.st, buf.data(), (size_t)n) != EBUR128_SUCCESS)
                return -12;
            samples += n;
        }
        int pct = total > 0 ? (int)std::min(99.0, samples * 100.0 / (total * rate)) : 0;
        if (pct != last_pct) {
            last_pct = pct;
            if (!progress(pct))
                return -125;
        }
    }
    if (ebur128_loudness_global(eg.st, lufs) != EBUR128_SUCCESS)
        return -22;
    double peak = 0;
    for (int c = 0; c < ch; c++) {
        double p = 0;
        if (ebur128_true_peak(eg.st, (unsigned)c, &p) == EBUR128_SUCCESS)
            peak = std::max(peak, p);
    }
    *tp = peak > 0 ? 20 * log10(peak) : -HUGE_VAL;
    return 0;
}

int sim_jobs_loudness(const char *path, double *lufs, double *true_peak_db)
{
    struct stat st;
    sim_fd_t fd(sim_confine_open_file(AT_FDCWD, path, &st));
    if (fd.fd < 0)
        return fd.fd;
    return loudness_measure(fd.fd, lufs, true_peak_db, [](int) { return true; });
}

/* ------------------------------------------------------------------------
 * Kept jobs: one line per job, texts %-escaped
 * ---------------------------------------------------------------------- */

static std::string esc(const std::string &s)
{
    std::string o;
    for (unsigned char c : s) {
        if (c < 0x21 || c == '%' || c == 0x7f) {
            char b[4];
            snprintf(b, sizeof(b), "%%%02X", c);
            o += b;
        } else
            o += (char)c;
    }
    return o.empty() ? "%" : o; /* "%" alone: the empty text */
}

static bool unesc(const std::string &s, std::string *o)
{
    o->clear();
    if (s == "%")
        return true;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '%') {
            *o += s[i];
            continue;
        }
        if (i + 2 >= s.size())
            return false;
        char h[3] = {s[i + 1], s[i + 2], 0};
        char *end = nullptr;
        long v = strtol(h, &end, 16);
        if (end != h + 2)
            return false;
        *o += (char)v;
        i += 2;
    }
    return true;
}

static std::string job_line(int kind, const job &j)
{
    char nums[256];
    snprintf(nums, sizeof(nums), "%d %d %d %d %lld %lld %d %d %d %d %d %.4f %.4f %.4f", kind, j.id, j.state, j.progress,
             (long long)j.updated, (long long)j.created, j.f_import, j.f_delete, j.audio_conf, j.transfer_f_delete,
             j.f_measured, j.loudness, j.true_peak, j.gain);
    std::string l = nums;
    for (const std::string *t : {&j.error, &j.target, &j.object_local, &j.object_remote, &j.src, &j.dst, &j.in, &j.dur,
                                 &j.factory, &j.profile, &j.audio_map, &j.timecode, &j.osd, &j.transfer_target})
        l += " " + esc(*t);
    return l + "\n";
}

static bool job_parse(const std::string &line, int *kind, job *j)
{
    std::vector<std::string> f;
    size_t p = 0;
    while (p <= line.size() && f.size() < 40) {
        size_t q = line.find(' ', p);
        if (q == std::string::npos)
            q = line.size();
        f.push_back(line.substr(p, q - p));
        p = q + 1;
    }
    if (f.size() != 28)
        return false;
    long long n[11];
    for (int i = 0; i < 11; i++) {
        char *end = nullptr;
        errno = 0;
        n[i] = strtoll(f[(size_t)i].c_str(), &end, 10);
        if (errno || end == f[(size_t)i].c_str() || *end)
            return false;
    }
    if (n[0] < 0 || n[0] > 1 || n[1] < 1 || n[1] > 1000000000 || n[2] < 0 || n[2] > 4 || n[3] < 0 || n[3] > 100)
        return false;
    for (int i = 6; i < 11; i++)
        if (n[i] < INT32_MIN || n[i] > INT32_MAX)
            return false;
    *kind = (int)n[0];
    j->id = (int)n[1];
    j->state = (int)n[2];
    j->progress = (int)n[3];
    j->updated = n[4];
    j->created = n[5];
    j->f_import = (int)n[6];
    j->f_delete = (int)n[7];
    j->audio_conf = (int)n[8];
    j->transfer_f_delete = (int)n[9];
    j->f_measured = (int)n[10];
    j->loudness = strtod(f[11].c_str(), nullptr);
    j->true_peak = strtod(f[12].c_str(), nullptr);
    j->gain = strtod(f[13].c_str(), nullptr);
    std::string *t[] = {&j->error,     &j->target,   &j->object_local, &j->object_remote,  &j->src,
                        &j->dst,       &j->in,       &j->dur,          &j->factory,        &j->profile,
                        &j->audio_map, &j->timecode, &j->osd,          &j->transfer_target};
    for (int i = 0; i < 14; i++)
        if (!unesc(f[(size_t)(14 + i)], t[i]) || t[i]->size() > 4095)
            return false;
    return true;
}

/* Under the lock. A temporary file renamed over the old one; 0, or the
 * error with f_dirty left set, so that the worker tries again. */
static int jobs_save(sim_jobs_t *js)
{
    js->f_dirty = 0;
    if (js->kept_file.empty())
        return 0;
    std::string text;
    for (int k = 0; k < 2; k++)
        for (const auto &e : js->jobs[k])
            text += job_line(k, e.second);
    std::string tmp = js->kept_file + ".XXXXXX";
    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back(0);
    int fd = mkstemp(name.data());
    int r = fd < 0 ? -errno : 0;
    if (fd >= 0) {
        fchmod(fd, 0644);
        ssize_t n = write(fd, text.data(), text.size());
        if (n != (ssize_t)text.size())
            r = n < 0 ? -errno : -28; /* a short write: the disk is full */
        if (!r && fsync(fd) != 0)
            r = -errno;
        if (close(fd) != 0 && !r)
            r = -errno;
        if (!r && rename(name.data(), js->kept_file.c_str()) != 0)
            r = -errno;
        if (r)
            unlink(name.data());
    }
    if (r) {
        js->f_dirty = 1;
        if (!js->f_save_failed)
            fprintf(stderr, "pelmora-sim: cannot write %s: %s; changes are refused until it can be written\n",
                    js->kept_file.c_str(), strerror(-r));
        js->f_save_failed = 1;
    } else if (js->f_save_failed) {
        fprintf(stderr, "pelmora-sim: %s written again\n", js->kept_file.c_str());
        js->f_save_failed = 0;
    }
    return r;
}

/* The jobs of a kept file's text; the number of lines that were not read. */
static int jobs_parse_text(sim_jobs_t *js, const std::string &text)
{
    int bad = 0;
    size_t total = 0;
    for (size_t p = 0; p < text.size();) {
        size_t q = text.find('\n', p);
        if (q == std::string::npos)
            q = text.size(); /* a last line cut short is read like the others */
        int kind = 0;
        job j;
        if (total < JOBS_MAX && job_parse(text.substr(p, q - p), &kind, &j) && !js->jobs[0].count(j.id) &&
            !js->jobs[1].count(j.id)) {
            /* A job cut off by the restart starts again. */
            if (j.state == 1) {
                j.state = 0;
                j.progress = 0;
            }
            js->next_id = std::max(js->next_id, j.id + 1);
            js->jobs[kind][j.id] = j;
            total++;
        } else
            bad++;
        p = q + 1;
    }
    return bad;
}

int sim_jobs_kept_read(const char *text, size_t len, int *bad)
{
    sim_jobs_t js;
    int b = jobs_parse_text(&js, std::string(text, len));
    if (bad)
        *bad = b;
    return (int)(js.jobs[0].size() + js.jobs[1].size());
}

static void jobs_load(sim_jobs_t *js)
{
    FILE *f = fopen(js->kept_file.c_str(), "r");
    if (!f)
        return;
    struct stat sb;
    if (fstat(fileno(f), &sb) != 0 || !S_ISREG(sb.st_mode) || sb.st_size > KEPT_MAX) {
        fprintf(stderr, "pelmora-sim: %s ignored (not a file, or too large)\n", js->kept_file.c_str());
        fclose(f);
        return;
    }
    std::string text((size_t)sb.st_size, '\0');
    size_t got = fread(&text[0], 1, text.size(), f);
    fclose(f);
    text.resize(got);
    int bad = jobs_parse_text(js, text);
    if (bad)
        fprintf(stderr, "pelmora-sim: %d lines of %s ignored\n", bad, js->kept_file.c_str());
}

/* ------------------------------------------------------------------------
 * The worker
 * ---------------------------------------------------------------------- */

static void job_touch(job *j, int state, int progress)
{
    j->state = state;
    j->progress = progress;
    j->updated = (int64_t)time(nullptr);
}

/* Copies the open regular file `in` to a temporary name of ours in
 * out_dir, then renames it to out_name: over what is there with
 * f_replace, else never (-17 when the name is taken by then). keep_going
 * is asked after each block. 0, -125 when stopped, else -errno. */
static int copy_file(int in, const struct stat &sb, int out_dir, const std::string &out_name, bool f_replace,
                     const std::function<bool(int)> &keep_going)
{
    std::string tmp;
    int out = sim_confine_tmp(out_dir, out_name.c_str(), &tmp);
    if (out < 0)
        return out;
    std::vector<char> buf(1 << 20);
    int r = 0;
    int64_t done = 0;
    for (;;) {
        ssize_t n = read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            r = -errno;
            break;
        }
        if (n == 0)
            break;
        for (ssize_t w = 0; w < n;) {
            ssize_t k = write(out, buf.data() + w, (size_t)(n - w));
            if (k < 0 && errno == EINTR)
                continue;
            if (k <= 0) {
                r = k < 0 ? -errno : -EIO;
                break;
            }
            w += k;
        }
        if (r)
            break;
        done += n;
        if (!keep_going(sb.st_size > 0 ? (int)std::min<int64_t>(99, done * 100 / sb.st_size) : 0)) {
            r = -125;
            break;
        }
    }
    if (!r && fsync(out) != 0)
        r = -errno;
    if (close(out) != 0 && !r)
        r = -errno;
    if (!r && f_replace && renameat(out_dir, tmp.c_str(), out_dir, out_name.c_str()) != 0)
        r = -errno;
    if (!r && !f_replace && renameat2(out_dir, tmp.c_str(), out_dir, out_name.c_str(), RENAME_NOREPLACE) != 0)
        r = -errno;
    if (r)
        unlinkat(out_dir, tmp.c_str(), 0);
    return r;
}

/* The folder of a target, opened; -2 when there is none. */
static int target_dir(const sim_jobs_t *js, const std::string &target, sim_fd_t *dir)
{
    if (!plain_name(target))
        return -22;
    dir->reset(open((js->targets_dir + "/" + target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir->fd < 0 ? -2 : 0;
}

/* An item path that names something already in the library: -17. */
static int library_taken(const sim_library_t *lib, const std::string &path)
{
    sim_fd_t dir;
    std::string name;
    int r = sim_library_open_parent(lib, path, 0, &dir, &name);
    struct stat st;
    if (r == 0 && fstatat(dir.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        r = -17;
    return r == -2 ? 0 : r; /* a folder still to be made is not taken */
}

static std::string errtext(int r)
{
    return r == -125 ? "cancelled" : r == -17 ? "an item of that name is already there" : strerror(-r);
}

/* Runs the transfer with the lock released; the outcome goes into the job
 * unless it was cancelled meanwhile. */
static void run_transfer(sim_jobs_t *js, std::unique_lock<std::mutex> &g, int id)
{
    job j = js->jobs[TRANSFER][id];
    g.unlock();
    /* Both ends are a folder and a name: the library's walked from its
     * root without following a link, the target's opened by the job's
     * plain name; the source opened as a regular file without blocking. */
    sim_fd_t lib_dir, remote_dir;
    std::string lib_name;
    int r = sim_library_open_parent(js->lib, j.object_local, j.f_import ? 0 : 1, &lib_dir, &lib_name);
    if (!r)
        r = target_dir(js, j.target, &remote_dir);
    int from_dir = j.f_import ? remote_dir.fd : lib_dir.fd, to_dir = j.f_import ? lib_dir.fd : remote_dir.fd;
    const std::string &from = j.f_import ? j.object_remote : lib_name, &to = j.f_import ? lib_name : j.object_remote;
    auto keep_going = [&](int pct) {
        std::lock_guard<std::mutex> l(js->lock);
        auto it = js->jobs[TRANSFER].find(id);
        if (it == js->jobs[TRANSFER].end() || it->second.state != 1 || js->f_stop)
            return false;
        job_touch(&it->second, 1, pct);
        return true;
    };
    struct stat sb;
    sim_fd_t in;
    if (!r)
        r = (in.fd = sim_confine_open_file(from_dir, from.c_str(), &sb)) < 0 ? in.fd : 0;
    if (!r)
        /* Into the library never over an item (its subclips would stay
         * with another clip); out to a target as the target likes. */
        r = copy_file(in.fd, sb, to_dir, to, !j.f_import, keep_going);
    if (!r && j.f_delete && unlinkat(from_dir, from.c_str(), 0) != 0)
        r = -errno;
    g.lock();
    auto it = js->jobs[TRANSFER].find(id);
    if (it == js->jobs[TRANSFER].end() || it->second.state != 1)
        return;
    if (r == -125 && js->f_stop) {
        job_touch(&it->second, 0, 0); /* stopped by the shutdown: runs again */
        return;
    }
    job_touch(&it->second, r ? 3 : 2, r ? it->second.progress : 100);
    it->second.error = r ? (r == -2 ? "source missing" : errtext(r)) : "";
    js->f_dirty = 1;
}

/* The job's "in" and "dur": empty, or a frame count. */
static bool frames_of(const std::string &s, int64_t *out)
{
    *out = 0;
    if (s.empty())
        return true;
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(s.c_str(), &end, 10);
    if (errno || *end || end == s.c_str() || v < 0 || v > INT32_MAX)
        return false;
    *out = v;
    return true;
}

/* Writes the job's destination from its source. Loudness jobs measure
 * first (the first half of the progress), then write with the gain and
 * measure what they wrote before it takes its name; other transcodes encode
 * in the job's mode. The outcome goes into the job unless it was cancelled
 * meanwhile. */
static void run_transcode(sim_jobs_t *js, std::unique_lock<std::mutex> &g, int id)
{
    job j = js->jobs[TRANSCODER][id];
    g.unlock();
    bool norm = audionorm(j);
    int base = 0, span = 100; /* the share of the progress the current pass has */
    auto keep_going = [&](int pct) {
        std::lock_guard<std::mutex> l(js->lock);
        auto it = js->jobs[TRANSCODER].find(id);
        if (it == js->jobs[TRANSCODER].end() || it->second.state != 1 || js->f_stop)
            return false;
        int now = std::min(99, base + pct * span / 100);
        if (now != it->second.progress)
            job_touch(&it->second, 1, now);
        return true;
    };
    std::string why;
    sim_encode_params_t p;
    int r = 0;
    if (norm) {
        double target = strtod(j.profile.c_str(), nullptr);
        j.f_measured = 0;
        struct stat sb;
        sim_fd_t fd(sim_library_open_item(js->lib, j.src, &sb));
        r = fd.fd < 0 ? fd.fd : 0;
        span = 50;
        if (!r)
            r = loudness_measure(fd.fd, &j.loudness, &j.true_peak, keep_going);
        if (!r && !std::isfinite(j.loudness))
            r = -61, why = "silent: nothing to normalise";
        else if (r && r != -2 && r != -125)
            why = r == SIM_PROBE_TOO_BIG ? "picture too large to read" : "no measurable audio";
        if (!r) {
            j.f_measured = 1;
            /* The gain that reaches the level, cut when the true peak would
             * pass -1 dBTP (with a margin for the resampling). */
            j.gain = target - j.loudness;
            if (std::isfinite(j.true_peak) && j.true_peak + j.gain > -1.2)
                j.gain = -1.2 - j.true_peak;
            p.gain_db = j.gain;
            base = 50;
        }
    } else {
        size_t slash = j.profile.find('/');
        std::string mode = j.profile.substr(0, slash);
        if (sim_encode_mode(mode, &p) < 0)
            r = -22, why = "unknown mode " + mode.substr(0, 64);
        else if (!frames_of(j.in, &p.in_frames) || !frames_of(j.dur, &p.dur_frames))
            r = -22, why = "in or duration is not a frame count";
    }
    double out_lufs = 0, out_tp = 0;
    bool announced = false;
    sim_fd_t src, dst_dir;
    std::string dst_name;
    if (!r) {
        struct stat sb;
        src.reset(sim_library_open_item(js->lib, j.src, &sb));
        r = src.fd < 0 ? src.fd : 0;
    }
    if (!r && (r = sim_library_open_parent(js->lib, j.dst, 0, &dst_dir, &dst_name)) < 0)
        why = r == -2 ? "destination folder missing" : "destination refused";
    if (!r)
        r = sim_encode_file(src.fd, dst_dir.fd, dst_name, p, keep_going, &why, [&](const std::string &tmp) {
            if (norm) {
                struct stat sb;
                sim_fd_t out(sim_confine_open_file(dst_dir.fd, tmp.c_str(), &sb));
                int e = out.fd < 0 ? out.fd : loudness_measure(out.fd, &out_lufs, &out_tp, [](int) { return true; });
                if (e < 0) {
                    why = "the written file does not measure";
                    return e;
                }
            }
            if (!keep_going(100))
                return -125;
            sim_library_own_file(js->lib, j.dst, 0);
            announced = true;
            return 0;
        });
    if (announced)
        sim_library_own_file(js->lib, j.dst, r ? -1 : 1);
    g.lock();
    auto it = js->jobs[TRANSCODER].find(id);
    if (it == js->jobs[TRANSCODER].end() || it->second.state != 1)
        return;
    job &k = it->second;
    if (r == -125 && js->f_stop) {
        job_touch(&k, 0, 0); /* stopped by the shutdown: runs again */
        return;
    }
    js->f_dirty = 1;
    k.f_measured = j.f_measured;
    k.loudness = j.loudness;
    k.true_peak = j.true_peak;
    k.gain = j.gain;
    if (r) {
        job_touch(&k, 3, k.progress);
        k.error = r == -2 && why.empty() ? "source missing" : why.empty() ? errtext(r) : why;
        if (norm && k.f_measured) {
            char text[96];
            snprintf(text, sizeof(text), " (I %.2f LUFS, TP %.2f dBTP)", k.loudness, k.true_peak);
            k.error += text;
        }
        return;
    }
    if (norm) {
        double target = strtod(k.profile.c_str(), nullptr);
        char text[200];
        snprintf(text, sizeof(text), "I %.2f LUFS, TP %.2f dBTP, gain %+.2f dB; written I %.2f LUFS, TP %.2f dBTP%s",
                 k.loudness, k.true_peak, k.gain, out_lufs, out_tp,
                 fabs(k.gain - (target - k.loudness)) > 0.005 ? "; gain limited by the true peak" : "");
        k.error = text;
    } else
        k.error.clear();
    job_touch(&k, 2, 100);
}

static void jobs_worker(sim_jobs_t *js)
{
    std::unique_lock<std::mutex> g(js->lock);
    while (!js->f_stop) {
        int run_kind = -1, run_id = 0;
        for (int k = 0; k < 2 && run_kind < 0; k++)
            for (auto &e : js->jobs[k])
                if (e.second.state == 0) {
                    run_kind = k;
                    run_id = e.first;
                    break;
                }
        if (run_kind >= 0) {
            job_touch(&js->jobs[run_kind][run_id], 1, 0);
            jobs_save(js);
            if (run_kind == TRANSFER)
                run_transfer(js, g, run_id);
            else
                run_transcode(js, g, run_id);
        }
        if (js->f_dirty)
            jobs_save(js);
        if (run_kind < 0)
            js->cond.wait_for(g, std::chrono::milliseconds(100));
    }
    if (js->f_dirty)
        jobs_save(js);
}

/* ------------------------------------------------------------------------
 * Methods
 * ---------------------------------------------------------------------- */

#define SIM_JOBS_BEGIN                                                                                                 \
    sim_jobs_t *js = sim_jobs_of(srv);                                                                                 \
    if (!js) {                                                                                                         \
        xmlrpc_env_set_fault(env, 500, "no job services");                                                             \
        return nullptr;                                                                                                \
    }

static xmlrpc_value *jobs_result(xmlrpc_env *env, int r)
{
    return xmlrpc_build_value(env, "{s:i}", "result", (xmlrpc_int32)r);
}

/* The target folders, sorted; a target is any plain-named folder. */
static std::vector<std::string> jobs_targets(const sim_jobs_t *js)
{
    std::vector<std::string> out;
    DIR *d = opendir(js->targets_dir.c_str());
    if (!d)
        return out;
    while (struct dirent *e = readdir(d)) {
        struct stat sb;
        std::string n = e->d_name;
        if (plain_name(n) && stat((js->targets_dir + "/" + n).c_str(), &sb) == 0 && S_ISDIR(sb.st_mode))
            out.push_back(n);
        if (out.size() >= TARGETS_MAX)
            break;
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

static xmlrpc_value *jobs_array(xmlrpc_env *env, size_t n, const std::function<xmlrpc_value *(size_t)> &item)
{
    xmlrpc_value *list = xmlrpc_array_new(env);
    for (size_t i = 0; i < n && !env->fault_occurred; i++) {
        xmlrpc_value *v = item(i);
        if (!v)
            break;
        xmlrpc_array_append_item(env, list, v);
        xmlrpc_DECREF(v);
    }
    if (env->fault_occurred) {
        xmlrpc_DECREF(list);
        return nullptr;
    }
    return list;
}

static xmlrpc_value *jobs_with_list(xmlrpc_env *env, int result, xmlrpc_value *list)
{
    if (!list)
        return nullptr;
    xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:A}", "result", (xmlrpc_int32)result, "list", list);
    xmlrpc_DECREF(list);
    return v;
}

static xmlrpc_value *sim_jobs_targets_list(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_JOBS_BEGIN
    xmlrpc_int32 offset = 0, limit = 0;
    xmlrpc_decompose_value(env, params, "(ii)", &offset, &limit);
    if (env->fault_occurred)
        return nullptr;
    std::vector<std::string> t = jobs_targets(js);
    size_t from = (size_t)std::max(0, offset);
    size_t n = from < t.size() ? std::min(t.size() - from, (size_t)std::max(0, std::min(limit, LIST_MAX))) : 0;
    return jobs_with_list(env, 0, jobs_array(env, n, [&](size_t i) {
                              const std::string &id = t[from + i];
                              std::string path = js->targets_dir + "/" + id;
                              return xmlrpc_build_value(env, "{s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s}", "id", id.c_str(),
                                                        "type", "folder", "title", id.c_str(), "host", "localhost",
                                                        "port", "", "path", path.c_str(), "login", "", "passw", "");
                          }));
}

static xmlrpc_value *transfer_item(xmlrpc_env *env, const job &j)
{
    return xmlrpc_build_value(env, "{s:i,s:s,s:i,s:i,s:s,s:s,s:i,s:i,s:s,s:I,s:I}", "id", (xmlrpc_int32)j.id, "target",
                              j.target.c_str(), "f_delete", (xmlrpc_int32)j.f_delete, "f_import",
                              (xmlrpc_int32)j.f_import, "object_local", j.object_local.c_str(), "object_remote",
                              j.object_remote.c_str(), "progress", (xmlrpc_int32)j.progress, "state",
                              (xmlrpc_int32)j.state, "error", j.error.c_str(), "updated", (xmlrpc_int64)j.updated,
                              "created", (xmlrpc_int64)j.created);
}

static xmlrpc_value *transcoder_item(xmlrpc_env *env, const sim_jobs_t *js, const job &j)
{
    std::string src_local, dst_local;
    sim_library_resolve(js->lib, j.src, 0, &src_local);
    sim_library_resolve(js->lib, j.dst, 0, &dst_local);
    xmlrpc_value *v = xmlrpc_build_value(
        env, "{s:i,s:I,s:I,s:i,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:i,s:i,s:s,s:s,s:i,s:s,s:s,s:s,s:i}", "id",
        (xmlrpc_int32)j.id, "updated", (xmlrpc_int64)j.updated, "created", (xmlrpc_int64)j.created, "f_delete",
        (xmlrpc_int32)j.f_delete, "src_object", j.src.c_str(), "src_local", src_local.c_str(), "dst_object",
        j.dst.c_str(), "dst_local", dst_local.c_str(), "in", j.in.c_str(), "dur", j.dur.c_str(), "factory",
        j.factory.c_str(), "profile", j.profile.c_str(), "progress", (xmlrpc_int32)j.progress, "state",
        (xmlrpc_int32)j.state, "error", j.error.c_str(), "audio_map", j.audio_map.c_str(), "audio_conf",
        (xmlrpc_int32)j.audio_conf, "timecode", j.timecode.c_str(), "osd", j.osd.c_str(), "transfer_target",
        j.transfer_target.c_str(), "transfer_f_delete", (xmlrpc_int32)j.transfer_f_delete);
    if (v && j.f_measured) {
        /* The measured figures as numbers too, beside the operator's text. */
        const char *names[] = {"loudness", "true_peak", "gain"};
        double vals[] = {j.loudness, std::isfinite(j.true_peak) ? j.true_peak : -999.0, j.gain};
        for (int i = 0; i < 3 && !env->fault_occurred; i++) {
            xmlrpc_value *d = xmlrpc_double_new(env, vals[i]);
            if (d) {
                xmlrpc_struct_set_value(env, v, names[i], d);
                xmlrpc_DECREF(d);
            }
        }
    }
    return v;
}

template <int KIND> static xmlrpc_value *sim_jobs_list(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_JOBS_BEGIN
    xmlrpc_int32 type = -1, offset = 0, limit = 0;
    xmlrpc_decompose_value(env, params, "(iii)", &type, &offset, &limit);
    if (env->fault_occurred)
        return nullptr;
    std::lock_guard<std::mutex> g(js->lock);
    /* Newest first; a type other than -1 picks the jobs in that state. */
    std::vector<const job *> sel;
    for (auto it = js->jobs[KIND].rbegin(); it != js->jobs[KIND].rend(); ++it)
        if (type == -1 || it->second.state == type)
            sel.push_back(&it->second);
    size_t from = (size_t)std::max(0, offset);
    size_t n = from < sel.size() ? std::min(sel.size() - from, (size_t)std::max(0, std::min(limit, LIST_MAX))) : 0;
    return jobs_with_list(env, 0, jobs_array(env, n, [&](size_t i) {
                              return KIND == TRANSFER ? transfer_item(env, *sel[from + i])
                                                      : transcoder_item(env, js, *sel[from + i]);
                          }));
}

static xmlrpc_value *sim_jobs_transfer_get(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_JOBS_BEGIN
    xmlrpc_int32 id = 0;
    xmlrpc_decompose_value(env, params, "(i)", &id);
    if (env->fault_occurred)
        return nullptr;
    std::lock_guard<std::mutex> g(js->lock);
    auto it = js->jobs[TRANSFER].find(id);
    if (it == js->jobs[TRANSFER].end())
        return jobs_result(env, -2);
    xmlrpc_value *item = transfer_item(env, it->second);
    if (!item)
        return nullptr;
    xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:S}", "result", 0, "item", item);
    xmlrpc_DECREF(item);
    return v;
}

/* Texts of a request: bounded, no NUL possible (xmlrpc strings). */
static bool fits(const char *s, size_t max)
{
    return strnlen(s, max + 1) <= max;
}

static int jobs_add(sim_jobs_t *js, int kind, job &&j)
{
    std::lock_guard<std::mutex> g(js->lock);
    if (js->jobs[0].size() + js->jobs[1].size() >= JOBS_MAX)
        return -28;
    j.id = js->next_id++;
    j.created = j.updated = (int64_t)time(nullptr);
    int id = j.id;
    js->jobs[kind][id] = std::move(j);
    int r = jobs_save(js);
    if (r < 0) {
        /* Not kept is not added: the client is told, nothing runs. */
        js->jobs[kind].erase(id);
        return r;
    }
    js->cond.notify_all();
    return id;
}

static xmlrpc_value *sim_jobs_transfer_add(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_JOBS_BEGIN
    const char *target = nullptr, *local = nullptr, *remote = nullptr;
    xmlrpc_int32 f_import = 0, f_delete = 0;
    xmlrpc_decompose_value(env, params, "(siiss)", &target, &f_import, &f_delete, &local, &remote);
    if (env->fault_occurred)
        return nullptr;
    job j;
    j.target = target;
    j.object_local = local;
    j.object_remote = remote;
    j.f_import = f_import ? 1 : 0;
    j.f_delete = f_delete ? 1 : 0;
    free((void *)target);
    free((void *)local);
    free((void *)remote);
    std::string file;
    if (!plain_name(j.target) || !plain_name(j.object_remote) || j.object_local.size() > 4095 ||
        sim_library_resolve(js->lib, j.object_local, 0, &file) == -1)
        return jobs_result(env, -22);
    std::vector<std::string> t = jobs_targets(js);
    if (std::find(t.begin(), t.end(), j.target) == t.end())
        return jobs_result(env, -2);
    /* An import onto an item that is there is refused, as a rename is. */
    if (j.f_import && library_taken(js->lib, j.object_local) == -17)
        return jobs_result(env, -17);
    int r = jobs_add(js, TRANSFER, std::move(j));
    /* The new job's id goes beside the result, which stays 0 on success. */
    return r < 0 ? jobs_result(env, r) : xmlrpc_build_value(env, "{s:i,s:i}", "result", 0, "id", (xmlrpc_int32)r);
}

static xmlrpc_value *sim_jobs_transcoder_add(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_JOBS_BEGIN
    const char *s[11] = {};
    xmlrpc_int32 f_delete = 0, audio_conf = 0, tfd = 0;
    xmlrpc_decompose_value(env, params, "(ssssssisisssi)", &s[0], &s[1], &s[2], &s[3], &s[4], &s[5], &f_delete, &s[6],
                           &audio_conf, &s[7], &s[8], &s[9], &tfd);
    if (env->fault_occurred)
        return nullptr;
    bool ok = fits(s[0], 4095) && fits(s[3], 4095);
    for (int i : {1, 2, 4, 5, 6, 7, 8, 9})
        ok = ok && fits(s[i], 259);
    job j;
    if (ok) {
        j.src = s[0];
        j.in = s[1];
        j.dur = s[2];
        j.dst = s[3];
        j.factory = s[4];
        j.profile = s[5];
        j.audio_map = s[6];
        j.timecode = s[7];
        j.osd = s[8];
        j.transfer_target = s[9];
        j.f_delete = f_delete ? 1 : 0;
        j.audio_conf = audio_conf;
        j.transfer_f_delete = tfd ? 1 : 0;
    }
    for (const char *p : s)
        free((void *)p);
    std::string file;
    if (!ok || sim_library_resolve(js->lib, j.src, 0, &file) == -1 ||
        sim_library_resolve(js->lib, j.dst, 0, &file) == -1)
        return jobs_result(env, -22);
    if (audionorm(j)) {
        char *end = nullptr;
        double v = strtod(j.profile.c_str(), &end);
        if (end == j.profile.c_str() || *end || !(v >= -70 && v <= 0))
            return jobs_result(env, -22);
    }
    int r = jobs_add(js, TRANSCODER, std::move(j));
    return r < 0 ? jobs_result(env, r) : xmlrpc_build_value(env, "{s:i,s:i}", "result", 0, "id", (xmlrpc_int32)r);
}

/* Delete, cancel and restart: what each refuses changes nothing. */
template <int KIND, char OP>
static xmlrpc_value *sim_jobs_control(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_JOBS_BEGIN
    xmlrpc_int32 id = 0;
    xmlrpc_decompose_value(env, params, "(i)", &id);
    if (env->fault_occurred)
        return nullptr;
    std::lock_guard<std::mutex> g(js->lock);
    auto it = js->jobs[KIND].find(id);
    if (it == js->jobs[KIND].end())
        return jobs_result(env, -2);
    job &j = it->second;
    const job before = j;
    int r = 0;
    switch (OP) {
    case 'd': /* a running job is cancelled first */
        if (j.state == 1)
            r = -16;
        else
            js->jobs[KIND].erase(it);
        break;
    case 'c': /* only what has not ended can be cancelled */
        if (j.state >= 2)
            r = -1;
        else {
            job_touch(&j, 4, j.progress);
            j.error = "cancelled by the operator";
        }
        break;
    case 'r':
        if (j.state < 2)
            r = -16;
        else {
            job_touch(&j, 0, 0);
            j.error.clear();
            j.f_measured = 0;
        }
        break;
    }
    if (!r && (r = jobs_save(js)) < 0) {
        /* What cannot be kept is not done: the job is as it was. */
        js->jobs[KIND][before.id] = before;
    }
    if (!r)
        js->cond.notify_all();
    return jobs_result(env, r);
}

static int remote_file(sim_jobs_t *js, xmlrpc_env *env, xmlrpc_value *params, std::string *target, std::string *obj)
{
    const char *t = nullptr, *o = nullptr;
    xmlrpc_decompose_value(env, params, "(ss)", &t, &o);
    if (env->fault_occurred)
        return -22;
    *target = t;
    *obj = o;
    free((void *)t);
    free((void *)o);
    std::vector<std::string> all = jobs_targets(js);
    if (!plain_name(*target) || std::find(all.begin(), all.end(), *target) == all.end())
        return -2;
    if (!obj->empty() && !plain_name(*obj))
        return -22;
    return 0;
}

static xmlrpc_value *sim_jobs_probe(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_JOBS_BEGIN
    std::string target, obj;
    int r = remote_file(js, env, params, &target, &obj);
    if (env->fault_occurred)
        return nullptr;
    struct stat sb;
    if (!r && (obj.empty() || stat((js->targets_dir + "/" + target + "/" + obj).c_str(), &sb) != 0))
        r = -2;
    if (r)
        return jobs_result(env, r);
    return xmlrpc_build_value(env, "{s:i,s:I,s:I}", "result", 0, "time", (xmlrpc_int64)sb.st_mtime, "size",
                              (xmlrpc_int64)sb.st_size);
}

static xmlrpc_value *sim_jobs_list_remote(xmlrpc_env *env, xmlrpc_value *params, sim_server_t *srv)
{
    SIM_JOBS_BEGIN
    std::string target, obj;
    int r = remote_file(js, env, params, &target, &obj);
    if (env->fault_occurred)
        return nullptr;
    if (r)
        return jobs_result(env, r);
    std::vector<std::string> names;
    if (DIR *d = opendir((js->targets_dir + "/" + target).c_str())) {
        while (struct dirent *e = readdir(d))
            if (plain_name(e->d_name) && names.size() < (size_t)LIST_MAX)
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return jobs_with_list(env, (int)names.size(), jobs_array(env, names.size(), [&](size_t i) {
                              return xmlrpc_build_value(env, "(s)", names[i].c_str());
                          }));
}

sim_jobs_t *sim_jobs_create(sim_server_t *srv, sim_library_t *lib, const char *data_dir, int f_keep, std::string *err)
{
    std::unique_ptr<sim_jobs_t> js(new sim_jobs_t());
    js->srv = srv;
    js->lib = lib;
    js->targets_dir = std::string(data_dir) + "/targets";
    struct stat sb;
    if (stat(js->targets_dir.c_str(), &sb) != 0) {
        if (mkdir(js->targets_dir.c_str(), 0755) != 0) {
            *err = "cannot make " + js->targets_dir + ": " + strerror(errno);
            return nullptr;
        }
        mkdir((js->targets_dir + "/archive").c_str(), 0755);
        mkdir((js->targets_dir + "/playout").c_str(), 0755);
    }
    {
        /* Half-copied files of a killed run are removed before anything
         * runs: they would never be finished. */
        sim_fd_t td(open(js->targets_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (td.fd >= 0)
            sim_confine_sweep(td.fd, 0);
    }
    if (f_keep) {
        js->kept_file = std::string(data_dir) + "/.jobs";
        jobs_load(js.get());
    }
    static const struct
    {
        const char *name;
        sim_method_fn fn;
    } table[] = {
        {"PelmoraFileTransfer.TargetsList", sim_jobs_targets_list},
        {"PelmoraFileTransfer.RequestsList", sim_jobs_list<TRANSFER>},
        {"PelmoraFileTransfer.RequestGet", sim_jobs_transfer_get},
        {"PelmoraFileTransfer.RequestAdd", sim_jobs_transfer_add},
        {"PelmoraFileTransfer.RequestDel", sim_jobs_control<TRANSFER, 'd'>},
        {"PelmoraFileTransfer.RequestCancel", sim_jobs_control<TRANSFER, 'c'>},
        {"PelmoraFileTransfer.RequestRestart", sim_jobs_control<TRANSFER, 'r'>},
        {"PelmoraFileTransfer.ProbeRemote", sim_jobs_probe},
        {"PelmoraFileTransfer.ListRemote", sim_jobs_list_remote},
        {"PelmoraFileTranscoder.RequestsList", sim_jobs_list<TRANSCODER>},
        {"PelmoraFileTranscoder.RequestAdd", sim_jobs_transcoder_add},
        {"PelmoraFileTranscoder.RequestDel", sim_jobs_control<TRANSCODER, 'd'>},
        {"PelmoraFileTranscoder.RequestCancel", sim_jobs_control<TRANSCODER, 'c'>},
        {"PelmoraFileTranscoder.RequestRestart", sim_jobs_control<TRANSCODER, 'r'>},
    };
    for (const auto &m : table)
        if (sim_server_add_method(srv, m.name, m.fn) < 0) {
            *err = std::string("cannot register ") + m.name;
            return nullptr;
        }
    sim_jobs_t *p = js.release();
    {
        std::lock_guard<std::mutex> g(sim_jobs_registry_lock);
        sim_jobs_registry[srv] = p;
    }
    p->worker = std::thread(jobs_worker, p);
    return p;
}

void sim_jobs_destroy(sim_jobs_t *js)
{
    if (!js)
        return;
    {
        std::lock_guard<std::mutex> g(sim_jobs_registry_lock);
        sim_jobs_registry.erase(js->srv);
    }
    {
        std::lock_guard<std::mutex> g(js->lock);
        js->f_stop = 1;
        js->cond.notify_all();
    }
    if (js->worker.joinable())
        js->worker.join();
    delete js;
}
