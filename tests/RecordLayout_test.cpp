// Byte layout of the records that callers read by offset: values go in through
// the fields and come back out of the raw bytes at the published offsets,
// written as plain numbers. Every offset is also a static_assert beside the
// records; this test shows on each target's own code that the bytes really
// sit there, and checks the strides of record arrays. The numbers are those
// of 32-bit x86; with 8-byte pointers the sixteen pointer slots of a phase
// block widen and everything after the first phase block moves by 64 bytes
// per block.
#include <cstddef>

#include "ModuleTest.h"

namespace {

constexpr bool narrow = sizeof(void*) == 4;
constexpr std::size_t phaseBlock = narrow ? 720 : 784;

template <typename T>
T readAt(const void* record, std::size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const unsigned char*>(record) + offset, sizeof(T));
    return value;
}

TEST(RecordLayout, PeriodRecordAndItsEmbeddedRecords) {
    std::vector<PowerResultsPeriod> entry(2);
    std::memset(static_cast<void*>(entry.data()), 0, sizeof(PowerResultsPeriod) * 2);
    PowerResultsPeriod& r = entry[1];
    r.frequency = 50.5, r.fundamentalPhaseAngle = -12.5;
    r.rvcVoltage.state = 1, r.rvcVoltage.duration = 0.125;  // after 4 bytes of padding
    r.rvcLineToLineVoltage.time = 9.75;
    r.symmetricalComponent.voltage = {1.5, -2.5}, r.symmetricalComponent.currentUnbalance = 7.0;
    const void* base = &entry[1];
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(base) - reinterpret_cast<const unsigned char*>(entry.data()), 384);
    EXPECT_EQ(readAt<int32_t>(base, 136 + 4), 1);
    // offset, value
    const double doubles[][2] = {{8, 50.5},        {128, -12.5}, {136 + 24, 0.125},
                                 {176 + 32, 9.75}, {216, 1.5},   {216 + 160, 7.0}};
    for (const auto& [offset, value] : doubles) EXPECT_EQ(readAt<double>(base, std::size_t(offset)), value) << offset;
}

TEST(RecordLayout, GeneralRecordHeaderPhasesAndSequences) {
    std::vector<PowerResultsGeneral> records(2);
    PowerResultsGeneral& g = records[1];
    std::memset(static_cast<void*>(&g), 0, sizeof g);
    g.firstSampleIndex = 0x0102030405060708ull;  // after 8 reserved bytes
    g.harmonicLength = 51, g.phasesCount = 3;
    g.phases[0].dcVoltage = 1.0, g.phases[2].thdCurrent.thdRms = 4.5, g.phases[3].harmonicCurrentContent = 6.5;
    float harmonics[2] = {0.0f, 1.0f};
    g.phases[1].harmonicsVoltage = harmonics, g.phases[1].reservedHarmonics = harmonics + 1;
    g.symmetricalComponents[1].voltageUnbalance = 3.25;
    EXPECT_EQ(sizeof(PowerResultsGeneral), narrow ? 3440u : 3696u);
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(&records[1]) - reinterpret_cast<const unsigned char*>(&records[0]),
              static_cast<std::ptrdiff_t>(narrow ? 3440 : 3696));
    EXPECT_EQ(readAt<uint64_t>(&g, 32), 0x0102030405060708ull);
    EXPECT_EQ(readAt<uint32_t>(&g, 48), 51u);
    EXPECT_EQ(readAt<uint8_t>(&g, 52), 3);
    const std::pair<std::size_t, double> doubles[] = {{56, 1.0},
                                                      {56 + 2 * phaseBlock + 288 + 40, 4.5},
                                                      {56 + 3 * phaseBlock + 648, 6.5},
                                                      {56 + 4 * phaseBlock + 168 + 152, 3.25}};
    for (const auto& [offset, value] : doubles) EXPECT_EQ(readAt<double>(&g, offset), value) << offset;
    EXPECT_EQ(readAt<float*>(&g, 56 + phaseBlock + 656 + 3 * sizeof(void*)), harmonics);
    EXPECT_EQ(readAt<float*>(&g, 56 + phaseBlock + 656 + 15 * sizeof(void*)), harmonics + 1);
    EXPECT_EQ(narrow ? 2936u : 3192u, 56 + 4 * phaseBlock);
}

}  // namespace
