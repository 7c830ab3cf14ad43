/* Bounded copies into the fixed text arrays of the records. glibc before 2.38
 * has no strlcpy/strlcat, so we carry our own. */
#include "strl.h"

#include <string.h>

size_t strlcpy(char *dst, const char *src, size_t size)
{
    size_t len = src ? strlen(src) : 0;
    if (size) {
        size_t n = len < size - 1 ? len : size - 1;
        if (n)
            memcpy(dst, src, n);
        dst[n] = 0;
    }
    return len;
}

size_t strlcat(char *dst, const char *src, size_t size)
{
    size_t dlen = strnlen(dst, size);
    if (dlen == size)
        return size + (src ? strlen(src) : 0);
    return dlen + strlcpy(dst + dlen, src, size - dlen);
}
