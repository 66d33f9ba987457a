// The bridge's one loop: standard input first, then the camera, every turn.
#pragma once

// Runs turns until standard input ends or cannot be read.
void bucle();
