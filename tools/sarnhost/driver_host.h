// The host side of the driver boundary: loading libsarnmd, the driver
// contexts, and gates with their value buffers.
//
// This is what a supervisory host does with the driver, in its order of
// calls: load the library and resolve SarnMain, ask GetSarnInfo for the
// context size, allocate a zeroed context per driver instance, ColdStart it,
// have every gate's address text checked by SingleAddressParser or
// BlockAddressParser, then read and write through the parsed fields.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sarnmd.h"

namespace sarnhost {

// Host data type codes (GateSpec/GateTransfer iDataType). The driver only
// groups them (0-2 16-bit, 3 float, 4-5 32-bit integer, 6 bit); the names and
// the way values are shown are this host's.
enum DataType : int32_t {
  kTypeUInt16 = SARN_TYPE_UINT16,
  kTypeInt16 = SARN_TYPE_INT16,
  kTypeWord = SARN_TYPE_WORD,
  kTypeFloat = SARN_TYPE_FLOAT,
  kTypeInt32 = SARN_TYPE_INT32,
  kTypeUInt32 = SARN_TYPE_UINT32,
  kTypeBit = SARN_TYPE_BIT,
};

// Name of a data type ("uint16", "float", ...).
const char* DataTypeName(int32_t iType);
// Parses a type name or its code; false when it is neither.
bool ParseDataType(const std::string& text, int32_t& iType);
// The data type that fits a gate text's memory type digit (position 2) and
// bit number (position 7): bits 6, registers 0, types 5/7 float, 6/8 int32.
// Texts too short to tell give 0; the parser refuses them anyway.
int32_t DefaultDataType(const std::string& text);
// Whether a data type fits a memory type: SingleAddressParser's rule, from sarnmd.h.
bool TypeFitsMemory(int32_t iType, int32_t iMemType, bool bBitNr);
// What a memory type holds, for messages ("holding register", ...).
const char* MemoryTypeName(int32_t iMemType, bool bGtc);

// The loaded driver library.
class Driver {
 public:
  Driver() = default;
  ~Driver();
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  // dlopen()s the library and resolves SarnMain; on failure fills error.
  bool Load(const std::string& path, std::string& error);
  const std::string& Path() const { return path_; }
  // GetSarnInfo: works before any context exists.
  ResultCode Info(DriverInfo& info) const;
  ResultCode Call(DriverRequest& request) const { return pMain_(&request); }

 private:
  void* pHandle_ = nullptr;
  SarnMainFn pMain_ = nullptr;
  std::string path_;
};

// Where the driver library is looked for when no path is given: next to the
// executable, in the install tree's library directory, in the build tree.
std::vector<std::string> DriverCandidates();

// A gate as the address parser left it, ready for reads and writes.
struct Gate {
  std::string text;  // address text as given
  bool bBlock = false;
  int32_t iDataType = 0;
  int32_t iCount = 1;
  GateSpec spec{};  // parsed fields
  // 32-bit values that the host makes of a block of 16-bit registers, two
  // a value (mbpoll's -t 4:int at an even reference): iCount registers,
  // iCount / 2 values of iPairType.
  bool bPairs = false;
  int32_t iPairType = 0;
  // The word order the host shows 32-bit values in: high word first, or
  // low word first (mbpoll's order without -B). Gate texts are shown in the
  // driver's order, which the initialization file sets (SWAP, FLOATSWAP).
  bool bHighFirst = true;
  // The first value's reference (gate address) counted from 1; 0 where
  // the text does not say it.
  long lRef = 0;
  // A label "GATE[k]" given as a gate: the block is read whole (a GTC
  // register area can be read no other way) and only value k is shown;
  // -1 for every value.
  int32_t iOnly = -1;

  // Bytes of the host value buffer: 4 for a single gate (the value cell),
  // the packed layout for blocks.
  size_t BufferSize() const;
  // Fills a GateTransfer for this gate over the given buffer.
  GateTransfer Transfer(void* pData) const;
};

// The data type of the gate's values, and how many it has: a register pair
// block's values are its pairs.
int32_t ValueType(const Gate& gate);
size_t ValueCount(const Gate& gate);

// Value of one element of a read, taken from the host value buffer.
struct Value {
  int32_t iBits = 16;  // 1, 16 or 32
  uint32_t uRaw = 0;   // 0/1, the 16-bit value, or the 32-bit pattern
};
// Elements of a value buffer after a read: one for a single gate.
std::vector<Value> DecodeBuffer(const Gate& gate, const std::vector<uint8_t>& buffer);
// Builds the value buffer for a write from parsed element values.
std::vector<uint8_t> EncodeBuffer(const Gate& gate, const std::vector<Value>& values);
// A value as a plain number, as a spreadsheet takes it.
std::string PlainValue(const Value& value, int32_t iDataType);
// Shows a value as the data type holds it: "1", "1234 (0x04D2)",
// "-2 (0xFFFE)", "3.14159 (0x40490FD0)".
std::string FormatValue(const Value& value, int32_t iDataType);
// Parses a value text for a write: 0/1 (also on/off) for bits, decimal or
// 0x hexadecimal integers in range, floats. Fills error when it does not fit.
bool ParseValue(const std::string& text, int32_t iBits, int32_t iDataType, Value& value, std::string& error);
// Gate text of element k of a block (the same controller and memory type, the
// address counted on in the context's base); "" where no text names it.
std::string ElementText(const Gate& gate, int k, bool bHexBase, bool bGtc);

// One driver instance: a zeroed context of the size GetSarnInfo reported.
class Instance {
 public:
  Instance(const Driver& driver, int32_t iDriverNr, int32_t iContextSize);
  DriverContext* Context() { return reinterpret_cast<DriverContext*>(context_.get()); }
  int32_t DriverNr() const { return iDriverNr_; }

  ResultCode ColdStart(const std::string& port, bool bEnable, int32_t iTimeout, const LineSettings& line);
  ResultCode WarmStart() { return Simple(SARN_OP_WARM_START); }
  ResultCode CloseCom() { return Simple(SARN_OP_CLOSE_COM); }
  ResultCode ReOpenCom() { return Simple(SARN_OP_REOPEN_COM); }
  ResultCode EndSarn() { return Simple(SARN_OP_END_SARN); }
  // ChangeSarnParams; iTimeout 0 keeps the time-out, line.wBaud 0 the line.
  ResultCode ChangeParams(const std::string& port, int32_t iTimeout, const LineSettings& line);

  // SingleAddressParser (iCount < 0) or BlockAddressParser (iCount given).
  ResultCode Parse(const std::string& text, int32_t iDataType, int32_t iCount, Gate& gate);
  // SingleRead or BlockRead into buffer (resized to the gate's size).
  ResultCode Read(const Gate& gate, std::vector<uint8_t>& buffer);
  // SingleWrite or BlockWrite from buffer.
  ResultCode Write(const Gate& gate, std::vector<uint8_t>& buffer);

 private:
  ResultCode Simple(int32_t iOpCode);
  ResultCode Call(int32_t iOpCode, void* pParam);

  const Driver& driver_;
  int32_t iDriverNr_;
  std::unique_ptr<uint8_t[]> context_;
};

}  // namespace sarnhost
