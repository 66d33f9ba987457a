// Fault injection for the process tests, loaded into the bridge with
// LD_PRELOAD. Chosen file calls on paths under one folder fail with a chosen
// errno on their n-th use, so the tests reach the failure paths that no real
// filesystem here produces on demand. It can also trace those calls, with
// the same clock as the simulated camera's log, to check their order.
//
//   GPB_FALLOS_RUTA  only calls on paths starting with this are touched
//   GPB_FALLOS       rules "OP:N:WHAT" separated by commas; N is the n-th
//                    matching call of OP (from 1) or * for every one; WHAT is
//                    an errno name, CREA to create the call's target path
//                    (as a stranger's file) just before the real call, or
//                    CAMBIA to swap its source path for a symbolic link to
//                    GPB_FALLOS_AJENO just before the real call
//   GPB_FALLOS_UID   the user id geteuid reports, so the files the bridge
//                    creates show another owner, as on a filesystem mounted
//                    with a fixed uid or an NFS export that squashes root
//   GPB_TRAZA        file that receives one line per matching call:
//                    "<monotonic seconds> <op> <path> [<path>] <result>"
//
// OP is one of open, write, fsync, rename, renameat2, link, unlink, close,
// flock, dup (fcntl F_DUPFD_CLOEXEC). Descriptor calls match on the descriptor's path.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

namespace {

struct Regla {
  char op[16];
  long n;   // 0: every call
  int err;  // 0: CREA, -2: CAMBIA
  long vistas;
};

Regla reglas[16];
int nReglas;
const char* ruta;
bool leidas;

constexpr struct {
  const char* nombre;
  int valor;
} kErrnos[] = {{"EIO", EIO},
               {"ENOSPC", ENOSPC},
               {"EINVAL", EINVAL},
               {"EPERM", EPERM},
               {"EACCES", EACCES},
               {"EMFILE", EMFILE},
               {"EEXIST", EEXIST},
               {"EXDEV", EXDEV},
               {"ENOSYS", ENOSYS},
               {"EROFS", EROFS},
               {"EDQUOT", EDQUOT},
               {"EFBIG", EFBIG},
               {"EOPNOTSUPP", EOPNOTSUPP},
               {"ENOLCK", ENOLCK}};

void leerReglas() {
  if (leidas) return;
  leidas = true;
  ruta = std::getenv("GPB_FALLOS_RUTA");
  const char* texto = std::getenv("GPB_FALLOS");
  if (texto == nullptr) return;
  char copia[1024];
  std::snprintf(copia, sizeof copia, "%s", texto);
  char* resto = nullptr;
  for (char* r = strtok_r(copia, ",", &resto); r && nReglas < 16;
       r = strtok_r(nullptr, ",", &resto)) {
    char op[16], n[16], que[16];
    if (std::sscanf(r, "%15[^:]:%15[^:]:%15s", op, n, que) != 3) continue;
    Regla& g = reglas[nReglas++];
    std::snprintf(g.op, sizeof g.op, "%s", op);
    g.n = n[0] == '*' ? 0 : std::atol(n);
    g.err = -1;
    if (std::strcmp(que, "CREA") == 0) g.err = 0;
    if (std::strcmp(que, "CAMBIA") == 0) g.err = -2;
    for (const auto& e : kErrnos)
      if (std::strcmp(que, e.nombre) == 0) g.err = e.valor;
    if (g.err == -1) --nReglas;
  }
}

template <typename F>
F real(const char* nombre) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, nombre));
}

bool enRuta(const char* p) {
  leerReglas();
  return ruta != nullptr && p != nullptr && std::string_view(p).starts_with(ruta);
}

// The path a descriptor refers to, or "" when it has none worth matching.
const char* rutaDe(int fd, char (&buf)[4400]) {
  char enlace[64];
  std::snprintf(enlace, sizeof enlace, "/proc/self/fd/%d", fd);
  auto leer = real<ssize_t (*)(const char*, char*, size_t)>("readlink");
  ssize_t n = leer(enlace, buf, sizeof buf - 1);
  buf[n > 0 ? n : 0] = '\0';
  return buf;
}

void trazar(const char* op, const char* a, const char* b, long resultado) {
  const char* destino = std::getenv("GPB_TRAZA");
  if (destino == nullptr) return;
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  char linea[9000];
  int n = std::snprintf(linea, sizeof linea, "%lld.%09ld %s %s%s%s %ld\n",
                        static_cast<long long>(t.tv_sec), t.tv_nsec, op, a, b ? " " : "",
                        b ? b : "", resultado);
  auto abrir = real<int (*)(const char*, int, ...)>("open");
  auto escribir = real<ssize_t (*)(int, const void*, size_t)>("write");
  auto cerrar = real<int (*)(int)>("close");
  int fd = abrir(destino, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  escribir(fd, linea,
           static_cast<size_t>(n < static_cast<int>(sizeof linea) ? n : sizeof linea - 1));
  cerrar(fd);
}

// The rule that decides this call: 0 to let it through (after creating
// `objetivo` or swapping `fuente` where the rule says so), or an errno to
// fail it.
int decidir(const char* op, const char* fuente, const char* objetivo) {
  for (int i = 0; i < nReglas; ++i) {
    Regla& g = reglas[i];
    if (std::strcmp(g.op, op) != 0) continue;
    ++g.vistas;
    if (g.n != 0 && g.vistas != g.n) continue;
    if (g.err > 0) return g.err;
    if (g.err == -2) {
      const char* ajeno = std::getenv("GPB_FALLOS_AJENO");
      real<int (*)(const char*)>("unlink")(fuente);
      symlink(ajeno ? ajeno : "/dev/null", fuente);
    } else if (objetivo) {
      auto abrir = real<int (*)(const char*, int, ...)>("open");
      int fd = abrir(objetivo, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd >= 0) {
        real<ssize_t (*)(int, const void*, size_t)>("write")(fd, "ajeno\n", 6);
        real<int (*)(int)>("close")(fd);
      }
    }
    return 0;
  }
  return 0;
}

// Runs one intercepted call: counts it against the rules, fails it or lets
// it through, and traces it.
template <typename Llamada>
long pasar(const char* op, const char* a, const char* b, Llamada llamada) {
  int err = decidir(op, a, b ? b : a);
  long r;
  if (err != 0) {
    if (std::strcmp(op, "close") == 0) llamada();  // a failed close still closes
    r = -1;
  } else {
    r = llamada();
    err = r < 0 ? errno : 0;
  }
  trazar(op, a, b, r < 0 ? -err : r);
  errno = err;
  return r;
}

}  // namespace

extern "C" {

int open(const char* p, int flags, ...) {
  mode_t modo = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list ap;
    va_start(ap, flags);
    modo = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  auto f = real<int (*)(const char*, int, ...)>("open");
  if (!enRuta(p)) return f(p, flags, modo);
  return static_cast<int>(pasar("open", p, nullptr, [&] { return long{f(p, flags, modo)}; }));
}

// The same calls under their large-file names.
int open64(const char* p, int flags, ...) __attribute__((alias("open")));

ssize_t write(int fd, const void* datos, size_t n) {
  auto f = real<ssize_t (*)(int, const void*, size_t)>("write");
  char buf[4400];
  if (fd <= 2 || !enRuta(rutaDe(fd, buf))) return f(fd, datos, n);
  return pasar("write", buf, nullptr, [&] { return long(f(fd, datos, n)); });
}

int fsync(int fd) {
  auto f = real<int (*)(int)>("fsync");
  char buf[4400];
  if (!enRuta(rutaDe(fd, buf))) return f(fd);
  return static_cast<int>(pasar("fsync", buf, nullptr, [&] { return long{f(fd)}; }));
}

int close(int fd) {
  auto f = real<int (*)(int)>("close");
  char buf[4400];
  if (fd <= 2 || !enRuta(rutaDe(fd, buf))) return f(fd);
  return static_cast<int>(pasar("close", buf, nullptr, [&] { return long{f(fd)}; }));
}

int rename(const char* a, const char* b) {
  auto f = real<int (*)(const char*, const char*)>("rename");
  if (!enRuta(a)) return f(a, b);
  return static_cast<int>(pasar("rename", a, b, [&] { return long{f(a, b)}; }));
}

int renameat2(int da, const char* a, int db, const char* b, unsigned int banderas) {
  auto f = real<int (*)(int, const char*, int, const char*, unsigned int)>("renameat2");
  if (!enRuta(a)) return f(da, a, db, b, banderas);
  return static_cast<int>(
      pasar("renameat2", a, b, [&] { return long{f(da, a, db, b, banderas)}; }));
}

int link(const char* a, const char* b) {
  auto f = real<int (*)(const char*, const char*)>("link");
  if (!enRuta(a)) return f(a, b);
  return static_cast<int>(pasar("link", a, b, [&] { return long{f(a, b)}; }));
}

int unlink(const char* p) {
  auto f = real<int (*)(const char*)>("unlink");
  if (!enRuta(p)) return f(p);
  return static_cast<int>(pasar("unlink", p, nullptr, [&] { return long{f(p)}; }));
}

int flock(int fd, int operacion) {
  auto f = real<int (*)(int, int)>("flock");
  char buf[4400];
  if (!enRuta(rutaDe(fd, buf))) return f(fd, operacion);
  return static_cast<int>(pasar("flock", buf, nullptr, [&] { return long{f(fd, operacion)}; }));
}

// Only the bridge is fooled: the namespace runner and mount on the way to it
// need the truth.
uid_t geteuid() {
  const char* uid = std::getenv("GPB_FALLOS_UID");
  if (uid && std::strcmp(program_invocation_short_name, "gpbridge") == 0) {
    return static_cast<uid_t>(std::strtoul(uid, nullptr, 10));
  }
  return real<uid_t (*)()>("geteuid")();
}

static int fcntlCon(int fd, int cmd, void* arg) {
  auto f = real<int (*)(int, int, ...)>("fcntl");
  char buf[4400];
  if (cmd != F_DUPFD_CLOEXEC || !enRuta(rutaDe(fd, buf))) return f(fd, cmd, arg);
  return static_cast<int>(pasar("dup", buf, nullptr, [&] { return long{f(fd, cmd, arg)}; }));
}

int fcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return fcntlCon(fd, cmd, arg);
}

int fcntl64(int fd, int cmd, ...) __attribute__((alias("fcntl")));

}  // extern "C"
