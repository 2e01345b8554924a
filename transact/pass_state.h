// States a pass of the retry loop ends in. Once no further pass follows, the
// state is the transaction's result (a reply of another request counting as
// refused).
#pragma once

#include "link/frame.h"
#include "sarnmd.h"

namespace sarn {

enum PassState : int {
  kPassOk = SARN_OK,               // a reply passed every check
  kPassRefused = SARN_REFUSED,     // refused, or a reply failed a check
  kPassLineFail = SARN_LINE_FAIL,  // not sent, or nothing usable arrived
  kPassWrongReply = kRecvWrong,    // the reply belonged to another request
};

}  // namespace sarn
