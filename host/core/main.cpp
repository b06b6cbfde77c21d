// main.cpp - the Midavo program.
//
// Start-up: the application object ("Midavo 4.0"), the main form (which starts the host), the
// control panel window, attached to the kernel's control panel; then the event loop runs until
// the main form closes ("Shutdown Application"). SIGTERM, SIGINT and SIGHUP close the main form
// the same way, so the host also stops in order when the system or a terminal ends it.
//
// COM initialisation of the original platform has no counterpart here: nothing to do.
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <memory>

#include "controlpanel/UCPForm.h"
#include "core/UMainForm.h"

namespace {

int gSignalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(gSignalPipe[1], &byte, 1);
}

void CatchTerminationSignals() {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalPipe) != 0) return;
  struct sigaction action {};
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  // The user's locale (the kernel writes its times in the locale's format); numbers stay in the
  // C format for everything that parses them.
  std::setlocale(LC_ALL, "");
  TMDApplication app(argc, argv);
  std::setlocale(LC_NUMERIC, "C");

  QString why;
  if (!MDEventLoopServesGLib(&why)) {
    std::fprintf(stderr, "Midavo: %s\n", why.toLocal8Bit().constData());
    return 1;
  }

  CatchTerminationSignals();
  TMainForm mainForm;
  TCPForm cpForm;
  mainForm.AttachControlPanel(&cpForm);

  std::unique_ptr<QSocketNotifier> stopNotifier;
  if (gSignalPipe[0] >= 0) {
    stopNotifier = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, &mainForm, [&] {
      char byte;
      [[maybe_unused]] const ssize_t got = ::read(gSignalPipe[0], &byte, 1);
      mainForm.CloseForm();
    });
  }

  const int code = app.exec();
  // The host is down once the main form closed; this only matters when the loop ended otherwise.
  mainForm.FormClose();
  return code;
}
