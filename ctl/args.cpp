// Argument splitting and checked number parsing for the commands.
#include "args.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace vornctl {

namespace {

bool isOption(const std::string& arg) {
    return arg.size() > 2 && arg.compare(0, 2, "--") == 0;
}

std::string rangeText(const std::string& what, const std::string& low, const std::string& high) {
    return what + " must be from " + low + " to " + high;
}

std::string numberText(double value) {
    std::string text = std::to_string(value);
    text.erase(text.find_last_not_of('0') + 1);
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    return text;
}

} // namespace

std::optional<ParsedArgs> parseArgs(const std::vector<std::string>& args, const OptionSpec& accepted,
                                    std::string* error) {
    ParsedArgs parsed;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (optionsEnded || !isOption(arg)) {
            parsed.positionals.push_back(arg);
            continue;
        }
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        if (accepted.flags.count(name) != 0 && equals == std::string::npos) {
            parsed.flags.insert(name);
        } else if (accepted.withValues.count(name) != 0) {
            if (equals != std::string::npos) {
                parsed.values[name] = arg.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                parsed.values[name] = args[++i];
            } else {
                *error = "option " + name + " needs a value";
                return std::nullopt;
            }
        } else {
            *error = "unknown option " + arg;
            return std::nullopt;
        }
    }
    return parsed;
}

std::optional<int64_t> parseInteger(const std::string& text, int64_t min, int64_t max,
                                    const std::string& what, std::string* error) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(begin, &end, 10);
    const bool whole = !text.empty() && *end == '\0' && !std::isspace(static_cast<unsigned char>(text[0]));
    if (!whole) {
        *error = what + " must be a whole number, not '" + text + "'";
        return std::nullopt;
    }
    if (errno == ERANGE || value < min || value > max) {
        *error = rangeText(what, std::to_string(min), std::to_string(max)) + ", not " + text;
        return std::nullopt;
    }
    return value;
}

std::optional<double> parseNumber(const std::string& text, double min, double max,
                                  bool maxExcluded, const std::string& what, std::string* error) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const double value = std::strtod(begin, &end);
    const bool whole = !text.empty() && *end == '\0' &&
                       !std::isspace(static_cast<unsigned char>(text[0])) && std::isfinite(value);
    if (!whole) {
        *error = what + " must be a number, not '" + text + "'";
        return std::nullopt;
    }
    if (value < min || value > max || (maxExcluded && value == max)) {
        *error = rangeText(what, numberText(min), numberText(max)) +
                 (maxExcluded ? " (excluded)" : "") + ", not " + text;
        return std::nullopt;
    }
    return value;
}

std::optional<ClockTime> parseClockTime(const std::string& text, bool fraction,
                                        std::string* error) {
    const size_t first = text.find(':');
    const size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos) {
        *error = "time of day must be HH:MM:SS, not '" + text + "'";
        return std::nullopt;
    }
    ClockTime time;
    auto hours = parseInteger(text.substr(0, first), 0, 23, "hours", error);
    auto minutes = hours ? parseInteger(text.substr(first + 1, second - first - 1), 0, 59,
                                        "minutes", error)
                         : std::nullopt;
    if (!minutes)
        return std::nullopt;
    const std::string secondsText = text.substr(second + 1);
    std::optional<double> seconds;
    if (fraction) {
        seconds = parseNumber(secondsText, 0, 60, true, "seconds", error);
    } else if (auto whole = parseInteger(secondsText, 0, 59, "seconds", error)) {
        seconds = static_cast<double>(*whole);
    }
    if (!seconds)
        return std::nullopt;
    time.hours = static_cast<int>(*hours);
    time.minutes = static_cast<int>(*minutes);
    time.seconds = *seconds;
    return time;
}

} // namespace vornctl
