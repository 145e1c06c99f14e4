// Holds operations of PowerModule::PowerModuleImpl, so it includes module/PowerModuleImpl.h from this folder.
// Period values of finished period items, and their retrieval from the
// period results ring.
//
// Each ring entry is cleared before it is written, so the fields that the
// configuration does not produce read 0.0 rather than what the entry held
// before (with a single phase the total record, record 0, reads all zero).
//
// Queued items whose ring no longer exists (period values disabled since the
// reset) cannot be calculated: a fetch then discards them and returns none.
// While period values are enabled but have no storage, a fetch fails with the
// module's message; while the buffers are laid out for other settings than
// the current ones (see module/PowerModuleImpl.h), it is refused and the queue
// kept, so that no entry is written with a wiring the ring was not made for.
// An item that spans more positions than the rings hold (a buffer shorter
// than one period value) is dropped with std::invalid_argument by the fetch
// that meets it first.
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "maths/NumericPolicy.h"
#include "module/PowerModuleImpl.h"
#include "maths/PowerSymmetricalComponents.h"

namespace {

// Two doubles added and multiplied lane by lane, each lane rounded as the
// scalar operation is: a phasor's real and imaginary parts in one register.
using Pair = double __attribute__((vector_size(16)));

// Weighted sums over one phase's span. The weight f (the frequency of the
// position) turns the phasor sums into integrals over the tracked phase. The
// phasor sums hold (real, imaginary), the squares (voltage, current), the
// products (voltage times current, line-to-line squared).
struct PhaseSums {
    double wf = 0.0;
    Pair squares = {0.0, 0.0};
    Pair au = {0.0, 0.0};
    Pair products = {0.0, 0.0};
    Pair ai = {0.0, 0.0};
};

// The rings one phase reads; current and line-to-line may be absent.
struct PhaseRings {
    const float* voltage;
    const float* current;
    const float* lineToLine;
};

// The rings every phase reads.
struct TrackingRings {
    const double* frequency;
    const double* phasor;  // (cosine, sine) per position
};

// Adds the positions [begin, end) of the ring with weight w to the sums of
// phases phases, in one pass: frequency and phasor are read once for all of
// them, and the sum of the weighted frequencies, which every phase forms
// alike, is formed once. The optional channels are chosen outside the loop,
// so the loop itself has no branch. The sums run in locals: written through
// the pointer they would be stored on every position, since the compiler
// cannot rule out that they alias the rings. The inner run has w = 1, and a
// product with 1.0 is exact, so `weighted` false only drops multiplications
// that cannot change a bit; for the same reason the line-to-line square takes
// its weight in a product with (1, w) after the pair (u i, d d) is formed.
// The conjugate phasor (re, -im) times x is (x re, -(x im)) to the bit, so
// one product of pairs gives both parts of w u f conj(ph).
template <unsigned phases, bool withCurrent, bool withLineToLine, bool weighted>
void accumulate(PhaseSums* out, const TrackingRings& tracking, const PhaseRings* rings, uint64_t begin,
                uint64_t end, double w) {
    const Pair conjugate = {1.0, -1.0};
    const Pair weight = {w, w};
    const Pair productWeight = {1.0, w};
    PhaseSums sums[phases];
    for (unsigned k = 0; k < phases; ++k) {
        sums[k] = out[k];
    }
    double wf = out[0].wf;
    for (uint64_t j = begin; j < end; ++j) {
        const double f = tracking.frequency[j];
        Pair ph;
        std::memcpy(&ph, tracking.phasor + 2 * j, sizeof ph);
        const Pair conjPh = ph * conjugate;
        wf += weighted ? w * f : f;
#pragma GCC unroll 3
        for (unsigned k = 0; k < phases; ++k) {
            // Voltage and current side by side; without a current its lane
            // carries zeros that no result reads.
            const Pair ui = {rings[k].voltage[j], withCurrent ? rings[k].current[j] : 0.0f};
            const Pair wui = weighted ? weight * ui : ui;
            sums[k].squares += weighted ? weight * (ui * ui) : ui * ui;
            const Pair wuif = wui * Pair{f, f};
            sums[k].au += Pair{wuif[0], wuif[0]} * conjPh;
            if (withCurrent) {
                sums[k].ai += Pair{wuif[1], wuif[1]} * conjPh;
            }
            if (withCurrent || withLineToLine) {
                const double d = withLineToLine ? rings[k].lineToLine[j] : 0.0;
                const Pair product = Pair{wui[0], d} * Pair{ui[1], d};
                sums[k].products += weighted ? productWeight * product : product;
            }
        }
    }
    for (unsigned k = 0; k < phases; ++k) {
        out[k] = sums[k];
        out[k].wf = wf;
    }
}

template <unsigned phases, bool withCurrent, bool withLineToLine>
void accumulateSpan(PhaseSums* sums, const TrackingRings& tracking, const PhaseRings* rings, uint64_t length,
                    uint64_t first, uint64_t last, double firstFraction, double lastFraction) {
    if (first > last) {
        return;
    }
    const uint64_t firstRing = first % length;
    accumulate<phases, withCurrent, withLineToLine, true>(sums, tracking, rings, firstRing, firstRing + 1,
                                                          firstFraction);
    if (first == last) {
        return;
    }
    // Whole positions strictly inside the span, in ring order, split where
    // the ring wraps.
    uint64_t inner = last - first - 1;
    uint64_t j = firstRing + 1 == length ? 0 : firstRing + 1;
    while (inner > 0) {
        const uint64_t run = inner < length - j ? inner : length - j;
        accumulate<phases, withCurrent, withLineToLine, false>(sums, tracking, rings, j, j + run, 1.0);
        inner -= run;
        j = (j + run == length) ? 0 : j + run;
    }
    accumulate<phases, withCurrent, withLineToLine, true>(sums, tracking, rings, j, j + 1, lastFraction);
}

// The sums of `phases` phases that all have a current or all lack one, and
// likewise a line-to-line voltage, in one pass.
template <unsigned phases>
void accumulateAlike(PhaseSums* sums, const TrackingRings& tracking, const PhaseRings* rings, bool withCurrent,
                     bool withLineToLine, uint64_t length, uint64_t first, uint64_t last, double firstFraction,
                     double lastFraction) {
    if (withCurrent && withLineToLine) {
        accumulateSpan<phases, true, true>(sums, tracking, rings, length, first, last, firstFraction, lastFraction);
    } else if (withCurrent) {
        accumulateSpan<phases, true, false>(sums, tracking, rings, length, first, last, firstFraction, lastFraction);
    } else if (withLineToLine) {
        accumulateSpan<phases, false, true>(sums, tracking, rings, length, first, last, firstFraction, lastFraction);
    } else {
        accumulateSpan<phases, false, false>(sums, tracking, rings, length, first, last, firstFraction,
                                             lastFraction);
    }
}

constexpr double pi = 3.141592653589793;

using powerquality::nonNegativeRoot;  // NaN stays NaN, see maths/NumericPolicy.h

}  // namespace

void PowerModule::PowerModuleImpl::calculatePeriodValues(unsigned long long firstSampleIndex,
                                                         unsigned long long lastSampleIndex,
                                                         double firstSampleFraction, double lastSampleFraction,
                                                         double totalLength, PowerResultsPeriod* results) {
    const unsigned int P = config.getPhasesCount();
    const double fs = config.sampleRate;
    const double T = totalLength;
    const uint64_t Lw = buffers.waveformBuffer.getLength();
    const bool currents = config.currentEnabled;
    const bool lineToLine = config.lineToLineResultsEnabled;
    const unsigned int lineToLineCount = config.getLineToLineCount();

    std::memset(static_cast<void*>(results), 0, sizeof(PowerResultsPeriod) * (P + 1));

    const double time = (static_cast<double>(lastSampleIndex) + lastSampleFraction) / fs;
    const double frequency = config.halfPeriodValuesCount * fs * 0.5 / T;

    const TrackingRings tracking = {buffers.periodTrackingBuffer.getHostBuffer(0),
                                    buffers.periodTrackingBuffer.getHostBuffer(1)};
    PhaseRings rings[3] = {};
    bool hasCurrent[3] = {};
    bool hasLineToLine[3] = {};
    bool alike = true;
    for (unsigned int k = 0; k < P; ++k) {
        rings[k].voltage = buffers.waveformBuffer.getHostBuffer(static_cast<unsigned short>(k));
        rings[k].current =
            currents ? buffers.waveformBuffer.getHostBuffer(static_cast<unsigned short>(3 + k)) : nullptr;
        rings[k].lineToLine = buffers.waveformBuffer.getHostBuffer(static_cast<unsigned short>(6 + k));
        hasLineToLine[k] = lineToLine && k < lineToLineCount && rings[k].lineToLine != nullptr;
        hasCurrent[k] = currents && rings[k].current != nullptr;
        alike = alike && hasCurrent[k] == hasCurrent[0] && hasLineToLine[k] == hasLineToLine[0];
    }

    // All phases in one pass where they read the same channels (three phases
    // with three currents, say), each phase on its own otherwise.
    PhaseSums phaseSums[3];
    if (alike && P == 3) {
        accumulateAlike<3>(phaseSums, tracking, rings, hasCurrent[0], hasLineToLine[0], Lw, firstSampleIndex,
                           lastSampleIndex, firstSampleFraction, lastSampleFraction);
    } else {
        for (unsigned int k = 0; k < P; ++k) {
            accumulateAlike<1>(phaseSums + k, tracking, rings + k, hasCurrent[k], hasLineToLine[k], Lw,
                               firstSampleIndex, lastSampleIndex, firstSampleFraction, lastSampleFraction);
        }
    }

    std::vector<std::complex<double>> voltages(P);
    std::vector<std::complex<double>> currentPhasors(P);

    for (unsigned int k = 0; k < P; ++k) {
        PowerResultsPeriod& record = results[k + 1];
        record.time = time;
        record.frequency = frequency;
        const PhaseSums& sums = phaseSums[k];

        const double c = std::sqrt(2.0) / sums.wf;
        const std::complex<double> u1(c * sums.au[0], c * sums.au[1]);
        voltages[k] = u1;
        record.fundamentalVoltage = std::hypot(u1.real(), u1.imag());
        record.rmsVoltage = std::sqrt((1.0 / T) * sums.squares[0]);

        if (currents) {
            const std::complex<double> i1(c * sums.ai[0], c * sums.ai[1]);
            currentPhasors[k] = i1;
            record.fundamentalCurrent = std::hypot(i1.real(), i1.imag());
            record.fundamentalApparentPower = record.fundamentalCurrent * record.fundamentalVoltage;
            record.fundamentalActivePower = i1.real() * u1.real() + i1.imag() * u1.imag();
            record.fundamentalReactivePower = i1.real() * u1.imag() - i1.imag() * u1.real();
            double angle = (std::atan2(u1.imag(), u1.real()) - std::atan2(i1.imag(), i1.real())) * 180.0 / pi;
            if (!(angle > -180.0 && angle <= 180.0)) {
                angle = angle - 360.0 * std::ceil(angle / 360.0 - 0.5);
            }
            record.fundamentalPhaseAngle = angle;
            record.rmsCurrent = std::sqrt(sums.squares[1] / T);
            record.activePower = sums.products[0] / T;
            record.apparentPower = record.rmsCurrent * record.rmsVoltage;
            record.nonActivePower = nonNegativeRoot(record.apparentPower * record.apparentPower -
                                                    record.activePower * record.activePower);
            record.powerFactor = record.apparentPower > 0.0 ? record.activePower / record.apparentPower : 0.0;
        }
        if (lineToLine) {
            record.rmsLineToLine = std::sqrt(sums.products[1] / T);
        }
        if (config.rvcEnabled) {
            rvcPhaseVoltages[k].calculate(record.rmsVoltage, time);
            record.rvcVoltage = rvcPhaseVoltages[k].getCurrentResult();
            if (hasLineToLine[k]) {
                rvcLineToLineVoltages[k].calculate(record.rmsLineToLine, time);
                record.rvcLineToLineVoltage = rvcLineToLineVoltages[k].getCurrentResult();
            }
        }
    }

    if (P <= 1) {
        return;
    }
    PowerResultsPeriod& total = results[0];
    total.time = time;
    total.frequency = frequency;
    for (unsigned int k = 0; k < P; ++k) {
        const PowerResultsPeriod& phase = results[k + 1];
        total.rmsVoltage += phase.rmsVoltage / P;
        total.rmsCurrent += phase.rmsCurrent / P;
        total.rmsLineToLine += phase.rmsLineToLine / P;
        total.fundamentalVoltage += phase.fundamentalVoltage / P;
        total.fundamentalCurrent += phase.fundamentalCurrent / P;
        total.activePower += phase.activePower;
        total.apparentPower += phase.apparentPower;
        total.fundamentalActivePower += phase.fundamentalActivePower;
        total.fundamentalApparentPower += phase.fundamentalApparentPower;
        total.fundamentalReactivePowerSum += phase.fundamentalReactivePower;
    }
    total.powerFactor = total.apparentPower > 0.0 ? total.activePower / total.apparentPower : 0.0;
    total.fundamentalReactivePower =
        nonNegativeRoot(total.fundamentalApparentPower * total.fundamentalApparentPower -
                        total.fundamentalActivePower * total.fundamentalActivePower);
    total.nonActivePower =
        nonNegativeRoot(total.apparentPower * total.apparentPower - total.activePower * total.activePower);
    if (config.rvcEnabled) {
        total.rvcVoltage = rvcPhaseVoltages.getTotalResult();
        if (lineToLine) {
            total.rvcLineToLineVoltage = rvcLineToLineVoltages.getTotalResult();
        }
    }
    if (config.arePeriodSymmetricalComponentsEnabled()) {
        std::vector<std::complex<double>> sequences = PowerSymmetricalComponents::transform(voltages);
        PowerSymmetricalComponents::subtractReference(sequences, voltages[0]);
        for (unsigned int m = 0; m < 3; ++m) {
            results[m].symmetricalComponent.voltage = sequences[m];
        }
        if (currents) {
            std::vector<std::complex<double>> currentSequences = PowerSymmetricalComponents::transform(currentPhasors);
            PowerSymmetricalComponents::subtractReference(currentSequences, voltages[0]);
            for (unsigned int m = 0; m < 3; ++m) {
                results[m].symmetricalComponent.current = currentSequences[m];
            }
        }
        for (unsigned int m = 0; m < 3; ++m) {
            PowerSymmetricalComponents::calculate(results[m].symmetricalComponent, currents);
        }
    }
}

// Period values dropped unfetched (see dropOverwrittenPeriodItems) are
// reported once, by the fetch that follows: it throws before it hands out
// anything, and the next one returns the values after the gap. A value
// longer than the rings is the buffer length's fault (std::invalid_argument),
// one overwritten while it waited the fetching's (std::runtime_error).
void PowerModule::PowerModuleImpl::reportLostPeriodValues(bool* hasMoreResults) {
    if (lostPeriodValues == 0) {
        return;
    }
    const unsigned long long lost = lostPeriodValues;
    const unsigned long long span = lostPeriodSpan;
    const uint64_t length = buffers.periodTrackingBuffer.getLength();
    lostPeriodValues = 0;
    lostPeriodSpan = 0;
    *hasMoreResults = !periodResultsQueue.empty();
    if (span > length) {
        throw std::invalid_argument(std::to_string(lost) + " period value(s) dropped: a period value spans " +
                                    std::to_string(span) + " samples, more than the buffer length of " +
                                    std::to_string(length) + ": set a buffer length of at least one period value");
    }
    throw std::runtime_error(std::to_string(lost) + " period value(s) dropped unfetched: their first samples lay " +
                             "two buffer lengths (" + std::to_string(2 * length) +
                             " samples) or more behind the newest one scheduled; fetch with getPeriodResults at "
                             "least once per buffer length");
}

void PowerModule::PowerModuleImpl::getPeriodResults(int* count, bool* hasMoreResults, PowerResultsPeriod** results) {
    if (count == nullptr || hasMoreResults == nullptr || results == nullptr) {
        throw std::invalid_argument("getPeriodResults: null out-parameter");
    }
    requireLaidOutSettings("getPeriodResults", false);
    if (config.areAnyPeriodValuesEnabled() &&
        (buffers.periodResultsBuffer.hostBuffer == nullptr || buffers.periodTrackingBuffer.hostBuffer == nullptr)) {
        throw missingPeriodStorage();
    }
    *count = 0;
    *hasMoreResults = false;
    reportLostPeriodValues(hasMoreResults);
    if (periodResultsQueue.empty()) {
        return;
    }
    PowerResultsPeriod* ring = buffers.periodResultsBuffer.getHostBuffer(0);
    if (ring == nullptr || buffers.waveformBuffer.hostBuffer == nullptr ||
        buffers.periodTrackingBuffer.hostBuffer == nullptr) {
        while (!periodResultsQueue.empty()) {
            periodResultsQueue.pop();
        }
        return;
    }
    const uint64_t R = buffers.getPeriodResultsBufferLength();
    const unsigned int recordsPerItem = buffers.recordsPerPeriodItem;
    PowerResultsPeriod* entry = ring + (periodResultsQueue.front()->getItemIndex() % R) * recordsPerItem;
    *results = entry;
    while (!periodResultsQueue.empty()) {
        const std::shared_ptr<PowerPeriodResultsQueueItem>& item = periodResultsQueue.front();
        // The entry after the ring's last one is not contiguous with the
        // records handed out so far: stop and let the next fetch start there.
        if (item->getItemIndex() % R == 0 && *count > 0) {
            *hasMoreResults = true;
            return;
        }
        // A span longer than the rings has lost its first positions to its
        // last ones. The values done so far are handed out; the fetch that
        // meets the item first drops it and says so.
        const uint64_t span = item->getLastRequiredSampleIndex() - item->getFirstSampleIndex() + 1;
        if (span > buffers.waveformBuffer.getLength()) {
            if (*count > 0) {
                *hasMoreResults = true;
                return;
            }
            periodResultsQueue.pop();
            throw std::invalid_argument("a period value spans " + std::to_string(span) +
                                        " samples, more than the buffer length of " +
                                        std::to_string(buffers.waveformBuffer.getLength()) +
                                        ": set a buffer length of at least one period value");
        }
        calculatePeriodValues(item->getFirstSampleIndex(), item->getLastRequiredSampleIndex(),
                              item->getFirstSampleFractionToUse(), item->getLastSampleFractionToUse(),
                              item->getTotalLength(), entry);
        *count = *count + 1;
        periodResultsQueue.pop();
        entry += recordsPerItem;
    }
}
