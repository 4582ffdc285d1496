#include "platform/codec/H264Units.h"

#include <QtEndian>

namespace h264 {

namespace {

// Position of the next 00 00 01 at or after `from`, or `size`.
qsizetype findStartCode(const uint8_t* p, qsizetype size, qsizetype from) {
    for (qsizetype i = from; i + 2 < size; ++i) {
        if (p[i + 2] > 1) {
            i += 2; // none of the three positions ending here can start a code
            continue;
        }
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) return i;
    }
    return size;
}

} // namespace

std::vector<QByteArray> splitAnnexB(const char* data, qsizetype size) {
    std::vector<QByteArray> units;
    if (!data || size < 3) return units;
    const auto* p = reinterpret_cast<const uint8_t*>(data);
    qsizetype start = findStartCode(p, size, 0);
    while (start < size) {
        const qsizetype begin = start + 3;
        const qsizetype next = findStartCode(p, size, begin);
        qsizetype end = next;
        // A four-byte start code, and trailing zero bytes, belong to no unit.
        while (end > begin && p[end - 1] == 0)
            --end;
        if (end > begin) units.emplace_back(data + begin, end - begin);
        start = next;
    }
    return units;
}

ParameterSets parameterSetsFromExtradata(const char* data, qsizetype size) {
    ParameterSets sets;
    if (!data || size <= 0) return sets;
    const auto* p = reinterpret_cast<const uint8_t*>(data);
    if (p[0] != 1) {
        for (QByteArray& unit : splitAnnexB(data, size)) {
            if (unitType(unit) == kSPS)
                sets.sps.push_back(std::move(unit));
            else if (unitType(unit) == kPPS)
                sets.pps.push_back(std::move(unit));
        }
        return sets;
    }
    // avcC: version, profile, compatibility, level, length size, then counted lists of 16-bit-length
    // sequence and picture parameter sets.
    qsizetype pos = 5;
    auto readList = [&](std::vector<QByteArray>& out, int countMask) {
        if (pos >= size) return false;
        int count = p[pos++] & countMask;
        while (count-- > 0) {
            if (pos + 2 > size) return false;
            const qsizetype length = qFromBigEndian<quint16>(p + pos);
            pos += 2;
            if (length == 0 || pos + length > size) return false;
            out.emplace_back(data + pos, length);
            pos += length;
        }
        return true;
    };
    if (readList(sets.sps, 0x1f)) readList(sets.pps, 0xff);
    return sets;
}

QByteArray lengthPrefixed(const std::vector<QByteArray>& units) {
    qsizetype total = 0;
    for (const QByteArray& unit : units)
        total += 4 + unit.size();
    QByteArray out(total, Qt::Uninitialized);
    char* w = out.data();
    for (const QByteArray& unit : units) {
        qToBigEndian<quint32>(quint32(unit.size()), w);
        memcpy(w + 4, unit.constData(), size_t(unit.size()));
        w += 4 + unit.size();
    }
    return out;
}

} // namespace h264
