// A TCP connection with connect and read time-outs, and the socket error
// vocabulary: POSIX errno values mapped to the Windows socket numbers the
// messages use ("Socket Error # %d" CR LF text).
#pragma once

#include <cstddef>
#include <string>

namespace velmora {

// Windows socket numbers used beyond the plain errno mapping.
inline constexpr int kSocketErrorTimedOut = 10060;
inline constexpr int kSocketErrorHostNotFound = 11001;

// The Windows socket number for a POSIX errno value (ECONNREFUSED -> 10061,
// ETIMEDOUT -> 10060, ...); an errno without counterpart is returned as is.
int SocketErrorNumber(int posixErrno);
// The fixed text for a Windows socket number; empty for a number not listed.
std::string SocketErrorText(int number);
// "Socket Error # %d" CR LF text.
std::string SocketErrorMessage(int number);
// Raises EIdSocketError for a Windows socket number.
[[noreturn]] void RaiseSocketError(int number);
// Raises EIdSocketError for a POSIX errno value.
[[noreturn]] void RaiseSocketErrno(int posixErrno);

class TcpSocket {
 public:
  TcpSocket() = default;
  ~TcpSocket();
  TcpSocket(TcpSocket&& other) noexcept;
  TcpSocket& operator=(TcpSocket&& other) noexcept;
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  // Resolves `host` (IPv4; IPv6 when `ipv6Literal`) and connects to `port`,
  // waiting at most `connectTimeoutMs` (0 or less: no limit) in all. Raises
  // EIdSocketError (11001 when the name does not resolve) or
  // EIdConnectTimeout "Connect timed out.".
  void Connect(const std::string& host, int port, bool ipv6Literal, int connectTimeoutMs);

  // Sets the write time-out of Write (0 or less: no limit) and the kernel's
  // receive and send time-outs (SO_RCVTIMEO/SO_SNDTIMEO) to the same value.
  void SetKernelTimeouts(int milliseconds);

  // Every wait below (and the connect) is a poll on the non-blocking socket
  // that a stop signal ends with EStopRequested (platform/Signals.h).

  // Waits until data (or the peer's close) is readable: true when readable,
  // false after `timeoutMs` (0 or less: waits without limit). Raises
  // EIdSocketError.
  bool WaitReadable(int timeoutMs);
  // Waits until a send can take bytes: true when writable, false after
  // `timeoutMs` (0 or less: waits without limit). Raises EIdSocketError.
  bool WaitWritable(int timeoutMs);
  // Reads what is available after WaitReadable-style waiting with
  // `readTimeoutMs`: returns the byte count, 0 when the peer closed. Raises
  // EIdReadTimeout "Read timed out." or EIdSocketError.
  size_t Read(char* buffer, size_t capacity, int readTimeoutMs);
  // Sends all bytes. A peer that takes nothing for the write time-out (set
  // by SetKernelTimeouts) ends the send with EIdSocketError 10060
  // "Connection timed out."; other socket errors raise EIdSocketError.
  void Write(const char* data, size_t size);

  // True when the socket is open and no data or close is pending: a kept
  // connection that the peer closed (or that holds unread bytes) is not
  // reusable.
  bool IdleAndOpen() const;

  int Fd() const { return fd_; }
  bool IsOpen() const { return fd_ >= 0; }
  // Closes the socket. Never throws.
  void Close() noexcept;

 private:
  int fd_ = -1;
  int writeTimeoutMs_ = 0;
};

}  // namespace velmora
