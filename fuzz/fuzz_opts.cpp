// Command line and options files: the input is split at line ends into an
// argument vector for instance_opt, and is also read back as an options file.
// Words that would name further options files point at that same file (so
// nesting is exercised) or at a missing one, never at other files.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "opts.h"
#include "timecode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static std::string path = "/tmp/pelmora-fuzz-opts-" + std::to_string(getpid());
    std::string text(reinterpret_cast<const char *>(data), size);

    std::vector<std::string> words = {"PelmoraBoxUI"};
    std::string file_text;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); i++) {
        if (i == text.size() || text[i] == '\n' || text[i] == '\0') {
            std::string w = text.substr(start, i - start);
            start = i + 1;
            if (!w.empty() && w[0] != '-')
                w = (w.size() & 1) ? path : "/nonexistent/pelmora.opts";
            words.push_back(w);
            file_text += w + "\n";
        }
    }

    FILE *f = fopen(path.c_str(), "w");
    if (f) {
        fwrite(file_text.data(), 1, file_text.size(), f);
        fclose(f);
    }

    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    tc_modes_t mode = tc_getmode();
    instance_t *app = static_cast<instance_t *>(calloc(1, sizeof(instance_t)));
    instance_opt_defaults(app);
    FILE *saved = stderr;
    stderr = fopen("/dev/null", "w");
    instance_opt((int)words.size(), argv.data(), app);
    opts_from_file(path.c_str(), app, opts_from_file_cb);
    for (int i = 0; i < app->bus.count; i++)
        instance_helper_type_path_lookup(&app->bus.list[i], "/news/daily/a.mxf");
    fclose(stderr);
    stderr = saved;
    free(app);
    opts_audio_map_helper_reset();
    tc_setmode(mode);
    return 0;
}
