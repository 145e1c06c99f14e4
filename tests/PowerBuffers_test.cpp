#include "buffers/PowerBuffers.h"

#include <gtest/gtest.h>

#include <vector>

#include "TestAccess.h"

namespace {

using Items = std::vector<unsigned short>;

TEST(PowerBuffers, ResultLengthsRoundUpAtTheHighestFrequency) {
    PowerConfig config;
    PowerBuffers buffers(config);
    buffers.initialize();
    // 1 s x 55.00000000000001 Hz: 6 windows of 10 periods, 56 period items.
    EXPECT_EQ(buffers.getGeneralResultsBufferLength(), 6u);
    EXPECT_EQ(buffers.getPeriodResultsBufferLength(), 56u);
    config.periodValuesOverlapInPercent = 50;
    buffers.initialize();
    EXPECT_EQ(buffers.getPeriodResultsBufferLength(), 111u);  // ceil(110.00000000000003)
}

TEST(PowerBuffers, ResultLengthsNeverDropToZero) {
    struct Case {
        const char* what;
        unsigned short periodCount, halfPeriods, overlap;
        double duration;
    };
    const Case cases[] = {{"zero period count", 0, 2, 0, 1.0},
                          {"full overlap", 10, 2, 100, 1.0},
                          {"zero half periods", 10, 0, 0, 1.0},
                          {"zero duration", 10, 2, 0, 0.0},
                          {"negative advance", 10, 2, 150, 1.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PowerConfig config;
        config.periodCount = c.periodCount;
        config.halfPeriodValuesCount = c.halfPeriods;
        config.periodValuesOverlapInPercent = c.overlap;
        config.periodValuesEnabled = true;
        PowerBuffers buffers(config);
        buffers.setBufferLengthAndDuration(100, c.duration);
        buffers.initialize();
        EXPECT_GE(buffers.getGeneralResultsBufferLength(), 1u);
        EXPECT_GE(buffers.getPeriodResultsBufferLength(), 1u);
        EXPECT_EQ(buffers.periodResultsBuffer.hostAllocatedBytes,
                  buffers.getPeriodResultsBufferLength() * 2u * sizeof(PowerResultsPeriod));
    }
}

TEST(PowerBuffers, WaveformSlotsFollowTheEnabledGroups) {
    PowerConfig config;
    config.gridConfigType = ThreePhaseStar;
    config.periodValuesEnabled = true;
    PowerBuffers buffers(config);
    buffers.setBufferLengthAndDuration(1000, 0.1);
    buffers.initialize();
    GpuBuffer<float>& waveforms = buffers.waveformBuffer;
    EXPECT_EQ(waveforms.getHostItemsList(), (Items{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(waveforms.hostElementsCount, 6000u);
    EXPECT_EQ(waveforms.getHostBuffer(4), waveforms.hostBuffer + 4000);
    EXPECT_EQ(waveforms.getHostBuffer(6), nullptr);

    // Without currents the line-to-line group follows the phase voltages.
    config.currentEnabled = false;
    config.lineToLineResultsEnabled = true;
    buffers.initialize();
    EXPECT_EQ(waveforms.getHostItemsList(), (Items{0, 1, 2, 6, 7, 8}));
    EXPECT_EQ(waveforms.getHostBuffer(6), waveforms.hostBuffer + 3000);
    EXPECT_EQ(waveforms.getHostBuffer(3), nullptr);

    // Line-to-line results off again: items 6-8 vanish and the storage shrinks.
    config.lineToLineResultsEnabled = false;
    buffers.initialize();
    EXPECT_EQ(waveforms.getHostBuffer(6), nullptr);
    EXPECT_EQ(waveforms.hostAllocatedBytes, 3000u * sizeof(float));
}

TEST(PowerBuffers, PeriodTrackingAndResultsLayout) {
    PowerConfig config;
    config.gridConfigType = ThreePhaseStar;
    config.fundamentalPeriodValuesEnabled = true;
    PowerBuffers buffers(config);
    buffers.setBufferLengthAndDuration(500, 0.05);
    buffers.initialize();
    EXPECT_EQ(buffers.recordsPerPeriodItem, 4u);
    const unsigned int ring = buffers.getPeriodResultsBufferLength();
    EXPECT_EQ(ring, 3u);  // ceil(0.05 x 55.00000000000001)
    EXPECT_EQ(buffers.periodResultsBuffer.hostAllocatedBytes, 4u * ring * sizeof(PowerResultsPeriod));
    GpuBuffer<double>& tracking = buffers.periodTrackingBuffer;
    EXPECT_EQ(tracking.hostElementsCount, 4u * 500);
    EXPECT_EQ(tracking.getHostBuffer(0), tracking.hostBuffer);
    EXPECT_EQ(tracking.getHostBuffer(1), tracking.hostBuffer + 500);
    EXPECT_EQ(tracking.getHostBuffer(2), tracking.hostBuffer + 1500);
}

TEST(PowerBuffers, NoPeriodValuesMeansNoPeriodStorage) {
    PowerConfig config;
    config.gridConfigType = ThreePhaseStar;
    PowerBuffers buffers(config);
    buffers.setBufferLengthAndDuration(1000, 0.1);
    buffers.initialize();
    EXPECT_EQ(buffers.getBufferLength(), 1000u);
    EXPECT_EQ(buffers.waveformBuffer.hostBuffer, nullptr);
    EXPECT_EQ(buffers.periodTrackingBuffer.hostBuffer, nullptr);
    EXPECT_EQ(buffers.periodResultsBuffer.hostBuffer, nullptr);

    // Period symmetrical components alone count on three phases.
    config.periodSymmetricalComponentsEnabled = true;
    buffers.initialize();
    EXPECT_NE(buffers.waveformBuffer.hostBuffer, nullptr);
}

TEST(PowerBuffers, LengthAndDurationWaitForInitialize) {
    PowerConfig config;
    config.periodValuesEnabled = true;
    PowerBuffers buffers(config);
    buffers.setBufferLengthAndDuration(100, 0.01);
    buffers.initialize();
    float* before = buffers.waveformBuffer.hostBuffer;
    before[99] = 7.0f;
    buffers.setBufferLengthAndDuration(200, 0.02);
    EXPECT_EQ(buffers.waveformBuffer.hostBuffer, before);
    EXPECT_EQ(buffers.waveformBuffer.getLength(), 100u);
    // Initialising again with an unchanged size keeps the samples.
    buffers.setBufferLengthAndDuration(100, 0.01);
    buffers.initialize();
    EXPECT_EQ(buffers.waveformBuffer.hostBuffer, before);
    EXPECT_EQ(buffers.waveformBuffer.hostBuffer[99], 7.0f);
}

TEST(PowerBuffers, WindowedItemsAreAddedOnlyOnRequest) {
    PowerConfig config;
    config.thdEnabled = true;
    PowerBuffers buffers(config);
    buffers.initialize();
    EXPECT_EQ(buffers.harmonicsBuffer.getHostItemsCount(), 0u);
    PowerBuffersTestAccess::addFftItems(buffers, 0, 3);
    PowerBuffersTestAccess::addHarmonicItems(buffers, 3, 3);
    PowerBuffersTestAccess::addSymmetricItems(buffers, 3);
    EXPECT_EQ(buffers.fftInputBuffer.getHostItemsCount(), 0u);   // device only
    EXPECT_EQ(buffers.spectrumBuffer.getHostItemsCount(), 0u);   // no full FFT: device only
    EXPECT_EQ(buffers.harmonicsBuffer.getHostItemsList(), (Items{3, 4, 5}));
    EXPECT_EQ(buffers.thdBuffer.getHostItemsList(), (Items{3, 4, 5}));
    EXPECT_EQ(buffers.symmetricPhasorBuffer.getHostItemsList(), (Items{3, 4, 5}));
    EXPECT_EQ(buffers.symmetricMagnitudeBuffer.items.getDevice2HostItems(), (Items{3, 4, 5}));
    config.fullFftEnabled = true;
    PowerBuffersTestAccess::addFftItems(buffers, 3, 1);
    EXPECT_EQ(buffers.spectrumBuffer.getHostItemsList(), (Items{3}));
}

}  // namespace
