// Read and write transactions.
#pragma once

#include "link/frame.h"
#include "link/modbus_codes.h"
#include "link/request_writer.h"
#include "sarnmd.h"

namespace sarn {

// Read function code of each memory type; -1 where there is none.
inline constexpr int kReadFunction[SARN_MEM_TYPE_MAX + 1] = {
    kFnReadCoils,             // SARN_MEM_COILS
    kFnReadInputs,            // SARN_MEM_INPUTS
    -1,                       // no type 2
    kFnReadInputRegisters,    // SARN_MEM_INPUT_REGISTERS
    kFnReadHoldingRegisters,  // SARN_MEM_HOLDING_REGISTERS
    kFnReadInputRegisters,    // SARN_MEM_INPUT_FLOATS
    kFnReadInputRegisters,    // SARN_MEM_INPUT_LONGS
    kFnReadHoldingRegisters,  // SARN_MEM_HOLDING_FLOATS
    kFnReadHoldingRegisters,  // SARN_MEM_HOLDING_LONGS
};

// Gate text for log messages; never null.
inline const char* GateName(const GateTransfer* pTransfer) {
  return pTransfer->pszName != nullptr ? pTransfer->pszName : "";
}

// Whether a gate's memory type is one the address parser produces (0 to 8
// without 2). Transactions refuse any other unsent.
inline bool KnownMemType(int32_t iMemType) {
  return iMemType >= 0 && iMemType <= SARN_MEM_TYPE_MAX && kReadFunction[iMemType] >= 0;
}

// Coils and discrete inputs: one bit a value, no register.
inline bool IsBitType(int32_t iMemType) {
  return iMemType == SARN_MEM_COILS || iMemType == SARN_MEM_INPUTS;
}

// Host data types read as register pairs.
inline bool IsPairDataType(int32_t iDataType) {
  return iDataType == SARN_TYPE_FLOAT || iDataType == SARN_TYPE_INT32 || iDataType == SARN_TYPE_UINT32;
}

// The operations take the context's port for the whole transaction.
ResultCode SingleRead(DriverRequest* pRequest);
ResultCode BlockRead(DriverRequest* pRequest);
// SingleRead on the port the caller holds (a bit update's register read),
// logged as SingleRead logs it; the read's fault.
Fault SingleReadFault(DriverRequest* pRequest, const PortHold* pPort);
// Writes the read request into pszText through *pWriter, and *pExpected
// (when given) the reply it asks for. Fault::kRefusedUnsent when the
// request cannot be formed (nothing is written).
Fault BuildReadRequest(DriverRequest* pRequest, char* pszText, RequestWriter* pWriter,
                       ExpectedReply* pExpected = nullptr);
// Converts the reply data (from position 7 of rxBuf), which the read's
// checks passed (enough hexadecimal digits for the gate), into the host
// buffer. Fault::kBadData, with nothing stored, for a value size no parser
// produces.
Fault DecodeReadReply(DriverRequest* pRequest, const char* pszData);

ResultCode SingleWrite(DriverRequest* pRequest);
ResultCode BlockWrite(DriverRequest* pRequest);
// Writes the set (1) or reset (0) mask of a GTC bit gate or block.
Fault WriteGtcBits(DriverRequest* pRequest, const PortHold* pPort, unsigned char set);
// Sends the write request the writer holds on the held port and takes the
// echo it expects.
Fault WriteOnPort(DriverRequest* pRequest, const PortHold* pPort, const RequestWriter& request,
                  const ExpectedReply& expected);

}  // namespace sarn
