// Calls through the generated proxies into the test server in another
// process, for what only the link shows: objects travelling both ways and
// arriving as the server's own, one remote Release per proxy, and many
// client threads at once. Every kind of parameter and answer goes through
// the same proxies in objects_remote_tests.
#include "RpcTestSupport.h"

#include <atomic>

using namespace moravane;
using testserver::InterfaceBit;

namespace rpctest {
namespace {

class RemoteCall : public ServerFixture {};

TEST_F(RemoteCall, ObjectsTravelBothWaysAndOneReleaseEndsTheExport) {
  const LONG project = client->Create(InterfaceBit(testserver::kProjectIndex));
  client->OutObject(serverId, testserver::kServerIndex, 11, 0, project);
  client->Result(serverId, testserver::kServerIndex, 11, S_FALSE, testserver::kErrorText, u"why \u2713");
  const char16_t raw[] = {u'/', u'p', 0, u'\u00e9'};
  BSTR path = SysAllocStringLen(raw, 4);
  IUnknown* opened = nullptr;
  OutText e;
  EXPECT_EQ(S_FALSE, server->OpenProject(path, &opened, &e));
  SysFreeString(path);
  EXPECT_EQ(u"why \u2713", std::u16string(e.value, SysStringLen(e.value)));
  ASSERT_NE(nullptr, opened);
  EXPECT_EQ(exported + 1, client->Probe(testserver::kExportedObjects));

  // Sent back, a proxy reaches the server as the server's own object.
  EXPECT_EQ(project, client->Identify(opened));
  EXPECT_EQ(S_OK, server->CloseProject(opened, &e));
  const std::vector<testserver::RecordedCall> calls = client->Calls();
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ("IUnknown*:#" + std::to_string(project) + " out BSTR*:null", calls.back().arguments);
  // A local object is nothing the server could use: refused here.
  struct Local : IUnknown {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
  } local;
  EXPECT_EQ(E_INVALIDARG, server->CloseProject(&local, &e));

  // The server's answer to a query passes through; one identity whatever
  // interface it is reached through.
  ISource2* source = reinterpret_cast<ISource2*>(1);
  EXPECT_EQ(E_NOINTERFACE, opened->QueryInterface(IID_ISource2, reinterpret_cast<void**>(&source)));
  EXPECT_EQ(nullptr, source);
  IProject2* typed = nullptr;
  IUnknown* identity = nullptr;
  ASSERT_EQ(S_OK, opened->QueryInterface(IID_IProject2, reinterpret_cast<void**>(&typed)));
  ASSERT_EQ(S_OK, typed->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
  EXPECT_EQ(opened, identity);

  // The export ends with the last local reference, not before.
  for (IUnknown* reference : {static_cast<IUnknown*>(typed), identity}) reference->Release();
  EXPECT_EQ(exported + 1, client->Probe(testserver::kExportedObjects));
  opened->Release();
  EXPECT_EQ(exported, client->Probe(testserver::kExportedObjects));
}

TEST_F(RemoteCall, ManyClientThreadsGetTheirOwnAnswersOnTheirOwnThreads) {
  constexpr int kThreads = 8;
  constexpr int kCalls = 50;  // the records come back in one reply
  std::vector<LONG> ids;
  std::vector<ISource2*> sources;
  for (int t = 0; t < kThreads; ++t) {
    ids.push_back(client->Create(InterfaceBit(testserver::kSourceIndex)));
    client->OutLong(ids.back(), testserver::kSourceIndex, 9, 0, t);
    sources.push_back(nullptr);
    ASSERT_EQ(S_OK, client->Object(ids.back())->QueryInterface(IID_ISource2, reinterpret_cast<void**>(&sources[t])));
  }
  std::atomic<int> wrong{0};
  std::vector<DWORD> threadIds(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      threadIds[t] = GetCurrentThreadId();
      for (int i = 0; i < kCalls; ++i) {
        LONG newer = -1;
        OutText e;
        if (sources[t]->IsNewerThan(i, &newer, &e) != S_OK || newer != t || e.value != nullptr) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, wrong.load());
  std::vector<int> calls(kThreads);
  for (const testserver::RecordedCall& call : client->Calls()) {
    const int t = static_cast<int>(std::find(ids.begin(), ids.end(), call.id) - ids.begin());
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(static_cast<LONG>(threadIds[t]), call.thread);
    ++calls[t];
  }
  EXPECT_EQ(std::vector<int>(kThreads, kCalls), calls);
  for (ISource2* source : sources) source->Release();
}

}  // namespace
}  // namespace rpctest
