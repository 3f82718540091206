// The table of menu commands and the operation dialogs they open. Every operation dialog is
// constructed from the run's services alone; the main window gives it its board afterwards.
#include "dialog_table.h"

#include "event_dialogs.h"
#include "heartbeat_match_dialogs.h"
#include "position_dialogs.h"
#include "resource_ids.h"
#include "sync_dialogs.h"
#include "time_dialogs.h"

#include <algorithm>
#include <iterator>

namespace vorngui {
namespace {

using Factory = std::unique_ptr<Dialog> (*)(const Services&);

template <typename T> std::unique_ptr<Dialog> make(const Services& services) {
    return std::make_unique<T>(services);
}

struct Entry {
    int command;
    Factory create;
};

const Entry kEntries[] = {
    {commands::kTimeRetrieve, &make<TimeRetrieveDialog>},
    {commands::kTimeSet, &make<TimeSetDialog>},
    {commands::kDateRetrieve, &make<DateRetrieveDialog>},
    {commands::kYearSet, &make<YearSetDialog>},
    {commands::kHeartbeatSet, &make<HeartbeatSetDialog>},
    {commands::kHeartbeatCheck, &make<HeartbeatCheckDialog>},
    {commands::kMatchSet, &make<MatchSetDialog>},
    {commands::kMatchCheck, &make<MatchCheckDialog>},
    {commands::kSimulateEvent, &make<SimulateEventDialog>},
    {commands::kEventCheck, &make<EventDialog>},
    {commands::kSyncStatus, &make<SyncCheckDialog>},
    {commands::kSyncControl, &make<SyncSetupDialog>},
    {commands::kPropDelay, &make<PropDelayDialog>},
    {commands::kAltitude, &make<AltitudeDialog>},
    {commands::kLatitude, &make<LatitudeDialog>},
    {commands::kLongitude, &make<LongitudeDialog>},
    {commands::kSatellite, &make<SatelliteDialog>},
};

} // namespace

std::unique_ptr<Dialog> createOperationDialog(int commandId, const Services& services) {
    const auto found = std::find_if(std::begin(kEntries), std::end(kEntries),
                                    [commandId](const Entry& e) { return e.command == commandId; });
    return found == std::end(kEntries) ? nullptr : found->create(services);
}

} // namespace vorngui
