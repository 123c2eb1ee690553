#include "transport/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/Exceptions.h"
#include "platform/Signals.h"

namespace velmora {

namespace {

struct ErrnoMapping {
  int posix;
  int windows;
};

// POSIX errno -> Windows socket number.
constexpr ErrnoMapping kErrnoMap[] = {
    {EINTR, 10004},         {EBADF, 10009},        {EACCES, 10013},          {EFAULT, 10014},
    {EINVAL, 10022},        {EMFILE, 10024},       {EAGAIN, 10035},          {EINPROGRESS, 10036},
    {EALREADY, 10037},      {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},    {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},     {ENETUNREACH, 10051},     {ENETRESET, 10052},
    {ECONNABORTED, 10053},  {ECONNRESET, 10054},   {EPIPE, 10054},           {ENOBUFS, 10055},
    {EISCONN, 10056},       {ENOTCONN, 10057},     {ESHUTDOWN, 10058},       {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},     {ECONNREFUSED, 10061}, {ELOOP, 10062},           {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},     {EHOSTUNREACH, 10065}, {ENOTEMPTY, 10066},
};

struct ErrorText {
  int number;
  const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Buffer fault."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block."},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
    {11001, "Host not found."},
};

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline` (at least 0); -1 for no deadline.
int RemainingMs(bool limited, Clock::time_point deadline) {
  if (!limited) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// Polls one descriptor, retrying after signals with the time left; a stop
// signal ends the wait with EStopRequested.
int PollOne(int fd, short events, int timeoutMs, short& revents) {
  pollfd p{fd, events, 0};
  int r = PollUnlessStopped(&p, 1, timeoutMs > 0 ? timeoutMs : -1);
  revents = p.revents;
  return r;
}

// Connects one address without blocking longer than the deadline: true when
// connected, false on time-out; errors leave their errno in `error`. The
// socket stays non-blocking: every later wait is a poll that a stop signal
// ends.
bool ConnectAddress(int fd, const addrinfo* ai, bool limited, Clock::time_point deadline, int& error) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  error = 0;
  if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      error = errno;
      return true;
    }
    for (;;) {
      int timeout = RemainingMs(limited, deadline);
      if (limited && timeout == 0) return false;
      pollfd p{fd, POLLOUT, 0};
      int r = PollUnlessStopped(&p, 1, timeout);
      if (r < 0) {
        error = errno;
        return true;
      }
      if (r == 0) return false;
      socklen_t len = sizeof(error);
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
      break;
    }
  }
  return true;
}

}  // namespace

int SocketErrorNumber(int posixErrno) {
  for (const auto& m : kErrnoMap) {
    if (m.posix == posixErrno) return m.windows;
  }
  return posixErrno;
}

std::string SocketErrorText(int number) {
  for (const auto& t : kErrorTexts) {
    if (t.number == number) return t.text;
  }
  return "";
}

std::string SocketErrorMessage(int number) {
  return "Socket Error # " + std::to_string(number) + "\r\n" + SocketErrorText(number);
}

void RaiseSocketError(int number) { throw EIdSocketError(SocketErrorMessage(number), number); }

void RaiseSocketErrno(int posixErrno) { RaiseSocketError(SocketErrorNumber(posixErrno)); }

TcpSocket::~TcpSocket() { Close(); }

TcpSocket::TcpSocket(TcpSocket&& other) noexcept : fd_(other.fd_), writeTimeoutMs_(other.writeTimeoutMs_) {
  other.fd_ = -1;
}

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    writeTimeoutMs_ = other.writeTimeoutMs_;
    other.fd_ = -1;
  }
  return *this;
}

void TcpSocket::Close() noexcept {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

void TcpSocket::Connect(const std::string& host, int port, bool ipv6Literal, int connectTimeoutMs) {
  Close();
  bool limited = connectTimeoutMs > 0;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? connectTimeoutMs : 0);

  addrinfo hints{};
  hints.ai_family = ipv6Literal ? AF_INET6 : AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  if (ipv6Literal) hints.ai_flags = AI_NUMERICHOST;
  addrinfo* list = nullptr;
  // A name with a NUL byte or an impossible port never resolves.
  if (host.empty() || host.find('\0') != std::string::npos || port <= 0 || port > 65535) {
    RaiseSocketError(host.empty() || port <= 0 || port > 65535 ? 10049 : kSocketErrorHostNotFound);
  }
  int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (rc != 0) {
    if (rc == EAI_SYSTEM && errno != 0) RaiseSocketErrno(errno);
    RaiseSocketError(kSocketErrorHostNotFound);
  }
  int lastError = ECONNREFUSED;
  bool timedOut = false;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      lastError = errno;
      continue;
    }
    int error = 0;
    bool connected = false;
    try {
      connected = ConnectAddress(fd, ai, limited, deadline, error);
    } catch (...) {
      ::close(fd);
      ::freeaddrinfo(list);
      throw;
    }
    if (!connected) {
      ::close(fd);
      timedOut = true;
      break;
    }
    if (error != 0) {
      ::close(fd);
      lastError = error;
      continue;
    }
    fd_ = fd;
    break;
  }
  ::freeaddrinfo(list);
  if (fd_ < 0) {
    if (timedOut) throw EIdConnectTimeout("Connect timed out.");
    RaiseSocketErrno(lastError);
  }
  // Request heads and small bodies must not wait for delayed ACKs.
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

void TcpSocket::SetKernelTimeouts(int milliseconds) {
  writeTimeoutMs_ = milliseconds;
  if (fd_ < 0) return;
  timeval tv{};
  if (milliseconds > 0) {
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
  }
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

bool TcpSocket::WaitReadable(int timeoutMs) {
  if (fd_ < 0) RaiseSocketError(10038);
  short revents = 0;
  int r = PollOne(fd_, POLLIN, timeoutMs, revents);
  if (r < 0) RaiseSocketErrno(errno);
  return r > 0;
}

bool TcpSocket::WaitWritable(int timeoutMs) {
  if (fd_ < 0) RaiseSocketError(10038);
  short revents = 0;
  int r = PollOne(fd_, POLLOUT, timeoutMs, revents);
  if (r < 0) RaiseSocketErrno(errno);
  return r > 0;
}

size_t TcpSocket::Read(char* buffer, size_t capacity, int readTimeoutMs) {
  for (;;) {
    if (!WaitReadable(readTimeoutMs)) throw EIdReadTimeout("Read timed out.");
    ssize_t n = ::recv(fd_, buffer, capacity, MSG_DONTWAIT);
    if (n >= 0) return static_cast<size_t>(n);
    // Readiness without data (or a signal): wait again.
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    RaiseSocketErrno(errno);
  }
}

void TcpSocket::Write(const char* data, size_t size) {
  if (fd_ < 0) RaiseSocketError(10038);
  while (size > 0) {
    ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // The peer has not taken the bytes sent so far within the time-out.
        if (!WaitWritable(writeTimeoutMs_)) RaiseSocketError(kSocketErrorTimedOut);
        continue;
      }
      RaiseSocketErrno(errno);
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

bool TcpSocket::IdleAndOpen() const {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  int r = ::poll(&p, 1, 0);
  return r == 0;
}

}  // namespace velmora
