// Fuzzes the command reader: framing of arbitrary input split into arbitrary
// reads, command matching and `abrir` argument parsing. Handlers are not run.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/comandos.h"
#include "core/lector.h"

namespace {
void verificar(bool condicion) {
  if (!condicion) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* datos, std::size_t largo) {
  static Entrada e;
  static char linea[8192];
  e = Entrada{};
  std::size_t hecho = 0;
  while (hecho < largo) {
    // The first byte of each step decides how much one read delivers.
    std::size_t trozo = 1 + datos[hecho] * 37u;
    std::span<char> libre = espacioLibre(e);
    verificar(!libre.empty());
    std::size_t n = std::min({trozo, libre.size(), largo - hecho});
    std::memcpy(libre.data(), datos + hecho, n);
    anadirLeidos(e, n);
    hecho += n;
    verificar(e.b < sizeof e.linea && e.linea[e.b] == '\0');
    while (auto l = sacarLinea(e, linea)) {
      verificar(l->size() <= 8190);
      verificar(l->find('\n') == std::string_view::npos);
      verificar(l->find('\r') == std::string_view::npos);
      verificar(l->data()[l->size()] == '\0');
      const Comando* c = buscarComando(*l);
      if (c == nullptr) continue;
      verificar(l->starts_with(c->texto));
      if (c->prefijo) {
        ArgumentosAbrir args;
        if (leerAbrir(l->substr(c->texto.size()), args)) {
          verificar(args.carpeta.data() + args.carpeta.size() == l->data() + l->size());
        }
      }
    }
  }
  return 0;
}
