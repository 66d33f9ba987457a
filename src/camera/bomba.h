// The camera event pump: one event wait per loop turn while a camera is open.
#pragma once

// Waits up to 10 ms (live view on) or 200 ms for one camera event. A new
// file is downloaded and followed by a settings report; a disconnection
// closes the camera; other failures are reported. While idle, re-reports the
// settings every 3 seconds.
void esperarEvento();

// True for the wait failures that mean the camera has gone.
bool esDesconexion(int estadoLib);
