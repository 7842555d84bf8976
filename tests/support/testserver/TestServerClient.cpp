#include "testserver/TestServerClient.h"

#include <comsupport/Bstr.h>
#include <comsupport/WideChars.h>
#include <kelvex/Strings.h>

#include <stdexcept>

namespace testserver {

namespace {

// A failing control call means the test drove the server wrongly; it is
// reported as such rather than mistaken for a result of the library.
void Check(HRESULT hr, const char* what) {
  if (FAILED(hr)) throw std::runtime_error(std::string("test server control failed: ") + what);
}

comsupport::UniqueBstr Bstr(const std::u16string& text) {
  return comsupport::UniqueBstr(
      ::SysAllocStringLen(comsupport::AsOleChars(text.data()), static_cast<UINT>(text.size())));
}

std::string Take(BSTR value) {
  const comsupport::UniqueBstr owned(value);
  if (value == nullptr) return std::string();
  return kelvex::utility::UTF16ToUTF8(kelvex::utility::UTF16String(comsupport::BstrView(value)));
}

}  // namespace

TestServerClient::TestServerClient(comsupport::CComPtr<ITestControl> control) : m_control(std::move(control)) {}

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

void TestServerClient::OutLong(LONG id, InterfaceIndex index, LONG slot, LONG position, LONG value) {
  Check(m_control->ScriptOutLong(id, index, slot, position, value), "ScriptOutLong");
}

void TestServerClient::OutULongLong(LONG id, InterfaceIndex index, LONG slot, LONG position, ULONGLONG value) {
  Check(m_control->ScriptOutULongLong(id, index, slot, position, value), "ScriptOutULongLong");
}

void TestServerClient::OutDouble(LONG id, InterfaceIndex index, LONG slot, LONG position, double value) {
  Check(m_control->ScriptOutDouble(id, index, slot, position, value), "ScriptOutDouble");
}

void TestServerClient::OutString(LONG id, InterfaceIndex index, LONG slot, LONG position, const std::u16string& value) {
  const auto text = Bstr(value);
  Check(m_control->ScriptOutString(id, index, slot, position, 0, text.Get()), "ScriptOutString");
}

void TestServerClient::OutNullString(LONG id, InterfaceIndex index, LONG slot, LONG position) {
  Check(m_control->ScriptOutString(id, index, slot, position, 1, nullptr), "ScriptOutString");
}

void TestServerClient::OutGuid(LONG id, InterfaceIndex index, LONG slot, LONG position, const GUID& value) {
  GUID copy = value;
  Check(m_control->ScriptOutGuid(id, index, slot, position, &copy), "ScriptOutGuid");
}

void TestServerClient::OutObject(LONG id, InterfaceIndex index, LONG slot, LONG position, LONG objectId) {
  Check(m_control->ScriptOutObject(id, index, slot, position, objectId), "ScriptOutObject");
}

std::vector<RecordedCall> TestServerClient::Calls() {
  LONG count = 0;
  Check(m_control->GetCallCount(&count), "GetCallCount");
  std::vector<RecordedCall> calls;
  for (LONG index = 0; index < count; ++index) {
    RecordedCall call{};
    BSTR arguments = nullptr;
    Check(m_control->GetCall(index, &call.id, &call.interfaceIndex, &call.slot, &call.thread, &arguments), "GetCall");
    call.arguments = Take(arguments);
    calls.push_back(std::move(call));
  }
  return calls;
}

std::vector<RecordedRefEvent> TestServerClient::RefEvents() {
  LONG count = 0;
  Check(m_control->GetRefEventCount(&count), "GetRefEventCount");
  std::vector<RecordedRefEvent> events;
  for (LONG index = 0; index < count; ++index) {
    RecordedRefEvent event{};
    LONG kind = 0;
    BSTR detail = nullptr;
    Check(m_control->GetRefEvent(index, &event.id, &kind, &event.thread, &detail), "GetRefEvent");
    event.kind = static_cast<RefEventKind>(kind);
    event.detail = Take(detail);
    events.push_back(std::move(event));
  }
  return events;
}

LONG TestServerClient::RefCount(LONG id) {
  LONG count = 0;
  Check(m_control->GetRefCount(id, &count), "GetRefCount");
  return count;
}

void TestServerClient::ClearRecords() { Check(m_control->ClearRecords(), "ClearRecords"); }

}  // namespace testserver
