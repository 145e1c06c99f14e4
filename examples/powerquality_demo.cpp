// The main job: drives a power module exactly as a host application would and
// prints what it measured.
//
// Without arguments it synthesises ten seconds of a three-phase star grid
// (230 V, 50 Hz drifting slowly between 49.9 and 50.1 Hz, currents of 10 A
// lagging by 30 degrees, 4 % fifth and 2 % seventh voltage harmonic, phase 2
// stepping up by 5 % from t = 4 s to t = 7 s,
// phase 1 dipping to 70 % for 100 ms from t = 2 s). With --csv it reads the
// samples of a recording instead:
//
//   powerquality_demo [--csv FILE --rate HZ [--fixed-frequency HZ | --nominal HZ] [--time]] [OPTIONS]
//
// (--help lists the options: span and overlap of the period values, RVC
// threshold, hysteresis and steady-state length, channel scales, printing or
// writing every period value, the declared voltage of the voltage events.)
//
// The CSV file has one column per channel, optionally preceded by a time
// column (--time) and a header line: 1 column is one voltage, 2 are a voltage
// and a current, 3 are three star voltages, 6 are three star voltages and
// three currents. The frequency is tracked from the first voltage by the
// library's FrequencyTracker (nominal 50 Hz, or --nominal); --fixed-frequency
// forces a fixed frequency instead. The synthetic grid is tracked as well.
//
// Voltage dips, swells and interruptions are reported relative to the declared
// voltage, 230 V for the synthetic grid; for a recording --declared-voltage V
// sets it (phase to neutral), else the RMS value of the first period value is
// taken.
//
// Windowed results (RMS, THD, harmonics) are computed over windows of ten
// cycles of the tracked frequency (twelve at 60 Hz) and printed for every
// tenth window; their RMS voltage and THD are aggregated over 150/180 cycles
// (IntervalAggregator) and printed per interval, the partial last one at the
// end.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "powerquality/FrequencyTracker.h"
#include "powerquality/IntervalAggregator.h"
#include "powerquality/PowerModule.h"
#include "powerquality/VoltageEventDetector.h"

namespace {

constexpr double pi = 3.141592653589793;

// Settings from the command line. The defaults are those of IEC 61000-4-30
// for rapid voltage changes: one-cycle RMS values refreshed every half cycle
// (two half periods, 50 % overlap) and a steady state of the values of one
// second (100 at 50 Hz, 120 at 60 Hz), with the library's threshold (2 % of
// the steady-state mean) and hysteresis (50 % of the threshold).
struct DemoOptions {
    unsigned short halfPeriods = 2;
    unsigned short overlap = 50;         // percent
    double rvcThreshold = 2.0;           // percent of the steady-state mean
    double rvcHysteresis = 50.0;         // percent of the threshold
    int rvcSteadyStateLength = 0;        // period values; 0: those of one second
    double voltageScale = 1.0;           // CSV value times this gives volts
    double currentScale = 1.0;           // CSV value times this gives amperes
    bool printAll = false;               // print every period value
    std::string writeFile;               // write every period value as CSV

    // Period values per second at the nominal frequency, rounded.
    int steadyStateLength(double nominal) const {
        if (rvcSteadyStateLength > 0) {
            return rvcSteadyStateLength;
        }
        const double advanceInCycles = (1.0 - overlap * 0.01) * halfPeriods * 0.5;
        return static_cast<int>(std::lround(nominal / advanceInCycles));
    }
};
DemoOptions demo;

// Samples of one recording: channel-major, voltages first, then currents.
struct Recording {
    double sampleRate = 10240.0;
    double nominalFrequency = 50.0;
    unsigned phases = 3;
    bool currents = true;
    std::vector<std::vector<float>> voltages;
    std::vector<std::vector<float>> currentsData;
    std::vector<double> frequency;  // known frequency per sample, Hz
    double declaredVoltage = 0.0;   // Udin of the voltage events, V; 0: taken from the first period value
    bool trackFrequency = true;     // track it from the first voltage instead
    size_t size() const { return voltages.empty() ? 0 : voltages[0].size(); }
};

// The synthetic grid's voltage dip: phase 1 at 70 % for 100 ms from t = 2 s.
double syntheticDip(unsigned phase, double t) { return (phase == 0 && t >= 2.0 && t < 2.1) ? 0.7 : 1.0; }

Recording synthesise() {
    Recording r;
    r.declaredVoltage = 230.0;
    const size_t n = static_cast<size_t>(10.0 * r.sampleRate);
    r.voltages.assign(3, std::vector<float>(n));
    r.currentsData.assign(3, std::vector<float>(n));
    r.frequency.resize(n);
    double phase = 0.0;  // cycles
    for (size_t p = 0; p < n; ++p) {
        const double t = static_cast<double>(p) / r.sampleRate;
        const double f = 50.0 + 0.1 * std::sin(2.0 * pi * t / 10.0);
        r.frequency[p] = f;
        phase += f / r.sampleRate;
        for (unsigned k = 0; k < 3; ++k) {
            const double theta = 2.0 * pi * phase - 2.0 * pi / 3.0 * k;
            const double step = (k == 1 && t >= 4.0 && t < 7.0) ? 1.05 : 1.0;
            // 4 % fifth and 2 % seventh harmonic, as a grid with rectifier loads has
            const double wave = std::sin(theta) + 0.04 * std::sin(5.0 * theta) + 0.02 * std::sin(7.0 * theta);
            r.voltages[k][p] = static_cast<float>(230.0 * std::sqrt(2.0) * step * syntheticDip(k, t) * wave);
            r.currentsData[k][p] = static_cast<float>(10.0 * std::sqrt(2.0) * std::sin(theta - pi / 6.0));
        }
    }
    return r;
}

bool parseNumber(const std::string& text, double& value) {
    const char* begin = text.c_str();
    while (*begin == ' ' || *begin == '\t') {
        ++begin;
    }
    char* end = nullptr;
    value = std::strtod(begin, &end);
    if (end == begin) {
        return false;
    }
    while (*end == ' ' || *end == '\t' || *end == '\r') {
        ++end;
    }
    return *end == '\0' && std::isfinite(value);
}

// Reads a CSV recording; throws std::runtime_error naming the line at fault.
Recording readCsv(const std::string& path, double rate, double nominal, bool timeColumn) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error(path + ": cannot open the file");
    }
    Recording r;
    r.sampleRate = rate;
    r.nominalFrequency = nominal;
    std::string line;
    size_t lineNumber = 0;
    size_t columns = 0;
    std::vector<std::vector<float>> channels;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.empty() || line == "\r") {
            continue;
        }
        std::vector<std::string> fields;
        std::stringstream split(line);
        std::string field;
        while (std::getline(split, field, ',')) {
            fields.push_back(field);
        }
        std::vector<double> values;
        bool numeric = true;
        std::string bad;
        for (const std::string& f : fields) {
            double v;
            if (!parseNumber(f, v)) {
                numeric = false;
                bad = f;
                break;
            }
            values.push_back(v);
        }
        if (!numeric) {
            if (columns == 0 && channels.empty()) {
                continue;  // header line
            }
            throw std::runtime_error(path + ":" + std::to_string(lineNumber) + ": '" + bad + "' is not a number");
        }
        if (columns == 0) {
            columns = values.size();
            const size_t data = columns - (timeColumn ? 1 : 0);
            if (data != 1 && data != 2 && data != 3 && data != 6) {
                throw std::runtime_error(path + ":" + std::to_string(lineNumber) + ": " + std::to_string(data) +
                                         " channel columns; expected 1, 2, 3 or 6");
            }
            channels.assign(data, {});
        }
        if (values.size() != columns) {
            throw std::runtime_error(path + ":" + std::to_string(lineNumber) + ": expected " +
                                     std::to_string(columns) + " values, found " + std::to_string(values.size()));
        }
        for (size_t c = 0; c < channels.size(); ++c) {
            channels[c].push_back(static_cast<float>(values[c + (timeColumn ? 1 : 0)]));
        }
    }
    if (channels.empty() || channels[0].empty()) {
        throw std::runtime_error(path + ": no samples");
    }
    const size_t data = channels.size();
    r.phases = (data == 3 || data == 6) ? 3 : 1;
    r.currents = (data == 2 || data == 6);
    for (unsigned k = 0; k < r.phases; ++k) {
        r.voltages.push_back(channels[k]);
        if (r.currents) {
            r.currentsData.push_back(channels[r.phases + k]);
        }
    }
    r.frequency.assign(channels[0].size(), nominal);
    return r;
}

// Voltage dips, swells and interruptions over the period values of a run.
// The detector is meant for Urms(1/2), one-cycle values every half cycle (two
// half periods, 50 % overlap); it is fed whatever geometry the module runs,
// and says so when that differs, since event times then lie on that grid.
class VoltageEventReport {
public:
    VoltageEventReport(PowerModule& module, double declaredVoltage, unsigned phases)
        : declared(declaredVoltage), phases(phases) {
        const unsigned halfPeriods = module.getHalfPeriodValuesCount();
        const unsigned overlap = module.getPeriodValuesOverlapInPercent();
        if (halfPeriods != 2 || overlap != 50) {
            std::printf("voltage events from RMS values over %u half periods with %u %% overlap "
                        "(Urms(1/2) would be 2 half periods with 50 %% overlap)\n",
                        halfPeriods, overlap);
        }
    }

    void add(const PowerResultsPeriod* records, int count) {
        if (count <= 0) {
            return;
        }
        if (!detector) {
            if (!(declared > 0.0)) {
                // No declared voltage given: the mean RMS value of the first period value.
                declared = 0.0;
                for (unsigned k = 0; k < phases; ++k) {
                    declared += records[k + 1].rmsVoltage / phases;
                }
                std::printf("voltage events relative to %.3f V, the RMS value of the first period value "
                            "(--declared-voltage sets it)\n", declared);
            }
            detector.reset(new VoltageEventDetector(declared, phases));
        }
        detector->addPeriodResults(records, count);
        print(detector->getEvents(), "");
    }

    // At the end of the samples: the events still running, then the counts.
    void finish() {
        if (detector) {
            print(detector->getRunningEvents(), ", still running at the end of the samples");
            detector->closeRunningEvents();
            detector->getEvents();
        }
        std::printf("voltage events: %d dip(s), %d swell(s), %d interruption(s)\n", counts[1], counts[2], counts[3]);
    }

private:
    void print(const std::vector<VoltageEvent>& events, const char* note) {
        static const char* const names[4] = {"", "dip", "swell", "interruption"};
        for (const VoltageEvent& e : events) {
            std::string on;
            for (unsigned k = 0; k < phases; ++k) {
                if ((e.phases >> k) & 1u) {
                    on += (on.empty() ? "L" : ",L") + std::to_string(k + 1);
                }
            }
            std::printf("voltage %s on %s: start %.4f s, duration %.4f s, %s %.2f V (%.2f %% of %.1f V)%s\n",
                        names[e.type], on.c_str(), e.startTime, e.duration,
                        e.type == VoltageEventSwell ? "maximum" : "residual", e.extremeVoltage, e.extremePercent,
                        declared, note);
            ++counts[e.type];
        }
    }

    double declared;
    unsigned phases;
    std::unique_ptr<VoltageEventDetector> detector;
    int counts[4] = {0, 0, 0, 0};
};
// One line per period value: time, frequency, then per phase the RMS values,
// powers, fundamentals and the RVC state of the voltage.
void writeCsvHeader(std::FILE* out, unsigned phases, bool currents) {
    std::fprintf(out, "item,time_s,frequency_Hz");
    for (unsigned k = 1; k <= phases; ++k) {
        std::fprintf(out, ",U%u_rms_V,U%u_fund_V", k, k);
        if (currents) {
            std::fprintf(out, ",I%u_rms_A,P%u_W,N%u_var,S%u_VA,PF%u,angle%u_deg", k, k, k, k, k, k);
        }
        std::fprintf(out, ",rvc%u_state,rvc%u_ended,rvc%u_dUmax_V,rvc%u_dUss_V,rvc%u_duration_s", k, k, k, k, k);
    }
    std::fprintf(out, "\n");
}

void writeCsvRow(std::FILE* out, size_t item, const PowerResultsPeriod* entry, unsigned phases, bool currents) {
    std::fprintf(out, "%zu,%.6f,%.6f", item, entry[1].time, entry[1].frequency);
    for (unsigned k = 1; k <= phases; ++k) {
        const PowerResultsPeriod& r = entry[k];
        std::fprintf(out, ",%.6g,%.6g", r.rmsVoltage, r.fundamentalVoltage);
        if (currents) {
            std::fprintf(out, ",%.6g,%.6g,%.6g,%.6g,%.6g,%.4f", r.rmsCurrent, r.activePower, r.nonActivePower,
                         r.apparentPower, r.powerFactor, r.fundamentalPhaseAngle);
        }
        std::fprintf(out, ",%d,%d,%.6g,%.6g,%.6f", r.rvcVoltage.state, r.rvcVoltage.eventEnded ? 1 : 0,
                     r.rvcVoltage.deltaUmax, r.rvcVoltage.deltaUss, r.rvcVoltage.duration);
    }
    std::fprintf(out, "\n");
}

void printRecord(const char* name, const PowerResultsPeriod& r, bool currents) {
    std::printf("  %-6s %8.3f V rms  %8.3f V fund", name, r.rmsVoltage, r.fundamentalVoltage);
    if (currents) {
        std::printf("  %7.3f A  P %9.1f W  S %9.1f VA  PF %6.3f  angle %7.2f deg", r.rmsCurrent, r.activePower,
                    r.apparentPower, r.powerFactor, r.fundamentalPhaseAngle);
    }
    std::printf("\n");
}

// Frequency tracking: the caller indices of the segments are positions times
// this divisor, so cycle boundaries fall to 1/16 of a sample.
constexpr int trackerDivisor = 16;

struct FrequencyReport {
    std::unique_ptr<FrequencyTracker> tracker;  // null: the known frequency is reported
    bool started = false;                       // the module was reset where the segments start
    unsigned long long resetPosition = 0;
    double frequency = 0.0;                     // the latest frequency reported, Hz
};

FrequencyReport makeFrequencyReport(const Recording& rec) {
    FrequencyReport report;
    if (rec.trackFrequency) {
        report.tracker = std::make_unique<FrequencyTracker>(rec.sampleRate, rec.nominalFrequency, trackerDivisor);
    }
    return report;
}

// Reports the frequency over the block [first, first + n): the cycles the
// tracker closed (the module is reset at the first one, so period values
// start at the grid's first crossing), or one segment of the known frequency.
void reportFrequency(PowerModule& module, FrequencyReport& report, const Recording& rec, size_t first, size_t n) {
    if (!report.tracker) {
        unsigned long long segmentFirst = first * trackerDivisor;
        int segmentLength = static_cast<int>(n) * trackerDivisor;
        double frequency = rec.frequency[first + n / 2];
        bool flag = true;
        module.scheduleForPeriodCalculation(1, &segmentFirst, &segmentLength, &frequency, &flag);
        report.started = true;  // run() reset the module at position 0
        report.frequency = frequency;
        return;
    }
    report.tracker->addSamples(rec.voltages[0].data() + first, static_cast<int>(n));
    unsigned long long firsts[64];
    int lengths[64];
    double frequencies[64];
    bool flags[64];
    int count;
    while ((count = report.tracker->getSegments(64, firsts, lengths, frequencies, flags)) > 0) {
        if (!report.started) {
            report.resetPosition = firsts[0] / trackerDivisor;
            module.reset(report.resetPosition);
            report.started = true;
        }
        module.scheduleForPeriodCalculation(count, firsts, lengths, frequencies, flags);
        report.frequency = frequencies[count - 1];
    }
}

// The tracker's 10-second frequencies and where it stands at the end.
void printTrackedFrequency(const FrequencyReport& report) {
    if (!report.tracker) {
        return;
    }
    FrequencyTrackerInterval intervals[16];
    int count;
    while ((count = report.tracker->getTenSecondFrequencies(16, intervals)) > 0) {
        for (int k = 0; k < count; ++k) {
            const double scale = 1.0 / (report.tracker->getSampleRate() * trackerDivisor);
            std::printf("10-second frequency %.1f s to %.1f s: %.4f Hz over %d cycles%s\n",
                        intervals[k].firstSampleIndex * scale, intervals[k].endSampleIndex * scale,
                        intervals[k].frequency, intervals[k].cycleCount, intervals[k].flag ? "" : " (flagged)");
        }
    }
    std::printf("tracked frequency at the end: %.4f Hz%s\n", report.tracker->getFrequency(),
                report.tracker->isLocked() ? "" : " (reference lost)");
}

// Windowed results: per window of ten cycles (IEC 61000-4-7 at 50 Hz) the
// RMS value, THD and largest harmonics of each phase.
void enableWindowedResults(PowerModule& module) {
    module.setThdEnabled(true);
    module.setWindowedResultsEnabled(true);
}

struct WindowCursor {
    double start = 0.0;  // exact first position of the next window
    bool started = false;
    size_t shown = 0;
    int cycles = 10;  // 12 at 60 Hz
};

// Schedules every window whose samples are all written (positions below
// `written`), at the frequency the host tracks, back to back.
void scheduleWindows(PowerModule& module, WindowCursor& cursor, size_t written, double frequency) {
    const double length = cursor.cycles * module.getSampleRate() / frequency;
    while (std::ceil(cursor.start + length) <= static_cast<double>(written)) {
        module.scheduleForCalculation(static_cast<unsigned long long>(std::llround(cursor.start)), cursor.cycles,
                                      frequency);
        cursor.start += length;
    }
}

// The 150/180-cycle (or, at the end, partial) intervals closed so far: the
// RMS voltage and THD of each phase, aggregated over the windows.
void printIntervals(IntervalAggregator& intervals, unsigned phases) {
    IntervalAggregate frame;
    std::vector<double> values(2 * phases);
    while (intervals.getThreeSecondIntervals(1, &frame, values.data()) == 1) {
        std::printf("%s interval %.4f s to %.4f s, %d windows%s:", frame.complete ? "150/180-cycle" : "partial",
                    frame.startTime, frame.endTime, frame.windowCount, frame.flagged ? " (flagged)" : "");
        for (unsigned k = 0; k < phases; ++k) {
            std::printf("  L%u %8.3f V rms  THD %6.3f %%", k + 1, values[2 * k], values[2 * k + 1]);
        }
        std::printf("\n");
    }
}

void printWindows(PowerModule& module, WindowCursor& cursor, IntervalAggregator& intervals, unsigned phases) {
    for (const PowerResultsGeneral& g : module.getResults(0)) {
        std::vector<double> values(2 * phases);
        for (unsigned k = 0; k < phases; ++k) {
            values[2 * k] = g.phases[k].rmsVoltage;
            values[2 * k + 1] = g.phases[k].thdVoltage.thd;
        }
        intervals.addWindow(g.time - g.length / module.getSampleRate(), g.time, values.data(), false);
        if (cursor.shown++ % 10 != 0) {
            continue;  // every tenth window (two seconds)
        }
        std::printf("window at t = %.4f s, %.4f Hz, %u samples\n", g.time, g.frequency, g.length);
        for (unsigned k = 0; k < phases; ++k) {
            const PowerResultsGeneralPhase& p = g.phases[k];
            std::printf("  L%u %8.3f V rms  THD %6.3f %%  largest harmonics:", k + 1, p.rmsVoltage, p.thdVoltage.thd);
            std::vector<unsigned> orders;
            for (unsigned h = 2; h < g.harmonicLength; ++h) {
                orders.push_back(h);
            }
            std::sort(orders.begin(), orders.end(),
                      [&](unsigned a, unsigned b) { return p.harmonicsVoltage[a] > p.harmonicsVoltage[b]; });
            for (size_t r = 0; r < 3 && r < orders.size(); ++r) {
                std::printf("  h%u %.3f V", orders[r], p.harmonicsVoltage[orders[r]]);
            }
            std::printf("\n");
        }
    }
    printIntervals(intervals, phases);
}

int run(const Recording& rec) {
    PowerModule module;
    module.beginUpdate();
    module.setGridConfigType(rec.phases == 3 ? ThreePhaseStar : SinglePhase);
    module.setSampleRate(rec.sampleRate, trackerDivisor);
    module.setBufferLength(static_cast<unsigned int>(rec.sampleRate));  // one second of samples
    module.setStaticFrequency(rec.nominalFrequency, 0.1);
    module.setCurrentEnabled(rec.currents);
    module.setPeriodValuesEnabled(true);
    module.setPeriodSymmetricalComponentsEnabled(rec.phases == 3);
    module.setRvcEnabled(true);
    enableWindowedResults(module);
    module.setHalfPeriodValuesCount(demo.halfPeriods);
    module.setPeriodValuesOverlapInPercent(demo.overlap);
    module.setRvcThreshold(demo.rvcThreshold);
    module.setRvcThresholdHysteresis(demo.rvcHysteresis);
    module.setRvcSteadyStateLength(demo.steadyStateLength(rec.nominalFrequency));
    module.endUpdate();
    module.reset(0);
    WindowCursor windows;
    windows.cycles = rec.nominalFrequency > 55.0 ? 12 : 10;
    // Position 0 is taken as a whole 10 minutes of the clock.
    IntervalAggregator intervals(static_cast<int>(2 * rec.phases));

    const unsigned phases = rec.phases;
    std::vector<float*> u(phases), i(phases);
    for (unsigned k = 0; k < phases; ++k) {
        module.getWaveformBufferUInput(static_cast<unsigned char>(k), &u[k]);
        module.getWaveformBufferI(static_cast<unsigned char>(k), &i[k]);
    }
    const size_t L = module.getBufferLength();
    const size_t block = 1024;
    const size_t total = rec.size();
    size_t items = 0;
    int eventsStarted[4] = {0, 0, 0, 0};
    double eventStart[4] = {0, 0, 0, 0};
    bool inEvent[4] = {false, false, false, false};
    std::printf("powerquality: %u phase(s), %.0f Hz sampling, %.2f s of samples\n", phases, rec.sampleRate,
                total / rec.sampleRate);
    VoltageEventReport voltageEvents(module, rec.declaredVoltage, phases);
    FrequencyReport frequencyReport = makeFrequencyReport(rec);
    const int steady = demo.steadyStateLength(rec.nominalFrequency);
    std::printf("period values over %u half periods, %u %% overlap; RVC threshold %.3g %%, hysteresis %.3g %%, "
                "steady state of %d values (no RVC result before the first %d)\n\n",
                demo.halfPeriods, demo.overlap, demo.rvcThreshold, demo.rvcHysteresis, steady, steady);
    std::FILE* csvOut = nullptr;
    if (!demo.writeFile.empty()) {
        csvOut = std::fopen(demo.writeFile.c_str(), "w");
        if (csvOut == nullptr) {
            throw std::runtime_error(demo.writeFile + ": cannot write the file");
        }
        writeCsvHeader(csvOut, phases, rec.currents);
    }

    for (size_t first = 0; first < total; first += block) {
        const size_t n = first + block <= total ? block : total - first;
        // The host writes the block into the rings, then reports the frequency
        // it tracked over the block.
        for (size_t p = first; p < first + n; ++p) {
            for (unsigned k = 0; k < phases; ++k) {
                u[k][p % L] = rec.voltages[k][p];
                if (rec.currents) {
                    i[k][p % L] = rec.currentsData[k][p];
                }
            }
        }
        module.writeSamples(static_cast<unsigned int>(n));
        reportFrequency(module, frequencyReport, rec, first, n);
        if (frequencyReport.started) {
            if (!windows.started) {  // windows start where the module was reset
                windows.start = static_cast<double>(frequencyReport.resetPosition);
                windows.started = true;
            }
            scheduleWindows(module, windows, first + n, frequencyReport.frequency);
        }
        printWindows(module, windows, intervals, phases);

        bool more = true;
        while (more) {
            int count = 0;
            PowerResultsPeriod* records = nullptr;
            module.getPeriodResults(&count, &more, &records);
            voltageEvents.add(records, count);
            for (int c = 0; c < count; ++c, ++items) {
                const PowerResultsPeriod* entry = records + c * (phases + 1);
                if (csvOut != nullptr) {
                    writeCsvRow(csvOut, items, entry, phases, rec.currents);
                }
                const bool show = demo.printAll || items < 2 || items % 250 == 0;
                if (show) {
                    std::printf("period value %zu at t = %.4f s, %.4f Hz\n", items, entry[1].time, entry[1].frequency);
                    if (phases > 1) {
                        printRecord("total", entry[0], rec.currents);
                    }
                    for (unsigned k = 0; k < phases; ++k) {
                        char name[16];
                        std::snprintf(name, sizeof name, "L%u", k + 1);
                        printRecord(name, entry[k + 1], rec.currents);
                    }
                    if (phases == 3) {
                        std::printf("  voltage unbalance (negative/positive) %.3f %%\n",
                                    100.0 * entry[2].symmetricalComponent.voltageMagnitude /
                                        entry[1].symmetricalComponent.voltageMagnitude);
                    }
                }
                for (unsigned k = 0; k < phases; ++k) {
                    const RvcResult& rvc = entry[k + 1].rvcVoltage;
                    if (rvc.stateChanged && rvc.state == 1) {
                        ++eventsStarted[k];
                        eventStart[k] = rvc.time;
                        inEvent[k] = true;
                    }
                    if (rvc.eventEnded) {
                        inEvent[k] = false;
                        std::printf("RVC event on L%u: start %.4f s, duration %.4f s, dUmax %.3f V, dUss %.3f V\n",
                                    k + 1, eventStart[k], rvc.duration, rvc.deltaUmax, rvc.deltaUss);
                    }
                }
            }
        }
    }
    for (unsigned k = 0; k < phases; ++k) {
        if (inEvent[k]) {
            std::printf("RVC event on L%u: start %.4f s, still in progress at the end of the samples\n", k + 1,
                        eventStart[k]);
        }
    }
    voltageEvents.finish();
    intervals.flush();
    printIntervals(intervals, phases);
    printTrackedFrequency(frequencyReport);
    if (csvOut != nullptr) {
        std::fclose(csvOut);
        std::printf("period values written to %s\n", demo.writeFile.c_str());
    }
    std::printf("\n%zu period values; RVC events started per phase:", items);
    for (unsigned k = 0; k < phases; ++k) {
        std::printf(" L%u %d", k + 1, eventsStarted[k]);
    }
    std::printf("\n");
    return 0;
}

}  // namespace

void printUsage(std::FILE* out, const char* program) {
    std::fprintf(out, "usage: %s [--csv FILE --rate HZ [--fixed-frequency HZ | --nominal HZ] [--time]] [options]\n",
                 program);
    std::fputs(
    "  --csv FILE             samples of a recording, one column per channel (1, 2, 3 or 6)\n"
    "  --rate HZ              its sample rate\n"
    "  --nominal HZ           nominal frequency of the tracker (50)\n"
    "  --fixed-frequency HZ   a fixed frequency reported instead of the tracked one\n"
    "  --declared-voltage V   declared phase voltage of the voltage events (first RMS value)\n"
    "  --time                 the first column is a time column\n"
    "  --voltage-scale K      CSV voltage value times K gives volts (1)\n"
    "  --current-scale K      CSV current value times K gives amperes (1)\n"
    "  --half-periods N       half periods per period value (2)\n"
    "  --overlap PERCENT      overlap of successive period values (50)\n"
    "  --rvc-threshold PCT    RVC threshold in percent of the steady-state mean (2)\n"
    "  --rvc-hysteresis PCT   RVC hysteresis in percent of the threshold (50)\n"
    "  --rvc-steady N         RVC steady-state length in period values (those of one second)\n"
    "  --print-all            print every period value\n"
    "  --write FILE           write every period value to FILE as CSV\n",
        out);
}

// A number from the command line, within [low, high]; exits with usage on anything else.
double numberArgument(const char* name, const char* text, double low, double high) {
    double value = 0.0;
    if (!parseNumber(text, value) || value < low || value > high) {
        std::fprintf(stderr, "%s: '%s' is not a number from %g to %g\n", name, text, low, high);
        std::exit(2);
    }
    return value;
}

int main(int argc, char** argv) {
    std::string csv;
    double rate = 0.0;
    double nominal = 50.0;
    bool timeColumn = false;
    double declaredVoltage = 0.0;
    bool fixedFrequency = false;
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        if (arg == "--csv" && a + 1 < argc) {
            csv = argv[++a];
        } else if (arg == "--rate" && a + 1 < argc) {
            rate = std::atof(argv[++a]);
        } else if (arg == "--fixed-frequency" && a + 1 < argc) {
            nominal = numberArgument("--fixed-frequency", argv[++a], 1.0, 1000.0);
            fixedFrequency = true;
        } else if (arg == "--nominal" && a + 1 < argc) {
            nominal = numberArgument("--nominal", argv[++a], 1.0, 1000.0);
        } else if (arg == "--frequency") {
            // One name, one meaning in the demo and in the Python command line.
            std::fprintf(stderr, "--frequency is gone: say --nominal HZ (the tracker's nominal frequency) or "
                                 "--fixed-frequency HZ (a fixed frequency instead of the tracked one)\n");
            return 2;
        } else if (arg == "--time") {
            timeColumn = true;
        } else if (arg == "--declared-voltage" && a + 1 < argc) {
            declaredVoltage = std::atof(argv[++a]);
            if (!(declaredVoltage > 0.0) || !std::isfinite(declaredVoltage)) {
                std::fprintf(stderr, "--declared-voltage must be a positive number of volts\n");
                return 2;
            }
        } else if (arg == "--voltage-scale" && a + 1 < argc) {
            demo.voltageScale = numberArgument("--voltage-scale", argv[++a], -1e12, 1e12);
        } else if (arg == "--current-scale" && a + 1 < argc) {
            demo.currentScale = numberArgument("--current-scale", argv[++a], -1e12, 1e12);
        } else if (arg == "--half-periods" && a + 1 < argc) {
            demo.halfPeriods = static_cast<unsigned short>(numberArgument("--half-periods", argv[++a], 1, 200));
        } else if (arg == "--overlap" && a + 1 < argc) {
            demo.overlap = static_cast<unsigned short>(numberArgument("--overlap", argv[++a], 0, 99));
        } else if (arg == "--rvc-threshold" && a + 1 < argc) {
            demo.rvcThreshold = numberArgument("--rvc-threshold", argv[++a], 0, 100);
        } else if (arg == "--rvc-hysteresis" && a + 1 < argc) {
            demo.rvcHysteresis = numberArgument("--rvc-hysteresis", argv[++a], 0, 100);
        } else if (arg == "--rvc-steady" && a + 1 < argc) {
            demo.rvcSteadyStateLength = static_cast<int>(numberArgument("--rvc-steady", argv[++a], 1, 100000));
        } else if (arg == "--print-all") {
            demo.printAll = true;
        } else if (arg == "--write" && a + 1 < argc) {
            demo.writeFile = argv[++a];
        } else if (arg == "--help" || arg == "-h") {
            printUsage(stdout, argv[0]);
            return 0;
        } else {
            printUsage(stderr, argv[0]);
            return 2;
        }
    }
    try {
        if (csv.empty()) {
            return run(synthesise());
        }
        if (!(rate > 0.0) || !(nominal > 0.0) || rate < 8.0 * nominal) {
            std::fprintf(stderr, "--rate must be given, positive and at least eight times the frequency\n");
            return 2;
        }
        Recording recording = readCsv(csv, rate, nominal, timeColumn);
        recording.declaredVoltage = declaredVoltage;
        recording.trackFrequency = !fixedFrequency;
        for (std::vector<float>& channel : recording.voltages) {
            for (float& v : channel) {
                v = static_cast<float>(v * demo.voltageScale);
            }
        }
        for (std::vector<float>& channel : recording.currentsData) {
            for (float& v : channel) {
                v = static_cast<float>(v * demo.currentScale);
            }
        }
        return run(recording);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return 1;
    }
}
