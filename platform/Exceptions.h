// The exception vocabulary of the whole program. Every error derives from
// Exception, carries a message, and reports its class name spelled exactly as
// the console report and the callers expect ("EIBInterBaseError", ...).
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace velmora {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  // The message, unchanged (it may hold CR LF line breaks).
  const std::string& Message() const noexcept { return message_; }
  // The class name as reported by the run's top-level handler.
  virtual const char* ClassName() const noexcept { return "Exception"; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

#define VELMORA_EXCEPTION(Name, Base)                                  \
  class Name : public Base {                                           \
   public:                                                             \
    using Base::Base;                                                  \
    const char* ClassName() const noexcept override { return #Name; } \
  }

// General families.
VELMORA_EXCEPTION(EInvalidCast, Exception);       // "Invalid class typecast"
VELMORA_EXCEPTION(EIniFileException, Exception);  // "Unable to write to %s"
VELMORA_EXCEPTION(EStreamError, Exception);
VELMORA_EXCEPTION(EFOpenError, EStreamError);     // "Cannot open file \"%s\". %s"
VELMORA_EXCEPTION(EConvertError, Exception);      // "'%s' is not a valid integer value"

// JSON.
VELMORA_EXCEPTION(EJSONException, Exception);
VELMORA_EXCEPTION(EJSONPathException, EJSONException);

// Database layer. EIBError and its descendants carry the SQL code and the
// first error code of the client library's status (for EIBClientError the
// SQL code is the number of the layer's own message).
VELMORA_EXCEPTION(EDatabaseError, Exception);
class EIBError : public EDatabaseError {
 public:
  EIBError(std::string message, int32_t sqlCode = 0, int32_t ibErrorCode = 0)
      : EDatabaseError(std::move(message)), sqlCode_(sqlCode), ibErrorCode_(ibErrorCode) {}
  const char* ClassName() const noexcept override { return "EIBError"; }
  int32_t SQLCode() const noexcept { return sqlCode_; }
  int32_t IBErrorCode() const noexcept { return ibErrorCode_; }

 private:
  int32_t sqlCode_;
  int32_t ibErrorCode_;
};
VELMORA_EXCEPTION(EIBInterBaseError, EIBError);
VELMORA_EXCEPTION(EIBInterBaseRoleError, EIBError);
VELMORA_EXCEPTION(EIBClientError, EIBError);

// Transport: HTTP, sockets and TLS.
VELMORA_EXCEPTION(EIdException, Exception);
VELMORA_EXCEPTION(EIdConnClosedGracefully, EIdException);
VELMORA_EXCEPTION(EIdConnectTimeout, EIdException);
VELMORA_EXCEPTION(EIdReadTimeout, EIdException);
VELMORA_EXCEPTION(EIdHostRequired, EIdException);
VELMORA_EXCEPTION(EIdUnknownProtocol, EIdException);
VELMORA_EXCEPTION(EIdReadLnMaxLineLengthExceeded, EIdException);

// A socket or name-resolution error: "Socket Error # %d" CR LF text.
class EIdSocketError : public EIdException {
 public:
  EIdSocketError(std::string message, int lastError)
      : EIdException(std::move(message)), lastError_(lastError) {}
  const char* ClassName() const noexcept override { return "EIdSocketError"; }
  int LastError() const noexcept { return lastError_; }

 private:
  int lastError_;
};

// An answer other than 2xx/101: the message is the status line as received;
// ErrorCode is the status code (-1 when not numeric), ErrorMessage the body.
class EIdHTTPProtocolException : public EIdException {
 public:
  EIdHTTPProtocolException(std::string statusLine, int errorCode, std::string body)
      : EIdException(std::move(statusLine)), errorCode_(errorCode), body_(std::move(body)) {}
  const char* ClassName() const noexcept override { return "EIdHTTPProtocolException"; }
  int ErrorCode() const noexcept { return errorCode_; }
  const std::string& ErrorMessage() const noexcept { return body_; }

 private:
  int errorCode_;
  std::string body_;
};

VELMORA_EXCEPTION(EIdOpenSSLError, EIdException);
VELMORA_EXCEPTION(EIdOSSLCouldNotLoadSSLLibrary, EIdOpenSSLError);
VELMORA_EXCEPTION(EIdOSSLGetMethodError, EIdOpenSSLError);
VELMORA_EXCEPTION(EIdOSSLCreatingContextError, EIdOpenSSLError);
VELMORA_EXCEPTION(EIdOSSLCreatingSessionError, EIdOpenSSLError);
VELMORA_EXCEPTION(EIdOSSLDataBindingError, EIdOpenSSLError);
VELMORA_EXCEPTION(EIdOSSLFDSetError, EIdOpenSSLError);
VELMORA_EXCEPTION(EIdOSSLConnectError, EIdOpenSSLError);
VELMORA_EXCEPTION(EIdOSSLUnderlyingCryptoError, EIdOpenSSLError);
VELMORA_EXCEPTION(EIdOpenSSLAPISSLError, EIdOpenSSLError);

}  // namespace velmora
