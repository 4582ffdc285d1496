#pragma once

#include <QFile>
#include <QImage>
#include <QPointF>
#include <QWidget>
#include <map>
#include <memory>
#include <vector>

class QSocketNotifier;
typedef struct _XDisplay Display;

// A white page that draws in black where the left button (or a pen's tip) is dragged, and logs each
// pointer event to a file as one JSON line:
//   {"type":"press","root":[x,y],"window":[x,y],"button":1,"device":"...","valuators":{"Abs Pressure":0.5},
//    "time_us":123,"x_time_ms":45}
// "time_us" is the monotonic clock (CLOCK_MONOTONIC, as device-sim's "t") when the event was read;
// "x_time_ms" is the server's time stamp. A first line {"type":"ready","window":[x,y,w,h]} says from
// when on events are caught.
//
// The events come through XInput 2 on a connection of our own, so the valuators of the device that
// moved (a pen's pressure and tilt) come with them: an input-only window over the page takes them
// before the toolkit's window, whose own selection of button events could not be shared.
class ScribbleCanvas final : public QWidget {
    Q_OBJECT
public:
    explicit ScribbleCanvas(const QString& eventsPath);
    ~ScribbleCanvas() override;

    // Starts catching events once the window is shown; an explanation when it cannot.
    QString listen();
    // Writes one JSON line to the log.
    void writeLine(const QJsonObject& line);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void readEvents();
    void announceWhenViewable();
    struct Device {
        QString name;
        std::vector<QString> valuatorLabels;
    };
    // Looked up once per device, again when devices come or go (a pen appears).
    const Device& device(int deviceId);
    QJsonObject valuators(const Device& device, const unsigned char* mask, int maskLength,
                          const double* values);
    void drawTo(QPointF point);

    QFile log_;
    QImage page_;
    Display* display_ = nullptr;
    unsigned long input_ = 0;
    int xiOpcode_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::map<int, Device> devices_;
    bool drawing_ = false;
    QPointF last_;
};
