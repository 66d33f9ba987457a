#include "events/json.h"

std::FILE* salida = stdout;

namespace {

constexpr char kHex[] = "0123456789abcdef";

}  // namespace

// One thread writes events, and the stream is fully buffered (every event
// ends with a flush): putc_unlocked then stores a byte straight into the
// buffer, which takes a megabyte configuration line in a few milliseconds.
void jsonTexto(const char* texto) {
  putc_unlocked('"', salida);
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(texto); *p; ++p) {
    const unsigned char c = *p;
    if (c == '\\' || c == '"') {
      putc_unlocked('\\', salida);
      putc_unlocked(c, salida);
    } else if (c < 0x20) {
      putc_unlocked('\\', salida);
      putc_unlocked('u', salida);
      putc_unlocked('0', salida);
      putc_unlocked('0', salida);
      putc_unlocked(kHex[c >> 4], salida);
      putc_unlocked(kHex[c & 0xf], salida);
    } else {
      putc_unlocked(c, salida);
    }
  }
  putc_unlocked('"', salida);
}
