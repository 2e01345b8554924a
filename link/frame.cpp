// STUB
#include "link/frame.h"
namespace sarn {
uint8_t CalcLrc(const char*, uint16_t) { return 0; }
int Send(DriverContext*, char*, int) { return 2; }
int Receive(const GateTransfer*, DriverContext*, char*, int*) { return 2; }
}  // namespace sarn
