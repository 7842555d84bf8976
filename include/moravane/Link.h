// The link makers: OrraServer activates the link server and hands out a
// Server; OrraSelfLink is an announced link that switches the process to
// free-threaded mode for good.
#pragma once

#include <moravane/Export.h>
#include <moravane/Server.h>

#include <comsupport/ComPtr.h>

namespace moravane {

class MORAVANE_API OrraServer_Base {
 public:
  OrraServer_Base();
  OrraServer_Base(const OrraServer_Base& other);
  OrraServer_Base& operator=(const OrraServer_Base& other);
  virtual ~OrraServer_Base();

  virtual bool IsLinked() const = 0;
  virtual void UnLink() = 0;
  virtual Server CreateLink() = 0;
};

// Keeps its own reference on the activated server object (the activation
// reference) until UnLink or destruction; copies share it, one count each.
// A Server handed out holds a reference of its own and outlives the factory.
class MORAVANE_API OrraServer : public OrraServer_Base {
 public:
  // Starts the communication thread if it is not running yet.
  OrraServer();
  OrraServer(const OrraServer& other);
  OrraServer& operator=(const OrraServer& other);
  ~OrraServer() override;

  bool IsLinked() const override;
  // Releases the activation reference on the communication thread; never
  // throws a LinkError.
  void UnLink() override;
  // Activates the link server as a local COM server and returns a linked
  // Server. Throws LinkError with the activation's code when it fails, and
  // E_NOINTERFACE when the object offers no server interface (the factory
  // stays linked then).
  Server CreateLink() override;

 private:
  void CreateLinkExecutor(Server* result);
  void UnLinkExecutor();

  comsupport::CComPtr<IUnknown> m_activation;
};

class MORAVANE_API OrraSelfLink_Base {
 public:
  OrraSelfLink_Base();
  OrraSelfLink_Base& operator=(const OrraSelfLink_Base& other);
  virtual ~OrraSelfLink_Base();

  virtual Server& GetMoraVane() = 0;

 private:
  OrraSelfLink_Base(const OrraSelfLink_Base& other);
};

// One announced link to the link server, alive as long as the object. Its
// construction switches the process to free-threaded mode for good, links
// (serialised across threads and processes by the named mutex "Moravane
// SelfLink Mutex"), requires server version 7 and announces the link; its
// destruction withdraws the announcement and unlinks.
class MORAVANE_API OrraSelfLink : public OrraSelfLink_Base {
 public:
  OrraSelfLink();
  OrraSelfLink& operator=(const OrraSelfLink& other);
  ~OrraSelfLink() override;

  // The linked server; valid as long as this object lives.
  Server& GetMoraVane() override;

 private:
  // Constructs both members empty: copies announce nothing.
  OrraSelfLink(const OrraSelfLink& other);

  void CreateLinkExecutor();
  void UnLinkExecutor();

  OrraServer m_link;
  Server m_server;
};

}  // namespace moravane
