// Operations of the Orra application outside the project model.
#pragma once

#include <moravane/BaseObject.h>
#include <moravane/Types.h>

namespace moravane {

struct IOrraExtras2;
class Server;

class MORAVANE_API OrraExtras_Base {
 public:
  OrraExtras_Base() {}
  OrraExtras_Base(Server&) {}
  OrraExtras_Base(const OrraExtras_Base&) {}
  OrraExtras_Base& operator=(const OrraExtras_Base&) { return *this; }
  virtual ~OrraExtras_Base() {}

  virtual void SendFile(const WideString& path) = 0;
};

class MORAVANE_API OrraExtras : public OrraExtras_Base, public BaseObject<IOrraExtras2, OrraExtras> {
 public:
  OrraExtras();
  // The server's object seen through its extras interface; unlinked when
  // the server is unlinked or offers none. Never throws a LinkError.
  OrraExtras(Server& server);
  OrraExtras(const OrraExtras& other);
  OrraExtras& operator=(const OrraExtras& other);
  virtual ~OrraExtras();

  // Hands the file name (cut at its first NUL) to the application.
  virtual void SendFile(const WideString& path) override;

 protected:
  void SendFileExecutor(BSTR path);

 private:
  friend class detail::HandleAccess;
};

}  // namespace moravane
