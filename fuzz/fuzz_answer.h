// The answer texts the IO fuzz targets read: what the client transport's
// guard lets through to xmlrpc-c, parsed as an XML-RPC response.
#pragma once
#include <stdint.h>
#include <stdlib.h>

#include <xmlrpc-c/base.h>

#include "pelmora_guard.h"

/* The parsed answer (caller releases), or null. */
static inline xmlrpc_value *fuzz_answer(const uint8_t *data, size_t size)
{
    if (pelmora_xml_guard((const char *)data, size, nullptr) < 0)
        return nullptr;
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *res = nullptr;
    int fault_code = 0;
    const char *fault_string = nullptr;
    xmlrpc_parse_response2(&env, (const char *)data, size, &res, &fault_code, &fault_string);
    if (fault_string)
        free((void *)fault_string);
    if (env.fault_occurred && res) {
        xmlrpc_DECREF(res);
        res = nullptr;
    }
    xmlrpc_env_clean(&env);
    return res;
}
