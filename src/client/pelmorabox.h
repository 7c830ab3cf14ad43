/* Automation client: the records exchanged with a bus's automation server
 * (events and bus state), their wire forms, and the typed PelmoraBox calls. */
#pragma once
#include <stdint.h>

#define PELMORABOX_EVENT_FLAG_CUEING      0x1
#define PELMORABOX_EVENT_FLAG_PLAY        0x2
#define PELMORABOX_EVENT_FLAG_PRESENT     0x4
#define PELMORABOX_EVENT_FLAG_CUED        0x8
#define PELMORABOX_EVENT_FLAG_CUE_FAILED  0x10
#define PELMORABOX_EVENT_FLAG_PLAY_FAILED 0x20
#define PELMORABOX_EVENT_FLAG_PLAYING     0x40
#define PELMORABOX_EVENT_FLAG_RANGE_ERR   0x100
#define PELMORABOX_EVENT_FLAG_SUBCLIP     0x400
#define PELMORABOX_EVENT_FLAG_NON_CONT    0x2000000

typedef struct pelmorabox_event_meta_pair_desc
{
    char key[256];
    char val[4096];
} pelmorabox_event_meta_pair_t;

typedef struct pelmorabox_event_desc
{
    int event_type;
    char start_time[32];
    char media_id[260];
    char title[260];
    char mark_in[32];
    char mark_out[32];
    char duration[32];
    char assets[260];
    int64_t start;
    int64_t flags;
    char origin[260];
    int64_t amend;
    int64_t sys_id;
    char start_type;
    char fixed_time[32];
    char tag[260];
    int metadata_cnt;
    char audio_map[32];
    char audio_amp[32];
    char ar[32];
    char dst[260];
    int ref;
    pelmorabox_event_meta_pair_t *metadata_pairs;
} pelmorabox_event_t;

typedef enum
{
    PELMORABOX_EVENT_SEARCH_IDX_TITLE = 0,
    PELMORABOX_EVENT_SEARCH_IDX_MEDIA_ID,
    PELMORABOX_EVENT_SEARCH_IDX_ASSETS,
    PELMORABOX_EVENT_SEARCH_IDX_META_KEY,
    PELMORABOX_EVENT_SEARCH_IDX_META_VAL,
    PELMORABOX_EVENT_SEARCH_IDX_START_TIME,
    PELMORABOX_EVENT_SEARCH_IDX_SYS_ID,
    PELMORABOX_EVENT_SEARCH_IDX_LAST
} PELMORABOX_EVENT_SEARCH_IDX;

typedef struct pelmorabox_bus_state_desc
{
    int f_running;
    int64_t amend;
    int64_t count;
    char time[32];
    int64_t er[5];
    char curr_remain[33];
    char ply_remain[32];
    int lib_queued_count;
    int lib_absent_count;
    int lib_present_count;
    int ply_stat_flag_range;
    int ply_stat_flag_subclip;
    char absent_remain[33];
    char last_playlist[260];
    char type_C_remain[33];
    char type_L_remain[33];
    char fixed_time_remain[33];
    char ply_hash[260];
} pelmorabox_bus_state_t;

typedef struct pelmorabox_bus_lib_item_desc
{
    char *origin;
    char *object;
    int ref;
    char dur[32];
    char timecode_at_mark_in[32];
    char timecode[32];
} pelmorabox_bus_lib_item_t;

typedef struct pelmorabox_bus_lib_list_desc
{
    pelmorabox_bus_lib_item_t **list;
    int count;
} pelmorabox_bus_lib_list_t;

/* The functions of this module are declared below this line. */
