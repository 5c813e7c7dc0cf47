#include "vision/CameraBinPicking.h"

#include "core/LogSingleton.h"
#include "vision/TCPClient.h"

#include <tinyxml2.h>

#include <cstdio>

namespace Camera {

namespace {
constexpr int kPolls = 10;
constexpr int kPollMs = 100;
}  // namespace

CameraBinPicking::CameraBinPicking(const std::string& name) : CameraTCP(TYPE_ID, name, "Camera BinPicking") {}

CameraBinPicking::~CameraBinPicking() { Stop(); }

int CameraBinPicking::GetStatus() const {
    if (!Active.load()) return 0;
    return connected.load() ? 2 : 1;
}

void CameraBinPicking::ReceiveLoop(TCPClient& client, CameraFrameAssembler& assembler, std::vector<char>& chunk) {
    while (running.load() && Active.load()) {
        if (NowMs() - lastBytesMs.load() > SilenceLimitMs) {
            LogLine("' timeout");
            return;
        }
        client.Send("REQUEST");
        bool answered = false;
        // Polls in steps so that Stop is noticed while the camera thinks.
        for (int i = 0; i < kPolls && running.load(); ++i) {
            if (client.dataAvailable(kPollMs)) {
                answered = true;
                break;
            }
        }
        if (!answered) {
            if (running.load()) pendingLog += "Camera BinPicking failed to receive data!\n";
            continue;
        }
        if (!ReadAndAssemble(client, assembler, chunk)) return;
    }
}

int CameraBinPicking::TransformPixelToMM(int x, int y, double angle) {
    // No pixel scale is configured for this camera: one pixel counts as one millimetre.
    SetPendingTarget(x, y, angle, 1.0, 1.0);
    return 0;
}

int CameraBinPicking::Read(tinyxml2::XMLElement& element) {
    LogSingleton::instance()->add("Camera BinPicking: Loading configuration");
    ReadCommonAttributes(element);
    LogSingleton::instance()->add("Camera BinPicking '" + name + "': Configuration loaded");
    return 0;
}

tinyxml2::XMLElement* CameraBinPicking::Write(tinyxml2::XMLDocument& doc) {
    tinyxml2::XMLElement* element = WriteHead(doc);
    WriteGeometry(*element);
    return element;
}

std::string CameraBinPicking::GetHVPConfigString(int count) const {
    float g[9];
    double zDistance = 0.0;
    GeometryValues(g, zDistance);
    char line[512];
    std::snprintf(line, sizeof(line),
                  "CONFIG Camera %d %s %s %s %s %d %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %s", count,
                  typeId.c_str(), name.c_str(), Active.load() ? "True" : "False", IP.c_str(), Port, g[0], g[1], g[2],
                  g[3], g[4], g[5], g[6], g[7], g[8], zDistance, ImageEnabled.load() ? "True" : "False");
    return line;
}

void CameraBinPicking::PrintConfig() {
    LogSingleton* log = LogSingleton::instance();
    log->add("Camera BinPicking '" + name + "': Active=" + (Active.load() ? "true" : "false") + ", IP=" + IP +
             ", Port=" + std::to_string(Port) + ", Image enabled=" + (ImageEnabled.load() ? "true" : "false"));
    log->add("Camera BinPicking '" + name + GeometryText());
}

}  // namespace Camera
