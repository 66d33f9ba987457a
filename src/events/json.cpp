#include "events/json.h"

std::FILE* salida = stdout;

void jsonTexto(const char* texto) {
  std::putc('"', salida);
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(texto); *p; ++p) {
    unsigned char c = *p;
    if (c == '\\' || c == '"') {
      std::putc('\\', salida);
      std::putc(c, salida);
    } else if (c < 0x20) {
      std::fprintf(salida, "\\u%04x", c);
    } else {
      std::putc(c, salida);
    }
  }
  std::putc('"', salida);
}
