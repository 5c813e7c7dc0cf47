#pragma once

// One file whose writes may fail for a while (a full disk, a read-only mount): the first
// failure of a run of failures is reported, the ones after it are not, and the write that
// lands after them is reported once. Not thread-safe: the writer's own lock covers it.

class WriteFailureEpisode {
public:
    // A failed write; true when it starts a run of failures (report it).
    bool Failed() { return failures++ == 0; }
    // A write that landed; returns the failed writes before it (0: nothing to report).
    int Landed() {
        const int before = failures;
        failures = 0;
        return before;
    }
    bool Failing() const { return failures > 0; }

private:
    int failures = 0;
};
