#include "events/json.h"

#include <cstring>

std::FILE* salida = stdout;

namespace {

constexpr char kHex[] = "0123456789abcdef";

// The position and length are kept in locals while a text is copied, so
// the byte stores cannot make the compiler reload them.
struct Cursor {
  Tramo& t;
  char* d;
  std::size_t n;
  explicit Cursor(Tramo& tramo) : t(tramo), d(tramo.datos), n(tramo.n) {}
  ~Cursor() { t.n = n; }
  void poner(char c) {
    if (n == sizeof t.datos) {
      t.n = n;
      volcarTramo(t);
      n = 0;
    }
    d[n++] = c;
  }
  void copiar(const char* desde, std::size_t largo) {
    while (largo > 0) {
      if (n == sizeof t.datos) {
        t.n = n;
        volcarTramo(t);
        n = 0;
      }
      const std::size_t cabe = sizeof t.datos - n < largo ? sizeof t.datos - n : largo;
      std::memcpy(d + n, desde, cabe);
      n += cabe;
      desde += cabe;
      largo -= cabe;
    }
  }
};

}  // namespace

void anadirLiteral(Tramo& t, const char* literal) {
  Cursor c(t);
  for (const char* p = literal; *p; ++p) c.poner(*p);
}

void anadirTexto(Tramo& t, const char* texto) {
  Cursor c(t);
  c.poner('"');
  const unsigned char* p = reinterpret_cast<const unsigned char*>(texto);
  for (;;) {
    // A run of bytes that need no escape (the zero byte ends it too) is
    // copied in one go.
    const unsigned char* inicio = p;
    while (*p >= 0x20 && *p != '"' && *p != '\\') ++p;
    c.copiar(reinterpret_cast<const char*>(inicio), static_cast<std::size_t>(p - inicio));
    const unsigned char b = *p++;
    if (b == '\0') break;
    if (b == '\\' || b == '"') {
      c.poner('\\');
      c.poner(static_cast<char>(b));
    } else {
      c.poner('\\');
      c.poner('u');
      c.poner('0');
      c.poner('0');
      c.poner(kHex[b >> 4]);
      c.poner(kHex[b & 0xf]);
    }
  }
  c.poner('"');
}

void volcarTramo(Tramo& t) {
  // One thread writes events: the stream's lock would only cost time.
  if (t.n > 0) fwrite_unlocked(t.datos, 1, t.n, salida);
  t.n = 0;
}

void jsonTexto(const char* texto) {
  Tramo t;
  anadirTexto(t, texto);
  volcarTramo(t);
}
