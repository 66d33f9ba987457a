// JSON string literals on the event stream.
#pragma once

#include <cstddef>
#include <cstdio>

// Where events go: standard output in the bridge, a memory stream in tests.
extern std::FILE* salida;

// Writes `texto` as a JSON string literal: quote and backslash escaped,
// bytes 0x01-0x1F as \u00XX, everything else (0x7F and above included)
// unchanged so UTF-8 passes through as it came.
void jsonTexto(const char* texto);

// Event text gathered in a fixed buffer and handed to the stream in one
// call when full or emptied: an element with hundreds of choices costs a
// few writes, not a few per choice.
struct Tramo {
  char datos[8192];
  std::size_t n = 0;
};

// Adds literal protocol text as it is.
void anadirLiteral(Tramo& t, const char* literal);
// Adds `texto` as a JSON string literal, escaped as jsonTexto does.
void anadirTexto(Tramo& t, const char* texto);
// Hands what `t` holds to the stream and empties it.
void volcarTramo(Tramo& t);
