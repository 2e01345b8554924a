// STUB: replaced by the initialization file reader.
#include "config/int_file.h"
namespace sarn {
void ReadIntFile(DriverRequest*) {}
FILE* OpenIntFile(const char*, char*, size_t, int) { return nullptr; }
int ParseBusLine(const char*, DriverContext*) { return 0; }
}  // namespace sarn
