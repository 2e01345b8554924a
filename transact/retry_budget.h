// The retry scheme shared by the read and the write transaction.
#pragma once

#include <cstdint>

#include "hostlog/host_log.h"

namespace sarn {

// Three send attempts, and nine further attempts for replies that belong to
// another request; at most twelve requests in all.
struct RetryBudget {
  static constexpr uint16_t kSendAttempts = 3;
  static constexpr uint16_t kWrongReplyTries = 9;

  uint16_t sRetry = kSendAttempts;
  uint16_t sTries = kWrongReplyTries;
  bool bTraced = false;

  // Starts the next pass after one whose reply did (bOtherRequest) or did
  // not belong to another request. Every pass but the first is traced: the
  // request length once (pszLenFormat), then the attempts left and the last
  // reply length (pszPassFormat). A reply that did not belong to the request
  // costs no send attempt. Returns false when the attempts for such replies
  // are used up.
  bool StartPass(bool bOtherRequest, const char* pszLenFormat, int iLen, const char* pszPassFormat, int iReplyLen) {
    if (sRetry < kSendAttempts || sTries < kWrongReplyTries) {
      if (!bTraced) err(kLogTrace, pszLenFormat, iLen);
      bTraced = true;
      err(kLogTrace, pszPassFormat, sRetry, iReplyLen);
    }
    if (bOtherRequest) {
      if (sTries == 0) return false;
      err(kLogTrace, "SARNMD> Wrong receive (still %d tries)", sTries);
      --sTries;
    } else {
      --sRetry;
    }
    return true;
  }

  // Number of the send attempt under way (1, 2, 3), as the retry messages show it.
  int Attempt() const { return kSendAttempts - sRetry; }

  bool AnotherPass(bool bFailed) const { return sRetry > 0 && bFailed; }
};

}  // namespace sarn
