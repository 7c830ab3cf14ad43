/* The keypad's HID access: enumeration of one vendor's devices with their
 * report sizes, set-up, input reports delivered on a thread of this layer,
 * output reports, clean-up. The device I/O itself is done by a backend
 * chosen through a small function table (hidraw, or a scripted one for
 * tests). No GTK. */
#pragma once

#include <stddef.h>

#define HID_LAYER_MAX_DEVICES 128
/* Largest report a hidraw node hands over, report id byte included. */
#define HID_LAYER_MAX_REPORT 4097
/* Error code handed to the data and error callbacks when the device is gone. */
#define HID_LAYER_ERR_DISCONNECTED 307

/* One enumerated interface, the vendor library's record. readSize and writeSize count the leading report
 * id byte (0 for devices without numbered reports), so they are the lengths
 * of the buffers the callbacks see and WriteData takes. */
typedef struct hid_enum_info_desc
{
    unsigned int PID;
    unsigned int Usage;
    unsigned int UP;
    long readSize;
    long writeSize;
    char DevicePath[256];
    long Handle;
    unsigned int Version;
    char ManufacturerString[128];
    char ProductString[128];
    char SerialNumberString[128];
} hid_enum_info_t;

/* Input report (readSize bytes, report id first) or a zeroed one with the
 * disconnect code. Runs on the device's delivery thread. */
typedef int (*hid_layer_data_cb_t)(const unsigned char *data, int len, int device_id, int error);
typedef int (*hid_layer_error_cb_t)(int device_id, int status);

/* What a backend does; every entry may be called from any thread, but the
 * layer never calls read, write and close of one device at the same time. */
typedef struct hid_layer_found_desc
{
    char path[256];
    unsigned int pid, usage_page, usage, version;
    char manufacturer[128], product[128], serial[128];
} hid_layer_found_t;

typedef struct hid_layer_backend_desc
{
    const char *name;
    /* 0, or negative when the backend cannot work at all. */
    int (*init)(void);
    void (*exit)(void);
    /* Up to max interfaces of the vendor into out; the count or negative. */
    int (*enumerate)(unsigned int vendor_id, hid_layer_found_t *out, int max);
    /* The raw report descriptor of the interface; its length or negative. */
    int (*report_descriptor)(const char *path, unsigned char *buf, int size);
    void *(*open)(const char *path);
    /* One report into buf (as the device sends it, report id first only
     * for numbered reports); its length, 0 after ms without one, negative
     * when the device is gone. */
    int (*read)(void *dev, unsigned char *buf, int size, int ms);
    /* buf[0] is the report id (0 without numbered reports). */
    int (*write)(void *dev, const unsigned char *buf, int len);
    void (*close)(void *dev);
} hid_layer_backend_t;

extern const hid_layer_backend_t hid_layer_hidraw_backend;
extern const hid_layer_backend_t hid_layer_script_backend;

/* The backend used from the next enumeration on (default hidraw). Only while
 * no device is set up; -16 otherwise. */
int hid_layer_use(const hid_layer_backend_t *backend);

/* Sizes taken from a report descriptor: the largest input and output report
 * in bytes, without the report id byte, and whether reports are numbered.
 * Refuses (-22) a descriptor that is cut inside an item or nests Push deeper
 * than the layer keeps. */
typedef struct hid_layer_sizes_desc
{
    int input, output, numbered;
} hid_layer_sizes_t;
int hid_layer_parse_descriptor(const unsigned char *d, size_t len, hid_layer_sizes_t *out);

/* Fills up to max records with the vendor's interfaces, those of usage page
 * 0x000C first (the keypad's data interface), and sets each Handle. Count,
 * or -14 when the backend fails. Handles of an earlier enumeration stay
 * valid for devices already set up. */
int hid_layer_enumerate(unsigned int vendor_id, hid_enum_info_t *info, int max);
/* Output report length of an enumerated handle, or -22. */
int hid_layer_write_length(long handle);
/* Opens the interface; 0, -2 unknown handle, -16 already set up, -19 it
 * cannot be opened. */
int hid_layer_setup(long handle);
/* Data callback. The delivery thread starts once there is a callback and
 * data is enabled; reports read while data is disabled after that are
 * dropped. */
int hid_layer_set_data_callback(long handle, hid_layer_data_cb_t cb);
int hid_layer_set_error_callback(long handle, hid_layer_error_cb_t cb);
/* Drop an input report equal to the one delivered before it. */
int hid_layer_suppress_duplicates(long handle, int on);
/* Disabled at set-up. */
int hid_layer_disable_data(long handle, int disable);
/* One output report of exactly writeSize bytes: 0, -22 wrong length, -19
 * no such device or it is gone, -5 the write failed. */
int hid_layer_write(long handle, const unsigned char *buf, int len);
/* Closes the device. From the device's own data callback it only stops the
 * delivery, which ends once the callback returns. -2 when not set up. */
int hid_layer_cleanup(long handle);
/* Closes every device and releases the backend. */
void hid_layer_exit(void);

/* enumerate, setup, cleanup and exit may wait for a delivery thread to
 * return from its callback: never call them holding a lock the callbacks
 * take. */
