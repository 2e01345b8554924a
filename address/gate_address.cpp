// STUB: replaced by the gate address parser.
#include "address/gate_address.h"
namespace sarn {
int Parse(DriverRequest*) { return 1; }
ResultCode SingleAddressParser(DriverRequest*) { return 2; }
ResultCode BlockAddressParser(DriverRequest*) { return 2; }
}  // namespace sarn
