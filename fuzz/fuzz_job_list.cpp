// Job list answers: any answer text the transport's guard passes is parsed
// and read as a transfer list, a transcoder list and a targets list with a
// small limit; no record past the limit is written and every text stays
// terminated.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz_answer.h"
#include "pelmora_jobs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    xmlrpc_value *res = fuzz_answer(data, size);
    if (!res)
        return 0;
    static pelmora_filetranscoder_request_t tr[4];
    static pelmora_filetransfer_request_t fr[4];
    static pelmora_filetransfer_target_t tg[4];
    memset(tr, 0, sizeof tr);
    memset(fr, 0, sizeof fr);
    memset(tg, 0, sizeof tg);
    if (pelmora_filetranscoder_requests_read("fuzz", res, 3, tr) > 3 || tr[3].id ||
        strnlen(tr[0].dst.object, 4096) == 4096 || strnlen(tr[2].osd, 260) == 260)
        abort();
    if (pelmora_filetransfer_requests_read("fuzz", res, 3, fr) > 3 || fr[3].id ||
        strnlen(fr[1].object_remote, 4096) == 4096)
        abort();
    if (pelmora_filetransfer_targets_read("fuzz", res, 3, tg) > 3 || tg[3].id[0] || strnlen(tg[2].passw, 260) == 260)
        abort();
    xmlrpc_DECREF(res);
    return 0;
}
