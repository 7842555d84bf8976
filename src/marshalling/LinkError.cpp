#include <moravane/LinkError.h>

namespace moravane {

namespace {
constexpr LONG kServerUnavailableLow16 = 0x06BA;  // RPC_S_SERVER_UNAVAILABLE (1722)
}

LinkError::LinkError() : m_code(0) {}
LinkError::LinkError(const WideString& message) : m_message(message), m_code(0) {}
LinkError::LinkError(LONG code) : m_code(code) {}
LinkError::LinkError(const WideString& message, LONG code) : m_message(message), m_code(code) {}
LinkError::LinkError(const LinkError& other)
    : std::exception(other), m_message(other.m_message), m_code(other.m_code) {}
LinkError::~LinkError() = default;

LinkError& LinkError::operator=(const LinkError& other) {
  m_message = other.m_message;
  m_code = other.m_code;
  return *this;
}

const char* LinkError::what() const noexcept { return ""; }

const WideString& LinkError::GetErrorString() const { return m_message; }

LONG LinkError::GetError() const { return m_code; }

bool LinkError::ShouldReconnect() { return m_code == kNoRemoteObject || (m_code & 0xFFFF) == kServerUnavailableLow16; }

}  // namespace moravane
