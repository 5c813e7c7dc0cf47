#pragma once

// A run of the same failure (a listener out of file descriptors, a socket that cannot be
// made, a file write on a full disk) is told once, not at every attempt: the first failure's line, and when the run
// ends, one line with the number of failed attempts. The attempts of a run are spaced by
// a delay that doubles up to a bound, so a failure that persists never spins.
//
//   if (accept fails) {
//       if (acceptFailures.Failed()) log->addFormat("...: %s", strerror(errno));
//       retry after acceptFailures.RetryDelay();
//   } else if (const auto n = acceptFailures.Ended(); n > 1) {
//       log->addFormat("... again after %llu failed attempts", n);
//   }
//
// One thread uses one object, or the user's own lock covers it.

#include <algorithm>
#include <chrono>
#include <cstdint>

class FailureEpisode {
public:
    static constexpr std::chrono::milliseconds kFirstDelay{50};
    static constexpr std::chrono::milliseconds kLongestDelay{200};

    // Counts one failure; true for the first of a run.
    bool Failed() {
        ++failures;
        if (failures > 1) delay = std::min(delay * 2, kLongestDelay);
        return failures == 1;
    }
    // The attempt succeeded: the number of failures of the run that ends (0 if none ran).
    std::uint64_t Ended() {
        const std::uint64_t ended = failures;
        failures = 0;
        delay = kFirstDelay;
        return ended;
    }
    bool Running() const { return failures > 0; }
    std::uint64_t Failures() const { return failures; }
    // The wait before the next attempt of the run.
    std::chrono::milliseconds RetryDelay() const { return delay; }

private:
    std::uint64_t failures = 0;
    std::chrono::milliseconds delay = kFirstDelay;
};
