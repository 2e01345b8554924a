#include "mbpoll.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sarnhost {

char MbpollType::MemoryType() const {
  if (!b32) return cTable;
  if (cTable == '3') return bFloat ? '5' : '6';
  return bFloat ? '7' : '8';
}

bool ParseMbpollType(const std::string& text, MbpollType& type) {
  if (text.empty() || std::string("0134").find(text[0]) == std::string::npos) return false;
  MbpollType t;
  t.cTable = text[0];
  const std::string format = text.substr(1);
  const bool bRegisters = t.cTable == '3' || t.cTable == '4';
  if (format == ":int" && bRegisters) {
    t.b32 = true;
  } else if (format == ":float" && bRegisters) {
    t.b32 = t.bFloat = true;
  } else if (format == ":hex" && bRegisters) {
    t.bHex = true;
  } else if (format == ":int16" && bRegisters) {
    t.bInt16 = true;
  } else if (!format.empty()) {
    return false;
  }
  type = t;
  return true;
}

bool ValidMbpollType(const std::string& text) {
  MbpollType t;
  return ParseMbpollType(text, t);
}

bool SlaveFitsText(long lSlave, bool bHexBase) {
  return lSlave >= 0 && lSlave <= (bHexBase ? 0xFF : 99);
}

std::string MbpollGateText(long lSlave, const MbpollType& type, long lRef, bool bHexBase, std::string& error) {
  const long lMaxRef = bHexBase ? 0xFFFF : 9999;
  if (lRef < 1 || lRef > lMaxRef) {
    error = "reference " + std::to_string(lRef) + " does not fit the four " + (bHexBase ? "hexadecimal" : "decimal") +
            " digits of a gate text (1.." + std::to_string(lMaxRef) + ")";
    return "";
  }
  const long lInText = SlaveFitsText(lSlave, bHexBase) ? lSlave : 1;
  char sz[16];
  snprintf(sz, sizeof sz, bHexBase ? "%02lX%c%04lX" : "%02ld%c%04ld", lInText, type.MemoryType(), lRef);
  return sz;
}

std::string DirectGateName(long lSlave, const MbpollType& type, long lRef) {
  char sz[32];
  snprintf(sz, sizeof sz, "%ld.%c%04ld", lSlave, type.MemoryType(), lRef);
  return sz;
}

bool ParseDottedName(const std::string& text, long& lSlave, MbpollType& type, long& lRef) {
  const size_t dot = text.find('.');
  if (dot == std::string::npos || dot == 0 || dot > 3 || text.size() < dot + 3 || text.size() > dot + 7) return false;
  if (text.find_first_not_of("0123456789", 0) != dot ||
      text.find_first_not_of("0123456789", dot + 1) != std::string::npos) {
    return false;
  }
  static const char* const kTypes[] = {"0", "1", "", "3", "4", "3:float", "3:int", "4:float", "4:int", ""};
  const char* pszType = kTypes[text[dot + 1] - '0'];
  lSlave = atol(text.substr(0, dot).c_str());
  lRef = atol(text.c_str() + dot + 2);
  return *pszType != '\0' && lSlave <= 247 && lRef >= 1 && lRef <= 65536 && ParseMbpollType(pszType, type);
}

std::string MbpollTypeText(const MbpollType& type) {
  std::string text(1, type.cTable);
  if (type.b32) return text + (type.bFloat ? ":float" : ":int");
  if (type.bHex) return text + ":hex";
  if (type.bInt16) return text + ":int16";
  return text;
}

uint32_t SwapWords(uint32_t u) {
  return (u << 16) | (u >> 16);
}

std::string MbpollValue(const Value& value, const MbpollType& type) {
  char sz[48];
  if (value.iBits == 1) {
    snprintf(sz, sizeof sz, "%u", value.uRaw & 1u);
  } else if (value.iBits == 16) {
    const auto w = static_cast<uint16_t>(value.uRaw);
    if (type.bHex) {
      snprintf(sz, sizeof sz, "0x%04X", w);
    } else if (type.bInt16) {
      snprintf(sz, sizeof sz, "%d", static_cast<int16_t>(w));
    } else if (w & 0x8000u) {
      snprintf(sz, sizeof sz, "%u (%d)", w, static_cast<int16_t>(w));
    } else {
      snprintf(sz, sizeof sz, "%u", w);
    }
  } else if (type.bFloat) {
    float f = 0;
    memcpy(&f, &value.uRaw, 4);
    snprintf(sz, sizeof sz, "%g", static_cast<double>(f));
  } else {
    snprintf(sz, sizeof sz, "%d", static_cast<int32_t>(value.uRaw));
  }
  return sz;
}

}  // namespace sarnhost
