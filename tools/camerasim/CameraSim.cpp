#include "camerasim/CameraSim.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

namespace CameraSim {

namespace {

void PutLE(std::string& bytes, std::size_t offset, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

std::uint8_t Pixel(std::uint32_t x, std::uint32_t y) { return static_cast<std::uint8_t>((x * 7 + y * 13) & 0xFF); }

std::string GreyBmp(std::uint32_t width, std::uint32_t height) {
    const std::uint32_t dataOffset = 54 + 1024;
    std::string bytes(dataOffset, '\0');
    bytes[0] = 'B';
    bytes[1] = 'M';
    PutLE(bytes, 10, dataOffset, 4);
    PutLE(bytes, 14, 40, 4);
    PutLE(bytes, 18, width, 4);
    PutLE(bytes, 22, height, 4);
    PutLE(bytes, 26, 1, 2);
    PutLE(bytes, 28, 8, 2);
    PutLE(bytes, 46, 256, 4);
    for (std::uint32_t i = 0; i < 256; ++i) {
        bytes[54 + 4 * i] = bytes[55 + 4 * i] = bytes[56 + 4 * i] = static_cast<char>(i);
    }
    bytes.reserve(dataOffset + static_cast<std::size_t>(width) * height);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) bytes.push_back(static_cast<char>(Pixel(x, y)));
    }
    PutLE(bytes, 2, static_cast<std::uint32_t>(bytes.size()), 4);
    return bytes;
}

std::string WithImage(const std::string& frame, const std::string& bmp) {
    const std::size_t stop = frame.size() >= 4 && frame.compare(frame.size() - 4, 4, "stop") == 0 ? frame.size() - 4
                                                                                                   : frame.size();
    return frame.substr(0, stop) + "#BMP#" + std::to_string(bmp.size()) + "#" + bmp + frame.substr(stop);
}

Server::Server(Config given) : config(std::move(given)) {
    if (config.frames.empty()) config.frames.push_back("0000startPASS#1.0#0#3#420#190#190.0#0.0stop");
    if (config.framesPerWrite < 1) config.framesPerWrite = 1;
    if (config.bmpWidth > 0 && config.bmpHeight > 0) image = GreyBmp(config.bmpWidth, config.bmpHeight);
}

Server::~Server() { Stop(); }

int Server::Start(int wanted) {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) return -1;
    const int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(wanted));
    socklen_t length = sizeof(address);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) < 0 || ::listen(listener, 4) < 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) < 0) {
        ::close(listener);
        listener = -1;
        return -1;
    }
    port = ntohs(address.sin_port);
    running.store(true);
    thread = std::thread(&Server::Run, this);
    return port;
}

void Server::Stop() {
    running.store(false);
    if (thread.joinable()) thread.join();
    if (listener >= 0) {
        ::close(listener);
        listener = -1;
    }
}

void Server::Run() {
    while (running.load()) {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        connections.fetch_add(1);
        Serve(connection);
        ::close(connection);
    }
}

std::string Server::NextFrame() {
    std::string frame = config.frames[nextFrame];
    nextFrame = (nextFrame + 1) % config.frames.size();
    return image.empty() ? frame : WithImage(frame, image);
}

bool Server::Write(int connection, const std::string& bytes) {
    std::vector<std::size_t> cuts;
    if (config.byteByByte) {
        for (std::size_t i = 1; i < bytes.size(); ++i) cuts.push_back(i);
    } else {
        for (std::size_t offset : config.splitOffsets) {
            if (offset > 0 && offset < bytes.size()) cuts.push_back(offset);
        }
        std::sort(cuts.begin(), cuts.end());
    }
    cuts.push_back(bytes.size());
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        while (from < cut) {
            const ssize_t n = ::send(connection, bytes.data() + from, cut - from, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            from += static_cast<std::size_t>(n);
        }
        // Pieces go out as separate reads on the other side.
        if (cut != bytes.size() && !config.byteByByte) Sleep(config.pieceGapMs);
    }
    return true;
}

void Server::Serve(int connection) {
    int sent = 0;
    std::string received;
    if (!config.prefix.empty() && !Write(connection, config.prefix)) return;
    while (running.load()) {
        const bool silent = config.silenceAfter >= 0 && sent >= config.silenceAfter;
        int due = 0;
        pollfd p{connection, POLLIN, 0};
        const int ready = ::poll(&p, 1, config.mode == Mode::Timed ? config.periodMs : 100);
        if (ready > 0) {
            char buffer[1024];
            const ssize_t n = ::recv(connection, buffer, sizeof(buffer), 0);
            if (n <= 0) return;  // the camera client went away
            received.append(buffer, static_cast<std::size_t>(n));
            std::size_t at;
            while ((at = received.find("REQUEST")) != std::string::npos) {
                received.erase(0, at + 7);
                requests.fetch_add(1);
                if (config.mode == Mode::OnRequest) ++due;
            }
            if (received.size() > 6) received.erase(0, received.size() - 6);
        }
        if (config.mode == Mode::Timed && ready == 0) due = config.framesPerWrite;
        if (silent || due == 0) continue;
        std::string bytes;
        int frames = 0;
        while (frames < due && !(config.closeAfter > 0 && sent + frames >= config.closeAfter) &&
               !(config.silenceAfter >= 0 && sent + frames >= config.silenceAfter)) {
            bytes += NextFrame();
            ++frames;
        }
        if (frames == 0) continue;
        if (!Write(connection, bytes)) return;
        sent += frames;
        framesSent.fetch_add(frames);
        if (config.closeAfter > 0 && sent >= config.closeAfter) return;
    }
}

}  // namespace CameraSim
