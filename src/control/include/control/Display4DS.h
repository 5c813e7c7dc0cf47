#pragma once

// The operator panel. For now only its dead band, which the robot file sets.

#include <atomic>

class Display4DS {
public:
    // Dead band of the panel's axis values ("JogBias" of the robot file).
    static std::atomic<int> jogBias;
};
