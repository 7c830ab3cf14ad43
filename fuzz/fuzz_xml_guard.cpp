// XML-RPC documents from outside: whatever the guard lets through must be
// parsed by xmlrpc-c without a crash, as an answer and as a request. The
// first byte chooses whether the rest is a whole document or one value
// placed in an answer, a fault or a call, so that the value parsers are
// reached often.
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include <xmlrpc-c/base.h>

#include "pelmora_guard.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!size)
        return 0;
    std::string body(reinterpret_cast<const char *>(data) + 1, size - 1);
    std::string doc;
    switch (data[0] % 4) {
    case 0:
        doc = body;
        break;
    case 1:
        doc = "<?xml version=\"1.0\"?><methodResponse><params><param><value>" + body +
              "</value></param></params></methodResponse>";
        break;
    case 2:
        doc = "<?xml version=\"1.0\"?><methodResponse><fault><value><struct><member><name>faultCode</name><value>" +
              body +
              "</value></member><member><name>faultString</name><value>x</value></member></struct></value>"
              "</fault></methodResponse>";
        break;
    default:
        doc = "<?xml version=\"1.0\"?><methodCall><methodName>m</methodName><params><param><value>" + body +
              "</value></param></params></methodCall>";
        break;
    }
    const char *why = nullptr;
    if (pelmora_xml_guard(doc.data(), doc.size(), &why) < 0) {
        if (!why || !*why)
            abort(); // every refusal names its reason
        return 0;
    }
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *v = nullptr;
    int code = 0;
    const char *text = nullptr;
    xmlrpc_parse_response2(&env, doc.data(), doc.size(), &v, &code, &text);
    if (v)
        xmlrpc_DECREF(v);
    free((void *)text);
    xmlrpc_env_clean(&env);

    xmlrpc_env_init(&env);
    const char *method = nullptr;
    xmlrpc_value *params = nullptr;
    xmlrpc_parse_call(&env, doc.data(), doc.size(), &method, &params);
    if (params)
        xmlrpc_DECREF(params);
    free((void *)method);
    xmlrpc_env_clean(&env);
    return 0;
}
