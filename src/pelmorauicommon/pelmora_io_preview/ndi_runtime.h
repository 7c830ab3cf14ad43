/* The network-video runtime, loaded once at start-up from the folder named
 * by NDI_RUNTIME_DIR_V3 and released at exit. No GTK here. */
#pragma once
#include "ndi_abi.h"

/* The runtime's table and module; null while no runtime is loaded. */
extern const ndi_api_t *pelmora_ndi_api;
extern void *pelmora_ndi_lib;

/* 0; -2 when the runtime is missing, cannot be loaded, has no loader or its
 * table lacks a slot the preview calls; -14 when it refuses to initialise.
 * Each failure is logged. */
int pelmora_io_preview_init(void);
/* Destroys and unloads the runtime, unless a receive thread is still inside
 * it (one that did not come back when its preview closed): then nothing is
 * released, which is logged, and -16 is returned (after waiting up to 2 s
 * for it). 0 otherwise. */
int pelmora_io_preview_release(void);
/* A receive thread holds the runtime from its first call into it to its
 * last; the release leaves a held runtime alone. */
void pelmora_ndi_hold(void);
void pelmora_ndi_drop(void);
/* Extra per-frame logging from the receive threads. */
void pelmora_io_preview_debug(int f);
int pelmora_io_preview_debug_get(void);
