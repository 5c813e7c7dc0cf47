#include "kinematics/KinematicErrorTexts.h"

namespace {

struct KinematicErrorEntry {
    int code;
    const char* text;
    const char* token;
};

const KinematicErrorEntry kKinematicErrors[] = {
    {0, "No error", "KinOK"},
    {13, "Joint limit min reached", "ERROR-JointLimit"},
    {14, "Joint limit max reached", "ERROR-JointLimit"},
    {21, "Center singularity", "ERROR-KinCenter"},
    {22, "Out of reach", "ERROR-KinReach"},
    {23, "Wrist singularity", "ERROR-KinWrist"},
    {30, "Virtual box violated in X+", "ERROR-VBoxX+"},
    {31, "Virtual box violated in X-", "ERROR-VBoxX-"},
    {32, "Virtual box violated in Y+", "ERROR-VBoxY+"},
    {33, "Virtual box violated in Y-", "ERROR-VBoxY-"},
    {34, "Virtual box violated in Z+", "ERROR-VBoxZ+"},
    {35, "Virtual box violated in Z-", "ERROR-VBoxZ-"},
    {50, "NAN value in joint position", "ERROR-JointNAN"},
    {99, "Motion not allowed", "MotionNotAllowed"},
};

const KinematicErrorEntry* Find(int code) {
    for (const KinematicErrorEntry& entry : kKinematicErrors) {
        if (entry.code == code) return &entry;
    }
    return nullptr;
}

}  // namespace

std::string KinematicErrorText(int code) {
    const KinematicErrorEntry* entry = Find(code);
    return entry != nullptr ? entry->text : "Unknown error";
}

std::string KinematicErrorToken(int code) {
    const KinematicErrorEntry* entry = Find(code);
    return entry != nullptr ? entry->token : "ERROR-" + std::to_string(code);
}
