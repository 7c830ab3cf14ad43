/* The stand-in runtime's sources: the player's position over XML-RPC, the
 * clip decoded with libavcodec at that position, a test card when idle. */
#include "preview_source.h"

#include <cairo.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <xmlrpc-c/base.h>
#include <xmlrpc-c/client.h>

#include <algorithm>
#include <map>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

/* Packets read at most for one picture: a broken file cannot stall us. */
static const int PS_MAX_PACKETS = 600;

struct ps_decoder
{
    std::string file;
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

struct ps_source_desc
{
    std::string url;
    xmlrpc_client *client = nullptr;
    std::map<std::string, std::string> files; /* clip name -> media file */
    ps_decoder d;
};

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

static int ps_decoder_open(ps_decoder *d, const std::string &file)
{
    ps_decoder_close(d);
    if (avformat_open_input(&d->fmt, file.c_str(), nullptr, nullptr) < 0)
        return -2;
    if (avformat_find_stream_info(d->fmt, nullptr) < 0)
        return -22;
    const AVCodec *codec = nullptr;
    d->vs = av_find_best_stream(d->fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (d->vs < 0 || !codec)
        return -22;
    d->dec = avcodec_alloc_context3(codec);
    d->frame = av_frame_alloc();
    if (!d->dec || !d->frame || avcodec_parameters_to_context(d->dec, d->fmt->streams[d->vs]->codecpar) < 0 ||
        avcodec_open2(d->dec, codec, nullptr) < 0)
        return -22;
    int w = d->dec->width, h = d->dec->height;
    if (w <= 0 || h <= 0 || w > 16384 || h > 16384)
        return -22;
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
    if (d->frame->width != d->dec->width || d->frame->height != d->dec->height)
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
    s->url = "http://127.0.0.1:" + std::to_string(port) + "/RPC2";
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    struct xmlrpc_curl_xportparms cx;
    memset(&cx, 0, sizeof(cx));
    cx.timeout = 1000; /* ms: a stuck player must not stall the receiver */
    struct xmlrpc_clientparms cp;
    memset(&cp, 0, sizeof(cp));
    cp.transport = "curl";
    cp.transportparmsP = &cx;
    cp.transportparm_size = XMLRPC_CXPSIZE(timeout);
    xmlrpc_client_create(&env, XMLRPC_CLIENT_NO_FLAGS, "pelmora-preview-runtime", "1", &cp,
                         XMLRPC_CPSIZE(transportparm_size), &s->client);
    if (env.fault_occurred) {
        fprintf(stderr, "%s: no XML-RPC client: %s\n", __FUNCTION__, env.fault_string);
        s->client = nullptr;
    }
    xmlrpc_env_clean(&env);
    return s;
}

void ps_source_free(ps_source_t *s)
{
    if (!s)
        return;
    ps_decoder_close(&s->d);
    if (s->client)
        xmlrpc_client_destroy(s->client);
    delete s;
}

/* The media file of a clip name, asked once per name. */
static std::string ps_file_of(ps_source_t *s, const std::string &name)
{
    auto it = s->files.find(name);
    if (it != s->files.end())
        return it->second;
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *res = nullptr;
    std::string file;
    xmlrpc_client_call2f(&env, s->client, s->url.c_str(), "PelmoraIO.LibBasenameItem", &res, "(s)", name.c_str());
    if (!env.fault_occurred) {
        int result = -1;
        const char *value = nullptr;
        xmlrpc_decompose_value(&env, res, "{s:i,s:s,*}", "result", &result, "value", &value);
        if (!env.fault_occurred && result == 0 && value)
            file = value;
        free((void *)value);
        xmlrpc_DECREF(res);
    }
    xmlrpc_env_clean(&env);
    if (s->files.size() > 256)
        s->files.clear();
    s->files[name] = file;
    return file;
}

int ps_source_picture(ps_source_t *s, ps_picture_t *out, int *playing)
{
    *playing = 0;
    if (!s->client)
        return -14;
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *res = nullptr;
    xmlrpc_client_call2f(&env, s->client, s->url.c_str(), "PelmoraIO.GetStatus", &res, "()");
    int status = 0, clip_pos = 0, tc = 0;
    const char *name = nullptr;
    if (!env.fault_occurred) {
        xmlrpc_decompose_value(&env, res, "{s:i,s:s,s:i,s:i,*}", "status", &status, "name", &name, "clip_pos",
                               &clip_pos, "tc_frames", &tc);
        xmlrpc_DECREF(res);
    }
    int failed = env.fault_occurred;
    xmlrpc_env_clean(&env);
    std::string clip = name && !failed ? name : "";
    free((void *)name);
    if (failed)
        return -14;
    /* Cued, playing or paused: the clip's own picture. */
    if (!clip.empty() && status >= 1 && status <= 3) {
        std::string file = ps_file_of(s, clip);
        if (!file.empty() && (s->d.file == file || ps_decoder_open(&s->d, file) == 0)) {
            AVStream *st = s->d.fmt->streams[s->d.vs];
            int64_t start = st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time;
            int64_t target = start + av_rescale_q(clip_pos, AVRational{1, PS_FPS}, st->time_base);
            if (target == s->d.last_pts || ps_decode_to(&s->d, target) == 0) {
                *out = s->d.pic;
                *playing = status == 2 ? 1 : 2;
                return 0;
            }
        } else if (!file.empty())
            ps_decoder_close(&s->d);
    }
    ps_test_card(out, clip, tc);
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
