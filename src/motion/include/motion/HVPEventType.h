#pragma once

// Result events that an interpreter and its path planner report through the result
// callback; the remote-control server turns them into its EXEC messages.
enum HVPEventType : int {
    HVP_EVENT_ACK = 10,
    HVP_EVENT_PAUSE = 11,
    HVP_EVENT_END = 12,
    HVP_EVENT_ERROR = 13,
};
