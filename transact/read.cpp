// STUB
#include "transact/transactions.h"
namespace sarn {
ResultCode SingleRead(DriverRequest*) { return 2; }
ResultCode BlockRead(DriverRequest*) { return 2; }
int DoRead(DriverRequest*) { return 2; }
int BuildReadRequest(DriverRequest*, char*, int*) { return 1; }
int DecodeReadReply(DriverRequest*, const char*, int) { return 1; }
}  // namespace sarn
