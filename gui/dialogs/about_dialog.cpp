// The About box's version texts: version bytes as "01-02-0A-FF", the driver's text as it comes.
#include "about_dialog.h"

#include <cstdio>
#include <cstring>
#include <functional>

namespace vorngui {

using namespace controls::about;

namespace {

constexpr size_t kVersionBuffer = 10;
constexpr size_t kDriverBuffer = 12;
constexpr int kVersionBytes = 4;
constexpr const char* kDemoText = "DEMO";

using VersionCall = std::function<void(uint8_t* buffer)>;

// Asks for the version once per byte and takes byte i of answer i: "%02X" per byte, "-" between
// bytes, ending early at a zero byte without a trailing "-". With `zeroEveryCall` the buffer is
// cleared before each call, otherwise once before the first.
std::string versionText(const VersionCall& call, bool zeroEveryCall) {
    uint8_t buffer[kVersionBuffer] = {};
    std::string text;
    for (int i = 0; i < kVersionBytes; ++i) {
        if (zeroEveryCall) {
            std::memset(buffer, 0, sizeof(buffer));
        }
        call(buffer);
        if (buffer[i] == 0) {
            if (!text.empty()) {
                text.pop_back();
            }
            break;
        }
        char digits[3];
        std::snprintf(digits, sizeof(digits), "%02X", buffer[i]);
        text += digits;
        if (i != kVersionBytes - 1) {
            text += '-';
        }
    }
    return text;
}

} // namespace

AboutDialog::AboutDialog(const Services& services) : Dialog(templates::kAbout, services) {
    fields().bindText(kFirmware, m_firmware);
    fields().bindText(kDriver, m_driver);
    fields().bindText(kFpga, m_fpga);
}

void AboutDialog::fillVersions() {
    if (services().process.demonstration != 0) {
        m_firmware = m_driver = m_fpga = kDemoText;
        return;
    }
    const BoardHandle handle = boardHandle();
    m_firmware = versionText([&](uint8_t* buffer) { board().getFirmware(handle, buffer); }, false);
    m_fpga = versionText([&](uint8_t* buffer) { board().getFPGA(handle, buffer); }, true);
    char driver[kDriverBuffer] = {};
    board().getDriver(handle, driver);
    // Whatever the library left in the buffer, the text never runs past its end.
    m_driver.assign(driver, strnlen(driver, sizeof(driver)));
}

} // namespace vorngui
