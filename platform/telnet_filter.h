// What a Telnet gateway (RFC 854, with RFC 2217's COM port option) sends,
// taken apart a byte at a time: data bytes pass, a doubled 255 is one data
// byte 255, option offers get an answer, and subnegotiations (the gateway's
// replies to the line settings, not needed) are skipped. Its state carries
// over from one read to the next, so a command split across reads is taken
// whole. Plain data; nothing is allocated.
#pragma once

#include <cstdint>

namespace sarn {

inline constexpr uint8_t kTelnetIac = 255, kTelnetDont = 254, kTelnetDo = 253, kTelnetWont = 252, kTelnetWill = 251,
                         kTelnetSb = 250, kTelnetSe = 240;
inline constexpr uint8_t kTelnetBinary = 0, kTelnetSga = 3, kTelnetComPort = 44;

enum class TelnetState : uint8_t { kData, kIac, kOption, kSub, kSubIac };

struct TelnetFilter {
  TelnetState state = TelnetState::kData;
  uint8_t cVerb = 0;          // WILL, WONT, DO or DONT under way
  uint8_t answered[32] = {};  // options already answered, a bit each
};

// Takes byte c: true when it is a data byte. An offer to answer leaves its
// three bytes in reply and *pnReply 3 (else 0): binary, suppress-go-ahead
// and (asked with DO) the COM port option are taken, every other refused;
// each option is answered once.
bool TelnetTake(TelnetFilter* pFilter, uint8_t c, uint8_t reply[3], int* pnReply);

}  // namespace sarn
