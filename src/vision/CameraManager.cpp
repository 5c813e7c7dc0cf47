#include "vision/CameraManager.h"

#include "core/LogSingleton.h"

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

void CameraManager::ProduceHVPLines() {}

std::vector<CameraManager::HVPLine> CameraManager::TakeNewHVPLines(HVPLineCursor& /*cursor*/) {
    return {};
}

}  // namespace Camera
