// The INSTREAM client of bench/compare: N clients at once send every listed file to a daemon's
// Unix-domain socket (one connection a file, the file in one chunk, as clamdscan --stream does)
// and time each request from connect to the reply's end. Prints one JSON object: the requests,
// the seconds, the latency's median and 99th percentile, and every reply that is not OK.
//   instream SOCKET CLIENTS FILELIST
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One INSTREAM request; the reply without its NUL, or why there was none.
std::string Request(const std::string& sSocket, const std::string& sData) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un sa = {};
  sa.sun_family = AF_UNIX;
  std::strncpy(sa.sun_path, sSocket.c_str(), sizeof sa.sun_path - 1);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    if (fd >= 0) close(fd);
    return std::string("connect: ") + std::strerror(errno);
  }
  uint32_t n = static_cast<uint32_t>(sData.size());
  std::string s = std::string("zINSTREAM", 10) +
                  std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                              static_cast<char>(n >> 8), static_cast<char>(n)} +
                  sData + std::string(4, '\0');
  for (size_t done = 0; done < s.size();) {
    ssize_t k = send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
    if (k <= 0) break;
    done += static_cast<size_t>(k);
  }
  std::string reply;
  char ab[4096];
  for (ssize_t k; (k = recv(fd, ab, sizeof ab, 0)) > 0;) {
    reply.append(ab, static_cast<size_t>(k));
    if (reply.find('\0') != std::string::npos) break;
  }
  close(fd);
  return reply.substr(0, reply.find('\0'));
}

std::string Json(const std::string& s) {
  std::string r = "\"";
  for (char ch : s) {
    if (ch == '"' || ch == '\\') r += '\\';
    if (static_cast<unsigned char>(ch) < 0x20) {
      char sz[8];
      std::snprintf(sz, sizeof sz, "\\u%04x", ch);
      r += sz;
      continue;
    }
    r += ch;
  }
  return r + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: instream SOCKET CLIENTS FILELIST\n");
    return 2;
  }
  std::string sSocket = argv[1];
  int nClients = std::max(1, std::atoi(argv[2]));
  std::vector<std::string> paths, data;
  std::ifstream list(argv[3]);
  for (std::string s; std::getline(list, s);) {
    std::ifstream f(s, std::ios::binary);
    paths.push_back(s);
    data.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  std::vector<double> ms(paths.size());
  std::vector<std::string> replies(paths.size());
  std::atomic<size_t> next{0};
  auto t0 = Clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < nClients; ++c)
    threads.emplace_back([&] {
      for (size_t i; (i = next++) < paths.size();) {
        auto t = Clock::now();
        replies[i] = Request(sSocket, data[i]);
        ms[i] = std::chrono::duration<double, std::milli>(Clock::now() - t).count();
      }
    });
  for (std::thread& t : threads) t.join();
  double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  std::vector<double> sorted = ms;
  std::sort(sorted.begin(), sorted.end());
  auto at = [&sorted](double q) {
    return sorted.empty() ? 0.0 : sorted[std::min(sorted.size() - 1, size_t(q * sorted.size()))];
  };
  std::printf(
      "{\"requests\": %zu, \"seconds\": %.6f, \"median_ms\": %.4f, \"p99_ms\": %.4f, "
      "\"not_ok\": {",
      paths.size(), seconds, at(0.5), at(0.99));
  bool bFirst = true;
  for (size_t i = 0; i < paths.size(); ++i) {
    if (replies[i] == "stream: OK") continue;
    std::printf("%s%s: %s", bFirst ? "" : ", ", Json(paths[i]).c_str(), Json(replies[i]).c_str());
    bFirst = false;
  }
  std::printf("}}\n");
  return 0;
}
