#include "vision/CameraTCP.h"

#include "core/LogSingleton.h"
#include "vision/Imaging.h"
#include "vision/TCPClient.h"

#include <tinyxml2.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace Camera {

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

bool AttributeIsTrue(const char* value) { return value != nullptr && toLower(value).find("true") != std::string::npos; }

}  // namespace

CameraTCP::CameraTCP(std::string typeId, const std::string& name, std::string logName)
    : CameraInterface(std::move(typeId), name), logName(std::move(logName)) {}

CameraTCP::~CameraTCP() { Stop(); }

std::int64_t CameraTCP::NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void CameraTCP::Start() {
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    if (running.load() || !Active.load()) return;
    // A thread that ended on its own (deactivated) is collected before the next one.
    if (thread.joinable()) thread.join();
    bool made;
    {
        std::lock_guard<std::mutex> geometry(geometryMutex);
        made = transferMatrixMade;
    }
    if (!made) CreateTransferMatrix();
    // Encoding first: the connection thread stops it on its way out, even at once.
    if (ImageEnabled.load()) StartEncoding();
    running.store(true);
    thread = std::thread(&CameraTCP::ConnectionThread, this);
}

void CameraTCP::Stop() {
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    running.store(false);
    if (thread.joinable()) thread.join();
}

void CameraTCP::CreateTransferMatrix() {
    std::lock_guard<std::mutex> geometry(geometryMutex);
    transferMatrixMade = true;
    DataTypes::Vector3 third;
    DataTypes::Vector3::CreateCoordSystem(Up, Look, third);
    transferMatrix = DataTypes::Matrix44(Up, third, Look, Origin);
}

void CameraTCP::LogLine(const std::string& text) {
    Log()->add(pendingLog + logName + " '" + name + text);
    pendingLog.clear();
}

void CameraTCP::ConnectionThread() {
    try {
        connected.store(false);
        PrintConfig();
        LogLine(" connecting to " + IP + " port " + std::to_string(Port));
        // Allocated once per thread.
        CameraFrameAssembler assembler(ExactFillThrows());
        std::vector<char> chunk(CameraFrameAssembler::ChunkSize);
        TCPClient client;
        while (running.load() && Active.load()) {
            LogLine("' connecting");
            if (!client.setup(IP, Port)) {
                for (int i = 0; i < 50 && running.load(); ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
                client.Close();
                continue;
            }
            LogLine("' connected");
            connectMs = NowMs();
            lastBytesMs.store(connectMs);
            assembler.Reset();
            connected.store(true);
            try {
                ReceiveLoop(client, assembler, chunk);
            } catch (const std::exception& e) {
                LogLine(std::string("' exception: ") + e.what());
            }
            client.Close();
            SetImage(nullptr);
            connected.store(false);
        }
    } catch (const std::exception& e) {
        Log()->addError(logName + " '" + name + "' thread failed: " + e.what());
    } catch (...) {
        Log()->addError(logName + " '" + name + "' thread failed");
    }
    connected.store(false);
    StopEncoding();
    Log()->add(pendingLog + logName + " '" + name + "' stopped");
    pendingLog.clear();
    running.store(false);
}

void CameraTCP::Assemble(CameraFrameAssembler& assembler, const char* data, int n) {
    const int dropped = assembler.Feed(data, static_cast<std::size_t>(n),
                                       [this](char* frame, unsigned length) { ParseMessage(frame, length); });
    if (dropped > 0) LogLine("': frame bigger than the buffer dropped");
}

bool CameraTCP::ReadAndAssemble(TCPClient& client, CameraFrameAssembler& assembler, std::vector<char>& chunk) {
    const int n = client.readBytes(chunk.data(), static_cast<int>(chunk.size()));
    if (n == 0) {
        LogLine("' connection closed by the camera");
        return false;
    }
    if (n < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return true;
    }
    lastBytesMs.store(NowMs());
    Assemble(assembler, chunk.data(), n);
    return true;
}

long CameraTCP::Find(const char* data, unsigned length, const std::string& pattern) {
    return CameraFrameAssembler::Find(data, length, pattern);
}

int CameraTCP::ParseMessage(char* frame, unsigned length) {
    const unsigned head = std::min<unsigned>(length, CameraFrameAssembler::HeaderBytes);
    // The frame is not terminated: the fields are read from a terminated copy.
    char text[CameraFrameAssembler::HeaderBytes + 1];
    std::memcpy(text, frame, head);
    text[head] = '\0';

    int outcome;
    if (Find(frame, head, "0000startFAIL") >= 0) {
        pending.valid = false;
        outcome = -1;
    } else {
        const long pass = Find(frame, head, "0000startPASS");
        if (pass >= 0) {
            float unused1 = 0.0f;
            float unused7 = 0.0f;
            float angle = 0.0f;
            int unused2 = 0;
            int model = 0;
            int x = 0;
            int y = 0;
            const int fields = std::sscanf(text + pass, "0000startPASS#%f#%d#%d#%d#%d#%f#%f", &unused1, &unused2,
                                           &model, &x, &y, &angle, &unused7);
            // Only a complete result is a target; a garbled one counts as a failed evaluation.
            if (fields == 7 && std::isfinite(angle)) {
                pending.model = model;
                TransformPixelToMM(x, y, angle);
                outcome = 0;
            } else {
                pending.valid = false;
                outcome = -1;
            }
        } else {
            pending.valid = false;
            outcome = -2;
        }
    }
    {
        std::lock_guard<std::mutex> lock(resultMutex);
        result = pending;
    }
    SetNewResult();

    std::shared_ptr<const Imaging::Image> frameImage;
    std::size_t imageStart = 0;
    long count = 0;
    if (ImageEnabled.load() && CameraFrameAssembler::FindImageBlock(frame, length, imageStart, count) && count > 0 &&
        imageStart < length) {
        const unsigned bytes = static_cast<unsigned>(std::min<unsigned long>(count, length - imageStart));
        try {
            frameImage = std::make_shared<const Imaging::Bitmap8BppIndexed>(
                reinterpret_cast<const unsigned char*>(frame + imageStart), bytes);
        } catch (const std::invalid_argument&) {
            Log()->add(logName + " '" + name + "': parsing image failed");
        }
    }
    SetImage(std::move(frameImage));
    return outcome;
}

void CameraTCP::SetPendingTarget(int x, int y, double angle, double scaleX, double scaleY) {
    const DataTypes::Vector3 p(static_cast<float>(scaleX * (x - imageCentreX)),
                               static_cast<float>(scaleY * (y - imageCentreY)), static_cast<float>(ZDistance));
    {
        std::lock_guard<std::mutex> geometry(geometryMutex);
        pending.position = transferMatrix * p;
    }
    pending.angle = angle;
    pending.valid = true;
}

bool CameraTCP::GetTargetPos(DataTypes::Vector3& pos, DataTypes::Vector3& ori, int& model) const {
    Result current;
    {
        std::lock_guard<std::mutex> lock(resultMutex);
        current = result;
    }
    if (current.valid && connected.load()) {
        pos = current.position;
        float angle = static_cast<float>(current.angle);
        if (angle > 180.0f) angle -= 360.0f;
        if (angle < -180.0f) angle += 360.0f;
        ori = DataTypes::Vector3(angle, 0.0f, 0.0f);
        model = current.model;
        return true;
    }
    pos = DataTypes::Vector3();
    ori = DataTypes::Vector3();
    model = -1;
    return false;
}

void CameraTCP::ReadCommonAttributes(tinyxml2::XMLElement& element) {
    if (const char* v = element.Attribute("Name")) name = v;
    if (const char* v = element.Attribute("Description")) description = v;
    Active.store(AttributeIsTrue(element.Attribute("Active")));
    ImageEnabled.store(AttributeIsTrue(element.Attribute("ImageEnabled")));
    if (const char* v = element.Attribute("IP")) IP = v;
    if (const char* v = element.Attribute("Port")) Port = std::atoi(v);
    std::lock_guard<std::mutex> geometry(geometryMutex);
    const std::pair<const char*, float*> floats[] = {
        {"OriginX", &Origin.x}, {"OriginY", &Origin.y}, {"OriginZ", &Origin.z}, {"LookX", &Look.x}, {"LookY", &Look.y},
        {"LookZ", &Look.z},     {"UpX", &Up.x},         {"UpY", &Up.y},         {"UpZ", &Up.z}};
    const XmlNumber::FileNumbers numbers = ProjectNumbers();
    for (const auto& f : floats) numbers.Read(&element, f.first, *f.second);
    numbers.Read(&element, "ZDistance", ZDistance);
}

tinyxml2::XMLElement* CameraTCP::WriteHead(tinyxml2::XMLDocument& doc) const {
    tinyxml2::XMLElement* element = doc.NewElement("HwCamera");
    element->SetAttribute("Type", typeId.c_str());
    element->SetAttribute("Name", name.c_str());
    element->SetAttribute("Active", Active.load() ? "True" : "False");
    element->SetAttribute("ImageEnabled", ImageEnabled.load() ? "True" : "False");
    element->SetAttribute("Description", description.c_str());
    element->SetAttribute("IP", IP.c_str());
    element->SetAttribute("Port", Port);
    return element;
}

void CameraTCP::GeometryValues(float values[9], double& zDistance) const {
    std::lock_guard<std::mutex> geometry(geometryMutex);
    const DataTypes::Vector3* vectors[] = {&Origin, &Look, &Up};
    for (int i = 0; i < 3; ++i) {
        values[3 * i] = vectors[i]->x;
        values[3 * i + 1] = vectors[i]->y;
        values[3 * i + 2] = vectors[i]->z;
    }
    zDistance = ZDistance;
}

void CameraTCP::WriteGeometry(tinyxml2::XMLElement& element) const {
    static const char* const names[] = {"OriginX", "OriginY", "OriginZ", "LookX", "LookY",
                                        "LookZ",   "UpX",     "UpY",     "UpZ"};
    float values[9];
    double zDistance = 0.0;
    GeometryValues(values, zDistance);
    for (int i = 0; i < 9; ++i) element.SetAttribute(names[i], values[i]);
    element.SetAttribute("ZDistance", zDistance);
}

std::string CameraTCP::GeometryText() const {
    float v[9];
    double zDistance = 0.0;
    GeometryValues(v, zDistance);
    std::ostringstream out;
    out << ", Origin=" << DataTypes::Vector3(v[0], v[1], v[2]).ToString()
        << ", Look=" << DataTypes::Vector3(v[3], v[4], v[5]).ToString()
        << ", Up=" << DataTypes::Vector3(v[6], v[7], v[8]).ToString() << ", ZDistance=" << zDistance;
    return out.str();
}

}  // namespace Camera
