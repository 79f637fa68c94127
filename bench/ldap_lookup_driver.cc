// Closed-loop LDAP clients for bench/ldap_lookup_bench.py, over plain
// sockets with the kernel's defaults (no TCP_NODELAY, no quick
// acknowledgement), as an ordinary LDAP client would talk.
//
// Usage: ldap_lookup_driver <port> <key ID file> <mode> <clients> <seconds>
//   mode "lookup":    per lookup connect, bind (v2, anonymous), search
//                     (qoxkeyid=<key ID>) for qoxkey, unbind, close
//   mode "search":    one connection per client, bound once; searches
//                     (qoxkeyid=<key ID>) for qoxkey in a loop
//   mode "substring": as search, with (qoxuserid=Lookup User <n> *), the
//                     initial part of the key's user ID
// Each client picks key IDs at random from the file (line n belongs to user
// n). Prints one line: mode clients lookups seconds rate p50_us p99_us
// errors. A lookup that finds no entry counts as an error.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kBase = "OU=ACTIVE,O=QOX KEYSPACE,C=US";

// --- A small BER writer for the three requests ---

void PutLength(std::string* out, size_t n) {
  if (n < 128) {
    out->push_back(static_cast<char>(n));
  } else if (n < 256) {
    out->push_back(static_cast<char>(0x81));
    out->push_back(static_cast<char>(n));
  } else {
    out->push_back(static_cast<char>(0x82));
    out->push_back(static_cast<char>(n >> 8));
    out->push_back(static_cast<char>(n & 0xFF));
  }
}

std::string Tlv(uint8_t tag, const std::string& contents) {
  std::string out(1, static_cast<char>(tag));
  PutLength(&out, contents.size());
  return out + contents;
}

std::string Int(uint8_t tag, int v) { return Tlv(tag, std::string(1, static_cast<char>(v))); }

std::string Message(int id, const std::string& op) { return Tlv(0x30, Int(0x02, id) + op); }

std::string Bind(int id) { return Message(id, Tlv(0x60, Int(0x02, 2) + Tlv(0x04, "") + Tlv(0x80, ""))); }

std::string Unbind(int id) { return Message(id, Tlv(0x42, "")); }

std::string Search(int id, const std::string& filter) {
  std::string body = Tlv(0x04, kBase) + Int(0x0A, 2) + Int(0x0A, 0) + Int(0x02, 0) + Int(0x02, 0) + Int(0x01, 0) +
                     filter + Tlv(0x30, Tlv(0x04, "qoxkey"));
  return Message(id, Tlv(0x63, body));
}

std::string Equality(const std::string& type, const std::string& value) {
  return Tlv(0xA3, Tlv(0x04, type) + Tlv(0x04, value));
}

std::string Initial(const std::string& type, const std::string& value) {
  return Tlv(0xA4, Tlv(0x04, type) + Tlv(0x30, Tlv(0x80, value)));
}

// --- Reading answers ---

class Reader {
 public:
  explicit Reader(int fd) : fd_(fd) {}
  // Reads one whole LDAP message; returns its operation tag (0 on failure).
  uint8_t Next() {
    if (!Fill(2)) return 0;
    size_t header = 2, length = static_cast<uint8_t>(buf_[pos_ + 1]);
    if (length & 0x80) {
      size_t n = length & 0x7F;
      if (n == 0 || n > 4 || !Fill(2 + n)) return 0;
      length = 0;
      for (size_t i = 0; i < n; ++i) length = (length << 8) | static_cast<uint8_t>(buf_[pos_ + 2 + i]);
      header += n;
    }
    if (!Fill(header + length)) return 0;
    // SEQUENCE { INTEGER id, op }: the op's tag follows the message ID.
    size_t p = pos_ + header;
    size_t idLength = static_cast<uint8_t>(buf_[p + 1]);
    uint8_t tag = static_cast<uint8_t>(buf_[p + 2 + idLength]);
    result_ = 0;
    if (tag == 0x65 || tag == 0x61) {
      size_t q = p + 2 + idLength;  // the op
      size_t opHeader = (static_cast<uint8_t>(buf_[q + 1]) & 0x80) ? 2 + (buf_[q + 1] & 0x7F) : 2;
      result_ = static_cast<uint8_t>(buf_[q + opHeader + 2]);
    }
    pos_ += header + length;
    return tag;
  }
  int result() const { return result_; }

 private:
  bool Fill(size_t n) {
    while (buf_.size() - pos_ < n) {
      if (pos_ > 0) {
        buf_.erase(0, pos_);
        pos_ = 0;
      }
      char chunk[65536];
      ssize_t r = recv(fd_, chunk, sizeof chunk, 0);
      if (r <= 0) return false;
      buf_.append(chunk, static_cast<size_t>(r));
    }
    return true;
  }
  int fd_;
  std::string buf_;
  size_t pos_ = 0;
  int result_ = 0;
};

bool SendAll(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends a search and reads to its result; true when entries came and the
// result was 0.
bool RunSearch(int fd, Reader* r, int id, const std::string& filter) {
  if (!SendAll(fd, Search(id, filter))) return false;
  int entries = 0;
  for (;;) {
    uint8_t tag = r->Next();
    if (tag == 0x64) {
      ++entries;
    } else if (tag == 0x65) {
      return r->result() == 0 && entries > 0;
    } else {
      return false;
    }
  }
}

struct Totals {
  std::vector<double> latenciesUs;
  long errors = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: %s <port> <key ID file> lookup|search|substring <clients> <seconds>\n", argv[0]);
    return 2;
  }
  const int port = atoi(argv[1]);
  const std::string mode = argv[3];
  const int clients = atoi(argv[4]);
  const double seconds = atof(argv[5]);
  std::vector<std::string> ids;
  {
    std::ifstream in(argv[2]);
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) ids.push_back(line);
  }
  if (ids.empty() || clients < 1 || (mode != "lookup" && mode != "search" && mode != "substring")) return 2;

  std::vector<Totals> totals(static_cast<size_t>(clients));
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      Totals& t = totals[static_cast<size_t>(c)];
      t.latenciesUs.reserve(1 << 16);
      std::mt19937_64 rng(static_cast<uint64_t>(c) * 7919 + 1);
      std::uniform_int_distribution<size_t> pick(0, ids.size() - 1);
      auto filterFor = [&](size_t n) {
        if (mode == "substring") return Initial("qoxuserid", "Lookup User " + std::to_string(n) + " ");
        return Equality("qoxkeyid", ids[n]);
      };
      int fd = -1;
      Reader* reader = nullptr;
      int id = 1;
      if (mode != "lookup") {
        fd = Connect(port);
        reader = new Reader(fd);
        if (fd < 0 || !SendAll(fd, Bind(id++)) || reader->Next() != 0x61) {
          ++t.errors;
          return;
        }
      }
      while (!stop.load(std::memory_order_relaxed)) {
        const size_t n = pick(rng);
        const auto start = Clock::now();
        bool ok;
        if (mode == "lookup") {
          int s = Connect(port);
          ok = s >= 0;
          if (ok) {
            Reader r(s);
            ok = SendAll(s, Bind(1)) && r.Next() == 0x61 && r.result() == 0 && RunSearch(s, &r, 2, filterFor(n)) &&
                 SendAll(s, Unbind(3));
            close(s);
          }
        } else {
          ok = RunSearch(fd, reader, id, filterFor(n));
          id = id % 100 + 2;
        }
        const auto end = Clock::now();
        if (!ok) {
          ++t.errors;
          if (mode != "lookup") break;
          continue;
        }
        t.latenciesUs.push_back(std::chrono::duration<double, std::micro>(end - start).count());
      }
      if (fd >= 0) {
        SendAll(fd, Unbind(id));
        close(fd);
      }
      delete reader;
    });
  }
  const auto began = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& th : threads) th.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - began).count();

  std::vector<double> all;
  long errors = 0;
  for (const Totals& t : totals) {
    all.insert(all.end(), t.latenciesUs.begin(), t.latenciesUs.end());
    errors += t.errors;
  }
  std::sort(all.begin(), all.end());
  auto pct = [&](double p) { return all.empty() ? 0.0 : all[std::min(all.size() - 1, size_t(p * all.size()))]; };
  printf("%s %d %zu %.2f %.0f %.1f %.1f %ld\n", mode.c_str(), clients, all.size(), elapsed,
         static_cast<double>(all.size()) / elapsed, pct(0.50), pct(0.99), errors);
  return 0;
}
