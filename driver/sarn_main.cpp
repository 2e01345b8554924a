// The driver's entry point and its table of operations.
#include <array>

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

// The table, each operation placed at its own code; the other codes stay
// empty.
constexpr std::array<OperationSlot, SARN_OP_TABLE_SIZE> MakeOperations() {
  std::array<OperationSlot, SARN_OP_TABLE_SIZE> table{};
  table[SARN_OP_COLD_START] = {ColdStart, true, true};
  table[SARN_OP_WARM_START] = {WarmStart, true, false};
  table[SARN_OP_SINGLE_ADDRESS_PARSER] = {SingleAddressParser, true, true};
  table[SARN_OP_BLOCK_ADDRESS_PARSER] = {BlockAddressParser, true, true};
  table[SARN_OP_SINGLE_READ] = {SingleRead, true, true};
  table[SARN_OP_BLOCK_READ] = {BlockRead, true, true};
  table[SARN_OP_SINGLE_WRITE] = {SingleWrite, true, true};
  table[SARN_OP_BLOCK_WRITE] = {BlockWrite, true, true};
  table[SARN_OP_END_SARN] = {EndSarn, true, false};
  table[SARN_OP_CLOSE_COM] = {CloseCom, true, false};
  table[SARN_OP_REOPEN_COM] = {ReOpenCom, true, false};
  table[SARN_OP_GET_SARN_INFO] = {GetSarnInfo, false, true};
  table[SARN_OP_CHANGE_SARN_PARAMS] = {ChangeSarnParams, true, true};
  return table;
}
constexpr std::array<OperationSlot, SARN_OP_TABLE_SIZE> kOperations = MakeOperations();

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
