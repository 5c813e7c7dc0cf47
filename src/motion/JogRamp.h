#pragma once

// Shared by the two jog ramps; private to the motion library.
namespace JogRamp {

// One step of c toward v at rate per second, never past v.
inline double Step(double c, double v, double cycle, double rate) {
    if (c < v) {
        c += cycle * rate;
        if (c > v) {
            c = v;
        }
    }
    if (v < c) {
        c -= cycle * rate;
        if (c < v) {
            c = v;
        }
    }
    return c;
}

// Returns value when it is a usable rate, otherwise logs and returns fallback.
double CheckedRate(const char* owner, const char* what, double value, double fallback);

}  // namespace JogRamp
