// Byte layout of the records that callers read by offset: values go in through
// the fields and come back out of the raw bytes at the published offsets,
// written as plain numbers. Every offset is also a static_assert beside the
// records (sizes, and so the strides of record arrays, too); this test shows
// on each target's own code that the bytes really sit there. The numbers are those
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

TEST(RecordLayout, FieldsSitAtThePublishedOffsets) {
    PowerResultsPeriod r;
    PowerResultsGeneral g;
    std::memset(static_cast<void*>(&r), 0, sizeof r);
    std::memset(static_cast<void*>(&g), 0, sizeof g);
    r.frequency = 50.5; r.fundamentalPhaseAngle = -12.5;
    r.rvcVoltage.state = 1; r.rvcVoltage.duration = 0.125;  // after 4 bytes of padding
    r.rvcLineToLineVoltage.time = 9.75;
    r.symmetricalComponent.voltage = {1.5, -2.5}; r.symmetricalComponent.currentUnbalance = 7.0;
    g.firstSampleIndex = 0x0102030405060708ull;  // after 8 reserved bytes
    g.harmonicLength = 51; g.phasesCount = 3;
    g.phases[0].dcVoltage = 1.0; g.phases[2].thdCurrent.thdRms = 4.5; g.phases[3].harmonicCurrentContent = 6.5;
    float harmonics[2] = {0.0f, 1.0f};
    g.phases[1].harmonicsVoltage = harmonics; g.phases[1].reservedHarmonics = harmonics + 1;
    g.symmetricalComponents[1].voltageUnbalance = 3.25;
    EXPECT_EQ(std::make_tuple(readAt<int32_t>(&r, 136 + 4), readAt<uint64_t>(&g, 32), readAt<uint32_t>(&g, 48),
                              readAt<uint8_t>(&g, 52), readAt<float*>(&g, 56 + phaseBlock + 656 + 3 * sizeof(void*)),
                              readAt<float*>(&g, 56 + phaseBlock + 656 + 15 * sizeof(void*))),
              std::make_tuple(1, 0x0102030405060708ull, 51u, uint8_t{3}, harmonics, harmonics + 1));
    // record, offset, value
    const std::tuple<const void*, std::size_t, double> doubles[] = {
        {&r, 8, 50.5}, {&r, 128, -12.5}, {&r, 136 + 24, 0.125}, {&r, 176 + 32, 9.75}, {&r, 216, 1.5},
        {&r, 216 + 160, 7.0}, {&g, 56, 1.0}, {&g, 56 + 2 * phaseBlock + 288 + 40, 4.5},
        {&g, 56 + 3 * phaseBlock + 648, 6.5}, {&g, 56 + 4 * phaseBlock + 168 + 152, 3.25}};
    for (const auto& [record, offset, value] : doubles) EXPECT_EQ(readAt<double>(record, offset), value) << offset;
}

}  // namespace
