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

#include <functional>

/* How a client words the lines of result() and list(): each client keeps
 * the wording its readers have always had. */
struct pelmora_call_style
{
    const char *src; /* named as " [src:line]" */
    unsigned how;    /* pelmora_call::SRC_ALWAYS ... */
};

class pelmora_call
{
  public:
    /* caller names the typed call in the log lines; url and method are the
     * call's endpoint and method name (kept as pointers: they must outlive
     * the helper, as string literals and the caller's arguments do). */
    pelmora_call(const char *caller, const char *url, const char *method, const pelmora_call_style *style = nullptr);

    enum : unsigned
    {
        SRC_ALWAYS = 1,     /* a failed call and an unreadable element name [src:line] too */
        NAME_METHOD = 2,    /* decode lines name "<caller>/<method>" */
        METHOD_COMMA = 4,   /* result()'s decode line: "<caller>: <method>, decompose value failed" */
        NO_NEWLINE = 8,     /* the failed call's line ends without a newline */
        REFUSE_LONGER = 16, /* list() refuses an array longer than max instead of cutting it */
        ITEM_AS_DECODE = 32 /* list() words an unreadable element as a decode failure */
    };
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
    /* Reads an answer that its owner keeps (takes a reference of its own):
     * for the readers the fuzz targets share. */
    void share(xmlrpc_value *answer)
    {
        if (answer)
            xmlrpc_INCREF(answer);
        adopt(nullptr, answer);
    }

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

    /* The answer's "result": -14 (logged) when the call failed or the
     * answer has no integer "result"; a negative result is logged when
     * log_negative ("<caller>: <method> return <r> (<text>)"). line is the
     * caller's, for the [src:line] of the lines. */
    int result(bool log_negative = false, int line = __builtin_LINE());

    /* Hands the first max elements of the answer's array `member` to
     * decode(element, index) in order; decode returns false to stop (and
     * leaves a fault in env() when the element was malformed). Returns the
     * number of elements decoded; -14 (logged) when the member is not an
     * array or an element cannot be read. */
    int list(const char *member, int max, const std::function<bool(xmlrpc_value *, int)> &decode,
             int line = __builtin_LINE());

    /* A call whose answer carries only "result" (see result()). */
    struct site /* the typed call's name and the line it calls from */
    {
        const char *caller;
        int line;
        site(const char *c, int l = __builtin_LINE()) : caller(c), line(l) {}
    };
    template <typename... A> static int result_call(const pelmora_call_style *style, bool log_negative, site at,
                                                    const char *url, const char *method, const char *format, A... args)
    {
        pelmora_call c(at.caller, url, method, style);
        c.run(format, args...);
        return c.result(log_negative, at.line);
    }

    const char *caller() const { return caller_; }
    const char *url() const { return url_; }
    const char *method() const { return method_; }

  private:
    const char *fault_text() const;
    const char *caller_;
    const char *url_;
    const char *method_;
    const char *src_;
    unsigned how_;
    xmlrpc_env env_;
    xmlrpc_value *answer_ = nullptr;
};
