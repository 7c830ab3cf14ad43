/* The preview's sound output on the sound server's default sink: 48 kHz
 * stereo 16-bit, a 200 ms buffer, the stream's own volume. Opened lazily by
 * the receive thread, at most once every 3 s, and released when the server
 * or the device goes away. No GTK here. */
#pragma once
#include <stdint.h>

typedef struct preview_sound_desc preview_sound_t;

preview_sound_t *preview_sound_new(int volume);
/* Only after the thread that plays has ended. */
void preview_sound_free(preview_sound_t *s);
/* Receive thread: plays the pair `pair` (1..4; 0 = silence) of `n`
 * interleaved samples of `nch` channels. 0 when written, -5 when the
 * output is not open (an attempt is made every 3 s). */
int preview_sound_play(preview_sound_t *s, const int16_t *in, int nch, int n, int pair);
/* Any thread: 0..65535; applied to an open output, kept for the next one. */
void preview_sound_volume(preview_sound_t *s, int value);
/* Whether an output is open now. */
int preview_sound_is_open(preview_sound_t *s);
