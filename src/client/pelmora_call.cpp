/* One XML-RPC call and its bookkeeping (see pelmora_call.h). */
#include "pelmora_call.h"

#include <stdarg.h>
#include <stdio.h>

#include "pelmora.h"

pelmora_call::pelmora_call(const char *caller, const char *url, const char *method, const pelmora_call_style *style)
    : caller_(caller ? caller : ""), url_(url ? url : ""), method_(method ? method : ""),
      src_(style ? style->src : nullptr), how_(style ? style->how : 0)
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

int pelmora_call::result(bool log_negative, int line)
{
    if (failed())
        return call_failed(nullptr, how_ & SRC_ALWAYS ? src_ : nullptr, line, !(how_ & NO_NEWLINE));
    xmlrpc_int32 r = 0;
    if (!decompose("{s:i,*}", "result", &r)) {
        if (how_ & METHOD_COMMA) {
            fprintf(stderr, "%s: %s, decompose value failed: %s (%d) [%s:%d]\n", caller_, method_, fault_text(),
                    env_.fault_code, src_ ? src_ : "", line);
            return -14;
        }
        return decompose_failed(how_ & NAME_METHOD ? method_ : nullptr, src_, line);
    }
    if (r < 0 && log_negative)
        fprintf(stderr, "%s: %s return %d (%s)\n", caller_, method_, r, pelmora_result_text(r));
    return r;
}

int pelmora_call::list(const char *member, int max, const std::function<bool(xmlrpc_value *, int)> &decode, int line)
{
    const char *self = how_ & NAME_METHOD ? method_ : nullptr;
    xmlrpc_value *array = nullptr;
    if (!decompose("{s:A,*}", member, &array))
        return decompose_failed(self, src_, line);
    int size = xmlrpc_array_size(&env_, array);
    if (!failed() && size > max && (how_ & REFUSE_LONGER))
        xmlrpc_env_set_fault(&env_, XMLRPC_LIMIT_EXCEEDED_ERROR, "list too long");
    int n = 0;
    for (; !failed() && n < size && n < max; n++) {
        xmlrpc_value *e = nullptr;
        xmlrpc_array_read_item(&env_, array, n, &e);
        if (failed()) {
            if (!(how_ & ITEM_AS_DECODE)) {
                char at[300] = "";
                if (how_ & SRC_ALWAYS)
                    snprintf(at, sizeof at, " [%s:%d]", src_ ? src_ : "", line);
                fprintf(stderr, "%s/%s: xmlrpc_array_read_item failed: %s (%d)%s\n", caller_, method_, fault_text(),
                        env_.fault_code, at);
                n = -14;
            }
            break;
        }
        bool go_on = decode(e, n);
        xmlrpc_DECREF(e);
        if (!go_on)
            break;
    }
    xmlrpc_DECREF(array);
    if (n >= 0 && failed() && (how_ & ITEM_AS_DECODE))
        return decompose_failed(self, src_, line);
    return n;
}

/* The frame's own typed call (declared in pelmora.h): defined here so that
 * the frame does not include its helper back. Its log names the frame's
 * source, where people reading the log look for it. */
int pelmora_method_no_arg(const char *url, const char *method)
{
    static const pelmora_call_style frame = {"pelmora.cpp", pelmora_call::METHOD_COMMA | pelmora_call::NO_NEWLINE};
    return pelmora_call::result_call(&frame, false, __func__, url, method, "()");
}
