// IO status answers: any answer text the transport's guard passes is parsed
// as an XML-RPC response and read as a GetStatus answer; a good read leaves
// both texts terminated, a failed one reports -14.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <xmlrpc-c/base.h>

#include "pelmora_guard.h"
#include "pelmora_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
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
        pelmora_status_t s;
        int r = pelmora_status_read("fuzz", res, &s);
        if (strnlen(s.name, 260) == 260 || strnlen(s.cookie, 260) == 260)
            abort();
        (void)r;
        xmlrpc_DECREF(res);
    }
    xmlrpc_env_clean(&env);
    return 0;
}
