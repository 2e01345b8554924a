// The retry scheme shared by the read and the write transaction.
#pragma once

#include <cstdint>

namespace sarn {

// Three send attempts, and nine further attempts for replies that belong to
// another request; at most twelve requests in all.
struct RetryBudget {
  static constexpr uint16_t kSendAttempts = 3;
  static constexpr uint16_t kWrongReplyTries = 9;

  uint16_t sRetry = kSendAttempts;
  uint16_t sTries = kWrongReplyTries;

  // Whether a pass has been spent already: the next is a retry.
  bool Retrying() const { return sRetry < kSendAttempts || sTries < kWrongReplyTries; }

  // Spends the next pass after one whose reply did (bOtherRequest) or did
  // not belong to another request: such a reply costs no send attempt, but
  // one of the attempts for such replies. False when those are used up.
  bool StartPass(bool bOtherRequest) {
    if (!bOtherRequest) {
      --sRetry;
      return true;
    }
    if (sTries == 0) return false;
    --sTries;
    return true;
  }

  // Number of the send attempt under way (1, 2, 3), as the retry messages show it.
  int Attempt() const { return kSendAttempts - sRetry; }

  bool AnotherPass(bool bFailed) const { return sRetry > 0 && bFailed; }
};

}  // namespace sarn
