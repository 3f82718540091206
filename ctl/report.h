// What a command has to say: named values in a fixed order, written as "name: value" lines for
// an operator or as one JSON object with the same names as keys for a script.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <variant>
#include <vector>

namespace vornctl {

// A number shown with a fixed count of decimals, kept exact in JSON as well.
struct Decimal {
    double value = 0;
    int decimals = 6;
};

using Value = std::variant<std::string, int64_t, Decimal, bool>;

struct Field {
    std::string key;
    Value value;
};

class Report {
public:
    void add(std::string key, Value value) {
        m_fields.push_back({std::move(key), std::move(value)});
    }
    const std::vector<Field>& fields() const { return m_fields; }

private:
    std::vector<Field> m_fields;
};

// One line per field: "key: value".
void writeText(const Report& report, std::ostream& out);
// One JSON object on one line, keys in the order added.
void writeJson(const Report& report, std::ostream& out);
// A string as a JSON string literal, quotes included.
std::string jsonString(const std::string& text);

} // namespace vornctl
