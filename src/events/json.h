// JSON string literals on the event stream.
#pragma once

#include <cstdio>

// Where events go: standard output in the bridge, a memory stream in tests.
extern std::FILE* salida;

// Writes `texto` as a JSON string literal: quote and backslash escaped,
// bytes 0x01-0x1F as \u00XX, everything else (0x7F and above included)
// unchanged so UTF-8 passes through as it came.
void jsonTexto(const char* texto);
