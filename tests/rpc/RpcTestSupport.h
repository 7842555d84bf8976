// The out-of-process link against the test server in a process of its own
// (testserver_host). Every test runs with its own endpoint and registration
// directories, so that it never meets a real server of the user, and kills
// and reaps every process it started.
#pragma once

#include "support/ChildProcess.h"
#include "support/PrivateUserFolders.h"
#include "testserver/TestServerClient.h"

#include <contract/LinkServer.h>
#include <rpc/LinkServerProxyStub.h>

#include <platformdebug.h>
#include <rpc/Rpc.h>
#include <rpc/Wire.h>

#include <gtest/gtest.h>

#include "Transport.h"

#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>

namespace rpctest {

using namespace std::chrono_literals;

using testserver::ITestControl;

inline std::string HostPath() { return TESTSERVER_HOST_PATH; }

inline bool RegisterAll() {
  return moravane::RegisterLinkServerProxyStubs() && testserver::RegisterTestControlProxyStub();
}

inline void Register(REFCLSID clsid, const std::vector<std::string>& command) {
  const std::string path = rpc::ClassRegistrationPath(clsid);
  std::ofstream file(path);
  for (const std::string& line : command) file << line << "\n";
  std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

inline HRESULT Activate(comsupport::CComPtr<ITestControl>& control) {
  control = nullptr;
  return CoCreateInstance(testserver::CLSID_TestServerHost, nullptr, CLSCTX_LOCAL_SERVER, testserver::IID_ITestControl,
                          reinterpret_cast<void**>(&control));
}

// A message of the link, written field by field.
using Bytes = std::vector<std::uint8_t>;

class Body {
 public:
  template <class T>
  Body& Add(const T& value) {
    const std::size_t at = m_bytes.size();
    m_bytes.resize(at + sizeof value);
    std::memcpy(m_bytes.data() + at, &value, sizeof value);
    return *this;
  }
  Body& Add(const Bytes& bytes) {
    m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
    return *this;
  }
  const Bytes& Raw() const { return m_bytes; }
  Body& Call(rpc::ObjectId id, const IID& iid, std::uint32_t slot) { return Add(id).Add(iid).Add(slot); }
  Bytes Message(rpc::MessageKind kind) const {
    rpc::Header header{rpc::kMagic, static_cast<std::uint32_t>(sizeof(rpc::Header) + m_bytes.size()),
                       static_cast<std::uint16_t>(kind), 0, 1};
    Bytes message(sizeof header);
    std::memcpy(message.data(), &header, sizeof header);
    message.insert(message.end(), m_bytes.begin(), m_bytes.end());
    return message;
  }

 private:
  Bytes m_bytes;
};

// A BSTR as the link sends it.
inline Bytes Bstr(const std::u16string& text) {
  Body body;
  body.Add(static_cast<std::uint32_t>(text.size() * 2));
  for (char16_t c : text) body.Add(c);
  return body.Raw();
}

template <class Edit>
Bytes EditHeader(Bytes message, Edit edit) {
  rpc::Header header;
  std::memcpy(&header, message.data(), sizeof header);
  edit(header);
  std::memcpy(message.data(), &header, sizeof header);
  return message;
}

// Owns an out-BSTR of a call.
struct OutText {
  BSTR value = nullptr;
  ~OutText() { SysFreeString(value); }
  BSTR* operator&() {
    SysFreeString(value);
    value = nullptr;
    return &value;
  }
};

constexpr LONG kServerMask =
    testserver::InterfaceBit(testserver::kServerIndex) | testserver::InterfaceBit(testserver::kExtrasIndex);

// A running host, a test server in it and its server object, whose
// GetVersion answers 7. At the end nothing the test made is left exported
// and every BSTR that went through either side is freed.
class ServerFixture : public ::testing::Test {
 public:
  void SetUp() override {
    ASSERT_TRUE(RegisterAll());
    ASSERT_TRUE(StartServer());
    ASSERT_EQ(S_OK, Activate(control));
    client = std::make_unique<testserver::TestServerClient>(control);
    serverId = client->Create(kServerMask);
    client->OutLong(serverId, testserver::kServerIndex, 3, 0, 7);
    ASSERT_EQ(S_OK,
              client->Object(serverId)->QueryInterface(moravane::IID_IServer2, reinterpret_cast<void**>(&server)));
    exported = client->Probe(testserver::kExportedObjects);
    serverBstrs = client->Probe(testserver::kLiveBstrs);
    clientBstrs = platformdebug::LiveBstrCount();
  }
  void TearDown() override {
    if (process != nullptr && ::kill(process->Pid(), 0) == 0 && control != nullptr) {
      EXPECT_EQ(exported, client->Probe(testserver::kExportedObjects));
      EXPECT_EQ(serverBstrs, client->Probe(testserver::kLiveBstrs));
      EXPECT_EQ(clientBstrs, platformdebug::LiveBstrCount());
    }
    if (server != nullptr) server->Release();
    client.reset();
    control = nullptr;
    EXPECT_EQ(0, rpc::debug::LiveProxyObjects());
  }

  bool StartServer() {
    process = StartChild({HostPath()}, "ready");
    return process != nullptr;
  }

  testsupport::PrivateUserFolders scratch;
  std::unique_ptr<ChildProcess> process;
  comsupport::CComPtr<ITestControl> control;
  std::unique_ptr<testserver::TestServerClient> client;
  LONG serverId = 0;
  moravane::IServer2* server = nullptr;
  LONG exported = 0;
  LONG serverBstrs = 0;
  std::int64_t clientBstrs = 0;
};

}  // namespace rpctest
