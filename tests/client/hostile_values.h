/* XML-RPC values that xmlrpc-c cannot take, of every type (bad digits,
 * overflow, empty, nested, NUL in a string, broken arrays and structs): the
 * hostile-server and hostile-client tests send each of them. The i8 ones
 * crash xmlrpc-c 1.33 unless the XML guard stops them first. */
#pragma once
#include <string>
#include <vector>

inline std::string hostile_nested(int depth)
{
    std::string v;
    for (int i = 0; i < depth; i++)
        v += "<array><data><value>";
    v += "<i4>1</i4>";
    for (int i = 0; i < depth; i++)
        v += "</value></data></array>";
    return v;
}

inline std::vector<std::string> malformed_values()
{
    return {
        "<i4>12a</i4>",
        "<i4>99999999999</i4>",
        "<i4></i4>",
        "<int>-</int>",
        "<i8>12a</i8>",
        "<i8>99999999999999999999</i8>",
        "<i8>-9223372036854775809</i8>",
        "<i8></i8>",
        "<i8>-</i8>",
        "<i8>1 </i8>",
        "<ex:i8>0x10</ex:i8>",
        "<i8><![CDATA[7]]></i8>",
        "<i8>1&#50;a</i8>",
        "<i8 a=\"1\">1</i8>",
        "<double>abc</double>",
        "<double></double>",
        "<double>1e99999</double>",
        "<double>1.2.3</double>",
        "<boolean>2</boolean>",
        "<boolean></boolean>",
        "<boolean>true</boolean>",
        "<dateTime.iso8601>x</dateTime.iso8601>",
        "<dateTime.iso8601></dateTime.iso8601>",
        "<dateTime.iso8601>99999999T99:99:99</dateTime.iso8601>",
        "<base64>a</base64>",
        "<base64>====</base64>",
        "<string>a&#0;b</string>",
        std::string("<string>a\0b</string>", 20),
        "<string>&bogus;</string>",
        "<array></array>",
        "<array><data></data><data></data></array>",
        "<struct><member><name>a</name></member></struct>",
        "<struct><member><value><i4>1</i4></value></member></struct>",
        "<i8><i8>1</i8></i8>",
        hostile_nested(5000),
    };
}

/* A DOCTYPE whose entities expand ten to the power of ten times. */
inline std::string hostile_doctype()
{
    std::string d = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\">";
    const char *names = "abcdefghij";
    for (int n = 1; n < 10; n++) {
        d += std::string("<!ENTITY ") + names[n] + " \"";
        for (int i = 0; i < 10; i++)
            d += std::string("&") + names[n - 1] + ";";
        d += "\">";
    }
    return d + "]>";
}
