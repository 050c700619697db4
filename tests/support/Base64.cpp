#include "support/Base64.h"

namespace p11bridge::test {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::string Base64Encode(const Bytes& bytes, size_t lineLength) {
    std::string plain;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        unsigned long group = static_cast<unsigned long>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) group |= static_cast<unsigned long>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) group |= bytes[i + 2];
        plain += kAlphabet[(group >> 18) & 63];
        plain += kAlphabet[(group >> 12) & 63];
        plain += i + 1 < bytes.size() ? kAlphabet[(group >> 6) & 63] : '=';
        plain += i + 2 < bytes.size() ? kAlphabet[group & 63] : '=';
    }
    if (lineLength == 0) return plain;
    std::string out;
    for (size_t i = 0; i < plain.size(); i += lineLength) {
        if (i > 0) out += "\r\n";
        out.append(plain, i, lineLength);
    }
    return out;
}

std::optional<Bytes> Base64Decode(const std::string& text) {
    std::string compact;
    for (char c : text) {
        if (c != '\r' && c != '\n') compact += c;
    }
    if (compact.size() % 4 != 0) return std::nullopt;
    Bytes out;
    for (size_t i = 0; i < compact.size(); i += 4) {
        bool last = i + 4 == compact.size();
        int padding = 0;
        unsigned long group = 0;
        for (size_t j = 0; j < 4; ++j) {
            char c = compact[i + j];
            int value = Sextet(c);
            // '=' only at the end of the last group, at most two of them.
            if (c == '=' && last && j >= 2 && (j == 3 || compact[i + 3] == '=')) {
                ++padding;
                value = 0;
            } else if (value < 0 || padding > 0) {
                return std::nullopt;
            }
            group = (group << 6) | static_cast<unsigned long>(value);
        }
        out.push_back(static_cast<unsigned char>(group >> 16));
        if (padding < 2) out.push_back(static_cast<unsigned char>(group >> 8));
        if (padding < 1) out.push_back(static_cast<unsigned char>(group));
    }
    return out;
}

}  // namespace p11bridge::test
