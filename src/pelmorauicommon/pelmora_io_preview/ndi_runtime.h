/* The network-video runtime, loaded once at start-up from the folder named
 * by NDI_RUNTIME_DIR_V3 and released at exit. No GTK here. */
#pragma once
#include "ndi_abi.h"

/* The runtime's table and module; null while no runtime is loaded. */
extern const ndi_api_t *pelmora_ndi_api;
extern void *pelmora_ndi_lib;

/* 0; -2 when the runtime is missing, cannot be loaded or has no loader;
 * -14 when it refuses to initialise. Each failure is logged. */
int pelmora_io_preview_init(void);
void pelmora_io_preview_release(void);
/* Extra per-frame logging from the receive threads. */
void pelmora_io_preview_debug(int f);
int pelmora_io_preview_debug_get(void);
