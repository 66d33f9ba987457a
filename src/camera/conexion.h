// Opening and closing the one camera the bridge holds.
#pragma once

#include <cstdint>

// Closes the open camera, if any, turns live view off and emits `cerrada`
// with `motivo` ("orden", "otra" or "desconectada").
void cerrada(const char* motivo);

// Reports a failed camera operation as `etiqueta: <library text>`; a
// camera that has gone is closed with `cerrada` "desconectada" instead.
void fallarOperacion(const char* etiqueta, int estadoLib);

// Opens camera number `indice` of a fresh detection and makes `carpeta` the
// download folder. Emits `abierta` and `ajustes`, or `error`.
void abrir(std::int64_t indice, const char* carpeta);

// `cerrar`: always answers with `cerrada` "orden".
void cerrar();

// `salir`: closes an open camera and ends the process with status 0.
[[noreturn]] void salir();
