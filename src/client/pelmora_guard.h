/* The guard in front of xmlrpc-c's XML parser: every XML-RPC document that
 * comes from outside (a server's answer in the client transport, a request
 * reaching pelmora-sim) is checked here first, because xmlrpc-c 1.33 cannot
 * be trusted with some of them:
 *  - an <i8> value that is not a plain decimal int64 (12a, 99999999999999999999,
 *    "-", " 1 ", a character reference or CDATA inside, attributes on the tag)
 *    crashes the library while it formats its own error;
 *  - a DOCTYPE with nested entities keeps the parser busy for minutes;
 *  - nothing stops an answer from growing without end.
 * The other value types (i4, int, double, boolean, dateTime, base64, string,
 * array, struct, nil) fail cleanly inside xmlrpc-c and are left to it. */
#pragma once
#include <stddef.h>

/* The largest document xmlrpc-c parses (its XML size limit, 512 KiB by
 * default): the transport stops reading an answer at this size. */
size_t pelmora_xml_limit(void);

/* 0 when xml[0..len) may be handed to xmlrpc-c; -22 with *why (when given)
 * set to a static text naming the reason when not: larger than the limit,
 * not ASCII-compatible (UTF-16/32, whose elements the check could not see,
 * or a NUL byte), a declaration (<!DOCTYPE, <!ENTITY, ...), an unterminated
 * comment, CDATA section or processing instruction, or a malformed i8 value. */
int pelmora_xml_guard(const char *xml, size_t len, const char **why);
