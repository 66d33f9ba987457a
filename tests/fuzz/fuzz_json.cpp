// Fuzzes the event writer: an event carrying arbitrary bytes must come out as
// one JSON object line whose string values decode back to exactly those bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "events/eventos.h"
#include "events/json.h"

namespace {

void verificar(bool condicion) {
  if (!condicion) std::abort();
}

int hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses one JSON string literal at `p`, strict about escapes and control
// bytes; returns the decoded bytes and advances `p`.
std::string cadena(std::string_view& p) {
  verificar(!p.empty() && p[0] == '"');
  p.remove_prefix(1);
  std::string salida;
  for (;;) {
    verificar(!p.empty());
    unsigned char c = static_cast<unsigned char>(p[0]);
    p.remove_prefix(1);
    if (c == '"') return salida;
    verificar(c >= 0x20);
    if (c != '\\') {
      salida.push_back(static_cast<char>(c));
      continue;
    }
    verificar(!p.empty());
    char e = p[0];
    p.remove_prefix(1);
    switch (e) {
      case '"':
      case '\\':
      case '/':
        salida.push_back(e);
        break;
      case 'b':
        salida.push_back('\b');
        break;
      case 'f':
        salida.push_back('\f');
        break;
      case 'n':
        salida.push_back('\n');
        break;
      case 'r':
        salida.push_back('\r');
        break;
      case 't':
        salida.push_back('\t');
        break;
      case 'u': {
        verificar(p.size() >= 4);
        int v = 0;
        for (int i = 0; i < 4; ++i) {
          int h = hex(p[i]);
          verificar(h >= 0);
          v = v * 16 + h;
        }
        p.remove_prefix(4);
        verificar(v < 0x80);  // the writer only escapes single bytes
        salida.push_back(static_cast<char>(v));
        break;
      }
      default:
        verificar(false);
    }
  }
}

void literal(std::string_view& p, std::string_view esperado) {
  verificar(p.starts_with(esperado));
  p.remove_prefix(esperado.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* datos, std::size_t largo) {
  // Strings on the wire end at their first zero byte, as C strings do.
  std::string texto(reinterpret_cast<const char*>(datos), largo);
  texto.resize(std::strlen(texto.c_str()));

  char* buffer = nullptr;
  std::size_t tam = 0;
  std::FILE* memoria = open_memstream(&buffer, &tam);
  salida = memoria;
  enviarFoto(texto.c_str(), texto.c_str());
  salida = stdout;
  std::fclose(memoria);

  std::string_view p(buffer, tam);
  verificar(p.ends_with("}\n"));
  verificar(p.find('\n') == p.size() - 1);
  literal(p, "{");
  verificar(cadena(p) == "e");
  literal(p, ":");
  verificar(cadena(p) == "foto");
  for (const char* clave : {"ruta", "nombre"}) {
    literal(p, ",");
    verificar(cadena(p) == clave);
    literal(p, ":");
    verificar(cadena(p) == texto);
  }
  literal(p, "}\n");
  verificar(p.empty());
  std::free(buffer);
  return 0;
}
