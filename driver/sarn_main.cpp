// The driver's entry point and its table of operations.
#include "address/gate_address.h"
#include "driver/lifecycle.h"
#include "driver/stop_flag.h"
#include "hostlog/host_log.h"
#include "hostlog/log_messages.h"
#include "sarnmd.h"
#include "transact/transaction_run.h"
#include "transact/transactions.h"

namespace sarn {

std::atomic<int32_t> bStopped{0};

namespace {

using Operation = ResultCode (*)(DriverRequest*);

// One slot of the table; an empty slot has no operation. The two flags tell
// which of the request's pointers the operation works on, so that a null one
// is refused here instead of being dereferenced.
struct OperationSlot {
  Operation pfnOperation;
  bool bNeedsContext;
  bool bNeedsParam;
};

constexpr OperationSlot kOperations[SARN_OP_TABLE_SIZE] = {
    /*  0 */ {nullptr, false, false},
    /*  1 */ {ColdStart, true, true},
    /*  2 */ {WarmStart, true, false},
    /*  3 */ {SingleAddressParser, true, true},
    /*  4 */ {BlockAddressParser, true, true},
    /*  5 */ {SingleRead, true, true},
    /*  6 */ {BlockRead, true, true},
    /*  7 */ {SingleWrite, true, true},
    /*  8 */ {nullptr, false, false},
    /*  9 */ {nullptr, false, false},
    /* 10 */ {BlockWrite, true, true},
    /* 11 */ {EndSarn, true, false},
    /* 12 */ {CloseCom, true, false},
    /* 13 */ {ReOpenCom, true, false},
    /* 14 */ {GetSarnInfo, false, true},
    /* 15 */ {ChangeSarnParams, true, true},
    /* 16 */ {nullptr, false, false},
};

}  // namespace
}  // namespace sarn

namespace sarn {
namespace {

bool IsTransfer(int32_t iOpCode) {
  return iOpCode == SARN_OP_SINGLE_READ || iOpCode == SARN_OP_BLOCK_READ || iOpCode == SARN_OP_SINGLE_WRITE ||
         iOpCode == SARN_OP_BLOCK_WRITE;
}

// What a stopped module answers: reads and writes fail on the line, unsent,
// so that no host takes an untouched cell for a value or a write for done;
// a context's CloseCom and EndSarn still close its own port, which would
// otherwise stay open until the process ends; everything else answers 0 and
// does nothing.
ResultCode StoppedAnswer(DriverRequest* pRequest) {
  if (pRequest == nullptr) return SARN_OK;
  if (IsTransfer(pRequest->iOpCode)) {
    SARN_LOG(kMsgStoppedRequestNotSent);
    return HostResult(Fault::kStopped);
  }
  if (pRequest->pContext == nullptr) return SARN_OK;
  if (pRequest->iOpCode == SARN_OP_CLOSE_COM) return CloseCom(pRequest);
  if (pRequest->iOpCode == SARN_OP_END_SARN) return EndSarn(pRequest);
  return SARN_OK;
}

}  // namespace
}  // namespace sarn

extern "C" SARNMD_API ResultCode SarnMain(DriverRequest* pRequest) {
  using namespace sarn;
  if (bStopped == 1) return StoppedAnswer(pRequest);
  if (pRequest == nullptr) return SARN_REFUSED;
  // Compared unsigned, so negative codes fall outside the table too.
  const uint32_t uCode = static_cast<uint32_t>(pRequest->iOpCode);
  if (uCode >= SARN_OP_TABLE_SIZE) return SARN_LINE_FAIL;
  const OperationSlot& slot = kOperations[uCode];
  if (slot.pfnOperation == nullptr) return SARN_LINE_FAIL;
  if (slot.bNeedsContext && pRequest->pContext == nullptr) return SARN_REFUSED;
  if (slot.bNeedsParam && pRequest->pParam == nullptr) return SARN_REFUSED;
  return slot.pfnOperation(pRequest);
}
