// "Select Timing Board": the operator picks the board to control by product, or types its device
// name, before the main window is shown.
#pragma once

#include "dialog.h"
#include "resource_ids.h"

#include <string>

namespace vorngui {

// The device name that selects the demonstration board, compared byte for byte.
inline constexpr const char* kDemoDeviceName = "DEMO";

class BoardSelectDialog : public Dialog {
public:
    explicit BoardSelectDialog(const Services& services);

    // Starts on "VORN/SOLK-PCI" with its device name shown.
    void onInitDialog(DialogView& view) override;
    // A product's radio button shows its device name, replacing what was typed; "OK" reads the
    // typed name and closes.
    void onCommand(DialogView& view, int control) override;
    // The close box leaves the name empty.
    void onCloseBox(DialogView& view) override;

    // The name chosen or typed; after Escape, the last one a radio button set.
    const std::string& deviceName() const { return m_deviceName; }

    // The device name a product's radio button stands for, or null for any other control.
    static const char* deviceNameOf(int radio);

private:
    void choose(DialogView& view, int radio);

    std::string m_deviceName;
};

} // namespace vorngui
