// Listing and changing the exposure settings: `opciones` and `ajustar`.
#pragma once

#include <string_view>

// `opciones`: one `opciones` event with the choices of ISO, aperture and
// shutter speed, in the camera's order ([] where there are none).
void enviarOpciones();

// `ajustar NAME VALUE`: an exposure key (iso, diafragma, velocidad) is set
// and answered with a fresh `ajustes`; any other NAME is a widget, answered
// with its `control` event. `resto` is the text after "ajustar" and its
// space, zero-terminated where the line ends.
void ajustar(std::string_view resto);
