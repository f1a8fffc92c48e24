#include "json_text.h"

#include "terminal_text.h"

namespace velmo::cli {

namespace {

void appendEscape(std::string& out, unsigned value) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0x0F];
}

// "\xNN" as the text or, with prefix "\\\\x", inside a JSON string.
void appendByte(std::string& out, unsigned char byte, const char* prefix) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += prefix;
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
}

void write(std::string& out, const nlohmann::json& value, int indent, int depth) {
    const bool pretty = indent >= 0;
    const auto newline = [&](int level) {
        if (!pretty) return;
        out += '\n';
        out.append(static_cast<size_t>(indent * level), ' ');
    };
    if (value.is_object()) {
        if (value.empty()) {
            out += "{}";
            return;
        }
        out += '{';
        bool first = true;
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (!first) out += ',';
            first = false;
            newline(depth + 1);
            out += jsonString(it.key());
            out += pretty ? ": " : ":";
            write(out, it.value(), indent, depth + 1);
        }
        newline(depth);
        out += '}';
    } else if (value.is_array()) {
        if (value.empty()) {
            out += "[]";
            return;
        }
        out += '[';
        bool first = true;
        for (const nlohmann::json& element : value) {
            if (!first) out += ',';
            first = false;
            newline(depth + 1);
            write(out, element, indent, depth + 1);
        }
        newline(depth);
        out += ']';
    } else if (value.is_string()) {
        out += jsonString(value.get_ref<const std::string&>());
    } else {
        out += value.dump();
    }
}

}  // namespace

std::string jsonPathText(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        const size_t length = utf8SequenceLength(bytes, i);
        if (length == 0) {
            appendByte(out, static_cast<unsigned char>(bytes[i]), "\\x");
            ++i;
            continue;
        }
        if (bytes[i] == '\\') out += '\\';
        out.append(bytes.substr(i, length));
        i += length;
    }
    return out;
}

std::string jsonString(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + 2);
    out += '"';
    size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const size_t length = utf8SequenceLength(bytes, i);
        if (length == 0) {
            appendByte(out, lead, "\\\\x");
            ++i;
            continue;
        }
        const char32_t c = utf8CodePoint(bytes, i, length);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || isBidiControl(c))
                    appendEscape(out, static_cast<unsigned>(c));
                else
                    out.append(bytes.substr(i, length));
                break;
        }
        i += length;
    }
    out += '"';
    return out;
}

std::string jsonText(const nlohmann::json& value, int indent) {
    std::string out;
    write(out, value, indent, 0);
    return out;
}

}  // namespace velmo::cli
