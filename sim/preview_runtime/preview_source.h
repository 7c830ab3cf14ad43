/* What the stand-in runtime shows of one simulated IO player: the decoded
 * frame of its clip at its position (a test card with the clip name and
 * timecode while idle), and eight channels of its sound at 48 kHz (a
 * line-up tone while idle). */
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#define PS_CHANNELS 8
#define PS_RATE 48000
/* Frames and audio blocks per second (the simulator's timecode rate). */
#define PS_FPS 25
/* Largest picture handed out; bigger clips are scaled down. */
#define PS_MAX_W 1920
#define PS_MAX_H 1080

typedef struct ps_source_desc ps_source_t;

typedef struct ps_picture_desc
{
    int w = 0, h = 0;
    float aspect = 0;
    std::vector<uint8_t> bgrx; /* w * h * 4 */
} ps_picture_t;

/* The folder where players announce themselves, one file per port; a
 * player's file names its media folder ("media=/path"). */
std::string ps_announce_dir(void);
/* The player whose XML-RPC endpoint is 127.0.0.1:port. Its calls go through
 * the console's guarded client (pelmora_init done by the runtime). */
ps_source_t *ps_source_new(int port);
void ps_source_free(ps_source_t *s);
/* Asks the player where it is and renders that picture. 0, or -14 when the
 * player gives no usable answer (nothing rendered). *playing: 1 while the clip
 * plays (its sound waits in ps_source_audio), 2 while it stands on a clip
 * (silence), 0 when idle (tone). */
int ps_source_picture(ps_source_t *s, ps_picture_t *out, int *playing);
/* Takes `n` samples per channel of the clip's sound; what is missing is
 * silence. */
void ps_source_audio(ps_source_t *s, float *planar, int n, int stride_floats);
/* Tone level of channel `ch` in dBFS; -inf for the silent channel. */
double ps_tone_dbfs(int ch);
/* `n` planar samples per channel at `*phase` (advanced). */
void ps_tone(float *planar, int n, int stride_floats, int64_t *phase);
