// The camera event pump: one event wait per loop turn while a camera is open.
#pragma once

// The camera wait of a turn with live view off, and the whole turn with it on.
inline constexpr int kEsperaReposoMs = 200;
inline constexpr int kEsperaVistaMs = 10;
// In alert mode: the camera's wait, a mere look at what it has to announce
// (as a live-view turn with no time left makes), and the wait on standard
// input between two of them: short enough that a camera event is still
// noticed within 100 ms, long enough that an idle bridge stays asleep.
inline constexpr int kEsperaAlertaMs = 0;
inline constexpr int kEntradaAlertaMs = 90;

// How long a close waits for the files of shots still in flight.
inline constexpr int kEsperaDisparosMs = 5000;

// Waits up to `esperaMs` for one camera event. A new file is downloaded and
// followed by a settings report; a disconnection closes the camera; other
// failures are reported. Outside live view, re-reports the settings every
// 3 seconds. True when the camera announced something (more may follow).
bool esperarEvento(int esperaMs);

// Before a close: while a shot fired by `disparar` has not produced its
// files, keeps servicing camera events (downloading what arrives) until
// kEsperaDisparosMs have passed. Returns at once when no shot is in flight.
// The camera may be closed as disconnected meanwhile.
void recogerDisparos();

// True for the wait failures that mean the camera has gone.
bool esDesconexion(int estadoLib);
