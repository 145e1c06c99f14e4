// Byte layout of the records that callers read by offset. Values go in
// through the fields and come back out of the raw bytes at the offsets of the
// published layout, written here as plain numbers rather than offsetof, so
// that a field that moves, two fields that share bytes, or a record that
// changes its stride in an array shows up as a wrong value.
//
// The numbers are those of the 32-bit x86 layout. With 8-byte pointers the
// sixteen pointer slots of a phase block widen: the block grows by 64 bytes and
// everything after the first phase block moves with it.
#include "powerquality/PowerGridConfig.h"
#include "powerquality/PowerResults.h"

#include <gtest/gtest.h>

#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr bool kNarrowPointers = sizeof(void*) == 4;
constexpr std::size_t kPointerSlot = sizeof(void*);
constexpr std::size_t kPhaseBlockSize = kNarrowPointers ? 720 : 784;
constexpr std::size_t kGeneralSize = kNarrowPointers ? 3440 : 3696;
constexpr std::size_t kPhasesOffset = 56;
constexpr std::size_t kSymmetricalComponentsOffset = kNarrowPointers ? 2936 : 3192;
constexpr std::size_t kFirstPointerSlot = 656;

const unsigned char* bytesOf(const void* record) { return static_cast<const unsigned char*>(record); }

template <typename T>
T readAt(const unsigned char* image, std::size_t offset) {
    T value;
    std::memcpy(&value, image + offset, sizeof(T));
    return value;
}

template <typename Record, typename Field>
struct FieldAt {
    const char* name;
    Field Record::*member;
    std::size_t offset;
};

template <typename Record>
using DoubleAt = FieldAt<Record, double>;

// Writes a distinct value into every listed field of `record`, then reads each
// back from `image` at base + offset. Writing all before reading any lets a
// field that overlaps another overwrite it and fail.
template <typename Record, std::size_t N>
void expectDoubles(Record& record, const unsigned char* image, std::size_t base, const DoubleAt<Record> (&fields)[N],
                   double seed) {
    for (std::size_t i = 0; i < N; ++i) {
        record.*fields[i].member = seed + static_cast<double>(i);
    }
    for (std::size_t i = 0; i < N; ++i) {
        SCOPED_TRACE(fields[i].name);
        EXPECT_EQ(readAt<double>(image, base + fields[i].offset), seed + static_cast<double>(i));
    }
}

using Thd = PowerResultsThd;
const DoubleAt<Thd> kThdFields[] = {
    {"thd", &Thd::thd, 0},
    {"partialThd1", &Thd::partialThd1, 8},
    {"partialThd2", &Thd::partialThd2, 16},
    {"partialThd3", &Thd::partialThd3, 24},
    {"partialThd4", &Thd::partialThd4, 32},
    {"thdRms", &Thd::thdRms, 40},
    {"harmonicContent", &Thd::harmonicContent, 48},
    {"distortionContent", &Thd::distortionContent, 56},
    {"totalDistortion", &Thd::totalDistortion, 64},
};

using Sym = PowerResultsSymmetricalComponent;
const DoubleAt<Sym> kSymmetricalDoubles[] = {
    {"voltageMagnitude", &Sym::voltageMagnitude, 48},
    {"lineToLineVoltageMagnitude", &Sym::lineToLineVoltageMagnitude, 56},
    {"currentMagnitude", &Sym::currentMagnitude, 64},
    {"activePower", &Sym::activePower, 72},
    {"reactivePower", &Sym::reactivePower, 80},
    {"apparentPower", &Sym::apparentPower, 88},
    {"activeCurrent", &Sym::activeCurrent, 96},
    {"reactiveCurrent", &Sym::reactiveCurrent, 104},
    {"powerFactor", &Sym::powerFactor, 112},
    {"voltageRms", &Sym::voltageRms, 120},
    {"currentRms", &Sym::currentRms, 128},
    {"voltageRmsUnbalance", &Sym::voltageRmsUnbalance, 136},
    {"currentRmsUnbalance", &Sym::currentRmsUnbalance, 144},
    {"voltageUnbalance", &Sym::voltageUnbalance, 152},
    {"currentUnbalance", &Sym::currentUnbalance, 160},
};
const FieldAt<Sym, std::complex<double>> kSymmetricalComplex[] = {
    {"voltage", &Sym::voltage, 0},
    {"lineToLineVoltage", &Sym::lineToLineVoltage, 16},
    {"current", &Sym::current, 32},
};

// Every field of a symmetrical component; complex values are two doubles,
// real part first.
void expectSymmetricalComponent(Sym& component, const unsigned char* image, std::size_t base, double seed) {
    for (std::size_t i = 0; i < 3; ++i) {
        component.*kSymmetricalComplex[i].member = {seed + 50.0 + static_cast<double>(i), -seed - static_cast<double>(i)};
    }
    expectDoubles(component, image, base, kSymmetricalDoubles, seed);
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(kSymmetricalComplex[i].name);
        EXPECT_EQ(readAt<double>(image, base + kSymmetricalComplex[i].offset), seed + 50.0 + static_cast<double>(i));
        EXPECT_EQ(readAt<double>(image, base + kSymmetricalComplex[i].offset + 8), -seed - static_cast<double>(i));
    }
}

using Phase = PowerResultsGeneralPhase;
const DoubleAt<Phase> kPhaseDoubles[] = {
    {"dcVoltage", &Phase::dcVoltage, 0},
    {"dcCurrent", &Phase::dcCurrent, 8},
    {"dcLineToLine", &Phase::dcLineToLine, 16},
    {"rmsVoltage", &Phase::rmsVoltage, 24},
    {"rmsCurrent", &Phase::rmsCurrent, 32},
    {"rmsLineToLine", &Phase::rmsLineToLine, 40},
    {"activePower", &Phase::activePower, 48},
    {"spectrumRmsVoltage", &Phase::spectrumRmsVoltage, 56},
    {"spectrumRmsCurrent", &Phase::spectrumRmsCurrent, 64},
    {"spectrumRmsLineToLine", &Phase::spectrumRmsLineToLine, 72},
    {"fundamentalVoltage", &Phase::fundamentalVoltage, 80},
    {"fundamentalCurrent", &Phase::fundamentalCurrent, 88},
    {"fundamentalLineToLine", &Phase::fundamentalLineToLine, 96},
    {"spectrumActivePower", &Phase::spectrumActivePower, 104},
    {"nonActivePower", &Phase::nonActivePower, 112},
    {"apparentPower", &Phase::apparentPower, 120},
    {"powerFactor", &Phase::powerFactor, 128},
    {"distortionPowerQ1", &Phase::distortionPowerQ1, 136},
    {"reactivePower", &Phase::reactivePower, 144},
    {"distortionPower", &Phase::distortionPower, 152},
    {"fundamentalActivePower", &Phase::fundamentalActivePower, 160},
    {"fundamentalReactivePower", &Phase::fundamentalReactivePower, 168},
    {"fundamentalApparentPower", &Phase::fundamentalApparentPower, 176},
    {"displacementPowerFactor", &Phase::displacementPowerFactor, 184},
    {"fundamentalReactivePowerSum", &Phase::fundamentalReactivePowerSum, 192},
    {"impedance", &Phase::impedance, 200},
    {"fundamentalAux", &Phase::fundamentalAux, 208},
    {"harmonicCurrentContent", &Phase::harmonicCurrentContent, 648},
};
const FieldAt<Phase, Thd> kPhaseThd[] = {
    {"thdVoltage", &Phase::thdVoltage, 216},
    {"thdCurrent", &Phase::thdCurrent, 288},
    {"thdLineToLine", &Phase::thdLineToLine, 360},
    {"thdInterVoltage", &Phase::thdInterVoltage, 432},
    {"thdInterCurrent", &Phase::thdInterCurrent, 504},
    {"thdInterLineToLine", &Phase::thdInterLineToLine, 576},
};
// The pointer slots in order, from offset 656.
const FieldAt<Phase, std::complex<float>*> kSpectrumSlots[] = {
    {"spectrumVoltage", &Phase::spectrumVoltage, 0},
    {"spectrumCurrent", &Phase::spectrumCurrent, 1},
    {"spectrumLineToLine", &Phase::spectrumLineToLine, 2},
};
const FieldAt<Phase, float*> kHarmonicSlots[] = {
    {"harmonicsVoltage", &Phase::harmonicsVoltage, 3},
    {"harmonicsCurrent", &Phase::harmonicsCurrent, 4},
    {"harmonicsLineToLine", &Phase::harmonicsLineToLine, 5},
    {"interHarmonicsVoltage", &Phase::interHarmonicsVoltage, 6},
    {"interHarmonicsCurrent", &Phase::interHarmonicsCurrent, 7},
    {"interHarmonicsLineToLine", &Phase::interHarmonicsLineToLine, 8},
    {"harmonicsActivePower", &Phase::harmonicsActivePower, 9},
    {"harmonicsReactivePower", &Phase::harmonicsReactivePower, 10},
    {"harmonicsApparentPower", &Phase::harmonicsApparentPower, 11},
    {"harmonicsAux", &Phase::harmonicsAux, 12},
    {"harmonicAnglesVoltage", &Phase::harmonicAnglesVoltage, 13},
    {"harmonicAnglesCurrent", &Phase::harmonicAnglesCurrent, 14},
    {"reservedHarmonics", &Phase::reservedHarmonics, 15},
};

// Every field of a phase block at `base` in `image`: the doubles, each
// distortion record in full, and the pointer slots.
void expectPhaseBlock(Phase& phase, const unsigned char* image, std::size_t base, double seed) {
    static std::complex<float> spectra[3];
    static float harmonics[13];
    for (const auto& slot : kSpectrumSlots) {
        phase.*slot.member = &spectra[slot.offset];
    }
    for (const auto& slot : kHarmonicSlots) {
        phase.*slot.member = &harmonics[slot.offset - 3];
    }
    for (std::size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(kPhaseThd[i].name);
        expectDoubles(phase.*kPhaseThd[i].member, image, base + kPhaseThd[i].offset, kThdFields,
                      seed + 1000.0 + 10.0 * static_cast<double>(i));
    }
    expectDoubles(phase, image, base, kPhaseDoubles, seed);
    for (const auto& slot : kSpectrumSlots) {
        SCOPED_TRACE(slot.name);
        EXPECT_EQ(readAt<const void*>(image, base + kFirstPointerSlot + slot.offset * kPointerSlot),
                  static_cast<const void*>(&spectra[slot.offset]));
    }
    for (const auto& slot : kHarmonicSlots) {
        SCOPED_TRACE(slot.name);
        EXPECT_EQ(readAt<const void*>(image, base + kFirstPointerSlot + slot.offset * kPointerSlot),
                  static_cast<const void*>(&harmonics[slot.offset - 3]));
    }
    // The distortion records were written first: the doubles after them must
    // not have run into them.
    EXPECT_EQ(readAt<double>(image, base + 216), seed + 1000.0);
    EXPECT_EQ(readAt<double>(image, base + 576 + 64), seed + 1058.0);
}

TEST(RecordLayout, SizesAndArrayStrides) {
    EXPECT_EQ(sizeof(RvcResult), 40u);
    EXPECT_EQ(sizeof(PowerResultsThd), 72u);
    EXPECT_EQ(sizeof(PowerResultsSymmetricalComponent), 168u);
    EXPECT_EQ(sizeof(PowerResultsPeriod), 384u);
    EXPECT_EQ(sizeof(PowerResultsGeneralPhase), kPhaseBlockSize);
    EXPECT_EQ(sizeof(PowerResultsGeneral), kGeneralSize);
    EXPECT_EQ(sizeof(PowerGridConfig), 16u);
    // Arrays of records keep the doubles of every element on 8-byte
    // boundaries, also where the platform ABI would align them to 4.
    EXPECT_EQ(alignof(RvcResult), 8u);
    EXPECT_EQ(alignof(PowerResultsPeriod), 8u);
    EXPECT_EQ(alignof(PowerResultsGeneral), 8u);

    // Record k of an array starts k record sizes in; a caller indexes the
    // bytes it was handed this way.
    std::vector<PowerResultsGeneral> general(3);
    general[1].time = 11.5;
    general[2].firstSampleIndex = 0x0123456789ABCDEFull;
    general[2].symmetricalComponents[2].currentUnbalance = -2.25;
    const unsigned char* generalBytes = bytesOf(general.data());
    EXPECT_EQ(readAt<double>(generalBytes, kGeneralSize), 11.5);  // 3440 with 4-byte pointers
    EXPECT_EQ(readAt<uint64_t>(generalBytes, 2 * kGeneralSize + 32), 0x0123456789ABCDEFull);
    // The last field ends exactly at the end of the record.
    EXPECT_EQ(readAt<double>(generalBytes, 3 * kGeneralSize - 8), -2.25);

    std::vector<PowerResultsPeriod> period(2);
    period[1].rvcLineToLineVoltage.time = 4.75;
    period[1].symmetricalComponent.currentUnbalance = 8.5;
    EXPECT_EQ(readAt<double>(bytesOf(period.data()), 384 + 176 + 32), 4.75);
    EXPECT_EQ(readAt<double>(bytesOf(period.data()), 2 * 384 - 8), 8.5);

    std::vector<RvcResult> rvc(3);
    rvc[2].time = 0.125;
    rvc[1].state = 7;
    EXPECT_EQ(readAt<double>(bytesOf(rvc.data()), 2 * 40 + 32), 0.125);
    EXPECT_EQ(readAt<int32_t>(bytesOf(rvc.data()), 40 + 4), 7);

    std::vector<PowerResultsThd> thd(2);
    thd[1].thd = 3.0;
    EXPECT_EQ(readAt<double>(bytesOf(thd.data()), 72), 3.0);
}

TEST(RecordLayout, RvcResultDoublesFollowPaddingAt24) {
    RvcResult result{};
    result.stateChanged = true;
    result.state = -1;
    result.eventEnded = true;
    result.deltaUss = 1.5f;
    result.deltaUmax = -2.5f;
    result.duration = 0.75;  // at 20 if doubles were aligned to 4 as the i386 ABI does
    result.time = 123.25;
    const unsigned char* image = bytesOf(&result);
    EXPECT_EQ(readAt<unsigned char>(image, 0), 1);
    EXPECT_EQ(readAt<int32_t>(image, 4), -1);
    EXPECT_EQ(readAt<unsigned char>(image, 8), 1);
    EXPECT_EQ(readAt<float>(image, 12), 1.5f);
    EXPECT_EQ(readAt<float>(image, 16), -2.5f);
    EXPECT_EQ(readAt<double>(image, 24), 0.75);
    EXPECT_EQ(readAt<double>(image, 32), 123.25);

    result.stateChanged = false;
    result.state = 0x01020304;
    EXPECT_EQ(readAt<unsigned char>(image, 0), 0);
    // Little-endian: lowest byte first.
    EXPECT_EQ(readAt<unsigned char>(image, 4), 0x04);
    EXPECT_EQ(readAt<unsigned char>(image, 7), 0x01);
}

TEST(RecordLayout, ThdAndSymmetricalComponentRecords) {
    PowerResultsThd thd{};
    expectDoubles(thd, bytesOf(&thd), 0, kThdFields, 10.0);

    PowerResultsSymmetricalComponent component{};
    expectSymmetricalComponent(component, bytesOf(&component), 0, 20.0);
    // IEEE 754 binary64, little-endian: 1.0 is 0x3FF0000000000000.
    component.voltage = {1.0, 0.0};
    EXPECT_EQ(readAt<uint64_t>(bytesOf(&component), 0), 0x3FF0000000000000ull);
    EXPECT_EQ(readAt<unsigned char>(bytesOf(&component), 7), 0x3F);
}

TEST(RecordLayout, PhaseBlockFields) {
    PowerResultsGeneralPhase phase{};
    expectPhaseBlock(phase, bytesOf(&phase), 0, 30.0);
}

TEST(RecordLayout, GeneralRecordHeaderAfterPadding) {
    PowerResultsGeneral record{};
    record.time = 1.25;
    record.frequency = 50.0;
    record.dFrequency = 5.0;
    std::memcpy(record.reserved, "RESERVED", 8);
    record.firstSampleIndex = 0x1122334455667788ull;  // 8-aligned after the reserved bytes
    record.length = 0xA1A2A3A4u;
    record.fftOutputLength = 0xB1B2B3B4u;
    record.harmonicLength = 0xC1C2C3C4u;
    record.phasesCount = 3;
    record.phases[0].dcVoltage = -7.5;
    const unsigned char* image = bytesOf(&record);
    EXPECT_EQ(readAt<double>(image, 0), 1.25);
    EXPECT_EQ(readAt<double>(image, 8), 50.0);
    EXPECT_EQ(readAt<double>(image, 16), 5.0);
    EXPECT_EQ(std::memcmp(image + 24, "RESERVED", 8), 0);
    EXPECT_EQ(readAt<uint64_t>(image, 32), 0x1122334455667788ull);
    EXPECT_EQ(readAt<unsigned char>(image, 32), 0x88);
    EXPECT_EQ(readAt<uint32_t>(image, 40), 0xA1A2A3A4u);
    EXPECT_EQ(readAt<uint32_t>(image, 44), 0xB1B2B3B4u);
    EXPECT_EQ(readAt<uint32_t>(image, 48), 0xC1C2C3C4u);
    EXPECT_EQ(readAt<uint8_t>(image, 52), 3);
    EXPECT_EQ(readAt<double>(image, kPhasesOffset), -7.5);  // after 3 bytes of padding
}

TEST(RecordLayout, GeneralRecordPhaseSlotsAndSymmetricalComponents) {
    PowerResultsGeneral record{};
    const unsigned char* image = bytesOf(&record);

    for (std::size_t slot = 0; slot < 4; ++slot) {
        SCOPED_TRACE(testing::Message() << "phase slot " << slot);
        expectPhaseBlock(record.phases[slot], image, kPhasesOffset + slot * kPhaseBlockSize,
                         100.0 * static_cast<double>(slot + 1));
    }
    // Spot checks with the numbers written out: phases[2].thdCurrent.thdRms and
    // the last pointer slot of the total slot.
    EXPECT_EQ(readAt<double>(image, kPhasesOffset + 2 * kPhaseBlockSize + 288 + 40), 300.0 + 1015.0);
    EXPECT_EQ(readAt<const void*>(image, kSymmetricalComponentsOffset - kPointerSlot),
              static_cast<const void*>(record.phases[3].reservedHarmonics));

    for (std::size_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(testing::Message() << "symmetrical component " << k);
        expectSymmetricalComponent(record.symmetricalComponents[k], image, kSymmetricalComponentsOffset + k * 168,
                                   5000.0 + 100.0 * static_cast<double>(k));
    }
    // symmetricalComponents[1].current, imaginary part: 2936 + 168 + 32 + 8.
    EXPECT_EQ(readAt<double>(image, kSymmetricalComponentsOffset + 168 + 40), -5102.0);

    // The blocks after the phases did not overwrite the phases.
    EXPECT_EQ(readAt<double>(image, kPhasesOffset), 100.0);
    EXPECT_EQ(readAt<double>(image, kPhasesOffset + 3 * kPhaseBlockSize + 648), 400.0 + 27.0);
}

TEST(RecordLayout, PeriodRecordWithEmbeddedRecords) {
    using Period = PowerResultsPeriod;
    const DoubleAt<Period> doubles[] = {
        {"time", &Period::time, 0},
        {"frequency", &Period::frequency, 8},
        {"rmsVoltage", &Period::rmsVoltage, 16},
        {"rmsCurrent", &Period::rmsCurrent, 24},
        {"rmsLineToLine", &Period::rmsLineToLine, 32},
        {"activePower", &Period::activePower, 40},
        {"nonActivePower", &Period::nonActivePower, 48},
        {"apparentPower", &Period::apparentPower, 56},
        {"powerFactor", &Period::powerFactor, 64},
        {"fundamentalVoltage", &Period::fundamentalVoltage, 72},
        {"fundamentalCurrent", &Period::fundamentalCurrent, 80},
        {"reserved", &Period::reserved, 88},
        {"fundamentalActivePower", &Period::fundamentalActivePower, 96},
        {"fundamentalReactivePower", &Period::fundamentalReactivePower, 104},
        {"fundamentalReactivePowerSum", &Period::fundamentalReactivePowerSum, 112},
        {"fundamentalApparentPower", &Period::fundamentalApparentPower, 120},
        {"fundamentalPhaseAngle", &Period::fundamentalPhaseAngle, 128},
    };
    Period record{};
    const unsigned char* image = bytesOf(&record);
    expectSymmetricalComponent(record.symmetricalComponent, image, 216, 70.0);

    const std::size_t rvcOffsets[] = {136, 176};
    RvcResult Period::*const rvcMembers[] = {&Period::rvcVoltage, &Period::rvcLineToLineVoltage};
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i == 0 ? "rvcVoltage" : "rvcLineToLineVoltage");
        RvcResult& rvc = record.*rvcMembers[i];
        rvc.stateChanged = true;
        rvc.state = static_cast<int32_t>(i) + 1;
        rvc.eventEnded = i == 1;
        rvc.deltaUss = 0.5f + static_cast<float>(i);
        rvc.deltaUmax = 0.25f + static_cast<float>(i);
        rvc.duration = 8.0 + static_cast<double>(i);
        rvc.time = 9.0 + static_cast<double>(i);
        const std::size_t base = rvcOffsets[i];
        EXPECT_EQ(readAt<unsigned char>(image, base), 1);
        EXPECT_EQ(readAt<int32_t>(image, base + 4), static_cast<int32_t>(i) + 1);
        EXPECT_EQ(readAt<unsigned char>(image, base + 8), i == 1 ? 1 : 0);
        EXPECT_EQ(readAt<float>(image, base + 12), 0.5f + static_cast<float>(i));
        EXPECT_EQ(readAt<float>(image, base + 16), 0.25f + static_cast<float>(i));
        EXPECT_EQ(readAt<double>(image, base + 24), 8.0 + static_cast<double>(i));
        EXPECT_EQ(readAt<double>(image, base + 32), 9.0 + static_cast<double>(i));
    }
    // Written after the embedded records: each double lands in its own slot,
    // and the embedded records keep their values.
    expectDoubles(record, image, 0, doubles, 40.0);
    EXPECT_EQ(readAt<double>(image, 176 + 32), 10.0);  // rvcLineToLineVoltage.time
    EXPECT_EQ(readAt<double>(image, 136 + 24), 8.0);   // rvcVoltage.duration
    EXPECT_EQ(readAt<double>(image, 216), 120.0);      // symmetricalComponent.voltage, real part
}

TEST(RecordLayout, GridConfigRecordAndExportedTable) {
    const PowerGridConfig config(ThreePhaseDeltaTwoCurrents, 3, 3, 2, true);
    const unsigned char* image = bytesOf(&config);
    EXPECT_EQ(readAt<int32_t>(image, 0), 4);
    EXPECT_EQ(image[4], 3);  // phases
    EXPECT_EQ(image[5], 3);  // voltages
    EXPECT_EQ(image[6], 2);  // currents
    EXPECT_EQ(image[7], 3);  // line-to-line pairs
    EXPECT_EQ(image[8], 0);  // star input
    EXPECT_EQ(image[9], 1);  // delta input
    EXPECT_EQ(image[10], 0);  // neutral present
    EXPECT_EQ(image[11], 0);  // voltage channel missing
    EXPECT_EQ(image[12], 1);  // current channel missing

    // The exported table is read by layout too: entry t at 16 t, holding type t.
    const unsigned char* table = bytesOf(powerGridConfigs);
    for (int32_t t = 0; t < POWERQUALITY_GRID_CONFIG_COUNT; ++t) {
        EXPECT_EQ(readAt<int32_t>(table, 16 * static_cast<std::size_t>(t)), t);
    }
}

}  // namespace
