/* Preview sound over the sound server's threaded main loop. The output is
 * owned by the receive thread; the volume slider reaches it only under
 * `lock`, which release also takes, so it never touches a released output. */
#include "preview_sound.h"

#include <pulse/pulseaudio.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <mutex>
#include <vector>

#include "ndi_runtime.h"

static const int SOUND_RATE = 48000;
static const int SOUND_RETRY_MS = 3000;
/* 200 ms of 2 x 16-bit frames. */
static const uint32_t SOUND_BUFFER_BYTES = SOUND_RATE / 5 * 4;
/* Largest block played at once: bounds the conversion buffer. */
static const int SOUND_MAX_SAMPLES = 48000;

struct preview_sound_desc
{
    std::mutex lock; /* guards the three pointers below and volume */
    pa_threaded_mainloop *ml = nullptr;
    pa_context *ctx = nullptr;
    pa_stream *st = nullptr;
    int volume = 32768;
    int64_t last_attempt_ms = -SOUND_RETRY_MS;
    std::vector<int16_t> buf;
};

static int64_t sound_now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static void sound_signal(pa_threaded_mainloop *ml)
{
    pa_threaded_mainloop_signal(ml, 0);
}
static void sound_ctx_cb(pa_context *, void *ml)
{
    sound_signal((pa_threaded_mainloop *)ml);
}
static void sound_st_cb(pa_stream *, void *ml)
{
    sound_signal((pa_threaded_mainloop *)ml);
}

static void sound_destroy(pa_threaded_mainloop *ml, pa_context *ctx, pa_stream *st)
{
    if (!ml)
        return;
    pa_threaded_mainloop_lock(ml);
    if (st) {
        pa_stream_set_state_callback(st, nullptr, nullptr);
        pa_stream_disconnect(st);
        pa_stream_unref(st);
    }
    if (ctx) {
        pa_context_set_state_callback(ctx, nullptr, nullptr);
        pa_context_disconnect(ctx);
        pa_context_unref(ctx);
    }
    pa_threaded_mainloop_unlock(ml);
    pa_threaded_mainloop_stop(ml);
    pa_threaded_mainloop_free(ml);
}

static void sound_release(preview_sound_t *s)
{
    pa_threaded_mainloop *ml;
    pa_context *ctx;
    pa_stream *st;
    {
        std::lock_guard<std::mutex> g(s->lock);
        ml = s->ml;
        ctx = s->ctx;
        st = s->st;
        s->ml = nullptr;
        s->ctx = nullptr;
        s->st = nullptr;
    }
    sound_destroy(ml, ctx, st);
}

/* The slider is a linear gain (half way is half the amplitude, -6 dB); the
 * sound server's own scale is cubic, so the factor is converted. */
static pa_cvolume sound_cvolume(int value)
{
    pa_cvolume cv;
    pa_cvolume_set(&cv, 2, pa_sw_volume_from_linear(value / 65535.0));
    return cv;
}

static void sound_open(preview_sound_t *s)
{
    int64_t now = sound_now_ms();
    if (now - s->last_attempt_ms < SOUND_RETRY_MS)
        return;
    s->last_attempt_ms = now;
    pa_threaded_mainloop *ml = pa_threaded_mainloop_new();
    if (!ml) {
        fprintf(stderr, "%s:%d: no sound main loop\n", __FUNCTION__, __LINE__);
        return;
    }
    pa_context *ctx = pa_context_new(pa_threaded_mainloop_get_api(ml), "PelmoraBoxUI preview");
    pa_stream *st = nullptr;
    const char *fail = nullptr;
    int err = 0;
    pa_threaded_mainloop_lock(ml);
    if (!ctx)
        fail = "pa_context_new";
    else {
        pa_context_set_state_callback(ctx, sound_ctx_cb, ml);
        if (pa_context_connect(ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 || pa_threaded_mainloop_start(ml) < 0)
            fail = "pa_context_connect";
    }
    while (!fail) {
        pa_context_state_t cs = pa_context_get_state(ctx);
        if (cs == PA_CONTEXT_READY)
            break;
        if (!PA_CONTEXT_IS_GOOD(cs))
            fail = "pa_context_connect";
        else
            pa_threaded_mainloop_wait(ml);
    }
    if (!fail) {
        pa_sample_spec ss = {PA_SAMPLE_S16LE, (uint32_t)SOUND_RATE, 2};
        st = pa_stream_new(ctx, "preview", &ss, nullptr);
        if (!st)
            fail = "pa_stream_new";
    }
    if (!fail) {
        pa_buffer_attr attr;
        memset(&attr, 0xff, sizeof(attr));
        attr.tlength = SOUND_BUFFER_BYTES;
        pa_cvolume cv;
        {
            std::lock_guard<std::mutex> g(s->lock);
            cv = sound_cvolume(s->volume);
        }
        pa_stream_set_state_callback(st, sound_st_cb, ml);
        if (pa_stream_connect_playback(st, nullptr, &attr, PA_STREAM_ADJUST_LATENCY, &cv, nullptr) < 0)
            fail = "pa_stream_connect_playback";
    }
    while (!fail) {
        pa_stream_state_t ss = pa_stream_get_state(st);
        if (ss == PA_STREAM_READY)
            break;
        if (!PA_STREAM_IS_GOOD(ss))
            fail = "pa_stream_connect_playback";
        else
            pa_threaded_mainloop_wait(ml);
    }
    if (fail && ctx)
        err = pa_context_errno(ctx);
    pa_threaded_mainloop_unlock(ml);
    if (fail) {
        fprintf(stderr, "%s:%d: %s failed: %s\n", __FUNCTION__, __LINE__, fail, pa_strerror(err));
        sound_destroy(ml, ctx, st);
        return;
    }
    {
        std::lock_guard<std::mutex> g(s->lock);
        s->ml = ml;
        s->ctx = ctx;
        s->st = st;
    }
    fprintf(stderr, "%s: OK\n", __FUNCTION__);
}

preview_sound_t *preview_sound_new(int volume)
{
    preview_sound_t *s = new preview_sound_t();
    s->volume = volume < 0 ? 0 : volume > 65535 ? 65535 : volume;
    return s;
}

void preview_sound_free(preview_sound_t *s)
{
    if (!s)
        return;
    sound_release(s);
    delete s;
}

int preview_sound_play(preview_sound_t *s, const int16_t *in, int nch, int n, int pair)
{
    if (!s || !in || nch <= 0 || n <= 0)
        return -22;
    if (!s->st)
        sound_open(s);
    if (!s->st)
        return -5;
    n = n > SOUND_MAX_SAMPLES ? SOUND_MAX_SAMPLES : n;
    s->buf.assign((size_t)n * 2, 0);
    /* A pair beyond the source's channels plays silence. */
    int l = 2 * pair - 2, r = 2 * pair - 1;
    if (pair >= 1 && pair <= 4 && r < nch)
        for (int i = 0; i < n; i++) {
            s->buf[(size_t)i * 2] = in[(size_t)i * nch + l];
            s->buf[(size_t)i * 2 + 1] = in[(size_t)i * nch + r];
        }
    pa_threaded_mainloop_lock(s->ml);
    int lost = !PA_CONTEXT_IS_GOOD(pa_context_get_state(s->ctx)) || !PA_STREAM_IS_GOOD(pa_stream_get_state(s->st));
    int r_w = 0;
    if (!lost) {
        size_t bytes = (size_t)n * 4, room = pa_stream_writable_size(s->st);
        /* A full buffer drops the block: the preview stays live. */
        if (room != (size_t)-1 && room >= bytes)
            r_w = pa_stream_write(s->st, s->buf.data(), bytes, nullptr, 0, PA_SEEK_RELATIVE);
        if (pelmora_io_preview_debug_get())
            fprintf(stderr, "%s:%d: room=%zu bytes=%zu\n", __FUNCTION__, __LINE__, room, bytes);
    }
    pa_threaded_mainloop_unlock(s->ml);
    if (lost || r_w < 0) {
        fprintf(stderr, "%s:%d: sound output lost, released\n", __FUNCTION__, __LINE__);
        sound_release(s);
        return -5;
    }
    return 0;
}

void preview_sound_volume(preview_sound_t *s, int value)
{
    if (!s)
        return;
    std::lock_guard<std::mutex> g(s->lock);
    s->volume = value < 0 ? 0 : value > 65535 ? 65535 : value;
    if (!s->st)
        return;
    pa_threaded_mainloop_lock(s->ml);
    if (pa_stream_get_state(s->st) == PA_STREAM_READY) {
        pa_cvolume cv = sound_cvolume(s->volume);
        pa_operation *op = pa_context_set_sink_input_volume(s->ctx, pa_stream_get_index(s->st), &cv, nullptr, nullptr);
        if (op)
            pa_operation_unref(op);
    }
    pa_threaded_mainloop_unlock(s->ml);
}

int preview_sound_is_open(preview_sound_t *s)
{
    if (!s)
        return 0;
    std::lock_guard<std::mutex> g(s->lock);
    return s->st != nullptr;
}
