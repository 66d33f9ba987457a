#include "core/senales.h"

#include "core/bridge_state.h"

namespace {

constexpr int kSenalesDeFin[] = {SIGTERM, SIGINT, SIGHUP};

sigset_t mascaraAbierta;

void alFin(int) { estado.senalDeFin = 1; }

}  // namespace

void prepararSenales() {
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t fin;
  sigemptyset(&fin);
  for (int s : kSenalesDeFin) {
    struct sigaction antes {};
    sigaction(s, nullptr, &antes);
    if (antes.sa_handler == SIG_IGN) continue;
    struct sigaction accion {};
    accion.sa_handler = alFin;
    sigemptyset(&accion.sa_mask);
    sigaction(s, &accion, nullptr);
    sigaddset(&fin, s);
  }
  sigprocmask(SIG_BLOCK, &fin, &mascaraAbierta);
  for (int s : kSenalesDeFin) {
    if (sigismember(&fin, s)) sigdelset(&mascaraAbierta, s);
  }
}

const sigset_t* mascaraDeEspera() { return &mascaraAbierta; }
