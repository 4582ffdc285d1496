#pragma once

#include <QByteArray>
#include <vector>

// H.264 unit plumbing between the encoders' start-code streams and the length-prefixed form the
// pipeline carries.
namespace h264 {

enum UnitType : int { kSlice = 1, kIDR = 5, kSEI = 6, kSPS = 7, kPPS = 8, kAUD = 9 };

inline int unitType(const QByteArray& unit) {
    return unit.isEmpty() ? -1 : (uint8_t(unit[0]) & 0x1f);
}

// Splits a start-code stream (00 00 01 or 00 00 00 01 before every unit) into bare units. Bytes before
// the first start code and empty units are ignored.
std::vector<QByteArray> splitAnnexB(const char* data, qsizetype size);

// The parameter sets of a codec configuration record, which encoders write either as a start-code
// stream or in the 'avcC' layout. Units other than parameter sets are left out.
struct ParameterSets {
    std::vector<QByteArray> sps;
    std::vector<QByteArray> pps;
};
ParameterSets parameterSetsFromExtradata(const char* data, qsizetype size);

// Units, each preceded by its length in four big-endian bytes.
QByteArray lengthPrefixed(const std::vector<QByteArray>& units);

} // namespace h264
