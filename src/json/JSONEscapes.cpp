// Backslash escapes: decoding them in parsed text, producing them in written text.
#include <array>

#include "json/JSONWorker.h"

namespace {

// A character that is not a valid digit counts as 0: escapes never fail.
unsigned hexValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    return 0;
}

unsigned octalValue(char c) {
    return (c >= '0' && c <= '7') ? static_cast<unsigned>(c - '0') : 0;
}

// The value of the four hex digits after the 'u' at `pos`.
unsigned codeUnit(const char* text, std::size_t pos) {
    return hexValue(text[pos + 1]) << 12 | hexValue(text[pos + 2]) << 8 |
           hexValue(text[pos + 3]) << 4 | hexValue(text[pos + 4]);
}

void appendUtf8(unsigned code, json_string& output) {
    if (code < 0x800) {
        output += static_cast<char>(0xC0 | code >> 6);
    } else {
        if (code < 0x10000) {
            output += static_cast<char>(0xE0 | code >> 12);
        } else {
            output += static_cast<char>(0xF0 | code >> 18);
            output += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        }
        output += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    }
    output += static_cast<char>(0x80 | (code & 0x3F));
}

constexpr unsigned kReplacementCharacter = 0xFFFD;

char hexDigit(unsigned value) {
    return "0123456789ABCDEF"[value & 0xF];
}

// The bytes written as they are: printable ASCII but the quote, the backslash and the slash.
constexpr std::array<bool, 256> kPlain = [] {
    std::array<bool, 256> plain{};
    for (unsigned byte = 32; byte <= 126; ++byte)
        plain[byte] = byte != '"' && byte != '\\' && byte != '/';
    return plain;
}();

}  // namespace

json_string JSONWorker::FixString(const char* text, std::size_t length) {
    json_string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] != '\\') {
            out += text[i];
        } else if (i + 1 < length) {
            i = SpecialChar(text, length, i + 1, out);
        }
    }
    return out;
}

// Decodes the escape whose letter stands at `pos`; returns the position of its last character.
std::size_t JSONWorker::SpecialChar(const char* text, std::size_t length, std::size_t pos,
                                    json_string& output) {
    const std::size_t following = length - pos - 1;
    const char c = text[pos];
    switch (c) {
        case kEscapedQuote:
            output += '"';
            return pos;
        case 't':
            output += '\t';
            return pos;
        case 'n':
            output += '\n';
            return pos;
        case 'r':
            output += '\r';
            return pos;
        case 'b':
            output += '\b';
            return pos;
        case 'f':
            output += '\f';
            return pos;
        case 'v':
            output += '\v';
            return pos;
        case 'u':
            if (following >= 4) return UnicodeEscape(text, length, pos, output);
            output += '\0';
            return pos;
        case 'x':
            if (following >= 2) {
                output += static_cast<char>(hexValue(text[pos + 1]) << 4 | hexValue(text[pos + 2]));
                return pos + 2;
            }
            output += '\0';
            return pos;
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
            if (following >= 2) {
                const unsigned byte =
                    octalValue(c) * 64 + octalValue(text[pos + 1]) * 8 + octalValue(text[pos + 2]);
                output += static_cast<char>(byte & 0xFF);
                return pos + 2;
            }
            // Too short: the digits themselves, the first one included, are read as text.
            output += '\0';
            return pos - 1;
        default:
            output += c;
            return pos;
    }
}

// \u0000 to \u00FF stand for the byte itself: the writer escapes byte by byte, so what went out
// as \u00XX comes back as the same byte. Anything above is a character and becomes its UTF-8.
// Keeping only the low byte there would let a page spell a member name the host reads (say
// "command") with code units no other reader takes for those letters, so a surrogate pair is
// one character and a lone surrogate is U+FFFD, as a browser's own decoder has it.
std::size_t JSONWorker::UnicodeEscape(const char* text, std::size_t length, std::size_t pos,
                                      json_string& output) {
    const unsigned unit = codeUnit(text, pos);
    std::size_t last = pos + 4;
    if (unit <= 0xFF) {
        output += static_cast<char>(unit);
        return last;
    }
    unsigned code = unit;
    if (unit >= 0xD800 && unit <= 0xDFFF) {
        code = kReplacementCharacter;
        const bool pairFollows =
            unit <= 0xDBFF && length - last > 6 && text[last + 1] == '\\' && text[last + 2] == 'u';
        if (pairFollows) {
            const unsigned low = codeUnit(text, last + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                code = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                last += 6;
            }
        }
    }
    appendUtf8(code, output);
    return last;
}

void JSONWorker::UnfixString(const json_string& text, bool escape, std::string& output) {
    if (!escape) {
        output.append(text.data(), text.size());
        return;
    }
    // Bytes that need no escape are copied in runs: a reply carries whole certificates.
    std::size_t plain = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if (kPlain[byte]) continue;
        output.append(text.data() + plain, i - plain);
        plain = i + 1;
        switch (byte) {
            case '"':
                output += "\\\"";
                break;
            case '\\':
                output += "\\\\";
                break;
            case '\t':
                output += "\\t";
                break;
            case '\n':
                output += "\\n";
                break;
            case '\r':
                output += "\\r";
                break;
            case '/':
                output += "\\/";
                break;
            case '\b':
                output += "\\b";
                break;
            case '\f':
                output += "\\f";
                break;
            default:
                output += toUTF8(byte);
        }
    }
    output.append(text.data() + plain, text.size() - plain);
}

std::string JSONWorker::toUTF8(unsigned char byte) {
    return std::string{'\\', 'u', '0', '0', hexDigit(byte >> 4u), hexDigit(byte)};
}
