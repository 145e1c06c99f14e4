// Reads a binary COMTRADE (1999) recording: the analog channels of the .cfg,
// scaled by a * raw + b, from the .dat records (sample number, time stamp,
// one int16 per analog channel, one uint16 per 16 digital channels).
#ifndef POWERQUALITY_TESTS_COMTRADERECORDING_H
#define POWERQUALITY_TESTS_COMTRADERECORDING_H

#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

struct ComtradeRecording {
    double sampleRate = 0.0, frequency = 0.0;
    std::map<std::string, std::vector<double>> channels;  // by name

    // The comma-separated fields of a text's next line (of the .cfg here).
    static std::vector<std::string> fields(std::istream& in) {
        std::string line, field;
        std::getline(in, line);
        std::stringstream s(line);
        std::vector<std::string> out;
        while (std::getline(s, field, ',')) out.push_back(field);
        return out;
    }

    // False when the files are missing or not understood.
    bool load(const std::string& base) {
        std::ifstream cfg(base + ".cfg"), dat(base + ".dat", std::ios::binary);
        if (!cfg || !dat) return false;
        fields(cfg);                                  // station
        const std::vector<std::string> counts = fields(cfg);  // total, nA, nD
        if (counts.size() < 3) return false;
        const int analog = std::stoi(counts[1]), digital = std::stoi(counts[2]);
        std::vector<std::string> names;
        std::vector<double> scale, offset;
        for (int k = 0; k < analog; ++k) {
            const std::vector<std::string> f = fields(cfg);
            if (f.size() < 7) return false;
            names.push_back(f[1]); scale.push_back(std::stod(f[5])); offset.push_back(std::stod(f[6]));
        }
        for (int k = 0; k < digital; ++k) fields(cfg);
        frequency = std::stod(fields(cfg).at(0));
        fields(cfg);  // number of rates
        const std::vector<std::string> rate = fields(cfg);  // rate, last sample
        sampleRate = std::stod(rate.at(0));
        const size_t samples = std::stoul(rate.at(1));
        std::vector<char> record(8 + 2 * analog + 2 * ((digital + 15) / 16));
        for (size_t n = 0; n < samples && dat.read(record.data(), static_cast<std::streamsize>(record.size())); ++n) {
            for (int k = 0; k < analog; ++k) {
                int16_t raw;
                std::memcpy(&raw, record.data() + 8 + 2 * k, 2);
                channels[names[k]].push_back(scale[k] * raw + offset[k]);
            }
        }
        return !channels.empty() && channels.begin()->second.size() == samples;
    }

    const std::vector<double>& channel(const std::string& name) const { return channels.at(name); }
};

#endif
