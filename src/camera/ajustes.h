// The settings report: ISO, aperture, shutter speed and battery level, and
// the one rule that picks the camera widget behind each of them.
#pragma once

#include <gphoto2/gphoto2.h>

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

// The widget behind a setting, for `ajustes`, `opciones` and `ajustar`
// alike: among the comma-separated configuration names in `nombres`, the
// first the camera has as a text, radio or menu widget with a value, else
// the first it has as such a widget at all. A name the camera does not have
// passes to the next; any other failure to read one ends the search with its
// status. Returns GP_OK with the widget (the caller frees it) and its name,
// or GP_ERROR_BAD_PARAMETERS when there is none.
int widgetDeAjuste(const char* nombres, CameraWidget** widget, char (&nombre)[32]);

// The value of the setting's widget (see widgetDeAjuste), cut to fit
// `salida`; empty if there is none or it cannot be read.
void leerAjuste(const char* nombres, std::span<char, 64> salida);

// Emits one `ajustes` event and restarts the idle report interval.
void enviarAjustes();
