// Modbus function and exception codes as they stand in frames.
#pragma once

#include <cstdint>

namespace sarn {

enum ModbusFunction : uint32_t {
  kFnReadCoils = 1,
  kFnReadInputs = 2,
  kFnReadHoldingRegisters = 3,
  kFnReadInputRegisters = 4,
  kFnWriteCoil = 5,
  kFnWriteRegister = 6,
  kFnWriteCoils = 15,
  kFnWriteRegisters = 16,
};

// Set in the function code of an exception reply.
inline constexpr uint32_t kExceptionFlag = 0x80;

enum ModbusException : uint32_t {
  kExIllegalFunction = 1,
  kExIllegalAddress = 2,
  kExIllegalValue = 3,
  kExDeviceFailure = 4,
  kExAcknowledge = 5,
  kExBusy = 6,
  kExNegativeAck = 7,
  kExMemoryParity = 8,
};

// The value function 5 writes to switch a coil on.
inline constexpr uint32_t kCoilOn = 0xFF00;
// The controller address of a request to every controller, which none answers.
inline constexpr uint32_t kBroadcastAddress = 0;

}  // namespace sarn
