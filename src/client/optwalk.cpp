#include "optwalk.h"

int optwalk_long(int argc, char **argv, int *i, const std::function<bool(const std::string &)> &takes_value,
                 std::string *name, std::string *val, std::string *err)
{
    *name = argv[*i] + 2;
    val->clear();
    size_t eq = name->find('=');
    bool f_has = eq != std::string::npos;
    if (f_has) {
        *val = name->substr(eq + 1);
        name->resize(eq);
    }
    bool f_needs = takes_value(*name);
    if (f_needs && !f_has) {
        if (*i + 1 >= argc) {
            *err = "--" + *name + " needs a value";
            return -22;
        }
        *val = argv[++*i];
    } else if (!f_needs && f_has) {
        *err = "--" + *name + " takes no value";
        return -22;
    }
    return 0;
}
