// The port fields of a context block, read and written whole.
//
// A host may close or reopen a block's port on one thread while a read or
// write on the same block, or on a copy of it, runs on another: each field is
// then read and written as one atomic value, never torn, and a call sees
// either the old port or the new one.
#pragma once

#include <atomic>

#include "sarnmd.h"

namespace sarn {

static_assert(std::atomic_ref<SarnHandle>::is_always_lock_free && std::atomic_ref<int32_t>::is_always_lock_free);

inline SarnHandle ContextPort(const DriverContext* pContext) {
  return std::atomic_ref<SarnHandle>(const_cast<SarnHandle&>(pContext->hCom)).load(std::memory_order_acquire);
}

inline void SetContextPort(DriverContext* pContext, SarnHandle hCom) {
  std::atomic_ref<SarnHandle>(pContext->hCom).store(hCom, std::memory_order_release);
}

// Whether communication is enabled (bComOpen non-zero).
inline bool CommunicationEnabled(const DriverContext* pContext) {
  return std::atomic_ref<int32_t>(const_cast<int32_t&>(pContext->bComOpen)).load(std::memory_order_acquire) != 0;
}

inline void SetCommunication(DriverContext* pContext, int32_t bComOpen) {
  std::atomic_ref<int32_t>(pContext->bComOpen).store(bComOpen, std::memory_order_release);
}

}  // namespace sarn
