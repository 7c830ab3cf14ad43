/* The stand-in runtime's sources: the player's position over XML-RPC (the
 * console's guarded client, with its own pool in this library), the clip
 * decoded with libavcodec at that position, a test card when idle. Only
 * regular files inside the media folder the player announced are opened,
 * and pictures past a size bound are refused before they are decoded. */
#include "preview_source.h"

#include <cairo.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <xmlrpc-c/base.h>

#include <algorithm>
#include <map>

#include "pelmora_call.h"
#include "preview_answer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

/* Packets read at most for one picture: a broken file cannot stall us. */
static const int PS_MAX_PACKETS = 600;
/* The largest picture decoded: bigger ones are refused before decoding, so
 * a small file cannot make the decoder hold gigabytes. */
static const int PS_DECODE_MAX_SIDE = 8192;
static const int64_t PS_DECODE_MAX_PIXELS = 8192LL * 4320;
/* A clip whose file was refused is asked for again after this long. */
static const int64_t PS_REFUSED_RETRY_MS = 5000;
static const int PS_IO_BUFFER = 32768;

struct ps_decoder
{
    std::string file;
    int fd = -1;
    AVIOContext *io = nullptr; /* reads fd: the file checked is the file decoded */
    AVFormatContext *fmt = nullptr;
    AVCodecContext *dec = nullptr;
    SwsContext *sws = nullptr;
    AVFrame *frame = nullptr;
    int vs = -1;
    int64_t last_pts = INT64_MIN; /* of the picture in `pic` */
    ps_picture_t pic;
    /* The clip's sound, met on the way to the pictures: resampled to 48 kHz
     * planar float, channel by channel, at most PS_AUDIO_MAX samples kept. */
    int as = -1;
    AVCodecContext *adec = nullptr;
    SwrContext *swr = nullptr;
    int achannels = 0;
    std::vector<float> fifo[PS_CHANNELS];
};

static const size_t PS_AUDIO_MAX = PS_RATE * 2;

struct ps_file_entry
{
    std::string file;       /* real path inside the media folder */
    int64_t refused_ms = 0; /* when it could not be shown (0: it can) */
};

struct ps_source_desc
{
    int port = 0;
    std::string url;
    std::string root;                           /* the announced media folder (real path), or "" */
    int64_t root_read_ms = 0;                   /* when the announcement was read */
    int failing = 0;                            /* the last status call failed: logged once */
    std::map<std::string, ps_file_entry> files; /* clip name -> media file */
    ps_decoder d;
};

static int64_t ps_now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static void ps_audio_flush(ps_decoder *d)
{
    for (auto &f : d->fifo)
        f.clear();
    if (d->adec)
        avcodec_flush_buffers(d->adec);
}

static void ps_decoder_close(ps_decoder *d)
{
    swr_free(&d->swr);
    avcodec_free_context(&d->adec);
    d->as = -1;
    d->achannels = 0;
    for (auto &f : d->fifo)
        f.clear();
    sws_freeContext(d->sws);
    av_frame_free(&d->frame);
    avcodec_free_context(&d->dec);
    avformat_close_input(&d->fmt);
    if (d->io) {
        av_freep(&d->io->buffer);
        avio_context_free(&d->io);
    }
    if (d->fd >= 0)
        close(d->fd);
    d->fd = -1;
    d->sws = nullptr;
    d->vs = -1;
    d->last_pts = INT64_MIN;
    d->file.clear();
}

/* The clip's sound, when it has any that we can decode; a clip without
 * sound is still shown. */
static void ps_audio_open(ps_decoder *d)
{
    const AVCodec *codec = nullptr;
    int as = av_find_best_stream(d->fmt, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (as < 0 || !codec)
        return;
    AVCodecContext *c = avcodec_alloc_context3(codec);
    if (!c || avcodec_parameters_to_context(c, d->fmt->streams[as]->codecpar) < 0 ||
        avcodec_open2(c, codec, nullptr) < 0 || c->ch_layout.nb_channels <= 0 || c->ch_layout.nb_channels > 64 ||
        c->sample_rate <= 0) {
        avcodec_free_context(&c);
        return;
    }
    SwrContext *swr = nullptr;
    if (swr_alloc_set_opts2(&swr, &c->ch_layout, AV_SAMPLE_FMT_FLTP, PS_RATE, &c->ch_layout, c->sample_fmt,
                            c->sample_rate, 0, nullptr) < 0 ||
        swr_init(swr) < 0) {
        swr_free(&swr);
        avcodec_free_context(&c);
        return;
    }
    d->as = as;
    d->adec = c;
    d->swr = swr;
    d->achannels = c->ch_layout.nb_channels;
}

static void ps_audio_packet(ps_decoder *d, const AVPacket *pkt)
{
    if (avcodec_send_packet(d->adec, pkt) < 0)
        return;
    AVFrame *af = av_frame_alloc();
    while (af && avcodec_receive_frame(d->adec, af) == 0) {
        int out_n = swr_get_out_samples(d->swr, af->nb_samples);
        if (out_n > 0 && out_n < PS_RATE * 4) {
            std::vector<std::vector<float>> planes((size_t)d->achannels, std::vector<float>((size_t)out_n));
            std::vector<uint8_t *> ptrs;
            for (auto &pl : planes)
                ptrs.push_back((uint8_t *)pl.data());
            int got = swr_convert(d->swr, ptrs.data(), out_n, (const uint8_t **)af->extended_data, af->nb_samples);
            for (int ch = 0; got > 0 && ch < PS_CHANNELS; ch++) {
                std::vector<float> &f = d->fifo[ch];
                if (ch < d->achannels)
                    f.insert(f.end(), planes[(size_t)ch].begin(), planes[(size_t)ch].begin() + got);
                else
                    f.insert(f.end(), (size_t)got, 0.0f);
                if (f.size() > PS_AUDIO_MAX)
                    f.erase(f.begin(), f.begin() + (long)(f.size() - PS_AUDIO_MAX));
            }
        }
        av_frame_unref(af);
    }
    av_frame_free(&af);
}

static int ps_picture_size_ok(int w, int h)
{
    return w > 0 && h > 0 && w <= PS_DECODE_MAX_SIDE && h <= PS_DECODE_MAX_SIDE &&
           (int64_t)w * h <= PS_DECODE_MAX_PIXELS;
}

/* The file `file` names, opened for reading when it is a regular file
 * inside the media folder `root`: the descriptor, or a negated errno. The
 * open does not wait (a FIFO or a device is refused, not waited on), and
 * the file opened is checked again, so a link swapped in after the check
 * leads nowhere else. */
static int ps_media_open(const std::string &root, const std::string &file)
{
    if (root.empty())
        return -EACCES;
    char real[PATH_MAX];
    if (!realpath(file.c_str(), real))
        return -errno;
    if (!ps_path_inside(root, real))
        return -EPERM;
    int fd = open(real, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -errno;
    struct stat st;
    char link[64], now[PATH_MAX];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, now, sizeof(now) - 1);
    int r = 0;
    if (fstat(fd, &st) < 0)
        r = -errno;
    else if (!S_ISREG(st.st_mode))
        r = -EINVAL;
    else if (n <= 0 || (now[n] = 0, !ps_path_inside(root, now)))
        r = -EPERM;
    if (r < 0) {
        close(fd);
        return r;
    }
    return fd;
}

static int ps_io_read(void *opaque, uint8_t *buf, int size)
{
    ssize_t n = read(*(int *)opaque, buf, (size_t)size);
    return n > 0 ? (int)n : n == 0 ? AVERROR_EOF : AVERROR(errno);
}

static int64_t ps_io_seek(void *opaque, int64_t offset, int whence)
{
    int fd = *(int *)opaque;
    if (whence & AVSEEK_SIZE) {
        struct stat st;
        return fstat(fd, &st) < 0 ? AVERROR(errno) : (int64_t)st.st_size;
    }
    off_t r = lseek(fd, (off_t)offset, whence & ~AVSEEK_FORCE);
    return r < 0 ? AVERROR(errno) : (int64_t)r;
}

/* Demuxers that would open further files by name (image sequences,
 * playlists) get none: only the checked file is read. */
static int ps_io_open_refused(AVFormatContext *, AVIOContext **, const char *, int, AVDictionary **)
{
    return AVERROR(EPERM);
}

/* Codec options that keep a decoder within the picture bound. */
static AVDictionary *ps_codec_opts(void)
{
    AVDictionary *o = nullptr;
    av_dict_set_int(&o, "max_pixels", PS_DECODE_MAX_PIXELS, 0);
    av_dict_set(&o, "threads", "1", 0);
    return o;
}

static int ps_decoder_open(ps_decoder *d, const std::string &root, const std::string &file)
{
    ps_decoder_close(d);
    d->fd = ps_media_open(root, file);
    if (d->fd < 0) {
        fprintf(stderr, "%s: [%s] refused: %s\n", __FUNCTION__, file.c_str(), strerror(-d->fd));
        return d->fd;
    }
    uint8_t *buf = (uint8_t *)av_malloc(PS_IO_BUFFER);
    d->io = buf ? avio_alloc_context(buf, PS_IO_BUFFER, 0, &d->fd, ps_io_read, nullptr, ps_io_seek) : nullptr;
    d->fmt = avformat_alloc_context();
    if (!d->io || !d->fmt) {
        if (!d->io)
            av_free(buf);
        return -12;
    }
    d->fmt->pb = d->io;
    d->fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
    d->fmt->io_open = ps_io_open_refused;
    if (avformat_open_input(&d->fmt, file.c_str(), nullptr, nullptr) < 0)
        return -22; /* the context is freed by the failed open */
    /* What the container says of the pictures is checked before any of
     * them is decoded (the stream probe below decodes one). */
    for (unsigned i = 0; i < d->fmt->nb_streams; i++) {
        const AVCodecParameters *cp = d->fmt->streams[i]->codecpar;
        if (cp->codec_type == AVMEDIA_TYPE_VIDEO && (cp->width || cp->height) &&
            !ps_picture_size_ok(cp->width, cp->height)) {
            fprintf(stderr, "%s: [%s] pictures of %dx%d refused\n", __FUNCTION__, file.c_str(), cp->width, cp->height);
            return -27;
        }
    }
    std::vector<AVDictionary *> opts(d->fmt->nb_streams);
    for (auto &o : opts)
        o = ps_codec_opts();
    int r = avformat_find_stream_info(d->fmt, opts.empty() ? nullptr : opts.data());
    for (auto &o : opts)
        av_dict_free(&o);
    if (r < 0)
        return -22;
    const AVCodec *codec = nullptr;
    d->vs = av_find_best_stream(d->fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (d->vs < 0 || !codec)
        return -22;
    const AVCodecParameters *cp = d->fmt->streams[d->vs]->codecpar;
    if (!ps_picture_size_ok(cp->width, cp->height)) {
        fprintf(stderr, "%s: [%s] pictures of %dx%d refused\n", __FUNCTION__, file.c_str(), cp->width, cp->height);
        return -27;
    }
    d->dec = avcodec_alloc_context3(codec);
    d->frame = av_frame_alloc();
    AVDictionary *o = ps_codec_opts();
    r = !d->dec || !d->frame || avcodec_parameters_to_context(d->dec, cp) < 0 || avcodec_open2(d->dec, codec, &o) < 0;
    av_dict_free(&o);
    if (r)
        return -22;
    int w = d->dec->width, h = d->dec->height;
    if (!ps_picture_size_ok(w, h))
        return -27;
    /* Scaled down to fit, keeping the shape. */
    double k = std::min(1.0, std::min((double)PS_MAX_W / w, (double)PS_MAX_H / h));
    d->pic.w = std::max(2, (int)(w * k) & ~1);
    d->pic.h = std::max(2, (int)(h * k) & ~1);
    AVRational sar = d->dec->sample_aspect_ratio;
    double par = sar.num > 0 && sar.den > 0 ? (double)sar.num / sar.den : 1.0;
    d->pic.aspect = (float)(par * w / h);
    d->pic.bgrx.assign((size_t)d->pic.w * d->pic.h * 4, 0);
    d->file = file;
    ps_audio_open(d);
    return 0;
}

/* Decodes forward to the first picture at or after `target` (stream time
 * base) and converts it. 0, or negative when there is none. */
static int ps_decode_to(ps_decoder *d, int64_t target)
{
    AVStream *st = d->fmt->streams[d->vs];
    int64_t step = av_rescale_q(1, AVRational{1, PS_FPS}, st->time_base);
    /* Forward by less than two seconds: decode on; else seek. */
    int fresh = d->last_pts == INT64_MIN;
    int64_t late = fresh ? 0 : target - d->last_pts;
    if (fresh || late < 0 || late > 50 * step) {
        if (av_seek_frame(d->fmt, d->vs, target, AVSEEK_FLAG_BACKWARD) < 0)
            av_seek_frame(d->fmt, d->vs, 0, AVSEEK_FLAG_BACKWARD);
        avcodec_flush_buffers(d->dec);
        ps_audio_flush(d);
    }
    AVPacket *pkt = av_packet_alloc();
    int got = 0, eof = 0;
    for (int i = 0; i < PS_MAX_PACKETS && !got; i++) {
        int r = avcodec_receive_frame(d->dec, d->frame);
        if (r == 0) {
            int64_t pts = d->frame->best_effort_timestamp;
            if (pts != AV_NOPTS_VALUE && pts + step / 2 < target)
                continue;
            got = 1;
            break;
        }
        if (r == AVERROR_EOF || (r != AVERROR(EAGAIN)))
            break;
        if (eof)
            break;
        r = av_read_frame(d->fmt, pkt);
        if (r < 0) {
            eof = 1;
            avcodec_send_packet(d->dec, nullptr);
            continue;
        }
        if (pkt->stream_index == d->vs)
            avcodec_send_packet(d->dec, pkt);
        else if (pkt->stream_index == d->as && d->adec)
            ps_audio_packet(d, pkt);
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    if (!got)
        return -2;
    if (d->frame->width != d->dec->width || d->frame->height != d->dec->height ||
        !ps_picture_size_ok(d->frame->width, d->frame->height))
        return -22;
    d->sws = sws_getCachedContext(d->sws, d->frame->width, d->frame->height, (AVPixelFormat)d->frame->format, d->pic.w,
                                  d->pic.h, AV_PIX_FMT_BGR0, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!d->sws)
        return -22;
    uint8_t *dst[4] = {d->pic.bgrx.data(), nullptr, nullptr, nullptr};
    int dst_stride[4] = {d->pic.w * 4, 0, 0, 0};
    sws_scale(d->sws, d->frame->data, d->frame->linesize, 0, d->frame->height, dst, dst_stride);
    d->last_pts = d->frame->best_effort_timestamp == AV_NOPTS_VALUE ? target : d->frame->best_effort_timestamp;
    return 0;
}

static void ps_test_card(ps_picture_t *out, const std::string &name, int frames)
{
    out->w = 640;
    out->h = 360;
    out->aspect = 16.0f / 9.0f;
    out->bgrx.assign((size_t)out->w * out->h * 4, 0);
    cairo_surface_t *sf =
        cairo_image_surface_create_for_data(out->bgrx.data(), CAIRO_FORMAT_RGB24, out->w, out->h, out->w * 4);
    cairo_t *cr = cairo_create(sf);
    static const double bars[7][3] = {{.75, .75, .75}, {.75, .75, 0}, {0, .75, .75}, {0, .75, 0},
                                      {.75, 0, .75},   {.75, 0, 0},   {0, 0, .75}};
    for (int i = 0; i < 7; i++) {
        cairo_set_source_rgb(cr, bars[i][0], bars[i][1], bars[i][2]);
        cairo_rectangle(cr, i * out->w / 7.0, 0, out->w / 7.0 + 1, out->h * 2 / 3.0);
        cairo_fill(cr);
    }
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    cairo_rectangle(cr, 0, out->h * 2 / 3.0, out->w, out->h / 3.0);
    cairo_fill(cr);
    char tc[32];
    int f = frames < 0 ? 0 : frames;
    snprintf(tc, sizeof(tc), "%02d:%02d:%02d:%02d", f / (PS_FPS * 3600) % 100, f / (PS_FPS * 60) % 60, f / PS_FPS % 60,
             f % PS_FPS);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_select_font_face(cr, "Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, 28);
    cairo_move_to(cr, 24, out->h * 2 / 3.0 + 44);
    cairo_show_text(cr, name.empty() ? "(no clip)" : name.substr(0, 60).c_str());
    cairo_move_to(cr, 24, out->h * 2 / 3.0 + 88);
    cairo_show_text(cr, tc);
    cairo_destroy(cr);
    cairo_surface_destroy(sf);
}

ps_source_t *ps_source_new(int port)
{
    ps_source_t *s = new ps_source_t();
    s->port = port;
    s->url = "http://127.0.0.1:" + std::to_string(port) + "/RPC2";
    return s;
}

void ps_source_free(ps_source_t *s)
{
    if (!s)
        return;
    ps_decoder_close(&s->d);
    delete s;
}

std::string ps_announce_dir(void)
{
    const char *d = getenv("PELMORA_PREVIEW_ANNOUNCE");
    return d && *d ? d : "/tmp/pelmora-preview-" + std::to_string((long)getuid());
}

/* The media folder the player on `port` announced (a real path), or "".
 * The announcement folder is ours alone (a folder anyone could write to
 * in /tmp would let anyone name the folder). */
static std::string ps_announced_root(int port)
{
    std::string dir = ps_announce_dir();
    struct stat st;
    if (lstat(dir.c_str(), &st) < 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 022)) {
        fprintf(stderr, "%s: announcement folder [%s] missing or not ours alone\n", __FUNCTION__, dir.c_str());
        return "";
    }
    std::string path = dir + "/" + std::to_string(port);
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return "";
    char text[PS_ANNOUNCE_MAX + 1];
    ssize_t n = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == getuid() && st.st_size <= PS_ANNOUNCE_MAX)
        n = read(fd, text, sizeof(text));
    close(fd);
    std::string root;
    if (n < 0 || ps_announce_media(text, (size_t)n, &root) < 0)
        return "";
    char real[PATH_MAX];
    if (!realpath(root.c_str(), real) || stat(real, &st) < 0 || !S_ISDIR(st.st_mode))
        return "";
    return real;
}

/* The media file of a clip name, asked once per name; "" when there is
 * none or it was refused a moment ago. */
static std::string ps_file_of(ps_source_t *s, const std::string &name)
{
    int64_t now = ps_now_ms();
    auto it = s->files.find(name);
    if (it != s->files.end()) {
        if (!it->second.refused_ms)
            return it->second.file;
        if (now - it->second.refused_ms < PS_REFUSED_RETRY_MS)
            return "";
        s->files.erase(it);
    }
    if (s->root.empty() && now - s->root_read_ms >= 1000) {
        s->root_read_ms = now;
        s->root = ps_announced_root(s->port);
    }
    pelmora_call c(__func__, s->url.c_str(), "PelmoraIO.LibBasenameItem");
    std::string file;
    int r = c.run("(s)", name.c_str()) ? ps_answer_file(c.answer(), &file) : -14;
    if (s->files.size() > 256)
        s->files.clear();
    ps_file_entry &e = s->files[name];
    e.file = file;
    e.refused_ms = r < 0 ? now : 0;
    return r < 0 ? "" : file;
}

/* The file of `name` could not be shown: shown as a test card for a while. */
static void ps_file_refused(ps_source_t *s, const std::string &name)
{
    auto it = s->files.find(name);
    if (it != s->files.end())
        it->second.refused_ms = ps_now_ms();
}

int ps_source_picture(ps_source_t *s, ps_picture_t *out, int *playing)
{
    *playing = 0;
    pelmora_call c(__func__, s->url.c_str(), "PelmoraIO.GetStatus");
    ps_status_t st;
    int r = c.run("()") ? ps_answer_status(c.answer(), &st) : -14;
    if (r < 0) {
        /* Said once, not 25 times a second. */
        if (!s->failing) {
            if (c.failed() && !c.answer())
                c.call_failed(nullptr, nullptr, 0);
            else
                fprintf(stderr, "%s: unusable status answer from [%s]\n", __FUNCTION__, s->url.c_str());
        }
        s->failing = 1;
        return -14;
    }
    s->failing = 0;
    /* A bus on air with nothing to show: black, and silence. */
    if (st.status == PS_STATUS_BLACK) {
        out->w = 640;
        out->h = 360;
        out->aspect = 16.0f / 9.0f;
        out->bgrx.assign((size_t)out->w * out->h * 4, 0);
        *playing = 2;
        return 0;
    }
    /* A live source is no file: its card says what it is. */
    if (!st.name.empty() && st.name[0] == '#' && st.status >= 1 && st.status <= 3) {
        ps_test_card(out, st.cookie.empty() ? st.name : st.cookie, st.tc_frames);
        return 0;
    }
    /* Cued, playing or paused: the clip's own picture. */
    if (!st.name.empty() && st.status >= 1 && st.status <= 3) {
        std::string file = ps_file_of(s, st.name);
        if (!file.empty() && (s->d.file == file || ps_decoder_open(&s->d, s->root, file) == 0)) {
            AVStream *vst = s->d.fmt->streams[s->d.vs];
            int64_t start = vst->start_time == AV_NOPTS_VALUE ? 0 : vst->start_time;
            int64_t target = start + av_rescale_q(st.clip_pos, AVRational{1, PS_FPS}, vst->time_base);
            if (target == s->d.last_pts || ps_decode_to(&s->d, target) == 0) {
                *out = s->d.pic;
                *playing = st.status == 2 ? 1 : 2;
                return 0;
            }
        } else if (!file.empty()) {
            ps_decoder_close(&s->d);
            ps_file_refused(s, st.name);
        }
    }
    ps_test_card(out, st.name, st.tc_frames);
    return 0;
}

double ps_tone_dbfs(int ch)
{
    return ch >= 0 && ch < PS_CHANNELS - 1 ? -6.0 - 2.0 * ch : -HUGE_VAL;
}

void ps_tone(float *planar, int n, int stride_floats, int64_t *phase)
{
    for (int ch = 0; ch < PS_CHANNELS; ch++) {
        double db = ps_tone_dbfs(ch);
        double a = isinf(db) ? 0 : pow(10, db / 20);
        for (int i = 0; i < n; i++)
            planar[(size_t)ch * stride_floats + i] =
                (float)(a * sin(2 * M_PI * 1000.0 * (double)((*phase + i) % PS_RATE) / PS_RATE));
    }
    *phase = (*phase + n) % PS_RATE;
}

void ps_source_audio(ps_source_t *s, float *planar, int n, int stride_floats)
{
    for (int ch = 0; ch < PS_CHANNELS; ch++) {
        std::vector<float> &f = s->d.fifo[ch];
        int take = (int)std::min<size_t>(f.size(), (size_t)n);
        float *o = planar + (size_t)ch * stride_floats;
        std::copy(f.begin(), f.begin() + take, o);
        std::fill(o + take, o + n, 0.0f);
        f.erase(f.begin(), f.begin() + take);
    }
}
