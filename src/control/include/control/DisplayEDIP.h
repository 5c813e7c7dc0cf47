#pragma once

// Driver of a graphic touch display of the eDIP family on a serial line, in the display's
// small-packet protocol. It draws three touch screens (enable, joint jog, program), shows
// six joint values, a status text, an alive sign and an override bar, and turns touches
// into operator command codes, jog values and an override. An alternative front panel:
// the program entry does not create it. Meant for the main thread only.

#include "core/RobotState.h"

#include <cstddef>
#include <cstdint>
#include <string>

class DisplayEDIP {
public:
    static constexpr const char* kDefaultPort = "/dev/ttyO1";
    static constexpr int kNrJogValues = 6;
    static constexpr std::size_t kReadSize = 128;
    static constexpr std::uint8_t ESC = 0x1B;

    enum Screen : int { SCREEN_ENABLE = 0, SCREEN_JOG_JOINT = 1, SCREEN_PROGRAM = 3 };

    DisplayEDIP() = default;
    virtual ~DisplayEDIP();  // closes the port
    DisplayEDIP(const DisplayEDIP&) = delete;
    DisplayEDIP& operator=(const DisplayEDIP&) = delete;

    // Opens the port and shows the start-up screen.
    void Connect(const std::string& port = kDefaultPort);
    // One cycle of the display.
    void update();
    // Joint values 1..6 = the state's first six joint set-points.
    void SetValues(const DataTypes::RobotState& state);
    // The pending command code, then 0.
    int GetCommand();

    void clearDisplay();
    void initGeneral();
    void initEnable();
    void initJogJoint();
    void initProgram();
    void SetOverride(int value);
    void SetActiveJoint(int joint);
    void sendStartUpMessage();
    void sendStatus(int x, int y);
    void sendAliveSign(int x, int y);
    void sendDouble(float value, int x, int y);
    // Six characters, right-aligned with one decimal, and a terminating 0 (out holds 7).
    // "   n/a" for a non-finite value; beyond ±999.9 the value is shown as ±999.9.
    static void convertDtoC(float value, char* out);

    // Descriptor of the opened port or -1.
    int open_port(const std::string& path);
    // One packet: 0x11, n, payload, checksum, 0x0A, 0x0D. n is 1..255.
    void SendData(const std::uint8_t* payload, std::size_t n);
    // Asks the display for its buffer and acts on touch keys and the bar graph.
    void readBuffer();

    bool IsConnected() const { return connected; }
    void GetJogValues(float* values) const;
    float GetFloatArgument() const { return floatArgument; }
    int GetOverride() const { return override; }
    int GetScreen() const { return screen; }
    int GetActiveJoint() const { return activeJoint; }
    const std::string& GetStatusText() const { return statusText; }

private:
    void Send(std::initializer_list<std::uint8_t> payload);
    // A touch or radio key: ESC 'A' kind x1 y1 x2 y2 down up text 0x00.
    void SendKey(char kind, int x1, int y1, int x2, int y2, int down, int up, const char* text);
    // Centred text: ESC 'Z' 'C' x y text 0x00.
    void SendText(int x, int y, const std::string& text);
    void TouchKey(int code);
    void ShowScreen(int key);

    bool connected = false;
    int fd = -1;
    float jogValues[kNrJogValues] = {};
    int override = 0;
    int commandCode = 0;
    float floatArgument = 0.0f;
    std::string statusText = "NC";
    int jointCount = 0;
    float jointValues[kNrJogValues] = {};
    int activeJoint = 0;
    int screen = SCREEN_ENABLE;
    int fieldPositions[kNrJogValues][2] = {};
    int aliveCounter = 0;
    int startupCountdown = 20;
    bool busy = false;
};
