#include "StrictJson.h"

#include <cstdint>

namespace p11bridge::doctor {
namespace {

// Deeper than any manifest, shallow enough that a hostile file cannot exhaust the stack.
constexpr int kMaxDepth = 64;

class Parser {
public:
    explicit Parser(const std::string& text) : text_(text) {}

    JsonValue Document() {
        JsonValue value = Value(0);
        SkipSpace();
        if (at_ != text_.size()) Fail("more after the end of the value");
        return value;
    }

private:
    [[noreturn]] void Fail(const std::string& what) const {
        std::size_t line = 1;
        std::size_t column = 1;
        for (std::size_t i = 0; i < at_ && i < text_.size(); ++i) {
            column = text_[i] == '\n' ? 1 : column + 1;
            line += text_[i] == '\n';
        }
        throw JsonError("line " + std::to_string(line) + ", column " + std::to_string(column) +
                        ": " + what);
    }

    void SkipSpace() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\n' || text_[at_] == '\r')) {
            ++at_;
        }
    }

    bool Next(char c) {
        SkipSpace();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    void Expect(char c, const char* what) {
        if (!Next(c)) Fail(std::string("expected ") + what);
    }

    JsonValue Value(int depth) {
        if (depth > kMaxDepth) Fail("nested too deeply");
        SkipSpace();
        if (at_ >= text_.size()) Fail("the text ends where a value should be");
        JsonValue value;
        char c = text_[at_];
        if (c == '{') {
            ++at_;
            value.kind = JsonValue::Kind::kObject;
            if (Next('}')) return value;
            do {
                if (Next('}')) Fail("a comma before '}', which JSON does not allow");
                if (at_ >= text_.size() || text_[at_] != '"') Fail("expected a member name");
                std::string name = Text();
                if (value.Member(name)) Fail("the member \"" + name + "\" appears twice");
                Expect(':', "':' after a member name");
                value.members.emplace_back(std::move(name), Value(depth + 1));
            } while (Next(','));
            Expect('}', "',' or '}'");
        } else if (c == '[') {
            ++at_;
            value.kind = JsonValue::Kind::kArray;
            if (Next(']')) return value;
            do {
                if (Next(']')) Fail("a comma before ']', which JSON does not allow");
                value.items.push_back(Value(depth + 1));
            } while (Next(','));
            Expect(']', "',' or ']'");
        } else if (c == '"') {
            value.kind = JsonValue::Kind::kText;
            value.text = Text();
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            value.kind = JsonValue::Kind::kNumber;
            value.text = Number();
        } else {
            for (const char* word : {"true", "false", "null"}) {
                if (text_.compare(at_, std::char_traits<char>::length(word), word) == 0) {
                    value.kind =
                        word[0] == 'n' ? JsonValue::Kind::kNull : JsonValue::Kind::kBoolean;
                    value.text = word;
                    at_ += value.text.size();
                    return value;
                }
            }
            Fail(c == '/' || c == '#' ? "a comment, which JSON does not allow"
                                      : "not a JSON value");
        }
        return value;
    }

    std::string Number() {
        std::size_t start = at_;
        auto digits = [this] {
            std::size_t from = at_;
            while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
            return at_ - from;
        };
        if (text_[at_] == '-') ++at_;
        std::size_t first = at_;
        std::size_t whole = digits();
        if (whole == 0 || (whole > 1 && text_[first] == '0')) Fail("a malformed number");
        if (at_ < text_.size() && text_[at_] == '.') {
            ++at_;
            if (digits() == 0) Fail("a malformed number");
        }
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
            if (digits() == 0) Fail("a malformed number");
        }
        return text_.substr(start, at_ - start);
    }

    unsigned Hex4() {
        unsigned code = 0;
        for (int i = 0; i < 4; ++i, ++at_) {
            char c = at_ < text_.size() ? text_[at_] : '\0';
            int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
            if (digit < 0) Fail("a \\u escape without four hex digits");
            code = code * 16 + static_cast<unsigned>(digit);
        }
        return code;
    }

    static void AppendUtf8(std::string& out, std::uint32_t code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    // A text at at_ (on its opening quote), decoded.
    std::string Text() {
        ++at_;
        std::string out;
        for (;;) {
            if (at_ >= text_.size()) Fail("a text without its closing quote");
            unsigned char c = static_cast<unsigned char>(text_[at_]);
            if (c == '"') {
                ++at_;
                return out;
            }
            if (c < 0x20) Fail("a control character inside a text (write it as an escape)");
            if (c != '\\') {
                out += static_cast<char>(c);
                ++at_;
                continue;
            }
            ++at_;
            char e = at_ < text_.size() ? text_[at_++] : '\0';
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    std::uint32_t code = Hex4();
                    // A lone surrogate decodes to nothing a browser would match; keep it as the
                    // replacement character so that no two spellings meet by accident.
                    if (code >= 0xD800 && code < 0xDC00 && text_.compare(at_, 2, "\\u") == 0) {
                        std::size_t back = at_;
                        at_ += 2;
                        std::uint32_t low = Hex4();
                        if (low >= 0xDC00 && low < 0xE000) {
                            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                        } else {
                            at_ = back;
                            code = 0xFFFD;
                        }
                    } else if (code >= 0xD800 && code < 0xE000) {
                        code = 0xFFFD;
                    }
                    AppendUtf8(out, code);
                    break;
                }
                default:
                    --at_;
                    Fail("an escape JSON does not have");
            }
        }
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

}  // namespace

const JsonValue* JsonValue::Member(const std::string& name) const {
    for (const auto& [key, value] : members) {
        if (key == name) return &value;
    }
    return nullptr;
}

JsonValue ParseStrictJson(const std::string& text) {
    return Parser(text).Document();
}

}  // namespace p11bridge::doctor
