/* One figure of this process's /proc/self/status in kB ("VmRSS", "VmHWM"),
 * -1 when it cannot be read: the memory checks of the client tests. */
#pragma once
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

inline long proc_status_kb(const char *field)
{
    FILE *f = fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    size_t n = strlen(field);
    while (f && fgets(line, sizeof line, f))
        if (!strncmp(line, field, n) && line[n] == ':')
            kb = atol(line + n + 1);
    if (f)
        fclose(f);
    return kb;
}
