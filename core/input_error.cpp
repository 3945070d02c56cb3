#include "input_error.hpp"

#include <charconv>
#include <cmath>
#include <string>

namespace velk {

std::string format_shortest(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";

    // Shortest round-trip digits come from to_chars; its own formats use an
    // exponent for small and large values, so the point is placed here.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    const auto e_pos = sci.find('e');
    std::string_view mant = sci.substr(0, e_pos);
    int exp10 = 0;
    std::from_chars(sci.data() + e_pos + 1 + (sci[e_pos + 1] == '+' ? 1 : 0),
                    sci.data() + sci.size(), exp10);

    std::string out;
    if (!mant.empty() && mant.front() == '-') {
        out.push_back('-');
        mant.remove_prefix(1);
    }
    std::string digits;
    for (char ch : mant)
        if (ch != '.') digits.push_back(ch);

    const long n_int = static_cast<long>(exp10) + 1;  // digits before the point
    const long n_dig = static_cast<long>(digits.size());
    if (n_int <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-n_int), '0');
        out += digits;
    } else if (n_dig <= n_int) {
        out += digits;
        out.append(static_cast<std::size_t>(n_int - n_dig), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(n_int));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(n_int), std::string::npos);
    }
    return out;
}

std::string InputError::message() const {
    switch (kind) {
        case Kind::POutOfRange:
            return "p must satisfy 0 <= p <= 1, got " + format_shortest(value);
        case Kind::GammaOutOfRange:
            return "gamma must satisfy 0 <= gamma, got " + format_shortest(value);
        case Kind::TooFewPoints:
            return "at least two finite data points are required, got " + std::to_string(a);
        case Kind::LengthMismatch:
            return "x and y must have matching length: x has " + std::to_string(a) + ", y has " +
                   std::to_string(b);
        case Kind::DeltaLengthMismatch:
            return "delta must have the same length as x (" + std::to_string(a) + "), got " +
                   std::to_string(b);
    }
    fail("unknown input error kind");
}

}  // namespace velk
