// The physical limit of live view on a driver: opens camera 0 with the same
// library calls as the bridge, then only calls gp_camera_capture_preview in a
// loop into one reused file, writing nothing, for the given number of
// seconds. The first preview (which starts live view on the camera) is not
// counted; the clock starts when it returns. Prints one line:
//
//   frames N seconds S user U system K bytes B
//
// (frames after the first, the seconds they took, the CPU seconds used
// meanwhile, the size of the last frame). bench/vista.py and
// bench/vista_ptp.py run it beside the bridge.
//
//   previa SECONDS
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "detectar.h"

static void cpu(double* user, double* sys) {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  *user = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6;
  *sys = ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}

int main(int argc, char** argv) {
  using Reloj = std::chrono::steady_clock;
  double seconds = argc > 1 ? std::atof(argv[1]) : 10;
  GPContext* ctx = gp_context_new();
  Deteccion d = detectar(ctx);
  Camera* camara = abrirPrimera(ctx, d);
  if (camara == nullptr) {
    std::printf("cannot open the camera\n");
    return 1;
  }
  CameraFile* cuadro = nullptr;
  gp_file_new(&cuadro);
  int r = gp_camera_capture_preview(camara, cuadro, ctx);
  if (r < 0) {
    std::printf("preview failed %d\n", r);
    return 1;
  }
  double u0, s0, u1, s1;
  cpu(&u0, &s0);
  const Reloj::time_point inicio = Reloj::now();
  const Reloj::time_point fin =
      inicio + std::chrono::duration_cast<Reloj::duration>(std::chrono::duration<double>(seconds));
  Reloj::time_point ultimo = inicio;
  long cuadros = 0;
  while (ultimo < fin) {
    r = gp_camera_capture_preview(camara, cuadro, ctx);
    ultimo = Reloj::now();
    if (r < 0) {
      std::printf("preview failed %d after %ld frames\n", r, cuadros);
      return 1;
    }
    ++cuadros;
  }
  cpu(&u1, &s1);
  const char* datos = nullptr;
  unsigned long tamano = 0;
  gp_file_get_data_and_size(cuadro, &datos, &tamano);
  std::printf("frames %ld seconds %.6f user %.6f system %.6f bytes %lu\n", cuadros,
              std::chrono::duration<double>(ultimo - inicio).count(), u1 - u0, s1 - s0, tamano);
  std::fflush(stdout);
  gp_file_unref(cuadro);
  gp_camera_exit(camara, ctx);
  gp_camera_free(camara);
  return 0;
}
