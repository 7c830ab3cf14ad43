/* Our declarations of the network-video runtime's function table (the
 * first 86 slots, every later runtime keeps them in place) and of the
 * records the preview exchanges with it. x86-64 Linux layout; every size
 * and offset is checked at compile time. */
#pragma once
#include <stddef.h>
#include <stdint.h>

extern "C" {

typedef void *ndi_find_t;
typedef void *ndi_recv_t;

typedef struct ndi_source_desc
{
    const char *p_ndi_name;    /* "MACHINE (Source)" */
    const char *p_url_address; /* may be null */
} ndi_source_t;

typedef struct ndi_find_create_desc
{
    bool show_local_sources;
    const char *p_groups;
    const char *p_extra_ips; /* comma-separated, null = none */
} ndi_find_create_t;

typedef struct ndi_recv_create_v3_desc
{
    ndi_source_t source_to_connect_to;
    int32_t color_format;
    int32_t bandwidth;
    bool allow_video_fields;
    const char *p_ndi_recv_name;
} ndi_recv_create_v3_t;

typedef struct ndi_video_frame_v2_desc
{
    int xres, yres;
    uint32_t FourCC;
    int frame_rate_N, frame_rate_D;
    float picture_aspect_ratio; /* 0 = square pixels */
    int32_t frame_format_type;
    int64_t timecode; /* 100 ns */
    uint8_t *p_data;
    int line_stride_in_bytes; /* 0 = 4 * xres for BGRX */
    const char *p_metadata;
    int64_t timestamp;
} ndi_video_frame_v2_t;

typedef struct ndi_audio_frame_v2_desc
{
    int sample_rate, no_channels, no_samples; /* samples per channel */
    int64_t timecode;
    float *p_data; /* planar */
    int channel_stride_in_bytes;
    const char *p_metadata;
    int64_t timestamp;
} ndi_audio_frame_v2_t;

typedef struct ndi_audio_frame_interleaved_16s_desc
{
    int sample_rate, no_channels, no_samples;
    int64_t timecode;
    int reference_level; /* dB above +4 dBu at full scale */
    int16_t *p_data;
} ndi_audio_frame_interleaved_16s_t;

typedef struct ndi_metadata_frame_desc
{
    int length;
    int64_t timecode;
    char *p_data;
} ndi_metadata_frame_t;

enum
{
    NDI_FRAME_NONE = 0,
    NDI_FRAME_VIDEO = 1,
    NDI_FRAME_AUDIO = 2,
    NDI_FRAME_METADATA = 3,
    NDI_FRAME_ERROR = 4,
    NDI_FRAME_STATUS_CHANGE = 100,
};
enum
{
    NDI_RECV_COLOR_BGRX_BGRA = 0,
    NDI_RECV_BANDWIDTH_HIGHEST = 100,
};
#define NDI_FOURCC(a, b, c, d) ((uint32_t)(a) | (uint32_t)(b) << 8 | (uint32_t)(c) << 16 | (uint32_t)(d) << 24)
#define NDI_FOURCC_BGRX NDI_FOURCC('B', 'G', 'R', 'X')
#define NDI_FOURCC_BGRA NDI_FOURCC('B', 'G', 'R', 'A')
#define NDI_FRAME_PROGRESSIVE 1

typedef void (*ndi_slot_fn)(void);

/* The table as the runtime's v3 loader returns it; slots the preview does
 * not call are kept as opaque pointers so the offsets stay right. */
typedef struct ndi_api_desc
{
    bool (*initialize)(void);                                                     /* 0 */
    void (*destroy)(void);                                                        /* 1 */
    const char *(*version)(void);                                                 /* 2 */
    ndi_slot_fn is_supported_CPU, find_create;                                    /* 3, 4 */
    ndi_find_t (*find_create_v2)(const ndi_find_create_t *);                      /* 5 */
    void (*find_destroy)(ndi_find_t);                                             /* 6 */
    ndi_slot_fn slots_7_20[14];                                                   /* 7..20 */
    ndi_slot_fn recv_create_v2, recv_create;                                      /* 21, 22 */
    void (*recv_destroy)(ndi_recv_t);                                             /* 23 */
    ndi_slot_fn slots_24_26[3];                                                   /* 24..26 */
    void (*recv_free_metadata)(ndi_recv_t, const ndi_metadata_frame_t *);         /* 27 */
    ndi_slot_fn slots_28_41[14];                                                  /* 28..41 */
    bool (*find_wait_for_sources)(ndi_find_t, uint32_t timeout_ms);               /* 42 */
    const ndi_source_t *(*find_get_current_sources)(ndi_find_t, uint32_t *count); /* 43 */
    ndi_slot_fn slots_44_46[3];                                                   /* 44..46 */
    void (*recv_free_video_v2)(ndi_recv_t, const ndi_video_frame_v2_t *);         /* 47 */
    void (*recv_free_audio_v2)(ndi_recv_t, const ndi_audio_frame_v2_t *);         /* 48 */
    int32_t (*recv_capture_v2)(ndi_recv_t, ndi_video_frame_v2_t *, ndi_audio_frame_v2_t *, ndi_metadata_frame_t *,
                               uint32_t timeout_ms); /* 49 */
    ndi_slot_fn slots_50_52[3];                      /* 50..52 */
    void (*util_audio_to_interleaved_16s_v2)(const ndi_audio_frame_v2_t *,
                                             ndi_audio_frame_interleaved_16s_t *); /* 53 */
    ndi_slot_fn slots_54_83[30];                                                   /* 54..83 */
    ndi_recv_t (*recv_create_v3)(const ndi_recv_create_v3_t *);                    /* 84 */
    void (*recv_connect)(ndi_recv_t, const ndi_source_t *);                        /* 85 */
} ndi_api_t;

typedef const ndi_api_t *(*ndi_load_fn)(void);

} /* extern "C" */

#define NDI_SLOT(m, n) static_assert(offsetof(ndi_api_t, m) == 8 * (n), #m " is not slot " #n)
NDI_SLOT(initialize, 0);
NDI_SLOT(version, 2);
NDI_SLOT(find_create_v2, 5);
NDI_SLOT(find_destroy, 6);
NDI_SLOT(recv_create_v2, 21);
NDI_SLOT(recv_destroy, 23);
NDI_SLOT(recv_free_metadata, 27);
NDI_SLOT(find_wait_for_sources, 42);
NDI_SLOT(find_get_current_sources, 43);
NDI_SLOT(recv_free_video_v2, 47);
NDI_SLOT(recv_free_audio_v2, 48);
NDI_SLOT(recv_capture_v2, 49);
NDI_SLOT(util_audio_to_interleaved_16s_v2, 53);
NDI_SLOT(recv_create_v3, 84);
NDI_SLOT(recv_connect, 85);
#undef NDI_SLOT
static_assert(sizeof(ndi_api_t) == 688, "the v3.5 table prefix is 86 slots");
static_assert(sizeof(ndi_source_t) == 16 && offsetof(ndi_source_t, p_url_address) == 8, "source record");
static_assert(sizeof(ndi_find_create_t) == 24 && offsetof(ndi_find_create_t, p_groups) == 8 &&
                  offsetof(ndi_find_create_t, p_extra_ips) == 16,
              "finder settings");
static_assert(sizeof(ndi_recv_create_v3_t) == 40 && offsetof(ndi_recv_create_v3_t, color_format) == 16 &&
                  offsetof(ndi_recv_create_v3_t, bandwidth) == 20 &&
                  offsetof(ndi_recv_create_v3_t, allow_video_fields) == 24 &&
                  offsetof(ndi_recv_create_v3_t, p_ndi_recv_name) == 32,
              "receiver settings");
static_assert(sizeof(ndi_video_frame_v2_t) == 72 && offsetof(ndi_video_frame_v2_t, FourCC) == 8 &&
                  offsetof(ndi_video_frame_v2_t, picture_aspect_ratio) == 20 &&
                  offsetof(ndi_video_frame_v2_t, frame_format_type) == 24 &&
                  offsetof(ndi_video_frame_v2_t, timecode) == 32 && offsetof(ndi_video_frame_v2_t, p_data) == 40 &&
                  offsetof(ndi_video_frame_v2_t, line_stride_in_bytes) == 48 &&
                  offsetof(ndi_video_frame_v2_t, p_metadata) == 56 && offsetof(ndi_video_frame_v2_t, timestamp) == 64,
              "video frame");
static_assert(sizeof(ndi_audio_frame_v2_t) == 56 && offsetof(ndi_audio_frame_v2_t, no_samples) == 8 &&
                  offsetof(ndi_audio_frame_v2_t, timecode) == 16 && offsetof(ndi_audio_frame_v2_t, p_data) == 24 &&
                  offsetof(ndi_audio_frame_v2_t, channel_stride_in_bytes) == 32 &&
                  offsetof(ndi_audio_frame_v2_t, p_metadata) == 40 && offsetof(ndi_audio_frame_v2_t, timestamp) == 48,
              "audio frame");
static_assert(sizeof(ndi_audio_frame_interleaved_16s_t) == 40 &&
                  offsetof(ndi_audio_frame_interleaved_16s_t, timecode) == 16 &&
                  offsetof(ndi_audio_frame_interleaved_16s_t, reference_level) == 24 &&
                  offsetof(ndi_audio_frame_interleaved_16s_t, p_data) == 32,
              "interleaved audio frame");
static_assert(sizeof(ndi_metadata_frame_t) == 24 && offsetof(ndi_metadata_frame_t, timecode) == 8 &&
                  offsetof(ndi_metadata_frame_t, p_data) == 16,
              "metadata frame");
