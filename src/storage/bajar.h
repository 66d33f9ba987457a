// Download of one photo from the open camera into the download folder.
#pragma once

// Copies the photo `nombre` in camera folder `carpetaCamara` into the download
// folder under a name that overwrites nothing, through a partial file renamed
// only once the data is on stable storage. Photos outside "/store_" folders
// are then deleted from the camera. Emits exactly one `foto` or `error`.
void bajarFoto(const char* carpetaCamara, const char* nombre);

// True for a camera file name that could escape the download folder or that
// ends like the bridge's own partial files.
bool nombrePeligroso(const char* nombre);

// True for the names of the live-view files: a photo may not take them when
// the download folder is the live-view directory.
bool nombreDeVista(const char* nombre);
