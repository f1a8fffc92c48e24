#include "terminal_text.h"

#include <cstddef>

namespace velmo {

size_t utf8SequenceLength(std::string_view s, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[at + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    size_t length = 0;
    // The second byte's range depends on the lead byte; this is what rules out
    // overlong forms (E0, F0), surrogates (ED) and values past U+10FFFF (F4).
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (s.size() - at < length) return 0;
    if (byte(1) < low || byte(1) > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
    }
    return length;
}

char32_t utf8CodePoint(std::string_view s, size_t at, size_t length) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[at + i]); };
    if (length <= 1) return byte(0);
    char32_t c = byte(0) & (0xFF >> (length + 1));
    for (size_t i = 1; i < length; ++i) c = (c << 6) | (byte(i) & 0x3F);
    return c;
}

bool isBidiControl(char32_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string messageName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (char c : name) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

std::string terminalText(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    const auto escape = [&](unsigned char c) {
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 0x0F];
    };
    size_t i = 0;
    while (i < bytes.size()) {
        const size_t length = utf8SequenceLength(bytes, i);
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (length == 0) {
            // Only the first byte is escaped: what follows it may start a
            // character of its own.
            escape(lead);
            ++i;
        } else if (lead == '\n') {
            out += "\\n";
            ++i;
        } else if (length == 1 && (lead < 0x20 || lead == 0x7F)) {
            escape(lead);
            ++i;
        } else if (length == 2 && lead == 0xC2 && static_cast<unsigned char>(bytes[i + 1]) <= 0x9F) {
            // U+0080 to U+009F: the C1 controls, which some terminals obey
            // (U+009B opens a control sequence as ESC [ does).
            escape(lead);
            escape(static_cast<unsigned char>(bytes[i + 1]));
            i += 2;
        } else if (const char32_t c = utf8CodePoint(bytes, i, length); isBidiControl(c)) {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 0x0F];
            i += length;
        } else {
            out.append(bytes.substr(i, length));
            i += length;
        }
    }
    return out;
}

}  // namespace velmo
