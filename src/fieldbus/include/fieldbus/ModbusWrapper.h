#pragma once

// The request path around the library's reply: refresh before a read, act after an
// accepted write. The library's own types stay opaque here.

#include "fieldbus/ModbusMapping.h"

#include <cstdint>

struct _modbus;
struct _modbus_mapping_t;

namespace Modbus {

// The length of every exception answer the library builds over TCP (MBAP, code, exception).
constexpr int kExceptionAnswerLength = 9;

// Answers one whole request (bytes from the MBAP header on) with the table; -1 with errno
// set on failure. Read callbacks run before the answer, write callbacks only after the
// library accepted the write. A request refused for its function code, its counts or its
// length is answered here with the exception at once, without any callback.
int Reply(_modbus* context, const std::uint8_t* request, int length, _modbus_mapping_t* mapping,
          const Callbacks& callbacks);

}  // namespace Modbus
