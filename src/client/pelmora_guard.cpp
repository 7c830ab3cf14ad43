/* The guard in front of xmlrpc-c's XML parser (see pelmora_guard.h). One
 * pass over the text, no allocation: it runs on every answer and request. */
#include "pelmora_guard.h"

#include <stdint.h>
#include <string.h>

#include <xmlrpc-c/base.h>

size_t pelmora_xml_limit(void)
{
    return xmlrpc_limit_get(XMLRPC_XML_SIZE_LIMIT_ID);
}

/* Position of needle in [p, end), or null. */
static const char *find(const char *p, const char *end, const char *needle)
{
    size_t n = strlen(needle);
    while ((size_t)(end - p) >= n) {
        const char *q = (const char *)memchr(p, needle[0], (size_t)(end - p) - n + 1);
        if (!q)
            return nullptr;
        if (!memcmp(q, needle, n))
            return q;
        p = q + 1;
    }
    return nullptr;
}

static bool starts(const char *p, const char *end, const char *prefix)
{
    size_t n = strlen(prefix);
    return (size_t)(end - p) >= n && !memcmp(p, prefix, n);
}

static bool name_char(char c)
{
    return c != '>' && c != '/' && c != ' ' && c != '\t' && c != '\r' && c != '\n';
}

/* An i8 content the library converts without fault: an optional sign and
 * 1 to 19 decimal digits within the int64 range, nothing else. */
static bool plain_i8(const char *p, const char *end)
{
    bool neg = false;
    if (p < end && (*p == '+' || *p == '-')) {
        neg = *p == '-';
        p++;
    }
    if (p == end || end - p > 19)
        return false;
    uint64_t v = 0;
    for (; p < end; p++) {
        if (*p < '0' || *p > '9')
            return false;
        v = v * 10 + (uint64_t)(*p - '0'); /* 19 digits cannot wrap a uint64 */
    }
    return v <= (neg ? (uint64_t)INT64_MAX + 1 : (uint64_t)INT64_MAX);
}

int pelmora_xml_guard(const char *xml, size_t len, const char **why)
{
    const char *dummy;
    if (!why)
        why = &dummy;
    *why = "";
    if (!xml) {
        *why = "no document";
        return -22;
    }
    if (len > pelmora_xml_limit()) {
        *why = "larger than the XML size limit";
        return -22;
    }
    /* The scan below reads ASCII markup. A UTF-16 or UTF-32 document (a
     * byte-order mark, or the zero bytes of its ASCII characters) would hide
     * its elements from it while the parser decodes them, so only
     * ASCII-compatible documents are taken; XML-RPC is UTF-8 anyway. */
    const unsigned char *u = (const unsigned char *)xml;
    if ((len >= 2 && ((u[0] == 0xfe && u[1] == 0xff) || (u[0] == 0xff && u[1] == 0xfe))) || memchr(xml, 0, len)) {
        *why = "not an ASCII-compatible document (UTF-16, UTF-32 or a NUL byte)";
        return -22;
    }
    const char *p = xml, *end = xml + len;
    /* Constructs whose content is not markup: skipped whole. */
    static const struct
    {
        const char *open, *close, *unterminated;
    } skipped[] = {
        {"<!--", "-->", "unterminated comment"},
        {"<![CDATA[", "]]>", "unterminated CDATA section"},
        {"<?", "?>", "unterminated processing instruction"},
    };
    while ((p = (const char *)memchr(p, '<', (size_t)(end - p)))) {
        const char *after = nullptr;
        for (const auto &k : skipped) {
            if (!starts(p, end, k.open))
                continue;
            const char *q = find(p + strlen(k.open), end, k.close);
            if (!q) {
                *why = k.unterminated;
                return -22;
            }
            after = q + strlen(k.close);
            break;
        }
        if (after) {
            p = after;
            continue;
        }
        if (starts(p, end, "<!")) {
            /* XML-RPC has no use for a DOCTYPE, and its entities are what
             * make the parser expand without end. */
            *why = "declaration (DOCTYPE or ENTITY) in an XML-RPC document";
            return -22;
        }
        const char *name = ++p;
        while (p < end && name_char(*p))
            p++;
        /* The element's local name: "i8" and "ex:i8" are the library's; any
         * prefix is checked alike so that no spelling slips past. */
        const char *local = name;
        for (const char *c = name; c < p; c++)
            if (*c == ':')
                local = c + 1;
        if (p - local != 2 || local[0] != 'i' || local[1] != '8')
            continue;
        if (p == end || *p != '>') {
            *why = "i8 element with attributes or without content";
            return -22;
        }
        const char *content = ++p;
        const char *close = (const char *)memchr(p, '<', (size_t)(end - p));
        if (!close || !starts(close, end, "</") || !plain_i8(content, close)) {
            *why = "malformed i8 value";
            return -22;
        }
        p = close;
    }
    return 0;
}
