/* Thumbnail pictures of a library tree: the header reader, the decode, and
 * the decoder thread with its hand-over (see library_thumb.h). */
#include "library_thumb.h"

#include <string.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gdk-pixbuf/gdk-pixbuf.h>

/* ---- Header reader ---- */

namespace {

struct bytes_view
{
    const unsigned char *p;
    size_t n;
    bool has(size_t off, size_t len) const { return off <= n && len <= n - off; }
    unsigned u8(size_t off) const { return p[off]; }
    uint32_t be16(size_t off) const { return (uint32_t)p[off] << 8 | p[off + 1]; }
    uint32_t le16(size_t off) const { return (uint32_t)p[off + 1] << 8 | p[off]; }
    uint32_t be32(size_t off) const { return be16(off) << 16 | be16(off + 2); }
    uint32_t le32(size_t off) const { return le16(off + 2) << 16 | le16(off); }
};

int fill(library_thumb_header_t *h, int format, uint64_t w, uint64_t ht, int frames)
{
    if (!w || !ht)
        return -22;
    if (w > LIBRARY_THUMB_SIDE_MAX || ht > LIBRARY_THUMB_SIDE_MAX || w * ht > LIBRARY_THUMB_PIXELS_MAX)
        return -7;
    h->format = format;
    h->width = (int)w;
    h->height = (int)ht;
    h->frames = frames;
    return 0;
}

int png_header(const bytes_view &b, library_thumb_header_t *h)
{
    /* The first chunk is IHDR: width and height. */
    if (!b.has(8, 16) || b.be32(8) != 13 || memcmp(b.p + 12, "IHDR", 4))
        return -22;
    return fill(h, LIBRARY_THUMB_PNG, b.be32(16), b.be32(20), 1);
}

bool jpeg_sof(unsigned m)
{
    return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

int jpeg_header(const bytes_view &b, library_thumb_header_t *h)
{
    /* The markers are walked as the decoder walks them (bytes before a
     * 0xFF are skipped): the frame header gives the size, and the scans are
     * counted, each being one more pass over the whole picture. */
    size_t i = 2;
    int scans = 0;
    bool sof = false;
    uint32_t w = 0, ht = 0;
    while (i < b.n) {
        while (i < b.n && b.u8(i) != 0xFF)
            i++;
        while (i < b.n && b.u8(i) == 0xFF)
            i++;
        if (i >= b.n)
            break;
        unsigned m = b.u8(i++);
        if (m == 0xD9)
            break;
        if (m == 0xD8 || m == 0x00)
            return -22;
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD7))
            continue;
        if (!b.has(i, 2) || b.be16(i) < 2 || !b.has(i, b.be16(i))) {
            if (sof)
                break; /* cut short after the frame header: decoded as far as it goes */
            return -22;
        }
        size_t len = b.be16(i);
        if (jpeg_sof(m)) {
            if (sof || len < 8)
                return -22;
            sof = true;
            ht = b.be16(i + 3);
            w = b.be16(i + 5);
        } else if (m == 0xDA) {
            if (!sof)
                return -22;
            if (++scans > LIBRARY_THUMB_SCANS_MAX)
                return -7;
            /* The coded data up to the next marker; 0xFF 0x00 and restart
             * markers belong to it. */
            i += len;
            while (b.has(i, 2)) {
                if (b.u8(i) == 0xFF) {
                    unsigned n = b.u8(i + 1);
                    if (n != 0x00 && n != 0xFF && !(n >= 0xD0 && n <= 0xD7))
                        break;
                    if (n != 0xFF) {
                        i += 2;
                        continue;
                    }
                }
                i++;
            }
            if (!b.has(i, 2))
                break;
            continue;
        }
        i += len;
    }
    if (!sof)
        return -22;
    return fill(h, LIBRARY_THUMB_JPEG, w, ht, 1);
}

/* Skips a GIF's data sub-blocks; false when they run past the end. */
bool gif_skip_blocks(const bytes_view &b, size_t &i)
{
    while (i < b.n) {
        unsigned len = b.u8(i++);
        if (!len)
            return true;
        if (!b.has(i, len))
            return false;
        i += len;
    }
    return false;
}

int gif_header(const bytes_view &b, library_thumb_header_t *h)
{
    /* The logical screen, then every frame: a frame may reach beyond the
     * screen, and an animation keeps all its frames. */
    if (!b.has(0, 13))
        return -22;
    uint64_t w = b.le16(6), ht = b.le16(8);
    unsigned packed = b.u8(10);
    size_t i = 13;
    if (packed & 0x80)
        i += (size_t)3 << ((packed & 7) + 1);
    int frames = 0;
    while (i < b.n) {
        unsigned c = b.u8(i++);
        if (c == 0x3B)
            break;
        if (c == 0x21) {
            if (i >= b.n)
                break;
            i++; /* the label */
            if (!gif_skip_blocks(b, i))
                break;
        } else if (c == 0x2C) {
            if (!b.has(i, 9))
                break;
            uint64_t x = b.le16(i), y = b.le16(i + 2), fw = b.le16(i + 4), fh = b.le16(i + 6);
            unsigned fp = b.u8(i + 8);
            i += 9;
            if (++frames > LIBRARY_THUMB_FRAMES_MAX)
                return -7;
            w = std::max(w, x + fw);
            ht = std::max(ht, y + fh);
            if (w > LIBRARY_THUMB_SIDE_MAX || ht > LIBRARY_THUMB_SIDE_MAX)
                return -7;
            if (fp & 0x80)
                i += (size_t)3 << ((fp & 7) + 1);
            i++; /* the code size */
            if (i > b.n || !gif_skip_blocks(b, i))
                break;
        } else
            return -22;
    }
    if (!frames)
        return -22;
    if (w * ht * (uint64_t)frames > LIBRARY_THUMB_ALL_FRAMES_PIXELS_MAX)
        return -7;
    return fill(h, LIBRARY_THUMB_GIF, w, ht, frames);
}

int bmp_header(const bytes_view &b, library_thumb_header_t *h)
{
    if (!b.has(14, 4))
        return -22;
    uint32_t hs = b.le32(14);
    if (hs == 12) { /* the old core header: 16-bit sizes */
        if (!b.has(18, 4))
            return -22;
        return fill(h, LIBRARY_THUMB_BMP, b.le16(18), b.le16(20), 1);
    }
    if (hs < 40 || hs > 124 || !b.has(18, 8))
        return -22;
    int32_t w = (int32_t)b.le32(18), ht = (int32_t)b.le32(22);
    if (w <= 0 || ht == INT32_MIN)
        return -22;
    /* A negative height is a picture stored top down. */
    return fill(h, LIBRARY_THUMB_BMP, (uint64_t)w, (uint64_t)(ht < 0 ? -(int64_t)ht : ht), 1);
}

int tiff_header(const bytes_view &b, library_thumb_header_t *h)
{
    bool le = b.p[0] == 'I';
    auto u16 = [&](size_t off) { return le ? b.le16(off) : b.be16(off); };
    auto u32 = [&](size_t off) { return le ? b.le32(off) : b.be32(off); };
    if (!b.has(4, 4))
        return -22;
    size_t ifd = u32(4);
    if (!b.has(ifd, 2))
        return -22;
    size_t cnt = u16(ifd);
    if (!b.has(ifd + 2, cnt * 12))
        return -22;
    /* The first directory is the picture decoded: its size, its tile size
     * (a tile is decoded whole, whatever the picture's size) and the width
     * of its samples. */
    int64_t w = -1, ht = -1, tw = -1, th = -1, spp = -1;
    size_t bps_entry = 0;
    for (size_t k = 0; k < cnt; k++) {
        size_t e = ifd + 2 + k * 12;
        uint32_t tag = u16(e), type = u16(e + 2), count = u32(e + 4);
        int64_t *slot = tag == 256   ? &w
                        : tag == 257 ? &ht
                        : tag == 322 ? &tw
                        : tag == 323 ? &th
                        : tag == 277 ? &spp
                                     : nullptr;
        if (tag == 258) {
            if (bps_entry)
                return -22;
            bps_entry = e;
            continue;
        }
        if (!slot)
            continue;
        if (*slot >= 0 || count != 1 || (type != 3 && type != 4))
            return -22;
        *slot = type == 3 ? u16(e + 8) : u32(e + 8);
    }
    if (w < 0 || ht < 0)
        return -22;
    if (spp < 0)
        spp = 1;
    if (spp == 0)
        return -22;
    if (spp > LIBRARY_THUMB_TIFF_SAMPLES_MAX || tw > LIBRARY_THUMB_SIDE_MAX || th > LIBRARY_THUMB_SIDE_MAX)
        return -7;
    if (tw == 0 || th == 0)
        return -22;
    if (bps_entry) {
        uint32_t type = u16(bps_entry + 2), count = u32(bps_entry + 4);
        if (type != 3 || count == 0 || count > (uint32_t)spp)
            return -22;
        size_t at = count <= 2 ? bps_entry + 8 : u32(bps_entry + 8);
        if (!b.has(at, (size_t)count * 2))
            return -22;
        for (uint32_t k = 0; k < count; k++) {
            uint32_t bits = u16(at + 2 * k);
            if (!bits)
                return -22;
            if (bits > LIBRARY_THUMB_TIFF_BITS_MAX)
                return -7;
        }
    }
    return fill(h, LIBRARY_THUMB_TIFF, (uint64_t)w, (uint64_t)ht, 1);
}

} // namespace

int library_thumb_header(const void *data, size_t size, library_thumb_header_t *h)
{
    if (!data || !h)
        return -22;
    memset(h, 0, sizeof(*h));
    bytes_view b{static_cast<const unsigned char *>(data), size};
    if (b.has(0, 8) && !memcmp(b.p, "\x89PNG\r\n\x1a\n", 8))
        return png_header(b, h);
    if (b.has(0, 3) && b.p[0] == 0xFF && b.p[1] == 0xD8 && b.p[2] == 0xFF)
        return jpeg_header(b, h);
    if (b.has(0, 6) && (!memcmp(b.p, "GIF87a", 6) || !memcmp(b.p, "GIF89a", 6)))
        return gif_header(b, h);
    if (b.has(0, 2) && b.p[0] == 'B' && b.p[1] == 'M')
        return bmp_header(b, h);
    if (b.has(0, 4) && (!memcmp(b.p, "II*\0", 4) || !memcmp(b.p, "MM\0*", 4)))
        return tiff_header(b, h);
    /* Anything else (vector pictures above all, whose cost no header
     * tells) is not decoded. */
    return -22;
}

const char *library_thumb_format_name(int format)
{
    switch (format) {
    case LIBRARY_THUMB_PNG:
        return "png";
    case LIBRARY_THUMB_JPEG:
        return "jpeg";
    case LIBRARY_THUMB_GIF:
        return "gif";
    case LIBRARY_THUMB_BMP:
        return "bmp";
    case LIBRARY_THUMB_TIFF:
        return "tiff";
    default:
        return nullptr;
    }
}

/* ---- Decode ---- */

namespace {

void on_size_prepared(GdkPixbufLoader *l, gint w, gint h, gpointer bad)
{
    /* The loader's own idea of the size must agree with the header's
     * bounds; if not, nothing of that size is made and the result is
     * dropped. */
    if (w <= 0 || h <= 0 || w > LIBRARY_THUMB_SIDE_MAX || h > LIBRARY_THUMB_SIDE_MAX ||
        (int64_t)w * h > LIBRARY_THUMB_PIXELS_MAX) {
        *static_cast<int *>(bad) = 1;
        gdk_pixbuf_loader_set_size(l, 1, 1);
    }
}

} // namespace

int library_thumb_decode(const void *data, size_t size, int fit, GdkPixbuf **ppixbuf)
{
    if (!ppixbuf)
        return -1;
    *ppixbuf = nullptr;
    library_thumb_header_t h;
    if (!data || !size || library_thumb_header(data, size, &h) < 0)
        return -1;
    /* The loader of the format the header named, not one that guesses. */
    GdkPixbufLoader *loader = gdk_pixbuf_loader_new_with_type(library_thumb_format_name(h.format), nullptr);
    if (!loader)
        return -1;
    int bad = 0;
    g_signal_connect(loader, "size-prepared", G_CALLBACK(on_size_prepared), &bad);
    int r = 0;
    if (!gdk_pixbuf_loader_write(loader, static_cast<const guchar *>(data), size, nullptr)) {
        g_warning("on_library_row_expanded: gdk_pixbuf_loader_write return FALSE");
        r = -1;
    }
    if (!gdk_pixbuf_loader_close(loader, nullptr)) {
        if (!r)
            g_warning("library_thumb_from_data: gdk_pixbuf_loader_close return FALSE");
        r = -1;
    }
    GdkPixbuf *pb = r || bad ? nullptr : gdk_pixbuf_loader_get_pixbuf(loader);
    if (pb) {
        int w = gdk_pixbuf_get_width(pb), ht = gdk_pixbuf_get_height(pb);
        if (fit > 0 && (w > fit || ht > fit)) {
            double k = std::min((double)fit / w, (double)fit / ht);
            *ppixbuf = gdk_pixbuf_scale_simple(pb, std::max(1, (int)(w * k + 0.5)), std::max(1, (int)(ht * k + 0.5)),
                                               GDK_INTERP_BILINEAR);
        } else
            *ppixbuf = GDK_PIXBUF(g_object_ref(pb));
    }
    g_object_unref(loader);
    return *ppixbuf ? 0 : -1;
}

/* ---- Decoder thread ---- */

namespace {

struct thumb_job
{
    int64_t id;
    std::vector<unsigned char> bytes;
};

struct thumb_result
{
    int64_t id;
    GdkPixbuf *pb;
};

/* Results handed to the main loop at once. */
const size_t THUMB_BATCH = 16;
/* How long a release waits for a decode under way. */
const int THUMB_RELEASE_WAIT_MS = 50;

struct thumb_state
{
    library_thumb_done_proc done = nullptr;
    void *cookie = nullptr;
    const idle_wrap_lock_t *lock = nullptr;
    std::mutex m;
    std::condition_variable cv;
    std::deque<thumb_job> queue;
    size_t queued_bytes = 0;
    bool released = false, started = false, decoding = false;
    bool refused_full = false; /* bytes were refused: say when there is room */
    int64_t decoded = 0, failed = 0;
    std::thread worker;
};

void thumb_worker(std::shared_ptr<thumb_state> s)
{
    std::vector<thumb_result> results;
    for (;;) {
        thumb_job job;
        {
            std::unique_lock<std::mutex> g(s->m);
            s->cv.wait(g, [&] { return s->released || !s->queue.empty(); });
            if (s->released)
                break;
            job = std::move(s->queue.front());
            s->queue.pop_front();
            s->queued_bytes -= job.bytes.size();
            s->decoding = true;
        }
        GdkPixbuf *pb = nullptr;
        library_thumb_decode(job.bytes.data(), job.bytes.size(), LIBRARY_THUMB_SHOW_MAX, &pb);
        results.push_back({job.id, pb});
        bool room = false;
        {
            std::lock_guard<std::mutex> g(s->m);
            s->decoding = false;
            (pb ? s->decoded : s->failed)++;
            s->cv.notify_all();
            if (s->released)
                break;
            if (!s->queue.empty() && results.size() < THUMB_BATCH)
                continue;
            if (s->queue.empty() && s->refused_full) {
                s->refused_full = false;
                room = true;
            }
        }
        /* The body runs on the main loop, where a release also runs: a
         * released decoder calls nobody. */
        idle_wrap_call(
            [&] {
                bool gone;
                {
                    std::lock_guard<std::mutex> g(s->m);
                    gone = s->released;
                }
                for (const thumb_result &r : results)
                    if (!gone)
                        s->done(s->cookie, r.id, r.pb);
                if (room && !gone)
                    s->done(s->cookie, 0, nullptr);
            },
            s->lock);
        for (const thumb_result &r : results)
            if (r.pb)
                g_object_unref(r.pb);
        results.clear();
    }
    for (const thumb_result &r : results)
        if (r.pb)
            g_object_unref(r.pb);
}

} // namespace

struct library_thumb_desc
{
    std::shared_ptr<thumb_state> s;
};

library_thumb_t *library_thumb_new(library_thumb_done_proc done, void *cookie, const idle_wrap_lock_t *lock)
{
    if (!done)
        return nullptr;
    auto *t = new library_thumb_desc();
    t->s = std::make_shared<thumb_state>();
    t->s->done = done;
    t->s->cookie = cookie;
    t->s->lock = lock;
    return t;
}

int library_thumb_queue(library_thumb_t *t, int64_t id, const void *data, size_t size)
{
    /* Bytes that could never fit the queue are refused for good. */
    if (!t || !data || !size || size > LIBRARY_THUMB_QUEUE_BYTES)
        return -22;
    thumb_state *s = t->s.get();
    {
        std::lock_guard<std::mutex> g(s->m);
        if (s->released)
            return -22;
        if (s->queue.size() >= LIBRARY_THUMB_QUEUE_MAX || s->queued_bytes + size > LIBRARY_THUMB_QUEUE_BYTES) {
            s->refused_full = true;
            return -11;
        }
        const unsigned char *p = static_cast<const unsigned char *>(data);
        s->queue.push_back({id, std::vector<unsigned char>(p, p + size)});
        s->queued_bytes += size;
        if (!s->started) {
            s->started = true;
            s->worker = std::thread(thumb_worker, t->s);
        }
    }
    s->cv.notify_all();
    return 0;
}

void library_thumb_release(library_thumb_t *t)
{
    if (!t)
        return;
    std::shared_ptr<thumb_state> s = t->s;
    delete t;
    {
        std::unique_lock<std::mutex> g(s->m);
        s->released = true;
        s->queue.clear();
        s->queued_bytes = 0;
        s->cv.notify_all();
        /* A decode under way is bounded by the header's limits: it is let
         * finish, so the process never ends in the middle of one. The
         * thread may be waiting for the main loop instead (this one): then
         * it sees the release there and ends by itself. */
        s->cv.wait_for(g, std::chrono::milliseconds(THUMB_RELEASE_WAIT_MS), [&] { return !s->decoding; });
    }
    if (s->worker.joinable())
        s->worker.detach();
}

void library_thumb_counts(library_thumb_t *t, int64_t *decoded, int64_t *refused, int *pending)
{
    if (!t)
        return;
    std::lock_guard<std::mutex> g(t->s->m);
    if (decoded)
        *decoded = t->s->decoded;
    if (refused)
        *refused = t->s->failed;
    if (pending)
        *pending = (int)t->s->queue.size() + (t->s->decoding ? 1 : 0);
}
