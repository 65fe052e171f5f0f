#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick {

// Builds one JSON text in memory. Commas are placed by the writer; the
// caller only opens and closes containers, names members and gives values.
// Strings are written as valid UTF-8 whatever bytes they hold.
class JsonWriter {
public:
    JsonWriter& begin_object();
    JsonWriter& end_object();
    JsonWriter& begin_array();
    JsonWriter& end_array();
    // The name of the next member of the open object.
    JsonWriter& key(std::string_view name);

    JsonWriter& string(std::string_view bytes);
    JsonWriter& number(std::uint64_t value);
    JsonWriter& boolean(bool value);
    JsonWriter& null();
    // An identifier as the string "0x" and upper-case hex digits, at least
    // `digits` of them: "0x000306C3".
    JsonWriter& hex(std::uint64_t value, int digits = 8);

    const std::string& text() const { return text_; }

private:
    void before_value();

    std::string text_;
    bool first_ = true;  // nothing yet in the open container
    bool after_key_ = false;
};

// Appends `bytes` to `out` as a JSON string, quotes included. Quotes,
// backslashes and control characters are escaped; bytes that are not UTF-8
// become U+FFFD.
void append_json_string(std::string& out, std::string_view bytes);

}  // namespace tarnwick
