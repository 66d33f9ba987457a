// Listing and changing the exposure settings: `opciones` and `ajustar`.
#pragma once

#include <string_view>

// `opciones`: one `opciones` event with the choices of ISO, aperture and
// shutter speed, in the camera's order ([] where there are none).
void enviarOpciones();

// `ajustar KEY VALUE`: sets one exposure setting, then sends a fresh
// `ajustes`. `resto` is the text after "ajustar" and its space.
void ajustar(std::string_view resto);
