// Typed fields bound to a dialog's controls: showing writes every field into its control,
// reading back parses the controls in binding order and stops at the first that fails.
#pragma once

#include "view.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vorngui {

class FieldSet {
public:
    // Bindings, in the order the fields are shown and read back. The fields must outlive the set.
    void bindUInt8(int control, uint8_t& value);
    void bindInt16(int control, int16_t& value);
    void bindInt32(int control, int32_t& value);
    void bindUInt32(int control, uint32_t& value);
    void bindFloat(int control, float& value);
    void bindDouble(int control, double& value);
    void bindText(int control, std::string& value);
    // A check box: 1 ticked, 0 clear.
    void bindCheck(int control, int& value);
    // A drop-down list: the position of the selected item in the sorted list, -1 for none.
    void bindListPosition(int control, int& position);

    // Range-checked fields: the type's own parse first, with its message; then the range, with
    // "Please enter an integer between %1 and %2." or "Please enter a number between %1 and %2.".
    void bindUInt8(int control, uint8_t& value, uint8_t low, uint8_t high);
    void bindInt16(int control, int16_t& value, int16_t low, int16_t high);
    void bindDouble(int control, double& value, double low, double high);

    void show(DialogView& view) const;
    // At the first field that fails: its message is shown, the focus goes to its control with
    // the text selected, and reading stops (earlier fields keep their new values, later ones
    // their old). False when a field failed.
    bool readBack(DialogView& view) const;

private:
    enum class Kind { UInt8, Int16, Int32, UInt32, Float, Double, Text, Check, List };
    struct Binding {
        int control;
        Kind kind;
        void* value;
        std::optional<double> low;
        std::optional<double> high;
    };

    void add(int control, Kind kind, void* value, std::optional<double> low = std::nullopt,
             std::optional<double> high = std::nullopt);
    static void showOne(DialogView& view, const Binding& binding);
    // Nothing when the control's text parses (and the field then holds it), else the message.
    static std::optional<std::string> readOne(const DialogView& view, const Binding& binding);

    std::vector<Binding> m_bindings;
};

} // namespace vorngui
