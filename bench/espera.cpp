// Reference for bench/reposo.py: the least a program can spend while a
// camera is open and idle. Detects and opens camera 0 with the same library
// calls as the bridge, then only calls gp_camera_wait_for_event with a 200 ms
// timeout for the given number of seconds, and prints the CPU seconds it
// used meanwhile (getrusage: user and system).
//
//   espera SECONDS
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "detectar.h"

static double cpu(int who, double* user, double* sys) {
  rusage ru{};
  getrusage(who, &ru);
  *user = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6;
  *sys = ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
  return *user + *sys;
}

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 60;
  GPContext* ctx = gp_context_new();
  Deteccion d = detectar(ctx);
  if (gp_list_count(d.lista) < 1) {
    std::printf("no camera\n");
    return 1;
  }
  Camera* camara = abrirPrimera(ctx, d);
  if (camara == nullptr) {
    std::printf("cannot open the camera\n");
    return 1;
  }

  double u0, s0, u1, s1;
  cpu(RUSAGE_SELF, &u0, &s0);
  auto fin = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  long esperas = 0;
  while (std::chrono::steady_clock::now() < fin) {
    CameraEventType tipo;
    void* datos = nullptr;
    gp_camera_wait_for_event(camara, 200, &tipo, &datos, ctx);
    std::free(datos);
    ++esperas;
  }
  cpu(RUSAGE_SELF, &u1, &s1);
  std::printf("waits %ld user %.6f system %.6f\n", esperas, u1 - u0, s1 - s0);
  gp_camera_exit(camara, ctx);
  gp_camera_free(camara);
  return 0;
}
