// PowerModule: one independent power-quality measuring module.
//
// Typical use:
//   PowerModule module;
//   module.beginUpdate();                        // batch settings: one initialisation
//   module.setGridConfigType(ThreePhaseStar);
//   module.setSampleRate(10240.0, 1);
//   module.setBufferLength(10240);
//   module.setPeriodValuesEnabled(true);
//   module.endUpdate();                          // initialises once, here
//   module.reset(0);                             // stream starts at position 0
//   float* u0; module.getWaveformBufferUInput(0, &u0);
//   ... write the sample of position p at u0[p % getBufferLength()] ...
//   module.scheduleForPeriodCalculation(...);    // report the tracked frequency
//   module.getPeriodResults(&count, &more, &records);
//
// Every setter stores its value and, outside an update bracket, initialises
// the module at once (two setters do not: setHalfPeriodValuesCount and
// setPeriodValuesOverlapInPercent take effect at the next initialisation or
// reset). Initialisation may give the waveform buffers new storage: pointers
// from the waveform accessors are valid until the next initialisation that
// changes a buffer's byte size.
//
// Every setter checks its value and refuses one that cannot be meant with
// std::invalid_argument (status 1 at the flat interface) whose message
// starts with the setter's name: a sample rate that is not positive and
// finite, a sample-index divisor below 1, frequencies that are not positive
// and finite or a lowest above the highest, a NaN tolerance, a highest
// frequency above half a sample rate the caller has set (the default 1 Hz
// holds nothing back, so settings still come in any order; the default
// frequencies hold no sample rate back either), 0 periods per window or half
// periods per value, an overlap of 100 % or more, a wiring not in the grid
// table, negative harmonic orders, a steady-state length below 1, a negative
// or non-finite RVC threshold or hysteresis. A refused call changes nothing.
// So does one whose initialisation fails (storage that cannot be had): the
// settings before it come back and are laid out again (the rings then get
// fresh, zeroed storage). Valid values behave as they always did.
//
// Failures are exceptions. Null out-parameters are refused with
// std::invalid_argument. While period values are enabled but their buffers
// have no storage (no buffer length yet; a sample rate that does not fit the
// buffer length yet, such as the default 1 Hz while settings are changed one
// by one; or an initialisation that could not allocate),
// scheduleForPeriodCalculation and getPeriodResults throw std::runtime_error
// naming the setting to change; the setter that makes the settings fit
// brings the storage back. The waveform accessors then write a null pointer
// where the rings have no storage at all, and refuse (std::runtime_error)
// while the rings have storage laid out for other settings than the current
// ones: inside an update bracket that changed the wiring, buffer length or
// channels, or after an endUpdate without beginUpdate held such a change
// back (getBufferLength() already reports the new length there).
//
// Missing samples: a NaN sample in a ring makes every period value and
// every window whose span holds it NaN in its channel's RMS values and in
// the powers, distortion and totals that channel enters (in a window also
// the spectrum and distortion of the one channel that shares its transform,
// such as the current of the same phase); power factors over a NaN power
// read 0. The other channels' values stay as they are, and so does every value whose span does not hold
// it (the sums start afresh with each span: nothing is poisoned for later).
// The RVC detectors keep their state while the NaN value is in their window
// (no event starts or ends on it). The module does not mark gaps itself: a
// host that knows where samples are missing marks the values over them.
//
// Threads: settings are changed from one thread and not while calculations or
// fetches of the same module run; the period operations, reset and fetches are
// made from one thread or serialised by the caller. Different modules may be
// used from different threads freely.
#ifndef POWERQUALITY_POWERMODULE_H
#define POWERQUALITY_POWERMODULE_H

#include <vector>

#include "powerquality/Export.h"
#include "powerquality/PowerGridConfig.h"
#include "powerquality/PowerResults.h"

class POWERQUALITY_API PowerModule {
public:
    class PowerModuleImpl;

    PowerModule();
    // The library's version: "major.minor.patch" and major * 10000 + minor * 100 + patch.
    static const char* getVersionString();
    static int getVersionNumber();
    PowerModule(PowerModule&& other) noexcept;
    PowerModule& operator=(PowerModule&& other) noexcept;
    PowerModule(const PowerModule&) = delete;
    PowerModule& operator=(const PowerModule&) = delete;
    ~PowerModule();

    // Update bracket: settings changed inside it initialise the module once,
    // at the outermost endUpdate (which initialises whether or not anything
    // changed). An endUpdate without a matching beginUpdate leaves the count
    // negative; nothing initialises until it is back at 0 (setters still
    // store their values, and the waveform accessors refuse rings that no
    // longer match them).
    void beginUpdate();
    void endUpdate();

    // Settings (defaults in brackets).
    void setGridConfigType(PowerGridConfigType type) const;  // [SinglePhaseDefault]
    // Samples per second [1.0] and the divisor of the caller's sample indices
    // in frequency segments [1]. Keeps the buffer length in samples.
    void setSampleRate(double sampleRate, int sampleIndexDivisor);
    // Samples per waveform channel [0]; the buffers cover length / sampleRate s.
    void setBufferLength(unsigned int length);
    // Nominal frequency in Hz with a relative tolerance, clamped to
    // [0.001, 0.5] [50 Hz, 0.1].
    void setStaticFrequency(double frequency, double tolerance);
    void setVariableFrequency(double minFrequency, double maxFrequency);
    void setPeriodCount(unsigned short count);                   // [10] periods per window
    void setHalfPeriodValuesCount(unsigned short count);         // [2] half periods per period value
    void setPeriodValuesOverlapInPercent(unsigned short percent);  // [0]
    void setPeriodValuesEnabled(bool enabled);
    void setFundamentalPeriodValuesEnabled(bool enabled);
    void setPeriodSymmetricalComponentsEnabled(bool enabled);
    void setCurrentEnabled(bool enabled) const;  // [true]
    void setLineToLineResultsEnabled(bool enabled);
    void setWaveformsEnabled(bool enabled);
    void setInterHarmonicsEnabled(bool enabled);
    void setFullFftEnabled(bool enabled);
    void setThdEnabled(bool enabled);
    void setHighestRequestedHarmonic(int harmonic);  // [1]
    void setThdHighestHarmonic(int harmonic);        // [40]
    void setSymmetricalComponentsEnabled(bool enabled);
    void setRvcEnabled(bool enabled);
    void setRvcSteadyStateLength(int periodValues);        // [100]
    void setRvcThreshold(double percentOfAverage);         // [2.0]
    void setRvcThresholdHysteresis(double percentOfThreshold);  // [50.0]
    // [false] Windowed results computed from the samples: each window given to
    // scheduleForCalculation yields one PowerResultsGeneral from getResults.
    // Off, scheduleForCalculation does nothing and reset queues one window
    // that yields no record.
    void setWindowedResultsEnabled(bool enabled);
    bool getWindowedResultsEnabled() const;
    // [false] Harmonic subgroups (IEC 61000-4-7): every harmonic array of the
    // windowed results (voltages, currents, line-to-line voltages) holds at
    // element h >= 1 the subgroup of order h, the root sum of squares of the
    // centre line h x periodCount and its two neighbours (the centre line
    // alone for windows of fewer than 3 cycles), and the distortion records
    // of these arrays are THDS and its partial sums over the subgroups
    // (IEC 61000-4-30 Class A measures voltage harmonics so). Angles,
    // per-harmonic powers and the inter-harmonic arrays (already centred
    // subgroups) are the same either way. Off, the arrays hold harmonic
    // groups exactly as before. Unlike the other switches it requests no
    // initialisation: it applies from the next window scheduled.
    void setHarmonicSubgroupsEnabled(bool enabled);
    bool getHarmonicSubgroupsEnabled() const;
    // [none] Mains signalling frequencies, Hz, each positive and finite
    // (IEC 61000-4-30 measures 110 Hz to 3 kHz): each window computed then
    // gives, per voltage phase, the RMS value of each from the window's
    // spectrum (lines dFrequency apart): the line the frequency falls on
    // (within 1 % of the spacing), else the root sum of squares of the four
    // lines around it; NaN where one of them is not below half the sample
    // rate. Like the subgroups it requests no initialisation: it applies
    // from the next window scheduled. std::invalid_argument (status 1) for a
    // frequency that is not positive and finite, nothing changed.
    void setSignallingFrequencies(const std::vector<double>& frequencies);
    std::vector<double> getSignallingFrequencies() const;
    // The signalling voltages of the windows the latest getResults returned,
    // volts: window w's, phase p's value of frequency j at
    // (w x phasesCount + p) x F + j, F the number of frequencies set when
    // the window was scheduled (empty without). Ask from the thread that
    // called getResults, before its next call.
    std::vector<double> getSignallingVoltages() const;

    // Queries; none of them initialises or locks.
    unsigned int getBufferLength() const;
    double getSampleRate() const;
    unsigned char getPhasesCount() const;
    unsigned char getVoltagesCount() const;
    unsigned char getCurrentsCount() const;  // 0 with currents disabled
    bool getCurrentEnabled() const;
    bool getFundamentalPeriodValuesEnabled() const;
    bool getInterHarmonicsEnabled() const;
    bool getLineToLineResultsEnabled() const;
    bool getPeriodValuesEnabled() const;
    bool getRvcEnabled() const;
    bool getThdEnabled() const;
    bool getWaveformsEnabled() const;
    bool getFullFftEnabled() const;  // only with static frequency
    bool getSymmetricalComponentsEnabled() const;        // only with exactly 3 phases
    bool getPeriodSymmetricalComponentsEnabled() const;  // only with exactly 3 phases
    unsigned short getHalfPeriodValuesCount();
    unsigned short getPeriodValuesOverlapInPercent();
    int getHighestRequestedHarmonic() const;
    int getThdHighestHarmonic() const;
    int getRvcSteadyStateLength();
    double getRvcThreshold();
    double getRvcThresholdHysteresis();

    // Waveform rings. Channel k (0..2) of a group; the sample of stream
    // position p goes to index p % getBufferLength(). The pointer written is
    // null when the channel does not exist in the configuration, and for a
    // channel index of 3 or more. Voltages are delivered through
    // getWaveformBufferUInput (phase-to-neutral on star wirings, line-to-line
    // on delta wirings), currents through getWaveformBufferI.
    void getWaveformBufferUStar(unsigned char channel, float** buffer) const;
    void getWaveformBufferI(unsigned char channel, float** buffer) const;
    void getWaveformBufferUDelta(unsigned char channel, float** buffer) const;
    void getWaveformBufferUInput(unsigned char channel, float** buffer) const;
    // Device-build counterparts; the host module reads the rings in place, so
    // both do nothing.
    void writeSamples(unsigned int count) const;
    void sync() const;

    // Stream and scheduling.
    void reset(unsigned long long firstSampleIndex) const;
    void skipSamples(unsigned int count) const;
    bool isAnyResultReady() const;
    // With windowed results enabled: the samples of the window that starts at
    // stream position firstSampleIndex and spans periodCount cycles at
    // frequency Hz (positions p with firstSampleIndex <= p < firstSampleIndex +
    // periodCount * sampleRate / frequency) are in the rings. The window is
    // computed at once and queued for getResults; windows are numbered from 0
    // after each reset. Refused with std::invalid_argument before anything is
    // written: no reset yet, periodCount < 1, a frequency that is not finite
    // and positive or leaves fewer than two samples per cycle, a window of
    // fewer than 8 samples, longer than the ring or than the longest FFT the
    // configuration plans for (periodCount cycles at minFrequency), or one
    // whose first samples the ring has overwritten since (it starts more than
    // a ring length before the end of the newest window scheduled). Refused
    // with std::length_error when as many windows as the results ring holds
    // (getGeneralResultsBufferLength) wait for getResults. Off, does nothing.
    void scheduleForCalculation(unsigned long long firstSampleIndex, int periodCount, double frequency) const;
    // Segments follow each other: one that starts a buffer length or more
    // away from where the previous one ended (or from the reset position), or
    // that covers more positions than the buffer length, is refused with
    // std::invalid_argument before anything is written; after lost samples,
    // reset.
    void scheduleForPeriodCalculation(int count, unsigned long long* firstSampleIndices, int* lengths,
                                      double* frequencies, bool* flags) const;

    // Period results: *count items of getPhasesCount() + 1 records each (the
    // total record first) from *results, read in place until the ring comes
    // round to them again; *hasMoreResults when the fetch stopped at the end
    // of the ring. *results is written only when the queue was not empty.
    // A period value that spans more positions than the buffer length cannot
    // be right: the fetch that meets it first drops it and throws
    // std::invalid_argument (values already done in that fetch are handed out
    // first).
    // Period values that are never fetched do not pile up: a finished value
    // whose first position lies two buffer lengths or more behind the newest
    // position scheduled (its samples overwritten twice over) is dropped,
    // and the next fetch throws once (std::runtime_error, status 1) saying
    // how many were lost; the fetch after it hands out the values that
    // follow. A host whose calls each cover at most a buffer length and that
    // fetches after each loses none, so the queue of unfetched values holds
    // at most about twice the values the buffer spans.
    void getPeriodResults(int* count, bool* hasMoreResults, PowerResultsPeriod** results);
    // Windowed results of the ready windows, oldest first, at most maxCount
    // (0: no limit). Each window taken is consumed. The library finishes a
    // window from the raw per-window data of a windowed calculation stage; a
    // window whose raw data has no storage (the window that reset queues
    // while no such stage fills the buffers) yields no record rather than a
    // record of made-up zeros. Fields the configuration does not produce are
    // 0.
    std::vector<PowerResultsGeneral> getResults(int maxCount);

private:
    friend struct PowerModuleTestAccess;  // tests reach the implementation object through it
    PowerModuleImpl* impl;
};

#endif
