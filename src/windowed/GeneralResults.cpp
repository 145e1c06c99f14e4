// Holds operations of PowerModule::PowerModuleImpl, so it includes module/PowerModuleImpl.h from this folder.
// The finishing stage of windowed (general) results: raw per-window data that
// a windowed calculation stage leaves in the buffer set (sums over the
// window's samples, harmonic and spectrum arrays, raw distortion sums,
// sequence phasors) becomes one PowerResultsGeneral per window.
//
// Raw contract, per window slot s = window index % generalResultsBufferLength:
// the raw record of generalResultsBuffer slot s holds, in phase block p,
// sums over the window (offsets of the phase block): 0 voltage, 8 current,
// 16 line-to-line, 24/32/40 their squares, 48 voltage x current, 56/64/72
// spectrum square sums, 104 spectrum active power, 112 spectrum reactive
// power. Harmonic arrays are block-interleaved in harmonicsBuffer at the
// window's first harmonic index, with at least two elements; raw distortion
// sums and sequence phasors and magnitudes are addressed by slot.
//
// Nothing is read outside a buffer's storage: a window whose raw record has
// no storage (as the window that reset queues while no calculation stage
// fills the buffers) yields no record and is consumed; a harmonic, spectrum,
// distortion or sequence block that is absent reads as null pointers and zero
// values. Every record starts from zero bytes, so the fields the
// configuration does not produce read 0.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "maths/NumericPolicy.h"
#include "module/PowerModuleImpl.h"
#include "maths/PowerSymmetricalComponents.h"
#include "windowed/WindowedCalculation.h"

namespace {

// The block at firstIndex of one item, or null when the item is absent or the
// block is not inside the storage.
template <typename T>
T* blockAt(GpuBuffer<T>& buffer, unsigned int firstIndex, unsigned int blockLength, unsigned short item) {
    const uint64_t slots = buffer.getHostItemsCount();
    if (buffer.hostBuffer == nullptr || slots == 0 ||
        slots * (static_cast<uint64_t>(firstIndex) + blockLength) > buffer.hostElementsCount) {
        return nullptr;
    }
    // Looked up by its slot, item 0 too: a stage that lays out other items
    // alone puts one of them in the first slot.
    const short slot = buffer.items.getHostItemIndex(item);
    if (slot < 0) {
        return nullptr;
    }
    return buffer.hostBuffer + (slots * firstIndex + static_cast<uint64_t>(slot) * blockLength);
}

// Element 1 (the fundamental) of a harmonic array, widened to double.
double fundamentalOf(const float* harmonics, unsigned int harmonicLength) {
    return (harmonics != nullptr && harmonicLength >= 2) ? static_cast<double>(harmonics[1]) : 0.0;
}

// √max(a² − b², 0); a NaN passes through, as in the period values.
double rootOfDifference(double a, double b) { return powerquality::nonNegativeRoot(a * a - b * b); }

}  // namespace

void PowerModule::PowerModuleImpl::calculateThd(PowerResultsThd& result, double fundamental, double rms,
                                                unsigned short item, unsigned int index) {
    const PowerResultsThd* raw = blockAt(buffers.thdBuffer, index, 1, item);
    const PowerResultsThd zero{};
    if (raw == nullptr) {
        raw = &zero;
    }
    const double kF = fundamental > 0.0 ? 100.0 / fundamental : 0.0;
    const double kR = rms > 0.0 ? 100.0 / rms : 0.0;
    const double h = std::sqrt(raw->thd);
    result.harmonicContent = h;
    result.thdRms = h * kR;
    result.thd = h * kF;
    result.partialThd1 = std::sqrt(raw->partialThd1) * kF;
    result.partialThd2 = std::sqrt(raw->partialThd2) * kF;
    result.partialThd3 = std::sqrt(raw->partialThd3) * kF;
    result.partialThd4 = std::sqrt(raw->partialThd4) * kF;
    const double d = rootOfDifference(rms, fundamental);
    result.distortionContent = d;
    result.totalDistortion = d * kF;
}

bool PowerModule::PowerModuleImpl::finishWindow(const PowerResultsQueueItem& item, PowerResultsGeneral& record) {
    const unsigned int s = static_cast<unsigned int>(item.getIndex() % buffers.getGeneralResultsBufferLength());
    const PowerResultsGeneral* raw = blockAt(buffers.generalResultsBuffer, s, 1, 0);
    if (raw == nullptr) {
        return false;
    }
    const unsigned int N = item.getLength();
    const double n = static_cast<double>(N);
    const unsigned int firstHarmonic = item.getFirstHarmonicSampleIndex();
    const unsigned int harmonicLength = item.getHarmonicLength();
    const unsigned int firstSpectrum = item.getFirstFftOutputSampleIndex();
    const unsigned int spectrumLength = item.getFftOutputLength();
    const unsigned int lineToLineCount = config.getLineToLineCount();
    const unsigned int P = config.getPhasesCount();
    const bool currents = config.currentEnabled;
    const bool interHarmonics = config.interHarmonicsEnabled;
    const bool fullFft = getFullFftEnabled();

    std::memset(static_cast<void*>(&record), 0, sizeof record);
    record.time = static_cast<double>(item.getFirstSampleIndex() + N) / config.sampleRate;
    record.frequency = item.getFrequency();
    record.dFrequency = item.getDFrequency();
    record.firstSampleIndex = item.getFirstSampleIndex();
    record.length = N;
    record.fftOutputLength = spectrumLength;
    record.harmonicLength = harmonicLength;
    record.phasesCount = static_cast<uint8_t>(P);

    auto harmonics = [&](unsigned int k) {
        return blockAt(buffers.harmonicsBuffer, firstHarmonic, harmonicLength, static_cast<unsigned short>(k));
    };
    auto spectrum = [&](unsigned int k) {
        return blockAt(buffers.spectrumBuffer, firstSpectrum, spectrumLength, static_cast<unsigned short>(k));
    };

    PowerResultsGeneralPhase& T = record.phases[P];
    for (unsigned int p = 0; p < P; ++p) {
        PowerResultsGeneralPhase& phase = record.phases[p];
        const PowerResultsGeneralPhase& r = raw->phases[p];
        const bool lineToLine = config.lineToLineResultsEnabled && p < lineToLineCount;

        phase.dcVoltage = r.dcVoltage / n;
        phase.rmsVoltage = std::sqrt(r.rmsVoltage / n);
        phase.spectrumRmsVoltage = std::sqrt(r.spectrumRmsVoltage);
        if (lineToLine) {
            phase.dcLineToLine = r.dcLineToLine / n;
            phase.rmsLineToLine = std::sqrt(r.rmsLineToLine / n);
            phase.spectrumRmsLineToLine = std::sqrt(r.spectrumRmsLineToLine);
        }
        if (currents) {
            phase.dcCurrent = r.dcCurrent / n;
            phase.rmsCurrent = std::sqrt(r.rmsCurrent / n);
            phase.spectrumRmsCurrent = std::sqrt(r.spectrumRmsCurrent);
            phase.apparentPower = phase.spectrumRmsVoltage * phase.spectrumRmsCurrent;
            phase.activePower = r.activePower / n;
            phase.spectrumActivePower = r.spectrumActivePower;
            phase.reactivePower = r.nonActivePower;  // raw reactive power sits at offset 112
            phase.nonActivePower = rootOfDifference(phase.apparentPower, phase.spectrumActivePower);
            phase.powerFactor = phase.apparentPower > 0.0 ? phase.spectrumActivePower / phase.apparentPower : 0.0;
            phase.impedance = phase.rmsCurrent > 0.001 ? phase.rmsVoltage / phase.rmsCurrent : 0.0;
        }

        phase.spectrumVoltage = fullFft ? spectrum(p) : nullptr;
        phase.spectrumCurrent = (fullFft && currents) ? spectrum(p + 3) : nullptr;
        phase.spectrumLineToLine = (fullFft && config.lineToLineResultsEnabled) ? spectrum(p + 6) : nullptr;

        phase.harmonicsVoltage = harmonics(p);
        phase.harmonicAnglesVoltage = harmonics(p + 30);
        phase.harmonicsLineToLine = harmonics(p + 6);
        phase.fundamentalVoltage = fundamentalOf(phase.harmonicsVoltage, harmonicLength);
        if (lineToLine) {
            phase.fundamentalLineToLine = fundamentalOf(phase.harmonicsLineToLine, harmonicLength);
        }
        if (interHarmonics) {
            phase.interHarmonicsVoltage = harmonics(p + 9);
            phase.interHarmonicsLineToLine = harmonics(p + 15);
        }
        if (currents) {
            phase.harmonicsCurrent = harmonics(p + 3);
            phase.harmonicAnglesCurrent = harmonics(p + 33);
            phase.harmonicsActivePower = harmonics(p + 18);
            phase.harmonicsReactivePower = harmonics(p + 21);
            phase.harmonicsApparentPower = harmonics(p + 24);
            phase.harmonicsAux = harmonics(p + 27);
            if (interHarmonics) {
                phase.interHarmonicsCurrent = harmonics(p + 12);
            }
            phase.fundamentalCurrent = fundamentalOf(phase.harmonicsCurrent, harmonicLength);
            phase.fundamentalActivePower = fundamentalOf(phase.harmonicsActivePower, harmonicLength);
            phase.fundamentalReactivePower = fundamentalOf(phase.harmonicsReactivePower, harmonicLength);
            phase.fundamentalApparentPower = fundamentalOf(phase.harmonicsApparentPower, harmonicLength);
            phase.fundamentalAux = fundamentalOf(phase.harmonicsAux, harmonicLength);
            // The angle difference is formed in single precision, as the
            // angles are stored.
            const float currentAngle = static_cast<float>(fundamentalOf(phase.harmonicAnglesCurrent, harmonicLength));
            const float voltageAngle = static_cast<float>(fundamentalOf(phase.harmonicAnglesVoltage, harmonicLength));
            const float difference = currentAngle - voltageAngle;
            phase.displacementPowerFactor = std::cos(static_cast<double>(difference) * 0.017453292519943295);
            phase.distortionPowerQ1 = rootOfDifference(phase.nonActivePower, phase.fundamentalReactivePower);
            phase.distortionPower = rootOfDifference(phase.nonActivePower, phase.reactivePower);
        }

        if (config.thdEnabled) {
            calculateThd(phase.thdVoltage, phase.fundamentalVoltage, phase.rmsVoltage, static_cast<unsigned short>(p), s);
            if (lineToLine) {
                calculateThd(phase.thdLineToLine, phase.fundamentalLineToLine, phase.rmsLineToLine,
                             static_cast<unsigned short>(p + 6), s);
            }
            if (interHarmonics) {
                calculateThd(phase.thdInterVoltage, phase.fundamentalVoltage, phase.rmsVoltage,
                             static_cast<unsigned short>(p + 9), s);
                if (lineToLine) {
                    calculateThd(phase.thdInterLineToLine, phase.fundamentalLineToLine, phase.rmsLineToLine,
                                 static_cast<unsigned short>(p + 15), s);
                }
            }
            if (currents) {
                calculateThd(phase.thdCurrent, phase.fundamentalCurrent, phase.rmsCurrent,
                             static_cast<unsigned short>(p + 3), s);
                phase.harmonicCurrentContent = phase.thdCurrent.harmonicContent;
                if (interHarmonics) {
                    calculateThd(phase.thdInterCurrent, phase.fundamentalCurrent, phase.rmsCurrent,
                                 static_cast<unsigned short>(p + 12), s);
                }
            }
        }

        if (P > 1) {
            T.dcVoltage += phase.dcVoltage / P;
            T.rmsVoltage += phase.rmsVoltage / P;
            T.spectrumRmsVoltage += phase.spectrumRmsVoltage / P;
            T.fundamentalVoltage += phase.fundamentalVoltage / P;
            if (lineToLine) {
                T.dcLineToLine += phase.dcLineToLine / lineToLineCount;
                T.rmsLineToLine += phase.rmsLineToLine / lineToLineCount;
                T.spectrumRmsLineToLine += phase.spectrumRmsLineToLine / lineToLineCount;
                T.fundamentalLineToLine += phase.fundamentalLineToLine / lineToLineCount;
            }
            if (currents) {
                T.dcCurrent += phase.dcCurrent / P;
                T.rmsCurrent += phase.rmsCurrent / P;
                T.spectrumRmsCurrent += phase.spectrumRmsCurrent / P;
                T.fundamentalCurrent += phase.fundamentalCurrent / P;
                T.activePower += phase.activePower;
                T.spectrumActivePower += phase.spectrumActivePower;
                T.apparentPower += phase.apparentPower;
                T.fundamentalActivePower += phase.fundamentalActivePower;
                T.fundamentalApparentPower += phase.fundamentalApparentPower;
                T.reactivePower += phase.reactivePower;
                T.fundamentalReactivePowerSum += phase.fundamentalReactivePower;
            }
        }
    }

    if (P > 1 && currents) {
        T.nonActivePower = rootOfDifference(T.apparentPower, T.spectrumActivePower);
        T.fundamentalReactivePower = rootOfDifference(T.fundamentalApparentPower, T.fundamentalActivePower);
        T.powerFactor = T.apparentPower > 0.0 ? T.spectrumActivePower / T.apparentPower : 0.0;
        T.distortionPowerQ1 = rootOfDifference(T.nonActivePower, T.fundamentalReactivePower);
        T.distortionPower = rootOfDifference(T.nonActivePower, T.reactivePower);
        T.displacementPowerFactor =
            T.fundamentalApparentPower > 0.0 ? T.fundamentalActivePower / T.fundamentalApparentPower : 1.0;
    }

    if (config.areSymmetricalComponentsEnabled()) {
        const std::complex<double>* voltages = blockAt(buffers.symmetricPhasorBuffer, s, 1, 0);
        const std::complex<double>* currentPhasors = blockAt(buffers.symmetricPhasorBuffer, s, 1, 3);
        const double* voltageMagnitudes = blockAt(buffers.symmetricMagnitudeBuffer, s, 1, 0);
        const double* currentMagnitudes = blockAt(buffers.symmetricMagnitudeBuffer, s, 1, 3);
        PowerResultsSymmetricalComponent* components = record.symmetricalComponents;
        for (unsigned int k = 0; k < 3; ++k) {
            components[k].voltage = voltages != nullptr ? voltages[k] : std::complex<double>();
            components[k].current = currentPhasors != nullptr ? currentPhasors[k] : std::complex<double>();
            PowerSymmetricalComponents::calculate(components[k], currents);
            components[k].voltageRms = voltageMagnitudes != nullptr ? std::sqrt(voltageMagnitudes[k]) : 0.0;
            components[k].currentRms = currentMagnitudes != nullptr ? std::sqrt(currentMagnitudes[k]) : 0.0;
        }
        PowerSymmetricalComponents::calculateRatios(components, currents);
    }
    return true;
}

std::vector<PowerResultsGeneral> PowerModule::PowerModuleImpl::getResults(int maxCount) {
    requireLaidOutSettings("getResults", true);
    std::vector<PowerResultsGeneral> results;
    std::lock_guard<std::mutex> lock(resultsMutex);
    lastSignallingVoltages.clear();
    const unsigned int limit = static_cast<unsigned int>(maxCount);
    while ((limit == 0 || results.size() < limit) && !resultsQueue.empty() && resultsQueue.front() &&
           resultsQueue.front()->isResultReady()) {
        const std::shared_ptr<PowerResultsQueueItem> item = resultsQueue.front();
        resultsQueue.pop();
        resultsPosition = item->getNextSampleIndex();
        PowerResultsGeneral record;
        if (finishWindow(*item, record)) {
            results.push_back(record);
            if (windowedCalculation) {
                const std::vector<double>& values = windowedCalculation->signallingVoltages(
                    static_cast<unsigned int>(item->getIndex() % buffers.getGeneralResultsBufferLength()));
                lastSignallingVoltages.insert(lastSignallingVoltages.end(), values.begin(), values.end());
            }
        }
    }
    return results;
}
