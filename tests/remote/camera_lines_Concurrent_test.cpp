// Camera lines through the real server: the main loop builds them once per pass and every
// connection, at its own camera step, gets each new result and image line.

#include "remote_test_support.h"

#include "vision/CameraManager.h"
#include "vision/Imaging.h"

#include <atomic>
#include <memory>
#include <string>
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

}  // namespace
