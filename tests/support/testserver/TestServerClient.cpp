#include "testserver/TestServerClient.h"

#include <comsupport/Bstr.h>
#include <comsupport/WideChars.h>
#include <kelvex/Strings.h>

#include "testserver/PlatformProbes.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace testserver {

// The reference events of this process on its proxies of the server's
// objects. Shared with the hook, which may still be running on another
// thread when the client goes.
struct ProxyReferenceLog {
  comsupport::CComPtr<ITestControl> control;
  std::mutex mutex;
  std::vector<RecordedRefEvent> events;
};

namespace {

// Set while this code takes or drops references on proxies itself: those
// are not the library's.
thread_local bool t_ownReferences = false;

struct OwnReferences {
  const bool previous = std::exchange(t_ownReferences, true);
  ~OwnReferences() { t_ownReferences = previous; }
};

std::mutex g_observingMutex;
std::shared_ptr<ProxyReferenceLog> g_observing;

void OnProxyReference(IUnknown* identity, testprobes::ProxyReferenceKind kind, const IID* iid, HRESULT result) {
  if (t_ownReferences) return;
  const OwnReferences own;  // the last holder of the log drops the control
  std::unique_lock<std::mutex> observing(g_observingMutex);
  const std::shared_ptr<ProxyReferenceLog> log = g_observing;
  observing.unlock();
  if (log == nullptr) return;
  // The same order of kinds on both sides.
  RecordedRefEvent event{0, static_cast<RefEventKind>(kind), static_cast<LONG>(testprobes::CallerThreadId()),
                         std::string()};
  if (event.kind == kQueryInterface) event.detail = QueryDetail(*iid, SUCCEEDED(result));
  // The proxy is alive while the hook runs, so the server can name its
  // object. The control's own proxy and those of other servers are no
  // object of this server (-1), and the server may be gone (failure).
  if (FAILED(log->control->IdentifyObject(identity, &event.id)) || event.id <= 0) return;
  std::lock_guard<std::mutex> lock(log->mutex);
  log->events.push_back(std::move(event));
}

// A failing control call means the test drove the server wrongly; it is
// reported as such rather than mistaken for a result of the library.
void Check(HRESULT hr, const char* what) {
  if (FAILED(hr)) throw std::runtime_error(std::string("test server control failed: ") + what);
}

comsupport::UniqueBstr Bstr(const std::u16string& text) {
  return comsupport::UniqueBstr(::SysAllocStringLen(comsupport::AsOleChars(text.data()), UINT(text.size())));
}

}  // namespace

TestServerClient::TestServerClient(comsupport::CComPtr<ITestControl> control) : m_control(std::move(control)) {}

TestServerClient::~TestServerClient() {
  if (m_log == nullptr) return;
  const OwnReferences own;
  std::lock_guard<std::mutex> lock(g_observingMutex);
  if (g_observing == m_log) {
    testprobes::SetProxyReferenceHook(nullptr);
    g_observing.reset();
  }
  m_log.reset();
}

void TestServerClient::ObserveThroughProxies() {
  const OwnReferences own;
  auto log = std::make_shared<ProxyReferenceLog>();
  log->control = m_control;
  m_log = log;
  std::lock_guard<std::mutex> lock(g_observingMutex);
  g_observing = std::move(log);
  testprobes::SetProxyReferenceHook(&OnProxyReference);
}

LONG TestServerClient::Create(LONG interfaceMask) {
  LONG id = 0;
  Check(m_control->CreateObject(interfaceMask, &id), "CreateObject");
  return id;
}

comsupport::CComPtr<IUnknown> TestServerClient::Object(LONG id) {
  comsupport::CComPtr<IUnknown> object;
  Check(m_control->GetObject(id, &object), "GetObject");
  return object;
}

LONG TestServerClient::Identify(IUnknown* pointer) {
  LONG id = 0;
  Check(m_control->IdentifyObject(pointer, &id), "IdentifyObject");
  return id;
}

void TestServerClient::Result(LONG id, InterfaceIndex index, LONG slot, HRESULT hr, ErrorKind errorKind,
                              const std::u16string& errorText) {
  const auto text = Bstr(errorText);
  Check(m_control->ScriptResult(id, index, slot, hr, errorKind, text.Get()), "ScriptResult");
}

void TestServerClient::Out(LONG id, InterfaceIndex index, LONG slot, LONG position, LONG kind, LONG number,
                           ULONGLONG wide, double real, const std::u16string& text, GUID guid) {
  const auto bstr = Bstr(text);
  Check(m_control->ScriptOut(id, index, slot, position, kind, number, wide, real, bstr.Get(), &guid), "ScriptOut");
}

LONG TestServerClient::Probe(ProbeKind which, LONG argument) {
  LONG value = 0;
  Check(m_control->Probe(which, argument, &value), "Probe");
  return value;
}

std::vector<std::vector<std::string>> TestServerClient::Records(LONG which) {
  comsupport::UniqueBstr text;
  Check(m_control->GetRecords(which, text.Put()), "GetRecords");
  std::vector<std::vector<std::string>> records(1, std::vector<std::string>(1));
  for (char c : kelvex::utility::UTF16ToUTF8(kelvex::utility::UTF16String(comsupport::BstrView(text.Get())))) {
    if (c == '\x1e') records.emplace_back();
    if (c == '\x1f' || c == '\x1e') records.back().emplace_back();
    if (c != '\x1f' && c != '\x1e') records.back().back() += c;
  }
  records.pop_back();  // what follows the last record's end
  return records;
}

std::vector<RecordedCall> TestServerClient::Calls() {
  std::vector<RecordedCall> calls;
  for (const auto& r : Records(0))
    calls.push_back({std::stoi(r[0]), std::stoi(r[1]), std::stoi(r[2]), std::stoi(r[3]), r[4]});
  return calls;
}

std::vector<RecordedRefEvent> TestServerClient::RefEvents() {
  if (m_log != nullptr) {
    std::lock_guard<std::mutex> lock(m_log->mutex);
    return m_log->events;
  }
  std::vector<RecordedRefEvent> events;
  for (const auto& r : Records(1)) {
    events.push_back({std::stoi(r[0]), static_cast<RefEventKind>(std::stoi(r[1])), std::stoi(r[2]), r[3]});
  }
  return events;
}

LONG TestServerClient::RefCount(LONG id) {
  LONG proxied = 0;
  if (m_log != nullptr) {
    // The object once more: through the live proxy when this process has
    // one, whose count then holds this reference too, else through a new
    // one that goes again before the server is asked.
    const OwnReferences own;
    const comsupport::CComPtr<IUnknown> object = Object(id);
    proxied = static_cast<LONG>(std::max(0L, testprobes::ProxyLocalReferences(object.p) - 1));
  }
  LONG count = 0;
  Check(m_control->GetRefCount(id, &count), "GetRefCount");
  return count + proxied;
}

void TestServerClient::ClearRecords() {
  if (m_log != nullptr) {
    std::lock_guard<std::mutex> lock(m_log->mutex);
    m_log->events.clear();
  }
  Check(m_control->ClearRecords(), "ClearRecords");
}

}  // namespace testserver
