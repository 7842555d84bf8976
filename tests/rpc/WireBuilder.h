// Messages of the link as the tests and the fuzzer write them: through the
// engine's own Writer, so that a test's well-formed message has exactly the
// layout the proxies send. Malformed ones are made from well-formed ones:
// raw bytes in place of fields, a header edited after Finish, or bytes that
// never had a header at all. The capacity is twice the largest message, so
// that an oversized one can be written too.
#pragma once

#include <rpc/Wire.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace rpctest {

using Bytes = std::vector<std::uint8_t>;

class Wire {
 public:
  Wire() { m_writer.Skip(sizeof(rpc::Header)); }
  Wire(const Wire&) = delete;
  Wire& operator=(const Wire&) = delete;

  template <class T>
  Wire& Add(const T& value) {
    m_writer.Value(value);
    return *this;
  }
  Wire& Add(const Bytes& bytes) {
    m_writer.Bytes(bytes.data(), bytes.size());
    return *this;
  }
  Wire& Call(rpc::ObjectId id, const IID& iid, std::uint32_t slot) { return Add(id).Add(iid).Add(slot); }
  // What was added, without a header.
  Bytes Body() const { return Bytes(m_writer.Data() + sizeof(rpc::Header), m_writer.Data() + m_writer.Size()); }
  // The whole message, its header filled in by the engine's Finish.
  Bytes Message(rpc::MessageKind kind, std::uint16_t flags = 0) {
    if (m_writer.Overflow()) std::abort();  // a test that wants more than twice the largest message is broken
    m_writer.Finish(kind, 1, flags);
    return Bytes(m_writer.Data(), m_writer.Data() + m_writer.Size());
  }

 private:
  static constexpr std::size_t kCapacity = 2 * rpc::kMaxMessage;
  std::unique_ptr<std::uint8_t[]> m_buffer{new std::uint8_t[kCapacity]};
  rpc::Writer m_writer{m_buffer.get(), kCapacity};
};

// Values in a row, no header: arguments, out-values, a field cut short.
template <class... T>
Bytes Raw(const T&... values) {
  Wire wire;
  (wire.Add(values), ...);
  return wire.Body();
}

// A BSTR as the link sends it.
inline Bytes Bstr(const std::u16string& text) {
  Wire wire;
  wire.Add(static_cast<std::uint32_t>(text.size() * 2));
  for (char16_t c : text) wire.Add(c);
  return wire.Body();
}

// A message with its header changed after it was finished.
template <class Edit>
Bytes EditHeader(Bytes message, Edit edit) {
  rpc::Header header;
  std::memcpy(&header, message.data(), sizeof header);
  edit(header);
  std::memcpy(message.data(), &header, sizeof header);
  return message;
}

// What a reply says: its flags and HRESULT, and a reader at its out-values.
struct ReplyView {
  bool valid = false;
  std::uint16_t flags = 0;
  HRESULT hr = E_ABORT;
  rpc::Reader rest{nullptr, 0};
};
inline ReplyView ReadReply(const std::uint8_t* data, std::size_t size) {
  ReplyView reply;
  reply.rest = rpc::Reader(data, size);
  rpc::Header header{};
  reply.valid = rpc::ReadHeader(reply.rest, size, header) && reply.rest.Value(reply.hr);
  if (!reply.valid) reply.hr = E_ABORT;
  reply.flags = header.flags;
  return reply;
}

}  // namespace rpctest
