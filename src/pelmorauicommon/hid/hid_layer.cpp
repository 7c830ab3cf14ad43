/* The keypad's HID access over a backend table: the enumeration with the
 * report sizes read from each interface's report descriptor, one delivery
 * thread per set-up device, duplicate suppression, the disconnect code, and
 * output reports. */
#include "hid_layer.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "strl.h"

namespace {

/* How long a delivery thread waits in one read: the delay of a stop, and
 * the longest a write from another thread waits for the device. */
const int read_slice_ms = 100;

struct enum_entry
{
    std::string path;
    int read_size, write_size, numbered;
};

struct open_dev
{
    long handle = -1;
    std::string path;
    int numbered = 0, read_size = 0, write_size = 0;
    const hid_layer_backend_t *be = nullptr;
    void *dev = nullptr;

    std::mutex io; /* one backend call at a time; guards dev and closed */
    bool closed = false;

    std::thread reader;   /* started once a callback is set and data enabled (table lock) */
    bool closing = false; /* cleaned up; guarded by the table lock */
    std::atomic<bool> f_stop{false}, f_gone{false}, f_disabled{true}, f_suppress{false};
    std::atomic<hid_layer_data_cb_t> data_cb{nullptr};
    std::atomic<hid_layer_error_cb_t> error_cb{nullptr};
};

std::mutex table_lock; /* backend, entries, devices */
std::mutex enum_lock;  /* one enumeration at a time */
const hid_layer_backend_t *backend = &hid_layer_hidraw_backend;
bool backend_ready;
std::vector<enum_entry> entries;
std::vector<std::shared_ptr<open_dev>> devices;

void close_backend(open_dev *d)
{
    std::lock_guard<std::mutex> g(d->io);
    if (!d->closed) {
        d->closed = true;
        d->be->close(d->dev);
        d->dev = nullptr;
    }
}

/* Joins and closes devices taken out of the table. A device cleaned up from
 * its own callback cannot be joined there; it goes back to be reaped later. */
void finish(std::vector<std::shared_ptr<open_dev>> &gone)
{
    for (auto &d : gone) {
        if (d->reader.joinable() && d->reader.get_id() == std::this_thread::get_id()) {
            std::lock_guard<std::mutex> g(table_lock);
            devices.push_back(d);
            continue;
        }
        if (d->reader.joinable())
            d->reader.join();
        close_backend(d.get());
    }
}

void reap(void)
{
    std::vector<std::shared_ptr<open_dev>> gone;
    {
        std::lock_guard<std::mutex> g(table_lock);
        auto it = std::stable_partition(devices.begin(), devices.end(),
                                        [](const std::shared_ptr<open_dev> &d) { return !d->closing; });
        gone.assign(it, devices.end());
        devices.erase(it, devices.end());
    }
    finish(gone);
}

/* The set-up device of a handle; call with the table lock held. */
std::shared_ptr<open_dev> find_locked(long handle)
{
    for (auto &d : devices)
        if (d->handle == handle && !d->closing)
            return d;
    return nullptr;
}

std::shared_ptr<open_dev> find(long handle)
{
    std::lock_guard<std::mutex> g(table_lock);
    return find_locked(handle);
}

void reader_main(open_dev *d)
{
    static_assert(HID_LAYER_MAX_REPORT > 1, "room for the report id byte");
    std::vector<unsigned char> buf(HID_LAYER_MAX_REPORT), last;
    bool have_last = false;
    /* Without numbered reports hidraw gives the data alone: keep byte 0 for
     * the report id, as the callbacks expect it. */
    const int off = d->numbered ? 0 : 1;
    const int room = (int)buf.size() - off;

    while (!d->f_stop.load()) {
        int n;
        {
            std::lock_guard<std::mutex> g(d->io);
            if (d->closed)
                break;
            n = d->be->read(d->dev, buf.data() + off, room, read_slice_ms);
        }
        if (n == 0)
            continue;
        if (n < 0 || n > room) {
            d->f_gone = true;
            if (d->f_stop.load())
                break;
            /* Gone: every key reads as released. */
            int len = std::min(std::max(d->read_size, 1), (int)buf.size());
            memset(buf.data(), 0, (size_t)len);
            hid_layer_data_cb_t cb = d->data_cb.load();
            if (cb && !d->f_disabled.load())
                cb(buf.data(), len, (int)d->handle, HID_LAYER_ERR_DISCONNECTED);
            if (hid_layer_error_cb_t ecb = d->error_cb.load())
                ecb((int)d->handle, HID_LAYER_ERR_DISCONNECTED);
            break;
        }
        if (off)
            buf[0] = 0;
        int len = n + off;
        if (len < d->read_size) {
            memset(buf.data() + len, 0, (size_t)(d->read_size - len));
            len = d->read_size;
        }
        if (d->f_disabled.load() || d->f_stop.load())
            continue;
        if (d->f_suppress.load() && have_last && last.size() == (size_t)len &&
            memcmp(last.data(), buf.data(), (size_t)len) == 0)
            continue;
        last.assign(buf.begin(), buf.begin() + len);
        have_last = true;
        if (hid_layer_data_cb_t cb = d->data_cb.load())
            cb(buf.data(), len, (int)d->handle, 0);
    }

    bool self_cleaned;
    {
        std::lock_guard<std::mutex> g(table_lock);
        self_cleaned = d->closing;
    }
    if (self_cleaned)
        close_backend(d);
}

void add_bits(uint64_t *acc, uint64_t bits)
{
    /* Bound far above any real report; keeps the sums from wrapping. */
    const uint64_t cap = (uint64_t)HID_LAYER_MAX_REPORT * 8 * 16;
    *acc = bits > cap - *acc ? cap : *acc + bits;
}

int bytes_of(const uint64_t *bits)
{
    uint64_t most = 0;
    for (int i = 0; i < 256; i++)
        most = std::max(most, bits[i]);
    return (int)std::min<uint64_t>((most + 7) / 8, HID_LAYER_MAX_REPORT - 1);
}

} // namespace

int hid_layer_parse_descriptor(const unsigned char *d, size_t len, hid_layer_sizes_t *out)
{
    struct globals
    {
        uint32_t size, count, id;
    } g = {0, 0, 0}, stack[8];
    int depth = 0;
    uint64_t in_bits[256] = {0}, out_bits[256] = {0};
    int numbered = 0;

    if (!d && len)
        return -22;
    size_t i = 0;
    while (i < len) {
        unsigned char prefix = d[i++];
        if (prefix == 0xFE) { /* long item: size, tag, data */
            if (len - i < 2)
                return -22;
            size_t sz = d[i];
            i += 2;
            if (len - i < sz)
                return -22;
            i += sz;
            continue;
        }
        size_t sz = prefix & 3;
        if (sz == 3)
            sz = 4;
        if (len - i < sz)
            return -22;
        uint32_t v = 0;
        for (size_t k = 0; k < sz; k++)
            v |= (uint32_t)d[i + k] << (8 * k);
        i += sz;
        int type = (prefix >> 2) & 3, tag = prefix >> 4;
        if (type == 1) { /* global */
            switch (tag) {
            case 7:
                g.size = v;
                break;
            case 9:
                g.count = v;
                break;
            case 8:
                if (v == 0 || v > 255)
                    return -22;
                g.id = v;
                numbered = 1;
                break;
            case 10:
                if (depth == 8)
                    return -22;
                stack[depth++] = g;
                break;
            case 11:
                if (depth == 0)
                    return -22;
                g = stack[--depth];
                break;
            default:
                break;
            }
        } else if (type == 0) { /* main */
            if (tag == 8)
                add_bits(&in_bits[g.id], (uint64_t)g.size * g.count);
            else if (tag == 9)
                add_bits(&out_bits[g.id], (uint64_t)g.size * g.count);
        }
    }
    if (out) {
        out->input = bytes_of(in_bits);
        out->output = bytes_of(out_bits);
        out->numbered = numbered;
    }
    return 0;
}

int hid_layer_use(const hid_layer_backend_t *be)
{
    if (!be)
        return -22;
    reap();
    std::lock_guard<std::mutex> e(enum_lock);
    std::lock_guard<std::mutex> g(table_lock);
    if (!devices.empty())
        return -16;
    if (backend_ready && backend != be)
        backend->exit();
    if (backend != be)
        backend_ready = false;
    backend = be;
    entries.clear();
    return 0;
}

int hid_layer_enumerate(unsigned int vendor_id, hid_enum_info_t *info, int max)
{
    if (max < 0 || (max && !info))
        return -22;
    reap();
    std::lock_guard<std::mutex> e(enum_lock);
    const hid_layer_backend_t *be;
    {
        std::lock_guard<std::mutex> g(table_lock);
        if (!backend_ready) {
            if (backend->init() < 0)
                return -14;
            backend_ready = true;
        }
        be = backend;
    }

    std::vector<hid_layer_found_t> found(HID_LAYER_MAX_DEVICES);
    int n = be->enumerate(vendor_id, found.data(), HID_LAYER_MAX_DEVICES);
    if (n < 0)
        return -14;
    n = std::min(n, HID_LAYER_MAX_DEVICES);
    found.resize((size_t)n);
    /* The keypad's data interface (usage page 0x000C) first: a pad shows up
     * as several interfaces, and the caller takes the first. */
    std::stable_sort(found.begin(), found.end(), [](const hid_layer_found_t &a, const hid_layer_found_t &b) {
        return (a.usage_page == 0x0C) > (b.usage_page == 0x0C);
    });

    std::vector<enum_entry> fresh;
    std::vector<unsigned char> desc(4096);
    for (int i = 0; i < n; i++) {
        hid_layer_found_t &f = found[(size_t)i];
        f.path[sizeof(f.path) - 1] = 0;
        hid_layer_sizes_t sz = {0, 0, 0};
        int dl = be->report_descriptor(f.path, desc.data(), (int)desc.size());
        /* No readable descriptor: no sizes, so nobody sets it up as a keypad. */
        if (dl < 0 || dl > (int)desc.size() || hid_layer_parse_descriptor(desc.data(), (size_t)dl, &sz) < 0)
            sz = {0, 0, 0};
        enum_entry en = {f.path, sz.input ? sz.input + 1 : 0, sz.output ? sz.output + 1 : 0, sz.numbered};
        fresh.push_back(en);
        if (i < max) {
            hid_enum_info_t *r = &info[i];
            memset(r, 0, sizeof(*r));
            r->PID = f.pid;
            r->Usage = f.usage;
            r->UP = f.usage_page;
            r->readSize = en.read_size;
            r->writeSize = en.write_size;
            r->Handle = i;
            r->Version = f.version;
            f.manufacturer[sizeof(f.manufacturer) - 1] = 0;
            f.product[sizeof(f.product) - 1] = 0;
            f.serial[sizeof(f.serial) - 1] = 0;
            strlcpy(r->DevicePath, f.path, sizeof(r->DevicePath));
            strlcpy(r->ManufacturerString, f.manufacturer, sizeof(r->ManufacturerString));
            strlcpy(r->ProductString, f.product, sizeof(r->ProductString));
            strlcpy(r->SerialNumberString, f.serial, sizeof(r->SerialNumberString));
        }
    }
    std::lock_guard<std::mutex> g(table_lock);
    entries.swap(fresh);
    return n;
}

int hid_layer_write_length(long handle)
{
    std::lock_guard<std::mutex> g(table_lock);
    if (auto d = find_locked(handle))
        return d->write_size;
    if (handle < 0 || handle >= (long)entries.size())
        return -22;
    return entries[(size_t)handle].write_size;
}

int hid_layer_setup(long handle)
{
    reap();
    enum_entry en;
    const hid_layer_backend_t *be;
    {
        std::lock_guard<std::mutex> g(table_lock);
        if (handle < 0 || handle >= (long)entries.size() || !backend_ready)
            return -2;
        if (find_locked(handle))
            return -16;
        en = entries[(size_t)handle];
        be = backend;
    }
    void *dev = be->open(en.path.c_str());
    if (!dev)
        return -19;
    auto d = std::make_shared<open_dev>();
    d->handle = handle;
    d->path = en.path;
    d->numbered = en.numbered;
    d->read_size = en.read_size;
    d->write_size = en.write_size;
    d->be = be;
    d->dev = dev;
    std::lock_guard<std::mutex> g(table_lock);
    if (find_locked(handle)) {
        be->close(dev);
        return -16;
    }
    devices.push_back(d);
    return 0;
}

/* Reading starts once there is somebody to deliver to: until then reports
 * wait in the device's own queue instead of being read and dropped. Table
 * lock held. */
void start_reader_locked(const std::shared_ptr<open_dev> &d)
{
    if (d->data_cb.load() && !d->f_disabled.load() && !d->reader.joinable())
        d->reader = std::thread(reader_main, d.get());
}

int hid_layer_set_data_callback(long handle, hid_layer_data_cb_t cb)
{
    std::lock_guard<std::mutex> g(table_lock);
    auto d = find_locked(handle);
    if (!d)
        return -2;
    d->data_cb = cb;
    start_reader_locked(d);
    return 0;
}

int hid_layer_set_error_callback(long handle, hid_layer_error_cb_t cb)
{
    auto d = find(handle);
    if (!d)
        return -2;
    d->error_cb = cb;
    return 0;
}

int hid_layer_suppress_duplicates(long handle, int on)
{
    auto d = find(handle);
    if (!d)
        return -2;
    d->f_suppress = on != 0;
    return 0;
}

int hid_layer_disable_data(long handle, int disable)
{
    std::lock_guard<std::mutex> g(table_lock);
    auto d = find_locked(handle);
    if (!d)
        return -2;
    d->f_disabled = disable != 0;
    start_reader_locked(d);
    return 0;
}

int hid_layer_write(long handle, const unsigned char *buf, int len)
{
    auto d = find(handle);
    if (!d || d->f_gone.load())
        return -19;
    if (!buf || len <= 0 || len != d->write_size)
        return -22;
    std::lock_guard<std::mutex> g(d->io);
    if (d->closed)
        return -19;
    int r = d->be->write(d->dev, buf, len);
    return r == len ? 0 : -5;
}

int hid_layer_cleanup(long handle)
{
    std::vector<std::shared_ptr<open_dev>> gone;
    {
        std::lock_guard<std::mutex> g(table_lock);
        auto d = find_locked(handle);
        if (!d)
            return -2;
        d->closing = true;
        d->f_stop = true;
        if (d->reader.joinable() && d->reader.get_id() == std::this_thread::get_id())
            return 0; /* the delivery thread closes it once the callback returns */
        devices.erase(std::find(devices.begin(), devices.end(), d));
        gone.push_back(d);
    }
    finish(gone);
    return 0;
}

void hid_layer_exit(void)
{
    std::vector<std::shared_ptr<open_dev>> gone;
    {
        std::lock_guard<std::mutex> g(table_lock);
        for (auto &d : devices) {
            d->closing = true;
            d->f_stop = true;
        }
        gone.swap(devices);
    }
    finish(gone);
    std::lock_guard<std::mutex> e(enum_lock);
    std::lock_guard<std::mutex> g(table_lock);
    if (backend_ready && devices.empty()) {
        backend->exit();
        backend_ready = false;
    }
    entries.clear();
}
