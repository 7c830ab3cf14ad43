/* One XML-RPC call and its bookkeeping, for every typed client call: the
 * fault environment, the answer it owns (released when the helper goes out
 * of scope) and the fault lines in the forms the clients log.
 *
 *   pelmora_call c(__func__, url, "PelmoraLib.Thing");
 *   if (!c.run("(is)", (xmlrpc_int32)idx, name))
 *       return c.call_failed(SRC_NAME, __LINE__);          // logs, -14
 *   xmlrpc_int32 result = 0;
 *   if (!c.decompose("{s:i,*}", "result", &result))
 *       return c.decompose_failed(nullptr, SRC_NAME, __LINE__);  // logs, -14
 *
 * A typed call is then just its decoding. Answers reach the helper only
 * after the answer guard of the transport (pelmora_guard.h) let them
 * through, so no malformed value reaches xmlrpc-c's parser. */
#pragma once
#include <xmlrpc-c/base.h>

class pelmora_call
{
  public:
    /* caller names the typed call in the log lines; url and method are the
     * call's endpoint and method name (kept as pointers: they must outlive
     * the helper, as string literals and the caller's arguments do). */
    pelmora_call(const char *caller, const char *url, const char *method);
    ~pelmora_call();
    pelmora_call(const pelmora_call &) = delete;
    pelmora_call &operator=(const pelmora_call &) = delete;

    /* Performs the call with the parameters described by format (exactly one
     * array) through the client pool: true when an answer came, false with
     * the fault in env(). */
    bool run(const char *format, ...);

    xmlrpc_env *env() { return &env_; }
    bool failed() const { return env_.fault_occurred != 0; }
    /* Forgets a fault (an optional member that was missing, say). */
    void clear_fault();
    /* The answer (still owned by the helper), or null. */
    xmlrpc_value *answer() const { return answer_; }
    /* Hands the answer and its reference to the caller. */
    xmlrpc_value *release();
    /* Takes over an answer (its reference) and the fault of envP, which is
     * left clean: for decoders handed a raw environment and answer. */
    void adopt(xmlrpc_env *envP, xmlrpc_value *answer);

    /* Decodes the answer with an xmlrpc-c format; false with the fault in
     * env() when a member is missing or mistyped. */
    bool decompose(const char *format, ...);

    /* "<caller>[/<self>]: xmlrpc_client_callX(<url>, <method>) failed:
     * <fault> (<code>)", then " [<src>:<line>]" when src is given, then a
     * newline when nl. Returns -14. */
    int call_failed(const char *self, const char *src, int line, bool nl = true) const;
    int call_failed(const char *src, int line) const { return call_failed(nullptr, src, line); }
    /* "<caller>[/<self>]: decompose value failed: <fault> (<code>)
     * [<src>:<line>]\n". Returns -14. */
    int decompose_failed(const char *self, const char *src, int line) const;

    const char *caller() const { return caller_; }
    const char *url() const { return url_; }
    const char *method() const { return method_; }

  private:
    const char *fault_text() const;
    const char *caller_;
    const char *url_;
    const char *method_;
    xmlrpc_env env_;
    xmlrpc_value *answer_ = nullptr;
};
