// The FIFO, command and digit-entry primitives against the board model's FIFO and command log.
#include "board_bench.h"
#include "board_protocol.h"

#include <gtest/gtest.h>

#include <array>

using vorntest::BoardBench;
using vorntest::Bytes;

TEST(ProtocolTest, ReadFifoOfZeroReadsNothingAndReadsFramesByteByByte) {
    BoardBench bench;
    bench.board().strobeEvent();
    ASSERT_EQ(bench.board().fifoLevel(), 10u);

    std::array<USHORT, 10> words;
    words.fill(0xBEEF);
    EXPECT_EQ(readFIFO(bench.portBase(), words.data(), 0), VORN_SUCCESS);
    EXPECT_EQ(bench.board().fifoLevel(), 10u);
    EXPECT_EQ(words[0], 0xBEEF);

    // The tag of 2007-12-31 12:00:00: day 365, hours 0x12, minutes 0x00.
    EXPECT_EQ(readFIFO(bench.portBase(), words.data(), 10), VORN_SUCCESS);
    EXPECT_EQ(bench.board().fifoLevel(), 0u);
    EXPECT_EQ(words[2], 0x03);
    EXPECT_EQ(words[3], 0x65);
    EXPECT_EQ(words[4], 0x12);
    EXPECT_EQ(words[5], 0x00);
    for (USHORT word : words)
        EXPECT_LE(word, 0xFF);
    EXPECT_EQ(bench.board().counters().fifoUnderflows, 0u);
}

TEST(ProtocolTest, EveryCommandIsFollowedByAHundredMicrosecondPause) {
    BoardBench bench;
    const ntemu::Ticks100ns start = bench.clock().now();
    sendCmd(bench.portBase(), CMD_ENTRY_BEGIN);
    sendDays(bench.portBase(), "123");
    EXPECT_EQ(bench.clock().now() - start, 4 * 100 * ntemu::kMicrosecond);
    EXPECT_EQ(bench.commands(), (Bytes{0xF0, 0x51, 0x62, 0x73}));
    EXPECT_EQ(bench.board().counters().shortCommandGaps, 0u);
}

TEST(ProtocolTest, DigitSendersUseTheirPositionsAndOnlyTheLeadingDigits) {
    BoardBench bench;
    sendProp(bench.portBase(), "12345");
    EXPECT_EQ(bench.commands(), (Bytes{0x31, 0x22, 0x13, 0x04}));

    bench.board().clearCommandLog();
    sendMinutes(bench.portBase(), "07");
    sendHours(bench.portBase(), "123");
    sendSeconds(bench.portBase(), "59");
    EXPECT_EQ(bench.commands(), (Bytes{0xA0, 0xB7, 0x81, 0x92, 0xC5, 0xD9}));

    bench.board().clearCommandLog();
    sendMatchSecs(bench.portBase(), "01234567");
    EXPECT_EQ(bench.commands(), (Bytes{0xC0, 0xD1, 0xE1, 0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7}));
}

TEST(ProtocolTest, DigitSendersStopAtTheEndOfAShortText) {
    BoardBench bench;
    sendProp(bench.portBase(), "12");
    sendMatchSecs(bench.portBase(), "34");
    EXPECT_EQ(bench.commands(), (Bytes{0x31, 0x22, 0xC3, 0xD4}));
}

// Above APC_LEVEL a read must not sleep: it polls a bounded number of times and gives up
// without touching the clock, and still reads bytes that are there.
TEST(ProtocolTest, ReadFifoAtDispatchLevelNeverSleeps) {
    BoardBench bench;
    std::array<USHORT, 10> words{};
    const ntemu::Ticks100ns start = bench.clock().now();
    const KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    const UCHAR empty = readFIFO(bench.portBase(), words.data(), 1);
    bench.board().strobeEvent();
    const UCHAR full = readFIFO(bench.portBase(), words.data(), 10);
    KfLowerIrql(old);
    EXPECT_EQ(empty, VORN_NO_ANSWER);
    EXPECT_EQ(full, VORN_SUCCESS);
    EXPECT_EQ(words[3], 0x65);
    EXPECT_EQ(bench.clock().now(), start);
    EXPECT_FALSE(ntemu::verifier::has(ntemu::Check::SleepAtDispatch));
}

// At raised IRQL a byte is waited for only as long as a board needs to show it: a FIFO far
// slower than that is given up on (it used to be polled for 100,000 reads).
TEST(ProtocolTest, ReadFifoAtRaisedIrqlWaitsOnlyMicrosecondsForAByte) {
    BoardBench bench;
    std::array<USHORT, 10> words{};
    bench.board().setFaults({.slowFifoReads = 1000});
    bench.board().strobeEvent();
    const KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    const UCHAR slow = readFIFO(bench.portBase(), words.data(), 1);
    KfLowerIrql(old);
    EXPECT_EQ(slow, VORN_NO_ANSWER);
    EXPECT_EQ(bench.board().fifoLevel(), 10u);
}
