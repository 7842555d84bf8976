// The one exception type that reaches the host from a remote operation.
#pragma once

#include <moravane/Export.h>
#include <moravane/Types.h>

#include <exception>

namespace moravane {

class MORAVANE_API LinkError : public std::exception {
 public:
  LinkError();
  explicit LinkError(const WideString& message);
  explicit LinkError(LONG code);
  LinkError(const WideString& message, LONG code);
  LinkError(const LinkError& other);
  virtual ~LinkError();
  LinkError& operator=(const LinkError& other);

  // Always "": the message is UTF-16 and is read with GetErrorString().
  virtual const char* what() const noexcept override;
  virtual const WideString& GetErrorString() const;
  // An HRESULT of the server or of COM, or one of the library's own codes.
  virtual LONG GetError() const;
  // True when the link itself is gone and the host should link again: the
  // handle held no remote object, or the server is unavailable (RPC error
  // 1722 in the low 16 bits, whatever the facility).
  virtual bool ShouldReconnect();

 private:
  WideString m_message;
  LONG m_code;
};

}  // namespace moravane
