#include <QApplication>
#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
    // A peer that goes away must show up as an error, not kill the test.
    std::signal(SIGPIPE, SIG_IGN);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
