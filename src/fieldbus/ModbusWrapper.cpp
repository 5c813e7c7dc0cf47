#include "fieldbus/ModbusWrapper.h"

#include "kinematics/KinematicErrorTexts.h"
#include "core/LogSingleton.h"

#include <modbus/modbus.h>

#include <cerrno>
#include <exception>
#include <string>

namespace Modbus {

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

int Word(const std::uint8_t* request, int at) { return (request[at] << 8) | request[at + 1]; }

enum : int {
    kReadCoils = 1,
    kReadDiscreteInputs = 2,
    kReadHolding = 3,
    kReadInput = 4,
    kWriteCoil = 5,
    kWriteRegister = 6,
    kReadExceptionStatus = 7,
    kWriteCoils = 15,
    kWriteRegisters = 16,
    kReportServerId = 17,
    kMaskWriteRegister = 22,
    kWriteReadRegisters = 23,
};

constexpr int kIllegalFunction = 1;   // MODBUS_EXCEPTION_ILLEGAL_FUNCTION
constexpr int kIllegalDataValue = 3;  // MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE

constexpr int kHeader = 7;  // MBAP
constexpr int kMinimum = 12;

void ReadCallback(const Callbacks& cb, const modbus_mapping_t* m, int function, int address, int count) {
    const std::uint16_t at = static_cast<std::uint16_t>(address);
    switch (function) {
        case kReadCoils:
            if (validCoilCntRead(count) && m->nb_bits >= count) cb.CallOnReadCoils(at, count);
            break;
        case kReadDiscreteInputs:
            if (validCoilCntRead(count) && m->nb_input_bits >= count) cb.CallOnReadDiscreteInputs(at, count);
            break;
        case kReadHolding:
            if (validRegisterCntRead(count) && m->nb_registers >= count) cb.CallOnReadHoldingRegisters(at, count);
            break;
        case kReadInput:
            if (validRegisterCntRead(count) && m->nb_input_registers >= count) {
                cb.CallOnReadInputRegisters(at, count);
            }
            break;
        case kWriteReadRegisters:
            // The library writes first and answers with the table: the read range is
            // refreshed before, the written values still show.
            if (validRegisterCntRead(count) && m->nb_registers >= count) cb.CallOnReadHoldingRegisters(at, count);
            break;
        default:
            break;
    }
}

void WriteCallback(const Callbacks& cb, const modbus_mapping_t* m, const std::uint8_t* request, int length,
                   int function, int address, int count) {
    const std::uint16_t at = static_cast<std::uint16_t>(address);
    switch (function) {
        case kWriteCoil: cb.CallOnWriteCoils(at, 1); break;
        case kWriteRegister: cb.CallOnWriteHoldingRegisters(at, 1); break;
        case kWriteCoils:
            if (validCoilCntWrite(count) && m->nb_bits >= count) cb.CallOnWriteCoils(at, count);
            break;
        case kWriteRegisters:
            if (validRegisterCntWrite(count) && m->nb_registers >= count) cb.CallOnWriteHoldingRegisters(at, count);
            break;
        case kMaskWriteRegister: cb.CallOnWriteHoldingRegisters(at, 1); break;
        case kWriteReadRegisters:
            if (length >= 16) {
                const int writeAddress = Word(request, 12);
                const int writeCount = Word(request, 14);
                if (validRegisterCntWrite(writeCount) && m->nb_registers >= writeCount) {
                    cb.CallOnWriteHoldingRegisters(static_cast<std::uint16_t>(writeAddress), writeCount);
                    cb.CallOnReadHoldingRegisters(at, count);
                }
            }
            break;
        default:
            break;
    }
}

// The exception for a request the library would refuse only after its response time-out
// (an unknown function, a count beyond the limits, a byte count that does not fit), for
// function code 7, which it never answers, and for a request shorter than its function
// needs; 0 for a request the library answers at once. The limits are the library's.
int ImmediateException(const std::uint8_t* request, int length) {
    const int pdu = length - kHeader;  // function code and data
    auto fits = [&](int bytes) { return pdu >= bytes; };
    switch (request[kHeader]) {
        case kReadCoils:
        case kReadDiscreteInputs:
            if (!fits(5)) return kIllegalDataValue;
            return validCoilCntRead(Word(request, 10)) ? 0 : kIllegalDataValue;
        case kReadHolding:
        case kReadInput:
            if (!fits(5)) return kIllegalDataValue;
            return validRegisterCntRead(Word(request, 10)) ? 0 : kIllegalDataValue;
        case kWriteCoil:
        case kWriteRegister: return fits(5) ? 0 : kIllegalDataValue;
        case kReadExceptionStatus: return kIllegalFunction;
        case kWriteCoils: {
            if (!fits(6)) return kIllegalDataValue;
            const int count = Word(request, 10);
            const int bytes = request[12];
            return validCoilCntWrite(count) && bytes * 8 >= count && fits(6 + bytes) ? 0 : kIllegalDataValue;
        }
        case kWriteRegisters: {
            if (!fits(6)) return kIllegalDataValue;
            const int count = Word(request, 10);
            const int bytes = request[12];
            return validRegisterCntWrite(count) && bytes == 2 * count && fits(6 + bytes) ? 0 : kIllegalDataValue;
        }
        case kReportServerId: return 0;
        case kMaskWriteRegister: return fits(7) ? 0 : kIllegalDataValue;
        case kWriteReadRegisters: {
            if (!fits(10)) return kIllegalDataValue;
            const int readCount = Word(request, 10);
            const int writeCount = Word(request, 14);
            const int bytes = request[16];
            const bool counts = validRegisterCntRead(readCount) && writeCount >= 1 &&
                                writeCount <= MODBUS_MAX_WR_WRITE_REGISTERS;
            return counts && bytes == 2 * writeCount && fits(10 + bytes) ? 0 : kIllegalDataValue;
        }
        default: return kIllegalFunction;
    }
}

}  // namespace

int Reply(_modbus* context, const std::uint8_t* request, int length, _modbus_mapping_t* mapping,
          const Callbacks& callbacks) {
    if (context == nullptr) {
        Log()->add("Modbus: Can not send response, context is NULL");
        errno = EINVAL;
        return -1;
    }
    // Refused at once: the library would sleep its response time-out first, holding every
    // other client of the listener.
    if (request != nullptr && length > kHeader) {
        const int exception = ImmediateException(request, length);
        if (exception != 0) return modbus_reply_exception(context, request, static_cast<unsigned>(exception));
    }

    const bool parsed = request != nullptr && mapping != nullptr && length >= kMinimum;
    const int function = parsed ? request[kHeader] : 0;
    const int address = parsed ? Word(request, 8) : 0;
    const int count = parsed ? Word(request, 10) : 0;

    if (parsed) {
        try {
            ReadCallback(callbacks, mapping, function, address, count);
        } catch (const std::exception&) {
            Log()->addFormat("Modbus: Exception during read (function code %d, address %d, count %d)", function,
                             address, count);
            errno = ECANCELED;
            return -1;
        } catch (...) {
            Log()->addFormat("Modbus: Exception during read (function code %d, address %d, count %d)", function,
                             address, count);
            errno = ECANCELED;
            return -1;
        }
    }

    const int result = modbus_reply(context, request, length, mapping);
    const int replyErrno = errno;

    // An exception answer left the table as it was: nothing was written to act on.
    if (parsed && result > kExceptionAnswerLength) {
        try {
            WriteCallback(callbacks, mapping, request, length, function, address, count);
        } catch (const std::exception& e) {
            Log()->addFormat("Modbus: Exception during write (function code %d, address %d, count %d): %s", function,
                             address, count, e.what());
            errno = ECANCELED;
            return -1;
        } catch (int code) {
            Log()->addFormat("Modbus: Exception during write (function code %d, address %d, count %d): %s", function,
                             address, count, KinematicErrorText(code).c_str());
            errno = ECANCELED;
            return -1;
        } catch (...) {
            Log()->addFormat("Modbus: Exception during write (function code %d, address %d, count %d): %s", function,
                             address, count, "unknown exception");
            errno = ECANCELED;
            return -1;
        }
    }
    errno = replyErrno;
    return result;
}

}  // namespace Modbus
