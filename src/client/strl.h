/* Bounded string copy and append into fixed-size arrays: the result is always
 * terminated and the return value is the length the full result would have,
 * so a caller can tell truncation by comparing it with the size. */
#pragma once
#include <stddef.h>

size_t strlcpy(char *dst, const char *src, size_t size);
size_t strlcat(char *dst, const char *src, size_t size);
