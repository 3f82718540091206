// The position and satellite dialogs over the real library, driver and board model: what the
// simulated GPS receiver reports, as the dialogs show it.
#include "operation_e2e_fixture.h"
#include "position_dialogs.h"

namespace vorngui {
namespace {

class PositionE2eTest : public testing::OperationE2eFixture {
protected:
    void setScenario() {
        vornhost::SimCommand gps;
        gps.action = vornhost::SimAction::SetGpsScenario;
        gps.altitudeDecimetres = 12'345;
        gps.latitudeDegrees = 215;
        gps.latitudeMinutes = 123'456;
        gps.longitudeDegrees = 75;
        gps.longitudeMinutes = 500'000;
        gps.satellites = 7;
        simulate(gps);
    }
};

TEST_F(PositionE2eTest, TheDialogsShowTheGpsScenario) {
    setScenario();
    AltitudeDialog altitude(services);
    testing::FakeView altitudeView;
    open(altitude, altitudeView);
    EXPECT_EQ(altitudeView.text(controls::position::kAltitude), "1234.5");

    LatitudeDialog latitude(services);
    testing::FakeView latitudeView;
    open(latitude, latitudeView);
    EXPECT_EQ(latitudeView.text(controls::position::kDegrees), "-35  (South)");
    EXPECT_EQ(latitudeView.text(controls::position::kMinutes), "12.3456");

    LongitudeDialog longitude(services);
    testing::FakeView longitudeView;
    open(longitude, longitudeView);
    EXPECT_EQ(longitudeView.text(controls::position::kDegrees), "75   East");
    EXPECT_EQ(longitudeView.text(controls::position::kMinutes), "50");

    SatelliteDialog satellites(services);
    testing::FakeView satelliteView;
    open(satellites, satelliteView);
    EXPECT_EQ(satelliteView.text(controls::position::kSatellites), "7");

    for (const testing::FakeView* view :
         {&altitudeView, &latitudeView, &longitudeView, &satelliteView}) {
        EXPECT_TRUE(view->messages.empty());
        EXPECT_FALSE(view->ended);
    }
}

TEST_F(PositionE2eTest, RetrieveFollowsAChangedScenario) {
    SatelliteDialog satellites(services);
    testing::FakeView view;
    open(satellites, view);
    setScenario();
    satellites.onCommand(view, controls::position::kRetrieve);
    EXPECT_EQ(view.text(controls::position::kSatellites), "7");
}

TEST_F(PositionE2eTest, ABoardThatDoesNotAnswerClosesTheDialogAtOpening) {
    vornhost::SimCommand faults;
    faults.action = vornhost::SimAction::SetFaults;
    faults.faultBadEcho = true;
    simulate(faults);
    LatitudeDialog latitude(services);
    testing::FakeView view;
    open(latitude, view);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Could not receive Latitude Information!!"});
    EXPECT_EQ(view.ended, DialogResult::Cancel);
}

} // namespace
} // namespace vorngui
