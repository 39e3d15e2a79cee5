// qxoracle-standin: a stand-in Oracle listener and server for thin Oracle clients, so that real
// client programs can log in, execute and log off where no Oracle database runs. It records
// what the clients sent (see tools/qxoracle-standin/session.h for the log's lines).
//
//   qxoracle-standin --listen HOST:PORT --user USER --password PASSWORD [--log FILE]
//
// Runs in the foreground until SIGTERM or SIGINT. Port 0 picks a free port; the first log line
// ("0 LISTEN HOST:PORT") names the one in use. With QX_STANDIN_TRACE set in the environment,
// every request is also dumped in hex to stderr.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "qxoracle-standin/listener.h"

namespace {

int Usage() {
  fprintf(stderr,
          "usage: qxoracle-standin --listen HOST:PORT --user USER --password PASSWORD "
          "[--log FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string listen, log_path;
  standin::SessionConfig config;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    const std::string value = argv[++i];
    if (arg == "--listen") listen = value;
    else if (arg == "--user") config.user = value;
    else if (arg == "--password") config.password = value;
    else if (arg == "--log") log_path = value;
    else return Usage();
  }
  const size_t colon = listen.rfind(':');
  if (listen.empty() || colon == std::string::npos || config.user.empty()) return Usage();
  const std::string host = listen.substr(0, colon);
  int port = -1;
  try {
    port = std::stoi(listen.substr(colon + 1));
  } catch (const std::exception&) {
  }
  if (port < 0 || port > 65535) return Usage();

  FILE* out = stdout;
  if (!log_path.empty()) {
    out = fopen(log_path.c_str(), "a");
    if (!out) {
      fprintf(stderr, "qxoracle-standin: cannot open %s: %s\n", log_path.c_str(), strerror(errno));
      return 1;
    }
  }

  // Signals are taken by sigwait on this thread; every other thread inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  standin::StatementLog log(out);
  standin::Listener listener(config, log);
  std::string error;
  if (!listener.Open(host, port, &error)) {
    fprintf(stderr, "qxoracle-standin: %s\n", error.c_str());
    return 1;
  }
  log.Write(0, "LISTEN", host + ":" + std::to_string(listener.port()));
  std::thread server([&listener] { listener.Run(); });
  int sig = 0;
  sigwait(&stop_signals, &sig);
  listener.Stop();
  server.join();
  log.Write(0, "STOPPED");
  if (out != stdout) fclose(out);
  return 0;
}
