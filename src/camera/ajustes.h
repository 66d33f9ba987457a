// The settings report: ISO, aperture, shutter speed and battery level.
#pragma once

#include <span>
#include <string_view>

// One reported setting: its key in `ajustes` and the configuration names
// tried for it, in order.
struct Ajuste {
  std::string_view clave;
  const char* nombres;
};

// The three exposure settings a host can also list and change.
inline constexpr Ajuste kExposicion[] = {
    {"iso", "iso,exposureindex"},
    {"diafragma", "f-number,aperture"},
    {"velocidad", "shutterspeed,shutterspeed2"},
};

// Reads the first non-empty string value among the comma-separated
// configuration names in `nombres` into `salida` (empty if none has one).
// Only text, radio and menu widgets carry a string.
void leerAjuste(const char* nombres, std::span<char, 64> salida);

// Emits one `ajustes` event and restarts the idle report interval.
void enviarAjustes();
