/* The parameters of an XML-RPC call as the simulator's methods read them:
 * a missing item or one of the wrong type sets a fault on `env`
 * (XMLRPC_INDEX_ERROR, XMLRPC_TYPE_ERROR) that answers the call. */
#pragma once
#include <xmlrpc-c/base.h>

#include <string>

/* Parameter `pos` (from 0) of type `type` (XMLRPC_TYPE_DEAD: any type), a
 * reference the caller releases; null with the fault set. */
xmlrpc_value *sim_param(xmlrpc_env *env, xmlrpc_value *params, int pos, xmlrpc_type type);
/* How many parameters the call has, or -1 with the fault set. */
int sim_param_count(xmlrpc_env *env, xmlrpc_value *params);
/* An i4, a double, a string (as sent, NULs and all) at `pos`: 0, or -1
 * with the fault set and *out unchanged. */
int sim_param_int(xmlrpc_env *env, xmlrpc_value *params, int pos, int *out);
int sim_param_double(xmlrpc_env *env, xmlrpc_value *params, int pos, double *out);
int sim_param_str(xmlrpc_env *env, xmlrpc_value *params, int pos, std::string *out);
