// Field texts: the fixed formats and parse rules every dialog of the utility shares.
#include "field_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace vorngui {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// std::to_chars in general form with a precision gives the same text as printf's "%.*g", and
// does not depend on the locale a window system may install.
std::string formatGeneral(double value, int precision) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, precision);
    return std::string(buffer, result.ptr);
}

} // namespace

std::string integerRangeMessage(long long low, long long high) {
    return "Please enter an integer between " + formatSigned(low) + " and " + formatSigned(high) +
           ".";
}

std::string numberRangeMessage(double low, double high) {
    return "Please enter a number between " + formatDouble(low) + " and " + formatDouble(high) +
           ".";
}

std::optional<long long> parseInteger(std::string_view text) {
    text = trimmed(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.front() < '0' || text.front() > '9') {
        return std::nullopt;
    }
    unsigned long long magnitude = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) {
        return std::nullopt;
    }
    constexpr unsigned long long kLimit = 1ull << 63;
    if (magnitude > (negative ? kLimit : kLimit - 1)) {
        return std::nullopt;
    }
    return negative ? static_cast<long long>(0 - magnitude) : static_cast<long long>(magnitude);
}

std::optional<double> parseNumber(std::string_view text) {
    text = trimmed(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || !(text.front() == '.' || (text.front() >= '0' && text.front() <= '9'))) {
        return std::nullopt;
    }
    double value = 0;
    const auto result =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size() ||
        !std::isfinite(value)) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

std::string formatUnsigned(unsigned long long value) {
    return std::to_string(value);
}
std::string formatSigned(long long value) {
    return std::to_string(value);
}
std::string formatFloat(float value) {
    return formatGeneral(value, 6);
}
std::string formatDouble(double value) {
    return formatGeneral(value, 15);
}

} // namespace vorngui
