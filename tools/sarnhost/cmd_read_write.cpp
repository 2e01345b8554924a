// read and write: one transaction per gate (per controller with -a 1,2).
#include <algorithm>
#include <cstdio>

#include "cli.h"
#include "commands.h"

namespace sarnhost {

namespace {

// A block's length (COUNT, or -c), or -1 for a single gate.
int32_t ReadCount(const Options& o) {
  long lCount = -1;
  if (!o.bMbpoll && o.args.size() == 2) {
    cli::ParseLong(o.args[1], 1, 65535, lCount);  // checked before the port was opened
  } else if (o.bCountGiven && (!o.bMbpoll || o.lCount > 1)) {
    lCount = o.lCount;
  }
  return static_cast<int32_t>(lCount);
}

}  // namespace

int NamedGates(Session& s, const std::string& text, int32_t iCount, std::vector<Gate>& gates) {
  gates.clear();
  if (!s.o.bMbpoll) {
    gates.emplace_back();
    return TextGate(s, text, iCount, gates.back());
  }
  MbpollType type;
  ParseMbpollType(s.o.mbType, type);
  for (long lSlave : s.o.slaves) {
    gates.emplace_back();
    if (int rc = MbpollGate(s, type, lSlave, FirstReference(s.o), iCount, s.o.bBigEndian, gates.back()); rc != 0) {
      return rc;
    }
  }
  return 0;
}

std::vector<Value> ReadValues(Session& s, const Gate& gate, const std::vector<uint8_t>& buffer) {
  std::vector<Value> values = DecodeBuffer(gate, buffer);
  if (gate.bPairs) {
    // Two registers a value, in the gate's word order.
    std::vector<Value> pairs;
    for (size_t k = 0; k + 1 < values.size(); k += 2) {
      const uint32_t uFirst = values[k].uRaw, uSecond = values[k + 1].uRaw;
      pairs.push_back(Value{32, gate.bHighFirst ? (uFirst << 16) | uSecond : (uSecond << 16) | uFirst});
    }
    return pairs;
  }
  if (!ShownInDriverOrder(s, gate)) {
    for (Value& v : values) v.uRaw = SwapWords(v.uRaw);
  }
  return values;
}

int WriteValues(Session& s, const Gate& gate, const std::vector<std::string>& texts, std::vector<uint8_t>& buffer) {
  std::vector<Value> values;
  for (const std::string& vt : texts) {
    Value v;
    std::string error;
    if (!ParseValue(vt, gate.bPairs ? 32 : gate.spec.iBits, ValueType(gate), v, error)) {
      fprintf(stderr, "sarnhost: %s for gate '%s' (%s)\n", error.c_str(), gate.text.c_str(),
              DataTypeName(ValueType(gate)));
      return kExitUsage;
    }
    if (gate.bPairs) {
      // Two registers, in the gate's word order.
      const uint32_t uHigh = v.uRaw >> 16, uLow = v.uRaw & 0xFFFFu;
      values.push_back(Value{16, gate.bHighFirst ? uHigh : uLow});
      values.push_back(Value{16, gate.bHighFirst ? uLow : uHigh});
      continue;
    }
    if (!ShownInDriverOrder(s, gate)) v.uRaw = SwapWords(v.uRaw);
    values.push_back(v);
  }
  buffer = EncodeBuffer(gate, values);
  return 0;
}

int ReadGate(Session& s, const Gate& gate, std::vector<Value>& values) {
  std::vector<uint8_t> buffer;
  const TxResult r = Transact(s, gate, false, buffer);
  if (r.rc != 0) {
    fflush(stdout);
    fprintf(stderr, "sarnhost: reading '%s' failed: %s\n", gate.text.c_str(), r.outcome.longText.c_str());
    return static_cast<int>(r.rc);
  }
  values = ReadValues(s, gate, buffer);
  return 0;
}

int WriteGates(Session& s, const std::string& text, const std::vector<std::string>& values, const WriteShown& shown) {
  const Options& o = s.o;
  if (o.bCountGiven && static_cast<size_t>(o.lCount) != values.size()) {
    return Usage("-c " + std::to_string(o.lCount) + " but " + std::to_string(values.size()) + " values given");
  }
  const int32_t iCount = values.size() > 1 ? static_cast<int32_t>(values.size()) : -1;
  std::vector<Gate> gates;
  if (int rc = NamedGates(s, text, iCount, gates); rc != 0) return rc;
  int iWorst = 0;
  for (const Gate& gate : gates) {
    if (gate.iOnly >= 0) return Usage("'" + text + "' is read as part of a block; write it by its gate address");
    std::vector<uint8_t> buffer;
    if (int rc = WriteValues(s, gate, values, buffer); rc != 0) return rc;
    const TxResult r = Transact(s, gate, true, buffer);
    if (r.rc != 0) {
      fprintf(stderr, "sarnhost: writing '%s' failed: %s\n", gate.text.c_str(), r.outcome.longText.c_str());
      iWorst = std::max(iWorst, static_cast<int>(r.rc));
      continue;
    }
    shown(gate, ReadValues(s, gate, buffer));
  }
  return iWorst;
}

int CmdRead(Session& s) {
  const Options& o = s.o;
  std::vector<Gate> gates;
  if (int rc = NamedGates(s, o.bMbpoll ? "" : o.args[0], ReadCount(o), gates); rc != 0) return rc;
  int iWorst = 0;
  for (const Gate& gate : gates) {
    std::vector<Value> values;
    if (int rc = ReadGate(s, gate, values); rc != 0) {
      iWorst = std::max(iWorst, rc);
      continue;
    }
    for (size_t k = 0; k < values.size(); ++k) {
      if (gate.iOnly >= 0 && static_cast<size_t>(gate.iOnly) != k) continue;
      printf("%s: %s\n", Label(s, gate, static_cast<int>(k)).c_str(), FormatValue(values[k], ValueType(gate)).c_str());
    }
  }
  return iWorst;
}

int CmdWrite(Session& s) {
  const Options& o = s.o;
  const std::vector<std::string> texts(o.args.begin() + (o.bMbpoll ? 0 : 1), o.args.end());
  return WriteGates(s, o.bMbpoll ? "" : o.args[0], texts, [&s](const Gate& gate, const std::vector<Value>& values) {
    for (size_t k = 0; k < values.size(); ++k) {
      printf("%s: wrote %s\n", Label(s, gate, static_cast<int>(k)).c_str(),
             FormatValue(values[k], ValueType(gate)).c_str());
    }
  });
}

}  // namespace sarnhost
