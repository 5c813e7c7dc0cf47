#include "control/Display4DS.h"

std::atomic<int> Display4DS::jogBias{30};
