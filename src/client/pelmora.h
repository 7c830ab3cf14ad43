/* Call frame shared by every server namespace (automation, IO, library):
 * a pool of XML-RPC clients, one format-driven call primitive, the common
 * response decoders and the UDP text datagrams. */
#pragma once
#include <stdarg.h>
#include <xmlrpc-c/base.h>

/* Number of clients in the process-wide pool: at most this many calls are in
 * flight at once; a further caller waits until a client is returned. */
#define PELMORA_POOL_SIZE 32

/* Transport time-outs, defaults and the environment variables (milliseconds,
 * read by pelmora_init) that override them. */
#define PELMORA_RPC_CONNECT_TIMEOUT_MS_DEFAULT 3000
#define PELMORA_RPC_TIMEOUT_MS_DEFAULT 10000
#define PELMORA_RPC_CONNECT_TIMEOUT_ENV "PELMORA_RPC_CONNECT_TIMEOUT_MS"
#define PELMORA_RPC_TIMEOUT_ENV "PELMORA_RPC_TIMEOUT_MS"

/* Creates the pool; each client sends app_name/app_version in its HTTP
 * User-Agent. Sets the numeric locale to "C". Returns the pool size. */
int pelmora_init(const char *app_name, const char *app_version);
/* Destroys the pool; no call may be in flight. Returns 0. */
int pelmora_release(void);

/* Time-outs in force (milliseconds), as pelmora_init read them. */
int pelmora_rpc_connect_timeout_ms(void);
int pelmora_rpc_timeout_ms(void);
/* Clients currently lent out (0..PELMORA_POOL_SIZE). */
int pelmora_pool_in_use(void);

/* The call primitive: builds the parameter array from format (exactly one
 * array) and the arguments, performs the call on a pooled client and returns
 * the response (caller owns one reference), or null with the fault in envP. */
xmlrpc_value *xmlrpc_client_callX(xmlrpc_env *envP, const char *serverUrl, const char *methodName, const char *format,
                                  ...);
/* The same with the arguments as a va_list (the call helper's road). */
xmlrpc_value *xmlrpc_client_callX_va(xmlrpc_env *envP, const char *serverUrl, const char *methodName,
                                     const char *format, va_list args);

/* The system's text for a server's negative result (the negated error
 * number), for any int: INT_MIN has no positive counterpart and gets the
 * text of an unknown error instead of an overflow. */
const char *pelmora_result_text(int result);

/* Calls method without parameters and returns its "result" (-14 when none). */
int pelmora_method_no_arg(const char *url, const char *method);

/* Decodes a response {result, list: [[s], ...]}: *plist receives a
 * null-terminated array of strings (caller frees each and the array); returns
 * their count, -14, or the server's negative result. Releases resultP. */
int parse_simple_list_response(const char *parent, xmlrpc_env *envP, xmlrpc_value *resultP, char ***plist);

/* Decodes one struct of a custom list; a fault left in envP rejects it. */
typedef void (*parse_custom_list_proc)(xmlrpc_env *envP, xmlrpc_value *item, void *cookie, int idx, int cnt);
/* Hands each item of the array member list_name (or of the response itself
 * when list_name is null) to proc; returns the number of items accepted, or
 * -14. The caller releases resultP. */
int parse_custom_list(const char *caller_func_name, xmlrpc_env *envP, xmlrpc_value *resultP, const char *list_name,
                      parse_custom_list_proc proc, void *cookie);

/* One UDP datagram holding msg and its terminating zero to "host:port": the
 * bytes sent, -22 for a missing port or unknown host, else -errno. */
int pelmora_msg(const char *hostport, const char *msg);
int pelmora_play_msg(const char *host);
int pelmora_pause_msg(const char *host);
int pelmora_stop_msg(const char *host);
int pelmora_record_msg(const char *host);
