/* The stand-in runtime's reading of its players' answers and
 * announcements (see preview_answer.h). */
#include "preview_answer.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "pelmora_call.h"

int ps_answer_status(xmlrpc_value *answer, ps_status_t *out)
{
    *out = ps_status_t();
    if (!answer)
        return -14;
    pelmora_call c("ps_answer_status", "", "PelmoraIO.GetStatus");
    xmlrpc_INCREF(answer);
    c.adopt(nullptr, answer);
    xmlrpc_int32 status = 0, clip_pos = 0, tc = 0;
    const char *name = nullptr;
    if (!c.decompose("{s:i,s:s,s:i,s:i,*}", "status", &status, "name", &name, "clip_pos", &clip_pos, "tc_frames", &tc))
        return -14;
    size_t len = strnlen(name, PS_NAME_MAX + 1);
    if (len <= PS_NAME_MAX)
        out->name.assign(name, len);
    free((void *)name);
    if (len > PS_NAME_MAX)
        return -14;
    out->status = status;
    out->clip_pos = clip_pos;
    out->tc_frames = tc;
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *v = nullptr;
    xmlrpc_struct_find_value(&env, answer, "cookie", &v);
    if (!env.fault_occurred && v && xmlrpc_value_type(v) == XMLRPC_TYPE_STRING) {
        const char *cookie = nullptr;
        size_t clen = 0;
        xmlrpc_read_string_lp(&env, v, &clen, &cookie);
        if (!env.fault_occurred) {
            if (clen <= PS_NAME_MAX && strnlen(cookie, clen) == clen)
                out->cookie.assign(cookie, clen);
            free((void *)cookie);
        }
    }
    if (v)
        xmlrpc_DECREF(v);
    xmlrpc_env_clean(&env);
    return 0;
}

int ps_answer_file(xmlrpc_value *answer, std::string *file)
{
    file->clear();
    if (!answer)
        return -14;
    pelmora_call c("ps_answer_file", "", "PelmoraIO.LibBasenameItem");
    xmlrpc_INCREF(answer);
    c.adopt(nullptr, answer);
    xmlrpc_int32 result = 0;
    const char *value = nullptr;
    if (!c.decompose("{s:i,s:s,*}", "result", &result, "value", &value))
        return -14;
    size_t len = strnlen(value, PATH_MAX);
    int r = result < 0 ? result : result > 0 ? -14 : len == 0 || len >= PATH_MAX || value[0] != '/' ? -22 : 0;
    if (r == 0)
        file->assign(value, len);
    free((void *)value);
    return r;
}

int ps_announce_media(const char *text, size_t len, std::string *root)
{
    root->clear();
    if (!text || len > PS_ANNOUNCE_MAX)
        return -22;
    static const char key[] = "media=";
    const char *p = text, *end = text + len;
    while (p < end) {
        const char *nl = (const char *)memchr(p, '\n', (size_t)(end - p));
        const char *eol = nl ? nl : end;
        if ((size_t)(eol - p) >= sizeof(key) - 1 && !memcmp(p, key, sizeof(key) - 1)) {
            std::string v(p + sizeof(key) - 1, eol);
            if (v.empty() || v[0] != '/' || v.size() >= PATH_MAX || memchr(v.data(), 0, v.size()))
                return -22;
            *root = v;
            return 0;
        }
        p = eol + 1;
    }
    return -2;
}

int ps_path_inside(const std::string &root, const std::string &real)
{
    if (root.empty() || root[0] != '/')
        return 0;
    /* "/" holds every absolute path. */
    std::string prefix = root == "/" ? root : root + "/";
    return real.size() > prefix.size() && !real.compare(0, prefix.size(), prefix);
}
