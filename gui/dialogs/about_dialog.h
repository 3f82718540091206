// The About box: the utility's version, and the driver, FPGA and firmware versions of the board.
#pragma once

#include "dialog.h"
#include "resource_ids.h"

#include <string>

namespace vorngui {

class AboutDialog : public Dialog {
public:
    explicit AboutDialog(const Services& services);

    // Reads the three version texts from the board given with setBoard, or "DEMO" in each while
    // the demonstration board is in use. Called before the dialog runs; an About box opened
    // without it shows three empty texts.
    void fillVersions();

    const std::string& firmwareText() const { return m_firmware; }
    const std::string& driverText() const { return m_driver; }
    const std::string& fpgaText() const { return m_fpga; }

private:
    std::string m_firmware;
    std::string m_driver;
    std::string m_fpga;
};

} // namespace vorngui
