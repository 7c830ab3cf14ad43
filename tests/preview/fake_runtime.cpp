/* A runtime library that misbehaves on request, loaded by the console as
 * the real one is (libndi.so.3 in the folder NDI_RUNTIME_DIR_V3 names).
 * PELMORA_FAKE_NDI chooses the table NDIlib_v3_load hands out:
 *   only-init    every slot null but initialize;
 *   no-free-meta every slot the console calls but recv_free_metadata;
 *   block        a whole table with one source, "FAKE (PelmoraIO_1)" at
 *                127.0.0.1:1, whose capture does not come back until
 *                fake_ndi_unblock() (or 20 s) - as a hung network stack.
 * The test reaches the fake_ndi_* counters through dlsym. */
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "ndi_abi.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

static std::atomic<int> fake_inits{0}, fake_captures{0};
static std::mutex fake_lock;
static std::condition_variable fake_cond;
static bool fake_unblocked = false;

FAKE_EXPORT int fake_ndi_initialized(void)
{
    return fake_inits;
}

FAKE_EXPORT int fake_ndi_captures(void)
{
    return fake_captures;
}

FAKE_EXPORT void fake_ndi_unblock(void)
{
    std::lock_guard<std::mutex> g(fake_lock);
    fake_unblocked = true;
    fake_cond.notify_all();
}

static bool fake_initialize(void)
{
    fake_inits++;
    return true;
}
static void fake_destroy(void) {}

static int fake_handle;
static ndi_find_t fake_find_create(const ndi_find_create_t *)
{
    return &fake_handle;
}
static void fake_find_destroy(ndi_find_t) {}
static bool fake_find_wait(ndi_find_t, uint32_t)
{
    return true;
}
static const ndi_source_t fake_sources[] = {{"FAKE (PelmoraIO_1)", "127.0.0.1:1"}};
static const ndi_source_t *fake_find_current(ndi_find_t, uint32_t *n)
{
    *n = 1;
    return fake_sources;
}
static ndi_recv_t fake_recv_create(const ndi_recv_create_v3_t *)
{
    return &fake_handle;
}
static void fake_recv_destroy(ndi_recv_t) {}
static int32_t fake_capture(ndi_recv_t, ndi_video_frame_v2_t *, ndi_audio_frame_v2_t *, ndi_metadata_frame_t *,
                            uint32_t)
{
    fake_captures++;
    std::unique_lock<std::mutex> g(fake_lock);
    fake_cond.wait_for(g, std::chrono::seconds(20), [] { return fake_unblocked; });
    return NDI_FRAME_NONE;
}
static void fake_free_video(ndi_recv_t, const ndi_video_frame_v2_t *) {}
static void fake_free_audio(ndi_recv_t, const ndi_audio_frame_v2_t *) {}
static void fake_free_meta(ndi_recv_t, const ndi_metadata_frame_t *) {}
static void fake_to_16s(const ndi_audio_frame_v2_t *, ndi_audio_frame_interleaved_16s_t *) {}

FAKE_EXPORT const ndi_api_t *NDIlib_v3_load(void)
{
    static ndi_api_t t;
    memset(&t, 0, sizeof(t));
    const char *mode = getenv("PELMORA_FAKE_NDI");
    mode = mode ? mode : "";
    t.initialize = fake_initialize;
    if (!strcmp(mode, "only-init"))
        return &t;
    t.destroy = fake_destroy;
    t.find_create_v2 = fake_find_create;
    t.find_destroy = fake_find_destroy;
    t.find_wait_for_sources = fake_find_wait;
    t.find_get_current_sources = fake_find_current;
    t.recv_create_v3 = fake_recv_create;
    t.recv_destroy = fake_recv_destroy;
    t.recv_capture_v2 = fake_capture;
    t.recv_free_video_v2 = fake_free_video;
    t.recv_free_audio_v2 = fake_free_audio;
    t.recv_free_metadata = strcmp(mode, "no-free-meta") ? fake_free_meta : nullptr;
    t.util_audio_to_interleaved_16s_v2 = fake_to_16s;
    return &t;
}
