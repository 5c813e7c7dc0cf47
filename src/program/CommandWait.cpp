#include "program/CommandWait.h"

#include "ElementWriter.h"
#include "IntAttribute.h"
#include "core/LogSingleton.h"

#include <tinyxml2.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

CommandWait::CommandWait() {
    className = "CommandWait";
    combinable = false;
}

std::int32_t CommandWait::WaitMilliseconds(float seconds, int wholeSeconds) {
    // In float, as the value was read: 0.7 s gives 700 ms, not 699.
    const double ms = seconds <= static_cast<float>(wholeSeconds)
                          ? static_cast<double>(wholeSeconds) * 1000.0
                          : std::trunc(static_cast<double>(seconds * 1000.0f));
    return static_cast<std::int32_t>(std::clamp(ms, 0.0, static_cast<double>(INT32_MAX)));
}

std::string CommandWait::SecondsText(std::int32_t milliseconds) {
    const std::int32_t ms = std::max<std::int32_t>(milliseconds, 0);
    char text[32];
    if (ms % 1000 == 0) {
        std::snprintf(text, sizeof(text), "%ld", static_cast<long>(ms / 1000));
        return text;
    }
    // Read back as the reader does: "0.251" is 0.250999... as a float and would come back
    // as 250 ms; half a millisecond more ("0.2515") truncates to the intended value.
    const auto readsBack = [ms](const char* candidate) {
        float seconds = 0.0f;
        int whole = 0;
        tinyxml2::XMLUtil::ToFloat(candidate, &seconds);
        tinyxml2::XMLUtil::ToInt(candidate, &whole);
        return WaitMilliseconds(seconds, whole) == ms;
    };
    std::snprintf(text, sizeof(text), "%ld.%03ld", static_cast<long>(ms / 1000), static_cast<long>(ms % 1000));
    if (readsBack(text)) {
        return text;
    }
    char nudged[sizeof(text) + 1];
    std::snprintf(nudged, sizeof(nudged), "%s5", text);
    return readsBack(nudged) ? nudged : text;
}

void CommandWait::WriteXML(std::ofstream* out, int /*commandCount*/) {
    if (out == nullptr) {
        return;
    }
    ElementWriter::Line line(*out, "Wait", *this);
    if (waitType == WaitConditional) {
        line.Raw("Type", "Conditional").Text("Condition", condition);
    } else {
        line.Raw("Type", "Time").Raw("Seconds", SecondsText(waitTime).c_str());
    }
    line.End(*this);
}

void CommandWait::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    const int nr = element->IntAttribute("Nr", 0);
    const char* type = element->Attribute("Type");
    if (type != nullptr && std::strcmp(type, "Time") == 0) {
        float seconds = 0.0f;
        int wholeSeconds = 0;
        if (element->QueryFloatAttribute("Seconds", &seconds) != tinyxml2::XML_SUCCESS) {
            seconds = 0.0f;
        }
        if (IntAttribute::Query(*element, "Seconds", &wholeSeconds) != tinyxml2::XML_SUCCESS) {
            wholeSeconds = 0;
        }
        if (!std::isfinite(seconds)) {
            valid = false;
            char line[256];
            std::snprintf(line, sizeof(line), "Could not read CommandWait, invalid \"Seconds\": %s",
                          element->Attribute("Seconds"));
            log->addError(line);
            return;
        }
        waitType = WaitTime;
        waitTime = WaitMilliseconds(seconds, wholeSeconds);
        valid = true;
        if (!quiet) {
            log->addFormat("   Nr. %d: Wait %ld ms", nr, static_cast<long>(waitTime));
        }
        return;
    }
    const char* text = element->Attribute("Condition");
    if (type == nullptr || std::strcmp(type, "Conditional") != 0 || text == nullptr) {
        valid = false;
        log->addError("Could not read CommandWait, incomplete arguments");
        return;
    }
    waitType = WaitConditional;
    condition = text;
    valid = true;
    if (!quiet) {
        log->addFormat("   Nr. %d: Wait conditional: %s", nr, condition.c_str());
    }
}

int CommandWait::Interpolate(int cycleMs, float /*overridePercent*/, DataTypes::RobotState* state) {
    if (firstCycle) {
        firstCycle = false;
        elapsed = 0;
    }
    // Summed in 64 bits: the count stays within int whatever the wait time and cycle.
    const long long next = static_cast<long long>(elapsed) + std::max(cycleMs, 0);

    if (waitType == WaitTime) {
        if (next > waitTime) {
            elapsed = 0;
            firstCycle = true;
            return nextSuccessor;
        }
        elapsed = static_cast<int>(next);
        return ResultNotFinished;
    }

    conditionParser.SetExpression(condition);
    if (conditionParser.GetCurrentResult(memory, state)) {
        elapsed = 0;
        firstCycle = true;
        return nextSuccessor;
    }
    elapsed = static_cast<int>(std::min<long long>(next, INT_MAX));
    return ResultNotFinished;
}
