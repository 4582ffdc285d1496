#include "base/MainQueue.h"
#include "base/NotificationCenter.h"
#include "fakes/ManualClock.h"
#include "fakes/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

TEST(SerialQueue, RunsInOrderAndHoldsBlocksWhileSuspended) {
    SerialQueue queue(QStringLiteral("PT.notConnectedQueue"));
    std::vector<int> ran;
    queue.async([&] { ran.push_back(1); });
    queue.suspend();
    queue.async([&] { ran.push_back(2); });
    spinEventLoop(20);
    EXPECT_TRUE(ran.empty());
    queue.suspend();
    queue.resume();
    spinEventLoop(20);
    EXPECT_TRUE(ran.empty()) << "one resume must not undo two suspends";
    queue.resume();
    ASSERT_TRUE(waitUntil([&] { return ran.size() == 2; }));
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

TEST(SerialQueue, ABlockThatSuspendsHoldsTheRest) {
    SerialQueue queue(QStringLiteral("q"));
    std::vector<int> ran;
    queue.async([&] {
        ran.push_back(1);
        queue.suspend();
    });
    queue.async([&] { ran.push_back(2); });
    spinEventLoop(20);
    EXPECT_EQ(ran, std::vector<int>{1});
    EXPECT_EQ(queue.pendingCount(), 1u);
    queue.resume();
    ASSERT_TRUE(waitUntil([&] { return ran.size() == 2; }));
}

TEST(SerialQueue, DestroyedWithPendingBlocksRunsNone) {
    bool ran = false;
    {
        SerialQueue queue(QStringLiteral("q"));
        queue.async([&] { ran = true; });
    }
    spinEventLoop(20);
    EXPECT_FALSE(ran);
}

TEST(ManualClock, RunsDueCallsInDeadlineOrderIncludingOnesAddedMeanwhile) {
    ManualClock clock;
    std::vector<int> ran;
    mainQueue().after(1.0, [&] {
        ran.push_back(1);
        mainQueue().after(0.5, [&] { ran.push_back(3); });
    });
    mainQueue().after(1.2, [&] { ran.push_back(2); });
    const auto cancelled = mainQueue().after(1.1, [&] { ran.push_back(99); });
    clock.cancel(cancelled);
    clock.advance(0.99);
    EXPECT_TRUE(ran.empty());
    clock.advance(1.0);
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(clock.pendingCount(), 0u);
}

TEST(SystemClock, FiresOnTheMainThreadAndCancels) {
    SystemClock clock;
    bool fired = false, cancelledFired = false;
    clock.after(0.01, [&] { fired = true; });
    const auto id = clock.after(0.02, [&] { cancelledFired = true; });
    clock.cancel(id);
    ASSERT_TRUE(waitUntil([&] { return fired; }));
    spinEventLoop(50);
    EXPECT_FALSE(cancelledFired);
}

TEST(NotificationCenter, FiltersByNameAndPosterAndSurvivesRemovalWhilePosting) {
    auto& center = NotificationCenter::defaultCenter();
    int a = 0, b = 0, any = 0;
    int poster = 0, other = 0;
    NotificationCenter::ObserverId idB = 0;
    const auto idA =
        center.addObserver("PTUSBDeviceDidAttachNotification", &poster, [&](const Notification& n) {
            ++a;
            EXPECT_EQ(n.userInfo.value("DeviceID").toInt(), 7);
            center.removeObserver(idB);
        });
    idB = center.addObserver("PTUSBDeviceDidAttachNotification", &poster, [&](const Notification&) { ++b; });
    const auto idAny =
        center.addObserver("PTUSBDeviceDidAttachNotification", nullptr, [&](const Notification&) { ++any; });
    center.post("PTUSBDeviceDidAttachNotification", &poster, {{"DeviceID", 7}});
    center.post("PTUSBDeviceDidAttachNotification", &other, {{"DeviceID", 7}});
    center.post("PTUSBDeviceDidDetachNotification", &poster);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 0) << "removed by an earlier observer of the same post";
    EXPECT_EQ(any, 2);
    center.removeObserver(idA);
    center.removeObserver(idAny);
}

TEST(Clock, SleepUntilWaitsForAnAbsoluteDeadlineAndRefusesOneThatPassed) {
    SystemClock clock;
    EXPECT_FALSE(clock.sleepUntil(clock.uptime() - 0.001));
    const double deadline = clock.uptime() + 0.02;
    EXPECT_TRUE(clock.sleepUntil(deadline));
    EXPECT_GE(clock.uptime(), deadline);
}

TEST(ManualClock, ASleeperWakesOnlyWhenTimeIsAdvancedToItsDeadline) {
    ManualClock clock;
    const double start = clock.uptime();
    std::atomic<int> woke{0};
    std::atomic<bool> result{false};
    std::thread sleeper([&] {
        result = clock.sleepUntil(start + 1.0);
        ++woke;
    });
    ASSERT_TRUE(clock.waitForSleepers(1));
    clock.advance(0.5);
    EXPECT_TRUE(clock.waitForSleepers(1));
    EXPECT_EQ(woke.load(), 0);
    clock.advance(0.5);
    sleeper.join();
    EXPECT_EQ(woke.load(), 1);
    EXPECT_TRUE(result.load());
    EXPECT_EQ(clock.sleeperCount(), 0u);
    EXPECT_FALSE(clock.sleepUntil(start + 0.5)) << "a deadline already passed";
    EXPECT_TRUE(clock.sleepUntil(start + 1.0)) << "a deadline just reached does not block";
}

TEST(Clock, ASleepEndsEarlyWhenItsStopIsRequested) {
    SystemClock system;
    WakeSignal stopSystem;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        stopSystem.requestStop();
    });
    const double before = system.uptime();
    EXPECT_FALSE(system.sleepUntil(before + 30.0, &stopSystem));
    EXPECT_LT(system.uptime() - before, 10.0);
    stopper.join();

    ManualClock manual;
    WakeSignal stopManual;
    std::atomic<int> result{-1};
    std::thread sleeper([&] { result = manual.sleepUntil(manual.uptime() + 5.0, &stopManual); });
    ASSERT_TRUE(manual.waitForSleepers(1));
    stopManual.requestStop();
    sleeper.join();
    EXPECT_EQ(result.load(), 0) << "no time passed: the sleep was cut short";
    EXPECT_EQ(manual.sleeperCount(), 0u);
}

TEST(MainQueue, SyncRunsOnTheMainThreadAndWaitsForIt) {
    bool ranHere = false;
    mainQueue().sync([&] { ranHere = true; });
    EXPECT_TRUE(ranHere) << "on the main thread it runs at once";

    std::thread::id ranOn;
    int value = 0;
    std::atomic<bool> returned = false;
    std::thread worker([&] {
        mainQueue().sync([&] {
            ranOn = std::this_thread::get_id();
            value = 42;
        });
        // Written on the main thread, read here without further ado: sync orders the two.
        EXPECT_EQ(value, 42);
        returned = true;
    });
    ASSERT_TRUE(waitUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}
