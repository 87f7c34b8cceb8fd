// TmsMailBase: the protocol base between the socket component and a mail protocol client; a
// client logs in once connected and logs out before closing.
#pragma once

#include "net/agsocket.h"

namespace net {

class TmsMailBase : public TagSocket {
 public:
  virtual void Login() = 0;
  virtual void Logout() = 0;
};

}  // namespace net
