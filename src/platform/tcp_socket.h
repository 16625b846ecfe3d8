#pragma once

// Thin wrappers over the POSIX socket calls that the asynchronous socket (src/mail) needs:
// non-blocking IPv4 TCP sockets, the name services and a host lookup on a worker thread.
// Every failure is returned as a Windows Sockets style error number (10000 + the WSA code,
// 11001 to 11004 for name lookups) so that the layers above speak one set of numbers;
// 0 means success. Nothing here throws except std::bad_alloc.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/error_numbers.h"

namespace quillon::platform::net {

// errno value -> Windows Sockets number (unknown values become 10000 + errno so that they
// still read as "Not a WinSock error" rather than as a wrong known error).
int MapErrno(int err);
// A getaddrinfo result -> 11001..11004 (EAI_SYSTEM goes through MapErrno).
int MapLookupError(int eaiCode, int savedErrno);

// Creates a non-blocking, close-on-exec IPv4 stream socket; -1 and `err` on failure.
int CreateStreamSocket(int &err);
// Starts a connect to addr (network byte order) and port (host order). Returns 0 when connected at
// once, kWsaEwouldblock when the connect runs on, or the error.
int StartConnect(int fd, uint32_t addrNet, uint16_t port);
// The pending error of a socket whose connect finished (SO_ERROR), mapped; 0 when none.
int PendingError(int fd);
// One send() without SIGPIPE; returns the bytes taken or -1 with `err`.
ssize_t SendSome(int fd, const void *data, size_t n, bool urgent, int &err);
// One gathered send (sendmsg) of several areas without SIGPIPE; same results as SendSome.
struct ConstArea {
    const void *data;
    size_t len;
};
ssize_t SendAreas(int fd, const ConstArea *areas, size_t count, bool urgent, int &err);
// One recv(); returns the count, 0 at the end of the stream, or -1 with `err`.
ssize_t RecvSome(int fd, void *buf, size_t n, int &err);
// Bytes waiting to be read (FIONREAD); -1 with `err` on failure.
int BytesWaiting(int fd, int &err);
// True when the peer has closed its side (a peek returns the end of the stream) or the
// connection failed; `err` receives the failure (0 for an orderly close).
bool PeerClosed(int fd, int &err);
int SetLinger(int fd, bool on, int seconds);
int SetKeepAlive(int fd, bool on);
int SetReuseAddr(int fd, bool on);
int ShutdownSend(int fd);
int ShutdownHow(int fd, int how); // 0 receive, 1 send, 2 both
int CloseSocket(int fd);
// Local and remote address of a connected socket as dotted text and port; error on failure.
int PeerAddress(int fd, std::string &addr, uint16_t &port);
int LocalAddress(int fd, std::string &addr, uint16_t &port);

// Dotted-quad text -> address in network order; false when the text is not one.
bool ParseDotted(const std::string &text, uint32_t &addrNet);
std::string FormatDotted(uint32_t addrNet);
// Blocking forward lookup of IPv4 addresses (network order), in the resolver's order.
int ResolveHost(const std::string &name, std::vector<uint32_t> &addrs);
// Service database: port in host order for a service name (proto may be empty).
int ServiceByName(const std::string &name, const std::string &proto, uint16_t &port);
// Protocol database: protocol number for a name.
int ProtocolByName(const std::string &name, int &number);
// The machine's host name.
int HostName(std::string &name);

// Runs a forward lookup (ResolveHost) on a detached worker thread of its own and calls
// `done` there with the error and the addresses. `done` must only hand the result over
// (post it to a loop), never touch loop-owned state. A lookup blocked in the resolver
// cannot be interrupted; the caller forgets it and ignores the late result. Returns 0, or
// an error when no thread could be started.
using LookupDone = std::function<void(int err, std::vector<uint32_t> addrs)>;
int StartHostLookup(std::string name, LookupDone done);

} // namespace quillon::platform::net
