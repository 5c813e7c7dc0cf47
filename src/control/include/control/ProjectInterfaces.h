#pragma once

// What the project file configures outside the robot master: the cloud link, the Modbus
// server and the cameras. Until those services exist, the Stored* defaults only keep the
// values they are given (no connection, no log line), so a write-back returns them
// unchanged to the project file.

#include <tinyxml2.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace ProjectLinks {

class CloudSettings {
public:
    virtual ~CloudSettings() = default;
    virtual void SetClientId(const std::string& id) = 0;
    virtual void SetEncryptedCredentials(const std::string& credentials) = 0;
    virtual void SetRobotName(const std::string& name) = 0;
    virtual void SetRobotOwner(const std::string& owner) = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual void SetCameraEnvironment(const std::string& name) = 0;
    virtual void SetCameraWorkarea(const std::string& name) = 0;
    virtual bool IsEnabled() const = 0;
    virtual std::string GetEncryptedCredentials() const = 0;
    virtual std::string GetClientId() const = 0;
    virtual std::string GetRobotName() const = 0;
    virtual std::string GetRobotOwner() const = 0;
    virtual std::string GetCameraEnvironment() const = 0;
    virtual std::string GetCameraWorkarea() const = 0;

    // What the remote-control server shows and changes of the link.
    virtual bool AreCredentialsSet() const = 0;
    virtual bool IsConnected() const = 0;
    // Stores the credentials in their protected form; the cloud client logs a refused value
    // and clears the stored credentials (it never throws).
    virtual void SetCredentials(const std::string& user, const std::string& password) = 0;
    // Switches the link off and forgets the credentials.
    virtual void ClearCredentials() = 0;
    // Called, on whichever thread changed it, when the link's state changes.
    virtual void SetChangedCallback(std::function<void()> callback) = 0;
    // The exit, before the robot master goes: ends the link's threads and callbacks.
    virtual void Close() {}
};

class StoredCloudSettings : public CloudSettings {
public:
    void SetClientId(const std::string& id) override { clientId = id; }
    void SetEncryptedCredentials(const std::string& c) override {
        credentials = c;
        Changed();
    }
    void SetRobotName(const std::string& name) override { robotName = name; }
    void SetRobotOwner(const std::string& owner) override { robotOwner = owner; }
    void SetEnabled(bool on) override { enabled = on; }
    void SetCameraEnvironment(const std::string& name) override { cameraEnvironment = name; }
    void SetCameraWorkarea(const std::string& name) override { cameraWorkarea = name; }
    bool IsEnabled() const override { return enabled; }
    std::string GetEncryptedCredentials() const override { return credentials; }
    std::string GetClientId() const override { return clientId; }
    std::string GetRobotName() const override { return robotName; }
    std::string GetRobotOwner() const override { return robotOwner; }
    std::string GetCameraEnvironment() const override { return cameraEnvironment; }
    std::string GetCameraWorkarea() const override { return cameraWorkarea; }
    bool AreCredentialsSet() const override { return !credentials.empty(); }
    bool IsConnected() const override { return false; }
    // Without the cloud service there is nothing to protect them with: kept as given.
    void SetCredentials(const std::string& user, const std::string& password) override {
        credentials = user + "\n" + password;
    }
    void ClearCredentials() override {
        enabled = false;
        credentials.clear();
        Changed();
    }
    void SetChangedCallback(std::function<void()> callback) override {
        std::lock_guard<std::mutex> lock(callbackMutex);
        changed = std::move(callback);
    }

private:
    void Changed() {
        std::function<void()> callback;
        {
            std::lock_guard<std::mutex> lock(callbackMutex);
            callback = changed;
        }
        if (callback) callback();
    }

    bool enabled = false;
    std::string credentials, clientId, robotName, robotOwner, cameraEnvironment, cameraWorkarea;
    std::mutex callbackMutex;
    std::function<void()> changed;
};

class ModbusSettings {
public:
    virtual ~ModbusSettings() = default;
    virtual void SetPort(int port) = 0;
    virtual void SetMaxConnections(unsigned count) = 0;
    virtual int GetPort() const = 0;
    virtual unsigned GetMaxConnections() const = 0;
};

class StoredModbusSettings : public ModbusSettings {
public:
    void SetPort(int p) override { port = p; }
    void SetMaxConnections(unsigned count) override { maxConnections = count; }
    int GetPort() const override { return port; }
    unsigned GetMaxConnections() const override { return maxConnections; }

private:
    int port = 502;
    unsigned maxConnections = 5;
};

class CameraSettings {
public:
    virtual ~CameraSettings() = default;
    // The project's "Cameras" element.
    virtual void Read(const tinyxml2::XMLElement& element) = 0;
    // A new "Cameras" element of doc (not yet linked), or null to write none.
    virtual tinyxml2::XMLElement* Write(tinyxml2::XMLDocument& doc) = 0;
};

// Keeps a copy of the element it read and writes it back unchanged.
class StoredCameraSettings : public CameraSettings {
public:
    void Read(const tinyxml2::XMLElement& element) override {
        kept = std::make_unique<tinyxml2::XMLDocument>();
        kept->InsertEndChild(element.DeepClone(kept.get()));
    }
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument& doc) override {
        if (!kept || kept->FirstChildElement() == nullptr) return nullptr;
        return kept->FirstChildElement()->DeepClone(&doc)->ToElement();
    }

private:
    std::unique_ptr<tinyxml2::XMLDocument> kept;
};

}  // namespace ProjectLinks
