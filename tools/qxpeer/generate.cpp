// Builds the Script of a generated session.
#include "generate.h"

namespace qxpeer {

namespace {

class Builder {
 public:
  explicit Builder(Script* s) : s_(s) {}
  void Send(Side from, std::string bytes, bool statement = false, int delay_ms = 0) {
    Step step;
    step.delay_ms = delay_ms;
    step.from = from;
    step.bytes = std::move(bytes);
    step.need = sent_[from == Side::kClient ? 1 : 0];
    step.statement = statement;
    sent_[from == Side::kClient ? 0 : 1] += step.bytes.size();
    s_->steps.push_back(std::move(step));
  }

  // An abortive close once everything the other side sent has arrived.
  void Reset(Side from) {
    Step step;
    step.from = from;
    step.kind = StepKind::kRst;
    step.need = sent_[from == Side::kClient ? 1 : 0];
    s_->steps.push_back(std::move(step));
  }

 private:
  Script* s_;
  uint64_t sent_[2] = {0, 0};
};

uint8_t NextSeq(uint8_t* seq) {
  const uint8_t v = *seq;
  *seq = static_cast<uint8_t>(v == 255 ? 1 : v + 1);
  return v;
}

}  // namespace

std::string StatementText(const GenerateOptions& options, int index) {
  if (options.texts.empty()) return "SELECT " + std::to_string(index + 1) + " FROM DUAL";
  return options.texts[static_cast<size_t>(index) % options.texts.size()];
}

Script GenerateSession(const GenerateOptions& o) {
  Script script;
  script.name = "generated session";
  Builder b(&script);
  const Framing f = o.framing;
  uint8_t seq = 1;
  b.Send(Side::kClient, ConnectPacket(BuildDescriptor(o.descriptor), f));
  b.Send(Side::kServer, AcceptPacket(f));
  b.Send(Side::kClient, DataPackets(AuthPhaseOne(o.orauser, o.terminal, o.descriptor.program,
                                                 o.descriptor.host, NextSeq(&seq)), f, false));
  b.Send(Side::kServer, DataPackets(AuthPhaseOneReply(), f, true));
  b.Send(Side::kClient, DataPackets(AuthPhaseTwo(o.orauser, o.terminal, NextSeq(&seq)), f, false));
  b.Send(Side::kServer, DataPackets(AuthPhaseTwoReply(), f, true));
  for (int i = 0; i < o.statements; ++i) {
    b.Send(Side::kClient, DataPackets(ExecuteCall(StatementText(o, i), NextSeq(&seq)), f, false), true, o.think_ms);
    b.Send(Side::kServer, StatementReply(f, o.reply_size, static_cast<uint32_t>(i + 1)));
  }
  if (o.end == SessionEnd::kEndPacket) {
    b.Send(Side::kClient, EndPacket(f), false, o.think_ms);
  } else {
    b.Reset(o.end == SessionEnd::kClientReset ? Side::kClient : Side::kServer);
  }
  AddClosingHandshake(&script);
  return script;
}

}  // namespace qxpeer
