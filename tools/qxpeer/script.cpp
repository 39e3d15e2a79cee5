// Script helpers: totals, the closing handshake, the playability check and the listing.
#include "script.h"

#include <cstdio>

namespace qxpeer {

uint64_t StreamBytes(const Script& script, Side side) {
  uint64_t n = 0;
  for (const Step& s : script.steps)
    if (s.from == side && s.kind == StepKind::kData) n += s.bytes.size();
  return n;
}

const Step* CloseStep(const Script& script, Side side) {
  for (const Step& s : script.steps)
    if (s.from == side && s.kind != StepKind::kData) return &s;
  return nullptr;
}

void AddClosingHandshake(Script* script) {
  const Step* client_close = CloseStep(*script, Side::kClient);
  const Step* server_close = CloseStep(*script, Side::kServer);
  if (client_close == nullptr) {
    Step s;
    s.from = Side::kClient;
    s.kind = StepKind::kFin;
    s.need = StreamBytes(*script, Side::kServer);
    s.need_peer_eof = server_close != nullptr;
    script->steps.push_back(s);
  }
  if (server_close == nullptr) {
    Step s;
    s.from = Side::kServer;
    s.kind = StepKind::kFin;
    s.need = StreamBytes(*script, Side::kClient);
    s.need_peer_eof = true;
    script->steps.push_back(s);
  }
}

std::string CheckPlayable(const Script& script) {
  // Simulate both sides: each runs its own steps in order and may start a step once the
  // other side has sent enough. Progress stops only on a wait that can never be met.
  std::vector<const Step*> own[2];
  for (const Step& s : script.steps) own[s.from == Side::kClient ? 0 : 1].push_back(&s);
  size_t next[2] = {0, 0};
  uint64_t sent[2] = {0, 0};
  bool closed[2] = {false, false};
  for (;;) {
    bool progressed = false;
    for (int i = 0; i < 2; ++i) {
      while (next[i] < own[i].size()) {
        const Step* s = own[i][next[i]];
        if (sent[1 - i] < s->need) break;
        if (s->need_peer_eof && !closed[1 - i]) break;
        if (s->kind == StepKind::kData) sent[i] += s->bytes.size();
        else closed[i] = true;
        ++next[i];
        progressed = true;
      }
    }
    if (next[0] == own[0].size() && next[1] == own[1].size()) return "";
    if (!progressed) {
      for (int i = 0; i < 2; ++i) {
        if (next[i] == own[i].size()) continue;
        const Step* s = own[i][next[i]];
        char buf[200];
        std::snprintf(buf, sizeof buf,
                      "the %s's step at frame %llu waits for %llu bytes of the %s, which sends "
                      "only %llu before waiting itself",
                      SideName(s->from), static_cast<unsigned long long>(s->frame),
                      static_cast<unsigned long long>(s->need), SideName(Other(s->from)),
                      static_cast<unsigned long long>(sent[1 - i]));
        return buf;
      }
    }
  }
}

std::string Describe(const Script& script) {
  std::string out;
  uint64_t offset[2] = {0, 0};
  for (const Step& s : script.steps) {
    const int i = s.from == Side::kClient ? 0 : 1;
    char buf[200];
    const char* what = s.kind == StepKind::kData ? "data" : s.kind == StepKind::kFin ? "FIN" : "RST";
    std::snprintf(buf, sizeof buf, "  %-6s %-4s %6zu bytes at %8llu  after %8llu peer bytes%s  frame %llu\n",
                  SideName(s.from), what, s.bytes.size(),
                  static_cast<unsigned long long>(offset[i]), static_cast<unsigned long long>(s.need),
                  s.need_peer_eof ? " + EOF" : "", static_cast<unsigned long long>(s.frame));
    out += buf;
    offset[i] += s.bytes.size();
  }
  return out;
}

}  // namespace qxpeer
