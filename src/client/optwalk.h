/* The long-option walker of the command-line tools: `--name=value`,
 * `--name value` and `--name`, with the same messages in every tool. */
#pragma once

#include <functional>
#include <string>

/* Splits argv[*i], which starts with "--", into name and value. A name for
 * which takes_value() holds takes the next argument when it has no '='
 * (advancing *i); any other name refuses a value. Returns 0, or -22 with
 * "--NAME needs a value" / "--NAME takes no value" in err. */
int optwalk_long(int argc, char **argv, int *i, const std::function<bool(const std::string &)> &takes_value,
                 std::string *name, std::string *val, std::string *err);
