/* Call frame shared by every server namespace: the client pool, the call
 * primitive and the common response decoders, plus the UDP text datagrams
 * that the IO transport and the take trigger use. */
#include "pelmora.h"
#include "pelmora_guard.h"

#include <errno.h>
#include <limits.h>
#include <locale.h>
#include <netdb.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>

#include <curl/curl.h>
#include <xmlrpc-c/client.h>
#include <xmlrpc-c/transport.h>

static const char *SRC_NAME = "pelmora.cpp";

struct pelmora_pool_desc
{
    int count;                    /* clients lent out */
    std::mutex lock;              /* guards count and busy */
    std::condition_variable cond; /* signalled when a client returns */
    xmlrpc_client *clients[PELMORA_POOL_SIZE];
    unsigned char busy[PELMORA_POOL_SIZE];
    int usable; /* clients created successfully */
    int f_init;
    int connect_timeout_ms;
    int timeout_ms;
    std::string user_agent;
};

static pelmora_pool_desc pool;

/* HTTP transport of the pooled clients: one curl easy handle per client,
 * kept between calls so the connection to a server stays open.
 *
 * xmlrpc-c's own curl transport (1.33) takes a total time-out only, and its
 * synchronous wait checks it every 3 s, so a 10 s time-out ends after 12 s
 * and a connect time-out cannot be set at all. This transport gives curl
 * both time-outs directly; xmlrpc-c still builds, parses and checks every
 * call and response. A client is used by one call at a time (the pool
 * guarantees it), so the call's URL is handed over in the transport record. */
struct pelmora_transport_desc
{
    CURL *curl;
    struct curl_slist *headers;
    std::string url;      /* set by the call primitive before each call */
    std::string response; /* body of the answer being received */
    size_t limit;         /* the most of it we read: xmlrpc-c's XML size limit */
    int f_too_big;        /* the answer went past limit; reading stopped there */
    char error[CURL_ERROR_SIZE];
};

/* An answer kept buffered between calls up to this size; a larger buffer is
 * given back after its call, so one big answer does not stay resident in
 * every pooled client. */
#define TRANSPORT_KEEP_BYTES (64 * 1024)

static size_t transport_write(char *data, size_t size, size_t nmemb, void *user)
{
    auto *t = static_cast<pelmora_transport_desc *>(user);
    size_t n = size * nmemb;
    if (n > t->limit - t->response.size()) {
        /* xmlrpc-c would refuse it anyway: stop the transfer here rather
         * than hold an answer of any size in memory. */
        t->f_too_big = 1;
        return 0;
    }
    t->response.append(data, n);
    return n;
}

static void transport_give_back(pelmora_transport_desc *t)
{
    if (t->response.capacity() > TRANSPORT_KEEP_BYTES)
        std::string().swap(t->response);
    else
        t->response.clear();
}

static pelmora_transport_desc *transport_create(const std::string &user_agent, int connect_ms, int total_ms)
{
    CURL *c = curl_easy_init();
    if (!c)
        return nullptr;
    auto *t = new pelmora_transport_desc();
    t->curl = c;
    t->limit = pelmora_xml_limit();
    t->headers = curl_slist_append(nullptr, "Content-Type: text/xml");
    t->headers = curl_slist_append(t->headers, "Expect:"); /* no 100-continue round trip */
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, t->headers);
    curl_easy_setopt(c, CURLOPT_USERAGENT, user_agent.c_str());
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, (long)connect_ms);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, (long)total_ms);
    curl_easy_setopt(c, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, transport_write);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, t);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, t->error);
    return t;
}

static void transport_destroy(pelmora_transport_desc *t)
{
    if (!t)
        return;
    curl_easy_cleanup(t->curl);
    curl_slist_free_all(t->headers);
    delete t;
}

static void transport_call(xmlrpc_env *envP, struct xmlrpc_client_transport *handle, const xmlrpc_server_info *,
                           xmlrpc_mem_block *callXmlP, xmlrpc_mem_block **responsePP)
{
    auto *t = reinterpret_cast<pelmora_transport_desc *>(handle);
    t->response.clear();
    t->f_too_big = 0;
    t->error[0] = 0;
    curl_easy_setopt(t->curl, CURLOPT_URL, t->url.c_str());
    curl_easy_setopt(t->curl, CURLOPT_POSTFIELDS, xmlrpc_mem_block_contents(callXmlP));
    curl_easy_setopt(t->curl, CURLOPT_POSTFIELDSIZE, (long)xmlrpc_mem_block_size(callXmlP));
    CURLcode rc = curl_easy_perform(t->curl);
    if (t->f_too_big) {
        transport_give_back(t);
        xmlrpc_env_set_fault_formatted(envP, XMLRPC_LIMIT_EXCEEDED_ERROR,
                                       "Answer from URL '%s' is larger than the XML size limit of %zu bytes; "
                                       "not read further",
                                       t->url.c_str(), t->limit);
        return;
    }
    if (rc != CURLE_OK) {
        transport_give_back(t);
        xmlrpc_env_set_fault_formatted(envP, XMLRPC_NETWORK_ERROR, "HTTP POST to URL '%s' failed.  %s", t->url.c_str(),
                                       t->error[0] ? t->error : curl_easy_strerror(rc));
        return;
    }
    long status = 0;
    curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        transport_give_back(t);
        xmlrpc_env_set_fault_formatted(envP, XMLRPC_NETWORK_ERROR, "HTTP response code is %ld, not 200", status);
        return;
    }
    /* Nothing that xmlrpc-c cannot parse safely reaches it. */
    const char *why = nullptr;
    if (pelmora_xml_guard(t->response.data(), t->response.size(), &why) < 0) {
        transport_give_back(t);
        xmlrpc_env_set_fault_formatted(envP, XMLRPC_PARSE_ERROR, "Answer from URL '%s' refused before parsing: %s",
                                       t->url.c_str(), why);
        return;
    }
    xmlrpc_mem_block *out = xmlrpc_mem_block_new(envP, 0);
    if (!envP->fault_occurred) {
        xmlrpc_mem_block_append(envP, out, t->response.data(), t->response.size());
        if (envP->fault_occurred)
            xmlrpc_mem_block_free(out);
        else
            *responsePP = out;
    }
    transport_give_back(t);
}

static void transport_send_request(xmlrpc_env *envP, struct xmlrpc_client_transport *, const xmlrpc_server_info *,
                                   xmlrpc_mem_block *, xmlrpc_transport_asynch_complete, xmlrpc_transport_progress,
                                   struct xmlrpc_call_info *)
{
    xmlrpc_env_set_fault(envP, XMLRPC_INTERNAL_ERROR, "asynchronous calls are not used by this program");
}

static void transport_finish_asynch(struct xmlrpc_client_transport *, xmlrpc_timeoutType, xmlrpc_timeout) {}

static void transport_set_interrupt(struct xmlrpc_client_transport *, int *) {}

static const struct xmlrpc_client_transport_ops transport_ops = {
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    transport_send_request,
    transport_call,
    transport_finish_asynch,
    transport_set_interrupt,
};

static pelmora_transport_desc *transports[PELMORA_POOL_SIZE];

const char *pelmora_result_text(int result)
{
    return strerror(result == INT_MIN ? -1 : -result);
}

int pelmora_rpc_connect_timeout_ms(void)
{
    return pool.connect_timeout_ms;
}

int pelmora_rpc_timeout_ms(void)
{
    return pool.timeout_ms;
}

int pelmora_pool_in_use(void)
{
    std::lock_guard<std::mutex> g(pool.lock);
    return pool.count;
}

/* A positive number of milliseconds from the environment, else def. */
static int env_timeout_ms(const char *name, int def)
{
    const char *v = getenv(name);
    if (!v || !*v)
        return def;
    char *end = nullptr;
    errno = 0;
    long ms = strtol(v, &end, 10);
    if (errno || *end || ms <= 0 || ms > 3600000) {
        fprintf(stderr, "pelmora_init: %s=[%s] is not a time-out in milliseconds (1..3600000), using %d\n", name, v,
                def);
        return def;
    }
    return (int)ms;
}

int pelmora_init(const char *app_name, const char *app_version)
{
    {
        /* A second start-up would orphan the clients lent out so far. */
        std::lock_guard<std::mutex> g(pool.lock);
        if (pool.f_init)
            return PELMORA_POOL_SIZE;
    }
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_client_setup_global_const(&env);
    if (env.fault_occurred)
        fprintf(stderr, "%s: xmlrpc_client_setup_global_const failed: %s (%d)\n", __func__, env.fault_string,
                env.fault_code);
    xmlrpc_env_clean(&env);

    std::lock_guard<std::mutex> g(pool.lock);
    pool.count = 0;
    pool.usable = 0;
    memset(pool.clients, 0, sizeof(pool.clients));
    memset(pool.busy, 0, sizeof(pool.busy));
    pool.connect_timeout_ms = env_timeout_ms(PELMORA_RPC_CONNECT_TIMEOUT_ENV, PELMORA_RPC_CONNECT_TIMEOUT_MS_DEFAULT);
    pool.timeout_ms = env_timeout_ms(PELMORA_RPC_TIMEOUT_ENV, PELMORA_RPC_TIMEOUT_MS_DEFAULT);

    /* The application's name and version lead the User-Agent, followed by
     * the libraries that carry the call. */
    pool.user_agent = std::string(app_name ? app_name : "") + "/" + (app_version ? app_version : "") + " Xmlrpc-c/" +
                      std::to_string(xmlrpc_version_major) + "." + std::to_string(xmlrpc_version_minor) + "." +
                      std::to_string(xmlrpc_version_point) + " libcurl/" + curl_version_info(CURLVERSION_NOW)->version;

    for (int i = 0; i < PELMORA_POOL_SIZE; i++) {
        transports[i] = transport_create(pool.user_agent, pool.connect_timeout_ms, pool.timeout_ms);
        if (!transports[i]) {
            fprintf(stderr, "%s: curl_easy_init(%d) failed\n", __func__, i);
            continue;
        }
        struct xmlrpc_clientparms clientparms;
        memset(&clientparms, 0, sizeof(clientparms));
        clientparms.transportOpsP = &transport_ops;
        clientparms.transportP = reinterpret_cast<struct xmlrpc_client_transport *>(transports[i]);
        clientparms.dialect = xmlrpc_dialect_i8;
        xmlrpc_env_init(&env);
        xmlrpc_client_create(&env, XMLRPC_CLIENT_NO_FLAGS, app_name, app_version, &clientparms, XMLRPC_CPSIZE(dialect),
                             &pool.clients[i]);
        if (env.fault_occurred) {
            fprintf(stderr, "%s: xmlrpc_client_create(%d) failed: %s (%d)\n", __func__, i, env.fault_string,
                    env.fault_code);
            pool.clients[i] = nullptr;
            transport_destroy(transports[i]);
            transports[i] = nullptr;
        } else
            pool.usable++;
        xmlrpc_env_clean(&env);
    }
    pool.f_init = 1;

    /* Doubles go on the wire with a decimal point whatever the user's locale. */
    setlocale(LC_NUMERIC, "C");
    return PELMORA_POOL_SIZE;
}

int pelmora_release(void)
{
    {
        std::lock_guard<std::mutex> g(pool.lock);
        if (!pool.f_init)
            return 0;
        for (int i = 0; i < PELMORA_POOL_SIZE; i++) {
            if (pool.clients[i])
                xmlrpc_client_destroy(pool.clients[i]);
            pool.clients[i] = nullptr;
            transport_destroy(transports[i]);
            transports[i] = nullptr;
            pool.busy[i] = 0;
        }
        pool.count = 0;
        pool.usable = 0;
        pool.f_init = 0;
    }
    xmlrpc_client_teardown_global_const();
    return 0;
}

/* Each thread has a home client, handed out in turn at its first call: a
 * polling thread gets the same client back, and with it the connection that
 * client keeps open to the thread's server. Only when the home client is
 * lent out does the thread borrow another one. */
static thread_local int pool_home_slot = -1;
static int pool_next_home; /* under pool.lock */

/* Lends out this thread's home client or else the first free one, waiting
 * while none is free; -1 when the pool has no client at all. */
static int pool_borrow(void)
{
    std::unique_lock<std::mutex> g(pool.lock);
    if (pool_home_slot < 0) {
        pool_home_slot = pool_next_home;
        pool_next_home = (pool_next_home + 1) % PELMORA_POOL_SIZE;
    }
    const int home = pool_home_slot;
    for (;;) {
        if (!pool.f_init || !pool.usable)
            return -1;
        if (!pool.busy[home] && pool.clients[home]) {
            pool.busy[home] = 1;
            pool.count++;
            return home;
        }
        if (pool.count < PELMORA_POOL_SIZE) {
            for (int i = 0; i < PELMORA_POOL_SIZE; i++) {
                if (!pool.busy[i] && pool.clients[i]) {
                    pool.busy[i] = 1;
                    pool.count++;
                    return i;
                }
            }
        }
        pool.cond.wait(g);
    }
}

static void pool_return(int slot)
{
    std::lock_guard<std::mutex> g(pool.lock);
    pool.count--;
    pool.busy[slot] = 0;
    pool.cond.notify_all();
}

/* A fault text longer than this is cut: xmlrpc-c quotes a refused value
 * whole in its message, and a server may fill its own fault text, so one
 * hostile answer could otherwise put half a megabyte into every log line of
 * a poll. */
#define PELMORA_FAULT_TEXT_MAX 1024

static void cut_fault_text(xmlrpc_env *envP)
{
    size_t len = envP->fault_string ? strlen(envP->fault_string) : 0;
    if (len <= PELMORA_FAULT_TEXT_MAX)
        return;
    std::string head(envP->fault_string, PELMORA_FAULT_TEXT_MAX);
    int code = envP->fault_code;
    xmlrpc_env_clean(envP);
    xmlrpc_env_init(envP);
    xmlrpc_env_set_fault_formatted(envP, code, "%s... (%zu characters in all)", head.c_str(), len);
}

xmlrpc_value *xmlrpc_client_callX(xmlrpc_env *envP, const char *serverUrl, const char *methodName, const char *format,
                                  ...)
{
    va_list args;
    va_start(args, format);
    xmlrpc_value *v = xmlrpc_client_callX_va(envP, serverUrl, methodName, format, args);
    va_end(args);
    return v;
}

xmlrpc_value *xmlrpc_client_callX_va(xmlrpc_env *envP, const char *serverUrl, const char *methodName,
                                     const char *format, va_list args)
{
    xmlrpc_value *resultP = nullptr;
    xmlrpc_value *paramArrayP = nullptr;
    const char *suffix = nullptr;

    /* The parameters are built before a client is borrowed: a bad format
     * then neither waits for nor holds a client, and no call goes out. */
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    va_list copy;
    va_copy(copy, args);
    xmlrpc_build_value_va(&env, format, copy, &paramArrayP, &suffix);
    va_end(copy);
    if (env.fault_occurred) {
        xmlrpc_env_set_fault_formatted(envP, env.fault_code,
                                       "Invalid RPC arguments.  The format argument must indicate a single array, "
                                       "and the following arguments must correspond to that format argument.  The "
                                       "failure is: %s",
                                       env.fault_string);
        xmlrpc_env_clean(&env);
        return nullptr;
    }
    xmlrpc_env_clean(&env);
    if (*suffix) {
        xmlrpc_env_set_fault_formatted(envP, XMLRPC_INTERNAL_ERROR,
                                       "Junk after the argument specifier: '%s'.  There must be exactly one arument.",
                                       suffix);
        xmlrpc_DECREF(paramArrayP);
        return nullptr;
    }
    if (xmlrpc_value_type(paramArrayP) != XMLRPC_TYPE_ARRAY) {
        xmlrpc_env_set_fault_formatted(envP, XMLRPC_TYPE_ERROR,
                                       "Invalid RPC arguments.  The format argument must indicate a single array, "
                                       "and the following arguments must correspond to that format argument.  The "
                                       "failure is: %s",
                                       "the format describes no array");
        xmlrpc_DECREF(paramArrayP);
        return nullptr;
    }

    int slot = pool_borrow();
    if (slot < 0) {
        xmlrpc_env_set_fault(envP, XMLRPC_INTERNAL_ERROR, "No XML-RPC client is available (pelmora_init not done)");
        xmlrpc_DECREF(paramArrayP);
        return nullptr;
    }

    transports[slot]->url = serverUrl ? serverUrl : "";
    xmlrpc_server_info *serverInfoP = xmlrpc_server_info_new(envP, serverUrl);
    if (!envP->fault_occurred) {
        xmlrpc_client_call2(envP, pool.clients[slot], serverInfoP, methodName, paramArrayP, &resultP);
        xmlrpc_server_info_free(serverInfoP);
    }
    xmlrpc_DECREF(paramArrayP);

    pool_return(slot);

    if (envP->fault_occurred) {
        cut_fault_text(envP);
        return nullptr;
    }
    return resultP;
}

int parse_simple_list_response(const char *parent, xmlrpc_env *envP, xmlrpc_value *resultP, char ***plist)
{
    static const char *self = "parse_simple_list_response";
    *plist = nullptr;
    if (envP->fault_occurred) {
        fprintf(stderr, "%s/%s: xmlrpc_client_callX() failed: %s (%d)", parent, self, envP->fault_string,
                envP->fault_code);
        return -14;
    }

    int r;
    xmlrpc_int32 result = 0;
    xmlrpc_value *listP = nullptr;
    xmlrpc_decompose_value(envP, resultP, "{s:i,*}", "result", &result);
    if (envP->fault_occurred) {
        fprintf(stderr, "%s/%s: decompose value failed: %s (%d) [%s:%d]\n", parent, self, envP->fault_string,
                envP->fault_code, SRC_NAME, __LINE__);
        r = -14;
    } else if (result < 0) {
        fprintf(stderr, "%s/%s: return %d (%s)", parent, self, result, pelmora_result_text(result));
        r = result;
    } else {
        xmlrpc_decompose_value(envP, resultP, "{s:A,*}", "list", &listP);
        if (envP->fault_occurred) {
            fprintf(stderr, "%s/%s: decompose value failed: %s (%d) [%s:%d]\n", parent, self, envP->fault_string,
                    envP->fault_code, SRC_NAME, __LINE__);
            r = -14;
        } else {
            int size = xmlrpc_array_size(envP, listP);
            if (envP->fault_occurred) {
                fprintf(stderr, "%s/%s: xmlrpc_array_size failed: %s (%d) [%s:%d]\n", parent, self, envP->fault_string,
                        envP->fault_code, SRC_NAME, __LINE__);
                r = -14;
            } else {
                char **list = (char **)calloc((size_t)size + 1, sizeof(char *));
                if (!list)
                    r = -12;
                else {
                    int n = 0;
                    for (int i = 0; i < size; i++) {
                        xmlrpc_env ienv;
                        xmlrpc_env_init(&ienv);
                        xmlrpc_value *itemP = nullptr;
                        const char *str = nullptr;
                        xmlrpc_array_read_item(&ienv, listP, i, &itemP);
                        if (!ienv.fault_occurred) {
                            xmlrpc_decompose_value(&ienv, itemP, "(s)", &str);
                            xmlrpc_DECREF(itemP);
                        }
                        if (ienv.fault_occurred)
                            fprintf(stderr, "%s/%s: xmlrpc_array_read_item failed: %s (%d)", parent, self,
                                    ienv.fault_string, ienv.fault_code);
                        else
                            list[n++] = (char *)str;
                        xmlrpc_env_clean(&ienv);
                    }
                    *plist = list;
                    r = n;
                }
            }
            xmlrpc_DECREF(listP);
        }
    }
    xmlrpc_DECREF(resultP);
    return r;
}

int parse_custom_list(const char *caller_func_name, xmlrpc_env *envP, xmlrpc_value *resultP, const char *list_name,
                      parse_custom_list_proc proc, void *cookie)
{
    static const char *self = "parse_custom_list";
    if (envP->fault_occurred) {
        fprintf(stderr, "%s/%s: xmlrpc_client_callX() failed: %s (%d)", caller_func_name, self, envP->fault_string,
                envP->fault_code);
        return -14;
    }

    xmlrpc_value *arrayP = resultP;
    if (list_name) {
        arrayP = nullptr;
        xmlrpc_decompose_value(envP, resultP, "{s:A,*}", list_name, &arrayP);
        if (envP->fault_occurred) {
            fprintf(stderr, "%s/%s: decompose value failed: %s (%d) [%s:%d]\n", caller_func_name, self,
                    envP->fault_string, envP->fault_code, SRC_NAME, __LINE__);
            return -14;
        }
    }

    int r;
    int size = xmlrpc_array_size(envP, arrayP);
    if (envP->fault_occurred) {
        fprintf(stderr, "%s/%s: xmlrpc_array_size failed: %s (%d) [%s:%d]\n", caller_func_name, self,
                envP->fault_string, envP->fault_code, SRC_NAME, __LINE__);
        r = -14;
    } else {
        int accepted = 0;
        for (int i = 0; i < size; i++) {
            xmlrpc_env ienv;
            xmlrpc_env_init(&ienv);
            xmlrpc_value *itemP = nullptr;
            xmlrpc_array_read_item(&ienv, arrayP, i, &itemP);
            if (!ienv.fault_occurred) {
                proc(&ienv, itemP, cookie, accepted, size);
                xmlrpc_DECREF(itemP);
            }
            if (ienv.fault_occurred)
                fprintf(stderr, "%s/%s: xmlrpc_array_read_item failed: %s (%d)", caller_func_name, self,
                        ienv.fault_string, ienv.fault_code);
            else
                accepted++;
            xmlrpc_env_clean(&ienv);
        }
        r = accepted;
    }
    if (list_name)
        xmlrpc_DECREF(arrayP);
    return r;
}

int pelmora_msg(const char *hostport, const char *msg)
{
    if (!hostport || !msg)
        return -22;
    const char *colon = strrchr(hostport, ':');
    if (!colon || colon == hostport || !colon[1])
        return -22;
    std::string host(hostport, (size_t)(colon - hostport));
    std::string port(colon + 1);

    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo *ai = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &ai) || !ai)
        return -22;

    int r;
    int fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (fd < 0)
        r = -errno;
    else {
        ssize_t n = sendto(fd, msg, strlen(msg) + 1, 0, ai->ai_addr, ai->ai_addrlen);
        r = n < 0 ? -errno : (int)n;
        close(fd);
    }
    freeaddrinfo(ai);
    return r;
}

int pelmora_play_msg(const char *host)
{
    return pelmora_msg(host, "PelmoraIO.Play");
}

int pelmora_pause_msg(const char *host)
{
    return pelmora_msg(host, "PelmoraIO.Pause");
}

int pelmora_stop_msg(const char *host)
{
    return pelmora_msg(host, "PelmoraIO.Stop");
}

int pelmora_record_msg(const char *host)
{
    return pelmora_msg(host, "PelmoraIO.Record");
}
