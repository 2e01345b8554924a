#include "driver_host.h"

#include <dlfcn.h>
#include <limits.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sarnhost {

namespace {

struct TypeName {
  int32_t iType;
  const char* pszName;
};
constexpr TypeName kTypeNames[] = {
    {kTypeUInt16, "uint16"}, {kTypeInt16, "int16"},   {kTypeWord, "word"}, {kTypeFloat, "float"},
    {kTypeInt32, "int32"},   {kTypeUInt32, "uint32"}, {kTypeBit, "bit"},
};

bool FileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

std::string ExecutableDir() {
  char szPath[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", szPath, sizeof szPath - 1);
  if (n <= 0) return "";
  szPath[n] = '\0';
  char* pSlash = strrchr(szPath, '/');
  if (pSlash == nullptr) return "";
  *pSlash = '\0';
  return szPath;
}

// Reads the four address digits of a gate text in the given base.
bool RawAddress(const std::string& text, bool bHex, unsigned& uAddress) {
  if (text.size() < 7) return false;
  std::string digits = text.substr(3, 4);
  char* pEnd = nullptr;
  unsigned long v = strtoul(digits.c_str(), &pEnd, bHex ? 16 : 10);
  if (pEnd != digits.c_str() + 4) return false;
  uAddress = static_cast<unsigned>(v);
  return true;
}

bool ParseInteger(const std::string& text, long long lMin, long long lMax, long long& lValue) {
  if (text.empty()) return false;
  errno = 0;
  char* pEnd = nullptr;
  bool bHex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  long long v = strtoll(text.c_str(), &pEnd, bHex ? 16 : 10);
  if (errno != 0 || pEnd == text.c_str() || *pEnd != '\0' || v < lMin || v > lMax) return false;
  lValue = v;
  return true;
}

}  // namespace

const char* DataTypeName(int32_t iType) {
  for (const TypeName& t : kTypeNames) {
    if (t.iType == iType) return t.pszName;
  }
  return "?";
}

bool ParseDataType(const std::string& text, int32_t& iType) {
  for (const TypeName& t : kTypeNames) {
    if (strcasecmp(text.c_str(), t.pszName) == 0) {
      iType = t.iType;
      return true;
    }
  }
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '6') {
    iType = text[0] - '0';
    return true;
  }
  return false;
}

int32_t DefaultDataType(const std::string& text) {
  if (text.size() < 3) return kTypeUInt16;
  bool bBitNr = text.size() >= 8 && text[7] != ' ';
  switch (text[2]) {
    case '0':
    case '1':
      return kTypeBit;
    case '5':
    case '7':
      return kTypeFloat;
    case '6':
    case '8':
      return kTypeInt32;
    default:
      return bBitNr ? kTypeBit : kTypeUInt16;
  }
}

bool TypeFitsMemory(int32_t iType, int32_t iMemType, bool bBitNr) {
  return SarnDataTypeFits(iType, iMemType, bBitNr ? 1 : 0) != 0;
}

const char* MemoryTypeName(int32_t iMemType, bool bGtc) {
  if (bGtc) {
    switch (iMemType) {
      case SARN_MEM_COILS:
        return "GTC variable bit";
      case SARN_MEM_INPUTS:
        return "GTC bit";
      case SARN_MEM_INPUT_REGISTERS:
        return "GTC register area";
      default:
        return "?";
    }
  }
  switch (iMemType) {
    case SARN_MEM_COILS:
      return "coil";
    case SARN_MEM_INPUTS:
      return "discrete input";
    case SARN_MEM_INPUT_REGISTERS:
      return "input register";
    case SARN_MEM_HOLDING_REGISTERS:
      return "holding register";
    case SARN_MEM_INPUT_FLOATS:
      return "float in input registers";
    case SARN_MEM_INPUT_LONGS:
      return "int32 in input registers";
    case SARN_MEM_HOLDING_FLOATS:
      return "float in holding registers";
    case SARN_MEM_HOLDING_LONGS:
      return "int32 in holding registers";
    default:
      return "?";
  }
}

// ---------------------------------------------------------------- Driver

Driver::~Driver() {
  // The library stays loaded: the driver keeps module-wide state, and the
  // log library it pulled in may still be referenced by buffered output.
}

bool Driver::Load(const std::string& path, std::string& error) {
  dlerror();
  void* pHandle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (pHandle == nullptr) {
    const char* pszWhy = dlerror();
    error = pszWhy != nullptr ? pszWhy : "dlopen failed";
    return false;
  }
  auto pMain = reinterpret_cast<SarnMainFn>(dlsym(pHandle, "SarnMain"));
  if (pMain == nullptr) {
    error = path + " exports no SarnMain: not the driver library";
    dlclose(pHandle);
    return false;
  }
  pHandle_ = pHandle;
  pMain_ = pMain;
  path_ = path;
  return true;
}

ResultCode Driver::Info(DriverInfo& info) const {
  DriverRequest request{};
  request.iOpCode = SARN_OP_GET_SARN_INFO;
  request.pParam = &info;
  return pMain_(&request);
}

std::vector<std::string> DriverCandidates() {
  std::vector<std::string> paths;
  std::string dir = ExecutableDir();
  if (!dir.empty()) {
    paths.push_back(dir + "/" SARNHOST_DRIVER_SONAME);
    paths.push_back(dir + "/" SARNHOST_RELATIVE_LIBDIR "/" SARNHOST_DRIVER_SONAME);
  }
#ifdef SARNHOST_BUILD_DRIVER
  paths.push_back(SARNHOST_BUILD_DRIVER);
#endif
  std::vector<std::string> existing;
  for (const std::string& p : paths) {
    if (FileExists(p)) existing.push_back(p);
  }
  if (existing.empty()) {
    // Last resort: the dynamic linker's own search (LD_LIBRARY_PATH, the
    // system library directories).
    existing.push_back(SARNHOST_DRIVER_SONAME);
  }
  return existing;
}

// ---------------------------------------------------------------- Gate

size_t Gate::BufferSize() const {
  if (!bBlock) return 4;
  size_t n = static_cast<size_t>(iCount > 0 ? iCount : 0);
  switch (spec.iBits) {
    case 1:
      return (n + 7) / 8;
    case 16:
      return 2 * n;
    default:
      return 4 * n;
  }
}

GateTransfer Gate::Transfer(void* pData) const {
  GateTransfer t{};
  t.pszName = text.c_str();
  t.iPlcAddr = spec.iPlcAddr;
  t.iMemType = spec.iMemType;
  t.iAddress = spec.iAddress;
  t.iBitNr = spec.iBitNr;
  t.iBits = spec.iBits;
  t.iDataType = iDataType;
  t.iCount = bBlock ? iCount : 1;
  t.pData = pData;
  return t;
}

int32_t ValueType(const Gate& gate) {
  return gate.bPairs ? gate.iPairType : gate.iDataType;
}

size_t ValueCount(const Gate& gate) {
  if (!gate.bBlock) return 1;
  const size_t n = static_cast<size_t>(gate.iCount > 0 ? gate.iCount : 0);
  return gate.bPairs ? n / 2 : n;
}

std::vector<Value> DecodeBuffer(const Gate& gate, const std::vector<uint8_t>& buffer) {
  std::vector<Value> values;
  int32_t iBits = gate.spec.iBits;
  if (!gate.bBlock) {
    Value v;
    v.iBits = iBits;
    if (iBits == 32) {
      memcpy(&v.uRaw, buffer.data(), 4);
    } else {
      // 16-bit values and bits live in the second half of the value cell.
      uint16_t w = 0;
      memcpy(&w, buffer.data() + 2, 2);
      v.uRaw = w;
    }
    values.push_back(v);
    return values;
  }
  for (int32_t k = 0; k < gate.iCount; ++k) {
    Value v;
    v.iBits = iBits;
    if (iBits == 1) {
      v.uRaw = (buffer[static_cast<size_t>(k / 8)] >> (k % 8)) & 1u;
    } else if (iBits == 16) {
      uint16_t w = 0;
      memcpy(&w, buffer.data() + 2 * k, 2);
      v.uRaw = w;
    } else {
      memcpy(&v.uRaw, buffer.data() + 4 * k, 4);
    }
    values.push_back(v);
  }
  return values;
}

std::vector<uint8_t> EncodeBuffer(const Gate& gate, const std::vector<Value>& values) {
  std::vector<uint8_t> buffer(gate.BufferSize(), 0);
  int32_t iBits = gate.spec.iBits;
  if (!gate.bBlock) {
    if (values.empty()) return buffer;
    if (iBits == 32) {
      memcpy(buffer.data(), &values[0].uRaw, 4);
    } else {
      uint16_t w = static_cast<uint16_t>(values[0].uRaw);
      memcpy(buffer.data() + 2, &w, 2);
    }
    return buffer;
  }
  for (size_t k = 0; k < values.size() && k < static_cast<size_t>(gate.iCount); ++k) {
    if (iBits == 1) {
      if (values[k].uRaw != 0) buffer[k / 8] = static_cast<uint8_t>(buffer[k / 8] | (1u << (k % 8)));
    } else if (iBits == 16) {
      uint16_t w = static_cast<uint16_t>(values[k].uRaw);
      memcpy(buffer.data() + 2 * k, &w, 2);
    } else {
      memcpy(buffer.data() + 4 * k, &values[k].uRaw, 4);
    }
  }
  return buffer;
}

std::string PlainValue(const Value& value, int32_t iDataType) {
  char sz[48];
  if (value.iBits == 1) {
    snprintf(sz, sizeof sz, "%u", value.uRaw & 1u);
  } else if (value.iBits == 16) {
    const uint16_t w = static_cast<uint16_t>(value.uRaw);
    if (iDataType == kTypeInt16) {
      snprintf(sz, sizeof sz, "%d", static_cast<int16_t>(w));
    } else {
      snprintf(sz, sizeof sz, "%u", w);
    }
  } else if (iDataType == kTypeFloat) {
    float f = 0;
    memcpy(&f, &value.uRaw, 4);
    snprintf(sz, sizeof sz, "%.7g", static_cast<double>(f));
  } else if (iDataType == kTypeUInt32) {
    snprintf(sz, sizeof sz, "%u", value.uRaw);
  } else {
    snprintf(sz, sizeof sz, "%d", static_cast<int32_t>(value.uRaw));
  }
  return sz;
}

std::string FormatValue(const Value& value, int32_t iDataType) {
  if (value.iBits == 1) return PlainValue(value, iDataType);
  char szRaw[16];
  if (value.iBits == 16) {
    snprintf(szRaw, sizeof szRaw, " (0x%04X)", static_cast<uint16_t>(value.uRaw));
  } else {
    snprintf(szRaw, sizeof szRaw, " (0x%08X)", value.uRaw);
  }
  return PlainValue(value, iDataType) + szRaw;
}

bool ParseValue(const std::string& text, int32_t iBits, int32_t iDataType, Value& value, std::string& error) {
  value.iBits = iBits;
  long long v = 0;
  if (iBits == 1) {
    if (text == "1" || strcasecmp(text.c_str(), "on") == 0 || strcasecmp(text.c_str(), "true") == 0) {
      value.uRaw = 1;
    } else if (text == "0" || strcasecmp(text.c_str(), "off") == 0 || strcasecmp(text.c_str(), "false") == 0) {
      value.uRaw = 0;
    } else {
      error = "'" + text + "' is not a bit value (0, 1, on, off)";
      return false;
    }
    return true;
  }
  if (iBits != 1 && iDataType != kTypeFloat && !ParseInteger(text, LLONG_MIN, LLONG_MAX, v)) {
    error = "'" + text + "' is not a number (decimal, or hexadecimal with 0x)";
    return false;
  }
  if (iBits == 16) {
    if (!ParseInteger(text, -32768, 65535, v)) {
      error = "'" + text + "' does not fit a 16-bit register (-32768..65535, or 0x0000..0xFFFF)";
      return false;
    }
    value.uRaw = static_cast<uint16_t>(v);
    return true;
  }
  if (iDataType == kTypeFloat) {
    errno = 0;
    char* pEnd = nullptr;
    float f = strtof(text.c_str(), &pEnd);
    if (text.empty() || *pEnd != '\0' || (errno == 0 && !std::isfinite(f))) {
      error = "'" + text + "' is not a floating-point number";
      return false;
    }
    if (errno == ERANGE) {
      error = "'" + text + "' is out of a float's range (magnitudes about 1.2e-38 to 3.4e+38, or 0)";
      return false;
    }
    memcpy(&value.uRaw, &f, 4);
    return true;
  }
  if (!ParseInteger(text, INT32_MIN, UINT32_MAX, v)) {
    error = "'" + text + "' does not fit a 32-bit integer";
    return false;
  }
  value.uRaw = static_cast<uint32_t>(v);
  return true;
}

std::string ElementText(const Gate& gate, int k, bool bHexBase, bool bGtc) {
  unsigned uAddress = 0;
  if (bGtc || !RawAddress(gate.text, bHexBase, uAddress)) return "";
  unsigned uStep = gate.spec.iBits == 32 || gate.bPairs ? 2u : 1u;
  unsigned uElem = uAddress + uStep * static_cast<unsigned>(k);
  char sz[32];
  snprintf(sz, sizeof sz, bHexBase ? "%04X" : "%04u", uElem);
  return gate.text.substr(0, 3) + sz;
}

// ---------------------------------------------------------------- Instance

Instance::Instance(const Driver& driver, int32_t iDriverNr, int32_t iContextSize)
    : driver_(driver), iDriverNr_(iDriverNr) {
  // Never less than the record this host reads fields of.
  size_t n = iContextSize > 0 ? static_cast<size_t>(iContextSize) : 0;
  if (n < sizeof(DriverContext)) n = sizeof(DriverContext);
  context_.reset(new uint8_t[n]());
}

ResultCode Instance::Call(int32_t iOpCode, void* pParam) {
  DriverRequest request{};
  request.pContext = Context();
  request.iOpCode = iOpCode;
  request.iDriverNr = iDriverNr_;
  request.pParam = pParam;
  return driver_.Call(request);
}

ResultCode Instance::Simple(int32_t iOpCode) {
  return Call(iOpCode, nullptr);
}

ResultCode Instance::ColdStart(const std::string& port, bool bEnable, int32_t iTimeout, const LineSettings& line) {
  ColdStartParams params{};
  snprintf(params.szPort, sizeof params.szPort, "%s", port.c_str());
  params.bEnable = bEnable ? 1 : 0;
  params.iTimeout = iTimeout;
  params.line = line;
  return Call(SARN_OP_COLD_START, &params);
}

ResultCode Instance::ChangeParams(const std::string& port, int32_t iTimeout, const LineSettings& line) {
  DriverParams params{};
  snprintf(params.szPort, sizeof params.szPort, "%s", port.c_str());
  params.iTimeout = iTimeout;
  params.line = line;
  return Call(SARN_OP_CHANGE_SARN_PARAMS, &params);
}

ResultCode Instance::Parse(const std::string& text, int32_t iDataType, int32_t iCount, Gate& gate) {
  gate = Gate{};
  gate.text = text;
  gate.bBlock = iCount >= 0;
  gate.iDataType = iDataType;
  gate.iCount = gate.bBlock ? iCount : 1;
  gate.spec.pszAddress = gate.text.c_str();
  gate.spec.iDataType = iDataType;
  gate.spec.iCount = gate.iCount;
  ResultCode rc = Call(gate.bBlock ? SARN_OP_BLOCK_ADDRESS_PARSER : SARN_OP_SINGLE_ADDRESS_PARSER, &gate.spec);
  // The text pointer is only lent for the call; transfers point at gate.text.
  gate.spec.pszAddress = nullptr;
  return rc;
}

ResultCode Instance::Read(const Gate& gate, std::vector<uint8_t>& buffer) {
  buffer.assign(gate.BufferSize(), 0);
  GateTransfer t = gate.Transfer(buffer.data());
  return Call(gate.bBlock ? SARN_OP_BLOCK_READ : SARN_OP_SINGLE_READ, &t);
}

ResultCode Instance::Write(const Gate& gate, std::vector<uint8_t>& buffer) {
  buffer.resize(gate.BufferSize(), 0);
  GateTransfer t = gate.Transfer(buffer.data());
  return Call(gate.bBlock ? SARN_OP_BLOCK_WRITE : SARN_OP_SINGLE_WRITE, &t);
}

}  // namespace sarnhost
