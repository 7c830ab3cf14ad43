// Library item structs: any answer text the transport's guard passes is
// parsed as an XML-RPC response; the item reader then reads it (and every
// element of its "list"), and whatever it keeps must be terminated within
// its fields.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <xmlrpc-c/base.h>

#include "pelmora_guard.h"
#include "pelmora_lib.h"

static void check(const pelmora_lib_item_t *it)
{
    if (strnlen(it->name, sizeof(it->name)) == sizeof(it->name) ||
        strnlen(it->format_name, sizeof(it->format_name)) == sizeof(it->format_name) ||
        strnlen(it->sample_fmt, sizeof(it->sample_fmt)) == sizeof(it->sample_fmt) ||
        strnlen(it->timecode, sizeof(it->timecode)) == sizeof(it->timecode))
        abort();
    if (it->duration != (it->duration_v != 0 ? it->duration_v : it->duration_f))
        abort();
}

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
        pelmora_lib_item_t it;
        pelmora_lib_item_read("fuzz", res, &it);
        check(&it);
        xmlrpc_value *list = nullptr;
        xmlrpc_env lenv;
        xmlrpc_env_init(&lenv);
        if (xmlrpc_value_type(res) == XMLRPC_TYPE_STRUCT)
            xmlrpc_decompose_value(&lenv, res, "{s:A,*}", "list", &list);
        if (!lenv.fault_occurred && list) {
            int n = xmlrpc_array_size(&lenv, list);
            for (int i = 0; i < n && i < 1000 && !lenv.fault_occurred; i++) {
                xmlrpc_value *e = nullptr;
                xmlrpc_array_read_item(&lenv, list, i, &e);
                if (lenv.fault_occurred)
                    break;
                pelmora_lib_item_read("fuzz", e, &it);
                check(&it);
                xmlrpc_DECREF(e);
            }
            xmlrpc_DECREF(list);
        }
        xmlrpc_env_clean(&lenv);
    }
    if (res)
        xmlrpc_DECREF(res);
    xmlrpc_env_clean(&env);
    return 0;
}
