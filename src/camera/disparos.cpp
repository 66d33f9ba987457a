#include "camera/disparos.h"

#include <cstdint>
#include <cstring>

#include "core/bridge_state.h"

namespace {

// FNV-1a over the folder, a zero byte and the name up to its last dot (the
// whole name when it has none). A collision could only make a new shot look
// like a sibling, and the close still waits out its bound for it.
std::uint64_t tallo(const char* carpeta, const char* nombre) {
  std::uint64_t h = 14695981039346656037ull;
  auto mezclar = [&h](const char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      h ^= static_cast<unsigned char>(p[i]);
      h *= 1099511628211ull;
    }
  };
  mezclar(carpeta, std::strlen(carpeta) + 1);
  const char* punto = std::strrchr(nombre, '.');
  mezclar(nombre, punto ? static_cast<std::size_t>(punto - nombre) : std::strlen(nombre));
  return h;
}

}  // namespace

void anotarDisparo() { ++estado.disparos.enVuelo; }

void anotarArchivo(const char* carpeta, const char* nombre) {
  Disparos& d = estado.disparos;
  const std::uint64_t h = tallo(carpeta, nombre);
  for (unsigned i = 0; i < d.anotados; ++i) {
    if (d.tallos[i] == h) return;
  }
  constexpr unsigned kHuecos = sizeof d.tallos / sizeof d.tallos[0];
  d.tallos[d.siguiente] = h;
  d.siguiente = (d.siguiente + 1) % kHuecos;
  if (d.anotados < kHuecos) ++d.anotados;
  if (d.enVuelo > 0) --d.enVuelo;
}

void olvidarDisparos() { estado.disparos = Disparos{}; }
