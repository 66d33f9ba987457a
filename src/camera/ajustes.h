// The settings report: ISO, aperture, shutter speed and battery level.
#pragma once

#include <span>

// Reads the first non-empty string value among the comma-separated
// configuration names in `nombres` into `salida` (empty if none has one).
// Only text, radio and menu widgets carry a string.
void leerAjuste(const char* nombres, std::span<char, 64> salida);

// Emits one `ajustes` event and restarts the idle report interval.
void enviarAjustes();
