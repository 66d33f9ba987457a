#include "storage/propios.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

bool esPropio(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid();
}

int crearPropio(const char* ruta) {
  constexpr int kModo =
      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = open(ruta, kModo, 0666);
  if (fd >= 0 || errno != EEXIST) return fd;
  struct stat st;
  if (lstat(ruta, &st) != 0 || !esPropio(st) || unlink(ruta) != 0) {
    errno = EEXIST;
    return -1;
  }
  return open(ruta, kModo, 0666);
}

bool escribirYCerrar(int fd, std::span<const char> datos) {
  bool bien = true;
  while (bien && !datos.empty()) {
    ssize_t n = write(fd, datos.data(), datos.size());
    if (n < 0 && errno == EINTR) continue;
    bien = n > 0;
    if (bien) datos = datos.subspan(static_cast<std::size_t>(n));
  }
  return close(fd) == 0 && bien;
}
