#include "json/JSONWorker.h"

#include <exception>
#include <memory>
#include <stdexcept>

#include "json/JSONNode.h"
#include "json/NumberToString.h"
#include "json/internalJSONNode.h"

bool JSONWorker::gEscapedQuoteMarked = false;

namespace {

constexpr std::size_t npos = json_string::npos;

// Copies a /* */ comment body as a #...# block; returns where scanning resumes. An unclosed
// comment is closed at the end of the input.
std::size_t blockComment(const char* text, std::size_t length, std::size_t i, json_string& out) {
    out += '#';
    for (; i < length; ++i) {
        if (text[i] == '*' && i + 1 < length && text[i + 1] == '/') {
            out += '#';
            return i + 2;
        }
        out += text[i];
    }
    out += '#';
    return length;
}

// Copies a // or # comment up to the line feed as a #...# block and steps past the line feed.
std::size_t lineComment(const char* text, std::size_t length, std::size_t i, json_string& out) {
    out += '#';
    for (; i < length && text[i] != '\n'; ++i) out += text[i];
    out += '#';
    return i < length ? i + 1 : length;
}

// Position of the quote closing the string opened at `open`, or npos. A NUL ends the search:
// the text a message carries stops at its first NUL.
std::size_t skipString(const char* s, std::size_t open, std::size_t end) {
    for (std::size_t j = open + 1; j < end; ++j) {
        if (s[j] == '\0') return npos;
        if (s[j] == '"') return j;
    }
    return npos;
}

// Position of the bracket closing the one at `open`, counting only brackets of the same kind.
std::size_t skipPair(const char* s, std::size_t open, std::size_t end, char opening, char closing) {
    std::size_t depth = 1;
    for (std::size_t j = open + 1; j < end; ++j) {
        const char c = s[j];
        if (c == '\0') return npos;
        if (c == '"') {
            j = skipString(s, j, end);
            if (j == npos) return npos;
        } else if (c == opening) {
            ++depth;
        } else if (c == closing && --depth == 0) {
            return j;
        }
    }
    return npos;
}

// Collects the #...# blocks at the front of [pos, end) and steps `pos` past them; a block left
// open runs to `end`.
void collectComments(const json_string& text, std::size_t& pos, std::size_t end,
                     json_string& comment) {
    bool first = true;
    while (pos < end && text[pos] == '#') {
        std::size_t close = text.find('#', pos + 1);
        if (close == npos || close >= end) close = end;
        if (!first) comment += '\n';
        first = false;
        comment.append(text, pos + 1, close - pos - 1);
        pos = close < end ? close + 1 : end;
    }
}

bool equals(const char* text, std::size_t length, const char* word, std::size_t wordLength) {
    return length == wordLength && json_string::traits_type::compare(text, word, length) == 0;
}

}  // namespace

JSONNode JSONWorker::parse(const char* text, std::size_t length) {
    // Only a bad outer shape may reach the caller; the message loop drops such requests.
    try {
        return _parse_unformatted(RemoveWhiteSpace(text, length));
    } catch (const std::invalid_argument&) {
        throw;
    } catch (...) {
        std::terminate();
    }
}

JSONNode JSONWorker::parse(const json_string& text) {
    return parse(text.data(), text.size());
}

json_string JSONWorker::RemoveWhiteSpace(const char* text, std::size_t length) {
    json_string out;
    out.reserve(length);
    std::size_t i = 0;
    while (i < length) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case ' ':
            case '\t':
            case '\n':
            case '\r':
                ++i;
                break;
            case '"':
                out += '"';
                for (++i;; ++i) {
                    if (i >= length) return out;
                    if (text[i] == '"') break;
                    if (text[i] == '\\') {
                        out += '\\';
                        if (++i >= length) return out;
                        if (text[i] == '"') {
                            out += kEscapedQuote;
                            gEscapedQuoteMarked = true;
                            continue;
                        }
                    }
                    out += text[i];
                }
                out += '"';
                ++i;
                break;
            case '/':
                if (i + 1 < length && text[i + 1] == '*') {
                    i = blockComment(text, length, i + 2, out);
                } else if (i + 1 < length && text[i + 1] == '/') {
                    i = lineComment(text, length, i + 2, out);
                } else {
                    return out;
                }
                break;
            case '#':
                i = lineComment(text, length, i + 1, out);
                break;
            default:
                // Control bytes, DEL and non-ASCII outside strings cut the message here.
                if (c < 32 || c > 126) return out;
                out += static_cast<char>(c);
                ++i;
        }
    }
    return out;
}

JSONNode JSONWorker::_parse_unformatted(const json_string& stripped) {
    std::size_t pos = 0;
    json_string comment;
    bool first = true;
    while (pos < stripped.size() && stripped[pos] == '#') {
        const std::size_t close = stripped.find('#', pos + 1);
        if (close == npos) throw std::invalid_argument("");
        if (!first) comment += '\n';
        first = false;
        comment.append(stripped, pos + 1, close - pos - 1);
        pos = close + 1;
    }
    if (pos >= stripped.size()) throw std::invalid_argument("");

    char type;
    char closing;
    switch (stripped[pos]) {
        case '{':
            type = JSON_NODE;
            closing = '}';
            break;
        case '[':
            type = JSON_ARRAY;
            closing = ']';
            break;
        default:
            throw std::invalid_argument("");
    }
    if (stripped.back() != closing || stripped.size() - pos < 2) throw std::invalid_argument("");

    auto body = std::make_unique<internalJSONNode>(type, json_string(stripped, pos));
    body->_comment.swap(comment);
    JSONNode root(body.get());
    body.release();
    return root;
}

std::size_t JSONWorker::FindNextRelevant(char ch, const json_string& text, std::size_t pos,
                                         std::size_t end) {
    const char* s = text.data();
    if (end > text.size()) end = text.size();
    for (std::size_t i = pos; i < end; ++i) {
        const char c = s[i];
        if (c == ch) return i;
        switch (c) {
            case '"':
                i = skipString(s, i, end);
                break;
            case '{':
                i = skipPair(s, i, end, '{', '}');
                break;
            case '[':
                i = skipPair(s, i, end, '[', ']');
                break;
            case '}':
            case ']':
                return npos;
            default:
                break;
        }
        if (i == npos) return npos;
    }
    return npos;
}

void JSONWorker::DoNode(internalJSONNode& node) {
    const json_string& text = node._string;
    const std::size_t n = text.size();
    if (n < 2 || text.front() != '{' || text.back() != '}') {
        node.Nullify();
        return;
    }
    if (!node.Children) node.Children = std::make_unique<jsonChildren>();
    if (n > 2) {
        std::size_t nameBegin = 1;
        std::size_t colon = FindNextRelevant(':', text, nameBegin, n);
        if (colon == npos) {
            node.Nullify();
            return;
        }
        for (;;) {
            // The name part stops before the character in front of the colon (the closing quote);
            // a name part of fewer than two characters yields the empty name.
            const std::size_t nameEnd = colon > nameBegin ? colon - 1 : nameBegin;
            const std::size_t comma = FindNextRelevant(',', text, colon + 1, n);
            const std::size_t valueEnd = comma == npos ? n - 1 : comma;
            NewNode(node, text, nameBegin, nameEnd, colon + 1, valueEnd, false);
            if (comma == npos) break;
            nameBegin = comma + 1;
            colon = FindNextRelevant(':', text, nameBegin, n);
            if (colon == npos) {
                node.Nullify();
                return;
            }
        }
    }
    node.releaseText();
}

void JSONWorker::DoArray(internalJSONNode& node) {
    const json_string& text = node._string;
    const std::size_t n = text.size();
    if (n < 2 || text.front() != '[' || text.back() != ']') {
        node.Nullify();
        return;
    }
    if (!node.Children) node.Children = std::make_unique<jsonChildren>();
    if (n > 2) {
        std::size_t begin = 1;
        for (;;) {
            const std::size_t comma = FindNextRelevant(',', text, begin, n);
            const std::size_t end = comma == npos ? n - 1 : comma;
            if (FindNextRelevant(':', text, begin, end) != npos) {
                node.Nullify();
                return;
            }
            NewNode(node, text, begin, begin, begin, end, true);
            if (comma == npos) break;
            begin = comma + 1;
        }
    }
    node.releaseText();
}

void JSONWorker::NewNode(internalJSONNode& parent, const json_string& text, std::size_t nameBegin,
                         std::size_t nameEnd, std::size_t valueBegin, std::size_t valueEnd,
                         bool arrayElement) {
    json_string comment;
    json_string name;
    if (arrayElement) {
        collectComments(text, valueBegin, valueEnd, comment);
    } else {
        collectComments(text, nameBegin, nameEnd, comment);
        // The name part still starts with its opening quote.
        if (nameEnd > nameBegin)
            name = FixString(text.data() + nameBegin + 1, nameEnd - nameBegin - 1);
    }

    const char* value = text.data() + valueBegin;
    const std::size_t length = valueEnd - valueBegin;
    std::unique_ptr<internalJSONNode> body;
    if (length == 0) {
        body = std::make_unique<internalJSONNode>(JSON_NULL);
        body->_string.clear();
    } else {
        const char last = value[length - 1];
        char deferred = JSON_NULL;
        switch (value[0]) {
            case '"':
                if (last == '"') deferred = JSON_STRING;
                break;
            case '{':
                if (last == '}') deferred = JSON_NODE;
                break;
            case '[':
                if (last == ']') deferred = JSON_ARRAY;
                break;
            case 't':
            case 'T':
            case 'f':
            case 'F':
            case 'n':
            case 'N':
                break;
            default:
                if (NumberToString::isNumeric(value, length)) deferred = JSON_NUMBER;
                break;
        }
        if (deferred != JSON_NULL) {
            body = std::make_unique<internalJSONNode>(deferred, json_string(value, length));
        } else if (equals(value, length, "true", 4) || equals(value, length, "false", 5)) {
            body = std::make_unique<internalJSONNode>(JSON_BOOL);
            body->_value._bool = value[0] == 't';
            body->_string.assign(value, length);
        } else {
            body = std::make_unique<internalJSONNode>(JSON_NULL);
        }
    }
    body->_name.swap(name);
    body->_comment.swap(comment);

    std::unique_ptr<JSONNode> handle(new JSONNode(body.get()));
    body.release();
    parent.Children->push_back(std::move(handle));
}
