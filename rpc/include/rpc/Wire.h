// The byte layout of the messages between a client process and a server
// process. Both ends run on the same machine under the same user, so values
// travel in the machine's own byte order; every read is bounds-checked
// because the peer is another program and may be broken.
//
// A connection is one channel of a session: the first request on it is
// Attach, which opens a session or joins one, so that a client can call
// from several threads at once over several channels while the server keeps
// one table of the objects that the client holds. The session ends when its
// last channel closes, and with it every reference that the client held.
//
// Every message starts with a Header. A request names what it wants by
// `kind`; the reply to it carries the server's HRESULT right after the
// header and then the out-values in parameter order.
//
//   Attach          session token (0: new)      -> hr, session token
//   Activate        clsid, iid                  -> hr, object id
//   Call            object id, iid, slot, args  -> hr, out-values
//   QueryInterface  object id, iid              -> hr
//   Release         object id, count            -> hr
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace rpc {

enum class MessageKind : std::uint16_t {
  kActivate = 1,
  kAttach = 2,
  kCall = 3,
  kQueryInterface = 4,
  kRelease = 5,
  kReply = 0x80,
};

// Every message is at most this long; a longer one is malformed. Texts that
// do not fit make the call fail before anything is sent.
constexpr std::size_t kMaxMessage = 64 * 1024;
constexpr std::uint32_t kMagic = 0x4D56524Du;

struct Header {
  std::uint32_t magic;
  std::uint32_t length;  // of the whole message, header included
  std::uint16_t kind;
  std::uint16_t flags;
  std::uint32_t callerThread;  // the client thread that made the call
};
static_assert(sizeof(Header) == 16);

// In a reply to a call: the call never reached the object (unknown object,
// interface or slot, or no memory for the arguments) or ended in a throw
// inside the stub; only the HRESULT follows, no out-values.
constexpr std::uint16_t kNotDelivered = 1;

// Object ids: 0 stands for a null interface pointer.
using ObjectId = std::uint64_t;
constexpr std::uint32_t kNullBstr = 0xFFFFFFFFu;

// Appends to a fixed buffer; an overflow is remembered and checked once.
class Writer {
 public:
  Writer(std::uint8_t* buffer, std::size_t capacity) : m_buffer(buffer), m_capacity(capacity) {}

  void Bytes(const void* data, std::size_t size) {
    if (m_overflow || size > m_capacity - m_size) {
      m_overflow = true;
      return;
    }
    if (size != 0) std::memcpy(m_buffer + m_size, data, size);
    m_size += size;
  }
  template <class T>
  void Value(const T& value) {
    Bytes(&value, sizeof value);
  }
  void Skip(std::size_t size) {
    if (m_overflow || size > m_capacity - m_size) {
      m_overflow = true;
      return;
    }
    m_size += size;
  }
  // Fills in the header at the start once the message is complete.
  void Finish(MessageKind kind, DWORD callerThread, std::uint16_t flags = 0) {
    if (m_overflow || m_size < sizeof(Header)) return;
    Header header{kMagic, static_cast<std::uint32_t>(m_size), static_cast<std::uint16_t>(kind), flags, callerThread};
    std::memcpy(m_buffer, &header, sizeof header);
  }

  bool Overflow() const { return m_overflow; }
  std::size_t Size() const { return m_size; }
  const std::uint8_t* Data() const { return m_buffer; }

 private:
  std::uint8_t* m_buffer;
  std::size_t m_capacity;
  std::size_t m_size = 0;
  bool m_overflow = false;
};

// Reads from a received message; reading past its end fails and leaves the
// value untouched.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

  bool Bytes(void* out, std::size_t size) {
    if (size > m_size - m_offset) return false;
    if (size != 0) std::memcpy(out, m_data + m_offset, size);
    m_offset += size;
    return true;
  }
  template <class T>
  bool Value(T& out) {
    return Bytes(&out, sizeof out);
  }
  // Points at `size` bytes in place, for strings that are copied once.
  const std::uint8_t* Take(std::size_t size) {
    if (size > m_size - m_offset) return nullptr;
    const std::uint8_t* at = m_data + m_offset;
    m_offset += size;
    return at;
  }
  bool AtEnd() const { return m_offset == m_size; }

 private:
  const std::uint8_t* m_data;
  std::size_t m_size;
  std::size_t m_offset = 0;
};

// Checks the fixed part of a message received from a peer.
inline bool ReadHeader(Reader& reader, std::size_t received, Header& header) {
  if (!reader.Value(header)) return false;
  return header.magic == kMagic && header.length == received;
}

}  // namespace rpc
