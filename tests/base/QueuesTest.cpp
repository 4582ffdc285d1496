#include "base/MainQueue.h"
#include "base/NotificationCenter.h"
#include "fakes/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

TEST(SerialQueue, RunsInOrderHoldsBlocksWhileSuspendedAndDropsThemWhenDestroyed) {
    std::vector<int> ran;
    {
        SerialQueue queue(QStringLiteral("PT.notConnectedQueue"));
        queue.async([&] {
            ran.push_back(1);
            queue.suspend(); // a block that suspends holds the rest
        });
        queue.async([&] { ran.push_back(2); });
        spinEventLoop(20);
        EXPECT_EQ(ran, std::vector<int>{1});
        EXPECT_EQ(queue.pendingCount(), 1u);
        queue.suspend();
        queue.resume();
        spinEventLoop(20);
        EXPECT_EQ(ran, std::vector<int>{1}) << "one resume must not undo two suspends";
        queue.resume();
        ASSERT_TRUE(waitUntil([&] { return ran.size() == 2; }));
        queue.async([&] { ran.push_back(3); }); // still pending when the queue goes
    }
    spinEventLoop(20);
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

TEST(SystemClock, TimersFireAndCancelAndSleepsEndAtAnAbsoluteDeadlineOrAStop) {
    SystemClock clock;
    bool fired = false, cancelledFired = false;
    clock.after(0.01, [&] { fired = true; });
    clock.cancel(clock.after(0.02, [&] { cancelledFired = true; }));
    ASSERT_TRUE(waitUntil([&] { return fired; }));
    spinEventLoop(50);
    EXPECT_FALSE(cancelledFired);

    EXPECT_FALSE(clock.sleepUntil(clock.uptime() - 0.001));
    const double deadline = clock.uptime() + 0.02;
    EXPECT_TRUE(clock.sleepUntil(deadline));
    EXPECT_GE(clock.uptime(), deadline);

    std::stop_source stop;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        stop.request_stop();
    });
    const double before = clock.uptime();
    EXPECT_FALSE(clock.sleepUntil(before + 30.0, stop.get_token()));
    EXPECT_LT(clock.uptime() - before, 10.0);
    stopper.join();
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
