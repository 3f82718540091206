// Board selection: the product radio buttons, the typed device name and the ways the dialog ends.
#include "board_select_dialog.h"

namespace vorngui {

using namespace controls::board_select;

namespace {

struct Product {
    int radio;
    const char* deviceName;
};

constexpr Product kProducts[] = {
    {kPci, "VORNpci0"},
    {kCompactPci, "VORNcpci0"},
    {kIsa, "VORNisa0"},
    {kDemo, kDemoDeviceName},
};

} // namespace

BoardSelectDialog::BoardSelectDialog(const Services& services)
    : Dialog(templates::kBoardSelect, services) {
    fields().bindText(kDeviceName, m_deviceName);
}

const char* BoardSelectDialog::deviceNameOf(int radio) {
    for (const Product& product : kProducts) {
        if (product.radio == radio) {
            return product.deviceName;
        }
    }
    return nullptr;
}

void BoardSelectDialog::onInitDialog(DialogView& view) {
    choose(view, kPci);
}

void BoardSelectDialog::choose(DialogView& view, int radio) {
    m_deviceName = deviceNameOf(radio);
    for (const Product& product : kProducts) {
        view.setChecked(product.radio, product.radio == radio);
    }
    showFields(view);
}

void BoardSelectDialog::onCommand(DialogView& view, int control) {
    if (deviceNameOf(control) != nullptr) {
        choose(view, control);
    } else if (control == kOk) {
        readBack(view);
        acceptPath(view);
    } else {
        Dialog::onCommand(view, control);
    }
}

void BoardSelectDialog::onCloseBox(DialogView& view) {
    m_deviceName.clear();
    cancelPath(view);
}

} // namespace vorngui
