// IO status answers: any answer text the transport's guard passes is parsed
// as an XML-RPC response and read as a GetStatus answer; a good read leaves
// both texts terminated, a failed one reports -14.
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
    pelmora_status_t s;
    pelmora_status_read("fuzz", res, &s);
    if (strnlen(s.name, 260) == 260 || strnlen(s.cookie, 260) == 260)
        abort();
    xmlrpc_DECREF(res);
    return 0;
}
