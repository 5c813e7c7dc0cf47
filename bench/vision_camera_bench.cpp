// Camera frames and lines: assembling and cutting a 640 x 480 image frame (308 KB) that
// arrives in 8 KB reads, with and without parsing it (BMP included), and the main loop's
// camera step with three cameras (lines built once, taken by two connections).
#include "vision/CameraFrameAssembler.h"
#include "vision/CameraIFMO2D.h"
#include "vision/CameraManager.h"
#include "vision/CameraSimulated.h"

#include "testsupport/GreyBmp.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * (values.size() - 1))];
}

void WithStatistics(benchmark::internal::Benchmark* b) {
    b->Repetitions(30)
        ->ReportAggregatesOnly(true)
        ->ComputeStatistics("p99", [](const std::vector<double>& v) { return Percentile(v, 0.99); })
        ->ComputeStatistics("max", [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); })
        ->Unit(benchmark::kMicrosecond);
}

std::string ImageFrame() {
    std::vector<unsigned char> pixels(640 * 480);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<unsigned char>(i * 31 + i / 640);
    const std::vector<unsigned char> bmp = TestSupport::MakeGreyBmp(640, 480, pixels);
    return "0000startPASS#1.0#0#3#420#190#190.0#0.0#BMP#" + std::to_string(bmp.size()) + "#" +
           std::string(bmp.begin(), bmp.end()) + "stop";
}

class BenchCamera : public Camera::CameraIFMO2D {
public:
    BenchCamera() : CameraIFMO2D("Bench") {
        ImageEnabled.store(true);
        Up = DataTypes::Vector3(1, 0, 0);
        Look = DataTypes::Vector3(0, 0, 1);
        CreateTransferMatrix();
        connected.store(true);
    }
};

void Feed(benchmark::State& state, bool parse) {
    const std::string frame = ImageFrame();
    Camera::CameraFrameAssembler assembler(true);
    BenchCamera camera;
    size_t frames = 0;
    const auto handler = [&](char* data, unsigned length) {
        ++frames;
        if (parse) camera.ParseMessage(data, length);
    };
    for (auto _ : state) {
        for (size_t at = 0; at < frame.size(); at += Camera::CameraFrameAssembler::ChunkSize) {
            assembler.Feed(frame.data() + at, std::min(Camera::CameraFrameAssembler::ChunkSize, frame.size() - at),
                           handler);
        }
    }
    if (frames != static_cast<size_t>(state.iterations())) state.SkipWithError("frames lost");
    state.counters["frame_bytes"] = static_cast<double>(frame.size());
}

void BM_AssembleAndCutImageFrame(benchmark::State& state) { Feed(state, false); }
void BM_AssembleCutAndParseImageFrame(benchmark::State& state) { Feed(state, true); }
BENCHMARK(BM_AssembleAndCutImageFrame)->Apply(WithStatistics);
BENCHMARK(BM_AssembleCutAndParseImageFrame)->Apply(WithStatistics);

class BenchManager : public Camera::CameraManager {};

// Result given; a new result on every pass when asked.
class StepCamera : public Camera::CameraInterface {
public:
    explicit StepCamera(const std::string& name) : CameraInterface("IFMO2D", name) {}
    void Start() override {}
    void Stop() override {}
    bool GetTargetPos(DataTypes::Vector3& pos, DataTypes::Vector3& ori, int& model) const override {
        pos = DataTypes::Vector3(101.5f, -20.25f, 300);
        ori = DataTypes::Vector3(-170, 0, 0);
        model = 3;
        return true;
    }
    int Read(tinyxml2::XMLElement&) override { return 0; }
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument&) override { return nullptr; }
    std::string GetHVPConfigString(int) const override { return ""; }
    int GetStatus() const override { return 2; }
};

// range(0): 1 = every camera has a new result on every pass, 0 = none has.
void BM_CameraStepThreeCameras(benchmark::State& state) {
    BenchManager manager;
    manager.Add(std::make_unique<StepCamera>("Front"));
    manager.Add(std::make_unique<StepCamera>("Side"));
    manager.Add(std::make_unique<Camera::CameraSimulated>("Sim"));
    const auto front = manager.Get("front");
    const auto side = manager.Get("side");
    Camera::CameraManager::HVPLineCursor first;
    Camera::CameraManager::HVPLineCursor second;
    manager.ProduceHVPLines();
    manager.TakeNewHVPLines(first);
    manager.TakeNewHVPLines(second);
    size_t lines = 0;
    for (auto _ : state) {
        if (state.range(0) != 0) {
            front->SetNewResult();
            side->SetNewResult();
        }
        manager.ProduceHVPLines();
        lines += manager.TakeNewHVPLines(first).size();
        lines += manager.TakeNewHVPLines(second).size();
    }
    benchmark::DoNotOptimize(lines);
}
BENCHMARK(BM_CameraStepThreeCameras)->Arg(0)->Arg(1)->Apply(WithStatistics);

}  // namespace

BENCHMARK_MAIN();
