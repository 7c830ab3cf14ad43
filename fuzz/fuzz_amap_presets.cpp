// Channel map presets file: any bytes read as the presets file give a table
// of 2 to 128 presets with terminated texts and titles without line breaks
// or tabs; writing the table and reading it back gives the same table.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "settings/settings-amap.h"

static std::string temp_path()
{
    static std::string path;
    if (path.empty()) {
        /* Memory-backed when there is one: the target writes a file a run. */
        char dir[] = "/dev/shm/fuzz_amap_XXXXXX";
        char tmp_dir[] = "/tmp/fuzz_amap_XXXXXX";
        char *d = mkdtemp(dir);
        if (!d && !(d = mkdtemp(tmp_dir)))
            abort();
        /* The save's trace lines would be most of the run's time. */
        g_log_set_default_handler([](const gchar *, GLogLevelFlags, const gchar *, gpointer) {}, nullptr);
        path = std::string(d) + "/presets.txt";
        static std::string made = d;
        atexit([] { rmdir(made.c_str()); });
    }
    return path;
}

static std::vector<settings_amap_ui_presets_t> load(const std::string &path)
{
    settings_amap_presets_reset();
    int r = setting_amap_add_preset(path.c_str());
    int n = 0;
    const settings_amap_ui_presets_t *p = settings_amap_presets(&n);
    if (r != n || n < 2 || n > SETTINGS_AMAP_PRESETS_MAX)
        abort();
    for (int i = 0; i < n; i++)
        if (strnlen(p[i].map, 260) == 260 || strnlen(p[i].title, 260) == 260 || strpbrk(p[i].title, "\n\r\t") ||
            strchr(p[i].map, '/'))
            abort();
    return std::vector<settings_amap_ui_presets_t>(p, p + n);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string path = temp_path();
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        abort();
    fwrite(data, 1, size, f);
    fclose(f);
    std::vector<settings_amap_ui_presets_t> first = load(path);
    if (setting_amap_save_presets() != (int)first.size())
        abort();
    std::vector<settings_amap_ui_presets_t> again = load(path);
    if (again.size() != first.size())
        abort();
    for (size_t i = 0; i < first.size(); i++)
        if (strcmp(first[i].map, again[i].map) || strcmp(first[i].title, again[i].title))
            abort();
    settings_amap_presets_reset();
    unlink(path.c_str());
    return 0;
}
