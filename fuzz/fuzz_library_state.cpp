// Library state answers: any answer text the transport's guard passes is
// parsed as an XML-RPC response and read as a LibState answer with a journal
// limit; a state that comes back holds no more entries than asked for, each
// terminated.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <xmlrpc-c/base.h>

#include "pelmora_guard.h"
#include "pelmora_lib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* What the client transport lets through to xmlrpc-c, and no more. */
    if (pelmora_xml_guard((const char *)data, size, nullptr) < 0)
        return 0;
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *res = nullptr;
    int fault_code = 0;
    const char *fault_string = nullptr;
    xmlrpc_parse_response2(&env, (const char *)data, size, &res, &fault_code, &fault_string);
    if (fault_string)
        free((void *)fault_string);
    if (!env.fault_occurred && res) {
        const int limit = size % 2 ? 128 : 3;
        pelmora_lib_state_t *st = nullptr;
        int r = pelmora_lib_state_read("fuzz", res, limit, &st);
        if ((r >= 0) != (st != nullptr))
            abort();
        if (st) {
            if (st->amend_list_len != r || r > limit)
                abort();
            for (int i = 0; i < st->amend_list_len; i++)
                if (strnlen(st->amend_list_data[i], 260) == 260)
                    abort();
            free(st);
        }
        xmlrpc_DECREF(res);
    }
    xmlrpc_env_clean(&env);
    return 0;
}
