#include "net/OpenSsl.h"

#include <type_traits>

#include "net/agsocket.h"
#include "rtl/SysUtils.h"
#include "winapi/winapi.h"

namespace net {
namespace {

const TOpenSsl* Bind() {
  const char* names[] = {LARKPOST_SSL_MODULE, LARKPOST_CRYPTO_MODULE};
  HMODULE modules[] = {LoadLibraryA(names[0]), LoadLibraryA(names[1])};
  auto release = [&] {
    for (HMODULE module : modules) {
      if (module != nullptr) FreeLibrary(module);
    }
  };
  for (size_t i = 0; i < std::size(modules); ++i) {
    if (modules[i] == nullptr) {
      release();
      throw ESocketError(rtl::Format("OpenSSL cannot be loaded: %s is missing", names[i]));
    }
  }
  auto bound = std::make_unique<TOpenSsl>();
  auto bind = [&](auto& function, const char* name) {
    for (HMODULE module : modules) {
      if (FARPROC proc = GetProcAddress(module, name); proc != nullptr) {
        function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(proc);
        return;
      }
    }
    release();
    throw ESocketError(rtl::Format("OpenSSL cannot be loaded: neither %s nor %s has %s", names[0],
                                   names[1], name));
  };
#define LARKPOST_OPENSSL_BIND(name) bind(bound->name, #name);
  LARKPOST_OPENSSL_FUNCTIONS(LARKPOST_OPENSSL_BIND)
#undef LARKPOST_OPENSSL_BIND
  return bound.release();
}

}  // namespace

const TOpenSsl& OpenSsl() {
  static const TOpenSsl* bound = Bind();
  return *bound;
}

}  // namespace net
