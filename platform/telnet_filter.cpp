#include "platform/telnet_filter.h"

namespace sarn {

namespace {

int Answer(TelnetFilter* pFilter, uint8_t cOption, uint8_t reply[3]) {
  const uint8_t cVerb = pFilter->cVerb;
  if (cVerb == kTelnetWont || cVerb == kTelnetDont) return 0;
  const uint8_t cBit = static_cast<uint8_t>(1u << (cOption % 8));
  if (pFilter->answered[cOption / 8] & cBit) return 0;
  pFilter->answered[cOption / 8] |= cBit;
  const bool bTake =
      cOption == kTelnetBinary || cOption == kTelnetSga || (cOption == kTelnetComPort && cVerb == kTelnetDo);
  reply[0] = kTelnetIac;
  reply[1] = cVerb == kTelnetWill ? (bTake ? kTelnetDo : kTelnetDont) : (bTake ? kTelnetWill : kTelnetWont);
  reply[2] = cOption;
  return 3;
}

}  // namespace

bool TelnetTake(TelnetFilter* pFilter, uint8_t c, uint8_t reply[3], int* pnReply) {
  *pnReply = 0;
  switch (pFilter->state) {
    case TelnetState::kData:
      if (c != kTelnetIac) return true;
      pFilter->state = TelnetState::kIac;
      return false;
    case TelnetState::kIac:
      pFilter->state = TelnetState::kData;
      if (c == kTelnetIac) return true;  // a data byte 255
      if (c >= kTelnetWill && c <= kTelnetDont) {
        pFilter->cVerb = c;
        pFilter->state = TelnetState::kOption;
      }
      if (c == kTelnetSb) pFilter->state = TelnetState::kSub;
      return false;
    case TelnetState::kOption:
      *pnReply = Answer(pFilter, c, reply);
      pFilter->state = TelnetState::kData;
      return false;
    case TelnetState::kSub:
      if (c == kTelnetIac) pFilter->state = TelnetState::kSubIac;
      return false;
    case TelnetState::kSubIac:
      pFilter->state = c == kTelnetSe ? TelnetState::kData : TelnetState::kSub;
      return false;
  }
  return false;
}

}  // namespace sarn
