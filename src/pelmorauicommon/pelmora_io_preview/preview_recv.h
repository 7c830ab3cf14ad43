/* The preview's receiver engine: one thread per preview that finds the
 * IO server's network source, receives its frames into three video slots,
 * drives the eight meters and plays the chosen pair. It announces new
 * pictures and levels through hooks (called on its thread) and never
 * touches a widget. No GTK here. */
#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "ndi_abi.h"
#include "preview_sound.h"
#include "qpm.h"

enum
{
    VIDEO_FRAME_TOP = 0,    /* on screen */
    VIDEO_FRAME_MIDDLE = 1, /* the next one */
    VIDEO_FRAME_BOTTOM = 2, /* the newest received */
    VIDEO_FRAME_LAST = 3
};
#define PREVIEW_METERS 8
/* Frames larger than this on either side are refused. */
#define PREVIEW_MAX_SIDE 8192

typedef struct preview_recv_hooks_desc
{
    void (*picture)(void *cookie); /* a new frame waits in the slots */
    void (*meters)(void *cookie);  /* qpm_levels changed */
    void *cookie;
} preview_recv_hooks_t;

typedef struct preview_recv_desc
{
    std::recursive_mutex lock; /* the video slots */
    ndi_video_frame_v2_t video_datas[VIDEO_FRAME_LAST];
    ndi_recv_t ndi_recv = nullptr;
    std::thread ndi_thread;
    std::atomic<int> f_exit{0};
    char ndi_ip[1024], ndi_name[1024];
    qpm_t *qpm[PREVIEW_METERS];
    /* Written by the thread, read by the meter drawing without a lock. */
    std::atomic<double> qpm_levels[PREVIEW_METERS];
    std::atomic<int> track_state{1}; /* 0 = no sound, 1..4 = the pair played */
    preview_sound_t *sound = nullptr;
    ndi_audio_frame_interleaved_16s_t audio_interleaved;
    std::vector<int16_t> audio_interleaved_buf;
    preview_recv_hooks_t hooks;
    std::atomic<int> connected{0};
    /* When the last usable picture came (steady clock, µs; 0: none yet). */
    std::atomic<int64_t> last_video_us{0};
    /* The end of the thread: `ended` once it has left the runtime for good;
     * `orphaned` once the stop gave up waiting, after which the hooks are
     * no longer called and the thread frees the record itself. The hooks
     * are called under `end_lock`. */
    std::mutex end_lock;
    std::condition_variable end_cond;
    int ended = 0, orphaned = 0;
} preview_recv_t;

/* How long the stop waits for the thread to come back from the runtime. */
#define PREVIEW_STOP_WAIT_MS 100

/* A picture stops counting as live this long after it came. */
#define PREVIEW_STALE_US 1000000

/* 1 when pictures came and none has for PREVIEW_STALE_US: what is shown is
 * the last one, not the source now. */
int preview_recv_stale(const preview_recv_t *r);

/* Starts the receive thread for the source named "... (`name`)" at
 * address `ip`:PORT. Null without a runtime: then no thread runs. */
preview_recv_t *preview_recv_start(const char *ip, const char *name, const preview_recv_hooks_t *hooks, int volume);
/* Stops the thread and frees every slot, the sound output and `r`. A thread
 * that does not come back from the runtime within PREVIEW_STOP_WAIT_MS is
 * left behind (logged): it no longer reaches the hooks and frees `r` when
 * it ends. 0, or 1 when the thread was left behind. */
int preview_recv_stop(preview_recv_t *r);
/* The drawing side: copies the top slot into `f` (1 when it holds data),
 * then after drawing hands it back: the middle frame moves up, and the drawn
 * one is freed when replaced or kept to be drawn again. */
int preview_recv_frame_begin(preview_recv_t *r, ndi_video_frame_v2_t *f);
void preview_recv_frame_end(preview_recv_t *r, const ndi_video_frame_v2_t *drawn);
/* A frame's line stride, or 0 when the frame cannot be drawn safely. */
int preview_recv_frame_stride(const ndi_video_frame_v2_t *f);
void preview_recv_volume(preview_recv_t *r, int value);
/* Receive threads running in this process, those left behind included. */
int preview_recv_threads(void);
