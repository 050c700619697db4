#include "json/NumberToString.h"

#include <cmath>
#include <cstdio>

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isOctal(char c) {
    return c >= '0' && c <= '7';
}
bool isHex(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool nearlyEqual(double a, double b) {
    return std::fabs(a - b) < 0.00001;
}

// Bounds of the integer conversions; a double outside them has no integer to compare with.
constexpr double kTwoPow63 = 9223372036854775808.0;
constexpr double kTwoPow64 = 18446744073709551616.0;

}  // namespace

json_string NumberToString::digits(std::uint64_t magnitude, bool negative) {
    char buffer[21];
    char* p = buffer + sizeof buffer;
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) *--p = '-';
    return json_string(p, static_cast<std::size_t>(buffer + sizeof buffer - p));
}

json_string NumberToString::_ftoa(double value) {
    if (value >= 0 && value < kTwoPow64) {
        const auto whole = static_cast<std::uint64_t>(value);
        if (nearlyEqual(value, static_cast<double>(whole))) return _uitoa(whole);
    }
    if (value >= -kTwoPow63 && value < kTwoPow63) {
        const auto whole = static_cast<std::int64_t>(value);
        if (nearlyEqual(value, static_cast<double>(whole))) return _itoa(whole);
    }
    // Sized to the text: a large magnitude has hundreds of digits before the point.
    const long double wide = value;
    const int needed = std::snprintf(nullptr, 0, "%Lf", wide);
    if (needed <= 0) return json_string();
    json_string text(static_cast<std::size_t>(needed) + 1, '\0');
    std::snprintf(&text[0], text.size(), "%Lf", wide);
    text.resize(static_cast<std::size_t>(needed));
    if (text.find('.') != json_string::npos) {
        while (text.back() == '0') text.pop_back();
        if (text.back() == '.') text.pop_back();
    }
    return text;
}

bool NumberToString::isNumeric(const char* text, std::size_t length) noexcept {
    if (length == 0) return false;
    std::size_t i = 0;
    switch (text[0]) {
        case '+':
        case '-':
            if (length == 1 || text[1] == '.' || text[1] == 'e' || text[1] == 'E') return false;
            i = 1;
            break;
        case '.':
            break;
        default:
            if (!isDigit(text[0])) return false;
    }

    if (text[i] == '0') {
        if (i + 1 == length) return true;
        const char next = text[i + 1];
        if (next == 'x') {
            for (std::size_t j = i + 2; j < length; ++j) {
                if (!isHex(text[j])) return false;
            }
            return true;
        }
        if (next >= '1' && next <= '7') {
            for (std::size_t j = i + 1; j < length; ++j) {
                if (!isOctal(text[j])) return false;
            }
            return true;
        }
        if (next != '.' && next != 'e' && next != 'E') return false;
        ++i;
    }

    bool decimal = false;
    bool exponent = false;
    for (; i < length; ++i) {
        const char c = text[i];
        if (isDigit(c)) continue;
        if (c == '.') {
            if (decimal || exponent) return false;
            decimal = true;
        } else if (c == 'e' || c == 'E') {
            if (exponent) return false;
            exponent = true;
            if (i + 1 < length && (text[i + 1] == '+' || text[i + 1] == '-')) ++i;
            if (i + 1 >= length || !isDigit(text[i + 1])) return false;
        } else {
            return false;
        }
    }
    return true;
}
