// A command's options and arguments read with CLI11, and checked number parsing.
#include "args.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace vornctl {

namespace {

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

std::string refusalText(const vorncmdline::Refusal& refusal) {
    switch (refusal.kind) {
    case vorncmdline::Refusal::Kind::MissingValue:
        return "option " + refusal.option + " needs a value";
    case vorncmdline::Refusal::Kind::UnwantedValue:
        return "option " + refusal.option + " takes no value";
    default:
        return refusal.message;
    }
}

std::optional<ParsedArgs> parseArgs(const std::vector<std::string>& args,
                                    const OptionSpec& accepted, std::string* error) {
    CLI::App app;
    vorncmdline::reportOnly(app);
    ParsedArgs parsed;
    std::map<std::string, const CLI::Option*> flags;
    for (const std::string& name : accepted.flags)
        flags[name] = vorncmdline::plainFlag(app.add_flag(name));
    std::map<std::string, std::string> values;
    std::map<std::string, const CLI::Option*> valued;
    for (const std::string& name : accepted.withValues)
        valued[name] = vorncmdline::lastWins(app.add_option(name, values[name]));
    app.add_option("arguments", parsed.positionals);
    try {
        app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
    } catch (const CLI::ParseError& refused) {
        *error = refusalText(vorncmdline::explain(app, refused));
        return std::nullopt;
    }
    if (const auto unknown = vorncmdline::unknownArguments(app); !unknown.empty()) {
        *error = "unknown option " + unknown.front();
        return std::nullopt;
    }
    for (const auto& [name, option] : flags)
        if (option->count() != 0)
            parsed.flags.insert(name);
    for (const auto& [name, option] : valued)
        if (option->count() != 0)
            parsed.values[name] = values[name];
    return parsed;
}

std::optional<int64_t> parseInteger(const std::string& text, int64_t min, int64_t max,
                                    const std::string& what, std::string* error) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(begin, &end, 10);
    const bool whole =
        !text.empty() && *end == '\0' && !std::isspace(static_cast<unsigned char>(text[0]));
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

std::optional<double> parseNumber(const std::string& text, double min, double max, bool maxExcluded,
                                  const std::string& what, std::string* error) {
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
    auto minutes =
        hours ? parseInteger(text.substr(first + 1, second - first - 1), 0, 59, "minutes", error)
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
