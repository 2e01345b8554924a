// Which port handles the module opened, and for which context block.
//
// A context block is host memory: a host that copies a block, or hands over
// one it did not clear, passes a handle value that belongs to another
// context (or to nothing). The lifecycle operations close and replace only a
// handle recorded here for the very block they are given; any other value is
// treated as no port, never closed and never taken for this context's own.
// Every call is safe while other threads open and close ports.
#pragma once

#include "sarnmd.h"

namespace sarn {

// Records that hCom was opened for pContext. Any earlier record of the same
// value is stale (the platform hands out only handles that are not open) and
// is replaced. False when the table is full.
bool RecordPortOwner(SarnHandle hCom, const DriverContext* pContext);
// Whether hCom is a handle the module opened for pContext and has not closed.
bool OwnsPort(const DriverContext* pContext, SarnHandle hCom);
// Drops the record of a handle that pContext closed (or gave up). A record
// that names another context is kept: once closed, the handle value may
// already have been handed to another context's open on another thread.
void ForgetPortOwner(SarnHandle hCom, const DriverContext* pContext);

}  // namespace sarn
