// What render and audio say as they go: a bar for the person at the
// terminal and, with -progress, ffmpeg's key=value blocks for a program
// that watches the run (a GUI, a job queue), in ffmpeg's grammar so that
// what parses its blocks parses these.
#include "Cli.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>

#include <fcntl.h>
#ifndef _WIN32
#include <sys/ioctl.h>
#endif

#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#ifndef O_BINARY
#define O_BINARY 0  // Windows: lines end in \n alone, as on every other system
#endif

namespace cli {

namespace {

// "pipe:N" is descriptor N; anything else is a file's path.
std::optional<int> PipeNumber(const std::string& target) {
  if (target.rfind("pipe:", 0) != 0) return std::nullopt;
  const std::string digits = target.substr(5);
  if (digits.empty() || digits.size() > 4 || digits.find_first_not_of("0123456789") != std::string::npos) {
    throw UsageError("-progress '" + target + "': pipe:N takes a descriptor number (pipe:1 the standard output)");
  }
  return std::stoi(digits);
}

double Period(const std::string& text) {
  const double period = static_cast<double>(ParseTime(text, "-stats_period")) / 1e6;
  if (period <= 0) throw UsageError("-stats_period is a time above 0");
  return period;
}

// The terminal's width, so that the bar never wraps: a wrapped line is one
// that \r cannot go back over.
int Columns() {
#ifndef _WIN32
  winsize size{};
  if (::ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
  return 80;
}

}  // namespace

void CheckProgressRequest(const ProgressRequest& request, const std::string& output) {
  Period(request.period);
  if (request.target.empty()) return;
  if (const std::optional<int> fd = PipeNumber(request.target)) {
    if (*fd == 1 && output == "-") {
      throw UsageError("-progress pipe:1 and -o - would both write to the standard output");
    }
#ifndef _WIN32
    if (::fcntl(*fd, F_GETFD) == -1) throw UsageError("-progress " + request.target + ": the descriptor is not open");
#endif
    return;
  }
  if (const std::optional<std::string> problem = OutputPathProblem(request.target)) {
    throw UsageError("-progress: " + *problem);
  }
}

Progress::Progress(const char* what, long total, double secondsPerUnit, bool videoFrames,
                   const ProgressRequest& request, bool quiet)
    : m_what(what),
      m_total(std::max(total, 1L)),
      m_secondsPerUnit(secondsPerUnit),
      m_videoFrames(videoFrames),
      m_bar(!quiet && ::isatty(2) == 1),
      m_begin(std::chrono::steady_clock::now()),
      m_lastBlock(m_begin),
      m_lastBar(m_begin) {
  m_period = Period(request.period);
  if (request.target.empty()) return;
  if (const std::optional<int> fd = PipeNumber(request.target)) {
    m_fd = *fd;
  } else {
    // Appended to, as a log is: whatever the file held stays, and a reader
    // that follows it (tail -f) sees each block whole as it is written.
    m_fd = ::open(request.target.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_BINARY, 0666);
    if (m_fd < 0) throw OutputError("cannot write '" + request.target + "': " + std::strerror(errno));
    m_own = true;
  }
  // The blocks on the terminal's stderr: a bar would scribble over them.
  if (m_fd == 2) m_bar = false;
}

Progress::~Progress() {
  try {
    if (!m_finished && m_fd >= 0) Block(true);
  } catch (...) {  // an error is already on its way, or the reader is gone
  }
  ClearBar();
  if (m_own) ::close(m_fd);
}

void Progress::Update(long done) {
  m_done = done;
  const auto now = std::chrono::steady_clock::now();
  if (m_fd >= 0 && std::chrono::duration<double>(now - m_lastBlock).count() >= m_period) {
    m_lastBlock = now;
    Block(false);
  }
  // A tenth of a second between redraws is smooth enough and costs nothing.
  if (m_bar && (done >= m_total || now - m_lastBar >= std::chrono::milliseconds(100))) {
    m_lastBar = now;
    Bar();
  }
}

void Progress::Finish() {
  m_finished = true;
  ClearBar();
  if (m_fd >= 0) Block(true);
}

void Progress::Block(bool last) {
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_begin).count();
  const long long us = std::llround(static_cast<double>(m_done) * m_secondsPerUnit * 1e6);
  char text[512];
  int length = 0;
  auto add = [&](const char* format, auto... values) {
    length += std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length), format, values...);
  };
  if (m_videoFrames) {
    add("frame=%ld\n", m_done);
    add("fps=%.2f\n", elapsed > 0 ? static_cast<double>(m_done) / elapsed : 0.0);
  }
  add("bitrate=N/A\n");
  // ffmpeg writes microseconds under out_time_ms too; readers count on it.
  add("out_time_us=%lld\nout_time_ms=%lld\n", us, us);
  add("out_time=%02lld:%02lld:%02lld.%06lld\n", us / 3600000000LL, us / 60000000LL % 60, us / 1000000LL % 60,
      us % 1000000LL);
  if (elapsed > 0) {
    add("speed=%.3gx\n", static_cast<double>(us) / 1e6 / elapsed);
  } else {
    add("speed=N/A\n");
  }
  add("progress=%s\n", last ? "end" : "continue");
  // One write per block: a reader never sees half of one.
  for (const char* at = text; length > 0;) {
    const ssize_t wrote = ::write(m_fd, at, static_cast<std::size_t>(length));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0 && errno == EPIPE) throw ReaderGone{};
    if (wrote < 0) throw OutputError(std::string("cannot write the progress: ") + std::strerror(errno));
    at += wrote;
    length -= static_cast<int>(wrote);
  }
}

void Progress::Bar() {
  const int width = 30;
  const int filled = static_cast<int>(width * std::min(m_done, m_total) / m_total);
  char line[256];
  std::snprintf(line, sizeof line, "%s [%.*s%*s] %ld/%ld", m_what, filled, "##############################",
                width - filled, "", std::min(m_done, m_total), m_total);
  // Cut to the terminal's width less one, so that the cursor never wraps.
  const std::size_t most = static_cast<std::size_t>(std::max(Columns() - 1, 1));
  std::string shown(line);
  if (shown.size() > most) shown.resize(most);
#ifdef _WIN32
  std::fprintf(stderr, "\r%s", shown.c_str());
#else
  std::fprintf(stderr, "\r%s\x1b[K", shown.c_str());
#endif
  std::fflush(stderr);
  m_drawn = true;
}

void Progress::ClearBar() {
  if (!m_drawn) return;
  m_drawn = false;
#ifdef _WIN32
  std::fprintf(stderr, "\r%*s\r", std::max(Columns() - 1, 1), "");
#else
  std::fputs("\r\x1b[K", stderr);
#endif
  std::fflush(stderr);
}

}  // namespace cli
