/* Keypad: arm keys bound to buses and an execute key per row that fires the
 * armed buses' takes. Bindings are kept here; the HID device layer joins with
 * the keypad work, until then the program runs as without a keypad. */
#pragma once

typedef int (*xkeys_callback_t)(void *cookie, int row, int value);

#define XKEYS_KEYS 32

int xkeys_init(void);
int xkeys_callback(int row, int col, xkeys_callback_t proc, void *cookie);
int xkeys_start(void);
int xkeys_stop(void);
int xkeys_release(void);

/* Calls the binding of key (row, col) as the report handling does when the
 * key fires; -22 for a key outside the pad, -2 for an unbound key. */
int xkeys_fire(int row, int col);
