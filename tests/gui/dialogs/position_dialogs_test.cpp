// The altitude, latitude, longitude and satellite dialogs: degrees texts, readings at opening and
// on "Retrieve", failed reads, and the demonstration draws.
#include "operation_fixture.h"
#include "position_dialogs.h"
#include "resource_ids.h"

namespace vorngui {
namespace {

using ::testing::_;
using ::testing::DoAll;
using testing::OperationDialogFixture;
using ::testing::Return;
using ::testing::SetArgPointee;

class PositionDialogsTest : public OperationDialogFixture {};

TEST_F(PositionDialogsTest, DegreesTextLatitudeNorthBelow180AndSouthWithMinusFrom180) {
    EXPECT_EQ(latitudeText(0), " 0  (North)");
    EXPECT_EQ(latitudeText(179), " 179  (North)");
    EXPECT_EQ(latitudeText(180), "-0  (South)");
    EXPECT_EQ(latitudeText(215), "-35  (South)");
    EXPECT_EQ(latitudeText(999), "-819  (South)");
    EXPECT_EQ(latitudeText(65535), "-65355  (South)");
    EXPECT_EQ(latitudeText(65535).size(), 15u) << "fits the 16-byte buffer with its terminator";
}

TEST_F(PositionDialogsTest, DegreesTextLongitudeEastOrWestWithoutSign) {
    EXPECT_EQ(longitudeText(0), "0   East");
    EXPECT_EQ(longitudeText(75), "75   East");
    EXPECT_EQ(longitudeText(179), "179   East");
    EXPECT_EQ(longitudeText(180), "0   West");
    EXPECT_EQ(longitudeText(215), "35   West");
    EXPECT_EQ(longitudeText(255), "75   West");
    EXPECT_EQ(longitudeText(999), "819   West");
    EXPECT_EQ(longitudeText(65535), "65355   West");
}

TEST_F(PositionDialogsTest, AltitudeIsReadAtOpeningAndAgainOnRetrieve) {
    AltitudeDialog dialog(fakes.services);
    EXPECT_CALL(fakes.board, getAltitude(_, _))
        .WillOnce(DoAll(SetArgPointee<1>(AltObj{1234.5f}), Return(0)))
        .WillOnce(DoAll(SetArgPointee<1>(AltObj{87.25f}), Return(0)));
    open(dialog);
    EXPECT_EQ(view.text(controls::position::kAltitude), "1234.5");
    dialog.onCommand(view, controls::position::kRetrieve);
    EXPECT_EQ(view.text(controls::position::kAltitude), "87.25");
    EXPECT_FALSE(view.ended);
    EXPECT_TRUE(view.messages.empty());
}

TEST_F(PositionDialogsTest, LatitudeAndLongitudeShowMinutesAndDegreesText) {
    LatitudeDialog latitude(fakes.services);
    EXPECT_CALL(fakes.board, getLatitude(_, _))
        .WillOnce(DoAll(SetArgPointee<1>(LongLat{215, 0, 12.5f}), Return(0)));
    open(latitude);
    EXPECT_EQ(view.text(controls::position::kDegrees), "-35  (South)");
    EXPECT_EQ(view.text(controls::position::kMinutes), "12.5");

    testing::FakeView longitudeView;
    LongitudeDialog longitude(fakes.services);
    EXPECT_CALL(fakes.board, getLongitude(_, _))
        .WillOnce(DoAll(SetArgPointee<1>(LongLat{75, 0, 59.9999f}), Return(0)));
    give(longitude);
    longitude.onInitDialog(longitudeView);
    EXPECT_EQ(longitudeView.text(controls::position::kDegrees), "75   East");
    EXPECT_EQ(longitudeView.text(controls::position::kMinutes), "59.9999");
}

TEST_F(PositionDialogsTest, SatellitesShowTheFirstByteAsACount) {
    SatelliteDialog dialog(fakes.services);
    EXPECT_CALL(fakes.board, getSatInfo(_, _))
        .WillOnce(DoAll(SetArgPointee<1>(SatObj{255, 7}), Return(0)));
    open(dialog);
    EXPECT_EQ(view.text(controls::position::kSatellites), "255");
}

TEST_F(PositionDialogsTest, AFailedReadAtOpeningClosesEachDialogWithItsMessage) {
    ON_CALL(fakes.board, getAltitude(_, _)).WillByDefault(Return(7));
    ON_CALL(fakes.board, getLatitude(_, _)).WillByDefault(Return(7));
    ON_CALL(fakes.board, getLongitude(_, _)).WillByDefault(Return(7));
    ON_CALL(fakes.board, getSatInfo(_, _)).WillByDefault(Return(7));
    AltitudeDialog altitude(fakes.services);
    LatitudeDialog latitude(fakes.services);
    LongitudeDialog longitude(fakes.services);
    SatelliteDialog satellites(fakes.services);
    const std::pair<PositionDialog*, const char*> cases[] = {
        {&altitude, AltitudeDialog::kFailed},
        {&latitude, LatitudeDialog::kFailed},
        {&longitude, LongitudeDialog::kFailed},
        {&satellites, SatelliteDialog::kFailed},
    };
    for (const auto& [dialog, message] : cases) {
        testing::FakeView opened;
        give(*dialog);
        dialog->onInitDialog(opened);
        ASSERT_EQ(opened.messages.size(), 1u) << message;
        EXPECT_EQ(opened.messages[0], message);
        EXPECT_EQ(opened.ended, DialogResult::Cancel) << message;
    }
    EXPECT_EQ(std::string(LatitudeDialog::kFailed), "Could not receive Latitude Information!!");
}

TEST_F(PositionDialogsTest, AFailedRetrieveKeepsTheLastValuesAndTheDialogOpen) {
    LatitudeDialog dialog(fakes.services);
    EXPECT_CALL(fakes.board, getLatitude(_, _))
        .WillOnce(DoAll(SetArgPointee<1>(LongLat{10, 0, 30.0f}), Return(0)))
        .WillOnce(DoAll(SetArgPointee<1>(LongLat{200, 0, 1.0f}), Return(1)));
    open(dialog);
    dialog.onCommand(view, controls::position::kRetrieve);
    EXPECT_EQ(view.messages, std::vector<std::string>{LatitudeDialog::kFailed});
    EXPECT_EQ(view.text(controls::position::kDegrees), " 10  (North)");
    EXPECT_EQ(view.text(controls::position::kMinutes), "30");
    EXPECT_EQ(dialog.degreesText(), " 10  (North)");
    EXPECT_FALSE(view.ended);
}

TEST_F(PositionDialogsTest, CancelAndEnterAcceptEscapeCancels) {
    ON_CALL(fakes.board, getSatInfo(_, _))
        .WillByDefault(DoAll(SetArgPointee<1>(SatObj{4, 0}), Return(0)));
    SatelliteDialog dialog(fakes.services);
    open(dialog);
    dialog.onCommand(view, controls::position::kCancel);
    EXPECT_EQ(view.ended, DialogResult::Ok);

    testing::FakeView second;
    dialog.onInitDialog(second);
    dialog.onEnterKey(second);
    EXPECT_EQ(second.ended, DialogResult::Ok);

    testing::FakeView third;
    dialog.onInitDialog(third);
    dialog.onEscapeKey(third);
    EXPECT_EQ(third.ended, DialogResult::Cancel);
}

TEST_F(PositionDialogsTest, DemonstrationAltitudeRunsFromOneTo32768WithoutTheBoard) {
    EXPECT_CALL(fakes.board, getAltitude(_, _)).Times(0);
    fakes.random.values = {32767, 0};
    AltitudeDialog dialog(fakes.services);
    open(dialog, true);
    EXPECT_EQ(view.text(controls::position::kAltitude), "32768");
    dialog.onCommand(view, controls::position::kRetrieve);
    EXPECT_EQ(view.text(controls::position::kAltitude), "1");
    EXPECT_EQ(fakes.random.draws, 2);
}

TEST_F(PositionDialogsTest, DemonstrationLatitudeDrawsDegreesThenMinutes) {
    EXPECT_CALL(fakes.board, getLatitude(_, _)).Times(0);
    fakes.random.values = {998, 5, 178, 98};
    LatitudeDialog dialog(fakes.services);
    open(dialog, true);
    EXPECT_EQ(view.text(controls::position::kDegrees), "-819  (South)");
    EXPECT_EQ(view.text(controls::position::kMinutes), "6");
    dialog.onCommand(view, controls::position::kRetrieve);
    EXPECT_EQ(view.text(controls::position::kDegrees), " 179  (North)");
    EXPECT_EQ(view.text(controls::position::kMinutes), "99");
}

TEST_F(PositionDialogsTest, DemonstrationLongitudeDrawsMinutesThenDegrees) {
    EXPECT_CALL(fakes.board, getLongitude(_, _)).Times(0);
    fakes.random.values = {5, 998};
    LongitudeDialog dialog(fakes.services);
    open(dialog, true);
    EXPECT_EQ(view.text(controls::position::kMinutes), "6");
    EXPECT_EQ(view.text(controls::position::kDegrees), "819   West");
}

TEST_F(PositionDialogsTest, DemonstrationSatellitesRunFromZeroToEight) {
    EXPECT_CALL(fakes.board, getSatInfo(_, _)).Times(0);
    fakes.random.values = {17, 9};
    SatelliteDialog dialog(fakes.services);
    open(dialog, true);
    EXPECT_EQ(view.text(controls::position::kSatellites), "8");
    dialog.onCommand(view, controls::position::kRetrieve);
    EXPECT_EQ(view.text(controls::position::kSatellites), "0");
}

TEST_F(PositionDialogsTest, MenuCommandsOpenTheirDialogs) {
    testing::expectMenuOpens({
        {commands::kAltitude, templates::kAltitude},
        {commands::kLatitude, templates::kLatitude},
        {commands::kLongitude, templates::kLongitude},
        {commands::kSatellite, templates::kSatellite},
    });
}

} // namespace
} // namespace vorngui
