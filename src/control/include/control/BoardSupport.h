#pragma once

// Board support lives with the hardware layer; this name is kept for the control layer's
// includes.
#include "hardware/BoardSupport.h"
