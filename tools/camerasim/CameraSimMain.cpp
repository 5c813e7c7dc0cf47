// belvanto-camerasim: a loopback camera on 127.0.0.1. Prints "PORT <n>" once listening and
// runs until SIGINT or SIGTERM.
//
//   --mode o2d|binpicking|plugin  timed frames (o2d, plugin) or one frame per "REQUEST"
//   --port N                      listen port (default 0: any free port)
//   --frame TEXT                  a whole frame; repeat for several, sent in turn
//   --pass MODEL,X,Y,ANGLE        a pass frame;  --fail  a fail frame
//   --bmp WxH                     every frame carries a grey-palette BMP of that size
//   --period MS                   pause between timed writes (default 200)
//   --split OFFSET                cut every write at OFFSET (repeatable)
//   --per-write K                 K frames in one write;  --bytewise  one byte per write
//   --close-after N               close a connection after N frames
//   --silence-after N             send nothing after N frames of a connection
//   --prefix TEXT                 bytes before a connection's first frame

#include "camerasim/CameraSim.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void OnSignal(int) { stopRequested = 1; }

int Usage(const char* text) {
    std::fprintf(stderr, "belvanto-camerasim: %s\n", text);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    CameraSim::Config config;
    std::string mode = "o2d";
    int port = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        auto value = [&]() -> std::string { return hasValue ? argv[++i] : std::string(); };
        if (arg == "--bytewise") {
            config.byteByByte = true;
        } else if (arg == "--fail") {
            config.frames.push_back("0000startFAILstop");
        } else if (!hasValue) {
            return Usage(("missing value or unknown option " + arg).c_str());
        } else if (arg == "--mode") {
            mode = value();
        } else if (arg == "--port") {
            port = std::atoi(value().c_str());
        } else if (arg == "--frame") {
            config.frames.push_back(value());
        } else if (arg == "--pass") {
            int model = 0, x = 0, y = 0;
            double angle = 0.0;
            if (std::sscanf(value().c_str(), "%d,%d,%d,%lf", &model, &x, &y, &angle) != 4) {
                return Usage("--pass needs MODEL,X,Y,ANGLE");
            }
            char frame[160];
            std::snprintf(frame, sizeof(frame), "0000startPASS#1.0#0#%d#%d#%d#%.1f#0.0stop", model, x, y, angle);
            config.frames.push_back(frame);
        } else if (arg == "--bmp") {
            unsigned w = 0, h = 0;
            if (std::sscanf(value().c_str(), "%ux%u", &w, &h) != 2 || w == 0 || h == 0) {
                return Usage("--bmp needs WxH");
            }
            config.bmpWidth = w;
            config.bmpHeight = h;
        } else if (arg == "--period") {
            config.periodMs = std::atoi(value().c_str());
        } else if (arg == "--split") {
            config.splitOffsets.push_back(std::strtoul(value().c_str(), nullptr, 10));
        } else if (arg == "--per-write") {
            config.framesPerWrite = std::atoi(value().c_str());
        } else if (arg == "--close-after") {
            config.closeAfter = std::atoi(value().c_str());
        } else if (arg == "--silence-after") {
            config.silenceAfter = std::atoi(value().c_str());
        } else if (arg == "--prefix") {
            config.prefix = value();
        } else {
            return Usage(("unknown option " + arg).c_str());
        }
    }
    if (mode == "binpicking") {
        config.mode = CameraSim::Mode::OnRequest;
    } else if (mode == "plugin") {
        if (config.frames.empty()) config.frames.push_back("0000startPASS#1.0#0#3#330#250#45.7#0.0stop");
    } else if (mode != "o2d") {
        return Usage("--mode is o2d, binpicking or plugin");
    }

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    CameraSim::Server server(config);
    const int listening = server.Start(port);
    if (listening < 0) {
        std::fprintf(stderr, "belvanto-camerasim: cannot listen on port %d\n", port);
        return 1;
    }
    std::printf("PORT %d\n", listening);
    std::fflush(stdout);
    while (stopRequested == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.Stop();
    std::printf("camerasim: %d connections, %d requests, %d frames\n", server.Connections(), server.Requests(),
                server.FramesSent());
    return 0;
}
