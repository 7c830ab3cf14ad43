/* Reading real media files for the library server: technical metadata
 * through libavformat, and thumbnails decoded from a frame of the clip
 * (libavcodec, libswscale) and encoded as PNG. */
#pragma once
#include <stdint.h>

#include <string>

struct AVFormatContext;

typedef struct sim_probe_desc
{
    std::string format_name;
    double duration = 0;   /* container, seconds */
    double duration_v = 0; /* first video stream */
    double duration_a = 0; /* first audio stream */
    int64_t nb_frames = 0;
    int nb_streams = 0;
    int width = 0, height = 0;
    int dar_num = 0, dar_den = 0;
    int sar_num = 0, sar_den = 0;
    int rate_num = 0, rate_den = 0;
    std::string sample_fmt;
    int sample_rate = 0;
    int channels = 0;
    std::string timecode; /* empty when the file carries none */
} sim_probe_t;

/* The largest picture decoded: a side of 8192 and 8K's pixel count. A
 * file whose picture is bigger is described from its header, never
 * decoded (a few megabytes of a flat 16000 x 16000 picture would take
 * gigabytes). */
#define SIM_PROBE_MAX_SIDE 8192
#define SIM_PROBE_MAX_PIXELS (8192 * 4608)
/* The answer for such a picture (EFBIG). */
#define SIM_PROBE_TOO_BIG (-27)

/* Every function takes a descriptor of a regular file opened by the caller
 * (sim_confine_open_file): nothing is looked up by name here. */

/* Fills *p from the file; 0, or a negative value when libavformat cannot
 * read it (p then holds nothing). */
int sim_probe_file(int fd, sim_probe_t *p);

/* The first picture of the file scaled to w x h and encoded as PNG into
 * *png. mode "c": fit inside w x h keeping the picture's aspect; "s":
 * stretch to exactly w x h; "w": w wide with the height that keeps the
 * aspect (h ignored). 0, -22 for a bad size or mode, else another negative
 * value (no video, undecodable). */
int sim_probe_thumb_png(int fd, const char *mode, int w, int h, std::string *png);

/* Opens a media file the way every reader here does (local files of the
 * media formats only, nothing followed); libavformat's result, or
 * SIM_PROBE_TOO_BIG for a picture past the bound. */
int sim_probe_open(int fd, struct AVFormatContext **pf);
