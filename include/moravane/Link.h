// Making the link to the Orra application's link server: OrraServer
// activates the server's object and hands out Server handles; OrraSelfLink
// is one announced link that lasts as long as the object does.
#pragma once

#include <comsupport/ComPtr.h>
#include <moravane/Server.h>

namespace moravane {

class MORAVANE_API OrraServer_Base {
 public:
  OrraServer_Base() {}
  OrraServer_Base(const OrraServer_Base&) {}
  OrraServer_Base& operator=(const OrraServer_Base&) { return *this; }
  virtual ~OrraServer_Base() {}

  virtual bool IsLinked() const = 0;
  virtual void UnLink() = 0;
  virtual Server CreateLink() = 0;
};

// The only place of the library that activates a link server object. It
// keeps one reference on the activated object (the activation reference)
// until UnLink or destruction; that reference is separate from the one that
// every Server it hands out holds, so a Server outlives its factory's link.
// No lock of its own: one OrraServer is used by one thread at a time.
class MORAVANE_API OrraServer : public OrraServer_Base {
 public:
  // Unlinked. Starts the communication thread if it is not running yet.
  OrraServer();
  // Shares the other's activation reference (one more count), on the
  // calling thread.
  OrraServer(const OrraServer& other);
  // Copy and swap: the reference held before is released through UnLink.
  OrraServer& operator=(const OrraServer& other);
  // Unlinks; a failure of the dispatch is swallowed.
  virtual ~OrraServer();

  // Reads the field on the calling thread; no remote call.
  virtual bool IsLinked() const override;
  // Releases the activation reference where remote calls run; never throws
  // a LinkError, does nothing when unlinked.
  virtual void UnLink() override;
  // Activates the server's object (a reference held before is released
  // first) and returns a Server on it. Throws the activation's code with an
  // empty text, the object then unlinked; or E_NOINTERFACE when the object
  // is no server, the object then still linked.
  virtual Server CreateLink() override;

 private:
  void CreateLinkExecutor(Server* result);
  void UnLinkExecutor();

  comsupport::CComPtr<IUnknown> m_activation;
};

class MORAVANE_API OrraSelfLink_Base {
 public:
  OrraSelfLink_Base() {}
  OrraSelfLink_Base& operator=(const OrraSelfLink_Base&) { return *this; }
  virtual ~OrraSelfLink_Base() {}

  virtual Server& GetMoraVane() = 0;

 private:
  OrraSelfLink_Base(const OrraSelfLink_Base&) {}
};

// One announced link. Constructing it switches the whole process to
// free-threaded mode for good (also when the construction fails), links
// under the mutex "Moravane SelfLink Mutex", requires server version 7 and
// announces the link; destroying it withdraws the announcement and unlinks.
// All of it runs on the calling thread. The mutex serialises only the
// making of self links, across threads and processes; any number may live.
class MORAVANE_API OrraSelfLink : public OrraSelfLink_Base {
 public:
  // Throws LinkError when the link cannot be made or announced; the mutex
  // is free again and nothing stays linked.
  OrraSelfLink();
  // Assigns the link and the server handle; no announcement, no mutex.
  OrraSelfLink& operator=(const OrraSelfLink& other);
  // Withdraws (a failure is dropped) and unlinks.
  virtual ~OrraSelfLink();

  // The linked server; valid as long as this object lives. No remote call.
  virtual Server& GetMoraVane() override;

 private:
  // Both members empty; copies nothing, announces nothing.
  OrraSelfLink(const OrraSelfLink& other);

  void CreateLinkExecutor();
  void UnLinkExecutor();

  OrraServer m_link;
  Server m_server;
};

}  // namespace moravane
