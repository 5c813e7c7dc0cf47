#include "testsupport/HvpTestClient.h"

#include "testsupport/LoopbackSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>

namespace TestSupport {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

HvpTestClient::~HvpTestClient() { Close(); }

bool HvpTestClient::Connect(int port, int timeoutMs) {
    Close();
    const int s = ConnectLoopback(port, timeoutMs, false, 20);
    if (s < 0) return false;
    Adopt(s);
    return true;
}

void HvpTestClient::Adopt(int socket) {
    Close();
    fd = socket;
    peerClosed = false;
    buffer.clear();
}

void HvpTestClient::Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

void HvpTestClient::SetReceiveBuffer(int bytes) {
    if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
}

bool HvpTestClient::SendRaw(const std::string& bytes) { return fd >= 0 && SendAll(fd, bytes); }

bool HvpTestClient::Send(int counter, const std::string& body) {
    return SendRaw("HVPSTART " + std::to_string(counter) + " " + body + " HVPEND");
}

bool HvpTestClient::Fill(int timeoutMs) {
    if (fd < 0 || peerClosed) return false;
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeoutMs);
    if (ready <= 0) return false;
    char chunk[65536];
    const ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
    if (n <= 0) {
        peerClosed = true;
        return false;
    }
    buffer.append(chunk, static_cast<std::size_t>(n));
    return true;
}

bool HvpTestClient::TakeFrame(Frame& out) {
    const std::size_t start = buffer.find("HVPSTART ");
    if (start == std::string::npos) return false;
    const std::size_t end = buffer.find(" HVPEND\n", start);
    if (end == std::string::npos) return false;
    const std::string text = buffer.substr(start + 9, end - start - 9);
    buffer.erase(0, end + 8);
    const std::size_t blank = text.find(' ');
    out.counter = std::atoi(text.substr(0, blank).c_str());
    out.payload = blank == std::string::npos ? std::string() : text.substr(blank + 1);
    received.push_back(out);
    return true;
}

bool HvpTestClient::ReadFrame(Frame& out, int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (TakeFrame(out)) return true;
        if (!Fill(RemainingMs(end)) && (peerClosed || Clock::now() >= end)) return TakeFrame(out);
    }
}

std::optional<HvpTestClient::Frame> HvpTestClient::WaitForFrame(
    const std::function<bool(const Frame&)>& condition, int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    Frame frame;
    while (ReadFrame(frame, RemainingMs(end))) {
        if (condition(frame)) return frame;
    }
    return std::nullopt;
}

std::optional<HvpTestClient::Frame> HvpTestClient::WaitFor(const std::string& prefix, int timeoutMs) {
    return WaitForFrame([&](const Frame& f) { return f.payload.rfind(prefix, 0) == 0; }, timeoutMs);
}

std::vector<HvpTestClient::Frame> HvpTestClient::Drain(int quietMs) {
    std::vector<Frame> frames;
    Frame frame;
    while (ReadFrame(frame, quietMs)) frames.push_back(frame);
    return frames;
}

bool HvpTestClient::WaitClosed(int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!peerClosed && Clock::now() < end) {
        Frame frame;
        while (TakeFrame(frame)) {
        }
        if (!Fill(RemainingMs(end)) && !peerClosed) {
            if (Clock::now() >= end) break;
        }
        if (buffer.size() > (1u << 22)) buffer.clear();
    }
    return peerClosed;
}

std::vector<std::string> HvpTestClient::PayloadsStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const Frame& f : received) {
        if (f.payload.rfind(prefix, 0) == 0) out.push_back(f.payload);
    }
    return out;
}

std::vector<std::string> HvpTestClient::Tokens(const std::string& payload) {
    std::vector<std::string> tokens;
    std::istringstream in(payload);
    std::string token;
    while (in >> token) tokens.push_back(token);
    return tokens;
}

std::vector<float> HvpTestClient::ValuesAfter(const std::string& payload, const std::string& key, int count) {
    const std::vector<std::string> tokens = Tokens(payload);
    std::vector<float> values;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (tokens[i] != key) continue;
        for (std::size_t k = i + 1; k < tokens.size() && static_cast<int>(values.size()) < count; ++k) {
            values.push_back(std::strtof(tokens[k].c_str(), nullptr));
        }
        break;
    }
    return values;
}

}  // namespace TestSupport
