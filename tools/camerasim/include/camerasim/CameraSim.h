#pragma once

// A loopback camera for tests and demos: it listens on 127.0.0.1 and plays an ifm O2D
// sensor (frames on a timer), a bin-picking solution (one frame per "REQUEST") or the
// plug-in camera. Frames can carry a grey-palette BMP of any size and be cut into writes
// at chosen offsets, packed several per write, or sent byte by byte; a connection can be
// closed after some frames or go silent.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace CameraSim {

enum class Mode { Timed, OnRequest };

struct Config {
    Mode mode = Mode::Timed;
    std::vector<std::string> frames;      // whole frames ("0000start" ... "stop"), sent in turn
    int periodMs = 200;                   // Timed: pause between writes
    std::uint32_t bmpWidth = 0;           // > 0: every frame carries a grey BMP of this size
    std::uint32_t bmpHeight = 0;
    std::vector<std::size_t> splitOffsets;  // each write is sent in pieces cut at these offsets
    int framesPerWrite = 1;
    bool byteByByte = false;
    int closeAfter = 0;                   // > 0: close a connection after this many frames
    int silenceAfter = -1;                // >= 0: send nothing after this many frames of a connection
    std::string prefix;                   // bytes sent before a connection's first frame
    int pieceGapMs = 20;                  // pause between the pieces of one write
};

// Grey value of pixel (x, y) in the BMPs the simulator sends.
std::uint8_t Pixel(std::uint32_t x, std::uint32_t y);
// An 8-bit BMP with a grey palette (entry i = i, i, i, 0) and the pixels of Pixel(), rows
// of exactly width bytes.
std::string GreyBmp(std::uint32_t width, std::uint32_t height);
// The frame with "#BMP#<n>#" and the BMP inserted before its closing "stop".
std::string WithImage(const std::string& frame, const std::string& bmp);

class Server {
public:
    explicit Server(Config config);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Listens on 127.0.0.1:port (0 = any free port) and serves one connection at a time.
    // Returns the port, or -1.
    int Start(int port = 0);
    void Stop();

    int Port() const { return port; }
    int Connections() const { return connections.load(); }
    int Requests() const { return requests.load(); }
    int FramesSent() const { return framesSent.load(); }

private:
    void Run();
    void Serve(int connection);
    std::string NextFrame();
    bool Write(int connection, const std::string& bytes);

    Config config;
    std::string image;  // the BMP every frame carries, if any
    std::size_t nextFrame = 0;
    int listener = -1;
    int port = -1;
    std::atomic<bool> running{false};
    std::atomic<int> connections{0};
    std::atomic<int> requests{0};
    std::atomic<int> framesSent{0};
    std::thread thread;
};

}  // namespace CameraSim
