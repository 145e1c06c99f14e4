// The main job: drives a power module exactly as a host application would and
// prints what it measured.
//
// Without arguments it synthesises ten seconds of a three-phase star grid
// (230 V, 50 Hz drifting slowly between 49.9 and 50.1 Hz, currents of 10 A
// lagging by 30 degrees, phase 2 stepping up by 5 % from t = 4 s to t = 7 s).
// With --csv it reads the samples of a recording instead:
//
//   powerquality_demo [--csv FILE --rate HZ [--frequency HZ] [--time]]
//
// The CSV file has one column per channel, optionally preceded by a time
// column (--time) and a header line: 1 column is one voltage, 2 are a voltage
// and a current, 3 are three star voltages, 6 are three star voltages and
// three currents. The frequency is reported as segments of the nominal value
// (--frequency, 50 Hz by default).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "powerquality/PowerModule.h"

namespace {

constexpr double pi = 3.141592653589793;

// Samples of one recording: channel-major, voltages first, then currents.
struct Recording {
    double sampleRate = 10240.0;
    double nominalFrequency = 50.0;
    unsigned phases = 3;
    bool currents = true;
    std::vector<std::vector<float>> voltages;
    std::vector<std::vector<float>> currentsData;
    std::vector<double> frequency;  // tracked frequency per sample, Hz
    size_t size() const { return voltages.empty() ? 0 : voltages[0].size(); }
};

Recording synthesise() {
    Recording r;
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
            r.voltages[k][p] = static_cast<float>(230.0 * std::sqrt(2.0) * step * std::sin(theta));
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

void printRecord(const char* name, const PowerResultsPeriod& r, bool currents) {
    std::printf("  %-6s %8.3f V rms  %8.3f V fund", name, r.rmsVoltage, r.fundamentalVoltage);
    if (currents) {
        std::printf("  %7.3f A  P %9.1f W  S %9.1f VA  PF %6.3f  angle %7.2f deg", r.rmsCurrent, r.activePower,
                    r.apparentPower, r.powerFactor, r.fundamentalPhaseAngle);
    }
    std::printf("\n");
}

// Windowed results: per window of ten cycles (IEC 61000-4-7 at 50 Hz) the
// RMS value, THD and largest harmonics of each phase.
void enableWindowedResults(PowerModule& module) {
    module.setThdEnabled(true);
    module.setWindowedResultsEnabled(true);
}

struct WindowCursor {
    double start = 0.0;  // exact first position of the next window
    size_t shown = 0;
};

// Schedules every window whose samples are all written (positions below
// `written`), at the frequency the host tracks, back to back.
void scheduleWindows(PowerModule& module, WindowCursor& cursor, size_t written, double frequency) {
    const int cycles = 10;
    const double length = cycles * module.getSampleRate() / frequency;
    while (std::ceil(cursor.start + length) <= static_cast<double>(written)) {
        module.scheduleForCalculation(static_cast<unsigned long long>(std::llround(cursor.start)), cycles, frequency);
        cursor.start += length;
    }
}

void printWindows(PowerModule& module, WindowCursor& cursor, unsigned phases) {
    for (const PowerResultsGeneral& g : module.getResults(0)) {
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
}

int run(const Recording& rec) {
    PowerModule module;
    module.beginUpdate();
    module.setGridConfigType(rec.phases == 3 ? ThreePhaseStar : SinglePhase);
    module.setSampleRate(rec.sampleRate, 1);
    module.setBufferLength(static_cast<unsigned int>(rec.sampleRate));  // one second of samples
    module.setStaticFrequency(rec.nominalFrequency, 0.1);
    module.setCurrentEnabled(rec.currents);
    module.setPeriodValuesEnabled(true);
    module.setPeriodSymmetricalComponentsEnabled(rec.phases == 3);
    module.setRvcEnabled(true);
    enableWindowedResults(module);
    module.endUpdate();
    module.reset(0);
    WindowCursor windows;

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
    std::printf("powerquality: %u phase(s), %.0f Hz sampling, %.2f s of samples\n\n", phases, rec.sampleRate,
                total / rec.sampleRate);

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
        unsigned long long segmentFirst = first;
        int segmentLength = static_cast<int>(n);
        double frequency = rec.frequency[first + n / 2];
        bool flag = true;
        module.scheduleForPeriodCalculation(1, &segmentFirst, &segmentLength, &frequency, &flag);
        scheduleWindows(module, windows, first + n, frequency);
        printWindows(module, windows, phases);

        bool more = true;
        while (more) {
            int count = 0;
            PowerResultsPeriod* records = nullptr;
            module.getPeriodResults(&count, &more, &records);
            for (int c = 0; c < count; ++c, ++items) {
                const PowerResultsPeriod* entry = records + c * (phases + 1);
                const bool show = items < 2 || items % 250 == 0;
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
    std::printf("\n%zu period values; RVC events started per phase:", items);
    for (unsigned k = 0; k < phases; ++k) {
        std::printf(" L%u %d", k + 1, eventsStarted[k]);
    }
    std::printf("\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string csv;
    double rate = 0.0;
    double nominal = 50.0;
    bool timeColumn = false;
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        if (arg == "--csv" && a + 1 < argc) {
            csv = argv[++a];
        } else if (arg == "--rate" && a + 1 < argc) {
            rate = std::atof(argv[++a]);
        } else if (arg == "--frequency" && a + 1 < argc) {
            nominal = std::atof(argv[++a]);
        } else if (arg == "--time") {
            timeColumn = true;
        } else {
            std::fprintf(stderr, "usage: %s [--csv FILE --rate HZ [--frequency HZ] [--time]]\n", argv[0]);
            return 2;
        }
    }
    try {
        if (csv.empty()) {
            return run(synthesise());
        }
        if (!(rate > 0.0) || !(nominal > 0.0) || rate < 4.0 * nominal) {
            std::fprintf(stderr, "--rate must be given, positive and at least four times the frequency\n");
            return 2;
        }
        return run(readCsv(csv, rate, nominal, timeColumn));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return 1;
    }
}
