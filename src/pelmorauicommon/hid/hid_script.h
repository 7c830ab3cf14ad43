/* The scripted backend of the HID layer, for tests: devices are plugged and
 * unplugged by the test, their input reports are queued by it, and every
 * output report written is kept for it to read back. */
#pragma once

#include <string>
#include <vector>

typedef std::vector<unsigned char> hid_script_bytes_t;

/* Forgets every device, queued report and written report. */
void hid_script_reset(void);
/* Plugs a device (again: a new device at the same path, with an empty queue). */
void hid_script_plug(const std::string &path, unsigned pid, unsigned usage_page, unsigned usage,
                     const hid_script_bytes_t &descriptor);
/* Unplugs it: a pending or later read of it reports the device gone. */
void hid_script_unplug(const std::string &path);
/* Makes the enumeration itself fail (on) or work again. */
void hid_script_fail_enumeration(bool on);
/* Queues one input report as the device sends it (with a leading report id
 * only for numbered reports); false when no such device is plugged. */
bool hid_script_report(const std::string &path, const hid_script_bytes_t &raw);
/* Waits up to ms until every queued report was read and the reader is back
 * waiting for the next, so the callbacks of those reports have returned. */
bool hid_script_wait_idle(const std::string &path, int ms);
/* Waits up to ms until the device was opened at least n times in all. */
bool hid_script_wait_opened(const std::string &path, int n, int ms);
/* Output reports written to the device, in order. */
std::vector<hid_script_bytes_t> hid_script_writes(const std::string &path);
void hid_script_clear_writes(void);
