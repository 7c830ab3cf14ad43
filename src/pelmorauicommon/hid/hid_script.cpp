/* Scripted HID devices: what the hidraw backend would see from a real one,
 * driven by a test. */
#include "hid_script.h"

#include <string.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "hid_layer.h"
#include "strl.h"

namespace {

struct script_dev
{
    unsigned pid = 0, usage_page = 0, usage = 0;
    hid_script_bytes_t descriptor;
    bool present = false;
    int generation = 0;
    int opens = 0;
    bool reader_waiting = false;
    std::deque<hid_script_bytes_t> queue;
    std::vector<hid_script_bytes_t> writes;
};

struct script_handle
{
    std::string path;
    int generation;
};

std::mutex lock;
std::condition_variable changed;
std::map<std::string, script_dev> devs;
std::vector<std::string> plug_order;
bool fail_enumeration;

/* The device a handle still refers to, or null once it was unplugged. */
script_dev *live(const script_handle *h)
{
    auto it = devs.find(h->path);
    if (it == devs.end() || !it->second.present || it->second.generation != h->generation)
        return nullptr;
    return &it->second;
}

int script_init(void)
{
    return 0;
}

void script_exit(void) {}

int script_enumerate(unsigned int vendor_id, hid_layer_found_t *out, int max)
{
    (void)vendor_id; /* every scripted device belongs to the vendor asked for */
    std::lock_guard<std::mutex> g(lock);
    if (fail_enumeration)
        return -1;
    int n = 0;
    for (const auto &p : plug_order) {
        const script_dev &d = devs[p];
        if (!d.present || n >= max)
            continue;
        hid_layer_found_t *f = &out[n++];
        memset(f, 0, sizeof(*f));
        strlcpy(f->path, p.c_str(), sizeof(f->path));
        f->pid = d.pid;
        f->usage_page = d.usage_page;
        f->usage = d.usage;
        f->version = (unsigned)d.generation;
        strlcpy(f->product, "scripted keypad", sizeof(f->product));
    }
    return n;
}

int script_report_descriptor(const char *path, unsigned char *buf, int size)
{
    std::lock_guard<std::mutex> g(lock);
    auto it = devs.find(path);
    if (it == devs.end())
        return -2;
    int n = (int)std::min(it->second.descriptor.size(), (size_t)size);
    memcpy(buf, it->second.descriptor.data(), (size_t)n);
    return n;
}

void *script_open(const char *path)
{
    std::lock_guard<std::mutex> g(lock);
    auto it = devs.find(path);
    if (it == devs.end() || !it->second.present)
        return nullptr;
    it->second.opens++;
    changed.notify_all();
    return new script_handle{path, it->second.generation};
}

int script_read(void *dev, unsigned char *buf, int size, int ms)
{
    auto *h = static_cast<script_handle *>(dev);
    std::unique_lock<std::mutex> g(lock);
    script_dev *d = live(h);
    if (!d)
        return -1;
    if (d->queue.empty()) {
        d->reader_waiting = true;
        changed.notify_all();
        changed.wait_for(g, std::chrono::milliseconds(ms), [&] {
            script_dev *now = live(h);
            return !now || !now->queue.empty();
        });
        d = live(h);
        if (!d)
            return -1;
        d->reader_waiting = false;
        if (d->queue.empty())
            return 0;
    }
    d->reader_waiting = false;
    hid_script_bytes_t r = std::move(d->queue.front());
    d->queue.pop_front();
    int n = (int)std::min(r.size(), (size_t)size);
    memcpy(buf, r.data(), (size_t)n);
    return n;
}

int script_write(void *dev, const unsigned char *buf, int len)
{
    auto *h = static_cast<script_handle *>(dev);
    std::lock_guard<std::mutex> g(lock);
    script_dev *d = live(h);
    if (!d)
        return -1;
    d->writes.emplace_back(buf, buf + len);
    return len;
}

void script_close(void *dev)
{
    delete static_cast<script_handle *>(dev);
}

} // namespace

const hid_layer_backend_t hid_layer_script_backend = {
    "script",    script_init, script_exit,  script_enumerate, script_report_descriptor,
    script_open, script_read, script_write, script_close,
};

void hid_script_reset(void)
{
    std::lock_guard<std::mutex> g(lock);
    devs.clear();
    plug_order.clear();
    fail_enumeration = false;
    changed.notify_all();
}

void hid_script_plug(const std::string &path, unsigned pid, unsigned usage_page, unsigned usage,
                     const hid_script_bytes_t &descriptor)
{
    std::lock_guard<std::mutex> g(lock);
    script_dev &d = devs[path];
    if (std::find(plug_order.begin(), plug_order.end(), path) == plug_order.end())
        plug_order.push_back(path);
    d.pid = pid;
    d.usage_page = usage_page;
    d.usage = usage;
    d.descriptor = descriptor;
    d.present = true;
    d.generation++;
    d.reader_waiting = false;
    d.queue.clear();
    changed.notify_all();
}

void hid_script_unplug(const std::string &path)
{
    std::lock_guard<std::mutex> g(lock);
    auto it = devs.find(path);
    if (it != devs.end()) {
        it->second.present = false;
        it->second.queue.clear();
    }
    changed.notify_all();
}

void hid_script_fail_enumeration(bool on)
{
    std::lock_guard<std::mutex> g(lock);
    fail_enumeration = on;
}

bool hid_script_report(const std::string &path, const hid_script_bytes_t &raw)
{
    std::lock_guard<std::mutex> g(lock);
    auto it = devs.find(path);
    if (it == devs.end() || !it->second.present)
        return false;
    it->second.queue.push_back(raw);
    it->second.reader_waiting = false;
    changed.notify_all();
    return true;
}

bool hid_script_wait_idle(const std::string &path, int ms)
{
    std::unique_lock<std::mutex> g(lock);
    return changed.wait_for(g, std::chrono::milliseconds(ms), [&] {
        auto it = devs.find(path);
        return it != devs.end() && it->second.queue.empty() && it->second.reader_waiting;
    });
}

bool hid_script_wait_opened(const std::string &path, int n, int ms)
{
    std::unique_lock<std::mutex> g(lock);
    return changed.wait_for(g, std::chrono::milliseconds(ms), [&] {
        auto it = devs.find(path);
        return it != devs.end() && it->second.opens >= n;
    });
}

std::vector<hid_script_bytes_t> hid_script_writes(const std::string &path)
{
    std::lock_guard<std::mutex> g(lock);
    auto it = devs.find(path);
    return it == devs.end() ? std::vector<hid_script_bytes_t>() : it->second.writes;
}

void hid_script_clear_writes(void)
{
    std::lock_guard<std::mutex> g(lock);
    for (auto &d : devs)
        d.second.writes.clear();
}
