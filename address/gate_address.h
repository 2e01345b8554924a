// Gate addressing: decoding and checking the address texts of gates.
#pragma once

#include "sarnmd.h"

namespace sarn {

// Decodes the address text of the request's GateSpec into its output
// fields; 0 when accepted, 1 when refused (logged).
int Parse(DriverRequest* pRequest);
// Operation 3: Parse, then check the host data type against the gate.
ResultCode SingleAddressParser(DriverRequest* pRequest);
// Operation 4: no bit number, Parse, then the block limits.
ResultCode BlockAddressParser(DriverRequest* pRequest);

}  // namespace sarn
