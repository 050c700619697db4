// NumberToString: the decimal text of numbers built by the host, and the number syntax accepted
// in messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "json/JSONDefs.h"

class NumberToString {
public:
    // Plain decimal, exact for every value of every width (the most negative one included).
    template <class T>
    static json_string _itoa(T value) {
        static_assert(std::is_integral_v<T> && std::is_signed_v<T>, "signed integers only");
        const std::int64_t wide = value;
        // The magnitude is taken in unsigned arithmetic: negating the most negative value
        // would overflow.
        const std::uint64_t magnitude = wide < 0
                                            ? std::uint64_t{0} - static_cast<std::uint64_t>(wide)
                                            : static_cast<std::uint64_t>(wide);
        return digits(magnitude, wide < 0);
    }

    template <class T>
    static json_string _uitoa(T value) {
        static_assert(std::is_integral_v<T> && std::is_unsigned_v<T>, "unsigned integers only");
        return digits(static_cast<std::uint64_t>(value), false);
    }

    // Whole numbers (within 0.00001) as integers, others with six decimals and trailing zeros
    // removed.
    static json_string _ftoa(double value);

    // Whether a whole value text is a number the parser accepts.
    static bool isNumeric(const char* text, std::size_t length) noexcept;
    static bool isNumeric(const json_string& text) noexcept {
        return isNumeric(text.data(), text.size());
    }

private:
    static json_string digits(std::uint64_t magnitude, bool negative);
};
