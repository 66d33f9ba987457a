// The command table: matches one framed line and runs its handler.
#pragma once

#include <cstdint>
#include <string_view>

// Arguments of "abrir <index> <folder>".
struct ArgumentosAbrir {
  std::int64_t indice;
  std::string_view carpeta;  // ends where the line ends
};

// Splits the text after "abrir " at its first space. Without a space the
// command is not valid and nothing is returned.
bool leerAbrir(std::string_view resto, ArgumentosAbrir& args);

// Reads a decimal index the way atoi does (leading white space, optional
// sign, digits up to the first non-digit, none gives 0), clamping values far
// outside any camera list instead of overflowing.
std::int64_t leerIndice(std::string_view texto);

// One entry of the command table.
struct Comando {
  std::string_view texto;
  bool prefijo;  // false: the line must equal `texto` exactly
  void (*orden)(std::string_view resto);
};

// The table entry `linea` selects: the first that matches, or null for lines
// that match nothing or hold a zero byte.
const Comando* buscarComando(std::string_view linea);

// Runs the handler of the first table entry that matches `linea`; lines that
// match nothing, or that hold a zero byte, are ignored.
void despachar(std::string_view linea);
