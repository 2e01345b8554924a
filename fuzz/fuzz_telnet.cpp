// Fuzz target: what a Telnet (RFC 2217) gateway sends, through the filter
// that takes its commands out of the data. Checks that no byte becomes data
// that was not sent as data, that every answer is a well-formed Telnet
// option reply, and that no option is answered twice.
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "platform/telnet_filter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  sarn::TelnetFilter filter;
  int nAnswers[256] = {};
  size_t nData = 0;
  for (size_t i = 0; i < nSize; ++i) {
    uint8_t reply[3] = {};
    int nReply = -1;
    const bool bData = sarn::TelnetTake(&filter, pData[i], reply, &nReply);
    FUZZ_CHECK(nReply == 0 || nReply == 3);
    if (bData) {
      ++nData;
      // Data is a byte outside a command, or the second of a doubled 255.
      FUZZ_CHECK(pData[i] != sarn::kTelnetIac || (i > 0 && pData[i - 1] == sarn::kTelnetIac));
    }
    if (nReply == 3) {
      FUZZ_CHECK(!bData && reply[0] == sarn::kTelnetIac && reply[1] >= sarn::kTelnetWill && reply[2] == pData[i]);
      FUZZ_CHECK(++nAnswers[reply[2]] == 1);
    }
  }
  FUZZ_CHECK(nData <= nSize);
  return 0;
}
