/* Media probing and thumbnails for the library server, on libavformat,
 * libavcodec and libswscale. Files come in as descriptors the caller has
 * opened (confined, regular); pictures past a size bound are refused
 * before anything decodes them, and only a few decodes run at once. */
#include "sim_media_probe.h"

#include <string.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "sim_confine.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace {

struct fmt_guard
{
    AVFormatContext *f = nullptr;
    ~fmt_guard()
    {
        if (f)
            avformat_close_input(&f);
    }
};
struct codec_guard
{
    AVCodecContext *c = nullptr;
    ~codec_guard()
    {
        if (c)
            avcodec_free_context(&c);
    }
};
struct frame_guard
{
    AVFrame *f = av_frame_alloc();
    ~frame_guard() { av_frame_free(&f); }
};
struct packet_guard
{
    AVPacket *p = av_packet_alloc();
    ~packet_guard() { av_packet_free(&p); }
};

double stream_seconds(const AVStream *st)
{
    if (st->duration == AV_NOPTS_VALUE || st->duration <= 0)
        return 0;
    return st->duration * av_q2d(st->time_base);
}

/* Decodes (stream analysis included) running at once; the others wait. */
const int DECODES_MAX = 2;
std::mutex decode_lock;
std::condition_variable decode_cond;
int decodes = 0;

struct decode_slot
{
    decode_slot()
    {
        std::unique_lock<std::mutex> g(decode_lock);
        decode_cond.wait(g, [] { return decodes < DECODES_MAX; });
        decodes++;
    }
    ~decode_slot()
    {
        {
            std::lock_guard<std::mutex> g(decode_lock);
            decodes--;
        }
        decode_cond.notify_one();
    }
};

bool picture_too_big(int w, int h)
{
    return w > SIM_PROBE_MAX_SIDE || h > SIM_PROBE_MAX_SIDE || (int64_t)w * h > SIM_PROBE_MAX_PIXELS;
}

/* A video stream whose header already declares a picture past the bound. */
bool header_too_big(const AVFormatContext *f)
{
    for (unsigned i = 0; i < f->nb_streams; i++) {
        const AVCodecParameters *cp = f->streams[i]->codecpar;
        if (cp->codec_type == AVMEDIA_TYPE_VIDEO && picture_too_big(cp->width, cp->height))
            return true;
    }
    return false;
}

/* Stream analysis with every decoder it opens bounded to the largest
 * picture we take: a bigger one fails in the decoder before its frame
 * buffer is allocated. */
int find_stream_info(AVFormatContext *f)
{
    std::vector<AVDictionary *> opts(f->nb_streams, nullptr);
    for (auto &o : opts)
        av_dict_set_int(&o, "max_pixels", SIM_PROBE_MAX_PIXELS, 0);
    int r = avformat_find_stream_info(f, opts.empty() ? nullptr : opts.data());
    for (auto &o : opts)
        av_dict_free(&o);
    return r;
}

/* Opens the file with no network protocols: a crafted file naming a URL or
 * another file (playlists, concat lists) is not followed. */
int open_file(int fd, AVFormatContext **pf)
{
    if (fd < 0)
        return AVERROR(EBADF);
    std::string path = sim_confine_fd_name(fd);
    AVDictionary *o = nullptr;
    av_dict_set(&o, "protocol_whitelist", "file", 0);
    av_dict_set(&o, "format_whitelist",
                "mov,mp4,m4a,3gp,3g2,mj2,matroska,webm,mxf,mpegts,mpeg,avi,wav,mp3,flac,ogg,aiff,image2,png_pipe,"
                "jpeg_pipe,gxf,dv,flv,asf,nut",
                0);
    /* Small probes: the format is told from the first bytes, and the
     * analysis reads no more than a few megabytes. */
    av_dict_set(&o, "probesize", "5000000", 0);
    int r = avformat_open_input(pf, path.c_str(), nullptr, &o);
    av_dict_free(&o);
    return r;
}

} // namespace

int sim_probe_open(int fd, AVFormatContext **pf)
{
    int r = open_file(fd, pf);
    if (r >= 0 && header_too_big(*pf)) {
        avformat_close_input(pf);
        return SIM_PROBE_TOO_BIG;
    }
    return r;
}

int sim_probe_file(int fd, sim_probe_t *p)
{
    *p = sim_probe_t();
    fmt_guard g;
    int r = open_file(fd, &g.f);
    if (r < 0)
        return r;
    /* A picture the header declares too big is described from the header
     * alone: analysing it would decode it. */
    if (!header_too_big(g.f)) {
        decode_slot slot;
        r = find_stream_info(g.f);
        if (r < 0)
            return r;
    }
    AVFormatContext *f = g.f;
    p->format_name = f->iformat ? f->iformat->name : "";
    if (f->duration != AV_NOPTS_VALUE && f->duration > 0)
        p->duration = f->duration / (double)AV_TIME_BASE;
    p->nb_streams = (int)f->nb_streams;
    const AVDictionaryEntry *tc = av_dict_get(f->metadata, "timecode", nullptr, 0);
    int f_video = 0, f_audio = 0;
    for (unsigned i = 0; i < f->nb_streams; i++) {
        AVStream *st = f->streams[i];
        const AVCodecParameters *cp = st->codecpar;
        if (!tc)
            tc = av_dict_get(st->metadata, "timecode", nullptr, 0);
        if (cp->codec_type == AVMEDIA_TYPE_VIDEO && !f_video && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            f_video = 1;
            p->duration_v = stream_seconds(st);
            p->width = cp->width;
            p->height = cp->height;
            p->rate_num = st->r_frame_rate.num;
            p->rate_den = st->r_frame_rate.den;
            p->nb_frames = st->nb_frames;
            if (!p->nb_frames && p->duration_v > 0 && st->r_frame_rate.num > 0)
                p->nb_frames = (int64_t)(p->duration_v * av_q2d(st->r_frame_rate) + 0.5);
            AVRational sar = av_guess_sample_aspect_ratio(f, st, nullptr);
            if (sar.num > 0 && sar.den > 0) {
                p->sar_num = sar.num;
                p->sar_den = sar.den;
                AVRational dar;
                av_reduce(&dar.num, &dar.den, (int64_t)cp->width * sar.num, (int64_t)cp->height * sar.den, 1024 * 1024);
                p->dar_num = dar.num;
                p->dar_den = dar.den;
            }
        } else if (cp->codec_type == AVMEDIA_TYPE_AUDIO && !f_audio) {
            f_audio = 1;
            p->duration_a = stream_seconds(st);
            const char *sf = av_get_sample_fmt_name((enum AVSampleFormat)cp->format);
            p->sample_fmt = sf ? sf : "";
            p->sample_rate = cp->sample_rate;
            p->channels = cp->ch_layout.nb_channels;
        }
    }
    if (tc && tc->value)
        p->timecode = std::string(tc->value).substr(0, 31);
    return 0;
}

/* Encodes an RGB24 picture as PNG. */
static int encode_png(const AVFrame *rgb, std::string *png)
{
    const AVCodec *enc = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!enc)
        return -38;
    codec_guard cg;
    cg.c = avcodec_alloc_context3(enc);
    if (!cg.c)
        return -12;
    cg.c->width = rgb->width;
    cg.c->height = rgb->height;
    cg.c->pix_fmt = AV_PIX_FMT_RGB24;
    cg.c->time_base = AVRational{1, 25};
    int r = avcodec_open2(cg.c, enc, nullptr);
    if (r < 0)
        return r;
    r = avcodec_send_frame(cg.c, rgb);
    if (r < 0)
        return r;
    packet_guard pk;
    r = avcodec_receive_packet(cg.c, pk.p);
    if (r < 0)
        return r;
    png->assign((const char *)pk.p->data, (size_t)pk.p->size);
    return 0;
}

int sim_probe_thumb_png(int fd, const char *mode, int w, int h, std::string *png)
{
    png->clear();
    if (!mode || w < 1 || w > 1920 || (strcmp(mode, "w") != 0 && (h < 1 || h > 1080)))
        return -22;
    if (strcmp(mode, "c") != 0 && strcmp(mode, "s") != 0 && strcmp(mode, "w") != 0)
        return -22;
    fmt_guard g;
    int r = open_file(fd, &g.f);
    if (r < 0)
        return r;
    if (header_too_big(g.f))
        return SIM_PROBE_TOO_BIG;
    decode_slot slot;
    if ((r = find_stream_info(g.f)) < 0)
        return r;
    const AVCodec *dec = nullptr;
    int vi = av_find_best_stream(g.f, AVMEDIA_TYPE_VIDEO, -1, -1, &dec, 0);
    if (vi < 0 || !dec)
        return -61; /* ENODATA: nothing to show */
    const AVCodecParameters *vp = g.f->streams[vi]->codecpar;
    if (picture_too_big(vp->width, vp->height))
        return SIM_PROBE_TOO_BIG;
    codec_guard cg;
    cg.c = avcodec_alloc_context3(dec);
    if (!cg.c)
        return -12;
    avcodec_parameters_to_context(cg.c, g.f->streams[vi]->codecpar);
    cg.c->thread_count = 1;
    cg.c->max_pixels = SIM_PROBE_MAX_PIXELS;
    if ((r = avcodec_open2(cg.c, dec, nullptr)) < 0)
        return r;
    if (picture_too_big(cg.c->width, cg.c->height))
        return SIM_PROBE_TOO_BIG;

    frame_guard fr;
    packet_guard pk;
    int got = 0;
    /* A bounded number of packets: a file whose video never decodes ends
     * the search instead of reading the whole file. */
    for (int n = 0; !got && n < 2000; n++) {
        r = av_read_frame(g.f, pk.p);
        if (r < 0) {
            avcodec_send_packet(cg.c, nullptr); /* drain */
            got = avcodec_receive_frame(cg.c, fr.f) == 0;
            break;
        }
        if (pk.p->stream_index == vi && avcodec_send_packet(cg.c, pk.p) >= 0)
            got = avcodec_receive_frame(cg.c, fr.f) == 0;
        av_packet_unref(pk.p);
    }
    if (got && picture_too_big(fr.f->width, fr.f->height))
        return SIM_PROBE_TOO_BIG;
    if (!got || fr.f->width <= 0 || fr.f->height <= 0)
        return -61;

    int sw = fr.f->width, sh = fr.f->height;
    AVRational sar = av_guess_sample_aspect_ratio(g.f, g.f->streams[vi], fr.f);
    double aspect = (double)sw / sh;
    if (sar.num > 0 && sar.den > 0)
        aspect *= av_q2d(sar);
    int ow = w, oh = h;
    if (!strcmp(mode, "c")) {
        if (w / aspect <= h)
            oh = (int)(w / aspect + 0.5);
        else
            ow = (int)(h * aspect + 0.5);
    } else if (!strcmp(mode, "w"))
        oh = (int)(w / aspect + 0.5);
    if (ow < 1)
        ow = 1;
    if (oh < 1)
        oh = 1;
    if (oh > 4096)
        return -22;

    SwsContext *sws = sws_getContext(sw, sh, (AVPixelFormat)fr.f->format, ow, oh, AV_PIX_FMT_RGB24, SWS_AREA, nullptr,
                                     nullptr, nullptr);
    if (!sws)
        return -22;
    frame_guard rgb;
    rgb.f->width = ow;
    rgb.f->height = oh;
    rgb.f->format = AV_PIX_FMT_RGB24;
    r = av_frame_get_buffer(rgb.f, 0);
    if (r >= 0)
        sws_scale(sws, fr.f->data, fr.f->linesize, 0, sh, rgb.f->data, rgb.f->linesize);
    sws_freeContext(sws);
    if (r < 0)
        return r;
    return encode_png(rgb.f, png);
}
