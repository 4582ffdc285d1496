#include "platform/linux/PenEventWriter.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <unistd.h>

namespace {

bool isFinite(const PenSample& sample) {
    return std::isfinite(sample.position.x()) && std::isfinite(sample.position.y()) &&
           std::isfinite(sample.pressure) && std::isfinite(sample.tiltX) && std::isfinite(sample.tiltY);
}

// A pixel coordinate over `span` pixels to device units: the desktop maps the range back as
// value * span / (max + 1), so the unit count of one pixel is (max + 1) / span.
int positionUnits(double pixels, int span) {
    const double units = std::round(pixels * (PenLayout::kPositionMax + 1.0) / span);
    return int(std::clamp(units, 0.0, double(PenLayout::kPositionMax)));
}

int tiltUnits(double degrees) {
    return int(std::lround(std::clamp(degrees, -90.0, 90.0)));
}

void put(std::vector<input_event>& events, uint16_t type, uint16_t code, int value) {
    input_event event{};
    event.type = type;
    event.code = code;
    event.value = value;
    events.push_back(event);
}

} // namespace

PenEventWriter::PenEventWriter(int fd, QSize area) : fd_(fd), area_(area.isEmpty() ? QSize(1, 1) : area) {}

PenEventWriter::~PenEventWriter() {
    proximityOut();
}

void PenEventWriter::setArea(QSize rootSize) {
    if (!rootSize.isEmpty()) area_ = rootSize;
}

PenEventWriter::Values PenEventWriter::valuesFor(const PenSample& sample) const {
    Values v;
    v.x = positionUnits(sample.position.x(), area_.width());
    v.y = positionUnits(sample.position.y(), area_.height());
    v.tiltX = tiltUnits(sample.tiltX);
    v.tiltY = tiltUnits(sample.tiltY);
    v.touch = sample.tip;
    if (sample.tip) {
        const double pressure = std::round(std::clamp(sample.pressure, 0.0, 1.0) * PenLayout::kPressureMax);
        v.pressure = std::max(PenLayout::kContactPressure, int(pressure));
    }
    return v;
}

void PenEventWriter::appendFrame(std::vector<input_event>& events, const std::optional<Values>& from,
                                 const Values& to, std::optional<int> toolPen) {
    const size_t before = events.size();
    const auto axis = [&](uint16_t code, int value, int old) {
        if (!from || value != old) put(events, EV_ABS, code, value);
    };
    const Values old = from.value_or(Values{});
    axis(ABS_X, to.x, old.x);
    axis(ABS_Y, to.y, old.y);
    axis(ABS_TILT_X, to.tiltX, old.tiltX);
    axis(ABS_TILT_Y, to.tiltY, old.tiltY);
    axis(ABS_PRESSURE, to.pressure, old.pressure);
    // Out of proximity the tip is up, so an unknown state is an untouched one.
    if (to.touch != old.touch) put(events, EV_KEY, BTN_TOUCH, to.touch ? 1 : 0);
    if (toolPen) put(events, EV_KEY, BTN_TOOL_PEN, *toolPen);
    if (events.size() != before) put(events, EV_SYN, SYN_REPORT, 0);
}

OptError PenEventWriter::proximityIn(const PenSample& sample) {
    if (!isFinite(sample)) return {};
    if (inProximity_) return move(sample);
    const Values target = valuesFor(sample);
    Values hover = target;
    hover.pressure = 0;
    hover.touch = false;
    std::vector<input_event> events;
    appendFrame(events, std::nullopt, hover, 1);
    if (!proximityOutWritten_) {
        // libinput (1.22, measured) takes a pen that is silent for 50 ms for one that left, until the
        // device has once said proximity out itself: the first hover would flicker out and in at every
        // pause. Out and in again at once, the first time, stops that for good.
        appendFrame(events, hover, hover, 0);
        appendFrame(events, hover, hover, 1);
    }
    appendFrame(events, hover, target);
    if (auto error = write(events)) return error;
    proximityOutWritten_ = true;
    inProximity_ = true;
    last_ = target;
    return {};
}

OptError PenEventWriter::move(const PenSample& sample) {
    if (!isFinite(sample)) return {};
    if (!inProximity_) return proximityIn(sample);
    const Values target = valuesFor(sample);
    std::vector<input_event> events;
    appendFrame(events, last_, target);
    if (events.empty()) return {};
    if (auto error = write(events)) return error;
    last_ = target;
    return {};
}

OptError PenEventWriter::proximityOut() {
    if (!inProximity_) return {};
    Values lifted = *last_;
    lifted.pressure = 0;
    lifted.touch = false;
    std::vector<input_event> events;
    appendFrame(events, last_, lifted);
    // Said outright: a desktop that has to guess proximity out from silence makes a hovering pen flicker.
    appendFrame(events, lifted, lifted, 0);
    if (auto error = write(events)) return error;
    inProximity_ = false;
    last_.reset();
    return {};
}

OptError PenEventWriter::write(const std::vector<input_event>& events) {
    const char* bytes = reinterpret_cast<const char*>(events.data());
    size_t left = events.size() * sizeof(input_event);
    while (left > 0) {
        const ssize_t n = ::write(fd_, bytes, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Error::posix(errno);
        if (n == 0) return Error::posix(EIO);
        bytes += n;
        left -= size_t(n);
    }
    return {};
}
