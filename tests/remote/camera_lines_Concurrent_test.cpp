// Camera lines through the real server: the main loop builds them once per pass and every
// connection, at its own camera step, gets each new result and image line.

#include "remote_test_support.h"

#include "vision/CameraIFMO2D.h"
#include "vision/CameraManager.h"
#include "vision/Imaging.h"

#if defined(BELVANTO_HAVE_CAMERASIM)
#include "camerasim/CameraSim.h"
#endif

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace RemoteTest;

namespace {

// A camera whose model number the test sets; every change is a new result.
class ProbeCamera : public Camera::CameraInterface {
public:
    ProbeCamera() : CameraInterface("IFMO2D", "Probe") {}
    void Start() override {}
    void Stop() override {}
    bool GetTargetPos(DataTypes::Vector3& pos, DataTypes::Vector3& ori, int& model) const override {
        pos = DataTypes::Vector3(100, -50, 100);
        ori = DataTypes::Vector3(-170, 0, 0);
        model = current.load();
        return true;
    }
    int Read(tinyxml2::XMLElement&) override { return 0; }
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument&) override { return nullptr; }
    std::string GetHVPConfigString(int count) const override { return "CONFIG Camera " + std::to_string(count); }
    int GetStatus() const override { return 2; }

    std::atomic<int> current{0};
};

// A payload fixed by the test.
class TextImage : public Imaging::Image {
public:
    TextImage() : Image(1, 1) {}
    void EncodeHVP(std::vector<char>& out, bool) const override {
        const std::string text = "QUJD";
        out.assign(text.begin(), text.end());
        out.push_back('\0');
    }
};

class CameraLinesConcurrent : public ServerFixture {
protected:
    void TearDown() override {
        ServerFixture::TearDown();
        Camera::CameraManager::Instance().Clear();
    }
    // One main-loop pass as the application runs it: lines first, then the fan-out.
    void LoopPass() {
        Camera::CameraManager::Instance().ProduceHVPLines();
        Pass();
    }
    // Every connection's status sub-cycle reaches its camera step once in 21 passes.
    void SubCycle() {
        for (int i = 0; i < 21; ++i) LoopPass();
    }

    static std::vector<int> Models(const HvpTestClient& client) {
        std::vector<int> models;
        for (const std::string& line : client.PayloadsStartingWith("CAMINFO CameraResult IFMO2D Probe CONNECTED")) {
            const int model = std::stoi(HvpTestClient::Tokens(line).back());
            // The period line repeats the newest result; a repeat is no new result.
            if (models.empty() || models.back() != model) models.push_back(model);
        }
        return models;
    }
};

TEST_F(CameraLinesConcurrent, TwoClientsBothGetEveryNewResultAndTheImage) {
    HvpTestClient& first = Connect();
    LoopPass();
    HvpTestClient& second = Connect();
    auto owned = std::make_unique<ProbeCamera>();
    ProbeCamera* camera = owned.get();
    Camera::CameraManager::Instance().Add(std::move(owned));

    for (int model = 1; model <= 5; ++model) {
        camera->current.store(model);
        camera->SetNewResult();
        SubCycle();
    }
    camera->SetImage(std::make_shared<TextImage>());
    camera->CheckEncodeHVPImage();
    SubCycle();

    for (HvpTestClient* client : {&first, &second}) {
        ASSERT_TRUE(client->WaitFor("CAMINFO CameraImage Probe QUJD", kWaitMs).has_value());
        EXPECT_EQ(Models(*client), (std::vector<int>{1, 2, 3, 4, 5}));
        EXPECT_EQ(client->PayloadsStartingWith("CAMINFO CameraResult IFMO2D Probe CONNECTED 100 -50 100 -170 0 0 5")
                      .size(),
                  1u);
    }
}

// The whole path on the clock: a simulated O2D sensor sends a frame with an image every
// 50 ms, the main loop runs its 25 ms passes, two clients read. Each client's camera step
// comes every 525 ms, at its own offset; no client gets two image lines of the camera
// less than the image period (1000 ms) apart.
TEST_F(CameraLinesConcurrent, NoClientGetsTwoImageLinesWithinTheImagePeriod) {
#if !defined(BELVANTO_HAVE_CAMERASIM)
    GTEST_SKIP() << "the camera simulator is not built (tools off)";
#else
    CameraSim::Config config;
    config.frames = {"0000startPASS#1.0#0#1#320#240#0.0#0.0stop"};
    config.bmpWidth = 32;
    config.bmpHeight = 24;
    config.periodMs = 50;
    CameraSim::Server sim(config);
    ASSERT_GT(sim.Start(), 0);

    Camera::CameraManager& cameras = Camera::CameraManager::Instance();
    ASSERT_EQ(cameras.imagePeriod, 1000);
    HvpTestClient& first = Connect();
    LoopPass();  // the second client's steps fall one pass after the first's
    HvpTestClient& second = Connect();
    auto camera = std::make_unique<Camera::CameraIFMO2D>("Cam1");
    camera->IP = "127.0.0.1";
    camera->Port = sim.Port();
    camera->Up = DataTypes::Vector3(1, 0, 0);
    camera->Look = DataTypes::Vector3(0, 0, 1);
    camera->ZDistance = 100.0;
    camera->Active.store(true);
    camera->ImageEnabled.store(true);
    cameras.Add(std::move(camera));

    // Each client reads on its own thread and notes when each image line came.
    using Clock = std::chrono::steady_clock;
    struct Arrivals {
        std::mutex mutex;
        std::vector<Clock::time_point> at;
    };
    Arrivals arrivals[2];
    std::atomic<bool> reading{true};
    std::vector<std::thread> readers;
    HvpTestClient* clients[2] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        readers.emplace_back([&, i] {
            HvpTestClient::Frame frame;
            while (reading.load()) {
                if (!clients[i]->ReadFrame(frame, 100)) continue;
                if (frame.payload.rfind("CAMINFO CameraImage Cam1 ", 0) != 0) continue;
                std::lock_guard<std::mutex> lock(arrivals[i].mutex);
                arrivals[i].at.push_back(Clock::now());
            }
        });
    }
    // Passes on a 25 ms grid: each client has a camera step every 525 ms.
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(20);
    for (int pass = 1; Clock::now() < end; ++pass) {
        LoopPass();
        std::this_thread::sleep_until(start + std::chrono::milliseconds(25) * pass);
    }
    reading.store(false);
    for (auto& reader : readers) reader.join();
    cameras.Clear();

    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i == 0 ? "first client" : "second client");
        std::lock_guard<std::mutex> lock(arrivals[i].mutex);
        const std::vector<Clock::time_point>& at = arrivals[i].at;
        EXPECT_GE(at.size(), 5u) << "images came";
        for (std::size_t k = 1; k < at.size(); ++k) {
            EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(at[k] - at[k - 1]).count(), 1000)
                << "image lines " << k - 1 << " and " << k;
        }
    }
#endif
}

}  // namespace
