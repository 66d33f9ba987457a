// `ajustar` of any widget: the checks that refuse a value without asking
// the camera, the set, and the read back.
#pragma once

#include <gphoto2/gphoto2.h>

#include <string_view>

// True when `valor` may be written to `widget`: not read-only, and a choice
// of a radio or menu (never an empty one), 0 or 1 for a toggle, a number
// within a range's bounds, a whole number for a date; a text takes anything.
// Buttons and sections take nothing.
bool valorAdmitido(CameraWidget* widget, const char* valor);

// `ajustar NAME VALUE` for a NAME that is not one of the exposure keys: sets
// the element NAME names, reads it back and answers with its `control`
// event, or `ajustar: ...`. `valor` is zero-terminated.
void ajustarControl(std::string_view nombre, const char* valor);
