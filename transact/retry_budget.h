// The retry scheme shared by the read and the write transaction.
#pragma once

#include <cstdint>

#include "hostlog/host_log.h"
#include "hostlog/log_messages.h"

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
  // request length once (lenMessage), then the attempts left and the last
  // reply length (passMessage). A reply that did not belong to the request
  // costs no send attempt. Returns false when the attempts for such replies
  // are used up.
  bool StartPass(bool bOtherRequest, const LogMessage& lenMessage, int iLen, const LogMessage& passMessage,
                 int iReplyLen) {
    if (sRetry < kSendAttempts || sTries < kWrongReplyTries) {
      if (!bTraced) err(lenMessage.iLevel, lenMessage.pszFormat, iLen);
      bTraced = true;
      err(passMessage.iLevel, passMessage.pszFormat, sRetry, iReplyLen);
    }
    if (bOtherRequest) {
      if (sTries == 0) return false;
      SARN_LOG(kMsgWrongReceive, sTries);
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
