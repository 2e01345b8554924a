// Why the driver's address parser refused a gate text, in words: which
// character, and what may stand there; the memory types; a 32-bit value's odd
// address; the largest block. The driver's own trace stays in its log (-v).
#pragma once

#include <string>
#include <vector>

#include "driver_host.h"
#include "log_tap.h"

namespace sarnhost {

// What the words depend on besides the text.
struct GateSetting {
  bool bGtc = false;
  bool bHexBase = false;
};

// One line: what is wrong with gate, from the parser's log lines of it.
std::string GateRefusal(const std::vector<LogLine>& lines, const Gate& gate, const GateSetting& setting);

// The gate addresses of the GTC variables: "200 to 511".
std::string GtcVariableRange();

// The same words wherever controller 0 is asked for: a gate text, -a 0.
extern const char kBroadcastWords[];

// Control characters in a text spelled out ("<09>").
std::string Printable(const std::string& text);

}  // namespace sarnhost
