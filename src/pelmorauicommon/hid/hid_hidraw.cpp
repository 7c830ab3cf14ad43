/* The hidraw backend of the HID layer: enumeration and device I/O through
 * hidapi, report descriptors from sysfs (readable without opening the node,
 * so the sizes are known even where the node itself is not accessible). */
#include <fcntl.h>
#include <hidapi.h>
#include <string.h>
#include <unistd.h>
#include <wchar.h>

#include <string>

#include "hid_layer.h"
#include "strl.h"

namespace {

/* UTF-8 of a device string, cut at a whole character to fit. */
void narrow(const wchar_t *w, char *out, size_t size)
{
    size_t o = 0;
    out[0] = 0;
    if (!w)
        return;
    for (; *w; w++) {
        unsigned long c = (unsigned long)*w;
        char b[4];
        size_t n;
        if (c < 0x80) {
            b[0] = (char)c;
            n = 1;
        } else if (c < 0x800) {
            b[0] = (char)(0xC0 | (c >> 6));
            b[1] = (char)(0x80 | (c & 0x3F));
            n = 2;
        } else if (c < 0x10000 && (c < 0xD800 || c > 0xDFFF)) {
            b[0] = (char)(0xE0 | (c >> 12));
            b[1] = (char)(0x80 | ((c >> 6) & 0x3F));
            b[2] = (char)(0x80 | (c & 0x3F));
            n = 3;
        } else if (c >= 0x10000 && c < 0x110000) {
            b[0] = (char)(0xF0 | (c >> 18));
            b[1] = (char)(0x80 | ((c >> 12) & 0x3F));
            b[2] = (char)(0x80 | ((c >> 6) & 0x3F));
            b[3] = (char)(0x80 | (c & 0x3F));
            n = 4;
        } else {
            b[0] = '?';
            n = 1;
        }
        if (o + n >= size)
            break;
        memcpy(out + o, b, n);
        o += n;
    }
    out[o] = 0;
}

int hidraw_init(void)
{
    return hid_init() == 0 ? 0 : -14;
}

void hidraw_exit(void)
{
    hid_exit();
}

int hidraw_enumerate(unsigned int vendor_id, hid_layer_found_t *out, int max)
{
    hid_device_info *all = hid_enumerate((unsigned short)vendor_id, 0);
    int n = 0;
    for (hid_device_info *i = all; i && n < max; i = i->next) {
        /* A path that does not fit is not one we could open again. */
        if (!i->path || strlen(i->path) >= sizeof(out[n].path))
            continue;
        hid_layer_found_t *f = &out[n++];
        memset(f, 0, sizeof(*f));
        strlcpy(f->path, i->path, sizeof(f->path));
        f->pid = i->product_id;
        f->usage_page = i->usage_page;
        f->usage = i->usage;
        f->version = i->release_number;
        narrow(i->manufacturer_string, f->manufacturer, sizeof(f->manufacturer));
        narrow(i->product_string, f->product, sizeof(f->product));
        narrow(i->serial_number, f->serial, sizeof(f->serial));
    }
    hid_free_enumeration(all);
    return n;
}

int hidraw_report_descriptor(const char *path, unsigned char *buf, int size)
{
    /* Only a plain /dev/hidrawN name maps onto its sysfs folder. */
    const char *base = strrchr(path, '/');
    base = base ? base + 1 : path;
    if (strncmp(base, "hidraw", 6) != 0 || !base[6] || strspn(base + 6, "0123456789") != strlen(base + 6) ||
        strlen(base) > 16)
        return -22;
    std::string sys = std::string("/sys/class/hidraw/") + base + "/device/report_descriptor";
    int fd = open(sys.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -2;
    int got = 0;
    while (got < size) {
        ssize_t r = read(fd, buf + got, (size_t)(size - got));
        if (r <= 0)
            break;
        got += (int)r;
    }
    close(fd);
    return got;
}

void *hidraw_open(const char *path)
{
    return hid_open_path(path);
}

int hidraw_read(void *dev, unsigned char *buf, int size, int ms)
{
    return hid_read_timeout(static_cast<hid_device *>(dev), buf, (size_t)size, ms);
}

int hidraw_write(void *dev, const unsigned char *buf, int len)
{
    return hid_write(static_cast<hid_device *>(dev), buf, (size_t)len);
}

void hidraw_close(void *dev)
{
    hid_close(static_cast<hid_device *>(dev));
}

} // namespace

const hid_layer_backend_t hid_layer_hidraw_backend = {
    "hidraw",    hidraw_init, hidraw_exit,  hidraw_enumerate, hidraw_report_descriptor,
    hidraw_open, hidraw_read, hidraw_write, hidraw_close,
};
