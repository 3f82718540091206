// Field transfer between a dialog's typed values and its controls.
#include "fields.h"

#include "field_text.h"

#include <limits>
#include <type_traits>

namespace vorngui {
namespace {

// An integer field: the type's parse and its message, then the optional range.
template <typename T>
std::optional<std::string> readInteger(const std::string& text, T* field, const char* message,
                                       std::optional<double> low, std::optional<double> high) {
    const auto parsed = parseInteger(text);
    // An unsigned 32-bit field refuses any minus sign, "-0" included.
    const bool minusRefused = std::is_same_v<T, uint32_t> &&
                              text.find_first_not_of(" \t") != std::string::npos &&
                              text[text.find_first_not_of(" \t")] == '-';
    if (!parsed || minusRefused || *parsed < std::numeric_limits<T>::min() ||
        *parsed > std::numeric_limits<T>::max()) {
        return std::string(message);
    }
    if (low && (*parsed < *low || *parsed > *high)) {
        return integerRangeMessage(static_cast<long long>(*low), static_cast<long long>(*high));
    }
    *field = static_cast<T>(*parsed);
    return std::nullopt;
}

template <typename T>
std::optional<std::string> readReal(const std::string& text, T* field, std::optional<double> low,
                                    std::optional<double> high) {
    const auto parsed = parseNumber(text);
    if (!parsed || (std::is_same_v<T, float> && (*parsed > std::numeric_limits<float>::max() ||
                                                 *parsed < -std::numeric_limits<float>::max()))) {
        return std::string(messages::kNumber);
    }
    if (low && (*parsed < *low || *parsed > *high)) {
        return numberRangeMessage(*low, *high);
    }
    *field = static_cast<T>(*parsed);
    return std::nullopt;
}

} // namespace

void FieldSet::add(int control, Kind kind, void* value, std::optional<double> low,
                   std::optional<double> high) {
    m_bindings.push_back(Binding{control, kind, value, low, high});
}

void FieldSet::bindUInt8(int control, uint8_t& value) {
    add(control, Kind::UInt8, &value);
}
void FieldSet::bindInt16(int control, int16_t& value) {
    add(control, Kind::Int16, &value);
}
void FieldSet::bindInt32(int control, int32_t& value) {
    add(control, Kind::Int32, &value);
}
void FieldSet::bindUInt32(int control, uint32_t& value) {
    add(control, Kind::UInt32, &value);
}
void FieldSet::bindFloat(int control, float& value) {
    add(control, Kind::Float, &value);
}
void FieldSet::bindDouble(int control, double& value) {
    add(control, Kind::Double, &value);
}
void FieldSet::bindText(int control, std::string& value) {
    add(control, Kind::Text, &value);
}
void FieldSet::bindCheck(int control, int& value) {
    add(control, Kind::Check, &value);
}
void FieldSet::bindListPosition(int control, int& position) {
    add(control, Kind::List, &position);
}

void FieldSet::bindUInt8(int control, uint8_t& value, uint8_t low, uint8_t high) {
    add(control, Kind::UInt8, &value, low, high);
}

void FieldSet::bindInt16(int control, int16_t& value, int16_t low, int16_t high) {
    add(control, Kind::Int16, &value, low, high);
}

void FieldSet::bindDouble(int control, double& value, double low, double high) {
    add(control, Kind::Double, &value, low, high);
}

void FieldSet::show(DialogView& view) const {
    for (const Binding& binding : m_bindings) {
        showOne(view, binding);
    }
}

void FieldSet::showOne(DialogView& view, const Binding& b) {
    switch (b.kind) {
    case Kind::UInt8:
        view.setText(b.control, formatUnsigned(*static_cast<uint8_t*>(b.value)));
        break;
    case Kind::Int16:
        view.setText(b.control, formatSigned(*static_cast<int16_t*>(b.value)));
        break;
    case Kind::Int32:
        view.setText(b.control, formatSigned(*static_cast<int32_t*>(b.value)));
        break;
    case Kind::UInt32:
        view.setText(b.control, formatUnsigned(*static_cast<uint32_t*>(b.value)));
        break;
    case Kind::Float:
        view.setText(b.control, formatFloat(*static_cast<float*>(b.value)));
        break;
    case Kind::Double:
        view.setText(b.control, formatDouble(*static_cast<double*>(b.value)));
        break;
    case Kind::Text:
        view.setText(b.control, *static_cast<std::string*>(b.value));
        break;
    case Kind::Check:
        view.setChecked(b.control, *static_cast<int*>(b.value) != 0);
        break;
    case Kind::List:
        view.setListSelection(b.control, *static_cast<int*>(b.value));
        break;
    }
}

std::optional<std::string> FieldSet::readOne(const DialogView& view, const Binding& b) {
    switch (b.kind) {
    case Kind::UInt8:
        return readInteger(view.text(b.control), static_cast<uint8_t*>(b.value), messages::kUInt8,
                           b.low, b.high);
    case Kind::Int16:
        return readInteger(view.text(b.control), static_cast<int16_t*>(b.value), messages::kInteger,
                           b.low, b.high);
    case Kind::Int32:
        return readInteger(view.text(b.control), static_cast<int32_t*>(b.value), messages::kInteger,
                           b.low, b.high);
    case Kind::UInt32:
        return readInteger(view.text(b.control), static_cast<uint32_t*>(b.value),
                           messages::kPositive, b.low, b.high);
    case Kind::Float:
        return readReal(view.text(b.control), static_cast<float*>(b.value), b.low, b.high);
    case Kind::Double:
        return readReal(view.text(b.control), static_cast<double*>(b.value), b.low, b.high);
    case Kind::Text:
        *static_cast<std::string*>(b.value) = view.text(b.control);
        break;
    case Kind::Check:
        *static_cast<int*>(b.value) = view.isChecked(b.control) ? 1 : 0;
        break;
    case Kind::List:
        *static_cast<int*>(b.value) = view.listSelection(b.control);
        break;
    }
    return std::nullopt;
}

bool FieldSet::readBack(DialogView& view) const {
    for (const Binding& binding : m_bindings) {
        if (const auto message = readOne(view, binding)) {
            view.showMessage(*message);
            view.focusAndSelect(binding.control);
            return false;
        }
    }
    return true;
}

} // namespace vorngui
