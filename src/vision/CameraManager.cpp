#include "vision/CameraManager.h"

#include "core/LogSingleton.h"
#include "vision/CameraBinPicking.h"
#include "vision/CameraIFMO2D.h"
#include "vision/CameraSimulated.h"

#include <tinyxml2.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <utility>

namespace Camera {

namespace {
LogSingleton* Log() { return LogSingleton::instance(); }
}  // namespace

CameraManager& CameraManager::Instance() {
    static CameraManager instance;
    return instance;
}

CameraManager::~CameraManager() = default;

std::shared_ptr<CameraInterface> CameraManager::Get(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex);
    return GetNoLock(name);
}

std::shared_ptr<CameraInterface> CameraManager::GetNoLock(const std::string& name) const {
    const auto it = registry.find(toLower(name));
    if (it == registry.end()) {
        return nullptr;
    }
    return it->second;
}

void CameraManager::Add(std::unique_ptr<CameraInterface> camera) {
    if (!camera) {
        return;
    }
    const std::string name = camera->name;
    Log()->addFormat("Adding camera %s", name.c_str());
    std::shared_ptr<CameraInterface> added(std::move(camera));
    std::shared_ptr<CameraInterface> replaced;
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::shared_ptr<CameraInterface>& slot = registry[toLower(name)];
        replaced = std::move(slot);
        slot = added;
    }
    // Released and started outside the lock: a camera's threads never wait on the registry.
    replaced.reset();
    added->Start();
    Log()->addFormat("Camera %s added", name.c_str());
}

void CameraManager::Remove(const std::string& name) {
    std::shared_ptr<CameraInterface> removed;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto it = registry.find(toLower(name));
        if (it == registry.end()) {
            return;
        }
        Log()->addFormat("Removing camera %s", name.c_str());
        removed = std::move(it->second);
        registry.erase(it);
    }
    removed->Stop();
    Log()->addFormat("Camera %s removed", name.c_str());
}

void CameraManager::Clear() {
    Log()->add("Clearing cameras");
    std::map<std::string, std::shared_ptr<CameraInterface>> taken;
    {
        std::lock_guard<std::mutex> lock(mutex);
        taken.swap(registry);
    }
    for (auto& entry : taken) {
        entry.second->Stop();
    }
    Log()->add("Cameras cleared");
}

std::size_t CameraManager::Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return registry.size();
}

std::int64_t CameraManager::NowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void CameraManager::Read(tinyxml2::XMLElement* cameras) {
    Clear();
    if (cameras == nullptr) return;
    for (tinyxml2::XMLElement* element = cameras->FirstChildElement("HwCamera"); element != nullptr;
         element = element->NextSiblingElement("HwCamera")) {
        const char* type = element->Attribute("Type");
        const char* name = element->Attribute("Name");
        if (type == nullptr || name == nullptr) {
            Log()->addError("Camera manager: Could not read camera, invalid tag");
            continue;
        }
        std::unique_ptr<CameraInterface> camera;
        if (std::strcmp(type, CameraIFMO2D::TYPE_ID) == 0) {
            camera = std::make_unique<CameraIFMO2D>(name);
        } else if (std::strcmp(type, CameraBinPicking::TYPE_ID) == 0) {
            camera = std::make_unique<CameraBinPicking>(name);
        } else if (std::strcmp(type, CameraSimulated::TYPE_ID) == 0) {
            camera = std::make_unique<CameraSimulated>(name);
        } else {
            Log()->addError(std::string("Camera manager: Could not read camera '") + name + "': unknown type '" + type +
                            "'");
            continue;
        }
        if (camera->Read(*element) != 0) {
            Log()->addError(std::string("Camera manager: Could not read camera '") + name + "'");
            continue;
        }
        Add(std::move(camera));
    }
}

tinyxml2::XMLElement* CameraManager::Write(tinyxml2::XMLDocument& doc) {
    tinyxml2::XMLElement* cameras = doc.NewElement("Cameras");
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& entry : registry) {
        if (tinyxml2::XMLElement* element = entry.second->Write(doc)) cameras->InsertEndChild(element);
    }
    return cameras;
}

bool CameraManager::BuildResultLine(CameraInterface& camera, std::int64_t nowSeconds, std::string& line) const {
    const bool periodDue = camera.lastResultLineTime == CameraInterface::kNoLineYet ||
                           nowSeconds - camera.lastResultLineTime > resultPeriod;
    if (!camera.newResult.load() && !periodDue) return false;
    camera.newResult.store(false);
    camera.lastResultLineTime = nowSeconds;
    DataTypes::Vector3 pos;
    DataTypes::Vector3 ori;
    int model = -1;
    camera.GetTargetPos(pos, ori, model);
    std::ostringstream out;
    out << "CAMINFO CameraResult " << camera.typeId << ' ' << camera.name << ' ' << camera.GetStatusString() << ' '
        << pos.x << ' ' << pos.y << ' ' << pos.z << ' ' << ori.x << ' ' << ori.y << ' ' << ori.z << ' ' << model;
    line = out.str();
    return true;
}

bool CameraManager::BuildImageLine(CameraInterface& camera, std::int64_t nowMs, std::string& line) const {
    const bool periodDue = camera.lastImageLineTime == CameraInterface::kNoLineYet ||
                           nowMs - camera.lastImageLineTime > imagePeriod;
    if (!camera.newEncodedImage.load() || !periodDue) return false;
    const std::shared_ptr<const std::string> payload = camera.GetEncodedPayload();
    line = "CAMINFO CameraImage " + camera.name + " ";
    if (payload && !payload->empty()) {
        line += *payload;
    } else {
        line += "NOIMAGE";
    }
    camera.newEncodedImage.store(false);
    camera.lastImageLineTime = nowMs;
    return true;
}

std::list<std::string> CameraManager::GetHVPResultStrings() {
    std::list<std::string> out;
    const std::int64_t nowSeconds = NowMs() / 1000;
    std::lock_guard<std::mutex> lock(mutex);
    std::string line;
    for (auto& entry : registry) {
        if (BuildResultLine(*entry.second, nowSeconds, line)) out.push_back(line);
    }
    return out;
}

std::list<std::string> CameraManager::GetHVPImageStrings() {
    std::list<std::string> out;
    const std::int64_t now = NowMs();
    std::lock_guard<std::mutex> lock(mutex);
    std::string line;
    for (auto& entry : registry) {
        if (BuildImageLine(*entry.second, now, line)) out.push_back(line);
    }
    return out;
}

std::list<std::string> CameraManager::GetHVPConfigStrings() {
    std::list<std::string> out;
    std::lock_guard<std::mutex> lock(mutex);
    const int count = static_cast<int>(registry.size());
    for (auto& entry : registry) out.push_back(entry.second->GetHVPConfigString(count));
    return out;
}

std::string CameraManager::GetCLIStateString() {
    std::string out;
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& entry : registry) {
        DataTypes::Vector3 pos;
        DataTypes::Vector3 ori;
        int model = 0;
        entry.second->GetTargetPos(pos, ori, model);
        out += "   Cam: " + entry.second->GetStatusString() + " Pos " + pos.ToString() + ", Ori " + ori.ToString() +
               " Mod " + std::to_string(model);
    }
    return out;
}

void CameraManager::ProduceHVPLines() {
    const std::int64_t now = NowMs();
    std::lock_guard<std::mutex> lock(mutex);
    std::lock_guard<std::mutex> linesLock(linesMutex);
    // Lines of cameras that left the registry go with them.
    for (auto it = lines.begin(); it != lines.end();) {
        if (registry.count(it->first) == 0) {
            it = lines.erase(it);
        } else {
            ++it;
        }
    }
    std::string line;
    for (auto& entry : registry) {
        CameraLines& kept = lines[entry.first];
        if (BuildResultLine(*entry.second, now / 1000, line)) {
            kept.result = std::make_shared<const std::string>(line);
            kept.resultSequence = ++sequence;
        }
        if (BuildImageLine(*entry.second, now, line)) {
            kept.image = std::make_shared<const std::string>(std::move(line));
            kept.imageSequence = ++sequence;
            line.clear();
        }
    }
}

std::vector<CameraManager::HVPLine> CameraManager::TakeNewHVPLines(HVPLineCursor& cursor) {
    std::vector<HVPLine> out;
    const std::int64_t now = NowMs();
    std::lock_guard<std::mutex> lock(linesMutex);
    if (cursor.seen >= sequence && !cursor.holding) return out;
    // Cameras that left the registry leave the cursor too.
    for (auto it = cursor.cameras.begin(); it != cursor.cameras.end();) {
        if (lines.count(it->first) == 0) {
            it = cursor.cameras.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& entry : lines) {
        HVPLineCursor::CameraSeen& seen = cursor.cameras[entry.first];
        if (entry.second.result && entry.second.resultSequence > seen.result) {
            out.push_back(entry.second.result);
            seen.result = entry.second.resultSequence;
        }
    }
    bool holding = false;
    for (const auto& entry : lines) {
        HVPLineCursor::CameraSeen& seen = cursor.cameras[entry.first];
        if (!entry.second.image || entry.second.imageSequence <= seen.image) continue;
        if (seen.image != 0 && now - seen.imageMs <= imagePeriod) {
            holding = true;
            continue;
        }
        out.push_back(entry.second.image);
        seen.image = entry.second.imageSequence;
        seen.imageMs = now;
    }
    cursor.seen = sequence;
    cursor.holding = holding;
    return out;
}

}  // namespace Camera
