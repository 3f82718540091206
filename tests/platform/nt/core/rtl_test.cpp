// Counted strings: lengths in bytes, terminators only where there is room, silent truncation,
// and the integer conversion's overflow rules.
#include "core_fixture.h"

#include <string>

namespace ntemu::test {
namespace {

using RtlTest = KernelFixture;

std::u16string text(const UNICODE_STRING& s) {
    return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

TEST_F(RtlTest, InitPointsAtTheSource) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, u"\\Device\\VORNpci0");
    EXPECT_EQ(s.Length, 32);
    EXPECT_EQ(s.MaximumLength, 34);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);

    std::u16string huge(40000, u'x');
    RtlInitUnicodeString(&s, huge.c_str());
    EXPECT_EQ(s.Length, 0xFFFC) << "clamped, not wrapped to a short string";
    EXPECT_EQ(s.MaximumLength, 0xFFFE);
}

TEST_F(RtlTest, CopyTruncatesSilentlyAndTerminatesOnlyWithRoom) {
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"ABCDEF");
    WCHAR buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    UNICODE_STRING d{0, 8, buffer};
    RtlCopyUnicodeString(&d, &source);
    EXPECT_EQ(text(d), u"ABCD");
    EXPECT_EQ(buffer[4], u'#') << "a full buffer gets no terminator";
    d.MaximumLength = 16;
    RtlCopyUnicodeString(&d, &source);
    EXPECT_EQ(text(d), u"ABCDEF");
    EXPECT_EQ(buffer[6], 0);
    d.MaximumLength = 13;
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    RtlCopyUnicodeString(&d, &source);
    EXPECT_EQ(text(d), u"ABCDEF");
    EXPECT_EQ(buffer[6], u'#') << "an odd maximum has no room for a whole terminator";
    RtlCopyUnicodeString(&d, nullptr);
    EXPECT_EQ(d.Length, 0);
}

TEST_F(RtlTest, AppendFailsWithoutChangeWhenTooSmall) {
    WCHAR buffer[6];
    UNICODE_STRING d{0, sizeof buffer, buffer};
    EXPECT_EQ(RtlAppendUnicodeToString(&d, u"VORN"), STATUS_SUCCESS);
    EXPECT_EQ(buffer[4], 0);
    UNICODE_STRING more;
    RtlInitUnicodeString(&more, u"pci");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&d, &more), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(text(d), u"VORN");
    RtlInitUnicodeString(&more, u"p0");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&d, &more), STATUS_SUCCESS);
    EXPECT_EQ(text(d), u"VORNp0");
    EXPECT_EQ(RtlAppendUnicodeToString(&d, nullptr), STATUS_SUCCESS);
    RtlInitUnicodeString(&more, u"");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&d, &more), STATUS_SUCCESS);
    EXPECT_EQ(d.Length, 12);
}

TEST_F(RtlTest, EqualAndCompareIgnoreWhatFollowsLength) {
    UNICODE_STRING a;
    UNICODE_STRING b;
    RtlInitUnicodeString(&a, u"VornPci\u00E9\u00FF");
    RtlInitUnicodeString(&b, u"VORNPCI\u00C9\u0178xyz");
    b.Length = a.Length;
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    b.Length -= 2;
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_GT(RtlCompareUnicodeString(&a, &b, TRUE), 0) << "a prefix sorts first";
    RtlInitUnicodeString(&b, u"VornPcj");
    EXPECT_LT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    RtlInitUnicodeString(&b, u"x\u00F7");
    RtlInitUnicodeString(&a, u"X\u00D7");
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, TRUE)) << "the division sign is no letter";

    KfRaiseIrql(DISPATCH_LEVEL);
    RtlEqualUnicodeString(&a, &b, TRUE);
    EXPECT_EQ(verifier::consume(Check::IrqlTooHigh), 1u);
    KfLowerIrql(PASSIVE_LEVEL);
}

TEST_F(RtlTest, IntegerToStringDigitsAndBases) {
    WCHAR buffer[20];
    UNICODE_STRING s{0, sizeof buffer, buffer};
    EXPECT_EQ(RtlIntegerToUnicodeString(0, 0, &s), STATUS_SUCCESS);
    EXPECT_EQ(text(s), u"0");
    EXPECT_EQ(RtlIntegerToUnicodeString(0xBEEF, 16, &s), STATUS_SUCCESS);
    EXPECT_EQ(text(s), u"BEEF");
    EXPECT_EQ(buffer[4], 0);
    EXPECT_EQ(RtlIntegerToUnicodeString(4294967295u, 10, &s), STATUS_SUCCESS);
    EXPECT_EQ(text(s), u"4294967295");
    EXPECT_EQ(RtlIntegerToUnicodeString(8, 8, &s), STATUS_SUCCESS);
    EXPECT_EQ(text(s), u"10");
    EXPECT_EQ(RtlIntegerToUnicodeString(5, 7, &s), STATUS_INVALID_PARAMETER);
}

TEST_F(RtlTest, IntegerToStringOverflowSetsLengthAndLeavesTheBuffer) {
    WCHAR buffer[4] = {u'#', u'#', u'#', u'#'};
    UNICODE_STRING s{0, sizeof buffer, buffer};
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &s), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(s.Length, 8) << "the length the digits need";
    EXPECT_EQ(buffer[0], u'#');
    EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, &s), STATUS_SUCCESS);
    EXPECT_EQ(text(s), u"123");

    WCHAR big[40];
    UNICODE_STRING wide{0, sizeof big, big};
    EXPECT_EQ(RtlIntegerToUnicodeString(0xFFFF, 2, &wide), STATUS_SUCCESS);
    EXPECT_EQ(wide.Length, 32);
    EXPECT_EQ(RtlIntegerToUnicodeString(0x10000, 2, &wide), STATUS_BUFFER_OVERFLOW)
        << "17 digits exceed the internal buffer";
    kernel().setIntegerDigitLimit(32);
    EXPECT_EQ(RtlIntegerToUnicodeString(0x10000, 2, &wide), STATUS_SUCCESS);
    EXPECT_EQ(text(wide), u"10000000000000000");
}

} // namespace
} // namespace ntemu::test
