/* Loading the network-video runtime: dlopen from the runtime folder, the v3
 * loader entry point, then the runtime's own initialisation. */
#include "ndi_runtime.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <string>

const ndi_api_t *pelmora_ndi_api = nullptr;
void *pelmora_ndi_lib = nullptr;
static std::atomic<int> f_debug{0};

/* Newer runtimes still carry the v3 loader and table prefix, so any of
 * them will do; the newest present wins. */
static const char *const ndi_lib_names[] = {"libndi.so.6", "libndi.so.5", "libndi.so.4", "libndi.so.3"};
static const char ndi_entry[] = "NDIlib_v3_load";

int pelmora_io_preview_init(void)
{
    if (pelmora_ndi_api)
        return 0;
    const char *dir = getenv("NDI_RUNTIME_DIR_V3");
    if (!dir || !*dir) {
        fprintf(stderr, "%s: NDI runtime not installed, visit %s\n", __FUNCTION__,
                "your runtime vendor's download page (set NDI_RUNTIME_DIR_V3 to its folder)");
        return -2;
    }
    std::string path, err;
    void *lib = nullptr;
    for (const char *name : ndi_lib_names) {
        path = std::string(dir) + "/" + name;
        lib = dlopen(path.c_str(), RTLD_LOCAL | RTLD_LAZY);
        if (lib)
            break;
        const char *e = dlerror();
        err = e ? e : "";
    }
    if (!lib) {
        fprintf(stderr, "%s: failed to load NDI runtime [%s]\n", __FUNCTION__, path.c_str());
        fprintf(stderr, "%s: %s\n", __FUNCTION__, err.c_str());
        return -2;
    }
    ndi_load_fn load = (ndi_load_fn)dlsym(lib, ndi_entry);
    if (!load) {
        dlclose(lib);
        fprintf(stderr, "%s: no [%s] entrypoint in [%s]\n", __FUNCTION__, ndi_entry, path.c_str());
        return -2;
    }
    const ndi_api_t *api = load();
    if (!api || !api->initialize || !api->initialize()) {
        dlclose(lib);
        fprintf(stderr, "%s: NDIlib_initialize failed\n", __FUNCTION__);
        return -14;
    }
    pelmora_ndi_api = api;
    pelmora_ndi_lib = lib;
    return 0;
}

void pelmora_io_preview_release(void)
{
    if (pelmora_ndi_api && pelmora_ndi_api->destroy)
        pelmora_ndi_api->destroy();
    pelmora_ndi_api = nullptr;
    if (pelmora_ndi_lib)
        dlclose(pelmora_ndi_lib);
    pelmora_ndi_lib = nullptr;
}

void pelmora_io_preview_debug(int f)
{
    f_debug = f;
}

int pelmora_io_preview_debug_get(void)
{
    return f_debug;
}
