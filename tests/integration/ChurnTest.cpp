// Cycles of attach, link, introduction and a random drop (the app hangs up, the daemon closes the
// connection, the app sends a frame type it must not, the device is unplugged), with the agent's
// session in this process on a manual clock: the one-second retries are virtual time, the sockets
// and the simulators are real. The link must be back within 1.5 s (virtual) of every drop that
// leaves the device attached, and descriptors and heap must not grow. CI runs 200 cycles;
// ZUB_CHURN_CYCLES asks for more (bench/churn runs 1,000).
#include "AgentRoad.h"

#include "fakes/ManualClock.h"
#include "session/ConnectionManager.h"

#include <QElapsedTimer>
#include <QFile>
#include <random>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZUB_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ZUB_ASAN 1
#endif
#ifdef ZUB_ASAN
// From the AddressSanitizer runtime (its header does not come with every compiler).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif
#include <malloc.h>

namespace {

// Bytes of heap in use right now.
size_t heapInUse() {
#ifdef ZUB_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

long residentKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

int cycleCount() {
    bool ok = false;
    const int asked = qEnvironmentVariableIntValue("ZUB_CHURN_CYCLES", &ok);
    return ok && asked > 10 ? asked : 200; // the first ten warm up
}

enum Drop { kPeerClose, kDaemonClose, kBadFrame, kDetach };
const char* const kDropNames[] = {"peer close", "daemon close", "bad frame", "detach"};

} // namespace

class ChurnTest : public AgentRoad {
protected:
    // Virtual time runs in small steps until the next USB attempt is under way (each step lets the
    // event loop run, nothing more: before the retry is due nothing happens on the sockets), then
    // the real sockets take their time. Returns the seconds until the app was introduced again (the
    // virtual wait plus the real time on the sockets), or a negative number when it was not.
    // `before`: the USB channel before the drop (or the attach).
    double linkBack(double limit, const PTChannel* before) {
        double elapsed = 0;
        while (controller->connectionManager().usbChannel().get() == before) {
            if (elapsed > limit) return -1;
            clock.advance(kStep);
            elapsed += kStep;
            waitUntil([&] { return usbChannel() != before; }, 2);
        }
        QElapsedTimer io;
        io.start();
        if (!waitUntil([&] { return controller->currentChannel() == 1; }, 5000)) return -1;
        ioMs += io.elapsed();
        return elapsed + double(io.elapsed()) / 1000.0;
    }
    // Bytes the test keeps of the simulators' output lines (they grow with every cycle), measured on
    // the heap by making the same lines once more: each line a string of its own in a list. A guess
    // from their length is off by tens of bytes a line, which over a long run hides or invents a
    // leak of the agent's.
    size_t testRecords(DeviceSimProcess& device) const {
        const size_t before = heapInUse();
        const QStringList daemonLines = daemon->transcript().split(u'\n');
        const QStringList deviceLines = device.process().transcript().split(u'\n');
        return heapInUse() - before;
    }

    const PTChannel* usbChannel() const { return controller->connectionManager().usbChannel().get(); }

    static constexpr double kStep = 0.05;
    qint64 ioMs = 0;
    ManualClock clock; // installed before the session is made in SetUp
};

TEST_F(ChurnTest, DropsLeaveNothingBehindAndTheLinkComesBackWithinASecondAndAHalf) {
    const int cycles = cycleCount();
    constexpr int kWarmUp = 10;
    auto device = startDevice();
    std::mt19937 random(20240611);
    bool attached = false;
    int fdsAfterWarmUp = -1;
    size_t heapAfterWarmUp = 0, recordsAfterWarmUp = 0;
    long rssAfterWarmUp = 0;
    double worstBack = 0, totalBack = 0;
    int backs = 0;
    int drops[4] = {};
    QElapsedTimer wall;
    wall.start();

    for (int cycle = 0; cycle < cycles; ++cycle) {
        SCOPED_TRACE(cycle);
        if (!attached) {
            const PTChannel* before = usbChannel();
            attach(1, device->port());
            ASSERT_TRUE(waitUntil([&] { return controller->bUSBAttached(); }));
            attached = true;
            ASSERT_GE(linkBack(1.5, before), 0) << "no link after attach";
        }
        ASSERT_EQ(controller->currentChannel(), 1);
        ASSERT_FALSE(device->process().waitForLine(QRegularExpression("\"script-finished\"")).isNull());
        delegate.clear();

        if (cycle == kWarmUp) {
            fdsAfterWarmUp = openDescriptorCount();
            recordsAfterWarmUp = testRecords(*device);
            heapAfterWarmUp = heapInUse();
            rssAfterWarmUp = residentKiB();
        }

        const PTChannel* before = usbChannel();
        const Drop drop = Drop(random() % 4);
        ++drops[drop];
        switch (drop) {
        case kPeerClose:
            device->process().writeLine("disconnect");
            break;
        case kDaemonClose:
            daemon->command("drop 1");
            break;
        case kBadFrame:
            device->process().writeLine("send-frame 105 hex=00");
            break;
        case kDetach:
            daemon->command("detach 1");
            break;
        }
        ASSERT_TRUE(waitUntil([&] { return controller->currentChannel() == 0; })) << kDropNames[drop];
        // The app has seen its connection end, so it takes the next one.
        ASSERT_FALSE(device->process().waitForLine(QRegularExpression("\"disconnected\"")).isNull());
        if (drop == kDetach) {
            ASSERT_TRUE(waitUntil([&] { return !controller->bUSBAttached(); }));
            attached = false;
            continue;
        }
        const double back = linkBack(1.5, before);
        ASSERT_GE(back, 0) << "the link did not come back after " << kDropNames[drop];
        worstBack = std::max(worstBack, back);
        totalBack += back;
        ++backs;
    }
    // End attached and linked, as at the warm-up measurement.
    if (!attached) {
        const PTChannel* before = usbChannel();
        attach(1, device->port());
        ASSERT_TRUE(waitUntil([&] { return controller->bUSBAttached(); }));
        ASSERT_GE(linkBack(1.5, before), 0);
        ASSERT_FALSE(device->process().waitForLine(QRegularExpression("\"script-finished\"")).isNull());
    }
    delegate.clear();
    spinEventLoop(50);

    const int fds = openDescriptorCount();
    const size_t records = testRecords(*device);
    const size_t heap = heapInUse();
    const long rss = residentKiB();
    std::printf(
        "churn: %d cycles in %.1f s real; drops: %d peer close, %d daemon close, %d bad frame, %d detach\n",
        cycles, wall.elapsed() / 1000.0, drops[0], drops[1], drops[2], drops[3]);
    std::printf("churn: link back after %d drops: mean %.3f s, worst %.3f s (the retry's wait in virtual "
                "%.2f s steps, plus the sockets' real %.1f ms mean to the answered introduction)\n",
                backs, totalBack / std::max(backs, 1), worstBack, kStep, double(ioMs) / std::max(backs, 1));
    std::printf("churn: descriptors %d -> %d; heap in use %zu -> %zu bytes; resident %ld -> %ld KiB\n",
                fdsAfterWarmUp, fds, heapAfterWarmUp, heap, rssAfterWarmUp, rss);
    const double agentGrowth =
        double(heap) - double(heapAfterWarmUp) - (double(records) - double(recordsAfterWarmUp));
    std::printf("churn: heap growth less the test's records of the simulators' lines: %.0f bytes\n",
                agentGrowth);
    EXPECT_EQ(fds, fdsAfterWarmUp);
    EXPECT_LE(worstBack, 1.5);
    // A channel, its I/O channel and its buffers left behind per cycle would be several hundred
    // kilobytes over the run; what remains here is allocator and container slack.
    EXPECT_LT(agentGrowth, 48.0 * 1024);
}
