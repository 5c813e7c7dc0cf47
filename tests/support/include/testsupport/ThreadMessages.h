#pragma once

// The display and server message texts the calling thread sends while this lives, in
// order (its log lines are taken too, and dropped). For checks of what reaches the panel
// (DisplayAndServerSetMessage) and what only the HVP clients get (ServerSetMessage).

#include "core/LogSingleton.h"

#include <string>
#include <vector>

namespace TestSupport {

class ThreadMessages : public LogThreadSink {
public:
    ThreadMessages() { LogSingleton::SetThreadSink(this); }
    ~ThreadMessages() override { LogSingleton::SetThreadSink(nullptr); }
    ThreadMessages(const ThreadMessages&) = delete;
    ThreadMessages& operator=(const ThreadMessages&) = delete;

    bool Line(LogLineKind kind, const char* /*stamp*/, const char* text) override {
        if (kind == LogLineKind::DisplayAndServer) displayAndServer.push_back(text);
        if (kind == LogLineKind::Server) serverOnly.push_back(text);
        return true;
    }

    std::vector<std::string> displayAndServer;
    std::vector<std::string> serverOnly;
};

}  // namespace TestSupport
