#include "vision/CameraIFMO2D.h"

#include "core/LogSingleton.h"
#include "vision/TCPClient.h"

#include <tinyxml2.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace Camera {

CameraIFMO2D::CameraIFMO2D(const std::string& name) : CameraTCP(TYPE_ID, name, "Camera IFM O2D") {}

CameraIFMO2D::~CameraIFMO2D() { Stop(); }

int CameraIFMO2D::GetStatus() const {
    if (!Active.load()) return 0;
    if (!connected.load()) return 1;
    return NowMs() - lastBytesMs.load() <= receiveTimeoutS * 1000LL ? 2 : 1;
}

void CameraIFMO2D::ReceiveLoop(TCPClient& client, CameraFrameAssembler& assembler, std::vector<char>& chunk) {
    const std::int64_t timeoutMs = receiveTimeoutS * 1000LL;
    while (running.load() && Active.load()) {
        const std::int64_t now = NowMs();
        if (now - lastBytesMs.load() > timeoutMs && now - connectMs > timeoutMs) {
            LogLine("' timeout");
            return;
        }
        if (!client.dataAvailable(100)) continue;
        // A close by the sensor ends the connection: it is made again at once.
        if (!ReadAndAssemble(client, assembler, chunk)) return;
    }
}

int CameraIFMO2D::TransformPixelToMM(int x, int y, double angle) {
    SetPendingTarget(x, y, angle, ScaleX, ScaleY);
    return 0;
}

int CameraIFMO2D::Read(tinyxml2::XMLElement& element) {
    LogSingleton::instance()->add("Camera IFM O2D: Loading configuration");
    ReadCommonAttributes(element);
    const XmlNumber::FileNumbers numbers = ProjectNumbers();
    numbers.Read(&element, "ScaleX", ScaleX);
    numbers.Read(&element, "ScaleY", ScaleY);
    LogSingleton::instance()->add("Camera IFM O2D '" + name + "': Configuration loaded");
    return 0;
}

tinyxml2::XMLElement* CameraIFMO2D::Write(tinyxml2::XMLDocument& doc) {
    tinyxml2::XMLElement* element = WriteHead(doc);
    element->SetAttribute("ScaleX", ScaleX);
    element->SetAttribute("ScaleY", ScaleY);
    WriteGeometry(*element);
    return element;
}

std::string CameraIFMO2D::GetHVPConfigString(int count) const {
    float g[9];
    double zDistance = 0.0;
    GeometryValues(g, zDistance);
    char line[512];
    std::snprintf(line, sizeof(line),
                  "CONFIG Camera %d %s %s %s %s %d %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %s", count,
                  typeId.c_str(), name.c_str(), Active.load() ? "True" : "False", IP.c_str(), Port, ScaleX, ScaleY,
                  g[0], g[1], g[2], g[3], g[4], g[5], g[6], g[7], g[8], zDistance,
                  ImageEnabled.load() ? "True" : "False");
    return line;
}

void CameraIFMO2D::PrintConfig() {
    LogSingleton* log = LogSingleton::instance();
    log->add("Camera IFM O2D '" + name + "': Active=" + (Active.load() ? "true" : "false") + ", IP=" + IP +
             ", Port=" + std::to_string(Port) + ", Image enabled=" + (ImageEnabled.load() ? "true" : "false"));
    std::ostringstream scale;
    scale << "Scale x=" << ScaleX << " y=" << ScaleY;
    log->add("Camera IFM O2D '" + name + "': " + scale.str() + GeometryText());
}

}  // namespace Camera
