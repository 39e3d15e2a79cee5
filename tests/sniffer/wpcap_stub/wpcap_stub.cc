// Stand-in for the capture library (wpcap.dll) in the Windows suite, where no Npcap is
// installed: it reads capture files (pcap, and pcapng with Ethernet interfaces) and offers one
// interface whose frames come from a capture file, so that passive mode and REPLAY run under
// Wine. The tests also read and write their own capture files through it.
//
// The interface: "\Device\NPF_{QX-STANDIN}", IPv4 address QX_WPCAP_ADDRESS (default 127.0.0.1,
// netmask 255.0.0.0). Opening it live reads the file QX_WPCAP_FILE (opening fails when unset);
// once the file is read the interface stays open and silent, as a quiet network would.
// Filters: "", "ip" and "tcp" are applied; any other text is accepted and lets every frame by.
//
// Threading: as libpcap's: a handle is used by one thread at a time, except pcap_breakloop.
#include <pcap/pcap.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

struct pcap {
  std::vector<unsigned char> data;  // the whole file
  size_t pos = 0;
  bool ng = false;
  bool swapped = false;
  bool live = false;  // an interface: silent once the file is read
  int linktype = DLT_EN10MB;
  int snaplen = 65535;
  bool nanoseconds = false;
  std::vector<uint64_t> ng_ticks_per_second;  // per pcapng interface
  int filter = 0;                             // 0 all, 1 ip, 2 tcp
  std::atomic<bool> break_loop{false};
  pcap_pkthdr header{};
  std::vector<unsigned char> frame;
  char error[PCAP_ERRBUF_SIZE] = {};
};

struct pcap_dumper {
  FILE* file;
};

namespace {

const char kDeviceName[] = "\\Device\\NPF_{QX-STANDIN}";

void SetError(char* errbuf, const std::string& text) {
  if (errbuf) std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s", text.c_str());
}

uint32_t Get32(const pcap* p, size_t at) {
  uint32_t v;
  std::memcpy(&v, p->data.data() + at, 4);
  return p->swapped ? __builtin_bswap32(v) : v;
}
uint16_t Get16(const pcap* p, size_t at) {
  uint16_t v;
  std::memcpy(&v, p->data.data() + at, 2);
  return p->swapped ? __builtin_bswap16(v) : v;
}

bool ReadWholeFile(const char* path, std::vector<unsigned char>* out) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  unsigned char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out->insert(out->end(), buffer, buffer + n);
  std::fclose(f);
  return true;
}

pcap* OpenFile(const char* path, char* errbuf) {
  auto* p = new pcap;
  if (!ReadWholeFile(path, &p->data)) {
    SetError(errbuf, std::string(path) + ": No such file or directory");
    delete p;
    return nullptr;
  }
  if (p->data.size() < 24) {
    SetError(errbuf, std::string(path) + ": truncated dump file");
    delete p;
    return nullptr;
  }
  uint32_t magic;
  std::memcpy(&magic, p->data.data(), 4);
  if (magic == 0xa1b2c3d4 || magic == 0xa1b23c4d || magic == 0xd4c3b2a1 || magic == 0x4d3cb2a1) {
    p->swapped = magic == 0xd4c3b2a1 || magic == 0x4d3cb2a1;
    p->nanoseconds = magic == 0xa1b23c4d || magic == 0x4d3cb2a1;
    p->snaplen = static_cast<int>(Get32(p, 16));
    p->linktype = static_cast<int>(Get32(p, 20) & 0x0FFFFFFF);
    p->pos = 24;
  } else if (magic == 0x0A0D0D0A) {
    p->ng = true;
    uint32_t bom;
    std::memcpy(&bom, p->data.data() + 8, 4);
    p->swapped = bom == 0x4D3C2B1A;
    p->pos = 0;
    // The link type is the first interface's, which pcap_datalink tells before any frame.
    for (size_t at = 0; at + 16 <= p->data.size();) {
      const uint32_t type = Get32(p, at), total = Get32(p, at + 4);
      if (total < 12) break;
      if (type == 1) {
        p->linktype = Get16(p, at + 8);
        p->snaplen = static_cast<int>(Get32(p, at + 12));
        break;
      }
      at += total;
    }
  } else {
    SetError(errbuf, std::string(path) + ": unknown file format");
    delete p;
    return nullptr;
  }
  return p;
}

// The pcapng interface description's if_tsresol, as ticks per second (default microseconds).
uint64_t TicksPerSecond(const pcap* p, size_t options, size_t end) {
  while (options + 4 <= end) {
    const uint16_t code = Get16(p, options), length = Get16(p, options + 2);
    if (code == 0) break;
    if (code == 9 && length >= 1) {
      const unsigned char r = p->data[options + 4];
      uint64_t ticks = 1;
      for (int i = 0; i < (r & 0x7F); ++i) ticks *= (r & 0x80) ? 2 : 10;
      return ticks;
    }
    options += 4 + ((length + 3u) & ~3u);
  }
  return 1000000;
}

// The next frame into p->header / p->frame: 1, 0 at the end, -1 on a damaged file.
int NextRecord(pcap* p) {
  if (!p->ng) {
    if (p->pos + 16 > p->data.size()) return p->pos == p->data.size() ? 0 : -1;
    const uint32_t sec = Get32(p, p->pos), frac = Get32(p, p->pos + 4);
    const uint32_t caplen = Get32(p, p->pos + 8), len = Get32(p, p->pos + 12);
    if (p->pos + 16 + caplen > p->data.size()) return -1;
    p->header.ts.tv_sec = static_cast<long>(sec);
    p->header.ts.tv_usec = static_cast<long>(p->nanoseconds ? frac / 1000 : frac);
    p->header.caplen = caplen;
    p->header.len = len;
    p->frame.assign(p->data.begin() + static_cast<long>(p->pos + 16),
                    p->data.begin() + static_cast<long>(p->pos + 16 + caplen));
    p->pos += 16 + caplen;
    return 1;
  }
  while (p->pos + 12 <= p->data.size()) {
    const size_t block = p->pos;
    if (Get32(p, block) == 0x0A0D0D0A) {  // a section: its own byte order, new interfaces
      uint32_t bom;
      std::memcpy(&bom, p->data.data() + block + 8, 4);
      p->swapped = bom == 0x4D3C2B1A;
      p->ng_ticks_per_second.clear();
    }
    const uint32_t type = Get32(p, block), total = Get32(p, block + 4);
    if (total < 12 || block + total > p->data.size()) return -1;
    p->pos += total;
    if (type == 1 && total >= 20) {  // interface description
      p->ng_ticks_per_second.push_back(TicksPerSecond(p, block + 16, block + total - 4));
    } else if (type == 6 && total >= 32) {  // enhanced packet
      const uint32_t iface = Get32(p, block + 8);
      const uint64_t ts = (static_cast<uint64_t>(Get32(p, block + 12)) << 32) | Get32(p, block + 16);
      const uint32_t caplen = Get32(p, block + 20), len = Get32(p, block + 24);
      if (28 + caplen > total) return -1;
      const uint64_t ticks =
          iface < p->ng_ticks_per_second.size() ? p->ng_ticks_per_second[iface] : 1000000;
      p->header.ts.tv_sec = static_cast<long>(ts / ticks);
      p->header.ts.tv_usec = static_cast<long>((ts % ticks) * 1000000 / ticks);
      p->header.caplen = caplen;
      p->header.len = len;
      p->frame.assign(p->data.begin() + static_cast<long>(block + 28),
                      p->data.begin() + static_cast<long>(block + 28 + caplen));
      return 1;
    } else if (type == 3 && total >= 16) {  // simple packet
      const uint32_t len = Get32(p, block + 8);
      const uint32_t caplen = len < total - 16 ? len : total - 16;
      p->header = pcap_pkthdr{};
      p->header.caplen = caplen;
      p->header.len = len;
      p->frame.assign(p->data.begin() + static_cast<long>(block + 12),
                      p->data.begin() + static_cast<long>(block + 12 + caplen));
      return 1;
    }
  }
  return p->pos >= p->data.size() ? 0 : -1;
}

bool Passes(const pcap* p) {
  if (p->filter == 0 || p->linktype != DLT_EN10MB) return true;
  const auto& f = p->frame;
  if (f.size() < 14 || f[12] != 0x08 || f[13] != 0x00) return false;
  if (p->filter == 1) return true;
  return f.size() >= 24 && f[23] == 6;
}

// 1 with a frame, 0 when none is there now (a live interface after its file), -2 at the end
// of a file, -1 on a damaged file.
int NextFrame(pcap* p) {
  for (;;) {
    const int r = NextRecord(p);
    if (r < 0) {
      std::snprintf(p->error, sizeof p->error, "truncated or damaged capture file");
      return -1;
    }
    if (r == 0) return p->live ? 0 : -2;
    if (Passes(p)) return 1;
  }
}

}  // namespace

extern "C" {

int pcap_findalldevs(pcap_if_t** devices, char*) {
  static sockaddr_in address{}, netmask{};
  address.sin_family = AF_INET;
  const char* ip = std::getenv("QX_WPCAP_ADDRESS");
  address.sin_addr.s_addr = inet_addr(ip && *ip ? ip : "127.0.0.1");
  netmask.sin_family = AF_INET;
  netmask.sin_addr.s_addr = inet_addr("255.0.0.0");
  auto* a = new pcap_addr_t{nullptr, reinterpret_cast<sockaddr*>(&address),
                            reinterpret_cast<sockaddr*>(&netmask), nullptr, nullptr};
  auto* d = new pcap_if_t{nullptr, const_cast<char*>(kDeviceName),
                          const_cast<char*>("Quorvex stand-in capture interface"), a, 0};
  *devices = d;
  return 0;
}

void pcap_freealldevs(pcap_if_t* devices) {
  while (devices) {
    pcap_if_t* next = devices->next;
    delete devices->addresses;
    delete devices;
    devices = next;
  }
}

pcap_t* pcap_open_offline(const char* path, char* errbuf) { return OpenFile(path, errbuf); }

pcap_t* pcap_open_live(const char* device, int, int, int, char* errbuf) {
  if (!device || std::strcmp(device, kDeviceName) != 0) {
    SetError(errbuf, std::string("No such device: ") + (device ? device : ""));
    return nullptr;
  }
  const char* file = std::getenv("QX_WPCAP_FILE");
  if (!file || !*file) {
    SetError(errbuf, "the stand-in interface has no capture file (QX_WPCAP_FILE)");
    return nullptr;
  }
  pcap* p = OpenFile(file, errbuf);
  if (p) p->live = true;
  return p;
}

pcap_t* pcap_open_dead(int linktype, int snaplen) {
  auto* p = new pcap;
  p->linktype = linktype;
  p->snaplen = snaplen;
  return p;
}

void pcap_close(pcap_t* p) { delete p; }
int pcap_datalink(pcap_t* p) { return p->linktype; }
int pcap_snapshot(pcap_t* p) { return p->snaplen; }
char* pcap_geterr(pcap_t* p) { return p->error; }
void pcap_breakloop(pcap_t* p) { p->break_loop = true; }
int pcap_major_version(pcap_t*) { return 2; }
int pcap_minor_version(pcap_t*) { return 4; }
const char* pcap_lib_version() { return "Quorvex stand-in capture library"; }
int pcap_setbuff(pcap_t*, int) { return 0; }

// Understands "ip" and "tcp"; any other text passes every frame, except one whose parentheses
// do not balance, which is refused as libpcap's parser refuses it.
int pcap_compile(pcap_t* p, bpf_program* program, const char* text, int, bpf_u_int32) {
  const std::string t = text ? text : "";
  int depth = 0;
  for (char c : t) {
    depth += c == '(' ? 1 : c == ')' ? -1 : 0;
    if (depth < 0) break;
  }
  if (depth != 0) {
    std::snprintf(p->error, sizeof p->error, "syntax error in filter expression");
    return -1;
  }
  program->bf_len = t == "ip" ? 1 : t == "tcp" ? 2 : 0;
  program->bf_insns = nullptr;
  return 0;
}
int pcap_setfilter(pcap_t* p, bpf_program* program) {
  p->filter = static_cast<int>(program->bf_len);
  return 0;
}
void pcap_freecode(bpf_program* program) { program->bf_len = 0; }

int pcap_next_ex(pcap_t* p, pcap_pkthdr** header, const u_char** data) {
  const int r = NextFrame(p);
  if (r != 1) return r;
  *header = &p->header;
  *data = p->frame.data();
  return 1;
}

int pcap_dispatch(pcap_t* p, int count, pcap_handler handler, u_char* user) {
  int n = 0;
  while (count <= 0 || n < count) {
    if (p->break_loop.exchange(false)) return n ? n : -2;
    const int r = NextFrame(p);
    if (r == -1) return -1;
    if (r == -2) return n;  // the end of the file
    if (r == 0) {           // a quiet interface: the read time-out
      Sleep(100);
      return n;
    }
    handler(user, &p->header, p->frame.data());
    ++n;
  }
  return n;
}

int pcap_loop(pcap_t* p, int count, pcap_handler handler, u_char* user) {
  int n = 0;
  while (count <= 0 || n < count) {
    if (p->break_loop.exchange(false)) return -2;
    const int r = NextFrame(p);
    if (r == -1) return -1;
    if (r == -2) return 0;
    if (r == 0) {
      Sleep(50);
      continue;
    }
    handler(user, &p->header, p->frame.data());
    ++n;
  }
  return 0;
}

pcap_dumper_t* pcap_dump_open(pcap_t* p, const char* path) {
  FILE* f = std::fopen(path, "wb");
  if (!f) {
    std::snprintf(p->error, sizeof p->error, "%s: cannot create", path);
    return nullptr;
  }
  const uint32_t head[6] = {0xa1b2c3d4, 0x00040002, 0, 0, static_cast<uint32_t>(p->snaplen),
                            static_cast<uint32_t>(p->linktype)};
  std::fwrite(head, 4, 6, f);
  return new pcap_dumper{f};
}

void pcap_dump(u_char* user, const pcap_pkthdr* header, const u_char* data) {
  auto* d = reinterpret_cast<pcap_dumper_t*>(user);
  const uint32_t record[4] = {static_cast<uint32_t>(header->ts.tv_sec),
                              static_cast<uint32_t>(header->ts.tv_usec), header->caplen,
                              header->len};
  std::fwrite(record, 4, 4, d->file);
  std::fwrite(data, 1, header->caplen, d->file);
}

void pcap_dump_close(pcap_dumper_t* d) {
  std::fclose(d->file);
  delete d;
}

}  // extern "C"
