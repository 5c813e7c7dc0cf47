#pragma once

// The command lines a simulator program takes on its standard input.

#include <functional>
#include <string>

namespace SimBus {

class StdinLines {
public:
    // Waits up to timeoutMs for input and hands each complete line (without its line end)
    // to run; once stdin has ended it only waits.
    void Poll(int timeoutMs, const std::function<void(const std::string&)>& run);

private:
    bool open = true;
    std::string pending;
};

}  // namespace SimBus
