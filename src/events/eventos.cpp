#include "events/eventos.h"

#include <gphoto2/gphoto2-result.h>

#include <cerrno>
#include <cstdio>

#include "events/json.h"

namespace {

bool rota = false;

// Every event ends here. A host that has stopped reading makes the write
// fail with EPIPE (SIGPIPE is ignored): the bridge then winds down as at
// the end of input.
void vaciar() {
  // A full buffer may have written (and failed) before the flush.
  if ((std::fflush(salida) != 0 || std::ferror(salida)) && errno == EPIPE) rota = true;
}

}  // namespace

void escribir(const char* literal) {
  for (const char* p = literal; *p; ++p) putc_unlocked(*p, salida);
}

bool salidaRota() { return rota; }

void terminarEvento() {
  std::fputs("}\n", salida);
  vaciar();
}

void enviarError(const char* etiqueta, int estado) {
  char texto[512];
  std::snprintf(texto, sizeof texto, "%s: %s", etiqueta, gp_result_as_string(estado));
  escribir("{\"e\":\"error\",\"texto\":");
  jsonTexto(texto);
  terminarEvento();
}

void enviarErrorCarpeta() {
  escribir("{\"e\":\"error\",\"texto\":\"No se puede guardar en la carpeta\"");
  terminarEvento();
}

void enviarAbierta(const char* modelo) {
  escribir("{\"e\":\"abierta\",\"modelo\":");
  jsonTexto(modelo);
  terminarEvento();
}

void enviarCerrada(const char* motivo) {
  escribir("{\"e\":\"cerrada\",\"motivo\":");
  jsonTexto(motivo);
  terminarEvento();
}

void enviarFoto(const char* ruta, const char* nombre) {
  escribir("{\"e\":\"foto\",\"ruta\":");
  jsonTexto(ruta);
  escribir(",\"nombre\":");
  jsonTexto(nombre);
  terminarEvento();
}

void enviarVista(const char* ruta, std::int32_t n) {
  escribir("{\"e\":\"vista\",\"ruta\":");
  jsonTexto(ruta);
  std::fprintf(salida, ",\"n\":%d", static_cast<int>(n));
  terminarEvento();
}

void enviarVistaFin() {
  escribir("{\"e\":\"vistaFin\"");
  terminarEvento();
}

void enviarAjustesLinea(const char* iso, const char* diafragma, const char* velocidad,
                        const char* bateria) {
  escribir("{\"e\":\"ajustes\",\"iso\":");
  jsonTexto(iso);
  escribir(",\"diafragma\":");
  jsonTexto(diafragma);
  escribir(",\"velocidad\":");
  jsonTexto(velocidad);
  escribir(",\"bateria\":");
  jsonTexto(bateria);
  terminarEvento();
}
