// The main window's run: board selection and opening, the menu commands with the check of the
// GPS-only ones, the About box, and closing the board at the end.
#include "main_dialog.h"

#include "about_dialog.h"
#include "board_select_dialog.h"
#include "dialog_table.h"

#include <cstring>

namespace vorngui {

using namespace main_messages;

namespace {

struct GpsCommand {
    int command;
    const char* refusal;
};

constexpr GpsCommand kGpsCommands[] = {
    {commands::kAltitude, kNoAltitude},
    {commands::kLatitude, kNoLatitude},
    {commands::kLongitude, kNoLongitude},
    {commands::kSatellite, kNoSatellites},
};

// Model codes of the boards that carry a GPS receiver.
bool hasGps(uint16_t modelCode) {
    return modelCode == 0x9070 || modelCode == 0x9072 || modelCode == 0x7100;
}

std::string openFailedMessage(const std::string& name) {
    std::string text = kOpenFailed;
    text.replace(text.find("%s"), 2, name);
    return text;
}

} // namespace

MainDialog::MainDialog(const Services& services) : Dialog(templates::kMainWindow, services) {}

MainDialog::~MainDialog() {
    finish();
}

void MainDialog::onInitDialog(DialogView& view) {
    selectBoard();
    setBoard(nullptr, 0);
    services().process.demonstration = 0;
    if (std::strcmp(m_deviceName.c_str(), kDemoDeviceName) == 0) {
        startDemonstration();
    } else {
        openBoard(view);
    }
}

void MainDialog::selectBoard() {
    BoardSelectDialog select(services());
    services().runner.runModal(select);
    // The chosen name goes through a zero-filled buffer of fixed size; a longer name is
    // shortened so that the buffer keeps its terminating zero.
    char buffer[kDeviceNameBuffer] = {};
    std::strncpy(buffer, select.deviceName().c_str(), sizeof(buffer) - 1);
    m_deviceName = buffer;
}

void MainDialog::startDemonstration() {
    // A stand-in for the library's board record that only the GPS check reads; it is never
    // given to the library.
    m_demoBlock = std::make_unique<BoardRecord>();
    m_demoBlock->modelCode = kDemoModelCode;
    setBoard(m_demoBlock.get(), 1);
    services().process.demonstration = 1;
    services().random.seed(services().clock.secondsNow());
}

void MainDialog::openBoard(DialogView& view) {
    BoardHandle handle = nullptr;
    if (services().board.open(&handle, m_deviceName.c_str()) != 0) {
        // Whatever the library left in the handle is not a board it opened: nothing is kept,
        // so nothing is closed at the end.
        view.showMessage(openFailedMessage(m_deviceName));
        acceptPath(view);
        return;
    }
    setBoard(handle, 0);
    m_opened = true;
}

void MainDialog::onMenuCommand(DialogView& view, int commandId) {
    if (commandId == commands::kExit) {
        acceptPath(view);
    } else if (commandId == commands::kAbout) {
        runAbout(true);
    } else if (const char* refusal = gpsRefusal(commandId)) {
        view.showMessage(refusal);
    } else {
        runOperation(commandId);
    }
}

bool MainDialog::onSystemCommand(DialogView&, int commandId) {
    if ((commandId & commands::kSystemCommandMask) != commands::kSystemAbout) {
        return false;
    }
    runAbout(false);
    return true;
}

const char* MainDialog::gpsRefusal(int commandId) const {
    for (const GpsCommand& gps : kGpsCommands) {
        if (gps.command != commandId) {
            continue;
        }
        if (demo()) {
            return nullptr;
        }
        const BoardHandle handle = boardHandle();
        return handle != nullptr && hasGps(handle->modelCode) ? nullptr : gps.refusal;
    }
    return nullptr;
}

void MainDialog::runOperation(int commandId) {
    std::unique_ptr<Dialog> dialog = createOperationDialog(commandId, services());
    if (!dialog) {
        return;
    }
    dialog->setBoard(boardHandle(), demonstration());
    services().runner.runModal(*dialog);
}

void MainDialog::runAbout(bool filled) {
    AboutDialog about(services());
    if (filled) {
        about.setBoard(boardHandle(), demonstration());
        about.fillVersions();
    }
    services().runner.runModal(about);
}

void MainDialog::finish() {
    if (m_opened) {
        services().board.close(boardHandle());
        m_opened = false;
    }
    m_demoBlock.reset();
    setBoard(nullptr, 0);
}

const std::vector<MenuPopup>& MainDialog::menuBar() {
    using namespace commands;
    static const std::vector<MenuPopup> kMenuBar = {
        {"&File", {{kExit, "E&xit"}}},
        {"&Time Info", {{kTimeRetrieve, "&Retrieve"}, {kTimeSet, "&Set"}}},
        {"&Heartbeat", {{kHeartbeatSet, "&Set"}, {kHeartbeatCheck, "&Check for Interrupt"}}},
        {"&Match", {{kMatchCheck, "&Check For Match"}, {kMatchSet, "&Set Match Time"}}},
        {"&Date", {{kYearSet, "&Set Year"}, {kDateRetrieve, "&Retrieve Gregorian Date"}}},
        {"&Events", {{kSimulateEvent, "&Simulate Time Tag"}, {kEventCheck, "&Check For Event"}}},
        {"&Sync", {{kSyncStatus, "S&tatus"}, {kSyncControl, "&Control"}}},
        {"&Propagation", {{kPropDelay, "&Set Delay Correction Factor"}}},
        {"Sate&llite",
         {{kAltitude, "Retrieve &Altitude"},
          {kLatitude, "Retrieve &Latitude"},
          {kLongitude, "Retrieve Lon&gitude"},
          {kSatellite, "Retrieve &Satellite Info"}}},
        {"Hel&p", {{kAbout, "A&bout"}}},
    };
    return kMenuBar;
}

} // namespace vorngui
