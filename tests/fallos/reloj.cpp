// A wall clock that steps back, for the process tests: loaded into the
// bridge with LD_PRELOAD, it makes time(), gettimeofday() and the realtime
// clocks read GPB_RELOJ_ATRAS seconds behind while the file named by
// GPB_RELOJ_MARCA exists (an NTP correction, as the bridge would see it).

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

namespace {

long atraso() {
  const char* marca = std::getenv("GPB_RELOJ_MARCA");
  const char* segundos = std::getenv("GPB_RELOJ_ATRAS");
  struct stat st;
  if (marca == nullptr || segundos == nullptr || stat(marca, &st) != 0) return 0;
  return std::atol(segundos);
}

}  // namespace

extern "C" {

int clock_gettime(clockid_t reloj, timespec* t) {
  auto f = reinterpret_cast<int (*)(clockid_t, timespec*)>(dlsym(RTLD_NEXT, "clock_gettime"));
  int r = f(reloj, t);
  if (r == 0 && (reloj == CLOCK_REALTIME || reloj == CLOCK_REALTIME_COARSE)) t->tv_sec -= atraso();
  return r;
}

time_t time(time_t* salida) {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  if (salida) *salida = t.tv_sec;
  return t.tv_sec;
}

int gettimeofday(timeval* tv, void* zona) {
  auto f = reinterpret_cast<int (*)(timeval*, void*)>(dlsym(RTLD_NEXT, "gettimeofday"));
  int r = f(tv, zona);
  if (r == 0) tv->tv_sec -= atraso();
  return r;
}

}  // extern "C"
