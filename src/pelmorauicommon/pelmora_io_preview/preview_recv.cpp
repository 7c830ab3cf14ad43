/* The preview's receive thread: finding the source, capturing, the video
 * slot hand-over, the meters and the sound. */
#include "preview_recv.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <string>

#include "ndi_runtime.h"

/* 1,536,384 bytes of interleaved 16-bit samples. */
static const size_t AUDIO_BUF_SAMPLES = 1536384 / 2;
static const double METER_DT = 1.0 / 48000;
static std::atomic<int> recv_threads{0};

int preview_recv_threads(void)
{
    return recv_threads;
}

int preview_recv_frame_stride(const ndi_video_frame_v2_t *f)
{
    if (!f || !f->p_data || f->xres <= 0 || f->yres <= 0 || f->xres > PREVIEW_MAX_SIDE || f->yres > PREVIEW_MAX_SIDE)
        return 0;
    if (f->FourCC != NDI_FOURCC_BGRX && f->FourCC != NDI_FOURCC_BGRA)
        return 0;
    int stride = f->line_stride_in_bytes == 0 ? 4 * f->xres : f->line_stride_in_bytes;
    /* Negative (flipped) and short strides are refused, as are absurd ones. */
    if (stride < 4 * f->xres || stride > 4 * PREVIEW_MAX_SIDE + 4096)
        return 0;
    return stride;
}

static void recv_free_video(preview_recv_t *r, const ndi_video_frame_v2_t *f)
{
    if (f->p_data && r->ndi_recv)
        pelmora_ndi_api->recv_free_video_v2(r->ndi_recv, f);
}

/* A source matches when its address is IP:... and its name ends in "(NAME)". */
static int recv_match(preview_recv_t *r, const ndi_source_t *s)
{
    if (!s->p_url_address || !s->p_ndi_name)
        return 0;
    size_t il = strlen(r->ndi_ip);
    if (strncmp(s->p_url_address, r->ndi_ip, il) != 0 || s->p_url_address[il] != ':')
        return 0;
    fprintf(stderr, "%s: ip match\n", __FUNCTION__);
    std::string tail = std::string("(") + r->ndi_name + ")";
    size_t nl = strlen(s->p_ndi_name);
    if (nl >= tail.size() && strcmp(s->p_ndi_name + nl - tail.size(), tail.c_str()) == 0) {
        fprintf(stderr, "%s: name match\n", __FUNCTION__);
        return 1;
    }
    fprintf(stderr, "%s: name does not match (%s)\n", __FUNCTION__, s->p_ndi_name);
    return 0;
}

/* Tells the widget, unless the stop has given up on this thread (the widget
 * may be gone then). */
static void recv_announce(preview_recv_t *r, int picture)
{
    std::lock_guard<std::mutex> g(r->end_lock);
    void (*fn)(void *) = picture ? r->hooks.picture : r->hooks.meters;
    if (fn && !r->orphaned)
        fn(r->hooks.cookie);
}

static void recv_meters_zero(preview_recv_t *r)
{
    for (int j = 0; j < PREVIEW_METERS; j++) {
        for (int i = 0; i < 1920; i++)
            qpm_sample(r->qpm[j], 0, METER_DT);
        double db;
        qpm_value_curr(r->qpm[j], 1, &db);
        r->qpm_levels[j] = db;
    }
    recv_announce(r, 0);
}

static int64_t recv_now_us(void)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int preview_recv_stale(const preview_recv_t *r)
{
    int64_t last = r ? r->last_video_us.load() : 0;
    return last && recv_now_us() - last > PREVIEW_STALE_US;
}

static void recv_video(preview_recv_t *r, const ndi_video_frame_v2_t *v)
{
    if (pelmora_io_preview_debug_get())
        fprintf(stderr, "%s:%d video (%dx%d)\n", __FUNCTION__, __LINE__, v->xres, v->yres);
    if (!preview_recv_frame_stride(v)) {
        fprintf(stderr, "%s: unusable video frame %dx%d fourcc 0x%08x stride %d, dropped\n", __FUNCTION__, v->xres,
                v->yres, v->FourCC, v->line_stride_in_bytes);
        recv_free_video(r, v);
        return;
    }
    r->last_video_us = recv_now_us();
    ndi_video_frame_v2_t out;
    {
        std::lock_guard<std::recursive_mutex> g(r->lock);
        out = r->video_datas[VIDEO_FRAME_MIDDLE];
        r->video_datas[VIDEO_FRAME_MIDDLE] = r->video_datas[VIDEO_FRAME_BOTTOM];
        r->video_datas[VIDEO_FRAME_BOTTOM] = *v;
    }
    recv_free_video(r, &out);
    recv_announce(r, 1);
}

static void recv_audio(preview_recv_t *r, const ndi_audio_frame_v2_t *a)
{
    ndi_audio_frame_interleaved_16s_t *ai = &r->audio_interleaved;
    int ok = a->p_data && a->no_channels > 0 && a->no_channels <= 64 && a->no_samples > 0 &&
             (size_t)a->no_samples * (size_t)a->no_channels <= AUDIO_BUF_SAMPLES &&
             (a->no_channels == 1 || a->channel_stride_in_bytes >= a->no_samples * 4);
    if (ok) {
        memset(ai, 0, sizeof(*ai));
        ai->sample_rate = a->sample_rate;
        ai->no_channels = a->no_channels;
        ai->no_samples = a->no_samples;
        ai->timecode = a->timecode;
        ai->reference_level = 0;
        ai->p_data = r->audio_interleaved_buf.data();
        pelmora_ndi_api->util_audio_to_interleaved_16s_v2(a, ai);
    } else
        fprintf(stderr, "%s: unusable audio frame (%d channels, %d samples), dropped\n", __FUNCTION__, a->no_channels,
                a->no_samples);
    pelmora_ndi_api->recv_free_audio_v2(r->ndi_recv, a);
    if (!ok)
        return;
    int nch = a->no_channels, n = a->no_samples;
    const int16_t *s = r->audio_interleaved_buf.data();
    for (int i = 0; i < n; i++)
        for (int j = 0; j < PREVIEW_METERS; j++)
            qpm_sample(r->qpm[j], j < nch ? s[(size_t)i * nch + j] / 32767.0 : 0, METER_DT);
    for (int j = 0; j < PREVIEW_METERS; j++) {
        double db;
        qpm_value_curr(r->qpm[j], 1, &db);
        r->qpm_levels[j] = db;
    }
    recv_announce(r, 0);
    preview_sound_play(r->sound, s, nch, n, r->track_state);
}

/* Once the picture has gone stale, the widget is asked to draw again so that
 * it can say so; frames coming again redraw it anyway. */
static void recv_note_stale(preview_recv_t *r, int *said)
{
    if (*said || !preview_recv_stale(r))
        return;
    *said = 1;
    recv_announce(r, 1);
}

static void ndi_proc(preview_recv_t *r)
{
    const ndi_api_t *api = pelmora_ndi_api;
    int dbg = pelmora_io_preview_debug_get();
    fprintf(stderr, "%s: entering\n", __FUNCTION__);
    ndi_find_create_t fc;
    memset(&fc, 0, sizeof(fc));
    fc.show_local_sources = false;
    fc.p_extra_ips = r->ndi_ip;
    ndi_find_t finder = api->find_create_v2(&fc);
    if (!finder)
        fprintf(stderr, "%s: NDIlib_find_create2 failed\n", __FUNCTION__);
    ndi_source_t chosen;
    std::string chosen_name, chosen_url;
    int have = 0;
    while (finder && !r->f_exit && !have) {
        if (!api->find_wait_for_sources(finder, 100))
            continue;
        uint32_t n = 0;
        const ndi_source_t *list = api->find_get_current_sources(finder, &n);
        fprintf(stderr, "%s: found %d ndi sources\n", __FUNCTION__, (int)n);
        for (uint32_t i = 0; list && i < n && i < 4096; i++) {
            fprintf(stderr, "%s: ndi_name=[%s], url_address=[%s]\n", __FUNCTION__,
                    list[i].p_ndi_name ? list[i].p_ndi_name : "", list[i].p_url_address ? list[i].p_url_address : "");
            if (!have && recv_match(r, &list[i])) {
                /* The finder's strings live only until its next call. */
                chosen_name = list[i].p_ndi_name;
                chosen_url = list[i].p_url_address;
                have = 1;
            }
        }
    }
    if (have) {
        ndi_recv_create_v3_t rc;
        memset(&rc, 0, sizeof(rc));
        chosen.p_ndi_name = chosen_name.c_str();
        chosen.p_url_address = chosen_url.c_str();
        rc.source_to_connect_to = chosen;
        rc.color_format = NDI_RECV_COLOR_BGRX_BGRA;
        rc.bandwidth = NDI_RECV_BANDWIDTH_HIGHEST;
        rc.allow_video_fields = false;
        r->ndi_recv = api->recv_create_v3(&rc);
        if (!r->ndi_recv)
            fprintf(stderr, "%s: NDIlib_recv_create_v3 failed\n", __FUNCTION__);
        else
            r->connected = 1;
    }
    int said_stale = 0;
    while (r->ndi_recv && !r->f_exit) {
        ndi_video_frame_v2_t v;
        ndi_audio_frame_v2_t a;
        ndi_metadata_frame_t m;
        memset(&v, 0, sizeof(v));
        memset(&a, 0, sizeof(a));
        memset(&m, 0, sizeof(m));
        int e = api->recv_capture_v2(r->ndi_recv, &v, &a, &m, 50);
        if (dbg)
            fprintf(stderr, "%s:%d e=%d\n", __FUNCTION__, __LINE__, e);
        switch (e) {
        case NDI_FRAME_NONE:
            if (dbg)
                fprintf(stderr, "%s:%d timeout\n", __FUNCTION__, __LINE__);
            recv_meters_zero(r);
            recv_note_stale(r, &said_stale);
            break;
        case NDI_FRAME_VIDEO:
            recv_video(r, &v);
            said_stale = 0;
            break;
        case NDI_FRAME_AUDIO:
            recv_audio(r, &a);
            break;
        case NDI_FRAME_METADATA:
            if (dbg)
                fprintf(stderr, "%s:%d NDIlib_frame_type_metadata\n", __FUNCTION__, __LINE__);
            api->recv_free_metadata(r->ndi_recv, &m);
            break;
        case NDI_FRAME_ERROR:
            fprintf(stderr, "%s:%d NDIlib_frame_type_error\n", __FUNCTION__, __LINE__);
            /* A lost connection answers at once: don't spin on it. */
            recv_meters_zero(r);
            recv_note_stale(r, &said_stale);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            break;
        default:
            if (dbg)
                fprintf(stderr, "%s:%d status change %d\n", __FUNCTION__, __LINE__, e);
            break;
        }
    }
    fprintf(stderr, "\n\n%s: exiting loop\n", __FUNCTION__);
    if (r->ndi_recv) {
        ndi_video_frame_v2_t slots[VIDEO_FRAME_LAST];
        {
            std::lock_guard<std::recursive_mutex> g(r->lock);
            memcpy(slots, r->video_datas, sizeof(slots));
            memset(r->video_datas, 0, sizeof(r->video_datas));
        }
        for (auto &f : slots)
            recv_free_video(r, &f);
        api->recv_destroy(r->ndi_recv);
        r->ndi_recv = nullptr;
    }
    if (finder)
        api->find_destroy(finder);
    fprintf(stderr, "%s: exiting thread\n", __FUNCTION__);
}

static void recv_free(preview_recv_t *r)
{
    preview_sound_free(r->sound);
    for (int j = 0; j < PREVIEW_METERS; j++)
        qpm_release(&r->qpm[j]);
    delete r;
}

static void ndi_thread_main(preview_recv_t *r)
{
    ndi_proc(r);
    /* Out of the runtime for good. */
    pelmora_ndi_drop();
    recv_threads--;
    int orphaned;
    {
        std::lock_guard<std::mutex> g(r->end_lock);
        r->ended = 1;
        orphaned = r->orphaned;
        r->end_cond.notify_all();
    }
    if (orphaned) {
        fprintf(stderr, "%s: a receive thread left behind has ended\n", __FUNCTION__);
        recv_free(r);
    }
}

preview_recv_t *preview_recv_start(const char *ip, const char *name, const preview_recv_hooks_t *hooks, int volume)
{
    if (!pelmora_ndi_api)
        return nullptr;
    preview_recv_t *r = new preview_recv_t();
    memset(r->video_datas, 0, sizeof(r->video_datas));
    snprintf(r->ndi_ip, sizeof(r->ndi_ip), "%s", ip ? ip : "");
    snprintf(r->ndi_name, sizeof(r->ndi_name), "%s", name ? name : "");
    for (int j = 0; j < PREVIEW_METERS; j++) {
        qpm_create(10, &r->qpm[j]);
        r->qpm_levels[j] = -HUGE_VAL;
    }
    r->audio_interleaved_buf.assign(AUDIO_BUF_SAMPLES, 0);
    memset(&r->audio_interleaved, 0, sizeof(r->audio_interleaved));
    if (hooks)
        r->hooks = *hooks;
    else
        memset(&r->hooks, 0, sizeof(r->hooks));
    r->sound = preview_sound_new(volume);
    recv_threads++;
    pelmora_ndi_hold();
    r->ndi_thread = std::thread(ndi_thread_main, r);
    return r;
}

int preview_recv_stop(preview_recv_t *r)
{
    if (!r)
        return 0;
    r->f_exit = 1;
    {
        /* A runtime that does not come back (a capture that blocks, a
         * hung finder) must not hold the close, nor the main loop. */
        std::unique_lock<std::mutex> g(r->end_lock);
        if (!r->end_cond.wait_for(g, std::chrono::milliseconds(PREVIEW_STOP_WAIT_MS), [r] { return r->ended != 0; })) {
            r->orphaned = 1;
            r->ndi_thread.detach();
            fprintf(stderr,
                    "%s: the receive thread is still inside the NDI runtime after %d ms; left behind, it ends on "
                    "its own\n",
                    __FUNCTION__, PREVIEW_STOP_WAIT_MS);
            return 1;
        }
    }
    r->ndi_thread.join();
    recv_free(r);
    return 0;
}

int preview_recv_frame_begin(preview_recv_t *r, ndi_video_frame_v2_t *f)
{
    std::lock_guard<std::recursive_mutex> g(r->lock);
    *f = r->video_datas[VIDEO_FRAME_TOP];
    return f->p_data != nullptr;
}

void preview_recv_frame_end(preview_recv_t *r, const ndi_video_frame_v2_t *drawn)
{
    int replaced;
    {
        std::lock_guard<std::recursive_mutex> g(r->lock);
        r->video_datas[VIDEO_FRAME_TOP] = r->video_datas[VIDEO_FRAME_MIDDLE];
        memset(&r->video_datas[VIDEO_FRAME_MIDDLE], 0, sizeof(ndi_video_frame_v2_t));
        replaced = r->video_datas[VIDEO_FRAME_TOP].p_data != nullptr;
        if (!replaced && drawn->p_data)
            r->video_datas[VIDEO_FRAME_TOP] = *drawn;
    }
    if (replaced && drawn->p_data)
        recv_free_video(r, drawn);
}

void preview_recv_volume(preview_recv_t *r, int value)
{
    if (r)
        preview_sound_volume(r->sound, value);
}
