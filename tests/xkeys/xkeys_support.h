/* A scripted keypad for the keypad tests: its report descriptor, key reports
 * as the pad sends them, and the backlight reports it should receive. */
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hid_layer.h"
#include "hid_script.h"

/* Data interface of a pad: usage page 0x0C, unnumbered 32-byte input and
 * 35-byte output reports (36 with the report id byte, as the keypad code
 * requires). */
inline hid_script_bytes_t pad_descriptor(int out_bytes = 35)
{
    return {0x05, 0x0C, 0x09, 0x01,
            0xA1, 0x01, /* consumer, application */
            0x09, 0x01, 0x15, 0x00,
            0x26, 0xFF, 0x00, 0x75,
            0x08, 0x95, 0x20, 0x81,
            0x02, /* input 32 x 8 */
            0x09, 0x01, 0x95, (unsigned char)out_bytes,
            0x91, 0x02, /* output n x 8 */
            0xC0};
}

/* One key state as the pad sends it: no report id, so hidraw hands the four
 * column bytes over at 2 to 5. */
inline hid_script_bytes_t pad_keys(unsigned char c1, unsigned char c2, unsigned char c3, unsigned char c4)
{
    hid_script_bytes_t r(32, 0);
    r[2] = c1;
    r[3] = c2;
    r[4] = c3;
    r[5] = c4;
    return r;
}

/* The backlight output report for key index and state. */
inline hid_script_bytes_t light(int index, int state)
{
    hid_script_bytes_t r(36, 0);
    r[1] = 181;
    r[2] = (unsigned char)index;
    r[3] = (unsigned char)state;
    return r;
}

/* Sends a key state and waits until the keypad code has handled it. */
inline void pad_send(const std::string &path, const hid_script_bytes_t &raw)
{
    ASSERT_TRUE(hid_script_report(path, raw));
    ASSERT_TRUE(hid_script_wait_idle(path, 5000));
}
