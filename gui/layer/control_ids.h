// The ids the window templates give their controls: one namespace a window, or a family of
// windows that share a layout, named after the template file the ids appear in.
#pragma once

namespace vorngui::controls {

// Windows' IDOK: the About box's "OK".
inline constexpr int kOk = 1;

// about_100.
namespace about {
inline constexpr int kFirmware = 1016;
inline constexpr int kDriver = 1017;
inline constexpr int kFpga = 1018;
} // namespace about

// time_set_130 and time_retrieve_131.
namespace time_of_day {
inline constexpr int kDays = 1000;
inline constexpr int kMinutes = 1001;
inline constexpr int kSeconds = 1002;
inline constexpr int kHours = 1003;
inline constexpr int kRetrieveOrSet = 1004; // "Set" in 130, "Retrieve" in 131
inline constexpr int kCancel = 1005;
} // namespace time_of_day

// heartbeat_set_132.
namespace heartbeat_set {
inline constexpr int kSet = 1004;
inline constexpr int kFrequency = 1005; // an edit, though "Cancel" has this id elsewhere
inline constexpr int kType = 1006;
inline constexpr int kStart = 1007;
inline constexpr int kCancel = 1009;
} // namespace heartbeat_set

// match_set_133.
namespace match_set {
inline constexpr int kDays = 1000;
inline constexpr int kMinutes = 1001;
inline constexpr int kSeconds = 1002;
inline constexpr int kHours = 1003;
inline constexpr int kSet = 1004;
inline constexpr int kCancel = 1005;
inline constexpr int kType = 1006;
} // namespace match_set

// match_check_135 and heartbeat_check_148: one interrupt source each.
namespace interrupt_check {
inline constexpr int kCancel = 1005;
inline constexpr int kMatch = 1010; // the check box of 135
inline constexpr int kCheck = 1011;
inline constexpr int kTimeout = 1032;
inline constexpr int kHeartbeat = 1033; // the check box of 148
} // namespace interrupt_check

// date_retrieve_136 and year_set_137.
namespace date {
inline constexpr int kYear = 1012;
inline constexpr int kRetrieve = 1013;
inline constexpr int kCancel = 1014; // "CANCEL" in 136, "Cancel" in 137
inline constexpr int kMonth = 1015;
inline constexpr int kDay = 1016;
inline constexpr int kSet = 1020;
} // namespace date

// event_138.
namespace event {
inline constexpr int kDays = 1000;
inline constexpr int kMinutes = 1001;
inline constexpr int kSeconds = 1002;
inline constexpr int kHours = 1003;
inline constexpr int kCancel = 1005;
inline constexpr int kCheck = 1011;
inline constexpr int kTimeout = 1032;
inline constexpr int kFlushFifo = 1035;
} // namespace event

// simulate_event_139.
namespace simulate_event {
inline constexpr int kCancel = 1014;
inline constexpr int kSimulate = 1015;
} // namespace simulate_event

// sync_check_140.
namespace sync_check {
inline constexpr int kCheck = 1011;
inline constexpr int kCancel = 1014;
inline constexpr int kSynchronized = 1017;
} // namespace sync_check

// prop_delay_141.
namespace prop_delay {
inline constexpr int kSet = 1013;
inline constexpr int kCancel = 1014;
inline constexpr int kCorrection = 1019;
} // namespace prop_delay

// altitude_142, latitude_143, satellite_145 and longitude_146.
namespace position {
inline constexpr int kMinutes = 1001; // latitude and longitude: minutes of arc
inline constexpr int kRetrieve = 1004;
inline constexpr int kCancel = 1005;
inline constexpr int kAltitude = 1021;
inline constexpr int kSatellites = 1022;
inline constexpr int kDegrees = 1023; // latitude and longitude: the degrees text
} // namespace position

// board_select_144.
namespace board_select {
inline constexpr int kOk = 1004;
inline constexpr int kPci = 1027;
inline constexpr int kCompactPci = 1028;
inline constexpr int kIsa = 1029;
inline constexpr int kDeviceName = 1031;
inline constexpr int kDemo = 1034;
} // namespace board_select

// sync_setup_147.
namespace sync_setup {
inline constexpr int kCancel = 1009;
inline constexpr int kControl = 1024;
inline constexpr int kSet = 1025;
} // namespace sync_setup

// The buttons labelled "Cancel" or "CANCEL" in the operation dialogs: with kOk they take the
// accept path in every dialog unless it says otherwise.
inline constexpr int kCancelButtons[] = {time_of_day::kCancel, heartbeat_set::kCancel,
                                         date::kCancel};

} // namespace vorngui::controls
