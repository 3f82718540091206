// Field transfer: formats, parse messages, range checks, and reading that stops at the first
// field that fails.
#include "dialog.h"
#include "fake_services.h"
#include "fake_view.h"
#include "field_text.h"
#include "fields.h"

#include <gtest/gtest.h>

namespace vorngui {
namespace {

using testing::FakeView;

TEST(FieldTransferTest, FieldTextFormatsMatchThePrintfConversions) {
    EXPECT_EQ(formatUnsigned(255), "255");
    EXPECT_EQ(formatSigned(-32768), "-32768");
    EXPECT_EQ(formatFloat(1.0f), "1");
    EXPECT_EQ(formatFloat(12.3456789f), "12.3457");
    EXPECT_EQ(formatFloat(1234567.0f), "1.23457e+06");
    EXPECT_EQ(formatDouble(12.345), "12.345");
    EXPECT_EQ(formatDouble(59.9996), "59.9996");
    EXPECT_EQ(formatDouble(0.0), "0");
    EXPECT_EQ(formatDouble(1e-5), "1e-05");
}

TEST(FieldTransferTest, FieldTextIntegersAreDecimalWithBlanksAround) {
    EXPECT_EQ(parseInteger(" 42 "), 42);
    EXPECT_EQ(parseInteger("\t-7"), -7);
    EXPECT_EQ(parseInteger("+3"), 3);
    for (const char* bad : {"", " ", "4 2", "0x10", "12a", "-", "1.0", "99999999999999999999"}) {
        EXPECT_FALSE(parseInteger(bad)) << '"' << bad << '"';
    }
}

TEST(FieldTransferTest, FieldTextNumbersRefuseJunkAndInfinities) {
    EXPECT_EQ(parseNumber(" 2.5 "), 2.5);
    EXPECT_EQ(parseNumber("-.5"), -0.5);
    EXPECT_EQ(parseNumber("1e3"), 1000.0);
    for (const char* bad : {"", "abc", "1e", "inf", "nan", "1,5", "1e999", "2.5x"}) {
        EXPECT_FALSE(parseNumber(bad)) << '"' << bad << '"';
    }
}

struct Record {
    uint8_t small = 0;
    int16_t signedValue = 0;
    uint32_t count = 0;
    double seconds = 0;
};

struct FieldTransferRecordTest : ::testing::Test {
    FieldTransferRecordTest() {
        fields.bindUInt8(1, record.small);
        fields.bindInt16(2, record.signedValue);
        fields.bindUInt32(3, record.count);
        fields.bindDouble(4, record.seconds, 0, 60);
    }
    Record record;
    FieldSet fields;
    FakeView view;
};

TEST_F(FieldTransferRecordTest, ShowWritesEveryFieldInItsFormat) {
    record = {7, -3, 4000000000u, 1.5};
    fields.show(view);
    EXPECT_EQ(view.text(1), "7");
    EXPECT_EQ(view.text(2), "-3");
    EXPECT_EQ(view.text(3), "4000000000");
    EXPECT_EQ(view.text(4), "1.5");
}

TEST_F(FieldTransferRecordTest, ReadingStopsAtTheFirstFailureWithItsMessageAndFocus) {
    record = {1, 1, 1, 1};
    view.setText(1, "200");
    view.setText(2, "40000");
    view.setText(3, "5");
    view.setText(4, "6");
    EXPECT_FALSE(fields.readBack(view));
    EXPECT_EQ(record.small, 200);     // before the failure: new value
    EXPECT_EQ(record.signedValue, 1); // the failing field keeps its value
    EXPECT_EQ(record.count, 1u);      // after it: old value
    EXPECT_EQ(view.messages, std::vector<std::string>{"Please enter an integer."});
    EXPECT_EQ(view.focused, 2);
}

TEST_F(FieldTransferRecordTest, EachTypeHasItsMessage) {
    const struct {
        const char* texts[4];
        const char* message;
    } cases[] = {
        {{"256", "0", "0", "0"}, "Please enter an integer between 0 and 255."},
        {{"-1", "0", "0", "0"}, "Please enter an integer between 0 and 255."},
        {{"0", "", "0", "0"}, "Please enter an integer."},
        {{"0", "0", "-0", "0"}, "Please enter a positive integer."},
        {{"0", "0", "4294967296", "0"}, "Please enter a positive integer."},
        {{"0", "0", "0", "x"}, "Please enter a number."},
        {{"0", "0", "0", "60.5"}, "Please enter a number between 0 and 60."},
    };
    for (const auto& c : cases) {
        FakeView fresh;
        for (int i = 0; i < 4; ++i) {
            fresh.setText(i + 1, c.texts[i]);
        }
        EXPECT_FALSE(fields.readBack(fresh));
        EXPECT_EQ(fresh.messages, std::vector<std::string>{c.message});
    }
}

TEST(FieldTransferTest, FieldSetIntegerRangeMessageFollowsTheTypeMessage) {
    uint8_t hours = 5;
    int16_t days = 5;
    FieldSet fields;
    fields.bindUInt8(1, hours, 0, 23);
    fields.bindInt16(2, days, 0, 366);
    FakeView view;
    view.setText(1, "24");
    view.setText(2, "367");
    EXPECT_FALSE(fields.readBack(view));
    view.setText(1, "23");
    EXPECT_FALSE(fields.readBack(view));
    view.setText(2, "366");
    EXPECT_TRUE(fields.readBack(view));
    EXPECT_EQ(view.messages,
              (std::vector<std::string>{"Please enter an integer between 0 and 23.",
                                        "Please enter an integer between 0 and 366."}));
    EXPECT_EQ(hours, 23);
    EXPECT_EQ(days, 366);
}

TEST(FieldTransferTest, FieldSetChecksListsAndTextsTravelBothWays) {
    int ticked = 1;
    int position = 1;
    std::string name = "VORNpci0";
    FieldSet fields;
    fields.bindCheck(1, ticked);
    fields.bindListPosition(2, position);
    fields.bindText(3, name);
    FakeView view;
    view.setListItems(2, {"Stop", "Start"});
    fields.show(view);
    EXPECT_TRUE(view.isChecked(1));
    EXPECT_EQ(view.listItems(2)[view.listSelection(2)], "Stop");
    EXPECT_EQ(view.text(3), "VORNpci0");
    view.setChecked(1, false);
    view.setListSelection(2, -1);
    view.setText(3, "anything at all");
    EXPECT_TRUE(fields.readBack(view));
    EXPECT_EQ(ticked, 0);
    EXPECT_EQ(position, -1);
    EXPECT_EQ(name, "anything at all");
}

struct OneFieldDialog : Dialog {
    explicit OneFieldDialog(const Services& services) : Dialog(999, services) {
        fields().bindInt16(1000, value);
    }
    int16_t value = 0;
};

TEST(FieldTransferTest, DialogPathsCancelButtonsAcceptOnlyWhenFieldsParseAndEscapeClosesAtOnce) {
    testing::FakeServices fake;
    OneFieldDialog dialog(fake.services);
    FakeView view;
    dialog.onInitDialog(view);
    EXPECT_EQ(view.text(1000), "0");
    view.setText(1000, "junk");
    dialog.onCommand(view, 1005);
    EXPECT_FALSE(view.ended);
    dialog.onEnterKey(view);
    EXPECT_FALSE(view.ended);
    EXPECT_EQ(view.messages.size(), 2u);
    dialog.onCommand(view, 1004); // not an accept-path button
    EXPECT_FALSE(view.ended);
    dialog.onEscapeKey(view);
    EXPECT_EQ(view.ended, DialogResult::Cancel);

    FakeView second;
    second.setText(1000, "12");
    dialog.onCommand(second, 1014);
    EXPECT_EQ(second.ended, DialogResult::Ok);
    EXPECT_EQ(dialog.value, 12);
}

TEST(FieldTransferTest, DemoRandomRuntimeGeneratorGivesTheKnownSequence) {
    RuntimeRandom random;
    // The runtime library's generator from its default seed of 1.
    EXPECT_EQ(random.next(), 41);
    EXPECT_EQ(random.next(), 18467);
    EXPECT_EQ(random.next(), 6334);
    random.seed(1);
    EXPECT_EQ(random.next(), 41);
}

TEST(FieldTransferTest, DayOfYearLeapYearsAreThoseWithTwoLowBitsClear) {
    EXPECT_EQ(dayOfYear({2024, 3, 0, 1, 0, 0, 0, 0}), 61);
    EXPECT_EQ(dayOfYear({2023, 3, 0, 1, 0, 0, 0, 0}), 60);
    EXPECT_EQ(dayOfYear({2024, 12, 0, 31, 0, 0, 0, 0}), 366);
    EXPECT_EQ(dayOfYear({2100, 3, 0, 1, 0, 0, 0, 0}), 61); // no century rule
    EXPECT_EQ(dayOfYear({2023, 1, 0, 1, 0, 0, 0, 0}), 1);
}

} // namespace
} // namespace vorngui
