// Every message the driver logs: its name, its level and its text, which is
// the format handed to the host's err() (a host that keys on the format sees
// the text). The driver logs only through this table (SARN_LOG), and tools
// that read the driver's log classify its lines by the same entries.
#pragma once

#include "hostlog/host_log.h"

namespace sarn {

struct LogMessage {
  int iLevel;
  const char* pszFormat;
  const char* pszName;
};

// X(name, level, format) for each message, grouped by the layer that logs it.
// clang-format off
#define SARN_LOG_MESSAGES(X) \
  /* The entry point and the lifecycle */ \
  X(kMsgVersion, kLogTrace, "SARNMD> version compiled on " __DATE__ " at time " __TIME__) \
  X(kMsgColdStartCloseFailed, kLogReport, "SARNMD> ColdStart() error closing COM port") \
  X(kMsgColdStartOpenFailed, kLogReport, "SARNMD> ColdStart() error opening COM port") \
  X(kMsgInstalled, kLogReport, "SARNMD> ModBus/GTC 32bit driver installed") \
  X(kMsgRs485ByDevice, kLogReport, "SARNMD> RS-485 direction switched by the serial driver") \
  X(kMsgRs485ByToggling, kLogReport, "SARNMD> RS-485 direction switched by RTS toggling") \
  X(kMsgPortNotCharDevice, kLogReport, "SARNMD> Port %s is not a character device") \
  X(kMsgPortNotOpened, kLogReport, "SARNMD> Port %s not opened, the system says: %s") \
  X(kMsgEndSarnCloseFailed, kLogReport, "SARNMD> EndSarn() error closing COM port") \
  X(kMsgEndSarn, kLogTrace, "SARNMD> EndSarn()") \
  X(kMsgChangeSarnParamsOpenFailed, kLogReport, "SARNMD> ChangeSarnParams() open new COM port failed") \
  X(kMsgStoppedRequestNotSent, kLogTrace, "SARNMD> SarnMain() driver stopped by EndSarn(), request not sent") \
  X(kMsgColdStartForeignHandle, kLogTrace, "SARNMD> ColdStart() port handle of another context left alone") \
  X(kMsgCloseComForeignHandle, kLogTrace, "SARNMD> CloseCom() port handle of another context left alone") \
  X(kMsgReOpenComForeignHandle, kLogTrace, "SARNMD> ReOpenCom() port handle of another context left alone") \
  X(kMsgChangeSarnParamsForeignHandle, kLogTrace, "SARNMD> ChangeSarnParams() port handle of another context left alone") \
  /* The initialization file */ \
  X(kMsgIntFileIllegalFormat, kLogReport, "SARNMD> Illegal format of Int File:") \
  X(kMsgIntFileCheck, kLogReport, "%s") \
  X(kMsgIntFileCheckIfg, kLogReport, "SARNMD> Check for IFG = in your int file. Assuming IFG = 0") \
  X(kMsgSettingEchoYes, kLogReport, "SARNMD> Echo of requests on the line = YES") \
  X(kMsgSettingGateway, kLogReport, "SARNMD> Line reached through the gateway %s") \
  X(kMsgIntFileCheckGateway, kLogReport,                                                                        \
    "SARNMD> Check for GATEWAY = in your int file: socket://HOST:PORT or rfc2217://HOST:PORT, at most 63 characters") \
  X(kMsgGatewayRoutesFull, kLogReport, "SARNMD> No room for the gateway of another driver instance: its port name is opened") \
  X(kMsgSettingIfg, kLogReport, "SARNMD> Inter Frame Gap = %u msec.") \
  X(kMsgIntFileNoProtocol, kLogReport, "SARNMD> No protocol given! - ") \
  X(kMsgIntFileDefaultProtocol, kLogReport, "SARNMD> Default protocol used: Protocol=Modbus") \
  X(kMsgIntFileNoBase, kLogReport, "SARNMD> No base given! - ") \
  X(kMsgIntFileDefaultBase, kLogReport, "SARNMD> Default base used: Base=Decimal") \
  X(kMsgIntFileNotFound, kLogTrace, "SARNMD> ReadIntFile() no initfile found, defaults used") \
  X(kMsgIntFileReading, kLogTrace, "SARNMD> ReadIntFile() reading initfile '%s'") \
  X(kMsgIntFileIllegalLine, kLogReport, "SARNMD> Illegal line %d in Int File") \
  X(kMsgSettingModbus, kLogReport, "SARNMD> Protocol = Modbus") \
  X(kMsgSettingGtc, kLogReport, "SARNMD> Protocol = GTC") \
  X(kMsgSettingDecimal, kLogReport, "SARNMD> Base = Decimal") \
  X(kMsgSettingHex, kLogReport, "SARNMD> Base = Hexadecimal") \
  X(kMsgSettingSwapYes, kLogReport, "SARNMD> Word swap of int 32bit gates = YES") \
  X(kMsgSettingSwapNo, kLogReport, "SARNMD> Word swap of int 32bit gates = NO") \
  X(kMsgSettingFloatSwapYes, kLogReport, "SARNMD> Word swap of float gates = YES") \
  X(kMsgSettingFloatSwapNo, kLogReport, "SARNMD> Word swap of float gates = NO") \
  X(kMsgSettingLongAddrYes, kLogReport, "SARNMD> Long word addres mapping = YES") \
  X(kMsgSettingLongAddrNo, kLogReport, "SARNMD> Long word addres mapping = NO") \
  X(kMsgIntFileCheckSwap, kLogReport, "SARNMD> Check for SWAP = in your int file. Assuming NO swap") \
  X(kMsgIntFileCheckFloatSwap, kLogReport, "SARNMD> Check for FLOATSWAP = in your int file. Assuming NO swap") \
  X(kMsgIntFileCheckLongAddr, kLogReport, "SARNMD> Check for LONGADDR = in your int file. Assuming NO switching") \
  X(kMsgIntFileCheckRtsCts, kLogReport, "SARNMD> Check for RTSCTS = in your int file. Assuming NO switching") \
  X(kMsgIntFileCheckEcho, kLogReport, "SARNMD> Check for ECHO = in your int file. Assuming NO echo") \
  /* Gate addresses and blocks */ \
  X(kMsgBlockTooLarge2000, kLogTrace, "SARNMD> BlockParse() block too large (max. 2000)") \
  X(kMsgBlockTooLarge125, kLogTrace, "SARNMD> BlockParse() block too large (max. 125)") \
  X(kMsgBlockTooLarge62, kLogTrace, "SARNMD> BlockParse() block too large (max. 62)") \
  X(kMsgBlockTooLarge312, kLogTrace, "SARNMD> BlockParse() block too large (max. 312)") \
  X(kMsgBlockLengthNotByteMultiple, kLogTrace, "SARNMD> BlockParse() block length must be a multiple of 8") \
  X(kMsgBlockStartMustBe200, kLogTrace, "SARNMD> BlockParse() Startaddress must be 200") \
  X(kMsgBlockTooLarge1000, kLogTrace, "SARNMD> BlockParse() block too large (max. 1000)") \
  X(kMsgBlockStartMustBe1, kLogTrace, "SARNMD> BlockParse() Startaddress must be 1") \
  X(kMsgBlockWrongAddressOrLength, kLogTrace, "SARNMD> BlockParse() Wrong blockaddress or blocklength") \
  X(kMsgBlockLengthNot42, kLogTrace, "SARNMD> BlockParse() blocklength is not 42") \
  X(kMsgBlockLengthNot64, kLogTrace, "SARNMD> BlockParse() blocklength is not 64") \
  X(kMsgParseIllegalChar, kLogTrace, "SARNMD> Parse() #1, illegal char #%u, %c") \
  X(kMsgParseIllegalController, kLogTrace, "SARNMD> Parse() illegal PLC address") \
  X(kMsgParseIllegalAddress, kLogTrace, "SARNMD> Parse() illegal address") \
  X(kMsgParseBitNotAllowed, kLogTrace, "SARNMD> Parse() bit number not allowed for memory types 0 and 1") \
  X(kMsgParseAddressZero, kLogTrace, "SARNMD> Parse() illegal addr. 0 for Modbus") \
  X(kMsgParsePairAddressEven, kLogTrace, "SARNMD> Parse() 32 bit gates must have ODD address for MODBUS") \
  X(kMsgParseVariableOutOfRange, kLogTrace, "SARNMD> Parse() Illegal variable nr. Must be between 199 and 512") \
  X(kMsgParseIllegalVariable, kLogTrace, "SARNMD> Parse() Illegal variable nr.") \
  X(kMsgParseGtcMemoryType, kLogTrace, "SARNMD> Parse() Illegal memory type for GTC in gate '%s'") \
  X(kMsgParseIllegalStep, kLogTrace, "SARNMD> Parse() Illegal program step") \
  /* Frames on the line */ \
  X(kMsgExIllegalFunction, kLogTrace, "SARNMD> (MB-protocol) Illegal function") \
  X(kMsgExIllegalAddress, kLogTrace, "SARNMD> (MB-protocol) Illegal data address") \
  X(kMsgExIllegalValue, kLogTrace, "SARNMD> (MB-protocol) Illegal data value") \
  X(kMsgExDeviceFailure, kLogTrace, "SARNMD> (MB-protocol) Failure in associated device") \
  X(kMsgExAcknowledge, kLogTrace, "SARNMD> (MB-protocol) Acknowledge (processing)") \
  X(kMsgExBusy, kLogTrace, "SARNMD> (MB-protocol) Busy, rejected message") \
  X(kMsgExNegativeAck, kLogTrace, "SARNMD> (MB-protocol) Negative acknowledgment") \
  X(kMsgExMemoryParity, kLogTrace, "SARNMD> (MB-protocol) Memory parity error") \
  X(kMsgExUnknown, kLogTrace, "SARNMD> (MB-protocol error)") \
  X(kMsgSendQueueFailed, kLogTrace, "SARNMD> Send() ClearCommError() failed") \
  X(kMsgSendRtsFailed, kLogTrace, "SARNMD> Send() EscapeCommFunction() failed") \
  X(kMsgSendSystemSays, kLogTrace, "SARNMD> Send() the system says: %s") \
  X(kMsgSendEchoMissing, kLogTrace, "SARNMD> Send() echo of the request not received (iRead=%d)") \
  X(kMsgSendEchoDiffers, kLogTrace, "SARNMD> Send() echo differs from the request sent") \
  X(kMsgSendFailed, kLogTrace, "SARNMD> SEND> Unable to send message.") \
  X(kMsgReceiveTimeout, kLogTrace, "SARNMD> Receive() #1: timeout (iRead=%d)") \
  X(kMsgReceiveNoFrameStart, kLogTrace, "SARNMD> Receive() Start of frame not received") \
  X(kMsgReceiveOtherController, kLogTrace, "SARNMD> Wrong plc addr.%Xh received") \
  X(kMsgReceiveExceptionOfOtherFunction, kLogTrace, "SARNMD> Different function with 0x80 returned") \
  X(kMsgReceiveExceptionTimeout, kLogTrace, "SARNMD> Receive() timeout 2nd part message (iRead=%d)") \
  X(kMsgReceiveExceptionShort, kLogTrace, "SARNMD> Receive() wrong length 2nd part message iRead=%d") \
  X(kMsgReceiveCountTimeout, kLogTrace, "SARNMD> Receive() error reading data part message (iRead=%d)") \
  X(kMsgReceiveCountBad, kLogTrace, "SARNMD> Receive() wrong length data part message (iRead=%d)") \
  X(kMsgReceiveNoData, kLogTrace, "SARNMD> Receive() No data returned for '%s' (%2s)") \
  X(kMsgReceiveRestTimeout, kLogTrace, "SARNMD> Recieve() reading timeout last data part message (iRead=%d)") \
  X(kMsgReceiveRestShort, kLogTrace, "SARNMD> Receive() wrong length last data part message. iToRead %d, iRead %d") \
  X(kMsgReceiveOtherFunction, kLogTrace, "SARNMD> Different function returned") \
  X(kMsgReceiveOwnRequest, kLogTrace, "SARNMD> Receive() reply is the request just sent, byte for byte (iRead=%d)") \
  X(kMsgStrayEarly, kLogTrace, "SARNMD> Frame of %u characters discarded: it came sooner than the line could carry an answer") \
  X(kMsgStrayUnowed, kLogTrace, "SARNMD> Frame of %u characters discarded: no answer was owed") \
  X(kMsgLineKeepsTime, kLogTrace, "SARNMD> Answers keep the line's time: frames that come sooner are discarded") \
  X(kMsgLineKeepsNoTime, kLogTrace, "SARNMD> An answer may have come sooner than the line allows: its time is no longer checked") \
  X(kMsgLineEchoes, kLogReport, "SARNMD> The line echoes each request (a two-wire adapter): set ECHO = YES in the initialization file") \
  X(kMsgQuietDiscarded, kLogTrace, "SARNMD> Send() %u bytes discarded, waited for a quiet line") \
  /* Transactions */ \
  X(kMsgWarmStart, kLogTrace, "SARNMD> WarmStart()") \
  X(kMsgRestartSucceeded, kLogReport, "Restart Communication succeed") \
  X(kMsgReadNoTermination, kLogTrace, "SARNMD> DoRead() No termination of reply") \
  X(kMsgReadReplyShown, kLogTrace, "SARNMD> DoRead() ... reply : '%s'") \
  X(kMsgReadReplyTailShown, kLogTrace, "SARNMD> DoRead() ... reply+ : '%s'") \
  X(kMsgReadBadData, kLogTrace, "SARNMD> DoRead() wrong data in reply, retry %d") \
  X(kMsgReadException, kLogTrace, "SARNMD> DoRead() received 0x80 error code") \
  X(kMsgReadLrc, kLogTrace, "SARNMD> DoRead() LRC error, retry %d") \
  X(kMsgReadOtherByteCount, kLogTrace, "SARNMD> DoRead() reply with byte count %d, request asked for %d") \
  X(kMsgReadReplyError, kLogTrace, "SARNMD> DoRead() error reading reply, retry %d") \
  X(kMsgReadSendError, kLogTrace, "SARNMD> DoRead() error sending request, retry %d") \
  X(kMsgReadBroadcast, kLogTrace, "SARNMD> DoRead() controller 0 is the broadcast address: no controller answers a read of '%s'") \
  X(kMsgWriteBroadcast, kLogTrace, "SARNMD> DoWrite() sent to every controller (address 0): no answer awaited") \
  X(kMsgSingleReadGtc, kLogTrace, "SARNMD> SingleRead() Only blocks are possible with GTC") \
  X(kMsgSingleReadResult, kLogTrace, "SARNMD> SingleRead() , ret val is %d for '%s'") \
  X(kMsgBlockReadResult, kLogTrace, "SARNMD> BlockRead() , ret val is %d for '%s'") \
  X(kMsgWrongReceive, kLogTrace, "SARNMD> Wrong receive (still %d tries)") \
  X(kMsgSettleQuiet, kLogTrace, "SARNMD> SettleLine() %u bytes discarded, line quiet") \
  X(kMsgSettleBusy, kLogTrace, "SARNMD> SettleLine() %u bytes discarded, line still busy, request sent anyway") \
  X(kMsgSettleFailed, kLogTrace, "SARNMD> SettleLine() %u bytes discarded, the port was closed or failed") \
  X(kMsgLateAnswer, kLogReport, "SARNMD> Controller %u answered after about %u ms, longer than the reply time-out of %u ms: raise the time-out") \
  X(kMsgSingleWriteGtcType, kLogTrace, "SARNMD> SingleWrite() not allowed for types different from 0") \
  X(kMsgSingleWriteGtcBitFailed, kLogTrace, "SARNMD> SingleWrite() Failed to write bit '%s'") \
  X(kMsgSingleWriteBitReadFailed, kLogTrace, "SARNMD> SingleWrite() error SingleRead() for spec. dig. gate, rc=%d") \
  X(kMsgSingleWriteBitLineDoubtful, kLogTrace, "SARNMD> SingleWrite() a stray frame came around the register read of '%s': bit not written") \
  X(kMsgBlockWriteGtcType, kLogTrace, "SARNMD> BlockWrite() not allowed for types different from 0") \
  X(kMsgBlockWriteGtcBitFailed, kLogTrace, "SARNMD> BlockWrite() Failed to write bit '%s'") \
  X(kMsgWriteLrc, kLogTrace, "SARNMD> DoWrite() error in crc, retry %d") \
  X(kMsgWriteOtherEcho, kLogTrace, "SARNMD> DoWrite() echo of another request: address %Xh, value or quantity %Xh") \
  X(kMsgWriteReplyError, kLogTrace, "SARNMD> DoWrite() receive error, retry %d") \
  X(kMsgWriteSendError, kLogTrace, "SARNMD> DoWrite() send error, retry %d") \
  X(kMsgSingleWriteResult, kLogTrace, "SARNMD> SingleWrite() exited with rc= %u for '%s'") \
  X(kMsgSingleWriteInputType, kLogTrace, "SARNMD> SingleWrite() not allowed for types 1,3,5 and 6") \
  X(kMsgBlockWriteInputType, kLogTrace, "SARNMD> BlockWrite() not allowed for types 1,3,5 and 6") \
  X(kMsgBlockWriteResult, kLogTrace, "SARNMD> BlockWrite() exited with rc= %u for '%s'") \
  X(kMsgReadLen, kLogTrace, "SARNMD> DoRead() : iLenT=%d") \
  X(kMsgReadPass, kLogTrace, "SARNMD> DoRead() : sRetry=%d, iLenR=%d") \
  X(kMsgWriteLen, kLogTrace, "SARNMD> DoWrite() : len=%d") \
  X(kMsgWritePass, kLogTrace, "SARNMD> DoWrite() : sRetry=%d, reply_len=%d")
// clang-format on

#define SARN_LOG_DEFINE(name, level, format) inline constexpr LogMessage name{level, format, #name};
SARN_LOG_MESSAGES(SARN_LOG_DEFINE)
#undef SARN_LOG_DEFINE

#define SARN_LOG_ENTRY(name, level, format) &name,
inline constexpr const LogMessage* kLogMessages[] = {SARN_LOG_MESSAGES(SARN_LOG_ENTRY)};
#undef SARN_LOG_ENTRY

}  // namespace sarn

// Logs message with its arguments: err(level, format, ...). The compiler
// checks the arguments against the format.
#define SARN_LOG(message, ...) err((message).iLevel, (message).pszFormat __VA_OPT__(, ) __VA_ARGS__)
