/* Real output files for the simulator's transcoder jobs: the source decoded,
 * its picture scaled and retimed to the output's size and rate and encoded
 * as MPEG-2 4:2:2, its sound resampled to 48 kHz with a gain and kept as
 * 16-bit PCM, both in one MXF file written under a temporary name in the
 * destination folder and renamed when complete. */
#pragma once
#include <stdint.h>

#include <functional>
#include <string>

/* Longest output, in seconds: a source past it is refused. */
#define SIM_ENCODE_MAX_SECONDS (4 * 3600)

typedef struct sim_encode_params_desc
{
    int width = 0, height = 0;      /* 0: the source's, fitted in 1920 x 1080 */
    int rate_num = 0, rate_den = 0; /* 0: the source's when MXF takes it, else 25 */
    int f_interlaced = 0;
    double gain_db = 0;     /* applied to every audio channel */
    int64_t in_frames = 0;  /* first frame of the source used */
    int64_t dur_frames = 0; /* frames used; 0: to the end */
} sim_encode_params_t;

/* The picture of one of the IO player's modes ("1080i50", "720p50",
 * "576i50", "1080p25"); -2 for a name it does not offer. */
int sim_encode_mode(const std::string &mode, sim_encode_params_t *p);

/* Encodes the open regular file src_fd (sim_confine_open_file) into
 * out_name in the folder out_dir, never over a file that is there.
 * progress(percent) is told as the work goes; a false answer stops it.
 * 0 when the file is in place; otherwise nothing is left at out_name and
 * the result is -125 (stopped), -28 (no space; the output is bounded by
 * the folder's free space), -27 (source past the bounds), -17 (name
 * taken) or another negative value, with *why saying it for the operator.
 * before_rename, when given, is called with the temporary file's name
 * once it is complete and may refuse it (its negative answer is the
 * result). */
int sim_encode_file(int src_fd, int out_dir, const std::string &out_name, const sim_encode_params_t &p,
                    const std::function<bool(int)> &progress, std::string *why,
                    const std::function<int(const std::string &tmp)> &before_rename = nullptr);
