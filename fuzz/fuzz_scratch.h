// A scratch folder for the simulator's fuzz targets, made once per process
// and removed with everything in it when the process exits.
#pragma once
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

static std::string fuzz_scratch_path;

static inline int fuzz_scratch_remove_one(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

static inline void fuzz_scratch_remove()
{
    if (!fuzz_scratch_path.empty())
        nftw(fuzz_scratch_path.c_str(), fuzz_scratch_remove_one, 16, FTW_DEPTH | FTW_PHYS);
}

/* tmpl: a mkdtemp template ("/tmp/name_XXXXXX"); the folder made, or "". */
static inline std::string fuzz_scratch_make(const char *tmpl)
{
    std::string t = tmpl;
    if (!mkdtemp(&t[0]))
        return "";
    fuzz_scratch_path = t;
    atexit(fuzz_scratch_remove);
    return t;
}
