/* Keypad: arm keys bound to buses and an execute key per row that fires the
 * armed buses' takes, with the keys' backlights. The device is reached
 * through the HID layer (src/pelmorauicommon/hid); a keypad unplugged while
 * the console runs is taken up again when it comes back. */
#pragma once

typedef int (*xkeys_callback_t)(void *cookie, int row, int value);

#define XKEYS_KEYS 32
#define XKEYS_VENDOR_ID 0x05F3

/* Finds and sets up the keypad: 0 (with or without a usable device), -2 none
 * found, -14 the enumeration failed, -103 called twice. */
int xkeys_init(void);
/* Binds key (row 1-8, column 1-4) and lights it; -22 outside the pad. */
int xkeys_callback(int row, int col, xkeys_callback_t proc, void *cookie);
/* Starts report delivery; -22 without a device. */
int xkeys_start(void);
int xkeys_stop(void);
/* Closes the device and forgets the bindings; xkeys_init may run again. */
int xkeys_release(void);

/* Calls the binding of key (row, col) as the report handling does when the
 * key fires; -22 for a key outside the pad, -2 for an unbound key. */
int xkeys_fire(int row, int col);
