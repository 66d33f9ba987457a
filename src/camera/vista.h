// Live view: preview frames published as vista.jpg in the live-view directory.
#pragma once

#include <cstdint>

// `vista 1`: on, if a camera is open.
void encenderVista();
// `vista 0`: off, and the camera's viewfinder is switched off.
void apagarVista();
// Pulls one preview frame and publishes it whole by a rename.
void capturarVista();

// The number after frame `n`: counting restarts at 1 after the largest
// 32-bit value instead of overflowing.
std::int32_t siguienteCuadro(std::int32_t n);
