// The kernel mutex that serialises a board's exchanges, and the DPC flush that device
// destruction relies on.
#include "ntddk.h"
#include "ntemu/kernel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

class KernelMutexTest : public ::testing::Test {
protected:
    KernelMutexTest() : m_kernel(ntemu::KernelOptions{.clock = &m_clock}) {
        KeInitializeMutex(&m_mutex, 0);
    }

    NTSTATUS wait(PLARGE_INTEGER timeout = nullptr) {
        return KeWaitForSingleObject(&m_mutex, Executive, KernelMode, FALSE, timeout);
    }

    ntemu::VirtualClock m_clock;
    ntemu::Kernel m_kernel;
    KMUTEX m_mutex;
};

TEST_F(KernelMutexTest, OwnerMayTakeItAgainAndOthersWaitForTheLastRelease) {
    ASSERT_EQ(wait(), STATUS_SUCCESS);
    ASSERT_EQ(wait(), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&m_mutex), -1);

    std::atomic<bool> acquired{false};
    auto other = std::async(std::launch::async, [&] {
        LARGE_INTEGER zero{};
        NTSTATUS tried = wait(&zero);
        NTSTATUS waited = wait();
        acquired = true;
        KeReleaseMutex(&m_mutex, FALSE);
        return std::make_pair(tried, waited);
    });
    EXPECT_EQ(KeReleaseMutex(&m_mutex, FALSE), -1);
    // Still held once: the other thread must not have it yet.
    EXPECT_EQ(other.wait_for(50ms), std::future_status::timeout);
    EXPECT_FALSE(acquired);
    EXPECT_EQ(KeReleaseMutex(&m_mutex, FALSE), 0);
    ASSERT_EQ(other.wait_for(10s), std::future_status::ready);
    auto [tried, waited] = other.get();
    EXPECT_EQ(tried, STATUS_TIMEOUT);
    EXPECT_EQ(waited, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&m_mutex), 1);
}

TEST_F(KernelMutexTest, ReleaseByAThreadThatDoesNotOwnItIsReported) {
    ASSERT_EQ(wait(), STATUS_SUCCESS);
    std::thread([&] { KeReleaseMutex(&m_mutex, FALSE); }).join();
    EXPECT_EQ(ntemu::verifier::consume(ntemu::Check::InvalidParameter), 1u);
    EXPECT_EQ(KeReadStateMutex(&m_mutex), 0);
    KeReleaseMutex(&m_mutex, FALSE);
}

TEST_F(KernelMutexTest, BlockingWaitAtDispatchLevelIsRefused) {
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    EXPECT_EQ(wait(), STATUS_UNSUCCESSFUL);
    LARGE_INTEGER zero{};
    EXPECT_EQ(wait(&zero), STATUS_SUCCESS);
    KeReleaseMutex(&m_mutex, FALSE);
    KfLowerIrql(old);
    EXPECT_EQ(ntemu::verifier::consume(ntemu::Check::SleepAtDispatch), 1u);
}

TEST_F(KernelMutexTest, WhatIsNotEmulatedSaysSo) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000;
    EXPECT_EQ(wait(&timeout), STATUS_NOT_IMPLEMENTED);
    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr),
              STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(ntemu::verifier::consume(ntemu::Check::NotImplemented), 2u);
    EXPECT_EQ(KeReadStateMutex(&m_mutex), 1);
}

struct Gate {
    std::atomic<bool> entered{false};
    std::atomic<bool> open{false};
    std::atomic<bool> finished{false};
};

VOID GatedDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* gate = static_cast<Gate*>(context);
    gate->entered = true;
    while (!gate->open)
        std::this_thread::yield();
    gate->finished = true;
}

TEST_F(KernelMutexTest, FlushWaitsForARunningDpc) {
    Gate gate;
    KDPC dpc;
    KeInitializeDpc(&dpc, GatedDpc, &gate);
    ASSERT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!gate.entered && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    ASSERT_TRUE(gate.entered);
    auto flush = std::async(std::launch::async, [] { KeFlushQueuedDpcs(); });
    EXPECT_EQ(flush.wait_for(50ms), std::future_status::timeout);
    gate.open = true;
    ASSERT_EQ(flush.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(gate.finished);

    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    KeFlushQueuedDpcs();
    KfLowerIrql(old);
    EXPECT_EQ(ntemu::verifier::consume(ntemu::Check::SleepAtDispatch), 1u);
}

} // namespace
