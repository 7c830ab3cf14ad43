/* Thumbnail pictures of a library tree. A header reader tells format and
 * size of image bytes before anything is decoded (pure, no GLib), so that a
 * few bytes claiming a huge picture are refused; a decoder thread per tree
 * turns accepted bytes into small pictures off the main loop and hands them
 * back through idle_wrap. Only formats whose cost the header bounds are
 * decoded: PNG, JPEG, GIF, BMP and TIFF. */
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "idle_wrap.h"

typedef struct _GdkPixbuf GdkPixbuf;

enum
{
    LIBRARY_THUMB_PNG = 1,
    LIBRARY_THUMB_JPEG,
    LIBRARY_THUMB_GIF,
    LIBRARY_THUMB_BMP,
    LIBRARY_THUMB_TIFF,
};

/* A thumbnail is a few hundred pixels wide: the largest side decoded, the
 * pixels of one picture, and of all frames of an animation together. */
#define LIBRARY_THUMB_SIDE_MAX 1024
#define LIBRARY_THUMB_PIXELS_MAX (1024 * 1024)
#define LIBRARY_THUMB_ALL_FRAMES_PIXELS_MAX (4 * 1024 * 1024)
#define LIBRARY_THUMB_FRAMES_MAX 256
/* Scans of a progressive JPEG (each one a pass over the whole picture). */
#define LIBRARY_THUMB_SCANS_MAX 64
/* Samples per pixel and bits per sample of a TIFF. */
#define LIBRARY_THUMB_TIFF_SAMPLES_MAX 8
#define LIBRARY_THUMB_TIFF_BITS_MAX 16
/* The side a decoded thumbnail is fitted into for its row: the size the
 * server is asked for, and the height of every row of the tree. */
#define LIBRARY_THUMB_SHOW_MAX 32
/* Pictures waiting for the decoder, and their bytes together. */
#define LIBRARY_THUMB_QUEUE_MAX 64
#define LIBRARY_THUMB_QUEUE_BYTES (16 * 1024 * 1024)

typedef struct library_thumb_header_desc
{
    int format; /* LIBRARY_THUMB_PNG ... */
    int width, height;
    int frames; /* frames of a GIF, else 1 */
} library_thumb_header_t;

/* Reads format and size from the headers of image bytes: 0 with *h filled,
 * -22 for bytes of no format decoded here or a malformed header, -7 for a
 * picture larger than the bounds above. Reads only within size. */
int library_thumb_header(const void *data, size_t size, library_thumb_header_t *h);
/* The image loader's name of a format ("png", ...), or null. */
const char *library_thumb_format_name(int format);

/* Decodes image bytes whose header passes, on any thread: 0 and a new
 * picture (fitted into fit x fit when fit > 0), or -1. */
int library_thumb_decode(const void *data, size_t size, int fit, GdkPixbuf **ppixbuf);

/* The decoder of one tree. `done` runs on the main loop under `lock` with the picture of row id (null: none to be had; the decoder drops its
 * reference afterwards), and with id 0 once the queue that refused bytes
 * has room again. */
typedef struct library_thumb_desc library_thumb_t;
typedef void (*library_thumb_done_proc)(void *cookie, int64_t id, GdkPixbuf *pb);
/* Main thread. The thread starts with the first bytes. */
library_thumb_t *library_thumb_new(library_thumb_done_proc done, void *cookie, const idle_wrap_lock_t *lock);
/* Queues a copy of the bytes of row id: 0, -22 for no bytes (nothing to
 * decode), -11 when the queue is full (nothing queued: ask again later). */
int library_thumb_queue(library_thumb_t *t, int64_t id, const void *data, size_t size);
/* Main thread: no `done` call after this, whatever was pending; a decode
 * under way is waited for briefly, then its thread ends on its own. */
void library_thumb_release(library_thumb_t *t);
/* Pictures decoded and handed over so far, refused by their header, and
 * queued bytes not yet decoded (tests, benchmark). */
void library_thumb_counts(library_thumb_t *t, int64_t *decoded, int64_t *refused, int *pending);
