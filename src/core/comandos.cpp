#include "core/comandos.h"

#include <array>

#include "camera/alerta.h"
#include "camera/captura.h"
#include "camera/conexion.h"
#include "camera/control.h"
#include "camera/descubrir.h"
#include "camera/opciones.h"
#include "camera/vista.h"

namespace {

void ordenAbrir(std::string_view resto) {
  ArgumentosAbrir args;
  if (!leerAbrir(resto, args)) return;
  // The folder runs to the end of the line, which is zero-terminated.
  abrir(args.indice, args.carpeta.data());
}

constexpr std::array<Comando, 15> kComandos{{
    {"buscar", false, [](std::string_view) { buscar(); }},
    {"abrir ", true, ordenAbrir},
    {"disparar", false, [](std::string_view) { disparar(); }},
    {"vista 0", false, [](std::string_view) { apagarVista(); }},
    {"vista 1", false, [](std::string_view) { encenderVista(); }},
    {"alerta 1", false, [](std::string_view) { encenderAlerta(); }},
    {"alerta 0", false, [](std::string_view) { apagarAlerta(); }},
    {"cerrar", false, [](std::string_view) { cerrar(); }},
    {"salir", false, [](std::string_view) { salir(); }},
    {"opciones", false, [](std::string_view) { enviarOpciones(); }},
    {"ajustar ", true, ajustar},
    // Without a key: answered like an unknown key.
    {"ajustar", false, ajustar},
    {"configuracion", false, [](std::string_view) { enviarConfiguracion(); }},
    {"leer ", true, leer},
    // Without a name: answered like an unknown name.
    {"leer", false, leer},
}};

bool esEspacio(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

std::int64_t leerIndice(std::string_view texto) {
  std::size_t i = 0;
  while (i < texto.size() && esEspacio(texto[i])) ++i;
  bool negativo = false;
  if (i < texto.size() && (texto[i] == '+' || texto[i] == '-')) negativo = texto[i++] == '-';
  // Anything past this is out of range for every camera list; stop growing.
  constexpr std::int64_t kTope = std::int64_t{1} << 40;
  std::int64_t valor = 0;
  for (; i < texto.size() && texto[i] >= '0' && texto[i] <= '9'; ++i) {
    if (valor < kTope) valor = valor * 10 + (texto[i] - '0');
  }
  return negativo ? -valor : valor;
}

bool leerAbrir(std::string_view resto, ArgumentosAbrir& args) {
  std::size_t espacio = resto.find(' ');
  if (espacio == std::string_view::npos) return false;
  args.indice = leerIndice(resto.substr(0, espacio));
  args.carpeta = resto.substr(espacio + 1);
  return true;
}

const Comando* buscarComando(std::string_view linea) {
  if (linea.find('\0') != std::string_view::npos) return nullptr;
  for (const Comando& c : kComandos) {
    if (c.prefijo ? linea.starts_with(c.texto) : linea == c.texto) return &c;
  }
  return nullptr;
}

void despachar(std::string_view linea) {
  if (const Comando* c = buscarComando(linea)) c->orden(linea.substr(c->texto.size()));
}
