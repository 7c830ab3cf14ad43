// IO settings answers: the same answer text read as a settings list and as
// a mode list. Texts stay terminated; a mode list that comes back is
// null-terminated with its own count, each mode within the bounds.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz_answer.h"
#include "pelmora_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    xmlrpc_value *res = fuzz_answer(data, size);
    if (!res)
        return 0;
    pelmora_io_settings_t s;
    memset(&s, 0, sizeof s);
    pelmora_io_settings_read("fuzz", res, &s);
    const char *texts[] = {s.playback_osd, s.mode, s.enc, s.ver, s.record_channels_map, s.playback_consumer_buffer};
    for (const char *t : texts)
        if (strnlen(t, 260) == 260)
            abort();

    pelmora_io_mode_t **modes = nullptr;
    int n = pelmora_io_modes_read("fuzz", res, &modes);
    if ((n >= 0) != (modes != nullptr) || n > PELMORA_IO_MODES_MAX)
        abort();
    for (int i = 0; modes && i < n; i++) {
        pelmora_io_mode_t *m = modes[i];
        if (!m || m->enc_cnt > PELMORA_IO_ENCS_MAX || m->osd_cnt > PELMORA_IO_OSDS_MAX || m->osd[m->osd_cnt])
            abort();
        for (int e = 0; e < m->enc_cnt; e++)
            if (strnlen(m->enc[e]->name, 260) == 260)
                abort();
    }
    if (modes && modes[n])
        abort();
    if (modes)
        pelmora_io_settings_free_modes(&modes);
    xmlrpc_DECREF(res);
    return 0;
}
