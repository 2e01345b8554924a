// The commands, each in a file of its own. Those that talk to controllers
// run inside a Session (see session.h) and return the exit status.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "driver_host.h"
#include "session.h"

namespace sarnhost {

int CmdRead(Session& s);    // cmd_read_write.cpp
int CmdWrite(Session& s);   // cmd_read_write.cpp
int CmdMbpoll(Session& s);  // cmd_mbpoll.cpp: mbpoll's form, no command word
int CmdPoll(Session& s);    // cmd_poll.cpp
int CmdScan(Session& s);    // cmd_scan.cpp
// cmd_info.cpp; with a port, also what the check before opening finds on it
int CmdInfo(const Driver& driver, const DriverInfo& info, int32_t iDriverNr, const std::string& port);
void PrintVersion(const Driver* pDriver, const DriverInfo* pInfo);  // cmd_info.cpp

// The gates that read, write and poll name: from -a, -t, -r (one per
// controller, a block of iCount values when iCount >= 0), or the gate text.
// Returns 0 or the exit status (message printed).
int NamedGates(Session& s, const std::string& text, int32_t iCount, std::vector<Gate>& gates);
// Values of a read (words in mbpoll's order for -t 3:int etc.).
std::vector<Value> ReadValues(Session& s, const Gate& gate, const std::vector<uint8_t>& buffer);
// Parses the write values for a gate; 0 or the exit status (message printed).
int WriteValues(Session& s, const Gate& gate, const std::vector<std::string>& texts, std::vector<uint8_t>& buffer);

// Reads gate into values; a failure is reported on standard error ("reading
// '0140001' failed: ...") and its result returned, 0 otherwise.
int ReadGate(Session& s, const Gate& gate, std::vector<Value>& values);

// What a write that succeeded shows: the values as they were written.
using WriteShown = std::function<void(const Gate& gate, const std::vector<Value>& values)>;

// Writes the values to each gate that text (or mbpoll's -a, -t, -r when
// text is empty) names: a single gate for one value, a block for more;
// -c, when given, must count them. Each failed write is reported and the
// worst result returned; shown after each one that succeeded.
int WriteGates(Session& s, const std::string& text, const std::vector<std::string>& values, const WriteShown& shown);

}  // namespace sarnhost
