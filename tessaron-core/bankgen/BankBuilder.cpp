#include "tessaron-core/bankgen/BankBuilder.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numbers>
#include <sstream>

namespace tsr::bankgen {

static_assert(std::endian::native == std::endian::little, "the bank is stored little-endian");

float eightDigitValue(int k) {
    char text[40];
    std::snprintf(text, sizeof text, "%.8g", static_cast<double>(k) / kScale);
    return std::strtof(text, nullptr);
}

Quantiser::Quantiser() : table_(2 * kMaxCode + 1) {
    for (int k = -kMaxCode; k <= kMaxCode; ++k) table_[static_cast<std::size_t>(k + kMaxCode)] = eightDigitValue(k);
}

int Quantiser::codeOf(double v) {
    const double x = std::round(v * kScale);
    if (std::isnan(x)) return 0;
    if (x >= kMaxCode) return kMaxCode;
    if (x <= -kMaxCode) return -kMaxCode;
    return static_cast<int>(x);
}

namespace {

// splitmix64: a small generator whose sequence is the same on every platform
// (the standard distributions are not).
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [lo, hi).
    double uniform(double lo, double hi) {
        return lo + (hi - lo) * static_cast<double>(next() >> 11) * 0x1.0p-53;
    }

private:
    uint64_t state_;
};

uint64_t fnv1a(const char* text) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (const char* p = text; *p; ++p) {
        h ^= static_cast<unsigned char>(*p);
        h *= 0x100000001B3ull;
    }
    return h;
}

constexpr double kSampleRate = 8000.0;
constexpr int kComponents = 6;
constexpr double kPeak = 0.9;
constexpr uint64_t kMaxFade = 400;  // 50 ms

}  // namespace

std::vector<float> synthesiseRow(const bank::RowSpec& row, const Quantiser& q) {
    const uint64_t n = row.length;
    std::vector<double> mix(n, 0.0);
    Random random(fnv1a(row.name));
    // Keep the components off the band edges so that the fades' spread stays
    // inside the band.
    const double width = static_cast<double>(row.bandHigh) - row.bandLow;
    const double lo = row.bandLow + 0.1 * width;
    const double hi = row.bandHigh - 0.1 * width;
    for (int c = 0; c < kComponents; ++c) {
        const double freq = random.uniform(lo, hi);
        const double amp = random.uniform(0.3, 1.0);
        const double phase = random.uniform(0.0, 2.0 * std::numbers::pi);
        // A rotating phasor: cheaper than a sine per sample and accurate
        // enough over the longest row.
        const double step = 2.0 * std::numbers::pi * freq / kSampleRate;
        const double cs = std::cos(step), sn = std::sin(step);
        double re = std::cos(phase), im = std::sin(phase);
        for (uint64_t i = 0; i < n; ++i) {
            mix[i] += amp * im;
            const double r = re * cs - im * sn;
            im = re * sn + im * cs;
            re = r;
        }
    }
    const uint64_t fade = std::min<uint64_t>(n / 4, kMaxFade);
    for (uint64_t i = 0; i < fade; ++i) {
        const double g = 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(i) / static_cast<double>(fade));
        mix[i] *= g;
        mix[n - 1 - i] *= g;
    }
    double peak = 0.0;
    for (double v : mix) peak = std::max(peak, std::fabs(v));
    const double gain = peak > 0.0 ? kPeak / peak : 0.0;
    std::vector<float> out(n);
    for (uint64_t i = 0; i < n; ++i) out[i] = q.quantise(mix[i] * gain);
    return out;
}

bool readCsvAsset(const std::string& path, uint64_t expectedLength, const Quantiser& q,
                  std::vector<float>& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open the asset";
        return false;
    }
    out.clear();
    std::string line;
    uint64_t lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        std::size_t pos = 0;
        while (pos < line.size()) {
            const std::size_t start = line.find_first_not_of(", ;\t\r", pos);
            if (start == std::string::npos) break;
            std::size_t end = line.find_first_of(", ;\t\r", start);
            if (end == std::string::npos) end = line.size();
            const std::string token = line.substr(start, end - start);
            pos = end;
            errno = 0;
            char* stop = nullptr;
            const double v = std::strtod(token.c_str(), &stop);
            if (stop != token.c_str() + token.size() || errno == ERANGE || !std::isfinite(v)) {
                error = path + ":" + std::to_string(lineNo) + ": not a sample value: \"" + token + "\"";
                return false;
            }
            if (v < -1.0 || v > 1.0) {
                error = path + ":" + std::to_string(lineNo) + ": sample value outside [-1, 1]: " + token;
                return false;
            }
            if (out.size() == expectedLength) {
                error = path + ": more than the expected " + std::to_string(expectedLength) + " samples";
                return false;
            }
            out.push_back(q.quantise(v));
        }
    }
    if (in.bad()) {
        error = path + ": read error";
        return false;
    }
    if (out.size() != expectedLength) {
        error = path + ": " + std::to_string(out.size()) + " samples, expected " + std::to_string(expectedLength);
        return false;
    }
    return true;
}

bool buildBank(std::span<const bank::RowSpec> rows, const std::string& assetsDir, std::vector<float>& out,
               std::string& error) {
    const Quantiser q;
    std::vector<float> row;
    for (const bank::RowSpec& entry : rows) {
        if (assetsDir.empty()) {
            row = synthesiseRow(entry, q);
        } else if (!readCsvAsset(assetsDir + "/" + entry.name, entry.length, q, row, error)) {
            return false;
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    return true;
}

bool writeBank(const std::string& path, const std::vector<float>& samples, std::string& error) {
    const std::string temp = path + ".tmp";
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        if (file) {
            file.write(reinterpret_cast<const char*>(samples.data()),
                       static_cast<std::streamsize>(samples.size() * sizeof(float)));
        }
        if (!file) {
            error = temp + ": cannot write the bank";
            std::remove(temp.c_str());
            return false;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        error = path + ": " + std::strerror(errno);
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace tsr::bankgen
