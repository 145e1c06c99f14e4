#include "ModuleTest.h"

namespace {

// A configuration and the buffers it lays out.
struct PowerBuffersTest : testing::Test {
    void layOut(unsigned int length, double seconds) {
        buffers.setBufferLengthAndDuration(length, seconds);
        buffers.initialize();
    }
    PowerConfig config;
    PowerBuffers buffers{config};
};

TEST_F(PowerBuffersTest, ResultLengthsRoundUpAtTheHighestFrequency) {
    buffers.initialize();
    // 1 s x 55.00000000000001 Hz: 6 windows of 10 periods, 56 period items.
    EXPECT_EQ(std::make_tuple(buffers.getGeneralResultsBufferLength(), buffers.getPeriodResultsBufferLength()),
              std::make_tuple(6u, 56u));
    config.periodValuesOverlapInPercent = 50;
    buffers.initialize();
    EXPECT_EQ(buffers.getPeriodResultsBufferLength(), 111u);  // ceil(110.00000000000003)

    // Quotients of 0, infinity or not a number still give rings of one entry.
    const double cases[][4] = {{0, 2, 0, 1.0}, {10, 2, 100, 1.0}, {10, 0, 0, 1.0},
                               {10, 2, 0, 0.0}, {10, 2, 150, 1.0}, {10, 2, 100, 0.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c[0] << " periods, " << c[1] << " half periods, " << c[2] << " %, " << c[3]);
        config.periodCount = static_cast<unsigned short>(c[0]);
        config.halfPeriodValuesCount = static_cast<unsigned short>(c[1]);
        config.periodValuesOverlapInPercent = static_cast<unsigned short>(c[2]); config.periodValuesEnabled = true;
        layOut(100, c[3]);
        EXPECT_EQ(buffers.getGeneralResultsBufferLength(), c[0] == 0 || c[3] == 0.0 ? 1u : 6u);
        EXPECT_GE(buffers.getPeriodResultsBufferLength(), 1u);
        EXPECT_EQ(buffers.periodResultsBuffer.hostAllocatedBytes,  // single phase: total and phase
                  buffers.getPeriodResultsBufferLength() * 2u * sizeof(PowerResultsPeriod));
    }
}

TEST_F(PowerBuffersTest, WaveformSlotsFollowTheEnabledGroups) {
    config.gridConfigType = ThreePhaseStar;
    config.periodValuesEnabled = true;
    layOut(1000, 0.1);
    GpuBuffer<float>& waveforms = buffers.waveformBuffer;
    EXPECT_EQ(waveforms.getHostItemsList(), (Items{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(std::make_tuple(waveforms.getHostBuffer(4), waveforms.getHostBuffer(6)),
              std::make_tuple(waveforms.hostBuffer + 4000, static_cast<float*>(nullptr)));

    // Without currents the line-to-line group follows the phase voltages.
    config.currentEnabled = false; config.lineToLineResultsEnabled = true;
    buffers.initialize();
    EXPECT_EQ(waveforms.getHostItemsList(), (Items{0, 1, 2, 6, 7, 8}));
    EXPECT_EQ(waveforms.getHostBuffer(6), waveforms.hostBuffer + 3000);

    // Line-to-line results off again: items 6-8 vanish and the storage shrinks.
    config.lineToLineResultsEnabled = false;
    buffers.initialize();
    EXPECT_EQ(std::make_tuple(waveforms.getHostBuffer(6), waveforms.hostAllocatedBytes),
              std::make_tuple(static_cast<float*>(nullptr), 3000u * sizeof(float)));

    // A new length waits for initialize; initialising at an unchanged size
    // keeps the storage and its samples (a freed and reused block would lose
    // its first bytes).
    float* before = waveforms.hostBuffer;
    before[0] = 7.0f;
    buffers.setBufferLengthAndDuration(2000, 0.2);
    EXPECT_EQ(waveforms.getLength(), 1000u);
    layOut(1000, 0.1);
    EXPECT_EQ(std::make_tuple(waveforms.hostBuffer, waveforms.hostBuffer[0]), std::make_tuple(before, 7.0f));
}

TEST_F(PowerBuffersTest, PeriodStorageOnlyWithPeriodValues) {
    config.gridConfigType = ThreePhaseStar;
    layOut(500, 0.05);
    EXPECT_TRUE(buffers.waveformBuffer.hostBuffer == nullptr && buffers.periodTrackingBuffer.hostBuffer == nullptr &&
                buffers.periodResultsBuffer.hostBuffer == nullptr);
    config.periodSymmetricalComponentsEnabled = true;  // alone, with three phases
    buffers.initialize();
    EXPECT_NE(buffers.waveformBuffer.hostBuffer, nullptr);
    config.periodSymmetricalComponentsEnabled = false;

    // Fundamental period values alone: tracking items 0, 1 (twice) and 2, and
    // 4 records (total and three phases) per period item.
    config.fundamentalPeriodValuesEnabled = true;
    buffers.initialize();
    const unsigned int ring = buffers.getPeriodResultsBufferLength();
    EXPECT_EQ(ring, 3u);  // ceil(0.05 x 55.00000000000001)
    EXPECT_EQ(buffers.periodResultsBuffer.hostAllocatedBytes, 4u * ring * sizeof(PowerResultsPeriod));
    GpuBuffer<double>& tracking = buffers.periodTrackingBuffer;
    EXPECT_EQ(std::make_tuple(tracking.hostElementsCount, tracking.getHostBuffer(1), tracking.getHostBuffer(2)),
              std::make_tuple(4u * 500, tracking.hostBuffer + 500, tracking.hostBuffer + 1500));
}

TEST_F(PowerBuffersTest, WindowedItemsFollowTheSwitches) {
    // Three phases without currents, inter-harmonics, THD up to order 40 and
    // symmetrical components; 6 windows in the results ring.
    config.gridConfigType = ThreePhaseStar; config.sampleRate = 10240.0; config.currentEnabled = false;
    config.windowedResultsEnabled = config.interHarmonicsEnabled = config.thdEnabled = true;
    config.symmetricalComponentsEnabled = true;
    layOut(10240, 1.0);
    // Harmonics and inter-harmonics of the voltages with their distortion
    // records, then the voltage group without them; nothing of the currents.
    EXPECT_EQ(buffers.harmonicsBuffer.getHostItemsList(), (Items{0, 1, 2, 9, 10, 11, 30, 31, 32}));
    EXPECT_EQ(buffers.thdBuffer.getHostItemsList(), (Items{0, 1, 2, 9, 10, 11}));
    EXPECT_EQ(buffers.symmetricPhasorBuffer.getHostItemsList(), (Items{0, 1, 2}));
    EXPECT_EQ(buffers.harmonicsBuffer.getLength(), (6u + 2u) * 41u);  // orders 0-40 per window, two spare windows

    // Items added one group at a time follow the THD and full FFT switches.
    PowerConfig bare;
    PowerBuffers added(bare);
    PowerBuffersTestAccess::addHarmonicItems(added, 0, 3);
    EXPECT_EQ(added.thdBuffer.getHostItemsCount(), 0u);
    bare.thdEnabled = true;
    PowerBuffersTestAccess::addHarmonicItems(added, 3, 3);
    EXPECT_EQ(added.thdBuffer.getHostItemsList(), (Items{3, 4, 5}));
    PowerBuffersTestAccess::addFftItems(added, 0, 3);
    EXPECT_EQ(added.spectrumBuffer.getHostItemsCount(), 0u);  // device only
    bare.fullFftEnabled = true;
    PowerBuffersTestAccess::addFftItems(added, 3, 1);
    EXPECT_EQ(added.spectrumBuffer.getHostItemsList(), (Items{3}));
}

}  // namespace
