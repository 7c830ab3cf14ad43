/* Reading the parameters of the simulator's XML-RPC calls. */
#include "sim_params.h"

#include <stdlib.h>

xmlrpc_value *sim_param(xmlrpc_env *env, xmlrpc_value *params, int pos, xmlrpc_type type)
{
    int n = sim_param_count(env, params);
    if (n < 0)
        return nullptr;
    if (pos >= n) {
        xmlrpc_env_set_fault_formatted(env, XMLRPC_INDEX_ERROR, "parameter %d missing", pos);
        return nullptr;
    }
    xmlrpc_value *v = nullptr;
    xmlrpc_array_read_item(env, params, pos, &v);
    if (env->fault_occurred)
        return nullptr;
    if (type != XMLRPC_TYPE_DEAD && xmlrpc_value_type(v) != type) {
        xmlrpc_DECREF(v);
        xmlrpc_env_set_fault_formatted(env, XMLRPC_TYPE_ERROR, "parameter %d has the wrong type", pos);
        return nullptr;
    }
    return v;
}

int sim_param_count(xmlrpc_env *env, xmlrpc_value *params)
{
    int n = xmlrpc_array_size(env, params);
    return env->fault_occurred ? -1 : n;
}

int sim_param_int(xmlrpc_env *env, xmlrpc_value *params, int pos, int *out)
{
    xmlrpc_value *v = sim_param(env, params, pos, XMLRPC_TYPE_INT);
    if (!v)
        return -1;
    xmlrpc_read_int(env, v, out);
    xmlrpc_DECREF(v);
    return env->fault_occurred ? -1 : 0;
}

int sim_param_double(xmlrpc_env *env, xmlrpc_value *params, int pos, double *out)
{
    xmlrpc_value *v = sim_param(env, params, pos, XMLRPC_TYPE_DOUBLE);
    if (!v)
        return -1;
    xmlrpc_read_double(env, v, out);
    xmlrpc_DECREF(v);
    return env->fault_occurred ? -1 : 0;
}

int sim_param_str(xmlrpc_env *env, xmlrpc_value *params, int pos, std::string *out)
{
    xmlrpc_value *v = sim_param(env, params, pos, XMLRPC_TYPE_STRING);
    if (!v)
        return -1;
    const char *s = nullptr;
    size_t len = 0;
    xmlrpc_read_string_lp(env, v, &len, &s);
    xmlrpc_DECREF(v);
    if (env->fault_occurred)
        return -1;
    out->assign(s, len);
    free((void *)s);
    return 0;
}
