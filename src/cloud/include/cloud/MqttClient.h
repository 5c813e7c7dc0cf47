#pragma once

// The cloud link: publishes the controller's identity, status and statistics to one broker
// over MQTT with TLS (Paho asynchronous client). It keeps the cloud settings of the project
// with the broker credentials encrypted under the device identity, publishes the basic
// data on every connect, and runs an updater thread that publishes the telemetry when it
// changes or every 5 s and reconnects after a loss with a growing back-off.
//
// Threads: settings come from the main thread and the remote clients; Connect, SendData and
// the basic data of a new connection run on the updater; the library's callbacks only log
// and set flags (the library holds a lock of its own while it calls them), and the change
// callback of library events runs on a small notifier thread. The recursive lock serialises
// Connect, Disconnect and PublishMessage; the settings strings have a small mutex of their
// own (copies are taken under it); flags, token and generation are atomics.

#include "cloud/TelemetryData.h"
#include "control/ControllerPort.h"
#include "control/ProjectInterfaces.h"

#include <MQTTAsync.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace Cloud {

// Library callbacks: context is the MqttClient; each forwards to the member of its name.
void onConnect(void* context, MQTTAsync_successData* response);
void onConnectFailure(void* context, MQTTAsync_failureData* response);
void onDisconnect(void* context, MQTTAsync_successData* response);
void onDisconnectFailure(void* context, MQTTAsync_failureData* response);
void onConnectionLost(void* context, char* cause);
void onSend(void* context, MQTTAsync_successData* response);
void onSendFailure(void* context, MQTTAsync_failureData* response);
int onMessageReceived(void* context, char* topicName, int topicLength, MQTTAsync_message* message);
void onMessageDelivered(void* context, MQTTAsync_token token);

class MqttClient : public ProjectLinks::CloudSettings {
public:
    static constexpr const char* kBrokerHost = "mqtt.belvanto.cloud";
    static constexpr const char* kUriEnvironment = "BELVANTO_MQTT_URI";
    static constexpr const char* kCaFileName = "ISRG_Root_X1.pem";
    static constexpr int kTelemetryPeriodS = 5;
    static constexpr int kPicturePeriodS = 2;
    static constexpr int kUpdaterPeriodMs = 500;
    static constexpr int kFirstRetryS = 15;
    static constexpr int kLongestRetryS = 60;
    static constexpr const char* kUpdaterThreadName = "MqttUpdater";

    // port (not owned) is the source of telemetry; it may be bound later.
    explicit MqttClient(Control::ControllerPort* port);
    // Close, then the members.
    ~MqttClient() override;
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    void SetControllerPort(Control::ControllerPort* port) { controller.store(port); }
    const std::string& GetBrokerUri() const { return brokerUri; }

    // --- Settings ---
    bool IsConnected() const override { return connected.load(); }
    bool IsEnabled() const override { return enabled.load(); }
    void SetEnabled(bool on) override;
    void SetClientId(const std::string& id) override;
    std::string GetClientId() const override;
    void SetRobotName(const std::string& name) override;
    std::string GetRobotName() const override;
    void SetRobotOwner(const std::string& owner) override;
    std::string GetRobotOwner() const override;
    void SetCameraEnvironment(const std::string& name) override;
    std::string GetCameraEnvironment() const override;
    void SetCameraWorkarea(const std::string& name) override;
    std::string GetCameraWorkarea() const override;
    // Refused values (an invalid character or a line break in the user name, a line break
    // in or an empty password) are logged and clear the stored credentials; never throws.
    void SetCredentials(const std::string& user, const std::string& password) override;
    bool GetCredentials(std::string& user, std::string& password) const;
    void SetEncryptedCredentials(const std::string& credentials) override;
    std::string GetEncryptedCredentials() const override;
    void ClearCredentials() override;
    bool AreCredentialsSet() const override;
    void SetChangedCallback(std::function<void()> callback) override;
    // The exit: the updater ends, the will's "LostConnection" goes out while connected (the
    // library's destroy sends DISCONNECT, on which the broker would drop the will), then the
    // library client is destroyed. No "Disconnected".
    void Close() override;

    // --- Link ---
    void Start();
    void Stop();  // never on the updater thread
    void Connect();
    void Disconnect();
    int PublishMessage(const std::string& topic, const std::uint8_t* payload, unsigned length, int qos,
                       bool retained);
    int PublishMessage(const std::string& topic, const std::string& payload, int qos, bool retained);
    void SendBasicData();
    void SendData();

    // --- Library callbacks ---
    void OnConnect();
    void OnConnectFailure();
    void OnDisconnect();
    void OnDisconnectFailure();
    void OnConnectionLost();
    void OnSend() {}
    void OnSendFailure();
    int OnMessageReceived(char* topicName, MQTTAsync_message* message);
    void OnMessageDelivered(MQTTAsync_token token);

    // Thread entries of the updater and of the change notifier.
    static void Updater2(MqttClient* client, int generation);
    static void Notifier2(MqttClient* client);

private:
    using Clock = std::chrono::steady_clock;

    void Updater(int generation);
    bool UpdaterCurrent(int generation) const;
    // Sleeps one updater period unless Stop wakes it.
    void UpdaterSleep(int generation);
    // topic base + suffix under the lock.
    int Publish(const char* suffix, const std::string& payload, int qos, bool retained);
    void Changed();
    // From library callbacks: the notifier thread calls the change callback.
    void NotifyChanged();
    void Notifier();
    bool WasDelivered(int token) const;
    // Waits up to 20 x 50 ms for the delivery of a QoS 1 message; false when it never came.
    bool WaitDelivered(int token);
    void DestroyHandle();
    // An empty client ID becomes the identity's first 8 characters (when it has more).
    void TakeIdentityAsClientId();

    const std::string brokerUri;
    const std::string caFileName = kCaFileName;
    std::string topicBase;  // lock
    std::string willTopic;  // lock; the library reads it while connected
    MQTTAsync client = nullptr;  // lock
    std::atomic<Control::ControllerPort*> controller;
    TelemetryData lastTelemetry;  // updater thread
    CameraData environmentPicture;  // settingsMutex
    CameraData workareaPicture;     // settingsMutex
    Clock::time_point lastTelemetryTime;  // updater thread
    std::atomic<bool> clientCreated{false};
    std::atomic<bool> connected{false};
    std::atomic<bool> enabled{false};

    mutable std::mutex settingsMutex;
    std::string encryptedCredentials;
    std::string clientId;
    std::string robotName;
    std::string robotOwner;

    std::mutex callbackMutex;
    std::function<void()> changedCallback;

    std::atomic<int> updaterGeneration{0};
    std::atomic<int> pendingToken{-1};
    // The newest delivered tokens: a confirmation may come before the publisher stored its token.
    std::array<std::atomic<int>, 32> deliveredTokens{};
    std::atomic<unsigned> deliveredNext{0};
    std::atomic<bool> disconnectPending{false};

    std::mutex updaterMutex;  // the thread object; never taken by the updater
    std::thread updaterThread;
    std::mutex sleepMutex;
    std::condition_variable sleepWake;
    std::atomic<bool> wakeUpdater{false};
    std::atomic<bool> basicDataPending{false};
    std::mutex switchMutex;  // one enable/disable at a time
    // The change callback of library events runs here: the library calls back holding a
    // lock of its own, which must not meet ours or the callback's.
    std::mutex notifyMutex;
    std::condition_variable notifyWake;
    bool notifyPending = false;
    bool notifyStop = false;
    std::thread notifierThread;
    std::recursive_mutex lock;
};

}  // namespace Cloud
