// The least a program can do to read a camera's configuration with
// libgphoto2, for bench/configuracion.py to hold the bridge against:
//
//   arbol tree N        N whole-tree reads (gp_camera_get_config), each
//                       walked, every leaf's name, label, type, read-only
//                       flag, value, choices and range read, as the bridge
//                       reads them for `configuracion`
//   arbol one N NAME    N reads of one widget (gp_camera_get_single_config)
//                       and its value, as `leer NAME` makes
//
// Opens the first camera detected, as the bridge's `abrir 0` does. Prints
// one line: "us" and the microseconds of each read, "cpu" and the CPU
// microseconds of each, then "maxrss" and the peak resident size in kB.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "detectar.h"

namespace {

unsigned long leido = 0;  // keeps the reads from being optimised away

void leerHoja(CameraWidget* w, CameraWidgetType tipo) {
  const char* texto = nullptr;
  int ro = 0;
  gp_widget_get_label(w, &texto);
  gp_widget_get_readonly(w, &ro);
  leido += ro + (texto ? std::strlen(texto) : 0);
  switch (tipo) {
    case GP_WIDGET_RANGE: {
      float v = 0, a = 0, b = 0, c = 0;
      gp_widget_get_value(w, &v);
      gp_widget_get_range(w, &a, &b, &c);
      leido += static_cast<unsigned long>(v + a + b + c);
      break;
    }
    case GP_WIDGET_TOGGLE:
    case GP_WIDGET_DATE: {
      int v = 0;
      gp_widget_get_value(w, &v);
      leido += static_cast<unsigned long>(v);
      break;
    }
    default: {
      const char* v = nullptr;
      gp_widget_get_value(w, &v);
      leido += v ? std::strlen(v) : 0;
      const int n = gp_widget_count_choices(w);
      for (int i = 0; i < n; ++i) {
        const char* c = nullptr;
        if (gp_widget_get_choice(w, i, &c) >= 0 && c) leido += std::strlen(c);
      }
    }
  }
}

void recorrer(CameraWidget* w) {
  CameraWidgetType tipo;
  const char* nombre = nullptr;
  gp_widget_get_type(w, &tipo);
  gp_widget_get_name(w, &nombre);
  leido += nombre ? std::strlen(nombre) : 0;
  if (tipo == GP_WIDGET_WINDOW || tipo == GP_WIDGET_SECTION) {
    const int n = gp_widget_count_children(w);
    for (int i = 0; i < n; ++i) {
      CameraWidget* hijo = nullptr;
      if (gp_widget_get_child(w, i, &hijo) >= 0) recorrer(hijo);
    }
  } else if (tipo != GP_WIDGET_BUTTON) {
    leerHoja(w, tipo);
  }
}

long long cpuUs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

}  // namespace

int main(int argc, char** argv) {
  const bool arbol = argc == 3 && std::strcmp(argv[1], "tree") == 0;
  if (!arbol && !(argc == 4 && std::strcmp(argv[1], "one") == 0)) {
    std::fprintf(stderr, "usage: arbol tree N | arbol one N NAME\n");
    return 2;
  }
  const int veces = std::atoi(argv[2]);
  GPContext* ctx = gp_context_new();
  Deteccion d = detectar(ctx);
  Camera* camara = abrirPrimera(ctx, d);
  if (!camara) {
    std::fprintf(stderr, "arbol: no camera\n");
    return 1;
  }
  std::vector<long long> cpu;
  std::printf("us");
  for (int i = 0; i < veces; ++i) {
    const long long c0 = cpuUs();
    const auto t0 = std::chrono::steady_clock::now();
    CameraWidget* w = nullptr;
    const int r = arbol ? gp_camera_get_config(camara, &w, ctx)
                        : gp_camera_get_single_config(camara, argv[3], &w, ctx);
    if (r < 0) {
      std::fprintf(stderr, "arbol: read failed: %d\n", r);
      return 1;
    }
    recorrer(w);
    gp_widget_free(w);
    const auto t1 = std::chrono::steady_clock::now();
    cpu.push_back(cpuUs() - c0);
    std::printf(" %lld",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::microseconds>(t1 - t0).count()));
  }
  std::printf(" cpu");
  for (long long c : cpu) std::printf(" %lld", c);
  rusage uso{};
  getrusage(RUSAGE_SELF, &uso);
  std::printf(" maxrss %ld\n", uso.ru_maxrss);
  std::fflush(stdout);
  gp_camera_exit(camara, ctx);
  gp_camera_free(camara);
  return leido == 0 ? 3 : 0;
}
