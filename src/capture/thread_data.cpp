// Record-only operations of a connection: its trace and byte dumps for debug lines.
#include "capture/thread_data.h"

#include "capture/monitor.h"
#include "capture/tcp_reassembly.h"
#include "platform/datetime.h"
#include "platform/platform.h"
#include "service/service_data.h"

namespace qx::capture {

TThreadData::TThreadData() = default;
TThreadData::~TThreadData() = default;

void AddTrace(TThreadData& record, std::string_view message) {
  if (!record.traceLines) return;
  std::string line = "Connection# " + std::to_string(record.connectionNo) + ": ";
  line.append(message);
  record.traceBytes += line.size();
  record.traceLines->push_back(std::move(line));
  if (record.traceSink && record.traceBytes > kTraceBufferBytes) {
    WriteTraceOut(*record.traceSink, record);
  }
}

void WriteTraceOut(service::TServiceData& service, TThreadData& record) {
  if (!record.traceLines) return;
  if (service.connLogOpen.load()) service.connLog.WriteLines(*record.traceLines);
  record.traceLines->clear();
  record.traceBytes = 0;
}

std::string DumpBytes(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 4);
  for (size_t i = 0; i < text.size(); ++i) {
    if (i > 0) out.push_back(' ');
    out += std::to_string(static_cast<unsigned char>(text[i]));
  }
  return out;
}

}  // namespace qx::capture
