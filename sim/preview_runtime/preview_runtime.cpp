/* Stand-in network-video runtime: the same loader entry point and function
 * table as the real one, serving the simulator's IO players as sources.
 * Players announce themselves by a file named after their port in the
 * announcement folder; a receiver renders their picture at 25 frames per
 * second and eight channels of sound, queued for capture. */
#include <arpa/inet.h>
#include <dirent.h>
#include <math.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ndi_abi.h"
#include "pelmora.h"
#include "preview_source.h"

#define RT_EXPORT extern "C" __attribute__((visibility("default")))

/* The whole table of the newest runtimes: 134 slots. */
static const int RT_SLOTS = 134;
/* Most sources listed, frames queued per receiver. */
static const size_t RT_MAX_SOURCES = 64, RT_MAX_VIDEO = 3, RT_MAX_AUDIO = 8;
static const int RT_BLOCK = PS_RATE / PS_FPS; /* 1920 samples per picture */

static std::atomic<int> rt_initialized{0};
/* Producer threads running: the client pool stays while any does. */
static std::atomic<int> rt_producers{0};

/* ------------------------------------------------------------------------
 * Finding sources
 * ---------------------------------------------------------------------- */

struct rt_source
{
    std::string name, url;
    bool operator==(const rt_source &o) const { return name == o.name && url == o.url; }
};

struct rt_finder
{
    std::vector<rt_source> seen, current;
    std::vector<ndi_source_t> out;
};

static int rt_port_alive(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int ok = connect(fd, (struct sockaddr *)&a, sizeof(a)) == 0;
    close(fd);
    return ok;
}

static std::vector<rt_source> rt_scan(void)
{
    std::vector<rt_source> list;
    char host[256] = "localhost";
    gethostname(host, sizeof(host) - 1);
    host[sizeof(host) - 1] = 0;
    DIR *d = opendir(ps_announce_dir().c_str());
    if (!d)
        return list;
    std::vector<int> ports;
    while (struct dirent *e = readdir(d)) {
        char *end = nullptr;
        long port = strtol(e->d_name, &end, 10);
        if (end != e->d_name && !*end && port > 0 && port < 65536 && ports.size() < RT_MAX_SOURCES)
            ports.push_back((int)port);
    }
    closedir(d);
    std::sort(ports.begin(), ports.end());
    for (int port : ports)
        if (rt_port_alive(port))
            list.push_back(
                {std::string(host) + " (PelmoraIO_" + std::to_string(port) + ")", "127.0.0.1:" + std::to_string(port)});
    return list;
}

static ndi_find_t rt_find_create(const ndi_find_create_t *)
{
    return new rt_finder();
}

static void rt_find_destroy(ndi_find_t f)
{
    delete (rt_finder *)f;
}

static bool rt_find_wait(ndi_find_t fp, uint32_t timeout_ms)
{
    rt_finder *f = (rt_finder *)fp;
    if (!f)
        return false;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        std::vector<rt_source> now = rt_scan();
        if (now != f->seen) {
            f->seen = now;
            return true;
        }
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(timeout_ms, 50)));
    }
}

static const ndi_source_t *rt_find_current(ndi_find_t fp, uint32_t *count)
{
    rt_finder *f = (rt_finder *)fp;
    if (!f) {
        if (count)
            *count = 0;
        return nullptr;
    }
    f->current = f->seen;
    f->out.clear();
    for (const rt_source &s : f->current)
        f->out.push_back({s.name.c_str(), s.url.c_str()});
    if (count)
        *count = (uint32_t)f->out.size();
    return f->out.empty() ? nullptr : f->out.data();
}

static const ndi_source_t *rt_find_get_sources(ndi_find_t f, uint32_t *count, uint32_t timeout_ms)
{
    rt_find_wait(f, timeout_ms);
    return rt_find_current(f, count);
}

/* ------------------------------------------------------------------------
 * Receiving
 * ---------------------------------------------------------------------- */

struct rt_recv
{
    std::mutex lock;
    std::condition_variable cond;
    std::deque<ndi_video_frame_v2_t> video;
    std::deque<ndi_audio_frame_v2_t> audio;
    int port = 0;
    int f_exit = 0;
    int lost = 0; /* the player stopped answering: one error frame */
    std::thread thread;
};

static void rt_video_free(const ndi_video_frame_v2_t *v)
{
    if (v)
        delete[] v->p_data;
}
static void rt_audio_free(const ndi_audio_frame_v2_t *a)
{
    if (a)
        delete[] a->p_data;
}

static void rt_producer(rt_recv *r)
{
    rt_producers++;
    ps_source_t *src = ps_source_new(r->port);
    int64_t phase = 0, tc = 0;
    const int64_t frame_100ns = 10000000 / PS_FPS;
    auto next = std::chrono::steady_clock::now();
    int was_ok = 1;
    for (;;) {
        {
            std::unique_lock<std::mutex> g(r->lock);
            if (r->cond.wait_until(g, next, [r] { return r->f_exit != 0; }))
                break;
        }
        next += std::chrono::milliseconds(1000 / PS_FPS);
        /* Behind by more than a second (a stalled player): start afresh. */
        if (std::chrono::steady_clock::now() - next > std::chrono::seconds(1))
            next = std::chrono::steady_clock::now();
        ps_picture_t pic;
        int playing = 0;
        int ok = ps_source_picture(src, &pic, &playing) == 0;
        ndi_video_frame_v2_t v;
        memset(&v, 0, sizeof(v));
        ndi_audio_frame_v2_t a;
        memset(&a, 0, sizeof(a));
        if (ok) {
            v.xres = pic.w;
            v.yres = pic.h;
            v.FourCC = NDI_FOURCC_BGRX;
            v.frame_rate_N = PS_FPS;
            v.frame_rate_D = 1;
            v.picture_aspect_ratio = pic.aspect;
            v.frame_format_type = NDI_FRAME_PROGRESSIVE;
            v.timecode = tc;
            v.line_stride_in_bytes = pic.w * 4;
            v.p_data = new uint8_t[pic.bgrx.size()];
            memcpy(v.p_data, pic.bgrx.data(), pic.bgrx.size());
            /* When it was sent, on the wall clock: receivers can tell the delay. */
            struct timespec now;
            clock_gettime(CLOCK_REALTIME, &now);
            v.timestamp = (int64_t)now.tv_sec * 10000000 + now.tv_nsec / 100;
            a.sample_rate = PS_RATE;
            a.no_channels = PS_CHANNELS;
            a.no_samples = RT_BLOCK;
            a.timecode = tc;
            a.channel_stride_in_bytes = RT_BLOCK * 4;
            a.p_data = new float[(size_t)RT_BLOCK * PS_CHANNELS];
            if (playing == 1)
                ps_source_audio(src, a.p_data, RT_BLOCK, RT_BLOCK);
            else if (playing == 2)
                memset(a.p_data, 0, sizeof(float) * RT_BLOCK * PS_CHANNELS);
            else
                ps_tone(a.p_data, RT_BLOCK, RT_BLOCK, &phase);
            a.timestamp = tc;
            tc += frame_100ns;
        }
        std::lock_guard<std::mutex> g(r->lock);
        if (!ok && was_ok)
            r->lost = 1;
        was_ok = ok;
        if (ok) {
            /* A slow reader loses the oldest frames, never memory. */
            r->video.push_back(v);
            while (r->video.size() > RT_MAX_VIDEO) {
                rt_video_free(&r->video.front());
                r->video.pop_front();
            }
            r->audio.push_back(a);
            while (r->audio.size() > RT_MAX_AUDIO) {
                rt_audio_free(&r->audio.front());
                r->audio.pop_front();
            }
        }
        r->cond.notify_all();
    }
    ps_source_free(src);
    rt_producers--;
}

static void rt_recv_disconnect(rt_recv *r)
{
    {
        std::lock_guard<std::mutex> g(r->lock);
        r->f_exit = 1;
        r->cond.notify_all();
    }
    if (r->thread.joinable())
        r->thread.join();
    for (auto &v : r->video)
        rt_video_free(&v);
    for (auto &a : r->audio)
        rt_audio_free(&a);
    r->video.clear();
    r->audio.clear();
    r->f_exit = 0;
    r->lost = 0;
    r->port = 0;
}

static void rt_recv_connect(ndi_recv_t rp, const ndi_source_t *s)
{
    rt_recv *r = (rt_recv *)rp;
    if (!r)
        return;
    rt_recv_disconnect(r);
    if (!s || !s->p_url_address)
        return;
    const char *colon = strrchr(s->p_url_address, ':');
    int port = colon ? atoi(colon + 1) : 0;
    if (port <= 0 || port > 65535)
        return;
    r->port = port;
    r->thread = std::thread(rt_producer, r);
}

static ndi_recv_t rt_recv_create_v3(const ndi_recv_create_v3_t *c)
{
    rt_recv *r = new rt_recv();
    if (c)
        rt_recv_connect(r, &c->source_to_connect_to);
    return r;
}

/* The older 32-byte settings begin with the same source record. */
static ndi_recv_t rt_recv_create_old(const ndi_recv_create_v3_t *c)
{
    rt_recv *r = new rt_recv();
    if (c)
        rt_recv_connect(r, &c->source_to_connect_to);
    return r;
}

static void rt_recv_destroy(ndi_recv_t rp)
{
    rt_recv *r = (rt_recv *)rp;
    if (!r)
        return;
    rt_recv_disconnect(r);
    delete r;
}

static int32_t rt_recv_capture(ndi_recv_t rp, ndi_video_frame_v2_t *v, ndi_audio_frame_v2_t *a, ndi_metadata_frame_t *,
                               uint32_t timeout_ms)
{
    rt_recv *r = (rt_recv *)rp;
    if (!r)
        return NDI_FRAME_ERROR;
    std::unique_lock<std::mutex> g(r->lock);
    auto ready = [&] { return r->lost || (v && !r->video.empty()) || (a && !r->audio.empty()); };
    if (!r->cond.wait_for(g, std::chrono::milliseconds(timeout_ms), ready))
        return NDI_FRAME_NONE;
    if (r->lost) {
        r->lost = 0;
        return NDI_FRAME_ERROR;
    }
    /* Audio first: it is small and keeps the meters and sound smooth. */
    if (a && !r->audio.empty()) {
        *a = r->audio.front();
        r->audio.pop_front();
        return NDI_FRAME_AUDIO;
    }
    *v = r->video.front();
    r->video.pop_front();
    return NDI_FRAME_VIDEO;
}

static void rt_recv_free_video(ndi_recv_t, const ndi_video_frame_v2_t *v)
{
    rt_video_free(v);
}
static void rt_recv_free_audio(ndi_recv_t, const ndi_audio_frame_v2_t *a)
{
    rt_audio_free(a);
}
static void rt_recv_free_metadata(ndi_recv_t, const ndi_metadata_frame_t *) {}

static void rt_to_interleaved_16s(const ndi_audio_frame_v2_t *src, ndi_audio_frame_interleaved_16s_t *dst)
{
    if (!src || !dst || !dst->p_data || !src->p_data)
        return;
    dst->sample_rate = src->sample_rate;
    dst->no_channels = src->no_channels;
    dst->no_samples = src->no_samples;
    dst->timecode = src->timecode;
    /* reference_level dB of headroom above full scale. */
    double k = 32767.0 * pow(10.0, -dst->reference_level / 20.0);
    for (int ch = 0; ch < src->no_channels; ch++) {
        const float *in = (const float *)((const uint8_t *)src->p_data + (size_t)ch * src->channel_stride_in_bytes);
        for (int i = 0; i < src->no_samples; i++) {
            double s = in[i] * k;
            s = s > 32767 ? 32767 : s < -32768 ? -32768 : s;
            dst->p_data[(size_t)i * src->no_channels + ch] = (int16_t)lrint(s);
        }
    }
}

/* ------------------------------------------------------------------------
 * Library and table
 * ---------------------------------------------------------------------- */

/* The players are asked through the console's own guarded client, linked
 * into this library with a pool of its own (its symbols are kept local). */
static bool rt_initialize(void)
{
    if (rt_initialized++ == 0)
        pelmora_init("pelmora-preview-runtime", "1");
    return true;
}

static void rt_destroy(void)
{
    if (rt_initialized <= 0 || --rt_initialized > 0)
        return;
    if (rt_producers > 0)
        fprintf(stderr, "preview runtime stand-in: %d receiver(s) still running, client pool kept\n",
                rt_producers.load());
    else
        pelmora_release();
}

static const char *rt_version(void)
{
    return "pelmora preview runtime stand-in 1";
}

static bool rt_is_supported_cpu(void)
{
    return true;
}

/* Slots we do not serve: they answer nothing, and say so once each. */
static std::atomic<bool> rt_warned[RT_SLOTS];
template <int N> static void *rt_unserved(void)
{
    if (!rt_warned[N].exchange(true))
        fprintf(stderr, "preview runtime stand-in: slot %d is not served\n", N);
    return nullptr;
}

typedef void (*rt_fn)(void);

template <int... I> static void rt_fill(rt_fn *t, std::integer_sequence<int, I...>)
{
    ((t[I] = (rt_fn)&rt_unserved<I>), ...);
}

static void *rt_table_build(void)
{
    static rt_fn t[RT_SLOTS];
    rt_fill(t, std::make_integer_sequence<int, RT_SLOTS>());
    t[0] = (rt_fn)&rt_initialize;
    t[1] = (rt_fn)&rt_destroy;
    t[2] = (rt_fn)&rt_version;
    t[3] = (rt_fn)&rt_is_supported_cpu;
    t[4] = (rt_fn)&rt_find_create;
    t[5] = (rt_fn)&rt_find_create;
    t[6] = (rt_fn)&rt_find_destroy;
    t[7] = (rt_fn)&rt_find_get_sources;
    t[21] = (rt_fn)&rt_recv_create_old;
    t[22] = (rt_fn)&rt_recv_create_old;
    t[23] = (rt_fn)&rt_recv_destroy;
    t[27] = (rt_fn)&rt_recv_free_metadata;
    t[42] = (rt_fn)&rt_find_wait;
    t[43] = (rt_fn)&rt_find_current;
    t[47] = (rt_fn)&rt_recv_free_video;
    t[48] = (rt_fn)&rt_recv_free_audio;
    t[49] = (rt_fn)&rt_recv_capture;
    t[53] = (rt_fn)&rt_to_interleaved_16s;
    t[84] = (rt_fn)&rt_recv_create_v3;
    t[85] = (rt_fn)&rt_recv_connect;
    return t;
}

static_assert(sizeof(rt_fn) * 86 == sizeof(ndi_api_t), "the table prefix is 86 pointers");

RT_EXPORT const ndi_api_t *NDIlib_v3_load(void)
{
    static void *t = rt_table_build();
    return (const ndi_api_t *)t;
}

RT_EXPORT const ndi_api_t *NDIlib_v2_load(void)
{
    return NDIlib_v3_load();
}
