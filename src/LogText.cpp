// Escaping of log lines and the text of whole seconds.
#include "LogText.h"

#include <cmath>
#include <cstdio>

namespace drovix {

namespace {

void appendEscape(std::string& out, const char* format, unsigned value)
{
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, format, value);
    out += buffer;
}

// Length of the well-formed UTF-8 sequence at the start of text, or 0 when it is not one.
size_t utf8SequenceLength(std::string_view text, char32_t& codePoint)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    size_t length;
    char32_t value;
    char32_t least;
    if (lead < 0x80)
        return codePoint = lead, 1;
    if ((lead & 0xE0) == 0xC0)
        length = 2, value = lead & 0x1F, least = 0x80;
    else if ((lead & 0xF0) == 0xE0)
        length = 3, value = lead & 0x0F, least = 0x800;
    else if ((lead & 0xF8) == 0xF0)
        length = 4, value = lead & 0x07, least = 0x10000;
    else
        return 0;
    if (text.size() < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (byte(i) & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    codePoint = value;
    return length;
}

} // namespace

std::string escapedForLog(std::string_view message)
{
    std::string out;
    out.reserve(message.size());
    while (!message.empty()) {
        char32_t c = 0;
        const size_t length = utf8SequenceLength(message, c);
        if (length == 0) {
            appendEscape(out, "\\x%02x", static_cast<unsigned char>(message[0]));
            message.remove_prefix(1);
            continue;
        }
        switch (c) {
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
            if (c < 0x20 || c == 0x7F)
                appendEscape(out, "\\x%02x", static_cast<unsigned>(c));
            else if ((c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029)
                appendEscape(out, "\\u%04x", static_cast<unsigned>(c));
            else
                out.append(message.substr(0, length));
        }
        message.remove_prefix(length);
    }
    return out;
}

std::optional<std::string> wholeSecondsText(double seconds)
{
    if (!std::isfinite(seconds))
        return std::nullopt;
    const double whole = std::trunc(seconds);
    // 2^63 is exact in a double; every value in [-2^63, 2^63) converts without overflow.
    constexpr double limit = 9223372036854775808.0;
    if (whole < -limit || whole >= limit)
        return std::nullopt;
    return std::to_string(static_cast<std::int64_t>(whole));
}

} // namespace drovix
