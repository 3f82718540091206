// Writing a command's report as text lines or as a JSON object.
#include "report.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <ostream>

namespace vornctl {

namespace {

std::string decimalText(const Decimal& number) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", number.decimals, number.value);
    return buffer;
}

struct TextValue {
    std::string operator()(const std::string& text) const { return text; }
    std::string operator()(int64_t number) const { return std::to_string(number); }
    std::string operator()(const Decimal& number) const { return decimalText(number); }
    std::string operator()(bool flag) const { return flag ? "yes" : "no"; }
};

struct JsonValue {
    std::string operator()(const std::string& text) const { return jsonString(text); }
    std::string operator()(int64_t number) const { return std::to_string(number); }
    std::string operator()(const Decimal& number) const { return decimalText(number); }
    std::string operator()(bool flag) const { return flag ? "true" : "false"; }
};

} // namespace

// Bytes that are not UTF-8 (a device name as typed, say) become U+FFFD, so that the output is
// always valid JSON.
std::string jsonString(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void writeText(const Report& report, std::ostream& out) {
    for (const Field& field : report.fields())
        out << field.key << ": " << std::visit(TextValue{}, field.value) << '\n';
}

void writeJson(const Report& report, std::ostream& out) {
    out << '{';
    const char* separator = "";
    for (const Field& field : report.fields()) {
        out << separator << jsonString(field.key) << ':' << std::visit(JsonValue{}, field.value);
        separator = ",";
    }
    out << "}\n";
}

} // namespace vornctl
