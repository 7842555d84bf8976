// The tests' side of the test server: a thin C++ wrapper over ITestControl
// that converts to and from the control interface's fixed-width values.
// It holds only the control interface, so it works the same whichever way
// the server was reached.
#pragma once

#include "testserver/TestControl.h"

#include <comsupport/ComPtr.h>

#include <memory>
#include <string>
#include <vector>

namespace testserver {

struct RecordedCall {
  LONG id, interfaceIndex, slot, thread;
  std::string arguments;
};

struct RecordedRefEvent {
  LONG id;
  RefEventKind kind;
  LONG thread;
  std::string detail;
};

struct ProxyReferenceLog;

class TestServerClient {
 public:
  explicit TestServerClient(comsupport::CComPtr<ITestControl> control);
  ~TestServerClient();
  TestServerClient(const TestServerClient&) = delete;
  TestServerClient& operator=(const TestServerClient&) = delete;

  // For a server in another process, reached through proxies that count
  // references locally and ask the server for each interface once: from now
  // on RefEvents() are the AddRef, Release and QueryInterface calls that
  // this process makes on its proxies of the server's objects, as the
  // server would have seen them without proxies in between, and RefCount()
  // adds to the server's own count what the proxies hold. One client at a
  // time observes.
  void ObserveThroughProxies();

  LONG Create(LONG interfaceMask);
  comsupport::CComPtr<IUnknown> Object(LONG id);
  // 0 for null, -1 for a pointer that is no object of this server.
  LONG Identify(IUnknown* pointer);

  // The answer of one slot of one object; the last call for a slot wins.
  void Result(LONG id, InterfaceIndex index, LONG slot, HRESULT hr, ErrorKind errorKind = kNoErrorText,
              const std::u16string& errorText = u"");
  using Index = InterfaceIndex;
  void OutLong(LONG id, Index i, LONG slot, LONG at, LONG v) { Out(id, i, slot, at, kOutLong, v); }
  void OutULongLong(LONG id, Index i, LONG slot, LONG at, ULONGLONG v) { Out(id, i, slot, at, kOutULongLong, 0, v); }
  void OutDouble(LONG id, Index i, LONG slot, LONG at, double v) { Out(id, i, slot, at, kOutDouble, 0, 0, v); }
  void OutString(LONG id, Index i, LONG slot, LONG at, const std::u16string& v) {
    Out(id, i, slot, at, kOutString, 0, 0, 0, v);
  }
  void OutGuid(LONG id, Index i, LONG slot, LONG at, GUID v) { Out(id, i, slot, at, kOutGuid, 0, 0, 0, u"", v); }
  // objectId 0 answers a null pointer.
  void OutObject(LONG id, Index i, LONG slot, LONG at, LONG o) { Out(id, i, slot, at, kOutObject, o); }
  void Out(LONG id, InterfaceIndex index, LONG slot, LONG position, LONG kind, LONG number = 0, ULONGLONG wide = 0,
           double real = 0, const std::u16string& text = u"", GUID guid = GUID{});
  // What only the server's process can tell (ProbeKind).
  LONG Probe(ProbeKind which, LONG argument = 0);

  std::vector<RecordedCall> Calls();
  std::vector<RecordedRefEvent> RefEvents();
  LONG RefCount(LONG id);
  void ClearRecords();

  ITestControl* Control() const { return m_control.p; }

 private:
  std::vector<std::vector<std::string>> Records(LONG which);

  comsupport::CComPtr<ITestControl> m_control;
  std::shared_ptr<ProxyReferenceLog> m_log;
};

}  // namespace testserver
