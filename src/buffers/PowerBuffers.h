// PowerBuffers: the ten sample and result buffers of one module, with the
// buffer length and duration the caller sets and the result counts derived
// from them.
//
// initialize() lays out and sizes the waveform, period tracking and period
// results buffers from the configuration. The general results buffer gets its
// item 0 at construction and no storage; the six windowed buffers are
// declared with their capacities and stay empty until a windowed calculation
// stage gives them items and storage (addFftItems, addHarmonicItems,
// addSymmetricItems and generalResultsBufferLength slots).
//
// The waveform and period tracking rings are zeroed whenever they get new
// storage: a position the caller has not written reads as 0. Storage kept
// across an initialisation keeps its contents.
//
// With windowed results enabled (PowerConfig::windowedResultsEnabled),
// initialize() also gives the windowed buffers what the enabled switches need:
// the waveform rings of the voltages, currents and line-to-line voltages even
// without period values; generalResultsBufferLength raw records; harmonic
// items of every enabled group (distortion records for groups 0-17 when THD is
// enabled) in a ring of (generalResultsBufferLength + 2) x harmonicsReserve
// elements per item, harmonicsReserve being the longest harmonic array of a
// window; spectra (full FFT with static frequency only) in a ring of
// (generalResultsBufferLength + 2) x (maxWindowFftLength / 2 + 1) bins per item;
// the symmetric buffers with symmetrical components. Each scheduled window's
// arrays follow the previous window's, so that as many windows as there are
// raw records can wait for getResults without the rings coming round to them.
// Switched off again, the windowed buffers lose their items and storage; a
// module that never enabled it keeps them as before (empty).
//
// Result counts: generalResultsBufferLength and periodResultsBufferLength are
// never 0. A configuration that would make either quotient zero, negative,
// infinite or undefined (periodCount 0, an advance of 0 or less from an
// overlap of 100 % or more or 0 half periods, a zero duration or frequency)
// holds the length at 1, so the ring arithmetic that takes indices modulo
// these lengths is always defined; a finite quotient beyond 32 bits is held at
// the largest 32-bit count (the storage request for it then fails with
// std::bad_alloc).
//
// Sizes that cannot be meant are not requested: with period values enabled, a
// period results ring of more entries than the waveform ring has positions
// plus one (a sample rate below the highest frequency divided by the advance
// between period values, typically the default 1 Hz while the settings are
// changed one by one outside an update bracket) is left without storage and
// periodResultsRingDeferred is set; the module refuses period operations
// with a message until the settings fit. In the same way, with windowed
// results enabled, a general results ring of more entries than
// bufferLength / 8 + 1 (windows at the highest frequency shorter than 8
// samples, which scheduling refuses) leaves the windowed buffers without
// items or storage and sets windowedResultsDeferred: the default 1 Hz with
// a buffer length of 131072 would otherwise ask for 2.6 GB of records. An initialisation that fails leaves
// the three period buffers and the windowed buffers without items or storage
// (the general results buffer keeps its item 0), so that no derived length
// or item map of the failed layout describes storage that is not there; when
// storage could not be allocated it throws a std::bad_alloc that names the
// buffer length, anything else passes through as it is.
#ifndef POWERQUALITY_BUFFERS_POWERBUFFERS_H
#define POWERQUALITY_BUFFERS_POWERBUFFERS_H

#include <complex>

#include "buffers/GpuBuffer.h"
#include "config/PowerConfig.h"
#include "powerquality/Export.h"
#include "powerquality/PowerResults.h"

class POWERQUALITY_API PowerBuffers {
public:
    explicit PowerBuffers(PowerConfig& config);
    ~PowerBuffers();
    PowerBuffers(const PowerBuffers&) = delete;
    PowerBuffers& operator=(const PowerBuffers&) = delete;

    // Records both values; they take effect at the next initialize().
    void setBufferLengthAndDuration(unsigned int length, double duration);
    void initialize();
    unsigned int getBufferLength() const;
    unsigned int getGeneralResultsBufferLength() const;
    unsigned int getPeriodResultsBufferLength() const;

    PowerConfig& config;
    unsigned int bufferLength;
    double bufferDuration;
    unsigned int generalResultsBufferLength;
    unsigned int periodResultsBufferLength;
    unsigned int staticFftLength;   // FFT length of a window at static frequency, set by initialize()
    unsigned int harmonicsReserve;  // set by no operation of the library
    unsigned int recordsPerPeriodItem;  // phasesCount + 1 once period values were enabled
    // True while period values are enabled but the results ring is not
    // requested because it would have more entries than bufferLength + 1 (see
    // the header comment).
    bool periodResultsRingDeferred;
    // True while windowed results are enabled but their buffers are not
    // requested because the results ring would have more entries than
    // bufferLength / 8 + 1: a window of periodCount cycles at the highest
    // frequency would span fewer than the 8 samples a window needs (the
    // default 1 Hz sample rate while the settings are changed one by one).
    bool windowedResultsDeferred;
    // Longest FFT of a window the windowed buffers are sized for: getMaxFftLength()
    // of the configuration, at most the power of two above bufferLength; 0
    // while windowed results are off.
    unsigned int maxWindowFftLength;

    GpuBuffer<float> waveformBuffer;                         // items 0-2 U star, 3-5 I, 6-8 U delta
    GpuBuffer<float> fftInputBuffer;
    GpuBuffer<std::complex<float>> spectrumBuffer;
    GpuBuffer<float> harmonicsBuffer;                        // 39 items, 3 per group
    GpuBuffer<PowerResultsThd> thdBuffer;
    GpuBuffer<double> symmetricMagnitudeBuffer;
    GpuBuffer<std::complex<double>> symmetricPhasorBuffer;
    GpuBuffer<PowerResultsGeneral> generalResultsBuffer;
    GpuBuffer<PowerResultsPeriod> periodResultsBuffer;
    GpuBuffer<double> periodTrackingBuffer;                  // 0 frequency, 1 phasor (2 slots), 2 flag

private:
    friend struct PowerBuffersTestAccess;  // tests give the windowed buffers items through it
    void layOut();
    void releaseLaidOutBuffers();
    void addFftItems(unsigned short first, unsigned short count);
    void addHarmonicItems(unsigned short first, unsigned short count, bool unused);
    void addSymmetricItems(unsigned short first);
    void layOutWindowedBuffers();
    // Drops the items of the six windowed buffers (their storage stays).
    void clearWindowedItems();
    bool windowedLayout;  // the windowed buffers were laid out by the last initialize()
};

#endif
