// The spool's file format, its grouped appends, recovery and release.
#include "sql/spool.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "platform/datetime.h"

namespace qx::sql {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kSegmentBytes = 16u << 20;  // a segment is closed beyond this size
constexpr uint8_t kKindRow = 1;
enum FieldType : uint8_t { kF64 = 0, kU64 = 1, kText = 2 };
enum Tag : uint8_t {
  kEnd = 0, kSqlId, kSrvcId, kExecDate, kExecTime, kSessionId, kSessionKey, kHost, kIp,
  kOrauser, kServiceName, kSid, kProgram, kUsername, kSqlHash, kSqlText, kStreamKey, kStreamSeq,
  kRowsProcessed, kErrorCode  // present only when known
};

uint32_t Crc32(const char* data, size_t size) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    c = table[(c ^ static_cast<uint8_t>(data[i])) & 0xFF] ^ (c >> 8);
  }
  return c ^ 0xFFFFFFFFu;
}

void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void PutU64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
uint64_t GetU(const char* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= uint64_t(static_cast<uint8_t>(p[i])) << (8 * i);
  return v;
}
void PutF64(std::string& out, uint8_t tag, double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  out.push_back(static_cast<char>(tag));
  out.push_back(static_cast<char>(kF64));
  PutU64(out, bits);
}
void PutText(std::string& out, uint8_t tag, const std::string& v) {
  if (v.empty()) return;
  out.push_back(static_cast<char>(tag));
  out.push_back(static_cast<char>(kText));
  PutU32(out, static_cast<uint32_t>(v.size()));
  out += v;
}

std::string SegmentName(uint64_t first_seq) {
  std::string digits = std::to_string(first_seq);
  return "qxspool-" + std::string(20 - std::min<size_t>(20, digits.size()), '0') + digits +
         ".seg";
}

uint64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string NowText() { return platform::FormatTimestamp(platform::NowDateTime()); }

}  // namespace

void AppendSpoolEntry(const HistoryRow& r, std::string* out) {
  // The header's length and CRC are filled in once the payload is in place.
  const size_t header = out->size();
  out->append(8, '\0');
  std::string& p = *out;
  p.push_back(static_cast<char>(kKindRow));
  PutU64(p, r.spool_seq);
  PutF64(p, kSqlId, r.sql_id);
  PutF64(p, kSrvcId, r.srvc_id);
  PutF64(p, kExecDate, r.exec_date);
  PutF64(p, kExecTime, r.exec_time);
  PutF64(p, kSessionId, r.session_id);
  if (r.session_key != 0) {
    p.push_back(static_cast<char>(kSessionKey));
    p.push_back(static_cast<char>(kU64));
    PutU64(p, r.session_key);
  }
  for (auto [tag, value] : {std::pair<uint8_t, uint64_t>{kStreamKey, r.stream_key},
                            std::pair<uint8_t, uint64_t>{kStreamSeq, r.stream_seq}}) {
    p.push_back(static_cast<char>(tag));
    p.push_back(static_cast<char>(kU64));
    PutU64(p, value);
  }
  if (r.rows_processed) PutF64(p, kRowsProcessed, *r.rows_processed);
  if (r.error_code) PutF64(p, kErrorCode, *r.error_code);
  PutText(p, kHost, r.host);
  PutText(p, kIp, r.ip);
  PutText(p, kOrauser, r.orauser);
  PutText(p, kServiceName, r.service_name);
  PutText(p, kSid, r.sid);
  PutText(p, kProgram, r.program);
  PutText(p, kUsername, r.username);
  PutText(p, kSqlHash, r.sql_hash);
  PutText(p, kSqlText, r.sql_text);
  p.push_back(static_cast<char>(kEnd));
  const size_t payload = header + 8;
  const size_t size = p.size() - payload;
  const uint32_t crc = Crc32(p.data() + payload, size);
  for (int i = 0; i < 4; ++i) {
    p[header + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
    p[header + 4 + i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
  }
}

std::string EncodeSpoolEntry(const HistoryRow& r) {
  std::string entry;
  AppendSpoolEntry(r, &entry);
  return entry;
}

bool DecodeSpoolPayload(const std::string& p, HistoryRow* r) {
  if (p.size() < 10 || static_cast<uint8_t>(p[0]) != kKindRow) return false;
  *r = HistoryRow();
  r->spool_seq = GetU(p.data() + 1, 8);
  size_t i = 9;
  while (i < p.size()) {
    const uint8_t tag = static_cast<uint8_t>(p[i]);
    if (tag == kEnd) return true;
    if (i + 2 > p.size()) return false;
    const uint8_t type = static_cast<uint8_t>(p[i + 1]);
    i += 2;
    double f = 0;
    uint64_t u = 0;
    std::string text;
    if (type == kF64 || type == kU64) {
      if (i + 8 > p.size()) return false;
      u = GetU(p.data() + i, 8);
      std::memcpy(&f, &u, sizeof f);
      i += 8;
    } else if (type == kText) {
      if (i + 4 > p.size()) return false;
      const size_t n = GetU(p.data() + i, 4);
      i += 4;
      if (i + n > p.size()) return false;
      text = p.substr(i, n);
      i += n;
    } else {
      return false;
    }
    switch (tag) {
      case kSqlId: r->sql_id = f; break;
      case kSrvcId: r->srvc_id = f; break;
      case kExecDate: r->exec_date = f; break;
      case kExecTime: r->exec_time = f; break;
      case kSessionId: r->session_id = f; break;
      case kSessionKey: r->session_key = u; break;
      case kHost: r->host = text; break;
      case kIp: r->ip = text; break;
      case kOrauser: r->orauser = text; break;
      case kServiceName: r->service_name = text; break;
      case kSid: r->sid = text; break;
      case kProgram: r->program = text; break;
      case kUsername: r->username = text; break;
      case kSqlHash: r->sql_hash = text; break;
      case kSqlText: r->sql_text = text; break;
      case kStreamKey: r->stream_key = u; break;
      case kStreamSeq: r->stream_seq = u; break;
      case kRowsProcessed: r->rows_processed = f; break;
      case kErrorCode: r->error_code = static_cast<int>(f); break;
      default: break;  // a field of a later version: skipped
    }
  }
  return false;
}

Spool::Spool(std::string directory, uint64_t limit, Report report)
    : directory_(std::move(directory)), limit_(limit), report_(std::move(report)) {}

Spool::~Spool() {
  std::unique_lock<std::mutex> lock(mu_);
  written_.wait(lock, [this] { return !writing_; });
  if (file_) file_->Sync();
}

std::unique_ptr<Spool> Spool::Open(const std::string& directory, uint64_t limit_bytes,
                                   Report report, std::string* error) {
  std::unique_ptr<Spool> spool(new Spool(directory, limit_bytes, std::move(report)));
  std::error_code ec;
  fs::create_directories(directory, ec);
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(directory, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("qxspool-", 0) == 0 && name.size() > 4 &&
        name.compare(name.size() - 4, 4, ".seg") == 0) {
      files.push_back(e.path());
    }
  }
  if (ec) {
    *error = "Cannot read the spool directory " + directory + ": " + ec.message();
    return nullptr;
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& path : files) {
    std::string bytes;
    if (!platform::ReadFile(path.string(), &bytes)) continue;
    Segment seg{path.string(), 0, 0, bytes.size(), 0};
    size_t at = 0;
    while (at + 8 <= bytes.size()) {
      const size_t n = GetU(bytes.data() + at, 4);
      if (n == 0) break;  // the zeros of room reserved beyond the last entry
      const uint32_t crc = static_cast<uint32_t>(GetU(bytes.data() + at + 4, 4));
      if (at + 8 + n > bytes.size() || Crc32(bytes.data() + at + 8, n) != crc) break;
      HistoryRow row;
      if (DecodeSpoolPayload(bytes.substr(at + 8, n), &row)) {
        if (seg.first_seq == 0 || row.spool_seq < seg.first_seq) seg.first_seq = row.spool_seq;
        seg.last_seq = std::max(seg.last_seq, row.spool_seq);
        ++seg.outstanding;
        spool->next_seq_ = std::max(spool->next_seq_, row.spool_seq + 1);
        spool->recovered_.push_back(std::move(row));
      }
      at += 8 + n;
    }
    if (std::any_of(bytes.begin() + static_cast<long>(at), bytes.end(),
                    [](char c) { return c != 0; })) {
      spool->report_("Spool segment " + seg.path + " ends in an incomplete entry (the process "
                     "ended while writing it): its last " + std::to_string(bytes.size() - at) +
                     " bytes are ignored.");
    }
    spool->segments_.push_back(seg);
  }
  std::sort(spool->recovered_.begin(), spool->recovered_.end(),
            [](const HistoryRow& a, const HistoryRow& b) { return a.spool_seq < b.spool_seq; });
  std::lock_guard<std::mutex> lock(spool->mu_);
  if (!spool->StartSegment(error)) return nullptr;
  return spool;
}

bool Spool::StartSegment(std::string* error) {
  const std::string path = (fs::path(directory_) / SegmentName(next_seq_)).string();
  std::shared_ptr<platform::AppendFile> file(platform::AppendFile::CreateMapped(path, error));
  if (!file) return false;
  if (file_) file_->Sync();
  file_ = std::move(file);
  segments_.push_back(Segment{path, 0, 0, 0, 0});
  return true;
}

std::vector<HistoryRow> Spool::TakeRecovered() { return std::move(recovered_); }

uint64_t Spool::DiskBytes() {
  std::lock_guard<std::mutex> lock(mu_);
  uint64_t total = 0;
  for (const Segment& s : segments_) total += s.bytes;
  return total;
}

void Spool::Append(std::vector<HistoryRow>& rows) {
  if (rows.empty()) return;
  std::unique_lock<std::mutex> lock(mu_);
  if (!writing_ && pending_.empty() && segments_.back().bytes >= kSegmentBytes) {
    std::string error;
    if (!StartSegment(&error)) report_("Cannot start a new spool segment: " + error);
  }
  uint64_t on_disk = pending_.size();
  for (const Segment& seg : segments_) on_disk += seg.bytes;
  Segment& current = segments_.back();
  const size_t before = pending_.size();
  size_t unspooled = 0;
  for (HistoryRow& r : rows) {
    r.spool_seq = next_seq_++;
    // Encoded in place after what is already pending; taken back when it does not fit.
    const size_t at = pending_.size();
    AppendSpoolEntry(r, &pending_);
    const size_t entry = pending_.size() - at;
    if (on_disk + entry > limit_) {
      pending_.resize(at);
      r.spool_seq = 0;
      ++unspooled;
      continue;
    }
    on_disk += entry;
    if (current.first_seq == 0) current.first_seq = r.spool_seq;
    current.last_seq = r.spool_seq;
    ++current.outstanding;
  }
  if (unspooled > 0) {
    if (unspooled_ == 0) {
      unspooled_since_ = NowText();
      report_("The spool is full (" + std::to_string(limit_ >> 20) + " MB): from " +
              unspooled_since_ + " rows are kept in memory only until the repository takes them.");
    }
    unspooled_ += unspooled;
  } else if (unspooled_ > 0) {
    report_("The spool has room again: " + std::to_string(unspooled_) +
            " rows could not be spooled between " + unspooled_since_ + " and " + NowText() + ".");
    unspooled_ = 0;
  }
  if (pending_.size() == before) return;
  const uint64_t my_gen = ++queued_gen_;
  if (writing_) {
    written_.wait(lock, [&] { return written_gen_ >= my_gen; });
    return;
  }
  WritePending(lock);
}

void Spool::WritePending(std::unique_lock<std::mutex>& lock) {
  writing_ = true;
  while (!pending_.empty()) {
    // The two buffers take turns, so that neither is allocated anew for each group.
    std::string& bytes = writing_buffer_;
    bytes.clear();
    bytes.swap(pending_);
    const uint64_t gen = queued_gen_;
    std::shared_ptr<platform::AppendFile> file = file_;
    Segment& segment = segments_.back();
    segment.bytes += bytes.size();
    lock.unlock();
    std::string error;
    const bool ok = file->Append(bytes, &error);
    lock.lock();
    if (ok) {
      dirty_ = true;
      if (write_failing_) report_("The spool is written again.");
      write_failing_ = false;
    } else if (!write_failing_) {
      write_failing_ = true;
      report_("Cannot write the spool (rows stay in memory until the repository takes them): " +
              error);
    }
    written_gen_ = gen;
    written_.notify_all();
  }
  writing_ = false;
  written_.notify_all();
}

void Spool::Committed(const std::vector<HistoryRow>& rows) {
  std::vector<std::string> doomed;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const HistoryRow& r : rows) {
      if (r.spool_seq == 0) continue;
      for (Segment& seg : segments_) {
        if (seg.first_seq != 0 && seg.first_seq <= r.spool_seq && r.spool_seq <= seg.last_seq) {
          if (seg.outstanding > 0) --seg.outstanding;
          break;
        }
      }
    }
    for (size_t i = 0; i + 1 < segments_.size();) {
      if (segments_[i].outstanding == 0) {
        doomed.push_back(segments_[i].path);
        segments_.erase(segments_.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
  }
  for (const std::string& path : doomed) {
    std::string error;
    if (!platform::RemoveFile(path, &error)) {
      report_("Cannot remove spool segment " + path + ": " + error);
    }
  }
}

void Spool::SyncIfDue() {
  // The sync runs beside the appends (the connections never wait for the device); the shared
  // file stays open for it even if a new segment takes its place meanwhile.
  std::shared_ptr<platform::AppendFile> file;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const uint64_t now = NowMs();
    if (!dirty_ || now - last_sync_ms_ < 1000) return;
    dirty_ = false;
    last_sync_ms_ = now;
    file = file_;
  }
  file->Sync();
}

}  // namespace qx::sql
