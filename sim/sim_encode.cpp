/* Real output files for the transcoder jobs (see sim_encode.h). One pass
 * over the source: pictures are retimed by their timestamps (repeated or
 * dropped to fill the output's frame slots), sound is resampled and gained
 * as it comes; everything is freed on every path, and a file that is not
 * complete never carries its final name. */
#include "sim_encode.h"

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "sim_confine.h"
#include "sim_media_probe.h"

namespace {

struct mode_desc
{
    const char *name;
    int w, h, num, den, interlaced, sar_num, sar_den;
};

/* The IO player's modes (sim_io), by the size and rate of their pictures. */
const mode_desc MODES[] = {
    {"1080i50", 1920, 1080, 25, 1, 1, 1, 1},
    {"720p50", 1280, 720, 50, 1, 0, 1, 1},
    {"576i50", 720, 576, 25, 1, 1, 64, 45},
    {"1080p25", 1920, 1080, 25, 1, 0, 1, 1},
};

/* Audio is cut into packets of this many samples (one frame at 25). */
const int AUDIO_CHUNK = 1920;
const int OUT_RATE = 48000;
/* Kept free on the destination's disk whatever the job. */
const int64_t SPACE_RESERVE = 1 << 20;
/* Most channels carried. */
const int CHANNELS_MAX = 16;

/* Frame rates the MXF writer takes for a picture. */
bool mxf_rate(AVRational r)
{
    static const AVRational ok[] = {{24, 1}, {25, 1},       {30, 1},       {50, 1},
                                    {60, 1}, {24000, 1001}, {30000, 1001}, {60000, 1001}};
    for (const AVRational &o : ok)
        if (av_cmp_q(r, o) == 0)
            return true;
    return false;
}

std::string averr(int r)
{
    char b[AV_ERROR_MAX_STRING_SIZE] = "";
    av_strerror(r, b, sizeof b);
    return b;
}

/* The temporary file behind the muxer: writes past the cap (the folder's
 * free space when the job began) fail as a full disk would. */
struct out_file
{
    int fd = -1;
    int64_t cap = 0;
    int err = 0; /* first errno of a failed write */
};

int out_write(void *op, uint8_t *buf, int n)
{
    out_file *o = (out_file *)op;
    off_t pos = lseek(o->fd, 0, SEEK_CUR);
    if (pos < 0 || pos + n > o->cap) {
        o->err = pos < 0 ? errno : ENOSPC;
        return AVERROR(o->err);
    }
    for (int done = 0; done < n;) {
        ssize_t k = write(o->fd, buf + done, (size_t)(n - done));
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0) {
            o->err = k < 0 ? errno : EIO;
            return AVERROR(o->err);
        }
        done += (int)k;
    }
    return n;
}

int64_t out_seek(void *op, int64_t off, int whence)
{
    out_file *o = (out_file *)op;
    if (whence & AVSEEK_SIZE) {
        struct stat st;
        return fstat(o->fd, &st) == 0 ? (int64_t)st.st_size : AVERROR(errno);
    }
    off_t r = lseek(o->fd, (off_t)off, whence & ~AVSEEK_FORCE);
    return r < 0 ? AVERROR(errno) : (int64_t)r;
}

/* Everything one encode holds, released whatever way it ends. */
struct work
{
    AVFormatContext *in = nullptr, *out = nullptr;
    AVCodecContext *vdec = nullptr, *adec = nullptr, *venc = nullptr;
    SwsContext *sws = nullptr;
    SwrContext *swr = nullptr;
    AVIOContext *pb = nullptr;
    AVFrame *frm = av_frame_alloc(), *last = av_frame_alloc(), *pic = av_frame_alloc();
    AVPacket *pkt = av_packet_alloc();
    out_file of;
    int dir = -1;
    std::string tmp;
    bool header = false, renamed = false;
    ~work()
    {
        if (out && header)
            av_write_trailer(out); /* lets the muxer free what it holds */
        if (out)
            avformat_free_context(out);
        if (pb) {
            av_freep(&pb->buffer);
            avio_context_free(&pb);
        }
        if (in)
            avformat_close_input(&in);
        avcodec_free_context(&vdec);
        avcodec_free_context(&adec);
        avcodec_free_context(&venc);
        sws_freeContext(sws);
        swr_free(&swr);
        av_frame_free(&frm);
        av_frame_free(&last);
        av_frame_free(&pic);
        av_packet_free(&pkt);
        if (of.fd >= 0)
            close(of.fd);
        if (!tmp.empty() && !renamed)
            unlinkat(dir, tmp.c_str(), 0);
    }
};

int open_decoder(AVStream *st, AVCodecContext **out)
{
    const AVCodec *c = avcodec_find_decoder(st->codecpar->codec_id);
    if (!c)
        return AVERROR_DECODER_NOT_FOUND;
    *out = avcodec_alloc_context3(c);
    if (!*out)
        return AVERROR(ENOMEM);
    int r = avcodec_parameters_to_context(*out, st->codecpar);
    if (r < 0)
        return r;
    (*out)->thread_count = 1;
    (*out)->max_pixels = SIM_PROBE_MAX_PIXELS;
    (*out)->pkt_timebase = st->time_base;
    return avcodec_open2(*out, c, nullptr);
}

bool too_big(int w, int h)
{
    return w <= 0 || h <= 0 || w > SIM_PROBE_MAX_SIDE || h > SIM_PROBE_MAX_SIDE ||
           (int64_t)w * h > SIM_PROBE_MAX_PIXELS;
}

} // namespace

int sim_encode_mode(const std::string &mode, sim_encode_params_t *p)
{
    for (const mode_desc &m : MODES)
        if (mode == m.name) {
            p->width = m.w;
            p->height = m.h;
            p->rate_num = m.num;
            p->rate_den = m.den;
            p->f_interlaced = m.interlaced;
            return 0;
        }
    return -2;
}

/* The encode itself; the caller turns its result into the operator's text. */
static int encode(work &w, int src_fd, const std::string &out_name, const sim_encode_params_t &p,
                  const std::function<bool(int)> &progress, std::string *why,
                  const std::function<int(const std::string &)> &before_rename)
{
    int r = sim_probe_open(src_fd, &w.in);
    if (r == SIM_PROBE_TOO_BIG)
        return *why = "picture too large", -27;
    if (r < 0)
        return *why = "source is not media (" + averr(r) + ")", -22;
    {
        std::vector<AVDictionary *> opts(w.in->nb_streams, nullptr);
        for (auto &o : opts)
            av_dict_set_int(&o, "max_pixels", SIM_PROBE_MAX_PIXELS, 0);
        r = avformat_find_stream_info(w.in, opts.empty() ? nullptr : opts.data());
        for (auto &o : opts)
            av_dict_free(&o);
        if (r < 0)
            return *why = "source is not media (" + averr(r) + ")", -22;
    }
    int vi = av_find_best_stream(w.in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (vi >= 0 && (w.in->streams[vi]->disposition & AV_DISPOSITION_ATTACHED_PIC))
        vi = -1;
    int ai = av_find_best_stream(w.in, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (vi < 0 && ai < 0)
        return *why = "source has neither picture nor sound", -61;
    if (vi >= 0) {
        const AVCodecParameters *cp = w.in->streams[vi]->codecpar;
        if (too_big(cp->width, cp->height))
            return *why = "picture too large", -27;
        if ((r = open_decoder(w.in->streams[vi], &w.vdec)) < 0)
            return *why = "picture not decodable (" + averr(r) + ")", -22;
    }
    int ch = 0;
    if (ai >= 0) {
        if ((r = open_decoder(w.in->streams[ai], &w.adec)) < 0)
            return *why = "sound not decodable (" + averr(r) + ")", -22;
        ch = w.adec->ch_layout.nb_channels;
        if (ch < 1 || ch > CHANNELS_MAX || w.adec->sample_rate < 8000 || w.adec->sample_rate > 384000)
            return *why = "sound layout not supported", -22;
    }

    /* The part of the source used, in seconds. Frame counts are the
     * source's frames (25 a second when it has no picture). */
    AVRational src_rate = {25, 1};
    if (vi >= 0) {
        AVRational fr = w.in->streams[vi]->avg_frame_rate;
        if (fr.num <= 0 || fr.den <= 0)
            fr = w.in->streams[vi]->r_frame_rate;
        if (fr.num > 0 && fr.den > 0 && av_q2d(fr) >= 1 && av_q2d(fr) <= 300)
            src_rate = fr;
    }
    double total = w.in->duration > 0 ? w.in->duration / (double)AV_TIME_BASE : 0;
    double start_s = p.in_frames > 0 ? p.in_frames / av_q2d(src_rate) : 0;
    double dur_s = p.dur_frames > 0 ? p.dur_frames / av_q2d(src_rate) : total > 0 ? total - start_s : 0;
    if (total > 0 && start_s >= total)
        return *why = "in point past the end of the source", -22;
    if (total > 0 && dur_s > total - start_s)
        dur_s = total - start_s;
    if (dur_s > SIM_ENCODE_MAX_SECONDS || total > 100.0 * SIM_ENCODE_MAX_SECONDS)
        return *why = "source too long", -27;

    /* The output's picture. */
    int ow = p.width, oh = p.height;
    AVRational sar = {1, 1};
    if (!ow || !oh) {
        ow = vi >= 0 ? w.vdec->width : 720;
        oh = vi >= 0 ? w.vdec->height : 576;
        if (ow > 1920 || oh > 1080) {
            double k = std::min(1920.0 / ow, 1080.0 / oh);
            ow = (int)(ow * k);
            oh = (int)(oh * k);
        }
        if (vi >= 0 && w.vdec->sample_aspect_ratio.num > 0)
            sar = w.vdec->sample_aspect_ratio;
    } else
        for (const mode_desc &m : MODES)
            if (m.w == ow && m.h == oh)
                sar = AVRational{m.sar_num, m.sar_den};
    ow = std::max(16, ow & ~1);
    oh = std::max(16, oh & ~1);
    AVRational rate = {p.rate_num, p.rate_den};
    if (rate.num <= 0 || rate.den <= 0)
        rate = mxf_rate(src_rate) ? src_rate : AVRational{25, 1};
    /* 50 Mbit/s for a full HD picture, less for smaller ones. */
    int64_t vbr = std::max<int64_t>(8000000, std::min<int64_t>(50000000, 50000000LL * ow * oh / (1920 * 1080)));

    /* The output must fit in the destination's free space. */
    struct statvfs vfs;
    if (fstatvfs(w.dir, &vfs) != 0)
        return *why = std::string("destination: ") + strerror(errno), -errno;
    int64_t space = (int64_t)vfs.f_bavail * (int64_t)vfs.f_frsize - SPACE_RESERVE;
    int64_t need = (int64_t)(dur_s * (vbr / 8 * 1.25 + (double)OUT_RATE * ch * 2)) + (2 << 20);
    if (need > space) {
        char b[128];
        snprintf(b, sizeof b, "not enough space: needs about %lld MB, %lld MB free", (long long)(need >> 20),
                 (long long)(std::max<int64_t>(0, space) >> 20));
        return *why = b, -28;
    }
    struct stat st;
    if (fstatat(w.dir, out_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return *why = "an item of that name is already there", -17;

    /* The output: a temporary file of ours behind the MXF writer. */
    if ((w.of.fd = sim_confine_tmp(w.dir, out_name.c_str(), &w.tmp)) < 0)
        return *why = std::string("destination: ") + strerror(-w.of.fd), w.of.fd;
    w.of.cap = space;
    if ((r = avformat_alloc_output_context2(&w.out, nullptr, "mxf", nullptr)) < 0)
        return *why = "no MXF writer", r;
    uint8_t *iobuf = (uint8_t *)av_malloc(1 << 16);
    if (!iobuf || !(w.pb = avio_alloc_context(iobuf, 1 << 16, 1, &w.of, nullptr, out_write, out_seek))) {
        av_free(iobuf);
        return *why = "out of memory", -12;
    }
    w.out->pb = w.pb;
    w.out->flags |= AVFMT_FLAG_CUSTOM_IO;

    const AVCodec *enc = avcodec_find_encoder(AV_CODEC_ID_MPEG2VIDEO);
    if (!enc || !(w.venc = avcodec_alloc_context3(enc)))
        return *why = "no MPEG-2 encoder", -38;
    w.venc->width = ow;
    w.venc->height = oh;
    w.venc->pix_fmt = AV_PIX_FMT_YUV422P;
    w.venc->time_base = av_inv_q(rate);
    w.venc->framerate = rate;
    w.venc->sample_aspect_ratio = sar;
    w.venc->bit_rate = vbr;
    w.venc->gop_size = 12;
    w.venc->max_b_frames = 0;
    w.venc->thread_count = 1;
    if (p.f_interlaced) {
        w.venc->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
        w.venc->field_order = AV_FIELD_TT;
    }
    if ((r = avcodec_open2(w.venc, enc, nullptr)) < 0)
        return *why = "MPEG-2 encoder refused the picture (" + averr(r) + ")", r;
    AVStream *vs = avformat_new_stream(w.out, nullptr);
    if (!vs || avcodec_parameters_from_context(vs->codecpar, w.venc) < 0)
        return *why = "out of memory", -12;
    vs->time_base = w.venc->time_base;
    vs->avg_frame_rate = rate;
    vs->sample_aspect_ratio = sar;
    AVStream *as = nullptr;
    AVChannelLayout layout = {};
    if (ai >= 0) {
        if (w.adec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
            av_channel_layout_default(&layout, ch);
        else if (av_channel_layout_copy(&layout, &w.adec->ch_layout) < 0)
            return *why = "out of memory", -12;
        as = avformat_new_stream(w.out, nullptr);
        if (!as || av_channel_layout_copy(&as->codecpar->ch_layout, &layout) < 0) {
            av_channel_layout_uninit(&layout);
            return *why = "out of memory", -12;
        }
        AVCodecParameters *cp = as->codecpar;
        cp->codec_type = AVMEDIA_TYPE_AUDIO;
        cp->codec_id = AV_CODEC_ID_PCM_S16LE;
        cp->format = AV_SAMPLE_FMT_S16;
        cp->sample_rate = OUT_RATE;
        cp->bits_per_coded_sample = 16;
        cp->block_align = 2 * ch;
        cp->bit_rate = (int64_t)OUT_RATE * 16 * ch;
        as->time_base = AVRational{1, OUT_RATE};
        r = swr_alloc_set_opts2(&w.swr, &layout, AV_SAMPLE_FMT_FLT, OUT_RATE, &layout, w.adec->sample_fmt,
                                w.adec->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&layout);
        if (r < 0 || swr_init(w.swr) < 0)
            return *why = "sound cannot be resampled", -22;
    }
    if ((r = avformat_write_header(w.out, nullptr)) < 0)
        return *why = "MXF writer refused the streams (" + averr(r) + ")", r;
    w.header = true;

    w.pic->format = AV_PIX_FMT_YUV422P;
    w.pic->width = ow;
    w.pic->height = oh;
    if (av_frame_get_buffer(w.pic, 0) < 0)
        return *why = "out of memory", -12;
    if (vi < 0) {
        /* No picture in the source: black, as MXF wants one. */
        for (int y = 0; y < oh; y++) {
            memset(w.pic->data[0] + (size_t)y * w.pic->linesize[0], 16, (size_t)ow);
            memset(w.pic->data[1] + (size_t)y * w.pic->linesize[1], 128, (size_t)ow / 2);
            memset(w.pic->data[2] + (size_t)y * w.pic->linesize[2], 128, (size_t)ow / 2);
        }
    }

    auto write_packets = [&](AVCodecContext *c, AVStream *s) -> int {
        int e;
        while ((e = avcodec_receive_packet(c, w.pkt)) == 0) {
            w.pkt->stream_index = s->index;
            av_packet_rescale_ts(w.pkt, c->time_base, s->time_base);
            if ((e = av_interleaved_write_frame(w.out, w.pkt)) < 0)
                return e;
        }
        return e == AVERROR(EAGAIN) || e == AVERROR_EOF ? 0 : e;
    };
    int64_t out_n = 0; /* next picture slot */
    bool have_last = false, last_scaled = vi < 0;
    auto slot_s = [&](int64_t n) { return n * av_q2d(av_inv_q(rate)); };
    /* The picture held goes into the next slot. */
    auto emit = [&]() -> int {
        if (!last_scaled) {
            int e = av_frame_make_writable(w.pic);
            if (e < 0)
                return e;
            w.sws = sws_getCachedContext(w.sws, w.last->width, w.last->height, (AVPixelFormat)w.last->format, ow, oh,
                                         AV_PIX_FMT_YUV422P, SWS_BICUBIC, nullptr, nullptr, nullptr);
            if (!w.sws)
                return AVERROR(EINVAL);
            sws_scale(w.sws, w.last->data, w.last->linesize, 0, w.last->height, w.pic->data, w.pic->linesize);
            last_scaled = true;
        }
        w.pic->pts = out_n++;
        w.pic->interlaced_frame = p.f_interlaced;
        w.pic->top_field_first = p.f_interlaced;
        int e = avcodec_send_frame(w.venc, w.pic);
        return e < 0 ? e : write_packets(w.venc, vs);
    };
    /* Fills the slots before time t (relative to the in point). */
    auto fill_to = [&](double t) -> int {
        while ((have_last || vi < 0) && slot_s(out_n) < t - 1e-6 && (dur_s <= 0 || slot_s(out_n) < dur_s - 1e-6)) {
            int e = emit();
            if (e < 0)
                return e;
        }
        return 0;
    };

    std::vector<float> fbuf;
    std::vector<int16_t> fifo;
    int64_t a_pos = 0; /* samples at 48 kHz from the sound's start */
    int64_t a_first = (int64_t)llround(start_s * OUT_RATE),
            a_end = dur_s > 0 ? a_first + (int64_t)llround(dur_s * OUT_RATE) : INT64_MAX;
    int64_t a_written = 0;
    double gain = pow(10.0, p.gain_db / 20.0);
    auto write_audio = [&](bool all) -> int {
        size_t per = (size_t)AUDIO_CHUNK * (size_t)ch;
        size_t at = 0;
        while (fifo.size() - at >= per || (all && fifo.size() > at)) {
            size_t n = std::min(per, fifo.size() - at);
            int e = av_new_packet(w.pkt, (int)(n * 2));
            if (e < 0)
                return e;
            memcpy(w.pkt->data, fifo.data() + at, n * 2);
            w.pkt->stream_index = as->index;
            w.pkt->pts = w.pkt->dts = a_written;
            w.pkt->duration = (int64_t)(n / (size_t)ch);
            av_packet_rescale_ts(w.pkt, AVRational{1, OUT_RATE}, as->time_base);
            a_written += (int64_t)(n / (size_t)ch);
            at += n;
            if ((e = av_interleaved_write_frame(w.out, w.pkt)) < 0)
                return e;
        }
        fifo.erase(fifo.begin(), fifo.begin() + (ptrdiff_t)at);
        return 0;
    };
    /* Resampled sound into the output, inside the part used. */
    auto take_audio = [&](const AVFrame *f) -> int {
        int room = swr_get_out_samples(w.swr, f ? f->nb_samples : 0);
        if (room < 0)
            return room;
        fbuf.resize((size_t)room * (size_t)ch + 1);
        uint8_t *o = (uint8_t *)fbuf.data();
        int n = swr_convert(w.swr, &o, room, f ? (const uint8_t **)f->extended_data : nullptr, f ? f->nb_samples : 0);
        if (n < 0)
            return n;
        for (int s = 0; s < n; s++, a_pos++) {
            if (a_pos < a_first || a_pos >= a_end)
                continue;
            for (int c = 0; c < ch; c++) {
                double v = fbuf[(size_t)s * (size_t)ch + (size_t)c] * gain;
                v = std::max(-1.0, std::min(32767.0 / 32768.0, v));
                fifo.push_back((int16_t)lrint(v * 32768.0));
            }
        }
        return write_audio(false);
    };

    AVStream *vin = vi >= 0 ? w.in->streams[vi] : nullptr;
    int64_t v_start = vin && vin->start_time != AV_NOPTS_VALUE ? vin->start_time : AV_NOPTS_VALUE;
    double v_t = 0; /* time of the last picture read, from the in point */
    bool v_done = vi < 0, a_done = ai < 0, eof = false;
    int64_t size = avio_size(w.in->pb);
    auto pct_now = [&]() {
        double done = std::min(ai >= 0 ? (a_pos - a_first) / (double)OUT_RATE : 1e30, vi >= 0 ? v_t : 1e30);
        if (dur_s > 0)
            return (int)std::max(0.0, std::min(99.0, 100.0 * done / dur_s));
        int64_t at = avio_tell(w.in->pb);
        return size > 0 ? (int)std::min<int64_t>(99, std::max<int64_t>(0, at) * 100 / size) : 0;
    };
    auto decoded = [&](AVCodecContext *c, bool is_video) -> int {
        int e;
        while ((e = avcodec_receive_frame(c, w.frm)) == 0) {
            if (is_video) {
                if (too_big(w.frm->width, w.frm->height)) {
                    av_frame_unref(w.frm);
                    *why = "picture too large";
                    return -27;
                }
                int64_t ts = w.frm->best_effort_timestamp;
                if (v_start == AV_NOPTS_VALUE)
                    v_start = ts;
                double t = ts == AV_NOPTS_VALUE ? v_t : (ts - v_start) * av_q2d(vin->time_base) - start_s;
                if ((e = fill_to(t)) < 0) {
                    av_frame_unref(w.frm);
                    return e;
                }
                av_frame_unref(w.last);
                av_frame_move_ref(w.last, w.frm);
                have_last = true;
                last_scaled = false;
                v_t = std::max(v_t, t);
                if (dur_s > 0 && t >= dur_s)
                    v_done = true;
            } else {
                bool same = w.frm->ch_layout.nb_channels == ch && w.frm->sample_rate == w.adec->sample_rate &&
                            w.frm->format == w.adec->sample_fmt;
                e = same ? take_audio(w.frm) : AVERROR(EINVAL);
                av_frame_unref(w.frm);
                if (e < 0)
                    return e;
                if (a_pos >= a_end)
                    a_done = true;
            }
            if (std::max(v_t, (a_pos - a_first) / (double)OUT_RATE) > SIM_ENCODE_MAX_SECONDS + 1) {
                *why = "source too long";
                return -27;
            }
        }
        return e == AVERROR(EAGAIN) || e == AVERROR_EOF ? 0 : e;
    };

    while (!eof && !(v_done && a_done)) {
        r = av_read_frame(w.in, w.pkt);
        if (r == AVERROR_EOF || r == AVERROR(EIO) || (r < 0 && avio_feof(w.in->pb))) {
            eof = true;
            break;
        }
        if (r < 0)
            return *why = "source not readable (" + averr(r) + ")", r;
        int si = w.pkt->stream_index;
        AVCodecContext *c = si == vi && !v_done ? w.vdec : si == ai && !a_done ? w.adec : nullptr;
        if (c) {
            r = avcodec_send_packet(c, w.pkt);
            av_packet_unref(w.pkt);
            /* A damaged packet is skipped, as players do. */
            if (r < 0 && r != AVERROR(EAGAIN) && r != AVERROR_INVALIDDATA)
                return *why = "source not decodable (" + averr(r) + ")", r;
            if ((r = decoded(c, c == w.vdec)) < 0)
                return why->empty() ? (*why = "encode failed (" + averr(r) + ")", r) : r;
        } else
            av_packet_unref(w.pkt);
        if (vi < 0 && (r = fill_to((a_pos - a_first) / (double)OUT_RATE)) < 0)
            return *why = "encode failed (" + averr(r) + ")", r;
        if (!progress(pct_now()))
            return -125;
        if (w.of.err)
            break;
    }
    /* The decoders' last frames, then the last picture up to the end. */
    if (!w.of.err) {
        r = 0;
        for (AVCodecContext *c : {w.vdec, w.adec})
            if (c && avcodec_send_packet(c, nullptr) >= 0 && (r = decoded(c, c == w.vdec)) < 0)
                return why->empty() ? (*why = "encode failed (" + averr(r) + ")", r) : r;
        if (ai >= 0 && (r = take_audio(nullptr)) >= 0)
            r = write_audio(true);
        double end = dur_s > 0 ? dur_s
                     : vi >= 0 ? v_t + av_q2d(av_inv_q(src_rate))
                               : (a_pos - a_first) / (double)OUT_RATE;
        if (r >= 0 && (have_last || vi < 0))
            r = fill_to(end);
        if (r >= 0 && out_n == 0)
            return *why = "nothing decoded from the source", -61;
        if (r >= 0 && (r = avcodec_send_frame(w.venc, nullptr)) >= 0)
            r = write_packets(w.venc, vs);
        if (r >= 0) {
            w.header = false;
            r = av_write_trailer(w.out);
        }
        if (r >= 0)
            avio_flush(w.pb);
        if (r < 0 && !w.of.err)
            return *why = "encode failed (" + averr(r) + ")", r;
    }
    if (w.of.err || w.pb->error)
        return *why = w.of.err == ENOSPC || w.of.err == EDQUOT ? "disk full" : "write failed",
               w.of.err ? -w.of.err : -5;
    if (fsync(w.of.fd) != 0 || close(w.of.fd) != 0) {
        w.of.fd = -1;
        return *why = errno == ENOSPC ? "disk full" : "write failed", -errno;
    }
    w.of.fd = -1;
    if (before_rename && (r = before_rename(w.tmp)) < 0)
        return r;
    if (renameat2(w.dir, w.tmp.c_str(), w.dir, out_name.c_str(), RENAME_NOREPLACE) != 0) {
        r = -errno;
        return *why = r == -17 ? "an item of that name is already there" : strerror(-r), r;
    }
    w.renamed = true;
    return 0;
}

int sim_encode_file(int src_fd, int out_dir, const std::string &out_name, const sim_encode_params_t &p,
                    const std::function<bool(int)> &progress, std::string *why,
                    const std::function<int(const std::string &tmp)> &before_rename)
{
    why->clear();
    work w;
    w.dir = out_dir;
    if (!w.frm || !w.last || !w.pic || !w.pkt)
        return *why = "out of memory", -12;
    int r = encode(w, src_fd, out_name, p, progress, why, before_rename);
    if (r == -125)
        *why = "cancelled";
    else if (r < 0 && w.of.err) {
        /* Whatever step met it, a failed write is the reason. */
        *why =
            w.of.err == ENOSPC || w.of.err == EDQUOT ? "disk full" : std::string("write failed: ") + strerror(w.of.err);
        r = -w.of.err;
    }
    return r;
}
