// The control interface of the test server: a COM interface of its own,
// with fixed-width parameters only, through which a test creates server
// objects, scripts what each slot answers and reads back what was called,
// with which arguments, on which thread, and every AddRef, Release and
// QueryInterface made on the objects.
//
// Objects are named by small positive ids (0 stands for "no object"). An
// object implements the link-server interfaces given by a mask of
// InterfaceBit values; one object may implement several. Each object starts
// with one reference, held by the server until the control is released.
//
// A script is kept per (object, interface, slot) until replaced: the
// HRESULT, an error text (ErrorKind) and out-values by the position of the
// out-parameter among the slot's out-parameters, the error text excluded.
// An out-parameter without a scripted value is left as the caller set it.
#pragma once

#include <objbase.h>
#include <oleauto.h>

#include <string>

namespace testserver {

extern const IID IID_ITestControl;

// The nine link-server interfaces, in the order of their index.
enum InterfaceIndex : LONG {
  kServerIndex = 0,
  kProjectIndex,
  kItemIndex,
  kContainerIndex,
  kSourceIndex,
  kRendererIndex,
  kVideoOptionsIndex,
  kAudioOptionsIndex,
  kExtrasIndex,
  kInterfaceCount
};
constexpr LONG InterfaceBit(InterfaceIndex index) { return LONG{1} << index; }

enum ErrorKind : LONG { kNoErrorText = 0, kEmptyErrorText = 1, kErrorText = 2 };
enum RefEventKind : LONG { kAddRef = 0, kRelease = 1, kQueryInterface = 2 };
enum OutKind : LONG { kOutLong, kOutULongLong, kOutDouble, kOutString, kOutNullString, kOutGuid, kOutObject };
enum ProbeKind : LONG { kExportedObjects, kLiveBstrs, kProcessId, kSleep };
// The detail of a QueryInterface event: the interface asked for ("IUnknown",
// a link-server interface's name or "other") and "yes" or "no".
std::string QueryDetail(REFIID iid, bool given);

struct ITestControl : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateObject(LONG interfaceMask, LONG* id) = 0;
  // A new reference to the object's identity (its IUnknown).
  virtual HRESULT STDMETHODCALLTYPE GetObject(LONG id, IUnknown** object) = 0;
  // The id of the object behind any of its interface pointers (0 for null,
  // -1 for a pointer of no object of this server), found without calling it.
  virtual HRESULT STDMETHODCALLTYPE IdentifyObject(IUnknown* pointer, LONG* id) = 0;
  virtual HRESULT STDMETHODCALLTYPE ScriptResult(LONG id, LONG interfaceIndex, LONG slot, LONG hr, LONG errorKind,
                                                 BSTR errorText) = 0;
  // Out-value `position` of the slot: `value` of `kind` (its other fields
  // unused). A string keeps embedded NULs; an object is the identity of
  // object `number` with a reference for the caller, or null for 0.
  virtual HRESULT STDMETHODCALLTYPE ScriptOut(LONG id, LONG interfaceIndex, LONG slot, LONG position, LONG kind,
                                              LONG number, ULONGLONG wide, double real, BSTR text, GUID* guid) = 0;

  // Every recorded call (`which` 0) or reference event (1) as one text:
  // records end with \x1e, fields with \x1f. A call: the object, interface
  // and slot called, the caller's thread, and the arguments as received,
  // as one canonical text. An event: the object, its RefEventKind, the
  // thread and for QueryInterface the interface asked for and whether it
  // was given ("IItem2 yes").
  virtual HRESULT STDMETHODCALLTYPE GetRecords(LONG which, BSTR* records) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetRefCount(LONG id, LONG* count) = 0;
  // Forgets the recorded calls and reference events.
  virtual HRESULT STDMETHODCALLTYPE ClearRecords() = 0;
  // What only the server's process can tell (Probe), or Sleep: a call that
  // takes `argument` milliseconds.
  virtual HRESULT STDMETHODCALLTYPE Probe(LONG which, LONG argument, LONG* value) = 0;

 protected:
  ~ITestControl() = default;
};

// A test server in this process.
HRESULT CreateInProcessTestServer(ITestControl** control);

// A test server that serves another process through the out-of-process
// link: it leaves out of its records the queries for IUnknown, which only
// the link itself makes there, and out of its reference counts the
// references that the link holds for its clients.
HRESULT CreateHostedTestServer(ITestControl** control);

// The class of the test server host (a process of its own, see
// TestServerHost.cpp); an activation gives a fresh test server's control.
extern const CLSID CLSID_TestServerHost;
// The test servers alive in this process: a host started by activation
// leaves when the last one has gone.
LONG LiveTestServers();

// Registers the control interface's proxy and stub with the out-of-process
// engine of this process; both the host and its clients need it. Runs once;
// false when the table does not match the interface.
bool RegisterTestControlProxyStub();

}  // namespace testserver
