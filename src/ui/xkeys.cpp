/* Keypad context, bindings and report handling. Reports arrive on the HID
 * layer's delivery thread; bindings are made on the main thread before
 * delivery starts; a watcher thread takes a replugged keypad up again. The
 * context is shared by these three, so it is kept under one lock. */
#include "xkeys.h"

#include <glib.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "hid/hid_layer.h"

namespace {

const int xkeys_writelen = 36;
const int xkeys_usage_page = 0x0C;
const unsigned char xkeys_cmd_backlight = 181;
/* How often the watcher looks for a keypad that went away: a replugged pad
 * works again well within 2 s. */
const int xkeys_watch_ms = 250;

struct xkeys_ctx_desc
{
    int hDevice;
    int count;
    int writelen;
    hid_enum_info_t info[HID_LAYER_MAX_DEVICES];
    unsigned char D[4];
    struct
    {
        xkeys_callback_t proc;
        void *cookie;
        int active;
    } callbacks[XKEYS_KEYS];
};
typedef xkeys_ctx_desc xkeys_ctx_t;

xkeys_ctx_t xkeys_data;
int xkeys_data_init_done;
std::mutex xkeys_lock;

/* Reconnection: set by the data callback on a disconnect, cleared by the
 * watcher once the keypad is back. Under xkeys_lock. */
std::thread xkeys_watch_th;
std::condition_variable xkeys_watch_cv;
bool xkeys_watch_stop;
bool xkeys_lost;

int xkeys_index(int row, int col)
{
    if (row < 1 || col < 1)
        return -22;
    int index = (row - 1) + (col - 1) * 8;
    return index > 31 ? -22 : index;
}

/* Under xkeys_lock. */
int xkeys_backlight(int index, int state)
{
    unsigned char buf[xkeys_writelen > 4 ? xkeys_writelen : 4];
    int len =
        xkeys_data.writelen > 0 && xkeys_data.writelen <= (int)sizeof(buf) ? xkeys_data.writelen : (int)sizeof(buf);
    memset(buf, 0, sizeof(buf));
    buf[0] = 0;
    buf[1] = xkeys_cmd_backlight;
    buf[2] = (unsigned char)index;
    buf[3] = (unsigned char)state;
    int r = hid_layer_write(xkeys_data.hDevice, buf, len);
    if (r)
        g_warning("%s: WriteData=%d\n", __func__, r);
    else
        g_warning("%s: %02x %02x %02x %02x\n", __func__, buf[0], buf[1], buf[2], buf[3]);
    return r;
}

int xkeys_error_callback(int deviceID, int status)
{
    g_warning("%s: deviceID=%d, status=%d", __func__, deviceID, status);
    return 0;
}

int xkeys_data_callback(const unsigned char *pData, int len, int deviceID, int error)
{
    std::lock_guard<std::mutex> g(xkeys_lock);
    /* A report of a device already given up (it was unplugged, or released). */
    if (deviceID != xkeys_data.hDevice)
        return 1;

    if (error == HID_LAYER_ERR_DISCONNECTED) {
        hid_layer_cleanup(xkeys_data.hDevice);
        xkeys_data.hDevice = -1;
        g_warning("%s: Device Disconnected", __func__);
        xkeys_lost = true;
        xkeys_watch_cv.notify_all();
    }
    if (len < 7)
        return 1;

    unsigned char prev[4];
    memcpy(prev, xkeys_data.D, sizeof(prev));
    memcpy(xkeys_data.D, pData + 3, sizeof(xkeys_data.D));

    auto &cb = xkeys_data.callbacks;
    for (int k = 0; k < XKEYS_KEYS; k++) {
        int col = k >> 3, row = k & 7;
        unsigned char bit = (unsigned char)(1 << row);
        bool was = prev[col] & bit, now = xkeys_data.D[col] & bit;
        if (was == now)
            continue;
        if (!now) {
            g_warning("%s: UP[%d]", __func__, k);
            if (col < 2 && cb[k].active)
                xkeys_backlight(k, 1);
            cb[k].active = 0;
            continue;
        }
        g_warning("%s: DOWN[%d]", __func__, k);
        if (col < 2) {
            int partner = col == 0 ? row + 8 : row;
            if (cb[k].proc)
                cb[k].active = 1;
            if (cb[k].active) {
                xkeys_backlight(k, 0);
                xkeys_backlight(row + 24, cb[partner].active ? 2 : 1);
            }
        } else if (col == 3) {
            int a = row, b = row + 8;
            if (!cb[a].active && !cb[b].active)
                continue;
            xkeys_backlight(k, 0);
            xkeys_backlight(a, 0);
            xkeys_backlight(b, 0);
            if (cb[a].active && cb[a].proc)
                cb[a].proc(cb[a].cookie, row, 3);
            if (cb[b].active && cb[b].proc)
                cb[b].proc(cb[b].cookie, row, 3);
            g_warning("%s: callbacks called: [%d]=%d / [%d]=%d", __func__, a, cb[a].active, b, cb[b].active);
            cb[a].active = 0;
            cb[b].active = 0;
        }
        /* Column 3 keys do nothing. */
    }
    return 1;
}

/* Delivery on a set-up device, under xkeys_lock. */
void xkeys_deliver(int handle)
{
    if (hid_layer_set_data_callback(handle, xkeys_data_callback))
        g_warning("%s: SetDataCallback failed", "xkeys_start");
    if (hid_layer_set_error_callback(handle, xkeys_error_callback))
        g_warning("%s: SetErrorCallback failed", "xkeys_start");
    hid_layer_suppress_duplicates(handle, 1);
    hid_layer_disable_data(handle, 0);
}

/* The first interface that is a keypad we can drive, set up; or -1. Called
 * without xkeys_lock: the enumeration may wait for an old delivery thread. */
int xkeys_find_again(std::unique_ptr<hid_enum_info_t[]> &info, int *count)
{
    int n = hid_layer_enumerate(XKEYS_VENDOR_ID, info.get(), HID_LAYER_MAX_DEVICES);
    *count = n;
    for (int i = 0; i < n && i < HID_LAYER_MAX_DEVICES; i++) {
        if (info[i].UP != xkeys_usage_page || hid_layer_write_length(info[i].Handle) != xkeys_writelen)
            continue;
        if (hid_layer_setup(info[i].Handle) == 0)
            return (int)info[i].Handle;
    }
    return -1;
}

void xkeys_watch_proc(void)
{
    std::unique_ptr<hid_enum_info_t[]> info(new hid_enum_info_t[HID_LAYER_MAX_DEVICES]);
    std::unique_lock<std::mutex> g(xkeys_lock);
    while (!xkeys_watch_stop) {
        if (!xkeys_lost) {
            xkeys_watch_cv.wait(g);
            continue;
        }
        xkeys_watch_cv.wait_for(g, std::chrono::milliseconds(xkeys_watch_ms));
        if (xkeys_watch_stop)
            break;
        g.unlock();
        int count = 0;
        int h = xkeys_find_again(info, &count);
        g.lock();
        if (h < 0)
            continue;
        if (xkeys_watch_stop) {
            g.unlock();
            hid_layer_cleanup(h);
            g.lock();
            break;
        }
        memcpy(xkeys_data.info, info.get(), sizeof(xkeys_data.info));
        xkeys_data.count = count;
        xkeys_data.hDevice = h;
        xkeys_data.writelen = xkeys_writelen;
        memset(xkeys_data.D, 0, sizeof(xkeys_data.D));
        xkeys_lost = false;
        g_warning("%s: keypad back: PID: %04x", __func__, xkeys_data.info[0].PID);
        /* A new pad shows nothing: light the bound keys as binding did. */
        for (int k = 0; k < XKEYS_KEYS; k++) {
            xkeys_data.callbacks[k].active = 0;
            if (xkeys_data.callbacks[k].proc)
                xkeys_backlight(k, 1);
        }
        xkeys_deliver(h);
    }
}

void xkeys_watch_end(void)
{
    {
        std::lock_guard<std::mutex> g(xkeys_lock);
        xkeys_watch_stop = true;
        xkeys_watch_cv.notify_all();
    }
    if (xkeys_watch_th.joinable())
        xkeys_watch_th.join();
}

} // namespace

int xkeys_init(void)
{
    if (xkeys_data_init_done)
        return -103;
    xkeys_data_init_done = 1;

    std::unique_ptr<hid_enum_info_t[]> info(new hid_enum_info_t[HID_LAYER_MAX_DEVICES]);
    int n = hid_layer_enumerate(XKEYS_VENDOR_ID, info.get(), HID_LAYER_MAX_DEVICES);

    std::lock_guard<std::mutex> g(xkeys_lock);
    memset(&xkeys_data, 0, sizeof(xkeys_data));
    xkeys_data.hDevice = -1;
    xkeys_lost = false;
    xkeys_watch_stop = false;
    if (n < 0) {
        g_warning("%s: EnumeratePIE failed", __func__);
        return -14;
    }
    xkeys_data.count = n;
    memcpy(xkeys_data.info, info.get(), sizeof(xkeys_data.info));
    g_warning("%s: EnumeratePIE found %d devices", __func__, xkeys_data.count);
    if (!n)
        return -2;

    const hid_enum_info_t *d = &xkeys_data.info[0];
    g_warning("%s: Found XKeys Device:", __func__);
    g_warning("%s: PID: %04x", __func__, d->PID);
    g_warning("%s: Usage Page: %04x", __func__, d->UP);
    g_warning("%s: Usage:      %04x", __func__, d->Usage);
    g_warning("%s: Version: %d", __func__, (int)d->Version);
    g_warning("%s: UP: 0x%04X", __func__, d->UP);
    g_warning("%s: WriteSize: %d", __func__, (int)d->writeSize);
    xkeys_data.writelen = hid_layer_write_length(d->Handle);
    if (d->UP != xkeys_usage_page || xkeys_data.writelen != xkeys_writelen) {
        g_warning("%s: no SetupInterfaceEx call: info[0].UP=0x%.02X, xkeys->writelen=%d", __func__, d->UP,
                  xkeys_data.writelen);
        return 0;
    }
    if (hid_layer_setup(d->Handle))
        g_warning("%s: Error setting up PI Engineering Device", __func__);
    else
        xkeys_data.hDevice = (int)d->Handle;
    return 0;
}

int xkeys_callback(int row, int col, xkeys_callback_t proc, void *cookie)
{
    int index = xkeys_index(row, col);
    if (index < 0)
        return index;
    std::lock_guard<std::mutex> g(xkeys_lock);
    xkeys_data.callbacks[index].proc = proc;
    xkeys_data.callbacks[index].cookie = cookie;
    xkeys_backlight(index, 1);
    return 0;
}

int xkeys_start(void)
{
    std::lock_guard<std::mutex> g(xkeys_lock);
    if (xkeys_data.hDevice < 0) {
        g_warning("%s: device not set", __func__);
        return -22;
    }
    xkeys_deliver(xkeys_data.hDevice);
    if (!xkeys_watch_th.joinable()) {
        xkeys_watch_stop = false;
        xkeys_watch_th = std::thread(xkeys_watch_proc);
    }
    return 0;
}

int xkeys_stop(void)
{
    xkeys_watch_end();
    std::lock_guard<std::mutex> g(xkeys_lock);
    if (xkeys_data.hDevice < 0) {
        g_warning("%s: device not set", __func__);
        return -22;
    }
    hid_layer_disable_data(xkeys_data.hDevice, 1);
    return 0;
}

int xkeys_release(void)
{
    xkeys_watch_end();
    int h;
    {
        std::lock_guard<std::mutex> g(xkeys_lock);
        h = xkeys_data.hDevice;
        xkeys_data.hDevice = -1;
    }
    /* Outside the lock: the clean-up waits for a callback that may want it. */
    if (h >= 0)
        hid_layer_cleanup(h);
    hid_layer_exit();
    std::lock_guard<std::mutex> g(xkeys_lock);
    memset(xkeys_data.callbacks, 0, sizeof(xkeys_data.callbacks));
    xkeys_lost = false;
    xkeys_data_init_done = 0;
    return 0;
}

int xkeys_fire(int row, int col)
{
    int index = xkeys_index(row, col);
    if (index < 0)
        return index;
    xkeys_callback_t proc;
    void *cookie;
    {
        std::lock_guard<std::mutex> g(xkeys_lock);
        proc = xkeys_data.callbacks[index].proc;
        cookie = xkeys_data.callbacks[index].cookie;
    }
    if (!proc)
        return -2;
    return proc(cookie, index & 7, 3);
}
