#include "platform/tcp_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace quillon::platform::net {

int MapErrno(int err) {
    switch (err) {
    case 0:
        return 0;
    case EINTR:
        return kWsaEintr;
    case EBADF:
        return kWsaEbadf;
    case EACCES:
    case EPERM:
        return kWsaEacces;
    case EFAULT:
        return kWsaEfault;
    case EINVAL:
        return kWsaEinval;
    case EMFILE:
    case ENFILE:
        return kWsaEmfile;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EAGAIN:
        return kWsaEwouldblock;
    case EINPROGRESS:
        return kWsaEinprogress;
    case EALREADY:
        return kWsaEalready;
    case ENOTSOCK:
        return kWsaEnotsock;
    case EDESTADDRREQ:
        return kWsaEdestaddrreq;
    case EMSGSIZE:
        return kWsaEmsgsize;
    case EPROTOTYPE:
        return kWsaEprototype;
    case ENOPROTOOPT:
        return kWsaEnoprotoopt;
    case EPROTONOSUPPORT:
        return kWsaEprotonosupport;
    case ESOCKTNOSUPPORT:
        return kWsaEsocktnosupport;
    case EOPNOTSUPP:
        return kWsaEopnotsupp;
    case EPFNOSUPPORT:
        return kWsaEpfnosupport;
    case EAFNOSUPPORT:
        return kWsaEafnosupport;
    case EADDRINUSE:
        return kWsaEaddrinuse;
    case EADDRNOTAVAIL:
        return kWsaEaddrnotavail;
    case ENETDOWN:
        return kWsaEnetdown;
    case ENETUNREACH:
        return kWsaEnetunreach;
    case ENETRESET:
        return kWsaEnetreset;
    case ECONNABORTED:
        return kWsaEconnaborted;
    case ECONNRESET:
    case EPIPE:
        return kWsaEconnreset;
    case ENOBUFS:
    case ENOMEM:
        return kWsaEnobufs;
    case EISCONN:
        return kWsaEisconn;
    case ENOTCONN:
        return kWsaEnotconn;
    case ESHUTDOWN:
        return kWsaEshutdown;
    case ETOOMANYREFS:
        return kWsaEtoomanyrefs;
    case ETIMEDOUT:
        return kWsaEtimedout;
    case ECONNREFUSED:
        return kWsaEconnrefused;
    case ELOOP:
        return kWsaEloop;
    case ENAMETOOLONG:
        return kWsaEnametoolong;
    case EHOSTDOWN:
        return kWsaEhostdown;
    case EHOSTUNREACH:
        return kWsaEhostunreach;
    case ENOTEMPTY:
        return kWsaEnotempty;
    case EUSERS:
        return kWsaEusers;
    case EDQUOT:
        return kWsaEdquot;
    case ESTALE:
        return kWsaEstale;
    case EREMOTE:
        return kWsaEremote;
    default:
        return kWsaBase + err;
    }
}

int MapLookupError(int eaiCode, int savedErrno) {
    switch (eaiCode) {
    case 0:
        return 0;
    case EAI_NONAME:
        return kWsaHostNotFound;
    case EAI_AGAIN:
        return kWsaTryAgain;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return kWsaNoData;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
        return kWsaNoData;
#endif
    case EAI_MEMORY:
        return kWsaEnobufs;
    case EAI_SYSTEM:
        return savedErrno != 0 ? MapErrno(savedErrno) : kWsaNoRecovery;
    default:
        return kWsaNoRecovery;
    }
}

int CreateStreamSocket(int &err) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    err = fd < 0 ? MapErrno(errno) : 0;
    return fd;
}

int StartConnect(int fd, uint32_t addrNet, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addrNet;
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) {
        return 0;
    }
    // A non-blocking connect that runs on reads as "would block", as Windows Sockets has it.
    return errno == EINPROGRESS ? kWsaEwouldblock : MapErrno(errno);
}

int PendingError(int fd) {
    int value = 0;
    socklen_t len = sizeof value;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &value, &len) < 0) {
        return MapErrno(errno);
    }
    return MapErrno(value);
}

ssize_t SendSome(int fd, const void *data, size_t n, bool urgent, int &err) {
    ssize_t rc;
    do {
        rc = ::send(fd, data, n, MSG_NOSIGNAL | (urgent ? MSG_OOB : 0));
    } while (rc < 0 && errno == EINTR);
    err = rc < 0 ? MapErrno(errno) : 0;
    return rc;
}

ssize_t SendAreas(int fd, const ConstArea *areas, size_t count, bool urgent, int &err) {
    iovec iov[64];
    size_t n = count < 64 ? count : 64;
    for (size_t i = 0; i < n; ++i) {
        iov[i].iov_base = const_cast<void *>(areas[i].data);
        iov[i].iov_len = areas[i].len;
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = n;
    ssize_t rc;
    do {
        rc = ::sendmsg(fd, &msg, MSG_NOSIGNAL | (urgent ? MSG_OOB : 0));
    } while (rc < 0 && errno == EINTR);
    err = rc < 0 ? MapErrno(errno) : 0;
    return rc;
}

ssize_t RecvSome(int fd, void *buf, size_t n, int &err) {
    ssize_t rc;
    do {
        rc = ::recv(fd, buf, n, 0);
    } while (rc < 0 && errno == EINTR);
    err = rc < 0 ? MapErrno(errno) : 0;
    return rc;
}

int BytesWaiting(int fd, int &err) {
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) < 0) {
        err = MapErrno(errno);
        return -1;
    }
    err = 0;
    return n;
}

bool PeerClosed(int fd, int &err) {
    char c;
    ssize_t rc;
    do {
        rc = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) {
        err = 0;
        return true;
    }
    if (rc < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        err = MapErrno(errno);
        return true;
    }
    err = 0;
    return false;
}

namespace {
int setOption(int fd, int level, int name, const void *value, socklen_t len) {
    return ::setsockopt(fd, level, name, value, len) < 0 ? MapErrno(errno) : 0;
}
} // namespace

int SetLinger(int fd, bool on, int seconds) {
    linger l{};
    l.l_onoff = on ? 1 : 0;
    l.l_linger = seconds;
    return setOption(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

int SetKeepAlive(int fd, bool on) {
    int v = on ? 1 : 0;
    return setOption(fd, SOL_SOCKET, SO_KEEPALIVE, &v, sizeof v);
}

int SetReuseAddr(int fd, bool on) {
    int v = on ? 1 : 0;
    return setOption(fd, SOL_SOCKET, SO_REUSEADDR, &v, sizeof v);
}

int ShutdownSend(int fd) {
    return ShutdownHow(fd, 1);
}

int ShutdownHow(int fd, int how) {
    int h = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
    return ::shutdown(fd, h) < 0 ? MapErrno(errno) : 0;
}

int CloseSocket(int fd) {
    // close() must not be retried on EINTR on Linux: the descriptor is gone either way.
    return ::close(fd) < 0 && errno != EINTR ? MapErrno(errno) : 0;
}

namespace {
int addressOf(int fd, bool peer, std::string &addr, uint16_t &port) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    int rc = peer ? ::getpeername(fd, reinterpret_cast<sockaddr *>(&sa), &len)
                  : ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    if (rc < 0) {
        return MapErrno(errno);
    }
    addr = FormatDotted(sa.sin_addr.s_addr);
    port = ntohs(sa.sin_port);
    return 0;
}
} // namespace

int PeerAddress(int fd, std::string &addr, uint16_t &port) {
    return addressOf(fd, true, addr, port);
}

int LocalAddress(int fd, std::string &addr, uint16_t &port) {
    return addressOf(fd, false, addr, port);
}

bool ParseDotted(const std::string &text, uint32_t &addrNet) {
    in_addr a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1) {
        return false;
    }
    addrNet = a.s_addr;
    return true;
}

std::string FormatDotted(uint32_t addrNet) {
    in_addr a{};
    a.s_addr = addrNet;
    char buf[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

int ResolveHost(const std::string &name, std::vector<uint32_t> &addrs) {
    addrs.clear();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    errno = 0;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
    int saved = errno;
    if (rc != 0) {
        return MapLookupError(rc, saved);
    }
    for (addrinfo *p = res; p != nullptr; p = p->ai_next) {
        if (p->ai_family == AF_INET && p->ai_addr != nullptr) {
            uint32_t a = reinterpret_cast<const sockaddr_in *>(p->ai_addr)->sin_addr.s_addr;
            bool seen = false;
            for (uint32_t x : addrs) {
                seen = seen || x == a;
            }
            if (!seen) {
                addrs.push_back(a);
            }
        }
    }
    ::freeaddrinfo(res);
    return addrs.empty() ? kWsaNoData : 0;
}

int ServiceByName(const std::string &name, const std::string &proto, uint16_t &port) {
    servent se{};
    servent *result = nullptr;
    char buf[1024];
    int rc = ::getservbyname_r(name.c_str(), proto.empty() ? nullptr : proto.c_str(), &se, buf,
                               sizeof buf, &result);
    if (rc != 0 || result == nullptr) {
        return kWsaNoData;
    }
    port = ntohs(static_cast<uint16_t>(result->s_port));
    return 0;
}

int ProtocolByName(const std::string &name, int &number) {
    protoent pe{};
    protoent *result = nullptr;
    char buf[1024];
    int rc = ::getprotobyname_r(name.c_str(), &pe, buf, sizeof buf, &result);
    if (rc != 0 || result == nullptr) {
        return kWsaNoData;
    }
    number = result->p_proto;
    return 0;
}

int HostName(std::string &name) {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) < 0) {
        return MapErrno(errno);
    }
    name = buf;
    return 0;
}

int StartHostLookup(std::string name, LookupDone done) {
    try {
        std::thread([name = std::move(name), done = std::move(done)]() {
            std::vector<uint32_t> addrs;
            int err = ResolveHost(name, addrs);
            done(err, std::move(addrs));
        }).detach();
    } catch (const std::system_error &e) {
        return MapErrno(e.code().value());
    }
    return 0;
}

} // namespace quillon::platform::net
