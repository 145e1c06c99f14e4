#include "powerquality/PowerModuleApi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "module/FlatGuard.h"
#include "powerquality/PowerModule.h"

namespace {

struct Report {
    int calls = 0;
    int32_t code = 0;
    std::string message;
};
Report report;

void recordReport(int32_t code, const char* message) {
    ++report.calls;
    report.code = code;
    report.message = message;
}

// Registers the recording reporter for one test and switches reporting off
// afterwards.
struct FlatApi : testing::Test {
    void SetUp() override {
        report = Report();
        EXPECT_EQ(registerErrorReporter(recordReport), 0);
        handle = powerModule_create();
        ASSERT_NE(handle, nullptr);
    }
    void TearDown() override {
        EXPECT_EQ(powerModule_destroy(handle), 0);
        EXPECT_EQ(registerErrorReporter(nullptr), 0);
    }
    PowerModule& module() { return *reinterpret_cast<PowerModule*>(handle); }
    PowerModuleHandle handle = nullptr;
};

TEST_F(FlatApi, GuardMapsExceptionsInOrder) {
    using powerquality::guarded;
    EXPECT_EQ(guarded([] {}), 0);
    EXPECT_EQ(report.calls, 0);
    EXPECT_EQ(guarded([] { throw PowerErrorTooManyResults("too many"); }), 2);
    EXPECT_EQ(guarded([] { throw std::bad_alloc(); }), 1);
    EXPECT_EQ(guarded([] { throw std::invalid_argument("bad"); }), 1);
    EXPECT_EQ(guarded([] { throw 42; }), 1);
    EXPECT_EQ(report.calls, 0);  // only device errors are reported

    EXPECT_EQ(guarded([] { throw GpuException("device lost"); }), 3);
    EXPECT_EQ(report.calls, 1);
    EXPECT_EQ(report.code, 1);
    EXPECT_EQ(report.message, "device lost");

    // A GpuException is still status 3 with reporting switched off.
    EXPECT_EQ(registerErrorReporter(nullptr), 0);
    EXPECT_EQ(reportErrorCallbackFunction, nullptr);
    EXPECT_EQ(guarded([] { throw GpuException(std::string("again")); }), 3);
    EXPECT_EQ(report.calls, 1);
}

TEST_F(FlatApi, GettersAgreeWithTheClass) {
    ASSERT_EQ(beginUpdate(handle), 0);
    EXPECT_EQ(setGridConfigType(handle, ThreePhaseStarTwoCurrents), 0);
    EXPECT_EQ(setSampleRate(handle, 12800.0, 2), 0);
    EXPECT_EQ(setBufferLength(handle, 1280), 0);
    EXPECT_EQ(setStaticFrequency(handle, 60.0, 0.05), 0);
    EXPECT_EQ(setPeriodCount(handle, 12), 0);
    EXPECT_EQ(setHalfPeriodValuesCount(handle, 4), 0);
    EXPECT_EQ(setPeriodValuesOverlapInPercent(handle, 25), 0);
    EXPECT_EQ(setPeriodValuesEnabled(handle, true), 0);
    EXPECT_EQ(setFundamentalPeriodValuesEnabled(handle, true), 0);
    EXPECT_EQ(setPeriodSymmetricalComponentsEnabled(handle, true), 0);
    EXPECT_EQ(setCurrentEnabled(handle, true), 0);
    EXPECT_EQ(setLineToLineResultsEnabled(handle, true), 0);
    EXPECT_EQ(setWaveformsEnabled(handle, true), 0);
    EXPECT_EQ(setInterHarmonicsEnabled(handle, true), 0);
    EXPECT_EQ(setFullFftEnabled(handle, true), 0);
    EXPECT_EQ(setThdEnabled(handle, true), 0);
    EXPECT_EQ(setHighestRequestedHarmonic(handle, 63), 0);
    EXPECT_EQ(setThdHighestHarmonic(handle, 50), 0);
    EXPECT_EQ(setSymmetricalComponentsEnabled(handle, true), 0);
    EXPECT_EQ(setRvcEnabled(handle, true), 0);
    EXPECT_EQ(setRvcSteadyStateLengthInNumberOfPeriodValues(handle, 120), 0);
    EXPECT_EQ(setRvcThresholdInPercentOfAverage(handle, 3.3), 0);
    EXPECT_EQ(setRvcThresholdHysteresisInPercentOfThreshold(handle, 40.0), 0);
    ASSERT_EQ(endUpdate(handle), 0);
    EXPECT_EQ(module().getBufferLength(), 1280u);
    EXPECT_EQ(module().getSampleRate(), 12800.0);

#define EXPECT_GETTER(flat, method, Type, expected) \
    do {                                            \
        Type value{};                               \
        EXPECT_EQ(flat(handle, &value), 0);         \
        EXPECT_EQ(value, module().method());        \
        EXPECT_EQ(value, expected);                 \
    } while (0)
    EXPECT_GETTER(getCurrentEnabled, getCurrentEnabled, bool, true);
    EXPECT_GETTER(getCurrentsCount, getCurrentsCount, unsigned char, 2);
    EXPECT_GETTER(getFullFftEnabled, getFullFftEnabled, bool, true);
    EXPECT_GETTER(getFundamentalPeriodValuesEnabled, getFundamentalPeriodValuesEnabled, bool, true);
    EXPECT_GETTER(getHalfPeriodValuesCount, getHalfPeriodValuesCount, unsigned short, 4);
    EXPECT_GETTER(getHighestRequestedHarmonic, getHighestRequestedHarmonic, int, 63);
    EXPECT_GETTER(getInterHarmonicsEnabled, getInterHarmonicsEnabled, bool, true);
    EXPECT_GETTER(getLineToLineResultsEnabled, getLineToLineResultsEnabled, bool, true);
    EXPECT_GETTER(getPeriodSymmetricalComponentsEnabled, getPeriodSymmetricalComponentsEnabled, bool, true);
    EXPECT_GETTER(getPeriodValuesEnabled, getPeriodValuesEnabled, bool, true);
    EXPECT_GETTER(getPeriodValuesOverlapInPercent, getPeriodValuesOverlapInPercent, unsigned short, 25);
    EXPECT_GETTER(getPhasesCount, getPhasesCount, unsigned char, 3);
    EXPECT_GETTER(getRvcEnabled, getRvcEnabled, bool, true);
    EXPECT_GETTER(getRvcSteadyStateLengthInNumberOfPeriodValues, getRvcSteadyStateLength, int, 120);
    EXPECT_GETTER(getRvcThresholdHysteresisInPercentOfThreshold, getRvcThresholdHysteresis, double, 40.0);
    EXPECT_GETTER(getRvcThresholdInPercentOfAverage, getRvcThreshold, double, 3.3);
    EXPECT_GETTER(getSymmetricalComponentsEnabled, getSymmetricalComponentsEnabled, bool, true);
    EXPECT_GETTER(getThdEnabled, getThdEnabled, bool, true);
    EXPECT_GETTER(getThdHighestHarmonic, getThdHighestHarmonic, int, 50);
    EXPECT_GETTER(getVoltagesCount, getVoltagesCount, unsigned char, 3);
    EXPECT_GETTER(getWaveformsEnabled, getWaveformsEnabled, bool, true);
    EXPECT_GETTER(isAnyResultReady, isAnyResultReady, bool, false);
#undef EXPECT_GETTER

    EXPECT_EQ(setVariableFrequency(handle, 45.0, 65.0), 0);
    bool fullFft = true;
    EXPECT_EQ(getFullFftEnabled(handle, &fullFft), 0);
    EXPECT_FALSE(fullFft);
}

TEST_F(FlatApi, OperationsForwardToTheModule) {
    ASSERT_EQ(beginUpdate(handle), 0);
    ASSERT_EQ(setPeriodValuesEnabled(handle, true), 0);
    ASSERT_EQ(setSampleRate(handle, 10000.0, 1), 0);
    ASSERT_EQ(setBufferLength(handle, 1000), 0);
    ASSERT_EQ(endUpdate(handle), 0);
    for (auto accessor : {getWaveformBufferUStar, getWaveformBufferUInput}) {
        float* ring = nullptr;
        EXPECT_EQ(accessor(handle, 0, &ring), 0);
        float* expected = nullptr;
        module().getWaveformBufferUStar(0, &expected);
        EXPECT_EQ(ring, expected);
        EXPECT_NE(ring, nullptr);
    }
    float* absent = reinterpret_cast<float*>(0x10);
    EXPECT_EQ(getWaveformBufferUDelta(handle, 0, &absent), 0);
    EXPECT_EQ(absent, nullptr);
    absent = reinterpret_cast<float*>(0x10);
    EXPECT_EQ(getWaveformBufferI(handle, 7, &absent), 0);
    EXPECT_EQ(absent, nullptr);

    EXPECT_EQ(reset(handle, 1000), 0);
    EXPECT_EQ(skipSamples(handle, 50), 0);
    EXPECT_EQ(writeSamples(handle, 50), 0);
    EXPECT_EQ(syncCuda(handle), 0);
    EXPECT_EQ(scheduleForCalculation(handle, 1050, 10, 50.0), 0);
    bool ready = false;
    EXPECT_EQ(isAnyResultReady(handle, &ready), 0);
    EXPECT_TRUE(ready);

    uint64_t first = 1000;
    int length = 100;
    double frequency = 50.0;
    bool flag = true;
    EXPECT_EQ(scheduleForPeriodCalculation(handle, 1, &first, &length, &frequency, &flag), 0);
    int count = -1;
    bool more = true;
    PowerResultsPeriod* records = reinterpret_cast<PowerResultsPeriod*>(0x10);
    EXPECT_EQ(getPeriodResults(handle, &count, &more, &records), 0);
    EXPECT_EQ(count, 0);  // 100 positions are half a cycle: nothing finished
    EXPECT_FALSE(more);
    EXPECT_EQ(records, reinterpret_cast<PowerResultsPeriod*>(0x10));
}

TEST_F(FlatApi, RefusedCallsTouchNothing) {
    unsigned char phases = 77;
    EXPECT_EQ(getPhasesCount(nullptr, &phases), 1);
    EXPECT_EQ(phases, 77);
    EXPECT_EQ(getPhasesCount(handle, nullptr), 1);
    EXPECT_EQ(setRvcEnabled(nullptr, true), 1);
    EXPECT_EQ(reset(nullptr, 0), 1);
    EXPECT_EQ(getWaveformBufferI(handle, 0, nullptr), 1);
    int count = 5;
    bool more = true;
    EXPECT_EQ(getPeriodResults(handle, &count, nullptr, nullptr), 1);
    EXPECT_EQ(count, 5);
    EXPECT_TRUE(more);
    const char* version = nullptr;
    EXPECT_EQ(getVersionString(nullptr), 1);
    EXPECT_EQ(getVersionString(&version), 0);
    EXPECT_STREQ(version, PowerModule::getVersionString());
    int32_t number = 0;
    EXPECT_EQ(getVersionNumber(&number), 0);
    EXPECT_EQ(number, PowerModule::getVersionNumber());

    // The window that reset queues stays queued when getResults is refused.
    EXPECT_EQ(reset(handle, 0), 0);
    std::vector<PowerResultsGeneral> results(2);
    EXPECT_EQ(getResults(handle, -1, &count, results.data()), 1);
    EXPECT_EQ(getResults(handle, 2, nullptr, results.data()), 1);
    EXPECT_EQ(getResults(handle, 2, &count, nullptr), 1);
    EXPECT_EQ(count, 5);
    EXPECT_TRUE(module().isAnyResultReady());
    EXPECT_EQ(report.calls, 0);
}

TEST_F(FlatApi, FailuresInsideTheModuleAreStatusOne) {
    // A ring of 2^30 samples for three channels does not fit 32-bit byte
    // counts: the allocation failure is status 1 and the module stays usable.
    EXPECT_EQ(setPeriodValuesEnabled(handle, true), 0);
    EXPECT_EQ(setBufferLength(handle, 1u << 30), 1);
    EXPECT_EQ(setBufferLength(handle, 64), 0);
    float* ring = nullptr;
    EXPECT_EQ(getWaveformBufferUInput(handle, 0, &ring), 0);
    EXPECT_NE(ring, nullptr);

    // A rejected period call: sample-index divisor 0.
    EXPECT_EQ(setSampleRate(handle, 1000.0, 0), 0);
    EXPECT_EQ(reset(handle, 0), 0);
    uint64_t first = 0;
    int length = 10;
    double frequency = 50.0;
    bool flag = true;
    EXPECT_EQ(scheduleForPeriodCalculation(handle, 1, &first, &length, &frequency, &flag), 1);
    EXPECT_EQ(report.calls, 0);
}

TEST(FlatApiLifetime, CreateAndDestroy) {
    EXPECT_EQ(powerModule_destroy(nullptr), 0);
    PowerModuleHandle handle = powerModule_create();
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(powerModule_destroy(handle), 0);
}

}  // namespace
