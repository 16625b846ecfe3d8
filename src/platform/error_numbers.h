#pragma once

// The error numbers that platform calls give the layers above, in the library's code scheme:
// file and device errors as negative codes -2 to -162 (the message table's first range), and
// socket errors as Windows Sockets style numbers, 10000 + the WSA code and 11001 to 11004 for
// name lookups, so that every layer speaks one set of numbers. The comm library's own codes
// (-1001 and below) are defined beside its exception table, comm/error_codes.h, which
// includes this file.

#include <cstdint>

namespace quillon::platform {

// File and device errors (texts 2 to 162 of the message table).
inline constexpr int32_t kErrFileNotFound = -2;
inline constexpr int32_t kErrPathNotFound = -3;
inline constexpr int32_t kErrTooManyOpenFiles = -4;
inline constexpr int32_t kErrFileAccessDenied = -5;
inline constexpr int32_t kErrInvalidFileHandle = -6;
inline constexpr int32_t kErrInsufficientMemory = -8;
inline constexpr int32_t kErrDiskFull = -101;
inline constexpr int32_t kErrFileNotOpen = -103;
inline constexpr int32_t kErrWriteProtected = -150;
inline constexpr int32_t kErrDeviceWrite = -160;
inline constexpr int32_t kErrDeviceRead = -161;
// The range of codes that stand for the runtime's input/output errors.
inline constexpr int32_t kFirstIoErrorCode = -2;
inline constexpr int32_t kLastIoErrorCode = -162;

enum class IoDirection { Reading, Writing };
// errno value -> file and device error code. EIO becomes a device read or write error by
// `direction`; another errno up to 162 is returned negated (its message is the platform's
// text for it); anything else is a device read or write error.
[[nodiscard]] int32_t IoErrorCode(int err, IoDirection direction);

namespace net {

// Windows Sockets numbers.
inline constexpr int kWsaEintr = 10004;
inline constexpr int kWsaEbadf = 10009;
inline constexpr int kWsaEacces = 10013;
inline constexpr int kWsaEfault = 10014;
inline constexpr int kWsaEinval = 10022;
inline constexpr int kWsaEmfile = 10024;
inline constexpr int kWsaEwouldblock = 10035;
inline constexpr int kWsaEinprogress = 10036;
inline constexpr int kWsaEalready = 10037;
inline constexpr int kWsaEnotsock = 10038;
inline constexpr int kWsaEdestaddrreq = 10039;
inline constexpr int kWsaEmsgsize = 10040;
inline constexpr int kWsaEprototype = 10041;
inline constexpr int kWsaEnoprotoopt = 10042;
inline constexpr int kWsaEprotonosupport = 10043;
inline constexpr int kWsaEsocktnosupport = 10044;
inline constexpr int kWsaEopnotsupp = 10045;
inline constexpr int kWsaEpfnosupport = 10046;
inline constexpr int kWsaEafnosupport = 10047;
inline constexpr int kWsaEaddrinuse = 10048;
inline constexpr int kWsaEaddrnotavail = 10049;
inline constexpr int kWsaEnetdown = 10050;
inline constexpr int kWsaEnetunreach = 10051;
inline constexpr int kWsaEnetreset = 10052;
inline constexpr int kWsaEconnaborted = 10053;
inline constexpr int kWsaEconnreset = 10054;
inline constexpr int kWsaEnobufs = 10055;
inline constexpr int kWsaEisconn = 10056;
inline constexpr int kWsaEnotconn = 10057;
inline constexpr int kWsaEshutdown = 10058;
inline constexpr int kWsaEtoomanyrefs = 10059;
inline constexpr int kWsaEtimedout = 10060;
inline constexpr int kWsaEconnrefused = 10061;
inline constexpr int kWsaEloop = 10062;
inline constexpr int kWsaEnametoolong = 10063;
inline constexpr int kWsaEhostdown = 10064;
inline constexpr int kWsaEhostunreach = 10065;
inline constexpr int kWsaEnotempty = 10066;
inline constexpr int kWsaEusers = 10068;
inline constexpr int kWsaEdquot = 10069;
inline constexpr int kWsaEstale = 10070;
inline constexpr int kWsaEremote = 10071;
inline constexpr int kWsaEnotinitialised = 10093;
inline constexpr int kWsaHostNotFound = 11001;
inline constexpr int kWsaTryAgain = 11002;
inline constexpr int kWsaNoRecovery = 11003;
inline constexpr int kWsaNoData = 11004;
// An errno without a Windows Sockets number of its own reads as this base plus errno.
inline constexpr int kWsaBase = 10000;

} // namespace net

} // namespace quillon::platform
