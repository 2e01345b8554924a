// One record for each open port: its handle, its name, the context that
// opened it, its turn, and what is in flight on it.
//
// Two context blocks may name the same port (a block copied from another, or
// one the host did not clear), and a host may run two calls on one block at
// once. Their requests and replies must never interleave on the line, or
// each would take the other's answer: a read or write holds its port's turn
// from its first request to its last retry, a bit update's register read and
// a GTC block's two masks included. Closing a port waits for the transaction
// under way on it, then lets the answers still in flight come before the
// port closes, so that the next program to open the line does not take them.
//
// A record is visible to transactions only once its port is fully set up,
// and is not reused while a transaction holds it. The table is fixed: it
// allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/line_ledger.h"
#include "link/port.h"
#include "sarn_handle.h"
#include "sarnmd.h"

namespace sarn {

// The port a transaction holds: its record, handle and ledger. A hold of no
// port (hCom kNoHandle, no ledger) makes every port call fail.
struct PortHold {
  int iRecord = -1;
  SarnHandle hCom = kNoHandle;
  LineLedger* pLedger = nullptr;
};

// What a port is opened with, and for whom.
struct PortOpening {
  const char* pszName = "";
  const LineSettings* pLine = nullptr;
  uint16_t wControl = 0;
  int32_t iTimeout = 0;       // reply time-out to set, in 10 ms units; 0 or less keeps the port's default
  bool bRtsByDevice = false;  // hand RTS to the device for the RS-485 direction where it can
  const DriverContext* pOwner = nullptr;
};

// Opens and sets up a port and records it as the opener's; a PortResult,
// *phCom the handle or kNoHandle, *pbRtsByDevice (when given) whether the
// device switches RTS. kPortOpenFailed also when the module holds as many
// ports as it can.
PortResult OpenPortRecord(const PortOpening& opening, SarnHandle* phCom, bool* pbRtsByDevice = nullptr);
// Whether hCom is a port the module opened for pOwner and has not closed.
bool OwnsPortRecord(const DriverContext* pOwner, SarnHandle hCom);
// Closes pOwner's port hCom once no transaction holds it and the answers in
// flight have come or been waited out. kPortOk; on a failed close the port
// stays recorded as pOwner's, so that its handle is not handed to another
// port while the context still names it.
PortResult ClosePortRecord(const DriverContext* pOwner, SarnHandle hCom);
// Gives up pOwner's port hCom after a failed close: closes it once more,
// which frees the platform's place for it, and forgets it.
void AbandonPortRecord(const DriverContext* pOwner, SarnHandle hCom);

// Waits until no other transaction holds the port hCom names, then holds
// it. A handle that names no open port holds no port.
void TakePort(SarnHandle hCom, PortHold* pHold);
void GivePort(PortHold* pHold);

// The held port's reads: each feeds the port's ledger, and logs the frames
// it found to be no answer (strays, and an echo the driver was not told of).
// HeldRead reads exactly wCount bytes unless a read fails or times out
// (kPortIoFailed), *pRead what arrived; HeldReadWindow is one read of at
// most wCount bytes within the read time-out (kPortOk also when nothing
// came).
PortResult HeldRead(const PortHold* pHold, void* pBuf, uint16_t wCount, uint32_t* pRead);
PortResult HeldReadWindow(const PortHold* pHold, void* pBuf, uint16_t wCount, uint32_t* pRead);
// Reads the rest of the frame under way, up to its LF (at most wRoom bytes
// into pScratch), so that the ledger can judge it whole.
void HeldDrainFrame(const PortHold* pHold, char* pScratch, uint16_t wRoom);
// Frames read on the held port that were no answer, ever: compared before
// and after a read, it tells that what was read was none.
uint32_t HeldNotAnswers(const PortHold* pHold);
// Stray frames read on the held port, ever.
uint32_t HeldStrays(const PortHold* pHold);
// Whether characters wait in the held port's input.
bool HeldInputWaiting(const PortHold* pHold);
// Whether the frame under way began sooner than any answer owed could have.
bool HeldFrameBeganEarly(const PortHold* pHold);
// Before a request: discards the input waiting. Where characters are
// arriving, or a stray frame came since the last request (or the caller
// asks, bQuiet), it first waits until the line has been quiet for a few
// character times, for at most the reply time-out, so that a line that got
// out of step gets back in step here.
void QuietHeldPort(const PortHold* pHold, bool bQuiet = false);
// Whether the line stayed clean since HeldStrays read nStraysBefore: no
// stray frame came, and nothing arrives within the idle span (what does is
// discarded, and the next request waits for a quiet line).
bool HeldLineClean(const PortHold* pHold, uint32_t nStraysBefore);

// Whether the hold holds a port at all.
bool HoldsPort(const PortHold* pHold);
// Writes a request of dwCount characters, LRC and CR LF included, on the
// held port; kPortOk when it went out whole, which the ledger then notes
// as an answer owed (see LedgerNoteSent), kPortShortWrite when part of it
// did, or the write's failure.
PortResult HeldWrite(const PortHold* pHold, const char* pszRequest, uint32_t dwCount, SentKind kind);
// Reads back the request just written, which a line that hears its own
// transmission delivers before any reply: exactly wCount bytes, as
// PortRead. The echo is read past the ledger: it answers nothing, and it
// comes at once, before the answers still owed to earlier attempts.
PortResult HeldReadEcho(const PortHold* pHold, void* pBuf, uint16_t wCount, uint32_t* pRead);
// RTS around a request, the output queue while it leaves, and what the last
// failed call on the held port failed with (see link/port.h).
PortResult HeldSetRts(const PortHold* pHold, bool bRaised);
PortResult HeldOutputQueue(const PortHold* pHold, uint32_t* pdwPending);
size_t HeldDescribeFailure(const PortHold* pHold, char* pszText, size_t size);

// The request just sent has left (on a line that echoes, its echo is
// back): its answer is awaited from now.
void NoteRequestLeft(const PortHold* pHold);
// An attempt got no answer within the reply time-out.
void NoteNoAnswer(const PortHold* pHold);
// Every attempt of the transaction under way got no answer: their answers
// may come as late as the settle's bound after the last had left.
void NoteAttemptsUnanswered(const PortHold* pHold);
// The transaction under way took an answer of cController: after an
// attempt that got no answer in time, the answer is noted as late when it
// came later than the reply time-out after that attempt had left.
void NoteAnswerTaken(const PortHold* pHold, uint8_t cController);

// Before a request, and before the port closes: when answers may still be
// in flight, reads and discards input until each has come or the line has
// been quiet long enough for it to come (the controller's pace, the longest
// delay the line has shown and never less than the reply time-out, with a
// quarter more), for at most kSettleWindows times that pace, or once for
// each answer owed when more are. Logs how it ended.
inline constexpr int kSettleWindows = 3;
void SettleHeldPort(const PortHold* pHold);
// Logs, once, an answer later than the reply time-out seen on the held port
// since the last report.
void ReportLateAnswer(const PortHold* pHold);

}  // namespace sarn
