// gpbridge: lets a host application control one tethered camera through
// libgphoto2. Commands arrive one per line on standard input; events leave
// as one JSON object per line on standard output.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "camera/conexion.h"
#include "core/bridge_state.h"
#include "core/bucle.h"
#include "core/senales.h"

namespace {

// A host may start the bridge with descriptor 0, 1 or 2 closed. The next file
// opened (a partial photo, a driver's file) would then take that number and
// receive events or be read as commands; /dev/null takes it first. A closed
// standard input thus reads as an immediate end of input.
void taparDescriptores() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int nulo = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (nulo >= 0 && nulo != fd) {
      dup2(nulo, fd);
      close(nulo);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  taparDescriptores();
  prepararSenales();
  // Under a file-size limit, a write past it must fail like any other write
  // (and be reported as the failed download it is), not kill the bridge.
  std::signal(SIGXFSZ, SIG_IGN);
  copiarTexto(estado.temporal, sizeof estado.temporal, argc > 1 ? argv[1] : "/tmp");
  estado.ctx = gp_context_new();
  // Every event ends with a flush (terminarEvento), so the stream need not
  // look for line feeds itself: fully buffered, a long configuration line
  // goes out in 64 KiB writes instead of a call per byte.
  static char bufferDeSalida[64 * 1024];
  std::setvbuf(stdout, bufferDeSalida, _IOFBF, sizeof bufferDeSalida);
  bucle();
  if (estado.camara) cerrarTrasDisparos("orden");
  return 0;
}
