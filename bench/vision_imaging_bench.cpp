// HVP image payload of a camera-sized image (640 x 480, 8-bit palette): one EncodeHVP per
// iteration, compressed as the encoding thread does it, and raw for comparison. Gradient
// compresses well, noise not at all (the stored-block worst case).
#include "vision/Imaging.h"

#include "testsupport/GreyBmp.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

constexpr unsigned kWidth = 640;
constexpr unsigned kHeight = 480;

Imaging::Bitmap8BppIndexed MakeImage(bool noise) {
    std::vector<unsigned char> pixels(kWidth * kHeight);
    std::mt19937 random(7);
    for (unsigned y = 0; y < kHeight; ++y) {
        for (unsigned x = 0; x < kWidth; ++x) {
            pixels[y * kWidth + x] =
                noise ? static_cast<unsigned char>(random()) : static_cast<unsigned char>((x + y) * 255 / (kWidth + kHeight));
        }
    }
    const auto file = TestSupport::MakeGreyBmp(kWidth, kHeight, pixels);
    return Imaging::Bitmap8BppIndexed(file.data(), static_cast<unsigned>(file.size()));
}

void EncodeHVP(benchmark::State& state, bool noise, bool compress) {
    const Imaging::Bitmap8BppIndexed image = MakeImage(noise);
    std::vector<char> out;
    for (auto _ : state) {
        image.EncodeHVP(out, compress);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["payload_chars"] = static_cast<double>(out.size());
}

double Percentile(const std::vector<double>& values, double p) {
    std::vector<double> sorted(values);
    std::sort(sorted.begin(), sorted.end());
    const size_t index = std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size() - 1)));
    return sorted[index];
}

void Register(const char* name, bool noise, bool compress) {
    benchmark::RegisterBenchmark(name, EncodeHVP, noise, compress)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)  // one encode per repetition: p99 and max are single encodes
        ->Repetitions(100)
        ->ComputeStatistics("p99", [](const std::vector<double>& v) { return Percentile(v, 0.99); })
        ->ComputeStatistics("max", [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); })
        ->ReportAggregatesOnly(true);
}

}  // namespace

int main(int argc, char** argv) {
    Register("EncodeHVP/640x480/gradient/gzip", false, true);
    Register("EncodeHVP/640x480/noise/gzip", true, true);
    Register("EncodeHVP/640x480/gradient/raw", false, false);
    Register("EncodeHVP/640x480/noise/raw", true, false);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
