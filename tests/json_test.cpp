// The JSON writer: strings that come out valid whatever bytes go in, and
// commas where JSON wants them.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/json_writer.h"

namespace {

TEST(JsonString, EscapesAndReplacesWhatIsNotUtf8) {
    struct Case {
        const char* name;
        std::string in;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"plain", "fw/bios.bin", "\"fw/bios.bin\""},
        {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
        {"short escapes", "\n\r\t\b\f", "\"\\n\\r\\t\\b\\f\""},
        {"other control characters", std::string("\x01\x1F\x7F", 3), "\"\\u0001\\u001F\\u007F\""},
        {"NUL", std::string("a\0b", 3), "\"a\\u0000b\""},
        {"two-byte UTF-8 kept", "\xC3\xA9", "\"\xC3\xA9\""},
        {"three-byte UTF-8 kept", "\xE2\x82\xAC", "\"\xE2\x82\xAC\""},
        {"four-byte UTF-8 kept", "\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
        {"lone continuation byte", "a\x80z", "\"a\xEF\xBF\xBDz\""},
        {"0xFF", "\xFF", "\"\xEF\xBF\xBD\""},
        {"cut sequence at the end", "a\xE2\x82", "\"a\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"cut sequence before ASCII", "\xE2\x82z", "\"\xEF\xBF\xBD\xEF\xBF\xBDz\""},
        {"overlong slash", "\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"overlong three-byte", "\xE0\x80\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"surrogate", "\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"past U+10FFFF", "\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"largest code point", "\xF4\x8F\xBF\xBF", "\"\xF4\x8F\xBF\xBF\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string out;
        tarnwick::append_json_string(out, c.in);
        EXPECT_EQ(out, c.out);
    }
}

TEST(JsonWriter, PlacesCommasInNestedContainers) {
    tarnwick::JsonWriter j;
    j.begin_object()
        .key("a").number(0)
        .key("b").begin_array().number(18446744073709551615ull).boolean(true).null().begin_object().end_object()
        .begin_array().end_array().end_array()
        .key("c").hex(0x306C3).key("d").hex(0x100, 4).key("e").hex(0x123456789ull)
        .key("f").begin_object().key("g").string("x").end_object()
        .end_object();
    EXPECT_EQ(j.text(), "{\"a\":0,\"b\":[18446744073709551615,true,null,{},[]],\"c\":\"0x000306C3\",\"d\":\"0x0100\","
                        "\"e\":\"0x123456789\",\"f\":{\"g\":\"x\"}}");
}

}  // namespace
