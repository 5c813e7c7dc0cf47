#include "cloud/MqttClient.h"

#include "cloud/Encryption.h"
#include "cloud/MqttTopics.h"
#include "core/Base64.h"
#include "core/DeviceIdentity.h"
#include "core/Filesystem.h"
#include "core/LogSingleton.h"

#include <pthread.h>

#include <cstdlib>
#include <exception>
#include <vector>

namespace Cloud {

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

std::string BrokerUri() {
    const char* uri = std::getenv(MqttClient::kUriEnvironment);
    if (uri != nullptr && uri[0] != '\0') return uri;
    return std::string("ssl://") + MqttClient::kBrokerHost + ":8883";
}

bool HasTopicWildcard(const std::string& text) { return text.find_first_of("/#+") != std::string::npos; }

MqttClient* Client(void* context) { return static_cast<MqttClient*>(context); }

// The robot type after its last '/' or '\'; whole when it has neither or ends in one.
std::string TypeText(const std::string& type) {
    const size_t at = type.find_last_of("/\\");
    if (at == std::string::npos || at + 1 == type.size()) return type;
    return type.substr(at + 1);
}

}  // namespace

// ------------------------------------------------------------------- library callbacks

namespace {

// Every callback is an entry from a library thread: nothing may leave it by exception.
template <typename Call>
void Guarded(const char* name, Call call) {
    try {
        call();
    } catch (const std::exception& e) {
        Log()->addFormat("MQTT-Client: %s: %s", name, e.what());
    } catch (...) {
        Log()->addFormat("MQTT-Client: %s: unknown exception", name);
    }
}

}  // namespace

void onConnect(void* context, MQTTAsync_successData*) {
    Guarded("onConnect", [&] { Client(context)->OnConnect(); });
}
void onConnectFailure(void* context, MQTTAsync_failureData*) {
    Guarded("onConnectFailure", [&] { Client(context)->OnConnectFailure(); });
}
void onDisconnect(void* context, MQTTAsync_successData*) {
    Guarded("onDisconnect", [&] { Client(context)->OnDisconnect(); });
}
void onDisconnectFailure(void* context, MQTTAsync_failureData*) {
    Guarded("onDisconnectFailure", [&] { Client(context)->OnDisconnectFailure(); });
}
void onConnectionLost(void* context, char* cause) {
    if (cause != nullptr) MQTTAsync_free(cause);
    Guarded("onConnectionLost", [&] { Client(context)->OnConnectionLost(); });
}
void onSend(void* context, MQTTAsync_successData*) {
    Guarded("onSend", [&] { Client(context)->OnSend(); });
}
void onSendFailure(void* context, MQTTAsync_failureData*) {
    Guarded("onSendFailure", [&] { Client(context)->OnSendFailure(); });
}
int onMessageReceived(void* context, char* topicName, int, MQTTAsync_message* message) {
    return Client(context)->OnMessageReceived(topicName, message);  // frees, cannot throw
}
void onMessageDelivered(void* context, MQTTAsync_token token) {
    Guarded("onMessageDelivered", [&] { Client(context)->OnMessageDelivered(token); });
}

// ----------------------------------------------------------------------- construction

MqttClient::MqttClient(Control::ControllerPort* port)
    : brokerUri(BrokerUri()), controller(port), lastTelemetryTime(Clock::now()) {
    for (auto& token : deliveredTokens) token.store(0);
    // The stored ID is empty already, so SetClientId("") would change nothing.
    TakeIdentityAsClientId();
    notifierThread = std::thread(&MqttClient::Notifier2, this);
}

MqttClient::~MqttClient() { Close(); }

void MqttClient::Close() {
    Stop();
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (connected.load()) {
        // Destroying a connected client sends DISCONNECT, on which the broker drops the will:
        // its message goes out here, so the status reads as after any other loss.
        const int token = Publish(MqttTopics::BasicsConnectionStatus, "LostConnection", 1, true);
        WaitDelivered(token);
    }
    DestroyHandle();
    connected.store(false);
    clientCreated.store(false);
    {
        std::lock_guard<std::mutex> notify(notifyMutex);
        notifyStop = true;
    }
    notifyWake.notify_all();
    if (notifierThread.joinable() && notifierThread.get_id() != std::this_thread::get_id()) notifierThread.join();
}

void MqttClient::DestroyHandle() {
    if (client == nullptr) return;
    // A disconnect still under way finishes first, so none of its callbacks meets a freed client.
    for (int i = 0; i < 120 && disconnectPending.load(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    MQTTAsync_destroy(&client);
    client = nullptr;
}

// --------------------------------------------------------------------------- settings

void MqttClient::SetEnabled(bool on) {
    std::lock_guard<std::mutex> serial(switchMutex);
    if (enabled.load() == on) return;
    enabled.store(on);
    if (on) {
        Connect();
        Start();
    } else {
        Stop();
        Disconnect();
    }
}

void MqttClient::SetClientId(const std::string& id) {
    std::string stored;
    bool invalid = false;
    bool tooLong = false;
    {
        std::lock_guard<std::mutex> guard(settingsMutex);
        if (id == clientId) return;
        if (HasTopicWildcard(id)) {
            invalid = true;
            clientId.clear();
        } else if (id.size() > 23) {
            tooLong = true;
            clientId = id.substr(0, 23);
        } else {
            clientId = id;
        }
        stored = clientId;
    }
    if (invalid) Log()->addFormat("MQTT Client: Could not set client ID '%s', invalid character", id.c_str());
    if (tooLong) Log()->addFormat("MQTT Client: Could not set client ID '%s', too long, will be truncated", id.c_str());
    if (stored.empty()) TakeIdentityAsClientId();
}

void MqttClient::TakeIdentityAsClientId() {
    const std::string identity = DeviceIdentity::GetDeviceId();
    if (identity.size() <= 8) return;
    std::lock_guard<std::mutex> guard(settingsMutex);
    if (clientId.empty()) clientId = identity.substr(0, 8);
}

std::string MqttClient::GetClientId() const {
    std::lock_guard<std::mutex> guard(settingsMutex);
    return clientId;
}

void MqttClient::SetRobotName(const std::string& name) {
    {
        std::lock_guard<std::mutex> guard(settingsMutex);
        if (name == robotName) return;
        robotName = name;
    }
    Publish(MqttTopics::BasicsRobotName, name, 1, true);
}

std::string MqttClient::GetRobotName() const {
    std::lock_guard<std::mutex> guard(settingsMutex);
    return robotName;
}

void MqttClient::SetRobotOwner(const std::string& owner) {
    {
        std::lock_guard<std::mutex> guard(settingsMutex);
        if (owner == robotOwner) return;
        robotOwner = owner;
    }
    Publish(MqttTopics::BasicsRobotOwner, owner, 1, true);
}

std::string MqttClient::GetRobotOwner() const {
    std::lock_guard<std::mutex> guard(settingsMutex);
    return robotOwner;
}

void MqttClient::SetCameraEnvironment(const std::string& name) {
    std::lock_guard<std::mutex> guard(settingsMutex);
    environmentPicture.SetCameraName(name);
}

std::string MqttClient::GetCameraEnvironment() const {
    std::lock_guard<std::mutex> guard(settingsMutex);
    return environmentPicture.GetCameraName();
}

void MqttClient::SetCameraWorkarea(const std::string& name) {
    std::lock_guard<std::mutex> guard(settingsMutex);
    workareaPicture.SetCameraName(name);
}

std::string MqttClient::GetCameraWorkarea() const {
    std::lock_guard<std::mutex> guard(settingsMutex);
    return workareaPicture.GetCameraName();
}

void MqttClient::SetCredentials(const std::string& user, const std::string& password) {
    // A line break would end the stored field early and come back cut.
    if (HasTopicWildcard(user) || user.find('\n') != std::string::npos) {
        Log()->addFormat("MQTT Client: Could not set username '%s', invalid character", user.c_str());
        ClearCredentials();
        return;
    }
    if (password.empty()) {
        Log()->add("MQTT Client: Could not set password, empty string");
        ClearCredentials();
        return;
    }
    if (password.find('\n') != std::string::npos) {
        Log()->add("MQTT Client: Could not set password, invalid character");
        ClearCredentials();
        return;
    }
    const std::string plain = user + "\n" + password + "\n";
    try {
        const Encryption::InitializationVector iv;
        const Encryption::Key256 key(DeviceIdentity::GetDeviceId());
        std::vector<Encryption::uint8> buffer(plain.size() + 32);
        std::copy(iv.Data(), iv.Data() + Encryption::InitializationVector::kSize, buffer.begin());
        const int n = Encryption::Encrypt(reinterpret_cast<const Encryption::uint8*>(plain.data()),
                                          static_cast<int>(plain.size()), key, iv,
                                          buffer.data() + Encryption::InitializationVector::kSize);
        const std::string stored =
            Base64::Encode(reinterpret_cast<const char*>(buffer.data()),
                           static_cast<size_t>(Encryption::InitializationVector::kSize + n));
        std::lock_guard<std::mutex> guard(settingsMutex);
        encryptedCredentials = stored;
    } catch (const std::exception& e) {
        ClearCredentials();
        Log()->addFormat("MQTT Client: Could not encrypt credentials: %s", e.what());
    }
}

bool MqttClient::GetCredentials(std::string& user, std::string& password) const {
    const std::string stored = GetEncryptedCredentials();
    if (stored.empty()) return false;
    try {
        const std::vector<unsigned char> bytes = Base64::Decode(stored);
        const int ivSize = Encryption::InitializationVector::kSize;
        if (bytes.size() < static_cast<size_t>(ivSize)) {
            Log()->add("MQTT Client: Could not decrypt credentials: stored text holds no complete IV");
            return false;
        }
        const Encryption::InitializationVector iv(bytes.data());
        const Encryption::Key256 key(DeviceIdentity::GetDeviceId());
        const std::vector<Encryption::uint8> plainBytes =
            Encryption::Decrypt(bytes.data() + ivSize, static_cast<int>(bytes.size()) - ivSize, key, iv);
        const std::string plain(plainBytes.begin(), plainBytes.end());
        const size_t first = plain.find('\n');
        const size_t second = first == std::string::npos ? std::string::npos : plain.find('\n', first + 1);
        if (second == std::string::npos) {
            Log()->add("MQTT Client: Could not parse credentials");
            return false;
        }
        user = plain.substr(0, first);
        password = plain.substr(first + 1, second - first - 1);
        return true;
    } catch (const std::exception& e) {
        Log()->addFormat("MQTT Client: Could not decrypt credentials: %s", e.what());
        return false;
    }
}

void MqttClient::SetEncryptedCredentials(const std::string& credentials) {
    {
        std::lock_guard<std::mutex> guard(settingsMutex);
        encryptedCredentials = credentials;
    }
    Changed();
}

std::string MqttClient::GetEncryptedCredentials() const {
    std::lock_guard<std::mutex> guard(settingsMutex);
    return encryptedCredentials;
}

void MqttClient::ClearCredentials() {
    SetEnabled(false);
    {
        std::lock_guard<std::mutex> guard(settingsMutex);
        encryptedCredentials.clear();
    }
    Changed();
}

bool MqttClient::AreCredentialsSet() const {
    std::lock_guard<std::mutex> guard(settingsMutex);
    return !encryptedCredentials.empty();
}

void MqttClient::SetChangedCallback(std::function<void()> callback) {
    std::lock_guard<std::mutex> guard(callbackMutex);
    changedCallback = std::move(callback);
}

void MqttClient::NotifyChanged() {
    {
        std::lock_guard<std::mutex> guard(notifyMutex);
        notifyPending = true;
    }
    notifyWake.notify_all();
}

void MqttClient::Notifier2(MqttClient* client) {
    try {
        client->Notifier();
    } catch (...) {
        Log()->add("MQTT Client: Change notifier ended by an exception");
    }
}

void MqttClient::Notifier() {
    std::unique_lock<std::mutex> guard(notifyMutex);
    while (true) {
        notifyWake.wait(guard, [&] { return notifyPending || notifyStop; });
        if (notifyStop) return;
        notifyPending = false;
        guard.unlock();
        try {
            Changed();
        } catch (const std::exception& e) {
            Log()->addFormat("MQTT Client: Change callback failed: %s", e.what());
        }
        guard.lock();
    }
}

void MqttClient::Changed() {
    std::function<void()> callback;
    {
        std::lock_guard<std::mutex> guard(callbackMutex);
        callback = changedCallback;
    }
    if (callback) callback();
}

// ---------------------------------------------------------------------------- updater

void MqttClient::Start() {
    if (!enabled.load()) return;
    // The thread gets its generation now: a Stop before its first step still ends it.
    const int generation = ++updaterGeneration;
    std::lock_guard<std::mutex> guard(updaterMutex);
    if (updaterThread.joinable()) updaterThread.join();  // an earlier one, already told to end
    updaterThread = std::thread(&MqttClient::Updater2, this, generation);
}

void MqttClient::Stop() {
    ++updaterGeneration;
    {
        std::lock_guard<std::mutex> guard(sleepMutex);
    }
    sleepWake.notify_all();
    std::lock_guard<std::mutex> guard(updaterMutex);
    if (updaterThread.joinable()) updaterThread.join();
}

void MqttClient::Updater2(MqttClient* client, int generation) {
    // Named so that its share shows in per-thread views (top -H, /proc/<pid>/task).
    pthread_setname_np(pthread_self(), kUpdaterThreadName);
    try {
        client->Updater(generation);
    } catch (const std::exception& e) {
        Log()->addFormat("MQTT Client: Updater ended: %s", e.what());
    } catch (...) {
        Log()->add("MQTT Client: Updater ended by an unknown exception");
    }
}

bool MqttClient::UpdaterCurrent(int generation) const {
    return enabled.load() && updaterGeneration.load() == generation;
}

void MqttClient::UpdaterSleep(int generation) {
    std::unique_lock<std::mutex> guard(sleepMutex);
    sleepWake.wait_for(guard, std::chrono::milliseconds(kUpdaterPeriodMs),
                       [&] { return updaterGeneration.load() != generation || wakeUpdater.load(); });
    wakeUpdater.store(false);
}

void MqttClient::Updater(int generation) {
    bool wasConnected = true;
    Clock::time_point lastAttempt{};
    std::chrono::seconds wait{0};
    while (UpdaterCurrent(generation)) {
        const Clock::time_point now = Clock::now();
        if (connected.load()) {
            // The basic data of a new connection first, then the telemetry.
            if (basicDataPending.exchange(false)) SendBasicData();
            SendData();
            wasConnected = true;
        } else if (wasConnected) {
            // Just lost, or not made yet.
            wasConnected = false;
            lastAttempt = now;
            wait = std::chrono::seconds(kFirstRetryS);
        } else if (now - lastAttempt > wait) {
            lastAttempt = now;
            if (wait < std::chrono::seconds(kLongestRetryS)) {
                wait = std::min(2 * wait, std::chrono::seconds(kLongestRetryS));
            }
            Connect();
        }
        UpdaterSleep(generation);
    }
}

// ------------------------------------------------------------------------------- link

void MqttClient::Connect() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (clientCreated.load()) Disconnect();
    if (!enabled.load()) return;

    const std::string caPath = Log()->get_rootPath() + caFileName;
    if (!Filesystem::IsFile(caPath)) {
        Log()->addFormat("MQTT Client: Tried to connect but CA file '%s' does not exist", caPath.c_str());
        return;
    }
    if (!AreCredentialsSet()) {
        Log()->add("MQTT Client: Tried to connect but credentials are not set");
        return;
    }
    std::string user, password;
    if (!GetCredentials(user, password)) {
        Log()->add("MQTT Client: Tried to connect but could not get credentials");
        return;
    }
    if (user.empty() || password.empty()) {
        Log()->add("MQTT Client: Tried to connect but username or password is empty");
        return;
    }
    std::string id, name, owner;
    {
        std::lock_guard<std::mutex> settings(settingsMutex);
        id = clientId;
        name = robotName;
        owner = robotOwner;
    }
    Log()->addFormat("MQTT Client: Connecting, username=%s, client ID=\"%s\", robot name=\"%s\" robot owner=\"%s\"",
                     user.c_str(), id.c_str(), name.c_str(), owner.c_str());
    if (id.empty()) {
        Log()->add("MQTT Client: Could not connect, client ID not defined!");
        return;
    }

    // The previous client has been disconnected above; it goes before the next is made.
    DestroyHandle();
    int rc = MQTTAsync_create(&client, brokerUri.c_str(), id.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    if (rc != MQTTASYNC_SUCCESS) {
        Log()->addFormat("MQTT Client: Could not connect, failed to create client: %s", MQTTAsync_strerror(rc));
        client = nullptr;
        return;
    }
    for (auto& token : deliveredTokens) token.store(0);
    rc = MQTTAsync_setCallbacks(client, this, onConnectionLost, onMessageReceived, onMessageDelivered);
    if (rc != MQTTASYNC_SUCCESS) {
        Log()->addFormat("MQTT Client: Could not connect, failed to set callbacks: %s", MQTTAsync_strerror(rc));
        return;
    }

    topicBase = "user/" + user + "/robot/" + id;
    willTopic = topicBase + MqttTopics::BasicsConnectionStatus;

    MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;
    will.topicName = willTopic.c_str();
    will.message = "LostConnection";
    will.qos = 1;
    will.retained = 1;

    MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
    ssl.trustStore = caPath.c_str();
    ssl.enableServerCertAuth = 1;
    // Host-name check of the certificate: without it any certificate of the CA passes.
    ssl.verify = 1;
    // A floor, not a pin: newer versions are still negotiated.
    ssl.sslVersion = MQTT_SSL_VERSION_TLS_1_2;
    ssl.disableDefaultTrustStore = 1;

    MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer;
    options.keepAliveInterval = 30;
    options.cleansession = 1;
    options.connectTimeout = 5;
    options.will = &will;
    options.username = user.c_str();
    options.password = password.c_str();
    options.ssl = &ssl;
    options.onSuccess = onConnect;
    options.onFailure = onConnectFailure;
    options.context = this;

    rc = MQTTAsync_connect(client, &options);
    if (rc != MQTTASYNC_SUCCESS) {
        Log()->addFormat("MQTT Client: Failed to connect: %s", MQTTAsync_strerror(rc));
    } else {
        clientCreated.store(true);
    }
}

void MqttClient::Disconnect() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (!clientCreated.load()) return;
    if (connected.load()) {
        const int token = Publish(MqttTopics::BasicsConnectionStatus, "Disconnected", 1, true);
        if (!WaitDelivered(token)) Log()->add("MQTT Client: Disconnect message not confirmed");
    }
    connected.store(false);
    clientCreated.store(false);
    if (client == nullptr) return;

    MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer;
    options.timeout = 5000;
    options.onSuccess = onDisconnect;
    options.onFailure = onDisconnectFailure;
    options.context = this;
    disconnectPending.store(true);
    const int rc = MQTTAsync_disconnect(client, &options);
    if (rc != MQTTASYNC_SUCCESS) {
        disconnectPending.store(false);
        Log()->addFormat("MQTT Client: Failed to disconnect: %s", MQTTAsync_strerror(rc));
    }
}

int MqttClient::PublishMessage(const std::string& topic, const std::uint8_t* payload, unsigned length, int qos,
                               bool retained) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (!connected.load() || client == nullptr) return -1;
    MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
    options.onSuccess = onSend;
    options.onFailure = onSendFailure;
    options.context = this;
    MQTTAsync_message message = MQTTAsync_message_initializer;
    message.payload = const_cast<std::uint8_t*>(payload);
    message.payloadlen = static_cast<int>(length);
    message.qos = qos;
    message.retained = retained ? 1 : 0;
    const int rc = MQTTAsync_sendMessage(client, topic.c_str(), &message, &options);
    if (rc != MQTTASYNC_SUCCESS) {
        Log()->addFormat("MQTT Client: Failed to publish message: %s", MQTTAsync_strerror(rc));
    }
    return options.token;
}

int MqttClient::PublishMessage(const std::string& topic, const std::string& payload, int qos, bool retained) {
    return PublishMessage(topic, reinterpret_cast<const std::uint8_t*>(payload.data()),
                          static_cast<unsigned>(payload.size()), qos, retained);
}

int MqttClient::Publish(const char* suffix, const std::string& payload, int qos, bool retained) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (!connected.load()) return -1;
    return PublishMessage(topicBase + suffix, payload, qos, retained);
}

void MqttClient::SendBasicData() {
    if (!connected.load()) return;
    std::string type;
    std::string modules = "R=0 E=0 G=0 P=0 IO=0";
    const Control::ControllerPort* port = controller.load();
    if (port != nullptr) {
        type = TypeText(port->GetKinematicRobotType());
        using Layout = Control::ModuleLayout;
        const Layout m = port->GetModules();
        modules = "R=" + std::to_string(m.count[Layout::RobotJoint]) + " E=" +
                  std::to_string(m.count[Layout::ExternalAxis]) + " G=" + std::to_string(m.count[Layout::Gripper]) +
                  " P=" + std::to_string(m.count[Layout::Platform]) + " IO=" + std::to_string(m.count[Layout::DIO]);
    }
    const std::string name = GetRobotName();
    const std::string owner = GetRobotOwner();
    Publish(MqttTopics::BasicsRobotName, name, 1, false);
    Publish(MqttTopics::BasicsRobotOwner, owner, 1, false);
    Publish(MqttTopics::BasicsConnectionStatus, "Connected", 1, false);
    Publish(MqttTopics::BasicsSWVersion, "Belvanto " + Log()->get_softwareVersion(), 1, false);
    Publish(MqttTopics::BasicsSWDeviceID, DeviceIdentity::GetDeviceId(), 1, false);
    Publish(MqttTopics::BasicsSWType, type, 1, false);
    Publish(MqttTopics::BasicsModuleCount, modules, 1, false);
    Log()->add("MQTT Client: Basic data published");
}

void MqttClient::SendData() {
    if (!connected.load()) return;
    TelemetryData data;
    data.CollectData(controller.load());
    const Clock::time_point now = Clock::now();
    const bool changed = now - lastTelemetryTime > std::chrono::seconds(kTelemetryPeriodS) || data != lastTelemetry;
    if (changed) {
        lastTelemetryTime = now;
        lastTelemetry.swap(data);
        const TelemetryData& t = lastTelemetry;
        Publish(MqttTopics::StatusCurrentCommandTopic, t.CurrentCommand, 0, false);
        Publish(MqttTopics::StatusErrorCodesTopic, t.ErrorCodes, 0, false);
        Publish(MqttTopics::StatusErrorStringTopic, t.ErrorString, 0, false);
        Publish(MqttTopics::StatusLastMessageTopic, t.LastMessage, 0, false);
        Publish(MqttTopics::StatusProgramRunningTopic, t.ProgramRunning, 0, false);
        Publish(MqttTopics::StatusSubProgramsTopic, t.SubPrograms, 0, false);
        Publish(MqttTopics::StatusTemperaturesPCBTopic, t.TemperaturesPCB, 0, false);
        Publish(MqttTopics::StatisticsProgramStartsTopic, t.ProgramStarts, 0, false);
        Publish(MqttTopics::StatisticsUpTimeCompleteTopic, t.UpTimeComplete, 0, false);
        Publish(MqttTopics::StatisticsUpTimeEnabledTopic, t.UpTimeEnabled, 0, false);
        Publish(MqttTopics::StatisticsUpTimeLastTopic, t.UpTimeLast, 0, false);
        Publish(MqttTopics::StatisticsUpTimeMotionTopic, t.UpTimeMotion, 0, false);
    }

    const std::int64_t seconds =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    struct Slot {
        CameraData* data;
        const char* topic;
    };
    for (const Slot& slot : {Slot{&environmentPicture, MqttTopics::ImageEnvironmentTopic},
                             Slot{&workareaPicture, MqttTopics::ImageWorkareaTopic}}) {
        std::vector<std::uint8_t> picture;
        bool publish = false;
        {
            std::lock_guard<std::mutex> guard(settingsMutex);
            if (seconds > slot.data->lastCollection + kPicturePeriodS && slot.data->CollectData()) {
                slot.data->lastCollection = seconds;
                publish = true;
                if (slot.data->HasImage()) picture = slot.data->GetPicture();
            }
        }
        if (publish) {
            std::lock_guard<std::recursive_mutex> guard(lock);
            PublishMessage(topicBase + slot.topic, picture.data(), static_cast<unsigned>(picture.size()), 0, false);
        }
    }
}

// ------------------------------------------------------------------ callback members

void MqttClient::OnConnect() {
    Log()->add("MQTT-Client: Connected");
    basicDataPending.store(true);
    connected.store(true);
    // The library holds its own lock here: publishing (our lock, then the library's) and the
    // change callback happen on the updater and the notifier instead.
    {
        std::lock_guard<std::mutex> guard(sleepMutex);
        wakeUpdater.store(true);
    }
    sleepWake.notify_all();
    NotifyChanged();
}

void MqttClient::OnConnectFailure() {
    Log()->add("MQTT-Client: Connect failed");
    connected.store(false);
}

void MqttClient::OnDisconnect() {
    disconnectPending.store(false);
    Log()->add("MQTT-Client: Disconnected");
    NotifyChanged();
}

void MqttClient::OnDisconnectFailure() {
    disconnectPending.store(false);
    Log()->add("MQTT-Client: Disconnect failed");
    NotifyChanged();
}

void MqttClient::OnConnectionLost() {
    Log()->add("MQTT-Client: Connection lost");
    connected.store(false);
    NotifyChanged();
}

void MqttClient::OnSendFailure() { Log()->add("MQTT-Client: Send failed"); }

int MqttClient::OnMessageReceived(char* topicName, MQTTAsync_message* message) {
    // Nothing is subscribed; whatever arrives is released and dropped.
    if (message != nullptr) MQTTAsync_freeMessage(&message);
    if (topicName != nullptr) MQTTAsync_free(topicName);
    return 1;
}

void MqttClient::OnMessageDelivered(MQTTAsync_token token) {
    const unsigned slot = deliveredNext.fetch_add(1) % deliveredTokens.size();
    deliveredTokens[slot].store(token);
    int expected = token;
    pendingToken.compare_exchange_strong(expected, -1);
}

bool MqttClient::WaitDelivered(int token) {
    if (token == -1) return true;  // not connected: nothing was sent
    if (token == 0) return false;  // the send failed (logged)
    pendingToken.store(token);
    bool delivered = false;
    for (int i = 0; i <= 20 && !delivered; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        delivered = pendingToken.load() == -1 || WasDelivered(token);
    }
    pendingToken.store(-1);
    return delivered;
}

bool MqttClient::WasDelivered(int token) const {
    for (const auto& delivered : deliveredTokens) {
        if (delivered.load() == token) return true;
    }
    return false;
}

}  // namespace Cloud
