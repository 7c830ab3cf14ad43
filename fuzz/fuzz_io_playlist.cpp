// IO playlist answers: any answer text the transport's guard passes is read
// as a PlaylistItems answer; no more clips than the client's bound, clips
// exactly when the count is positive, their texts terminated.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz_answer.h"
#include "pelmora_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    xmlrpc_value *res = fuzz_answer(data, size);
    if (!res)
        return 0;
    pelmora_io_clip_t *clips = nullptr;
    int gen = 0, pos = 0, idx = 0;
    int n = pelmora_playlist_items_read("fuzz", res, &clips, &gen, &pos, &idx);
    if (n > PELMORA_IO_PLAYLIST_MAX || (n > 0) != (clips != nullptr))
        abort();
    for (int i = 0; i < n; i++)
        if (strnlen(clips[i].name, 260) == 260 || strnlen(clips[i].cookie, 260) == 260)
            abort();
    free(clips);
    xmlrpc_DECREF(res);
    return 0;
}
