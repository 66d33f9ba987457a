#include "core/lector.h"

#include <cstring>

namespace {
constexpr std::size_t kMaximo = sizeof(Entrada::linea) - 1;  // room for the zero byte

// Drops the first `n` bytes of the buffer.
void consumir(Entrada& e, std::size_t n) {
  std::memmove(e.linea, e.linea + n, e.b - n);
  e.b -= n;
  e.linea[e.b] = '\0';
}
}  // namespace

std::span<char> espacioLibre(Entrada& e) { return {e.linea + e.b, kMaximo - e.b}; }

void anadirLeidos(Entrada& e, std::size_t n) {
  e.b += n;
  e.linea[e.b] = '\0';
}

std::optional<std::string_view> sacarLinea(Entrada& e, std::span<char, 8192> destino) {
  for (;;) {
    const char* lf = static_cast<const char*>(std::memchr(e.linea, '\n', e.b));
    if (lf == nullptr) {
      // No complete line. The tail of a line being discarded can go at once;
      // a line that has filled the buffer starts being discarded.
      if (e.descartando || e.b == kMaximo) {
        e.descartando = true;
        e.b = 0;
        e.linea[0] = '\0';
      }
      return std::nullopt;
    }
    std::size_t consumidos = static_cast<std::size_t>(lf - e.linea) + 1;
    if (e.descartando) {
      e.descartando = false;
      consumir(e, consumidos);
      continue;
    }
    std::size_t largo = consumidos - 1;
    if (const void* cr = std::memchr(e.linea, '\r', largo)) {
      largo = static_cast<std::size_t>(static_cast<const char*>(cr) - e.linea);
    }
    std::memcpy(destino.data(), e.linea, largo);
    destino[largo] = '\0';
    consumir(e, consumidos);
    return std::string_view(destino.data(), largo);
  }
}
