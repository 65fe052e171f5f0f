#include "commands/json_writer.h"

#include <charconv>
#include <cstdio>

namespace tarnwick {

namespace {

// Length of the well-formed UTF-8 sequence at s[i], or 0 when the bytes
// there are not one (overlong forms, surrogates and values past U+10FFFF
// included).
std::size_t utf8_sequence(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = byte(i);
    std::size_t len = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        lo = b0 == 0xE0 ? 0xA0 : 0x80;
        hi = b0 == 0xED ? 0x9F : 0xBF;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        lo = b0 == 0xF0 ? 0x90 : 0x80;
        hi = b0 == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (len > s.size() - i) {
        return 0;
    }
    if (byte(i + 1) < lo || byte(i + 1) > hi) {
        return 0;
    }
    for (std::size_t k = 2; k < len; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) {
            return 0;
        }
    }
    return len;
}

}  // namespace

void append_json_string(std::string& out, std::string_view s) {
    out += '"';
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            switch (c) {
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                case '\b': out += "\\b"; break;
                case '\f': out += "\\f"; break;
                default:
                    if (c < 0x20 || c == 0x7F) {
                        char esc[8];
                        std::snprintf(esc, sizeof esc, "\\u%04X", c);
                        out += esc;
                    } else {
                        out += static_cast<char>(c);
                    }
            }
            ++i;
            continue;
        }
        const std::size_t len = utf8_sequence(s, i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD for each byte that starts no sequence
            ++i;
        } else {
            out.append(s.substr(i, len));
            i += len;
        }
    }
    out += '"';
}

void JsonWriter::before_value() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!first_) {
        text_ += ',';
    }
    first_ = false;
}

JsonWriter& JsonWriter::begin_object() {
    before_value();
    text_ += '{';
    first_ = true;
    return *this;
}

JsonWriter& JsonWriter::end_object() {
    text_ += '}';
    first_ = false;
    return *this;
}

JsonWriter& JsonWriter::begin_array() {
    before_value();
    text_ += '[';
    first_ = true;
    return *this;
}

JsonWriter& JsonWriter::end_array() {
    text_ += ']';
    first_ = false;
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
    before_value();
    append_json_string(text_, name);
    text_ += ':';
    after_key_ = true;
    return *this;
}

JsonWriter& JsonWriter::string(std::string_view bytes) {
    before_value();
    append_json_string(text_, bytes);
    return *this;
}

JsonWriter& JsonWriter::number(std::uint64_t value) {
    before_value();
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    text_.append(digits, end);
    return *this;
}

JsonWriter& JsonWriter::boolean(bool value) {
    before_value();
    text_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::null() {
    before_value();
    text_ += "null";
    return *this;
}

JsonWriter& JsonWriter::hex(std::uint64_t value, int digits) {
    before_value();
    char text[32];
    std::snprintf(text, sizeof text, "\"0x%0*llX\"", digits, static_cast<unsigned long long>(value));
    text_ += text;
    return *this;
}

}  // namespace tarnwick
