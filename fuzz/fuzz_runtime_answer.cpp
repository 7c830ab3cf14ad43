// The preview runtime stand-in's reading of its players: any answer text
// the transport's guard passes is read as a GetStatus and a LibBasenameItem
// answer, and the raw bytes as a player's announcement. What is taken must
// keep its bounds: a name of at most PS_NAME_MAX, an absolute file name
// and media folder shorter than a path.
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>

#include "fuzz_answer.h"
/* The runtime is a shared library of its own with nothing to link against:
 * its reader is compiled into the target. */
#include "../sim/preview_runtime/preview_answer.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string root;
    if (ps_announce_media((const char *)data, size, &root) == 0 &&
        (root.empty() || root[0] != '/' || root.size() >= PATH_MAX))
        abort();
    /* The folder itself and its neighbours are not inside it. */
    if (ps_path_inside("/media", "/media") || ps_path_inside("/media", "/media2/x") ||
        !ps_path_inside("/media", "/media/x"))
        abort();
    xmlrpc_value *res = fuzz_answer(data, size);
    if (!res)
        return 0;
    ps_status_t st;
    if (ps_answer_status(res, &st) == 0 && st.name.size() > PS_NAME_MAX)
        abort();
    std::string file;
    int r = ps_answer_file(res, &file);
    if (r == 0 && (file.empty() || file[0] != '/' || file.size() >= PATH_MAX))
        abort();
    if (r != 0 && !file.empty())
        abort();
    xmlrpc_DECREF(res);
    return 0;
}
