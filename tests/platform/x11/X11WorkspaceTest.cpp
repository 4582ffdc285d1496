#include "platform/x11/X11Workspace.h"

#include "fakes/PrivateXvfb.h"
#include "fakes/TestSupport.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace {

// A client of the test's own: it makes windows as applications do and marks one active as a window
// manager does.
struct Client {
    explicit Client(const QString& name) : dpy(XOpenDisplay(name.toLocal8Bit().constData())) {}
    ~Client() {
        if (dpy) XCloseDisplay(dpy);
    }
    Window window() { return XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 10, 10, 0, 0, 0); }
    void set(Window w, const char* name, Atom type, const QByteArray& bytes) {
        XChangeProperty(dpy, w, XInternAtom(dpy, name, False), type, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(bytes.constData()), int(bytes.size()));
    }
    void set(Window w, const char* name, Atom type, long value) {
        XChangeProperty(dpy, w, XInternAtom(dpy, name, False), type, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&value), 1);
    }
    void activate(Window w) {
        set(DefaultRootWindow(dpy), "_NET_ACTIVE_WINDOW", XA_WINDOW, long(w));
        XSync(dpy, False);
    }
    Display* dpy;
};

} // namespace

TEST(X11WorkspaceTest, ReportsEachChangeOfTheApplicationInFront) {
    PrivateXvfb xvfb(320, 240);
    if (!xvfb.running()) GTEST_SKIP() << xvfb.failure().toStdString();
    const QString data = freshTempPath(QStringLiteral("xdg-"));
    const ScopedEnvironment environment{{"XDG_DATA_HOME", data + "/home"},
                                        {"XDG_DATA_DIRS", data + "/first:" + data + "/second"},
                                        {"LC_ALL", QStringLiteral("de_DE.UTF-8")}};
    const QString self = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    ASSERT_TRUE(writeFile(data + "/home/applications/org.example.Draw.desktop",
                          "[Desktop Entry]\nName=Draw\nName[de]=Zeichnen\n"));
    ASSERT_TRUE(writeFile(
        data + "/first/applications/graphics/gimp.desktop",
        "[Desktop Entry]\nName=GIMP\nName[de_DE]=GIMP-Bildbearbeitung\nStartupWMClass=Gimp-2.10\n"));
    ASSERT_TRUE(writeFile(data + "/second/applications/probe.desktop",
                          "[Desktop Entry]\nName=Probe\nExec=env PROBE=1 \"/opt/a dir/" + self.toUtf8() +
                              "\" --flag %u\n"));

    X11Workspace workspace(freshTempPath(QStringLiteral("runtime-")), xvfb.displayName());
    EXPECT_EQ(workspace.frontmostApplication(), FrontmostApplicationInfo{}) << "no window is active yet";
    std::vector<FrontmostApplicationInfo> seen;
    workspace.setFrontmostApplicationChangedHandler(
        [&] { seen.push_back(workspace.frontmostApplication()); });

    Client client(xvfb.displayName());
    ASSERT_NE(client.dpy, nullptr);
    const Atom utf8 = XInternAtom(client.dpy, "UTF8_STRING", False);
    auto application = [&](const QByteArray& wmClass, long pid = 0) {
        const Window w = client.window();
        client.set(w, "WM_CLASS", XA_STRING, wmClass);
        if (pid) client.set(w, "_NET_WM_PID", XA_CARDINAL, pid);
        return w;
    };
    const Window gimp = application(QByteArray("gimp-2.10\0Gimp-2.10\0", 20), ::getpid());
    const Window gimpDialog = application(QByteArray("gimp-2.10\0Gimp-2.10\0", 20));
    const Window draw = application(QByteArray("draw\0Draw\0", 10));
    client.set(draw, "_GTK_APPLICATION_ID", utf8, QByteArray("org.example.Draw"));
    const Window probe = application(QByteArray("probe\0Probe\0", 12), ::getpid());
    // The same process id, from a client on another machine: it names nothing here.
    const Window remote = application(QByteArray("probe\0Remote\0", 13), ::getpid());
    client.set(remote, "WM_CLIENT_MACHINE", XA_STRING, QByteArray("elsewhere.invalid"));
    const Window wine = application(QByteArray("photoshop.exe\0photoshop.exe\0", 28));
    // What no well-behaved client writes: a class too long to believe, an identifier in the wrong
    // format and a process id as text.
    const Window junk = application(QByteArray(8000, 'x'));
    client.set(junk, "_GTK_APPLICATION_ID", XA_CARDINAL, 42L);
    client.set(junk, "_NET_WM_PID", XA_STRING, QByteArray::number(qint64(::getpid())));

    const FrontmostApplicationInfo gimpInfo{"graphics-gimp", "GIMP-Bildbearbeitung"};
    const struct {
        Window window;
        bool destroyAtOnce;
        bool changes;
        FrontmostApplicationInfo expected;
    } steps[] = {
        {gimp, false, true, gimpInfo},
        {gimpDialog, false, false, gimpInfo},
        {draw, false, true, {"org.example.Draw", "Zeichnen"}},
        {probe, false, true, {"probe", "Probe"}},
        {remote, false, true, {"Remote", "Remote"}},
        {wine, false, true, {"photoshop.exe", "photoshop.exe"}},
        {junk, false, true, {}},
        {gimp, false, true, gimpInfo},
        {client.window(), true, true, {}},
        {probe, false, true, {"probe", "Probe"}},
    };
    size_t changes = 0;
    for (const auto& step : steps) {
        const std::string where = "step " + std::to_string(&step - steps);
        client.activate(step.window);
        if (step.destroyAtOnce) {
            XDestroyWindow(client.dpy, step.window);
            XSync(client.dpy, False);
        }
        if (!step.changes) {
            EXPECT_EQ(workspace.frontmostApplication(), step.expected) << where;
            // Time to read the notice on its own: read with the next one, it would be coalesced.
            spinEventLoop(200);
            EXPECT_EQ(seen.size(), changes) << where;
            continue;
        }
        ++changes;
        ASSERT_TRUE(waitUntil([&] { return seen.size() >= changes; })) << where;
        EXPECT_EQ(seen.size(), changes) << where;
        EXPECT_EQ(seen.back(), step.expected) << where;
    }
    spinEventLoop(100);
    EXPECT_EQ(seen.size(), changes);
}
