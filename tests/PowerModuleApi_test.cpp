#include <thread>

#include "ModuleTest.h"
#include "flat/FlatGuard.h"

namespace {

std::vector<std::pair<int32_t, std::string>> reports;

void recordReport(int32_t code, const char* message) { reports.emplace_back(code, message); }

// A module for one test.
struct FlatApi : testing::Test {
    void SetUp() override { ASSERT_NE(handle = powerModule_create(), nullptr); }
    void TearDown() override { EXPECT_EQ(powerModule_destroy(handle), 0); }
    PowerModule& module() { return *reinterpret_cast<PowerModule*>(handle); }
    PowerModuleHandle handle = nullptr;
};

// A flat getter's value, after checking its status.
template <typename T>
T flatValue(int32_t (*getter)(PowerModuleHandle, T*), PowerModuleHandle handle) {
    T value{};
    EXPECT_EQ(getter(handle, &value), 0);
    return value;
}

// One period segment at 50 Hz through the flat interface; its status.
int32_t scheduleSegment(PowerModuleHandle handle, uint64_t first, int length) {
    double frequency = 50.0;
    bool flag = true;
    return scheduleForPeriodCalculation(handle, 1, &first, &length, &frequency, &flag);
}

std::string lastMessage() {
    const char* message = nullptr;
    EXPECT_EQ(getLastErrorMessage(nullptr, &message), 0);
    return message != nullptr ? message : "(null)";
}

// A flat call's status and the message it leaves.
std::tuple<int32_t, std::string> said(int32_t status) { return {status, lastMessage()}; }

// The guard itself, instantiated here: its message array is this
// executable's copy, since inline statics are one per shared object. Each
// row runs after the one before: a success keeps the message there is.
TEST_F(FlatApi, GuardMapsEachExceptionToItsStatusAndMessage) {
    const std::string longText(2000, 'x');
    const std::string cut = longText.substr(0, powerquality::lastErrorMessageCapacity - 1);
    struct Row {
        std::function<void()> call;
        int32_t status;
        std::string message;
        size_t reported;  // only device errors are reported
    };
    const Row rows[] = {
        {[] { throw PowerErrorTooManyResults("Too many results to fit in allocated space."); }, 2,
         "Too many results to fit in allocated space.", 0},
        {[] { throw std::bad_alloc(); }, 1, std::bad_alloc().what(), 0},
        {[] { throw 42; }, 1, "unknown error", 0},
        {[&] { throw std::runtime_error(longText); }, 1, cut, 0},
        {[] {}, 0, cut, 0},
        {[] { throw GpuException("device lost"); }, 3, "device lost", 1},
    };
    reports.clear();
    EXPECT_EQ(registerErrorReporter(recordReport), 0);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message.substr(0, 20));
        EXPECT_EQ(powerquality::guarded(row.call), row.status);
        EXPECT_EQ(std::make_tuple(std::string(powerquality::lastErrorMessage()), reports.size()),
                  std::make_tuple(row.message, row.reported));
    }
    EXPECT_EQ(reports.back(), std::make_pair(1, std::string("device lost")));
    // A device error is still status 3 with reporting switched off.
    EXPECT_EQ(registerErrorReporter(nullptr), 0);
    EXPECT_EQ(powerquality::guarded([] { throw GpuException(std::string("again")); }), 3);
    EXPECT_EQ(reports.size(), 1u);
}

// Every setter, getter and operation reaches the module.
TEST_F(FlatApi, SettingsComeBackThroughTheGetters) {
    // Braced lists are evaluated in order: every setter runs inside the bracket.
    const Statuses statuses = {
        beginUpdate(handle), setGridConfigType(handle, ThreePhaseStarTwoCurrents), setSampleRate(handle, 12800.0, 2),
        setBufferLength(handle, 1280), setStaticFrequency(handle, 60.0, 0.05), setPeriodCount(handle, 12),
        setHalfPeriodValuesCount(handle, 4), setPeriodValuesOverlapInPercent(handle, 25),
        setPeriodValuesEnabled(handle, true), setFundamentalPeriodValuesEnabled(handle, true),
        setPeriodSymmetricalComponentsEnabled(handle, true), setCurrentEnabled(handle, true),
        setLineToLineResultsEnabled(handle, true), setWaveformsEnabled(handle, true),
        setInterHarmonicsEnabled(handle, true), setFullFftEnabled(handle, true), setThdEnabled(handle, true),
        setHighestRequestedHarmonic(handle, 63), setThdHighestHarmonic(handle, 50),
        setSymmetricalComponentsEnabled(handle, true), setRvcEnabled(handle, true),
        setRvcSteadyStateLengthInNumberOfPeriodValues(handle, 120), setRvcThresholdInPercentOfAverage(handle, 3.3),
        setRvcThresholdHysteresisInPercentOfThreshold(handle, 40.0), setHarmonicSubgroupsEnabled(handle, true),
        endUpdate(handle)};
    EXPECT_EQ(statuses, Statuses(26));
    EXPECT_EQ(std::make_tuple(module().getBufferLength(), module().getSampleRate()), std::make_tuple(1280u, 12800.0));
    for (const auto getter : {getCurrentEnabled, getFullFftEnabled, getFundamentalPeriodValuesEnabled,
                              getInterHarmonicsEnabled, getLineToLineResultsEnabled, getPeriodValuesEnabled,
                              getPeriodSymmetricalComponentsEnabled, getRvcEnabled, getSymmetricalComponentsEnabled,
                              getThdEnabled, getWaveformsEnabled, getHarmonicSubgroupsEnabled}) {
        EXPECT_TRUE(flatValue(getter, handle));
    }
    EXPECT_FALSE(flatValue(getWindowedResultsEnabled, handle));
    EXPECT_EQ(std::make_tuple(flatValue(getPhasesCount, handle), flatValue(getVoltagesCount, handle),
                              flatValue(getCurrentsCount, handle), flatValue(getHalfPeriodValuesCount, handle),
                              flatValue(getPeriodValuesOverlapInPercent, handle),
                              flatValue(getHighestRequestedHarmonic, handle), flatValue(getThdHighestHarmonic, handle),
                              flatValue(getRvcSteadyStateLengthInNumberOfPeriodValues, handle),
                              flatValue(getRvcThresholdInPercentOfAverage, handle),
                              flatValue(getRvcThresholdHysteresisInPercentOfThreshold, handle)),
              std::make_tuple(3, 3, 2, 4, 25, 63, 50, 120, 3.3, 40.0));
    EXPECT_EQ(setVariableFrequency(handle, 45.0, 65.0), 0);  // no full spectrum with a variable frequency
    EXPECT_EQ(flatValue(getFullFftEnabled, handle), false);

    using Method = void (PowerModule::*)(unsigned char, float**) const;
    const std::pair<int32_t (*)(PowerModuleHandle, unsigned char, float**), Method> accessors[] = {
        {getWaveformBufferUStar, &PowerModule::getWaveformBufferUStar},
        {getWaveformBufferUInput, &PowerModule::getWaveformBufferUInput},
        {getWaveformBufferUDelta, &PowerModule::getWaveformBufferUDelta},
        {getWaveformBufferI, &PowerModule::getWaveformBufferI}};
    for (const auto& [flat, method] : accessors) {
        for (unsigned char channel : {0, 7}) {
            float *got = reinterpret_cast<float*>(0x10), *direct = nullptr;
            EXPECT_EQ(flat(handle, channel, &got), 0);
            (module().*method)(channel, &direct);
            EXPECT_TRUE(got == direct && (direct != nullptr) == (channel == 0)) << +channel;
        }
    }
    EXPECT_EQ((Statuses{reset(handle, 1000), skipSamples(handle, 50), writeSamples(handle, 50), syncCuda(handle),
                        scheduleForCalculation(handle, 1050, 10, 60.0)}),
              Statuses(5));
    EXPECT_EQ(flatValue(isAnyResultReady, handle), true);
}

TEST_F(FlatApi, EveryFailureLeavesItsMessageOnItsThread) {
    // A thread that never failed reads "", through any handle.
    std::thread([] {
        const char* message = nullptr;
        EXPECT_EQ(getLastErrorMessage(reinterpret_cast<PowerModuleHandle>(0x10), &message), 0);
        EXPECT_STREQ(message, "");
    }).join();

    // Refused calls touch no out-parameter and no queue.
    unsigned char phases = 77;
    EXPECT_EQ(said(getPhasesCount(nullptr, &phases)), std::make_tuple(1, "null module handle"));
    EXPECT_EQ(phases, 77);
    EXPECT_EQ(flatValue(getRvcEnabled, handle), false);  // a success keeps the message
    EXPECT_EQ(lastMessage(), "null module handle");
    // Its own failure counts too.
    EXPECT_EQ(said(getLastErrorMessage(handle, nullptr)), std::make_tuple(1, "null out-parameter or array"));
    int count = 5;
    PowerResultsGeneral results[2];
    // A reset queues a window.
    EXPECT_EQ((Statuses{getVersionString(nullptr), powerModule_destroy(nullptr), reset(handle, 0),
                        getResults(handle, -1, &count, results), getResults(handle, 2, nullptr, results),
                        getPeriodResults(handle, &count, nullptr, nullptr), count}),
              (Statuses{1, 0, 0, 1, 1, 1, 5}));
    EXPECT_TRUE(module().isAnyResultReady());

    // A call the module rejects: a sample-index divisor of 0.
    ASSERT_EQ(setPeriodValuesEnabled(handle, true), 0);
    EXPECT_EQ(said(setSampleRate(handle, 1000.0, 0)),
              std::make_tuple(1, "setSampleRate: the sample index divisor must be at least 1, not 0"));

    // Another thread's failure does not touch this thread's message.
    std::thread([] { EXPECT_EQ(setRvcEnabled(nullptr, true), 1); }).join();
    EXPECT_EQ(lastMessage(), "setSampleRate: the sample index divisor must be at least 1, not 0");
}

// The signalling frequencies and voltages through the flat interface: set,
// read back, refused when not positive and finite or when they do not fit.
TEST_F(FlatApi, SignallingFrequenciesAndVoltages) {
    const double frequencies[] = {316.67, 1060.0};
    double out[3] = {0.0, 0.0, 0.0};
    int count = -1;
    EXPECT_EQ(setSignallingFrequencies(handle, frequencies, 2), 0);
    EXPECT_EQ(getSignallingFrequencies(handle, 3, &count, out), 0);
    EXPECT_EQ(std::make_tuple(count, out[0], out[1]), std::make_tuple(2, 316.67, 1060.0));
    count = -1;
    EXPECT_EQ(getSignallingFrequencies(handle, 1, &count, out), 2);  // too small: nothing written
    EXPECT_EQ(count, -1);
    const double bad[] = {316.67, -5.0};
    EXPECT_EQ(said(setSignallingFrequencies(handle, bad, 2)),
              std::make_tuple(1, "setSignallingFrequencies: a signalling frequency must be positive and finite, not -5"));
    EXPECT_EQ((Statuses{setSignallingFrequencies(handle, nullptr, 1), setSignallingFrequencies(handle, frequencies, -1),
                        getSignallingVoltages(handle, -1, &count, out), getSignallingVoltages(handle, 0, nullptr, out)}),
              (Statuses{1, 1, 1, 1}));
    EXPECT_EQ(module().getSignallingFrequencies(), std::vector<double>({316.67, 1060.0}));
    // No windows fetched yet: no voltages.
    EXPECT_EQ(getSignallingVoltages(handle, 0, &count, nullptr), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(setSignallingFrequencies(handle, nullptr, 0), 0);
    EXPECT_TRUE(module().getSignallingFrequencies().empty());
}

TEST_F(FlatApi, PeriodValuesSetUpInAnyOrderNeverGetStuck) {
    // The buffer length at the default sample rate of 1 Hz: a results ring of
    // 5.6 million entries would be meant for nobody, so it is not requested.
    ASSERT_EQ((Statuses{setPeriodValuesEnabled(handle, true), setBufferLength(handle, 102400)}), Statuses(2));
    EXPECT_EQ(implOf(module()).buffers.periodResultsBuffer.hostBuffer, nullptr);
    EXPECT_EQ((Statuses{reset(handle, 0), scheduleSegment(handle, 0, 1000)}), (Statuses{0, 1}));
    EXPECT_PRED2(says, lastMessage(), "set the sample rate");
    int count = 0;
    bool more = false;
    PowerResultsPeriod* records = nullptr;
    EXPECT_EQ(getPeriodResults(handle, &count, &more, &records), 1);
    EXPECT_PRED2(says, lastMessage(), "set the sample rate");

    // The sample rate makes the settings fit: everything works from there.
    ASSERT_EQ((Statuses{setSampleRate(handle, 10240.0, 1), reset(handle, 0)}), Statuses(2));
    // 1000 positions hold four 50 Hz cycles of 204.8.
    EXPECT_EQ((Statuses{scheduleSegment(handle, 0, 1000), getPeriodResults(handle, &count, &more, &records), count}),
              (Statuses{0, 0, 4}));
}

TEST_F(FlatApi, AStorageFailureIsNamedAndTheNextFittingSettingRecovers) {
    // Three phases at 55 Hz: ring entries of 4 records, one entry per position,
    // so 3 million positions ask for 4.6 GB of results ring.
    ASSERT_EQ((Statuses{setGridConfigType(handle, ThreePhaseStar), setCurrentEnabled(handle, false),
                        setSampleRate(handle, 55.0, 1), setPeriodValuesEnabled(handle, true),
                        setBufferLength(handle, 1000)}),
              Statuses(5));
    // A refused setter changes nothing: the buffer length before it comes
    // back, laid out again.
    EXPECT_EQ(setBufferLength(handle, 3000000), 1);
    EXPECT_PRED2(says, lastMessage(), "reduce the buffer length");
    EXPECT_EQ(module().getBufferLength(), 1000u);
    float* ring = nullptr;
    EXPECT_EQ(getWaveformBufferUInput(handle, 0, &ring), 0);
    EXPECT_NE(ring, nullptr);
    // At a sample rate that fits, the same length is laid out.
    EXPECT_EQ((Statuses{setSampleRate(handle, 10240.0, 1), setBufferLength(handle, 3000000)}), Statuses(2));
    EXPECT_EQ(implOf(module()).buffers.getPeriodResultsBufferLength(), 16114u);
}

}  // namespace
