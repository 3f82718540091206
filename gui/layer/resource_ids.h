// The control utility's resource ids: dialog templates, the main window's menu commands, the
// system-menu entry and the other resources the front supplies. The ids of the controls inside
// the templates are in control_ids.h.
#pragma once

namespace vorngui {

// Dialog templates, each the layout of one window.
namespace templates {
inline constexpr int kAbout = 100;
inline constexpr int kMainWindow = 102;
inline constexpr int kTimeSet = 130;
inline constexpr int kTimeRetrieve = 131;
inline constexpr int kHeartbeatSet = 132;
inline constexpr int kMatchSet = 133;
inline constexpr int kMatchCheck = 135;
inline constexpr int kDateRetrieve = 136;
inline constexpr int kYearSet = 137;
inline constexpr int kEvent = 138;
inline constexpr int kSimulateEvent = 139;
inline constexpr int kSyncCheck = 140;
inline constexpr int kPropDelay = 141;
inline constexpr int kAltitude = 142;
inline constexpr int kLatitude = 143;
inline constexpr int kBoardSelect = 144;
inline constexpr int kSatellite = 145;
inline constexpr int kLongitude = 146;
inline constexpr int kSyncSetup = 147;
inline constexpr int kHeartbeatCheck = 148;
} // namespace templates

// Commands of the main window's menu bar (menu 129).
namespace commands {
inline constexpr int kExit = 32771;
inline constexpr int kTimeRetrieve = 32772;
inline constexpr int kTimeSet = 32773;
inline constexpr int kHeartbeatSet = 32774;
inline constexpr int kMatchCheck = 32775;
inline constexpr int kMatchSet = 32776;
inline constexpr int kAbout = 32777;
inline constexpr int kYearSet = 32778;
inline constexpr int kDateRetrieve = 32779;
inline constexpr int kSimulateEvent = 32780;
inline constexpr int kEventCheck = 32781;
inline constexpr int kSyncStatus = 32785;
inline constexpr int kPropDelay = 32786;
inline constexpr int kAltitude = 32787;
inline constexpr int kLatitude = 32788;
inline constexpr int kLongitude = 32789;
inline constexpr int kSatellite = 32790;
inline constexpr int kSyncControl = 32791;
inline constexpr int kHeartbeatCheck = 32792;

// The About entry the main window appends to its system menu. A system command is that entry
// when its id masked with kSystemCommandMask equals kSystemAbout (the low four bits belong to
// the window system).
inline constexpr int kSystemAbout = 16;
inline constexpr int kSystemCommandMask = 0xFFF0;
} // namespace commands

// Other resources: the system-menu string, the icon, the menu bar and the main window's picture.
namespace resources {
inline constexpr int kAboutMenuString = 101;
inline constexpr int kIcon = 128;
inline constexpr int kMenuBar = 129;
inline constexpr int kPicture = 141;

inline constexpr const char* kAboutMenuText = "&About vornGui...";
inline constexpr int kPictureWidth = 488;
inline constexpr int kPictureHeight = 439;
} // namespace resources

} // namespace vorngui
