// qxpeer: a stand-in Oracle client and Oracle listener for testing relays. It replays recorded
// sessions from packet captures or generated sessions through a relay, playing the server on
// --listen and the client towards --relay, and checks that every byte arrives unchanged in
// both directions. It also measures round-trip latency and bulk throughput.
//
// Exit status: 0 when everything arrived identical, 1 on any difference or failure,
// 2 on a usage error.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "qxpeer/bench.h"
#include "qxpeer/capture.h"
#include "qxpeer/generate.h"
#include "qxpeer/net.h"
#include "qxpeer/replay.h"

namespace {

using namespace qxpeer;

const char kUsage[] =
    "usage:\n"
    "  qxpeer list --capture FILE [--steps]\n"
    "  qxpeer replay --capture FILE --relay HOST:PORT --listen HOST:PORT [--session N|all]\n"
    "  qxpeer generate --relay HOST:PORT --listen HOST:PORT [--sessions N] [--statements M]\n"
    "         [--concurrency C] [--service-name S] [--program P] [--host H] [--user U]\n"
    "         [--orauser O] [--framing old|new] [--statement-text TEXT ...] [--reply-size B]\n"
    "         [--terminal T] [--think-ms MS]\n"
    "         [--end packet|client-reset|server-reset] [--connect-gap-ms MS] [--together]\n"
    "  qxpeer bench-rtt --relay HOST:PORT --listen HOST:PORT [--count N] [--framing old|new]\n"
    "  qxpeer bench-bulk --relay HOST:PORT --listen HOST:PORT [--bytes B] [--framing old|new]\n"
    "replay and generate also take --chunk-bytes N [--chunk-gap-ms MS] (default 20): send in\n"
    "pieces of at most N bytes, MS apart\n"
    "every command also takes --timeout SECONDS (default 30): the longest wait without progress\n";

int Usage(const std::string& problem) {
  if (!problem.empty()) std::fprintf(stderr, "qxpeer: %s\n", problem.c_str());
  std::fputs(kUsage, stderr);
  return 2;
}

struct Args {
  std::map<std::string, std::string> values;
  std::vector<std::string> texts;  // every --statement-text
  bool steps = false;
  bool together = false;
};

bool ParseArgs(int argc, char** argv, Args* args, std::string* error) {
  static const char* kValued[] = {"--capture", "--relay", "--listen", "--session", "--sessions",
                                  "--statements", "--concurrency", "--service-name", "--program",
                                  "--host", "--user", "--orauser", "--framing", "--count", "--bytes",
                                  "--timeout", "--reply-size", "--terminal", "--think-ms",
                                  "--chunk-bytes", "--chunk-gap-ms", "--end", "--connect-gap-ms"};
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--steps" || a == "--together") {
      (a == "--steps" ? args->steps : args->together) = true;
      continue;
    }
    bool known = a == "--statement-text";
    for (const char* k : kValued) known = known || a == k;
    if (!known) {
      *error = "unknown option " + a;
      return false;
    }
    if (i + 1 >= argc) {
      *error = a + " needs a value";
      return false;
    }
    if (a == "--statement-text") args->texts.push_back(argv[++i]);
    else args->values[a] = argv[++i];
  }
  return true;
}

bool Number(const Args& args, const std::string& name, uint64_t low, uint64_t high, uint64_t* out,
            std::string* error) {
  auto it = args.values.find(name);
  if (it == args.values.end()) return true;
  const std::string& v = it->second;
  uint64_t n = 0;
  if (v.empty() || v.size() > 19) {
    *error = name + " needs a number";
    return false;
  }
  for (char c : v) {
    if (c < '0' || c > '9') {
      *error = name + " needs a number, got \"" + v + "\"";
      return false;
    }
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  if (n < low || n > high) {
    *error = name + " must lie between " + std::to_string(low) + " and " + std::to_string(high);
    return false;
  }
  *out = n;
  return true;
}

bool Endpoints(const Args& args, Endpoint* relay, Endpoint* listen, std::string* error) {
  auto r = args.values.find("--relay");
  auto l = args.values.find("--listen");
  if (r == args.values.end() || l == args.values.end()) {
    *error = "--relay and --listen are required";
    return false;
  }
  return ParseEndpoint(r->second, relay, error) && ParseEndpoint(l->second, listen, error);
}

bool ParseFraming(const Args& args, Framing* f, std::string* error) {
  auto it = args.values.find("--framing");
  if (it == args.values.end()) return true;
  if (it->second == "old") *f = Framing::kOld;
  else if (it->second == "new") *f = Framing::kNew;
  else {
    *error = "--framing must be old or new";
    return false;
  }
  return true;
}

std::string Value(const Args& args, const std::string& name, const std::string& fallback) {
  auto it = args.values.find(name);
  return it == args.values.end() ? fallback : it->second;
}

bool ParseChunking(const Args& args, RunOptions* run, std::string* error) {
  uint64_t bytes = 0, gap = 20;
  if (!Number(args, "--chunk-bytes", 1, 100000000, &bytes, error) ||
      !Number(args, "--chunk-gap-ms", 0, 10000, &gap, error))
    return false;
  run->chunk_bytes = static_cast<size_t>(bytes);
  run->chunk_gap_ms = static_cast<int>(gap);
  return true;
}

int List(const Args& args) {
  const std::string path = Value(args, "--capture", "");
  if (path.empty()) return Usage("--capture is required");
  Capture capture;
  std::string error;
  if (!ReadCapture(path, &capture, &error)) {
    std::fprintf(stderr, "qxpeer: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s: Oracle port %u, %zu connection(s)\n", path.c_str(), capture.oracle_port,
              capture.sessions.size());
  for (const std::string& w : capture.warnings) std::printf("  note: %s\n", w.c_str());
  for (const CaptureSession& s : capture.sessions) {
    std::printf("session %d: client %s -> server %s%s, %llu client bytes, %llu server bytes, %zu steps%s%s\n",
                s.number, s.client.c_str(), s.server.c_str(), s.on_oracle_port ? "" : " (not the Oracle port)",
                static_cast<unsigned long long>(s.client_bytes), static_cast<unsigned long long>(s.server_bytes),
                s.script.steps.size(), s.problem.empty() ? "" : "; cannot replay: ", s.problem.c_str());
    if (args.steps) std::fputs(Describe(s.script).c_str(), stdout);
  }
  return 0;
}

int Replay(const Args& args, int timeout_ms) {
  const std::string path = Value(args, "--capture", "");
  if (path.empty()) return Usage("--capture is required");
  RunOptions run;
  std::string error;
  if (!Endpoints(args, &run.relay, &run.listen, &error)) return Usage(error);
  run.timeout_ms = timeout_ms;
  if (!ParseChunking(args, &run, &error)) return Usage(error);
  Capture capture;
  if (!ReadCapture(path, &capture, &error)) {
    std::fprintf(stderr, "qxpeer: %s\n", error.c_str());
    return 1;
  }
  std::vector<const CaptureSession*> chosen;
  const std::string pick = Value(args, "--session", "");
  if (pick.empty()) {
    const CaptureSession* s = DefaultSession(capture);
    if (s == nullptr) {
      std::fprintf(stderr, "qxpeer: %s holds no replayable session\n", path.c_str());
      return 1;
    }
    chosen.push_back(s);
  } else if (pick == "all") {
    for (const CaptureSession& s : capture.sessions)
      if (s.client_bytes + s.server_bytes > 0) chosen.push_back(&s);
  } else {
    uint64_t n = 0;
    if (!Number(args, "--session", 1, capture.sessions.size(), &n, &error)) return Usage(error);
    chosen.push_back(&capture.sessions[n - 1]);
  }
  int failures = 0;
  for (const CaptureSession* s : chosen) {
    std::printf("replaying session %d (%s -> %s): %llu client bytes, %llu server bytes\n", s->number,
                s->client.c_str(), s->server.c_str(), static_cast<unsigned long long>(s->client_bytes),
                static_cast<unsigned long long>(s->server_bytes));
    if (!s->problem.empty()) {
      std::printf("FAILED session %d cannot be replayed: %s\n", s->number, s->problem.c_str());
      ++failures;
      continue;
    }
    const RunResult r = RunSessions(s->script, run);
    std::fputs(Summary(r).c_str(), stdout);
    if (!r.ok()) ++failures;
  }
  std::fflush(stdout);
  return failures == 0 ? 0 : 1;
}

int Generate(const Args& args, int timeout_ms) {
  RunOptions run;
  std::string error;
  if (!Endpoints(args, &run.relay, &run.listen, &error)) return Usage(error);
  run.timeout_ms = timeout_ms;
  if (!ParseChunking(args, &run, &error)) return Usage(error);
  uint64_t sessions = 1, statements = 10, concurrency = 1, reply = 100, think = 0, gap = 0;
  if (!Number(args, "--sessions", 0, 1000000, &sessions, &error) ||
      !Number(args, "--statements", 0, 1000000, &statements, &error) ||
      !Number(args, "--concurrency", 1, 10000, &concurrency, &error) ||
      !Number(args, "--reply-size", 12, 1000000, &reply, &error) ||
      !Number(args, "--think-ms", 0, 600000, &think, &error) ||
      !Number(args, "--connect-gap-ms", 0, 60000, &gap, &error))
    return Usage(error);
  run.connect_gap_ms = static_cast<int>(gap);
  GenerateOptions g;
  g.think_ms = static_cast<int>(think);
  const std::string end = Value(args, "--end", "packet");
  if (end == "packet") g.end = SessionEnd::kEndPacket;
  else if (end == "client-reset") g.end = SessionEnd::kClientReset;
  else if (end == "server-reset") g.end = SessionEnd::kServerReset;
  else return Usage("--end must be packet, client-reset or server-reset");
  if (!ParseFraming(args, &g.framing, &error)) return Usage(error);
  g.descriptor.service_name = Value(args, "--service-name", g.descriptor.service_name);
  g.descriptor.program = Value(args, "--program", g.descriptor.program);
  g.descriptor.host = Value(args, "--host", g.descriptor.host);
  g.descriptor.user = Value(args, "--user", g.descriptor.user);
  g.descriptor.address_host = run.listen.host;
  g.descriptor.address_port = run.listen.port;
  g.orauser = Value(args, "--orauser", g.orauser);
  g.terminal = Value(args, "--terminal", g.terminal);
  g.statements = static_cast<int>(statements);
  g.texts = args.texts;
  g.reply_size = static_cast<size_t>(reply);
  run.sessions = static_cast<int>(sessions);
  run.concurrency = static_cast<int>(concurrency);
  run.together = args.together;
  if (run.together && concurrency < sessions) return Usage("--together needs --concurrency >= --sessions");
  const Script script = GenerateSession(g);
  const RunResult r = RunSessions(script, run);
  std::fputs(Summary(r).c_str(), stdout);
  std::fflush(stdout);
  return r.ok() ? 0 : 1;
}

int Bench(const Args& args, int timeout_ms, bool rtt) {
  BenchOptions b;
  std::string error;
  if (!Endpoints(args, &b.relay, &b.listen, &error)) return Usage(error);
  b.timeout_ms = timeout_ms;
  uint64_t reply = b.reply_size;
  if (!ParseFraming(args, &b.framing, &error) ||
      !Number(args, "--count", 1, 100000000, &b.count, &error) ||
      !Number(args, "--bytes", 1, 1000000000000ull, &b.bytes, &error) ||
      !Number(args, "--reply-size", 12, 1000000, &reply, &error))
    return Usage(error);
  b.reply_size = static_cast<size_t>(reply);
  if (rtt) {
    const RttResult r = BenchRtt(b);
    if (!r.ok) {
      std::printf("FAILED %s\n", r.error.c_str());
      return 1;
    }
    std::printf("round trips: %llu in %.3f s\nround trips per second: %.0f\nmedian round trip: %.1f us\n"
                "99th percentile round trip: %.1f us\n",
                static_cast<unsigned long long>(r.count), r.seconds, r.per_second, r.median_us, r.p99_us);
    return 0;
  }
  const BulkResult r = BenchBulk(b);
  if (!r.ok) {
    std::printf("FAILED %s\n", r.error.c_str());
    return 1;
  }
  std::printf("bulk: %llu bytes in %.3f s\nthroughput: %.1f MB/s\n", static_cast<unsigned long long>(r.bytes),
              r.seconds, r.mb_per_s);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("");
  const std::string command = argv[1];
  Args args;
  std::string error;
  if (!ParseArgs(argc, argv, &args, &error)) return Usage(error);
  uint64_t timeout_s = 30;
  if (!Number(args, "--timeout", 1, 3600, &timeout_s, &error)) return Usage(error);
  const int timeout_ms = static_cast<int>(timeout_s * 1000);
  if (command == "list") return List(args);
  if (command == "replay") return Replay(args, timeout_ms);
  if (command == "generate") return Generate(args, timeout_ms);
  if (command == "bench-rtt") return Bench(args, timeout_ms, true);
  if (command == "bench-bulk") return Bench(args, timeout_ms, false);
  return Usage("unknown command " + command);
}
