#pragma once

// The serial operator panel: jog axes, a mode selector, an override knob and buttons on the
// panel side; joint positions, states, program and error texts on its display. The main
// loop calls update() every pass: it takes the panel's input frames, turns the axes into
// nine jog values and a button into an operator command code, and answers with one output
// frame (a message, a file name or the position frame). Only the main thread uses it.

#include "control/ApplicationLinks.h"
#include "control/OperatorCommands.h"
#include "core/FilterAverage.h"
#include "core/RobotState.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class Display4DS : public AppLinks::OperatorPanel {
public:
    // Dead band of the panel's axis values ("JogBias" of the robot file).
    static std::atomic<int> jogBias;

    static constexpr int kNrJogValues = 9;
    static constexpr std::size_t kInputFrameSize = 17;
    static constexpr std::size_t kMessageFrameSize = 38;
    static constexpr std::size_t kFilenameFrameSize = 25;
    static constexpr std::size_t kPositionFrameSize = 103;
    // Passes (about 1 s) without a whole input frame after which the jog values become 0.
    static constexpr int kSilentPassesStopJog = 40;
    // Colon-separated device paths that replace the detection candidates (tests, demo).
    static constexpr const char* kPortsEnvironment = "BELVANTO_PANEL_PORTS";

    Display4DS();
    ~Display4DS() override;  // closes the port
    Display4DS(const Display4DS&) = delete;
    Display4DS& operator=(const Display4DS&) = delete;

    // Opens the panel on port, else on the first detected one. Called once at start-up.
    void Connect(const std::string& port) override;
    // One input and one output exchange; every main-loop pass.
    void update();
    // Copies what the display shows.
    void SetValues(const DataTypes::RobotState& state) override;
    // The pending command code, then 0.
    int GetCommand();
    void ResetJogValues() override;

    // Descriptor of a configured port with a panel behind it, or -1 (port closed again).
    int open_port(const std::string& path);
    // The first candidate port open_port accepts, or -1.
    int detect_port();
    void SendPosition();
    void SendMessage();
    void SendFilename();

    // The candidates detect_port tries: BELVANTO_PANEL_PORTS when set (empty: none), else
    // "/dev/serial0", "/dev/ttyO0".."/dev/ttyO3".
    static std::vector<std::string> CandidatePorts();
    // One axis byte (128 at rest) as a value in -50..50 with the given dead band.
    static int AxisValue(std::uint8_t byte, int bias);

    // The application's view of the panel.
    void Update() override { update(); }
    void GetJogValues(float* values) const override;
    bool TakeCommand(OperatorCommand& out) override;

    bool IsConnected() const { return connected; }
    int GetIntArgument() const { return intArgument; }
    float GetFloatArgument() const { return floatArgument; }
    int GetPanelMode() const { return panelMode; }
    int GetPanelOverride() const { return panelOverride; }
    int GetMotionType() const { return motionType; }
    std::uint64_t GetBytesWritten() const { return bytesWritten; }
    std::uint64_t GetPassCount() const { return passCount; }

private:
    static constexpr std::size_t kReceiveSize = 256;
    static constexpr int kMaxReadsPerPass = 64;

    void CloseConnection();
    void ReadAvailable();
    // Takes every complete input frame from the receive buffer and keeps the rest.
    void TakeFrames();
    void TakeFrame(const std::uint8_t* frame);
    void ApplyButton(int button, int overrideByte);
    void ApplyAxes(const std::uint8_t* axes);
    void Write(const std::uint8_t* data, std::size_t size);

    bool connected = false;
    int fd = -1;
    float jogValues[kNrJogValues] = {};
    int overrideShown = 0;
    int panelOverride = 0;
    int commandCode = 0;
    int intArgument = 0;
    float floatArgument = 0.0f;
    int motionType = 0;
    float jointPositions[9] = {};
    int moduleErrors[9] = {};
    int moduleTemperatures[9] = {};
    int refOverall = 0;
    int refBits = 0;
    int supply = 0;
    int currentAll = 0;
    DataTypes::FilterAverage supplyFilter{5};
    DataTypes::FilterAverage currentFilter{1};
    int panelMode = 0;
    float platformValues[4] = {};
    int platformErrors[4] = {};
    int platformStatus2[4] = {};
    int kinState = 0;
    std::string errorText;
    int programInfo[5] = {};
    char programName[20];
    bool inputStates[DataTypes::RobotState::maxIOs] = {};
    bool outputStates[DataTypes::RobotState::maxIOs] = {};
    std::uint8_t inputMasks[3] = {};
    std::uint8_t outputMasks[3] = {};
    bool messagePending = false;
    std::string messageText;
    bool filenamePending = false;
    std::string filenameText;
    std::uint64_t bytesWritten = 0;
    std::uint64_t passCount = 0;
    int passesWithoutFrame = 0;

    // Bytes received but not yet taken as a frame.
    std::array<std::uint8_t, kReceiveSize> received{};
    std::size_t receivedCount = 0;
    // What this pass's frames gave.
    bool frameTaken = false;
    std::array<std::uint8_t, kNrJogValues> newestAxes{};
    std::array<std::uint8_t, kPositionFrameSize> positionFrame{};
};
