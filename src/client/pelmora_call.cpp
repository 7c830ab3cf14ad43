/* One XML-RPC call and its bookkeeping (see pelmora_call.h). */
#include "pelmora_call.h"

#include <stdarg.h>
#include <stdio.h>

#include "pelmora.h"

pelmora_call::pelmora_call(const char *caller, const char *url, const char *method)
    : caller_(caller ? caller : ""), url_(url ? url : ""), method_(method ? method : "")
{
    xmlrpc_env_init(&env_);
}

pelmora_call::~pelmora_call()
{
    if (answer_)
        xmlrpc_DECREF(answer_);
    xmlrpc_env_clean(&env_);
}

bool pelmora_call::run(const char *format, ...)
{
    if (answer_) {
        xmlrpc_DECREF(answer_);
        answer_ = nullptr;
    }
    clear_fault();
    va_list args;
    va_start(args, format);
    answer_ = xmlrpc_client_callX_va(&env_, url_, method_, format, args);
    va_end(args);
    if (env_.fault_occurred && answer_) {
        xmlrpc_DECREF(answer_);
        answer_ = nullptr;
    }
    return !env_.fault_occurred;
}

void pelmora_call::clear_fault()
{
    xmlrpc_env_clean(&env_);
    xmlrpc_env_init(&env_);
}

xmlrpc_value *pelmora_call::release()
{
    xmlrpc_value *v = answer_;
    answer_ = nullptr;
    return v;
}

bool pelmora_call::decompose(const char *format, ...)
{
    if (!answer_) {
        if (!env_.fault_occurred)
            xmlrpc_env_set_fault(&env_, XMLRPC_INTERNAL_ERROR, "no answer to decode");
        return false;
    }
    va_list args;
    va_start(args, format);
    xmlrpc_decompose_value_va(&env_, answer_, format, args);
    va_end(args);
    return !env_.fault_occurred;
}

void pelmora_call::adopt(xmlrpc_env *envP, xmlrpc_value *answer)
{
    if (answer_)
        xmlrpc_DECREF(answer_);
    answer_ = answer;
    clear_fault();
    if (envP && envP->fault_occurred) {
        xmlrpc_env_set_fault(&env_, envP->fault_code, envP->fault_string ? envP->fault_string : "");
        xmlrpc_env_clean(envP);
        xmlrpc_env_init(envP);
    }
}

const char *pelmora_call::fault_text() const
{
    return env_.fault_string ? env_.fault_string : "";
}

/* "<caller>" or "<caller>/<self>": built first so that each line goes out
 * in one fprintf and concurrent calls' lines stay whole. */
static void line_name(char *name, size_t size, const char *caller, const char *self)
{
    if (self)
        snprintf(name, size, "%s/%s", caller, self);
    else
        snprintf(name, size, "%s", caller);
}

int pelmora_call::call_failed(const char *self, const char *src, int line, bool nl) const
{
    char name[512];
    line_name(name, sizeof name, caller_, self);
    if (src)
        fprintf(stderr, "%s: xmlrpc_client_callX(%s, %s) failed: %s (%d) [%s:%d]%s", name, url_, method_, fault_text(),
                env_.fault_code, src, line, nl ? "\n" : "");
    else
        fprintf(stderr, "%s: xmlrpc_client_callX(%s, %s) failed: %s (%d)%s", name, url_, method_, fault_text(),
                env_.fault_code, nl ? "\n" : "");
    return -14;
}

int pelmora_call::decompose_failed(const char *self, const char *src, int line) const
{
    char name[512];
    line_name(name, sizeof name, caller_, self);
    fprintf(stderr, "%s: decompose value failed: %s (%d) [%s:%d]\n", name, fault_text(), env_.fault_code,
            src ? src : "", line);
    return -14;
}

/* The frame's own typed call (declared in pelmora.h): defined here so that
 * the frame does not include its helper back. Its log names the frame's
 * source, as the documented messages do. */
int pelmora_method_no_arg(const char *url, const char *method)
{
    pelmora_call c(__func__, url, method);
    if (!c.run("()"))
        return c.call_failed(nullptr, nullptr, 0, false);
    xmlrpc_int32 result = 0;
    if (!c.decompose("{s:i,*}", "result", &result)) {
        fprintf(stderr, "%s: %s, decompose value failed: %s (%d) [%s:%d]\n", __func__, method, c.env()->fault_string,
                c.env()->fault_code, "pelmora.cpp", __LINE__);
        return -14;
    }
    return result;
}
