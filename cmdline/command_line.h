// CLI11 set up for the programs here: each writes its own help and its own error messages.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace vorncmdline {

// No help option of CLI11's own (each program documents itself), and arguments it does not
// know are kept in remaining() for the program to name instead of being thrown as one list.
inline void reportOnly(CLI::App& app) {
    app.set_help_flag();
    app.allow_extras();
}

// The arguments the parser did not know, in order; CLI11 also keeps the "--" that ends the
// options there, which is no mistake.
inline std::vector<std::string> unknownArguments(const CLI::App& app) {
    std::vector<std::string> unknown;
    for (const std::string& argument : app.remaining())
        if (argument != "--")
            unknown.push_back(argument);
    return unknown;
}

// A single-valued option that may be repeated, the last one counting.
inline CLI::Option* lastWins(CLI::Option* option) {
    return option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

// An option that may be given again, each time with one value, all of them kept in order.
inline CLI::Option* repeatable(CLI::Option* option) {
    return option->expected(1)->allow_extra_args(false)->multi_option_policy(
        CLI::MultiOptionPolicy::TakeAll);
}

// A flag that refuses "--flag=VALUE".
inline CLI::Option* plainFlag(CLI::Option* flag) {
    return flag->disable_flag_override();
}

// What CLI11 refused while reading an option's value.
struct Refusal {
    enum class Kind { MissingValue, UnwantedValue, Other };
    Kind kind = Kind::Other;
    std::string option;  // as the user writes it ("--socket"); empty for Other
    std::string message; // CLI11's own text, for Other
};

namespace detail {

// True when `text` opens with `name` as a whole word.
inline bool opensWith(const std::string& text, const std::string& name) {
    if (name.empty() || text.compare(0, name.size(), name) != 0)
        return false;
    return text.size() == name.size() || text[name.size()] == ':' || text[name.size()] == ' ';
}

// CLI11 names an option with its dashes, or without them where a flag was given a value.
inline const CLI::Option* optionNamedBy(const CLI::App& app, const std::string& text) {
    for (const CLI::Option* option : app.get_options()) {
        const std::string name = option->get_name();
        if (opensWith(text, name) || opensWith(text, name.substr(name.find_first_not_of('-'))))
            return option;
    }
    for (const CLI::App* sub : app.get_subcommands({}))
        if (const CLI::Option* option = optionNamedBy(*sub, text))
            return option;
    return nullptr;
}

} // namespace detail

// CLI11 names the option first in an argument-count refusal; that option, looked up among
// `app`'s and its subcommands', tells whether a value was missing or given to a flag.
inline Refusal explain(const CLI::App& app, const CLI::ParseError& error) {
    Refusal refusal;
    refusal.message = error.what();
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) == nullptr)
        return refusal;
    const CLI::Option* option = detail::optionNamedBy(app, refusal.message);
    if (option == nullptr)
        return refusal;
    refusal.option = option->get_name();
    refusal.kind = option->get_expected_max() == 0 ? Refusal::Kind::UnwantedValue
                                                   : Refusal::Kind::MissingValue;
    return refusal;
}

} // namespace vorncmdline
