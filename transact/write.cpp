// STUB
#include "transact/transactions.h"
namespace sarn {
ResultCode SingleWrite(DriverRequest*) { return 2; }
ResultCode BlockWrite(DriverRequest*) { return 2; }
int WriteGtcBits(DriverRequest*, unsigned char) { return 1; }
int DoWrite(DriverRequest*, char*, int) { return 2; }
}  // namespace sarn
