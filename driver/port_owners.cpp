#include "driver/port_owners.h"

#include <mutex>

#include "sarn_handle.h"

namespace sarn {
namespace {

struct PortOwner {
  SarnHandle hCom;
  const DriverContext* pContext;
};

// One entry for every port the module can hold open at once; an entry with
// no handle is free.
PortOwner g_owners[kMaxOpenPorts];
// Contexts open and close ports on their own threads at the same time.
std::mutex g_ownersLock;

PortOwner* Find(SarnHandle hCom) {
  for (PortOwner& owner : g_owners)
    if (owner.hCom == hCom) return &owner;
  return nullptr;
}

}  // namespace

bool RecordPortOwner(SarnHandle hCom, const DriverContext* pContext) {
  if (hCom == kNoHandle) return false;
  const std::lock_guard<std::mutex> lock(g_ownersLock);
  PortOwner* pEntry = Find(hCom);
  if (pEntry == nullptr) pEntry = Find(kNoHandle);
  if (pEntry == nullptr) return false;
  *pEntry = {hCom, pContext};
  return true;
}

bool OwnsPort(const DriverContext* pContext, SarnHandle hCom) {
  if (hCom == kNoHandle) return false;
  const std::lock_guard<std::mutex> lock(g_ownersLock);
  const PortOwner* pEntry = Find(hCom);
  return pEntry != nullptr && pEntry->pContext == pContext;
}

void ForgetPortOwner(SarnHandle hCom, const DriverContext* pContext) {
  if (hCom == kNoHandle) return;
  const std::lock_guard<std::mutex> lock(g_ownersLock);
  PortOwner* pEntry = Find(hCom);
  if (pEntry != nullptr && pEntry->pContext == pContext) *pEntry = {kNoHandle, nullptr};
}

}  // namespace sarn
