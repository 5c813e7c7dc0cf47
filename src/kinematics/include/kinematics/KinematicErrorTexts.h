#pragma once

// Texts of the integer codes that kinematic computations throw.

#include <string>

// A sentence for log lines and messages ("Joint limit max reached"; "Unknown error").
std::string KinematicErrorText(int code);
// A short token for the status line ("ERROR-JointLimit"; "ERROR-<code>").
std::string KinematicErrorToken(int code);
