#pragma once

// One simulated CANopen node: NMT slave with boot-up and heartbeat, expedited SDO
// server, PDO engine (communication and mapping objects interpreted as written, receive
// PDOs unpacked into the dictionary, transmit PDOs packed from it), and emergency
// producer with the error register and the pre-defined error field.
//
// Device profiles derive from it and add their objects and behaviour through the hooks.
// Not thread-safe; the simulator serialises all access.

#include "canopensim/ObjectDictionary.h"

#include <linux/can.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace CanopenSim {

using Clock = std::chrono::steady_clock;

// NMT states as the heartbeat reports them.
namespace Nmt {
constexpr std::uint8_t kBootUp = 0x00;
constexpr std::uint8_t kStopped = 0x04;
constexpr std::uint8_t kOperational = 0x05;
constexpr std::uint8_t kPreOperational = 0x7F;
}  // namespace Nmt

// COB-ID bases.
constexpr int kNmtId = 0x000;
constexpr int kSyncId = 0x080;
constexpr int kEmcyBase = 0x080;
constexpr int kSdoAnswerBase = 0x580;
constexpr int kSdoRequestBase = 0x600;
constexpr int kHeartbeatBase = 0x700;
constexpr std::uint32_t kPdoInvalid = 0x80000000u;

// Longest device name or firmware text the node answers, one character per subindex.
constexpr std::size_t kMaxTextLength = 32;

// One SDO download as the node received it.
struct SdoWrite {
    int node = 0;
    std::uint16_t index = 0;
    std::uint8_t subindex = 0;
    int size = 0;  // bytes the client indicated, 0 when not indicated
    std::uint32_t value = 0;
    std::uint32_t abortCode = 0;  // 0 when the write was accepted
};

// One receive PDO as the node received it.
struct PdoWrite {
    int node = 0;
    int pdo = 0;  // 1..2
    std::vector<std::uint8_t> data;
    bool accepted = false;  // false when dropped (length error, node not operational)
};

// What one frame did to the node, for the simulator's record.
struct HandleResult {
    bool sdoWrite = false;
    SdoWrite write;
    bool pdoWrite = false;
    PdoWrite pdo;
};

class CanopenNode {
public:
    CanopenNode(int nodeId, std::uint32_t deviceType, const std::string& deviceName,
                const std::string& firmware);
    virtual ~CanopenNode() = default;
    CanopenNode(const CanopenNode&) = delete;
    CanopenNode& operator=(const CanopenNode&) = delete;

    int NodeId() const { return nodeId; }
    std::uint8_t NmtState() const { return nmtState; }
    ObjectDictionary& Dictionary() { return dictionary; }
    const ObjectDictionary& Dictionary() const { return dictionary; }

    // Power-on: boot-up message and pre-operational. Profiles must have added their
    // objects (and called SnapshotDefaults) before.
    void PowerOn(Clock::time_point now, std::vector<can_frame>& out);
    // One frame from the bus; answers go to out.
    HandleResult Handle(const can_frame& frame, Clock::time_point now, std::vector<can_frame>& out);
    // Time passing: heartbeat, event-driven transmit PDOs, profile timers.
    void Tick(Clock::time_point now, std::vector<can_frame>& out);

    // Error register bits (0x1001), pushed into 0x1003 and sent as EMCY when the node
    // may send. Entry value in 0x1003: code | register << 16 | manufacturer[0] << 24.
    void Emergency(std::uint16_t code, std::uint8_t errorRegister,
                   const std::array<std::uint8_t, 5>& manufacturer, std::vector<can_frame>& out);
    // Clears the error register and sends the error-reset EMCY.
    void ClearErrors(std::vector<can_frame>& out);

    bool IsSilent() const { return silent; }
    void SetSilent(bool value) {
        silent = value;
        silentUntil = Clock::time_point{};
    }
    // Silent until the time; it speaks again at the first tick after it.
    void SetSilentUntil(Clock::time_point until) {
        silent = true;
        silentUntil = until;
    }

    static can_frame MakeFrame(int id, const std::uint8_t* data, int dlc);

protected:
    // Remembers the dictionary as the reset values for NMT resets.
    void SnapshotDefaults() { defaults = dictionary; }

    // Object-specific check before a download is stored: 0 or an abort code.
    virtual std::uint32_t CheckWrite(std::uint16_t index, std::uint8_t subindex, std::uint32_t value);
    // After a value was stored by SDO or receive PDO.
    virtual void OnWritten(std::uint16_t index, std::uint8_t subindex, std::uint32_t value,
                           Clock::time_point now, std::vector<can_frame>& out);
    // On SYNC while operational, after synchronous receive PDOs took effect and before
    // transmit PDOs are built.
    virtual void OnSync(Clock::time_point now, std::vector<can_frame>& out);
    virtual void OnTick(Clock::time_point now, std::vector<can_frame>& out);
    // Brings the feedback objects up to date before an upload or a transmit PDO.
    virtual void RefreshFeedback() {}
    // NMT reset node: the application state goes back to power-on.
    virtual void OnResetApplication() {}

    // Adds the communication objects of receive PDO n (1-based) and transmit PDO n.
    void AddReceivePdo(int n, std::uint32_t cobId, std::uint8_t type,
                       const std::vector<std::uint32_t>& mapping);
    void AddTransmitPdo(int n, std::uint32_t cobId, std::uint8_t type,
                        const std::vector<std::uint32_t>& mapping);
    void AddText(std::uint16_t index, const std::string& text);

    ObjectDictionary dictionary;

private:
    struct PdoRuntime {
        bool pending = false;  // synchronous receive PDO waiting for SYNC
        std::array<std::uint8_t, 8> data{};
        int syncCount = 0;
        bool sentOnce = false;
        std::array<std::uint8_t, 8> lastSent{};
        int lastSentLength = 0;
        Clock::time_point lastEvent{};
    };
    static constexpr int kPdoCount = 4;

    void HandleNmt(const can_frame& frame, Clock::time_point now, std::vector<can_frame>& out);
    void HandleSdo(const can_frame& frame, Clock::time_point now, std::vector<can_frame>& out,
                   HandleResult& result);
    void HandleSync(Clock::time_point now, std::vector<can_frame>& out);
    void HandleReceivePdo(int n, const can_frame& frame, Clock::time_point now,
                          std::vector<can_frame>& out, HandleResult& result);
    std::uint32_t CheckCommunicationWrite(std::uint16_t index, std::uint8_t subindex,
                                          std::uint32_t value) const;
    void ApplyReceivePdo(int n, const std::uint8_t* data, Clock::time_point now,
                         std::vector<can_frame>& out);
    int PackTransmitPdo(int n, std::uint8_t* data);
    void SendTransmitPdo(int n, Clock::time_point now, std::vector<can_frame>& out);
    int MappedBytes(std::uint16_t mappingIndex) const;
    void SendAbort(std::uint16_t index, std::uint8_t subindex, std::uint32_t code,
                   std::vector<can_frame>& out) const;
    void BootUp(Clock::time_point now, std::vector<can_frame>& out);

    int nodeId;
    std::uint8_t nmtState = Nmt::kBootUp;
    ObjectDictionary defaults;
    std::array<PdoRuntime, kPdoCount> receive{};
    std::array<PdoRuntime, kPdoCount> transmit{};
    Clock::time_point nextHeartbeat{};
    bool silent = false;
    Clock::time_point silentUntil{};  // zero: silent until told otherwise
};

}  // namespace CanopenSim
