// The service endpoint: takes new connections and asks its delegate about
// each one before anything of it is read.
#pragma once

namespace kelmarind::platform {

class Connection;

class ListenerDelegate {
 public:
  virtual ~ListenerDelegate() = default;
  // Asked once per new connection, on the listener's thread (possibly while
  // earlier connections are being served). True accepts it: the delegate has
  // set the requirement, interface and object and resumed it. False closes it
  // unread.
  [[nodiscard]] virtual bool shouldAcceptNewConnection(Connection& newConnection) = 0;
};

class Listener {
 public:
  virtual ~Listener() = default;
  // The delegate is not owned and must outlive the listener. Set before resume().
  virtual void setDelegate(ListenerDelegate& delegate) = 0;
  // Starts taking connections. Calling it again does nothing.
  virtual void resume() = 0;
};

}  // namespace kelmarind::platform
