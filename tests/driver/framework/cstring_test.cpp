// Tests of CString: number formatting, construction, copy, assignment, appending, joining,
// comparison, and what every failed allocation leaves behind.
#include "core_fixture.h"
#include "drvfw_pool.h"
#include "framework_fixture.h"

#include "ntemu/faults.h"

using drvfwtest::terminated;
using drvfwtest::textOf;
using ntemu::FaultPoint;
namespace faults = ntemu::faults;

// A kernel on the virtual clock with no fault armed, and the pool held under the framework's tag.
class CstringTest : public ntemu::test::KernelFixture {
protected:
    CstringTest() { faults::clear(); }
    ~CstringTest() override { faults::clear(); }
    size_t frameworkBlocks() { return kernel().poolBlockCount(DRVFW_POOL_TAG); }
};

TEST_F(CstringTest, NumbersInEveryBaseWithPadding) {
    struct Case {
        ULONG value, base, minimum;
        std::u16string text;
    } cases[] = {
        {7, 10, 3, u"007"},
        {7, 10, 0, u"7"},
        {7, 10, 1, u"7"},
        {7, 10, 11, u"7"}, // more than the ten characters of base 10: no padding
        {7, 10, 10, u"0000000007"},
        {42, 0, 0, u"42"},
        {0, 10, 0, u"0"},
        {0x8000, 2, 0, u"1000000000000000"},
        {5, 2, 0, u"101"},
        {5, 2, 8, u"00000101"},
        {0xFFFFFFFF, 2, 0, std::u16string(32, u'1')},
        {0x80000001, 2, 0, u"1" + std::u16string(30, u'0') + u"1"},
        {0xFFFFFFFF, 8, 0, u"37777777777"},
        {0xFFFFFFFF, 10, 0, u"4294967295"},
        {0xABCDEF01, 16, 0, u"ABCDEF01"},
        {0xA, 16, 4, u"000A"},
    };
    for (const Case& c : cases) {
        CString number(c.value, c.base, c.minimum);
        SCOPED_TRACE(testing::Message() << c.value << " base " << c.base << " min " << c.minimum);
        EXPECT_TRUE(number.IsValid);
        EXPECT_EQ(textOf(number), c.text);
        EXPECT_TRUE(terminated(number));
    }
    EXPECT_EQ(CString(1, 10, 0).UnicodeString.MaximumLength, 22);
    EXPECT_EQ(CString(1, 2, 0).UnicodeString.MaximumLength, 66);
    EXPECT_EQ(frameworkBlocks(), 0u);
}

TEST_F(CstringTest, UnsupportedBaseGivesInvalidStringWithoutBuffer) {
    for (ULONG base : {1u, 3u, 9u, 36u}) {
        CString number(7, base, 0);
        EXPECT_FALSE(number.IsValid);
        EXPECT_EQ(number.UnicodeString.Buffer, nullptr);
        EXPECT_EQ(number.UnicodeString.MaximumLength, 0);
    }
}

TEST_F(CstringTest, FailedAllocationsLeaveInvalidEmptyStrings) {
    faults::failNth(FaultPoint::PoolAllocation, 1);
    CString number(7, 10, 3);
    EXPECT_FALSE(number.IsValid);

    // The padding goes through a second buffer; losing that one loses the first as well.
    faults::failNth(FaultPoint::PoolAllocation, 2);
    CString padded(7, 10, 3);
    EXPECT_FALSE(padded.IsValid);
    EXPECT_EQ(padded.UnicodeString.Buffer, nullptr);
    EXPECT_EQ(padded.UnicodeString.Length, 0);
    EXPECT_EQ(padded.UnicodeString.MaximumLength, 0);

    faults::failNth(FaultPoint::PoolAllocation, 1);
    CString text(u"VORNpci0");
    EXPECT_FALSE(text.IsValid);
    EXPECT_EQ(text.UnicodeString.Buffer, nullptr);

    CString source(u"abc");
    faults::failNth(FaultPoint::PoolAllocation, 1);
    CString copy(source);
    EXPECT_FALSE(copy.IsValid);
    EXPECT_EQ(copy.UnicodeString.MaximumLength, 0);

    faults::failNth(FaultPoint::PoolAllocation, 1);
    CString counted(&source.UnicodeString);
    EXPECT_FALSE(counted.IsValid);

    faults::failNth(FaultPoint::PoolAllocation, 1);
    EXPECT_EQ(new CString(u"x"), nullptr);
    EXPECT_EQ(frameworkBlocks(), 1u); // only `source`
}

TEST_F(CstringTest, ConstructionFromTextAndCountedStrings) {
    CString name(u"VORNpci0");
    EXPECT_TRUE(name.IsValid);
    EXPECT_EQ(textOf(name), u"VORNpci0");
    EXPECT_EQ(name.UnicodeString.Length, 16);
    EXPECT_EQ(name.UnicodeString.MaximumLength, 20); // measured size 18, two to spare
    EXPECT_TRUE(terminated(name));

    CString none(static_cast<PCWSTR>(nullptr));
    EXPECT_TRUE(none.IsValid);
    EXPECT_EQ(none.UnicodeString.Length, 0);
    EXPECT_EQ(none.UnicodeString.MaximumLength, 2);
    EXPECT_TRUE(terminated(none));

    WCHAR storage[6] = {u'a', u'b', u'c', u'X', u'X', u'X'};
    UNICODE_STRING counted{6, 10, storage}; // not terminated in its own buffer
    CString fromCounted(&counted);
    EXPECT_EQ(textOf(fromCounted), u"abc");
    EXPECT_EQ(fromCounted.UnicodeString.MaximumLength, 12);
    EXPECT_TRUE(terminated(fromCounted));

    CString dflt;
    EXPECT_TRUE(dflt.IsValid);
    EXPECT_EQ(dflt.UnicodeString.Buffer, nullptr);
}

TEST_F(CstringTest, CopiesKeepValidityAndText) {
    CString text(u"abc");
    CString copy(text);
    EXPECT_TRUE(copy.IsValid);
    EXPECT_EQ(textOf(copy), u"abc");
    EXPECT_EQ(copy.UnicodeString.MaximumLength, text.UnicodeString.MaximumLength);
    EXPECT_NE(copy.UnicodeString.Buffer, text.UnicodeString.Buffer);
    EXPECT_TRUE(terminated(copy));

    // An empty string without a buffer copies as a valid empty string.
    CString empty;
    CString emptyCopy(empty);
    EXPECT_TRUE(emptyCopy.IsValid);
    EXPECT_EQ(emptyCopy.UnicodeString.Length, 0);
    CString cleared(u"x");
    cleared.ClearString();
    EXPECT_TRUE(CString(cleared).IsValid);

    CString invalid(1, 3, 0);
    CString invalidCopy(invalid);
    EXPECT_FALSE(invalidCopy.IsValid);
    EXPECT_EQ(invalidCopy.UnicodeString.Buffer, nullptr);
}

TEST_F(CstringTest, AssignmentCopiesOnlyWhatDiffers) {
    CString target(u"VORNpci0");
    PWSTR buffer = target.UnicodeString.Buffer;
    uint64_t before = faults::calls(FaultPoint::PoolAllocation);
    target = target;
    target = CString(u"VORNpci0");
    EXPECT_EQ(target.UnicodeString.Buffer, buffer);
    EXPECT_EQ(faults::calls(FaultPoint::PoolAllocation), before + 1); // the temporary only

    target = CString(u"ab"); // fits: the buffer is kept
    EXPECT_EQ(target.UnicodeString.Buffer, buffer);
    EXPECT_EQ(textOf(target), u"ab");
    EXPECT_TRUE(terminated(target));

    target = CString(u"a longer name than before"); // grows
    EXPECT_EQ(textOf(target), u"a longer name than before");
    EXPECT_TRUE(terminated(target));
    EXPECT_EQ(frameworkBlocks(), 1u);
}

TEST_F(CstringTest, AssignmentFailuresAndRecovery) {
    CString target(u"old");
    target = CString(1, 3, 0); // invalid source: text stays, mark goes
    EXPECT_FALSE(target.IsValid);
    EXPECT_EQ(textOf(target), u"old");

    target = CString(u"new"); // a successful assignment makes it valid
    EXPECT_TRUE(target.IsValid);
    EXPECT_EQ(textOf(target), u"new");

    CString longer(u"longer text");
    faults::failNth(FaultPoint::PoolAllocation, 1);
    target = longer;
    EXPECT_FALSE(target.IsValid);
    EXPECT_EQ(textOf(target), u"new"); // old buffer kept
    EXPECT_FALSE(target == longer);
    EXPECT_EQ(frameworkBlocks(), 2u);
}

TEST_F(CstringTest, AppendingGrowsAndPropagatesInvalidity) {
    CString path(u"\\Registry");
    path += CString(u"\\VORNpci");
    EXPECT_EQ(textOf(path), u"\\Registry\\VORNpci");
    EXPECT_TRUE(terminated(path));

    path += path; // its own text, as it was
    EXPECT_EQ(textOf(path), u"\\Registry\\VORNpci\\Registry\\VORNpci");
    EXPECT_TRUE(terminated(path));

    CString empty;
    empty += CString(u"x");
    EXPECT_EQ(textOf(empty), u"x");

    faults::failNth(FaultPoint::PoolAllocation, 2); // the operand succeeds, the growth fails
    path += CString(u"\\more");
    EXPECT_FALSE(path.IsValid);
    EXPECT_EQ(textOf(path), u"\\Registry\\VORNpci\\Registry\\VORNpci");

    CString other(u"a");
    other += CString(1, 3, 0);
    EXPECT_FALSE(other.IsValid);
    EXPECT_EQ(frameworkBlocks(), 3u);
}

TEST_F(CstringTest, ConcatenateJoinsValidOperandsOnly) {
    CString joined = CString::Concatenate(CString(u"\\Device\\"), CString(u"VORNpci0"));
    EXPECT_TRUE(joined.IsValid);
    EXPECT_EQ(textOf(joined), u"\\Device\\VORNpci0");
    EXPECT_EQ(joined.UnicodeString.Length, 32);
    EXPECT_EQ(joined.UnicodeString.MaximumLength, 34);
    EXPECT_TRUE(terminated(joined));

    EXPECT_FALSE(CString::Concatenate(CString(u"a"), CString(0, 3, 0)).IsValid);
    EXPECT_FALSE(CString::Concatenate(CString(0, 3, 0), CString(u"a")).IsValid);
    EXPECT_EQ(textOf(CString::Concatenate(CString(), CString())), u"");

    CString first(u"a"), second(u"b");
    faults::failNth(FaultPoint::PoolAllocation, 1);
    CString failed = CString::Concatenate(first, second);
    EXPECT_FALSE(failed.IsValid);
    EXPECT_EQ(failed.UnicodeString.Buffer, nullptr);
}

TEST_F(CstringTest, EqualityIsCaseSensitiveAndNeedsValidStrings) {
    EXPECT_TRUE(CString(u"VORNpci0") == CString(u"VORNpci0"));
    EXPECT_FALSE(CString(u"VORNpci0") == CString(u"vornpci0"));
    EXPECT_FALSE(CString(u"VORNpci0") == CString(u"VORNpci"));
    EXPECT_TRUE(CString() == CString(static_cast<PCWSTR>(nullptr)));
    CString invalid(1, 3, 0);
    EXPECT_FALSE(invalid == invalid);
}

TEST_F(CstringTest, ClearStringMakesAnyStringValidAndEmpty) {
    CString invalid(1, 3, 0);
    invalid.ClearString();
    EXPECT_TRUE(invalid.IsValid);
    EXPECT_EQ(invalid.UnicodeString.MaximumLength, 0);

    CString text(u"abc");
    text.ClearString();
    EXPECT_EQ(text.UnicodeString.Buffer, nullptr);
    EXPECT_EQ(text.UnicodeString.Length, 0);
    EXPECT_EQ(frameworkBlocks(), 0u);

    CString* made = new CString(u"pooled");
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(frameworkBlocks(), 2u);
    delete made;
    EXPECT_EQ(frameworkBlocks(), 0u);
}
