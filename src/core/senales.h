// Signals: a service stop, a Ctrl-C or a hang-up ends the bridge in order.
#pragma once

#include <csignal>

// Makes SIGTERM, SIGINT and SIGHUP set estado.senalDeFin and blocks them, so
// they only arrive while the loop waits on standard input and never break a
// camera or file call. A signal the bridge was started with ignored stays
// ignored (nohup). SIGPIPE is ignored: a host that has gone shows as a
// failed write. Call before anything else starts threads.
void prepararSenales();

// The signal mask to wait on standard input with: the blocked end signals
// let through.
const sigset_t* mascaraDeEspera();
