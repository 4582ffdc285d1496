#pragma once

#include <QObject>
#include <initializer_list>
#include <memory>
#include <vector>

class QSocketNotifier;

// Turns the signals that ask a process to end (SIGTERM, SIGINT, SIGHUP) into a Qt signal on the main
// thread, so that they take the same orderly path as the Quit item. The handler only writes the
// signal number into a pipe; everything else happens in the event loop. One instance at a time.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(std::initializer_list<int> signalNumbers);
    // Gives the signals their default behaviour back.
    ~TerminationSignals() override;

    bool isInstalled() const { return notifier_ != nullptr; }

signals:
    void received(int signalNumber);

private:
    void drain();

    std::vector<int> signals_;
    int pipe_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};
