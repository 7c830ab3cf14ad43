/* Client of an IO server's configuration (PelmoraIO settings methods): the
 * settings as named texts, the video modes with their encoders and OSD
 * choices, and the recording audio configurations with their channel map
 * text, shared by the settings dialog and the transcoder job list. */
#pragma once
#include <stddef.h>

#include <xmlrpc-c/base.h>

typedef struct pelmora_io_settings_desc
{
    char playback_osd[260];
    char playback_timecode_src[260];
    char record_timecode_src[260];
    char record_bitdepth[260];
    char record_channels_map[260];
    char ver[260];
    char mode[260];
    char enc[260];
    char record_producer_buffer[260];
    char playback_consumer_preroll[260];
    char playback_consumer_buffer[260];
    char playback_consumer_prefill[260];
    char playback_consumer_noscale[260];
    int record_channels_conf;
    int keyer;
} pelmora_io_settings_t;

typedef struct pelmora_io_enc_desc
{
    int idx;
    char name[260];
    char desc[260];
    void *priv;
    int caps;
} pelmora_io_enc_t;

typedef struct pelmora_io_mode_desc
{
    int idx;
    char name[260];
    char desc[260];
    pelmora_io_enc_t **enc;
    int enc_cnt;
    char **osd; /* osd_cnt names, then a null entry */
    int osd_cnt;
    void *priv;
} pelmora_io_mode_t;

/* Bounds on what one answer may hold; more is refused as a bad answer. */
#define PELMORA_IO_SETTINGS_MAX 1024
#define PELMORA_IO_MODES_MAX 256
#define PELMORA_IO_ENCS_MAX 512
#define PELMORA_IO_OSDS_MAX 256

/* Fills *s in place (the caller zeroes it first). */
int pelmora_io_settings_get(const char *url, pelmora_io_settings_t *s);
/* *pitems: a null-terminated array of the returned count of modes. */
int pelmora_io_settings_get_modes(const char *url, pelmora_io_mode_t ***pitems);
int pelmora_io_settings_free_modes(pelmora_io_mode_t ***pitems);
int pelmora_io_settings_save(const char *url);
int pelmora_io_settings_set_mode(const char *url, int mode_idx, int enc_idx);
int pelmora_io_settings_set_mode2(const char *url, const char *mode, const char *enc);
int pelmora_io_settings_set_value(const char *url, const char *name, const char *value);

/* The answer readers behind the two reading calls (answer not released),
 * shared with the fuzz targets. */
int pelmora_io_settings_read(const char *caller, xmlrpc_value *answer, pelmora_io_settings_t *s);
int pelmora_io_modes_read(const char *caller, xmlrpc_value *answer, pelmora_io_mode_t ***pitems);

const char *pelmora_settings_get_record_channels_conf(int idx);
const char *pelmora_settings_get_record_maps_template(int idx);
int pelmora_settings_get_record_channels_conf_cnt(void);
/* Source channel at position idx of a channel map text (0 when none). */
int pelmora_settings_get_record_map_idx(int idx, const char *map);
/* The configuration's template filled with the map's channels, each plus one. */
char *pelmora_settings_record_map_build(char *buf, size_t lim, int record_channels_conf,
                                        const char *record_channels_map);
