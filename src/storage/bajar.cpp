#include "storage/bajar.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/bridge_state.h"
#include "events/eventos.h"
#include "storage/propios.h"

namespace {

constexpr int kUltimoSufijo = 99999;

// Candidate destination number `i`: 1 is the photo's own name, 2 and up add
// "-i" before the extension (the part from the last dot on).
void formarDestino(char (&destino)[4300], const char* nombre, int i) {
  if (i == 1) {
    std::snprintf(destino, sizeof destino, "%s/%s", estado.carpeta, nombre);
    return;
  }
  const char* punto = std::strrchr(nombre, '.');
  int largoRaiz = static_cast<int>(punto ? punto - nombre : std::strlen(nombre));
  const char* extension = punto ? punto : "";
  std::snprintf(destino, sizeof destino, "%s/%.*s-%d%s", estado.carpeta, largoRaiz, nombre, i,
                extension);
}

// The first candidate from `desde` on at which nothing exists (any failure of
// stat counts as free), or 0 when every one is taken.
int primerLibre(char (&destino)[4300], const char* nombre, int desde) {
  for (int i = desde; i <= kUltimoSufijo; ++i) {
    formarDestino(destino, nombre, i);
    struct stat st;
    if (stat(destino, &st) != 0) return i;
  }
  return 0;
}

// Moves `parcial` to `destino` only if nothing is there, so a file that
// appeared since the probe (another process sharing the folder) is never
// replaced. Falls back to a hard link where the filesystem lacks the
// no-replace rename, and to a probe and a plain rename where it has neither
// (a small window, but the photo is saved). Fails with errno EEXIST on a clash.
bool renombrarSinPisar(const char* parcial, const char* destino) {
  if (renameat2(AT_FDCWD, parcial, AT_FDCWD, destino, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (link(parcial, destino) == 0) {
    unlink(parcial);
    return true;
  }
  if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return false;
  struct stat st;
  if (lstat(destino, &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return rename(parcial, destino) == 0;
}

// Flushes the download folder, so a new name in it survives a crash. Every
// destination is "<carpeta>/<name>", so an empty `carpeta` means the root.
bool sincronizarCarpeta() {
  const char* carpeta = estado.carpeta[0] ? estado.carpeta : "/";
  int fd = open(carpeta, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  // EINVAL: this filesystem cannot flush a directory at all; nothing more
  // can be done for the name, and refusing would make the folder unusable.
  bool bien = fsync(fd) == 0 || errno == EINVAL;
  close(fd);
  return bien;
}

// True when `ruta` names the very file open at `fd` (a link to it has an
// inode of its own), with what fstat says of that file left in `abierto`.
bool esElMismo(int fd, const char* ruta, struct stat& abierto) {
  struct stat enRuta;
  return fstat(fd, &abierto) == 0 && lstat(ruta, &enRuta) == 0 && abierto.st_dev == enRuta.st_dev &&
         abierto.st_ino == enRuta.st_ino;
}

// Opens the partial file for `destino` and locks it, so two processes that
// chose the same name never write into the same partial file.
//
// A partial file this call creates (O_EXCL) is ours whatever the folder
// says of its owner: on a filesystem mounted with a fixed uid, or an NFS
// export that squashes root, our own new file shows another owner. One
// that was already there must be a plain file of ours (esPropio): a leftover
// from an earlier failure, truncated and reused. A link, a FIFO, a device or
// another user's file marks the name as taken (`ocupado`), and is never
// opened in a way that can block, never truncated and never written.
int abrirParcial(const char* destino, char (&parcial)[4400], bool& ocupado) {
  constexpr int kEscribir = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  ocupado = false;
  std::snprintf(parcial, sizeof parcial, "%s%s", destino, kSufijoParcial);
  for (int intento = 0; intento < 8; ++intento) {
    bool creado = true;
    int fd = open(parcial, kEscribir | O_CREAT | O_EXCL, 0644);
    if (fd < 0 && errno == EEXIST) {
      creado = false;
      struct stat previo;
      if (lstat(parcial, &previo) == 0 && !esPropio(previo)) {
        ocupado = true;
        return -1;
      }
      // Something may be planted between the look and the open: O_NOFOLLOW
      // refuses a link, O_NONBLOCK keeps a FIFO from holding the open, and
      // no O_TRUNC, so nothing is cut before it has been checked.
      fd = open(parcial, kEscribir);
      if (fd < 0 && errno == ENOENT) continue;  // the leftover went meanwhile
    }
    if (fd < 0) {
      ocupado = errno == ELOOP || errno == ENXIO || errno == EISDIR || errno == EWOULDBLOCK ||
                errno == ETXTBSY;
      return -1;
    }
    struct stat abierto;
    if (!creado && (fstat(fd, &abierto) != 0 || !esPropio(abierto))) {
      close(fd);
      ocupado = true;
      return -1;
    }
    // A filesystem without locks (ENOLCK, say) still takes a file just
    // created here, which no one else has chosen; a leftover without a lock
    // could be another process's download in progress.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || !creado)) {
      ocupado = true;
      close(fd);
      return -1;
    }
    // The lock may have come free because its holder just renamed the file
    // to a photo's final name or removed it: then this descriptor is not the
    // partial file any more, and truncating it would destroy that photo.
    if (!esElMismo(fd, parcial, abierto) || (!creado && !esPropio(abierto))) {
      close(fd);
      continue;
    }
    if (!creado && ftruncate(fd, 0) != 0) {
      close(fd);
      unlink(parcial);
      return -1;
    }
    return fd;
  }
  return -1;
}

// True when the download folder is the live-view directory itself.
bool carpetaEsLaDeVista() {
  struct stat a, b;
  return stat(estado.carpeta[0] ? estado.carpeta : "/", &a) == 0 &&
         stat(estado.temporal[0] ? estado.temporal : "/", &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

}  // namespace

bool nombrePeligroso(const char* nombre) {
  return nombre[0] == '\0' || std::strcmp(nombre, ".") == 0 || std::strcmp(nombre, "..") == 0 ||
         std::strchr(nombre, '/') != nullptr || std::string_view(nombre).ends_with(kSufijoParcial);
}

bool nombreDeVista(const char* nombre) {
  std::string_view n(nombre);
  return n == kVistaPublicada || n.starts_with(kVistaTemporal);
}

void bajarFoto(const char* carpetaCamara, const char* nombre) {
  // A photo must never land on a name the bridge itself writes: the next
  // download or the next live-view frame would take it over, after the
  // camera's copy was deleted. Such a photo stays on the camera.
  if (nombrePeligroso(nombre) || (nombreDeVista(nombre) && carpetaEsLaDeVista())) {
    enviarError("bajar la foto", GP_ERROR_BAD_PARAMETERS);
    return;
  }

  char destino[4300];
  char parcial[4400];
  int i = primerLibre(destino, nombre, 1);
  int fd = -1;
  while (i != 0) {
    bool ocupado = false;
    fd = abrirParcial(destino, parcial, ocupado);
    if (fd >= 0 || !ocupado) break;
    i = primerLibre(destino, nombre, i + 1);
  }
  if (i == 0 || fd < 0) {
    enviarErrorCarpeta();
    return;
  }

  // The library closes the descriptor it wraps; a duplicate keeps the lock
  // and lets the data be flushed once the library is done with it.
  int propio = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  CameraFile* archivo = nullptr;
  int r = propio < 0 ? GP_ERROR_NO_MEMORY : gp_file_new_from_fd(&archivo, fd);
  if (r < 0) {
    close(fd);
    if (propio >= 0) close(propio);
    unlink(parcial);
    enviarError("bajar la foto", r);
    return;
  }
  r = gp_camera_file_get(estado.camara, carpetaCamara, nombre, GP_FILE_TYPE_NORMAL, archivo,
                         estado.ctx);
  gp_file_free(archivo);
  if (r < 0) {
    close(propio);
    unlink(parcial);
    enviarError("bajar la foto", r);
    return;
  }

  // The camera's copy may only go once ours is on stable storage and under
  // a name no one else holds.
  bool guardada = fsync(propio) == 0;
  while (guardada && !renombrarSinPisar(parcial, destino)) {
    guardada = errno == EEXIST && (i = primerLibre(destino, nombre, i + 1)) != 0;
  }
  // Where others can write to the folder, the partial name could have been
  // swapped for something else just before the rename. Only our own file,
  // the one the data went into, may be announced; anything else is left
  // where it is and the photo stays on the camera.
  struct stat abierto;
  if (guardada && !esElMismo(propio, destino, abierto)) {
    close(propio);
    enviarErrorCarpeta();
    return;
  }
  // A failed close can mean lost data on some filesystems: the photo then
  // does not count as saved, and the name just given to it is taken back.
  if (close(propio) != 0 && guardada) {
    unlink(destino);
    guardada = false;
  }
  if (guardada && !sincronizarCarpeta()) {
    unlink(destino);
    guardada = false;
  }
  if (!guardada) {
    unlink(parcial);
    enviarErrorCarpeta();
    return;
  }

  if (std::strncmp(carpetaCamara, "/store_", 7) != 0) {
    gp_camera_file_delete(estado.camara, carpetaCamara, nombre, estado.ctx);
  }
  const char* barra = std::strrchr(destino, '/');
  enviarFoto(destino, barra ? barra + 1 : destino);
}
