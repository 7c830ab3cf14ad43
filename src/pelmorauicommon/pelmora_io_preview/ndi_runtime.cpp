/* Loading the network-video runtime: dlopen from the runtime folder, the v3
 * loader entry point, then the runtime's own initialisation. */
#include "ndi_runtime.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

const ndi_api_t *pelmora_ndi_api = nullptr;
void *pelmora_ndi_lib = nullptr;
static std::atomic<int> f_debug{0};

/* Newer runtimes still carry the v3 loader and table prefix, so any of
 * them will do; the newest present wins. */
static const char *const ndi_lib_names[] = {"libndi.so.6", "libndi.so.5", "libndi.so.4", "libndi.so.3"};
static const char ndi_entry[] = "NDIlib_v3_load";

/* Threads inside the runtime (see pelmora_ndi_hold), and how long the
 * release at exit waits for them. */
static const int NDI_RELEASE_WAIT_MS = 2000;
static std::atomic<int> ndi_holders{0};

void pelmora_ndi_hold(void)
{
    ndi_holders++;
}

void pelmora_ndi_drop(void)
{
    ndi_holders--;
}

/* The name of the first slot the console calls that the table leaves
 * empty ("table" for no table at all), or null when all are there. */
static const char *ndi_missing_slot(const ndi_api_t *api)
{
    if (!api)
        return "table";
    const struct
    {
        const char *name;
        bool set;
    } slots[] = {
        {"initialize", api->initialize != nullptr},
        {"destroy", api->destroy != nullptr},
        {"find_create_v2", api->find_create_v2 != nullptr},
        {"find_destroy", api->find_destroy != nullptr},
        {"find_wait_for_sources", api->find_wait_for_sources != nullptr},
        {"find_get_current_sources", api->find_get_current_sources != nullptr},
        {"recv_create_v3", api->recv_create_v3 != nullptr},
        {"recv_destroy", api->recv_destroy != nullptr},
        {"recv_capture_v2", api->recv_capture_v2 != nullptr},
        {"recv_free_video_v2", api->recv_free_video_v2 != nullptr},
        {"recv_free_audio_v2", api->recv_free_audio_v2 != nullptr},
        {"recv_free_metadata", api->recv_free_metadata != nullptr},
        {"util_audio_to_interleaved_16s_v2", api->util_audio_to_interleaved_16s_v2 != nullptr},
    };
    for (const auto &s : slots)
        if (!s.set)
            return s.name;
    return nullptr;
}

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
    const char *missing = ndi_missing_slot(api);
    if (missing) {
        /* Refused before anything is called: a null slot would be called
         * on a receive thread and take the whole console down. */
        dlclose(lib);
        fprintf(stderr, "%s: the runtime's table in [%s] lacks [%s], not used\n", __FUNCTION__, path.c_str(), missing);
        return -2;
    }
    if (!api->initialize()) {
        dlclose(lib);
        fprintf(stderr, "%s: NDIlib_initialize failed\n", __FUNCTION__);
        return -14;
    }
    pelmora_ndi_api = api;
    pelmora_ndi_lib = lib;
    return 0;
}

int pelmora_io_preview_release(void)
{
    /* A thread left behind by a closing preview usually comes back soon. */
    for (int i = 0; i < NDI_RELEASE_WAIT_MS / 10 && ndi_holders.load() > 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (int n = ndi_holders.load()) {
        /* Unloading code a thread still runs in would crash it: the process
         * ends with the runtime loaded instead. */
        fprintf(stderr, "%s: %d receive thread(s) still inside the NDI runtime, not released\n", __FUNCTION__, n);
        return -16;
    }
    if (pelmora_ndi_api)
        pelmora_ndi_api->destroy();
    pelmora_ndi_api = nullptr;
    if (pelmora_ndi_lib)
        dlclose(pelmora_ndi_lib);
    pelmora_ndi_lib = nullptr;
    return 0;
}

void pelmora_io_preview_debug(int f)
{
    f_debug = f;
}

int pelmora_io_preview_debug_get(void)
{
    return f_debug;
}
