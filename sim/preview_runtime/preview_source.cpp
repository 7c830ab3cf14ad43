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
};

struct ps_source_desc
{
    std::string url;
    xmlrpc_client *client = nullptr;
    std::map<std::string, std::string> files; /* clip name -> media file */
    ps_decoder d;
};

static void ps_decoder_close(ps_decoder *d)
{
    sws_freeContext(d->sws);
    av_frame_free(&d->frame);
    avcodec_free_context(&d->dec);
    avformat_close_input(&d->fmt);
    d->sws = nullptr;
    d->vs = -1;
    d->last_pts = INT64_MIN;
    d->file.clear();
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
    return 0;
}

/* Decodes forward to the first picture at or after `target` (stream time
 * base) and converts it. 0, or negative when there is none. */
static int ps_decode_to(ps_decoder *d, int64_t target)
{
    AVStream *st = d->fmt->streams[d->vs];
    int64_t step = av_rescale_q(1, AVRational{1, PS_FPS}, st->time_base);
    int64_t late = target - d->last_pts;
    if (d->last_pts == INT64_MIN || late < 0 || late > 50 * step) {
        if (av_seek_frame(d->fmt, d->vs, target, AVSEEK_FLAG_BACKWARD) < 0)
            av_seek_frame(d->fmt, d->vs, 0, AVSEEK_FLAG_BACKWARD);
        avcodec_flush_buffers(d->dec);
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
    cairo_surface_t *sf = cairo_image_surface_create_for_data(out->bgrx.data(), CAIRO_FORMAT_RGB24, out->w, out->h,
                                                              out->w * 4);
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
    snprintf(tc, sizeof(tc), "%02d:%02d:%02d:%02d", f / (PS_FPS * 3600) % 100, f / (PS_FPS * 60) % 60,
             f / PS_FPS % 60, f % PS_FPS);
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

int ps_source_picture(ps_source_t *s, ps_picture_t *out)
{
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
            planar[(size_t)ch * stride_floats + i] = (float)(a * sin(2 * M_PI * 1000.0 * (double)((*phase + i) % PS_RATE) / PS_RATE));
    }
    *phase = (*phase + n) % PS_RATE;
}
