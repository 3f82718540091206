// The main window of the control utility: it has the operator choose the board, opens it once
// for the whole run, opens one operation dialog per menu command, and closes the board at the end.
#pragma once

#include "dialog.h"
#include "resource_ids.h"

#include <memory>
#include <string>
#include <vector>

namespace vorngui {

namespace main_messages {
inline constexpr const char* kOpenFailed = "Could Not Open Device!! [%s]";
inline constexpr const char* kNoAltitude = "Only SOLK boards can retrieve altitude information!!";
inline constexpr const char* kNoLatitude = "Only SOLK boards can retrieve latitude information!!";
inline constexpr const char* kNoLongitude = "Only SOLK boards can retrieve longitude information!!";
inline constexpr const char* kNoSatellites =
    "Only SOLK boards can retrieve satellite information!!";
} // namespace main_messages

// The device-name buffer: names of this many bytes or more are shortened to one byte less, so
// the buffer always ends in a zero byte.
inline constexpr size_t kDeviceNameBuffer = 20;
// The model code the demonstration board reports: a GPS board.
inline constexpr uint16_t kDemoModelCode = 0x9070;

// One entry of the menu bar: a pop-up menu with its items, in menu-bar order.
struct MenuItem {
    int command;
    const char* text;
};
struct MenuPopup {
    const char* title;
    std::vector<MenuItem> items;
};

class MainDialog : public Dialog {
public:
    explicit MainDialog(const Services& services);
    // Ends the run with finish() if the front has not.
    ~MainDialog() override;

    // Before the window is first shown: board selection, then the demonstration board or the
    // opened board. When the board cannot be opened the window ends here and is never shown.
    void onInitDialog(DialogView& view) override;

    // A command of the menu bar; an id the utility does not know opens nothing.
    void onMenuCommand(DialogView& view, int commandId);
    // A system-menu command: true when it was the About entry and has been handled; false when
    // the window system's default handling should run.
    bool onSystemCommand(DialogView& view, int commandId);
    // The end of the run: closes the opened board, or releases the demonstration board. Safe to
    // call more than once; later calls do nothing.
    void finish();

    // The device name the board was opened by (after onInitDialog).
    const std::string& deviceName() const { return m_deviceName; }
    // True while a board that the library opened is held.
    bool boardOpen() const { return m_opened; }

    // Menu 129, for the front to build the menu bar from.
    static const std::vector<MenuPopup>& menuBar();

private:
    void selectBoard();
    void startDemonstration();
    void openBoard(DialogView& view);
    void runOperation(int commandId);
    void runAbout(bool filled);
    // For the four GPS-only commands: the refusal message, or null when the dialog may open.
    const char* gpsRefusal(int commandId) const;

    std::string m_deviceName;
    std::unique_ptr<BoardRecord> m_demoBlock;
    bool m_opened = false;
};

} // namespace vorngui
