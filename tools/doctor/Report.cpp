#include "Report.h"

#include <cstddef>

namespace p11bridge::doctor {
namespace {

std::string Count(int n, const char* what) {
    return (n == 0 ? std::string("no") : std::to_string(n)) + " " + what + (n == 1 ? "" : "s");
}

// The length of the well-formed UTF-8 sequence at text[at], or 0.
std::size_t Utf8Length(const std::string& text, std::size_t at) {
    auto byte = [&text](std::size_t i) {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0U;
    };
    unsigned lead = byte(at);
    std::size_t length = lead < 0x80   ? 1
                         : lead < 0xC2 ? 0
                         : lead < 0xE0 ? 2
                         : lead < 0xF0 ? 3
                         : lead < 0xF5 ? 4
                                       : 0;
    // The second byte's range rules out overlong forms, surrogates and code points past U+10FFFF.
    unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    for (std::size_t i = 1; i < length; ++i) {
        unsigned next = byte(at + i);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

// Labels, names and paths come from tokens, modules, certificates and files that anyone may have
// written: a control character or escape sequence among them would steer the terminal that shows
// the report. Each is shown as an escape instead (the backslash too, so that what is shown reads
// back one way only), as is every byte that is not UTF-8.
std::string Printable(const std::string& text) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[at]);
        std::size_t length = Utf8Length(text, at);
        bool c1 = length == 2 && c == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0;
        if (c == '\\') {
            out += "\\\\";
        } else if (length == 0 || c < 0x20 || c == 0x7F) {
            out += std::string("\\x") + kDigits[c >> 4] + kDigits[c & 0x0F];
            length = 1;
        } else if (c1) {
            unsigned char code = static_cast<unsigned char>(text[at + 1]);
            out += std::string("\\u00") + kDigits[code >> 4] + kDigits[code & 0x0F];
        } else {
            out.append(text, at, length);
        }
        at += length;
    }
    return out;
}

}  // namespace

void Report::Ok(const std::string& text) {
    out_ << "ok: " << Printable(text) << '\n';
}

void Report::Warning(const std::string& text) {
    ++warnings_;
    out_ << "warning: " << Printable(text) << '\n';
}

void Report::Problem(const std::string& text) {
    ++problems_;
    out_ << "problem: " << Printable(text) << '\n';
}

void Report::Detail(const std::string& text) {
    out_ << "    " << Printable(text) << '\n';
}

void Report::Summary() {
    out_ << "\nSummary: " << Count(problems_, "problem") << ", " << Count(warnings_, "warning")
         << ".\n";
    out_.flush();
}

}  // namespace p11bridge::doctor
