/* Keypad bindings. The device itself (enumeration, reports, backlights) is
 * reached through a HID layer that is not built yet: xkeys_init finds no
 * device and start/stop say so, exactly as with no keypad plugged in. */
#include "xkeys.h"

#include <glib.h>
#include <string.h>

namespace {

struct xkeys_ctx_desc
{
    int hDevice;
    int count;
    int writelen;
    unsigned char D[4];
    struct
    {
        xkeys_callback_t proc;
        void *cookie;
        int active;
    } callbacks[XKEYS_KEYS];
};

xkeys_ctx_desc xkeys_data;
int xkeys_data_init_done;

int xkeys_index(int row, int col)
{
    if (row < 1 || col < 1)
        return -22;
    int index = (row - 1) + (col - 1) * 8;
    return index > 31 ? -22 : index;
}

} // namespace

int xkeys_init(void)
{
    if (xkeys_data_init_done)
        return -103;
    xkeys_data_init_done = 1;
    memset(&xkeys_data, 0, sizeof(xkeys_data));
    xkeys_data.hDevice = -1;
    g_warning("%s: EnumeratePIE found %d devices", "xkeys_init", xkeys_data.count);
    return -2;
}

int xkeys_callback(int row, int col, xkeys_callback_t proc, void *cookie)
{
    int index = xkeys_index(row, col);
    if (index < 0)
        return index;
    xkeys_data.callbacks[index].proc = proc;
    xkeys_data.callbacks[index].cookie = cookie;
    return 0;
}

int xkeys_start(void)
{
    if (xkeys_data.hDevice < 0) {
        g_warning("%s: device not set", "xkeys_start");
        return -22;
    }
    return 0;
}

int xkeys_stop(void)
{
    if (xkeys_data.hDevice < 0) {
        g_warning("%s: device not set", "xkeys_stop");
        return -22;
    }
    return 0;
}

int xkeys_release(void)
{
    xkeys_data.hDevice = -1;
    memset(xkeys_data.callbacks, 0, sizeof(xkeys_data.callbacks));
    xkeys_data_init_done = 0;
    return 0;
}

int xkeys_fire(int row, int col)
{
    int index = xkeys_index(row, col);
    if (index < 0)
        return index;
    auto &cb = xkeys_data.callbacks[index];
    if (!cb.proc)
        return -2;
    return cb.proc(cb.cookie, index & 7, 3);
}
