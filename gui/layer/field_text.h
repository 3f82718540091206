// The texts of typed fields: how each type is shown and parsed, and the messages of a failed parse.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vorngui {

namespace messages {
inline constexpr const char* kUInt8 = "Please enter an integer between 0 and 255.";
inline constexpr const char* kInteger = "Please enter an integer.";
inline constexpr const char* kPositive = "Please enter a positive integer.";
inline constexpr const char* kNumber = "Please enter a number.";
} // namespace messages

// "Please enter an integer between 0 and 23." and "Please enter a number between 0 and 60.": the
// bounds written as the field shows its values.
std::string integerRangeMessage(long long low, long long high);
std::string numberRangeMessage(double low, double high);

// A decimal integer with an optional sign and blanks before and after; anything else, an empty
// text included, or a value beyond 64 bits, gives nothing.
std::optional<long long> parseInteger(std::string_view text);
// A decimal number (digits, point, exponent) with blanks around it; infinities and not-a-number
// are refused, since no board value is either. Independent of the process locale.
std::optional<double> parseNumber(std::string_view text);

std::string formatUnsigned(unsigned long long value); // "%u"
std::string formatSigned(long long value);            // "%hd", "%d"
std::string formatFloat(float value);                 // "%.*g", 6 significant digits
std::string formatDouble(double value);               // "%.*g", 15 significant digits

} // namespace vorngui
