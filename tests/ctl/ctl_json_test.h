/* A strict little JSON reader for the pelmora-ctl tests: it refuses raw
 * control characters, invalid UTF-8, bad escapes and trailing text, so a
 * line it accepts is one any JSON consumer accepts. */
#pragma once
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

struct jv
{
    enum kind_t
    {
        NUL,
        BOOL,
        NUM,
        STR,
        ARR,
        OBJ
    } kind = NUL;
    bool b = false;
    long long num = 0;
    std::string str;
    std::vector<jv> arr;
    std::vector<std::pair<std::string, jv>> obj; /* members in their order */

    const jv *get(const std::string &k) const
    {
        for (const auto &m : obj)
            if (m.first == k)
                return &m.second;
        return nullptr;
    }
    std::string s(const std::string &k) const
    {
        const jv *v = get(k);
        return v && v->kind == STR ? v->str : std::string("<missing ") + k + ">";
    }
    long long n(const std::string &k) const
    {
        const jv *v = get(k);
        return v && v->kind == NUM ? v->num : -999999;
    }
};

struct jv_reader
{
    const char *p;
    const char *end;
    bool ok = true;

    void ws()
    {
        while (p < end && (*p == ' ' || *p == '\n' || *p == '\t' || *p == '\r'))
            p++;
    }
    bool fail()
    {
        ok = false;
        return false;
    }
    static void put_utf8(std::string *o, uint32_t cp)
    {
        if (cp < 0x80)
            o->push_back((char)cp);
        else if (cp < 0x800) {
            o->push_back((char)(0xc0 | (cp >> 6)));
            o->push_back((char)(0x80 | (cp & 0x3f)));
        } else if (cp < 0x10000) {
            o->push_back((char)(0xe0 | (cp >> 12)));
            o->push_back((char)(0x80 | ((cp >> 6) & 0x3f)));
            o->push_back((char)(0x80 | (cp & 0x3f)));
        } else {
            o->push_back((char)(0xf0 | (cp >> 18)));
            o->push_back((char)(0x80 | ((cp >> 12) & 0x3f)));
            o->push_back((char)(0x80 | ((cp >> 6) & 0x3f)));
            o->push_back((char)(0x80 | (cp & 0x3f)));
        }
    }
    bool hex4(uint32_t *v)
    {
        if (end - p < 4)
            return fail();
        *v = 0;
        for (int i = 0; i < 4; i++) {
            char c = *p++;
            int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (d < 0)
                return fail();
            *v = *v * 16 + (uint32_t)d;
        }
        return true;
    }
    bool string(std::string *o)
    {
        if (p >= end || *p != '"')
            return fail();
        p++;
        while (p < end && *p != '"') {
            unsigned char c = (unsigned char)*p;
            if (c < 0x20)
                return fail();
            if (c == '\\') {
                if (++p >= end)
                    return fail();
                char e = *p++;
                switch (e) {
                case '"':
                    o->push_back('"');
                    break;
                case '\\':
                    o->push_back('\\');
                    break;
                case '/':
                    o->push_back('/');
                    break;
                case 'b':
                    o->push_back('\b');
                    break;
                case 'f':
                    o->push_back('\f');
                    break;
                case 'n':
                    o->push_back('\n');
                    break;
                case 'r':
                    o->push_back('\r');
                    break;
                case 't':
                    o->push_back('\t');
                    break;
                case 'u': {
                    uint32_t v;
                    if (!hex4(&v))
                        return false;
                    if (v >= 0xd800 && v <= 0xdbff) {
                        uint32_t lo;
                        if (end - p < 2 || p[0] != '\\' || p[1] != 'u')
                            return fail();
                        p += 2;
                        if (!hex4(&lo) || lo < 0xdc00 || lo > 0xdfff)
                            return fail();
                        v = 0x10000 + ((v - 0xd800) << 10) + (lo - 0xdc00);
                    } else if (v >= 0xdc00 && v <= 0xdfff)
                        return fail();
                    put_utf8(o, v);
                    break;
                }
                default:
                    return fail();
                }
                continue;
            }
            /* Raw bytes must be well-formed UTF-8. */
            int len = c < 0x80                   ? 1
                      : (c >= 0xc2 && c <= 0xdf) ? 2
                      : (c >= 0xe0 && c <= 0xef) ? 3
                      : (c >= 0xf0 && c <= 0xf4) ? 4
                                                 : 0;
            if (!len || end - p < len)
                return fail();
            uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1f) : len == 3 ? (c & 0x0f) : (c & 0x07);
            for (int i = 1; i < len; i++) {
                unsigned char cc = (unsigned char)p[i];
                if ((cc & 0xc0) != 0x80)
                    return fail();
                cp = (cp << 6) | (cc & 0x3f);
            }
            static const uint32_t min[] = {0, 0, 0x80, 0x800, 0x10000};
            if (cp < min[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
                return fail();
            o->append(p, (size_t)len);
            p += len;
        }
        if (p >= end)
            return fail();
        p++;
        return true;
    }
    bool value(jv *v)
    {
        ws();
        if (p >= end)
            return fail();
        if (*p == '{') {
            v->kind = jv::OBJ;
            p++;
            ws();
            if (p < end && *p == '}') {
                p++;
                return true;
            }
            for (;;) {
                ws();
                std::string k;
                if (!string(&k))
                    return false;
                ws();
                if (p >= end || *p != ':')
                    return fail();
                p++;
                jv m;
                if (!value(&m))
                    return false;
                v->obj.emplace_back(k, std::move(m));
                ws();
                if (p < end && *p == ',') {
                    p++;
                    continue;
                }
                if (p < end && *p == '}') {
                    p++;
                    return true;
                }
                return fail();
            }
        }
        if (*p == '[') {
            v->kind = jv::ARR;
            p++;
            ws();
            if (p < end && *p == ']') {
                p++;
                return true;
            }
            for (;;) {
                jv m;
                if (!value(&m))
                    return false;
                v->arr.push_back(std::move(m));
                ws();
                if (p < end && *p == ',') {
                    p++;
                    continue;
                }
                if (p < end && *p == ']') {
                    p++;
                    return true;
                }
                return fail();
            }
        }
        if (*p == '"') {
            v->kind = jv::STR;
            return string(&v->str);
        }
        if (end - p >= 4 && !strncmp(p, "true", 4)) {
            v->kind = jv::BOOL;
            v->b = true;
            p += 4;
            return true;
        }
        if (end - p >= 5 && !strncmp(p, "false", 5)) {
            v->kind = jv::BOOL;
            p += 5;
            return true;
        }
        if (end - p >= 4 && !strncmp(p, "null", 4)) {
            p += 4;
            return true;
        }
        /* Integers are all the program writes. */
        const char *s = p;
        if (p < end && *p == '-')
            p++;
        if (p >= end || *p < '0' || *p > '9' || (*p == '0' && p + 1 < end && p[1] >= '0' && p[1] <= '9'))
            return fail();
        while (p < end && *p >= '0' && *p <= '9')
            p++;
        v->kind = jv::NUM;
        v->num = strtoll(std::string(s, p).c_str(), nullptr, 10);
        return true;
    }
};

/* Parses one JSON text; false when it is not exactly one valid value. */
inline bool jv_parse(const std::string &text, jv *out)
{
    *out = jv();
    jv_reader r{text.data(), text.data() + text.size()};
    if (!r.value(out))
        return false;
    r.ws();
    return r.ok && r.p == r.end;
}

/* Every line of text parsed; false when any line is not valid JSON. */
inline bool jv_parse_lines(const std::string &text, std::vector<jv> *out)
{
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            return false; /* every object ends its line */
        jv v;
        if (!jv_parse(text.substr(pos, nl - pos), &v))
            return false;
        out->push_back(std::move(v));
        pos = nl + 1;
    }
    return true;
}
