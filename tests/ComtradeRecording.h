// Reads a binary COMTRADE (1999) recording: the analog channels of the .cfg,
// scaled by a * raw + b, from the .dat records (sample number, time stamp,
// one int16 per analog channel, one uint16 per 16 digital channels).
#ifndef POWERQUALITY_TESTS_COMTRADERECORDING_H
#define POWERQUALITY_TESTS_COMTRADERECORDING_H

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct ComtradeRecording {
    double sampleRate = 0.0;
    double frequency = 0.0;
    std::vector<std::string> names;
    std::vector<std::vector<double>> channels;  // channel-major

    // False when the files are missing or not understood.
    bool load(const std::string& base) {
        std::ifstream cfg(base + ".cfg");
        std::ifstream dat(base + ".dat", std::ios::binary);
        if (!cfg || !dat) {
            return false;
        }
        std::string line;
        std::getline(cfg, line);  // station
        std::getline(cfg, line);  // counts: total, nA, nD
        int analog = 0;
        int digital = 0;
        {
            std::stringstream s(line);
            std::string total, a, d;
            std::getline(s, total, ',');
            std::getline(s, a, ',');
            std::getline(s, d, ',');
            analog = std::stoi(a);
            digital = std::stoi(d);
        }
        std::vector<double> scale(analog), offset(analog);
        for (int k = 0; k < analog; ++k) {
            std::getline(cfg, line);
            std::vector<std::string> fields;
            std::stringstream s(line);
            std::string f;
            while (std::getline(s, f, ',')) {
                fields.push_back(f);
            }
            if (fields.size() < 7) {
                return false;
            }
            names.push_back(fields[1]);
            scale[k] = std::stod(fields[5]);
            offset[k] = std::stod(fields[6]);
        }
        for (int k = 0; k < digital; ++k) {
            std::getline(cfg, line);
        }
        std::getline(cfg, line);
        frequency = std::stod(line);
        std::getline(cfg, line);  // number of rates
        std::getline(cfg, line);  // rate, last sample
        sampleRate = std::stod(line.substr(0, line.find(',')));
        const size_t samples = std::stoul(line.substr(line.find(',') + 1));
        const size_t recordBytes = 8 + 2 * analog + 2 * ((digital + 15) / 16);
        std::vector<char> record(recordBytes);
        channels.assign(analog, std::vector<double>());
        for (size_t n = 0; n < samples && dat.read(record.data(), static_cast<std::streamsize>(recordBytes)); ++n) {
            for (int k = 0; k < analog; ++k) {
                int16_t raw;
                std::memcpy(&raw, record.data() + 8 + 2 * k, 2);
                channels[k].push_back(scale[k] * raw + offset[k]);
            }
        }
        return !channels.empty() && channels[0].size() == samples;
    }

    const std::vector<double>& channel(const std::string& name) const {
        for (size_t k = 0; k < names.size(); ++k) {
            if (names[k] == name) {
                return channels[k];
            }
        }
        static const std::vector<double> none;
        return none;
    }
};

#endif
