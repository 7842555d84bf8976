// What render and audio take of a source: --frames, --start/--end (frame
// numbers) or -ss/-t/-to (times), read and resolved in one place so that
// both commands mean the same by each.
//
// Times are kept in whole microseconds, as ffmpeg keeps them: a frame is
// selected when its start time n / rate, rounded to the nearest
// microsecond, lies in [ss, to). Frame 1 at 24 fps starts at 41666.67 us,
// which rounds to 41667: "-ss 0.041667" (what a player shows) starts at
// frame 1, "-ss 0.041668" at frame 2.
#include "Cli.h"

#include <contract/Limits.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

namespace cli {

namespace {

constexpr long long kMicro = 1000000;

// The time most a request can reach: the server takes 32-bit milliseconds.
constexpr long long kMostUs = static_cast<long long>(moravane::limits::kMaxTimeMs) * 1000;

std::string Seconds(long long us) {
  char text[40];
  std::snprintf(text, sizeof text, "%.6f", static_cast<double>(us) / kMicro);
  std::string out = text;
  out.erase(out.find_last_not_of('0') + 1);
  if (out.back() == '.') out.pop_back();
  return out + " s";
}

// Digits only, at most nine of them (far below the limits of long).
std::optional<long> Digits(const std::string& text) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return std::stol(text);
}

long FrameNumber(const std::string& text, const char* option, const char* timeOption) {
  if (const std::optional<long> n = Digits(text)) return *n;
  const bool looksLikeTime = text.find_first_of(".:") != std::string::npos;
  throw UsageError(std::string(option) + " is a frame number" +
                   (looksLikeTime ? std::string("; use ") + timeOption + " for seconds"
                                  : " (0, 1, ...) and '" + text + "' is none; " + timeOption + " takes seconds"));
}

// Start time of frame n at num/den frames per second, rounded to the
// nearest microsecond, in integers: n·den/num split into whole seconds
// and a remainder, so that nothing overflows below nine-digit frame numbers.
long long FrameStartUs(long n, std::pair<int, int> rate) {
  const long long ticks = static_cast<long long>(n) * rate.second;
  const long long whole = ticks / rate.first, rest = ticks % rate.first;
  return whole * kMicro + (rest * kMicro * 2 + rate.first) / (2LL * rate.first);
}

// The first frame whose start (rounded) is at or after `us`.
long FirstFrameAtOrAfter(long long us, std::pair<int, int> rate) {
  const long double estimate =
      static_cast<long double>(us) * rate.first / (static_cast<long double>(rate.second) * kMicro);
  long n = std::max(0L, static_cast<long>(estimate) - 2);
  while (FrameStartUs(n, rate) < us) ++n;
  return n;
}

// numerator/denominator seconds as the server takes a time: reduced, and
// rounded to the finest scale that fits 32 bits when it must be.
kelvex::time::RatioTime ServerTime(long long numerator, long long denominator) {
  const long long divisor = std::gcd(numerator, denominator);
  if (divisor > 1) numerator /= divisor, denominator /= divisor;
  for (; numerator > 0x7FFFFFFF || denominator > 0x7FFFFFFF; denominator = (denominator + 5) / 10) {
    numerator = (numerator + 5) / 10;
  }
  return {static_cast<std::int32_t>(numerator), static_cast<std::int32_t>(std::max(denominator, 1LL))};
}

// The source's duration rounded to the microsecond, as times compare with it.
long long DurationUs(const kelvex::time::RatioTime& duration) {
  if (duration.scale <= 0 || duration.value <= 0) return 0;
  return (static_cast<long long>(duration.value) * kMicro * 2 + duration.scale) / (2LL * duration.scale);
}

enum class Kind { kWhole, kRange, kNumbers, kTimes };

// The selection read and checked for contradictions; what needs the source
// waits for it.
struct Parsed {
  Kind kind = Kind::kWhole;
  moravane::host::FrameRange range;  // kRange
  std::optional<long> start, end;    // kNumbers, end inclusive
  long long ssUs = 0;                // kTimes
  std::optional<long long> toUs;     // kTimes: -to, or -ss + -t
  const char* endOption = "-to";     // which option set toUs, for messages
};

Parsed Parse(const Selection& s, bool audio) {
  // Frames and times are two ways of saying one thing: both at once contradict.
  const char* frameOption = s.frames ? "--frames" : s.start ? "--start" : s.end ? "--end" : nullptr;
  const char* timeOption = s.ss ? "-ss" : s.length ? "-t" : s.to ? "-to" : nullptr;
  if (frameOption && timeOption) {
    throw UsageError(std::string(frameOption) + " and " + timeOption +
                     " contradict: select by frame (--frames, or --start and --end) or by time (-ss, -t, -to)");
  }
  if (s.frames && (s.start || s.end)) {
    throw UsageError(std::string("--frames and ") + (s.start ? "--start" : "--end") +
                     " contradict: give a range (--frames A:B) or its first and last frame (--start N --end M)");
  }
  if (s.length && s.to) throw UsageError("-t and -to contradict: give the length (-t) or the end (-to), not both");
  Parsed p;
  if (s.frames) {
    p.kind = Kind::kRange;
    p.range = ParseFrames(*s.frames);
    if (audio && p.range.step != 1) throw UsageError("--frames: audio has no STEP; give A:B");
  } else if (s.start || s.end) {
    p.kind = Kind::kNumbers;
    if (s.start) p.start = FrameNumber(*s.start, "--start", "-ss");
    if (s.end) p.end = FrameNumber(*s.end, "--end", "-to");
    if (p.start && p.end && *p.end < *p.start) {
      throw UsageError("--end " + std::to_string(*p.end) + " comes before --start " + std::to_string(*p.start) +
                       " (both frames are included)");
    }
  } else if (timeOption) {
    p.kind = Kind::kTimes;
    if (s.ss) p.ssUs = ParseTime(*s.ss, "-ss");
    if (s.to) {
      p.toUs = ParseTime(*s.to, "-to");
      if (*p.toUs <= p.ssUs) {
        throw UsageError("-to " + *s.to + " is not after -ss " + s.ss.value_or("0") + ": the selection holds nothing");
      }
    } else if (s.length) {
      const long long length = ParseTime(*s.length, "-t");
      if (length <= 0) throw UsageError("-t is a length above 0");
      if (length > kMostUs - p.ssUs) throw UsageError("-ss and -t end past " + Seconds(kMostUs) + ", the latest time");
      p.toUs = p.ssUs + length;
      p.endOption = s.ss ? "-ss + -t" : "-t";
    }
  }
  return p;
}

std::string SourceEnd(long long durationUs) { return "the source's end (" + Seconds(durationUs) + ")"; }

// [ss, to) checked against a source of `durationUs`; to defaults to its end.
long long CheckTimes(const Parsed& p, long long durationUs) {
  if (p.ssUs >= durationUs) {
    throw UsageError("-ss " + Seconds(p.ssUs) + " is at or past " + SourceEnd(durationUs));
  }
  if (p.toUs && *p.toUs > durationUs) {
    throw UsageError(std::string(p.endOption) + " ends at " + Seconds(*p.toUs) + ", past " + SourceEnd(durationUs));
  }
  return p.toUs.value_or(durationUs);
}

// --start/--end against `count` frames.
std::pair<long, long> CheckNumbers(const Parsed& p, long count) {
  const std::string last = std::to_string(count - 1);
  const long first = p.start.value_or(0), end = p.end.value_or(count - 1);
  if (count <= 0) throw UsageError("the source has no frames to select with --start and --end");
  if (first >= count) {
    throw UsageError("--start " + std::to_string(first) + " is past the source's last frame, " + last);
  }
  if (end >= count) throw UsageError("--end " + std::to_string(end) + " is past the source's last frame, " + last);
  if (end < first) {
    throw UsageError("--end " + std::to_string(end) + " comes before --start " + std::to_string(first) +
                     " (both frames are included)");
  }
  return {first, end + 1};
}

SelectedSpan SpanOfFrames(long first, long end, long step, std::pair<int, int> rate) {
  SelectedSpan span;
  span.first = first;
  span.end = end;
  span.step = step;
  span.start = ServerTime(static_cast<long long>(first) * rate.second, rate.first);
  span.startSeconds = static_cast<double>(first) * rate.second / rate.first;
  span.durationSeconds = static_cast<double>(end - first) * rate.second / rate.first;
  return span;
}

}  // namespace

long long ParseTime(const std::string& text, const char* option) {
  auto refuse = [&]() -> UsageError {
    return UsageError(std::string(option) + " '" + text + "' is not a time: seconds (12.5), MM:SS.mmm or HH:MM:SS.mmm");
  };
  const std::size_t dot = text.find('.');
  const std::string whole = text.substr(0, dot), fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
  if (dot != std::string::npos && (fraction.empty() || fraction.find_first_not_of("0123456789") != std::string::npos)) {
    throw refuse();
  }
  std::vector<std::string> fields;
  std::size_t from = 0;
  for (std::size_t colon; (colon = whole.find(':', from)) != std::string::npos; from = colon + 1) {
    fields.push_back(whole.substr(from, colon - from));
  }
  fields.push_back(whole.substr(from));
  if (fields.size() > 3) throw refuse();
  long long seconds = 0;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::optional<long> value = Digits(fields[i]);
    // Minutes and seconds after a colon are 0 to 59 and two digits wide.
    const bool sixty = i > 0;
    if (!value || (sixty && (fields[i].size() != 2 || *value > 59))) throw refuse();
    seconds = seconds * 60 + *value;
  }
  // Rounded to the microsecond on the seventh digit; later ones change nothing.
  const long long micro = (std::stoll((fraction + "0000000").substr(0, 7)) + 5) / 10;
  if (seconds > kMostUs / kMicro || seconds * kMicro + micro > kMostUs) {
    throw UsageError(std::string(option) + " " + text + " is past " + Seconds(kMostUs) + ", the latest time");
  }
  return seconds * kMicro + micro;
}

void CheckSelection(const Selection& selection, bool audio) { Parse(selection, audio); }

SelectedSpan SelectFrames(const Selection& selection, const kelvex::time::RatioTime& duration,
                          std::pair<int, int> rate) {
  const Parsed p = Parse(selection, false);
  const long count = FrameCount(duration, rate);
  switch (p.kind) {
    case Kind::kWhole:
    case Kind::kRange: {
      // A range the source does not hold is a RequestError: wrong usage.
      const moravane::host::FrameSpan frames = moravane::host::ResolveFrameRange(p.range, count);
      return SpanOfFrames(frames.first, frames.end, frames.step, rate);
    }
    case Kind::kNumbers: {
      const auto [first, end] = CheckNumbers(p, count);
      return SpanOfFrames(first, end, 1, rate);
    }
    case Kind::kTimes:
      break;
  }
  const long long durationUs = DurationUs(duration);
  const long long toUs = CheckTimes(p, durationUs);
  const long first = FirstFrameAtOrAfter(p.ssUs, rate);
  const long end = p.toUs ? std::min(FirstFrameAtOrAfter(toUs, rate), count) : count;
  if (end <= first) {
    throw UsageError("-ss " + Seconds(p.ssUs) + " to " + Seconds(toUs) +
                     " holds no frame's start (frames start every " + std::to_string(rate.second) + "/" +
                     std::to_string(rate.first) + " s)");
  }
  return SpanOfFrames(first, end, 1, rate);
}

SelectedSpan SelectAudio(const Selection& selection, const kelvex::time::RatioTime& duration,
                         std::pair<int, int> rate) {
  const Parsed p = Parse(selection, true);
  const long long durationUs = DurationUs(duration);
  if (p.kind == Kind::kRange || p.kind == Kind::kNumbers) {
    // Frame numbers are times at the source's frame rate: frame n begins at
    // n / rate, and a range ends where the frame after its last begins.
    if (rate.first <= 0) throw UsageError("the source has no frame rate: select its audio by time (-ss, -t, -to)");
    const long count = FrameCount(duration, rate);
    long first = 0, end = 0;
    if (p.kind == Kind::kRange) {
      const moravane::host::FrameSpan frames = moravane::host::ResolveFrameRange(p.range, count);
      first = frames.first, end = frames.end;
    } else {
      std::tie(first, end) = CheckNumbers(p, count);
    }
    SelectedSpan span = SpanOfFrames(first, end, 1, rate);
    // The last frame may run past the source's end; the audio stops there.
    span.durationSeconds = std::min(span.durationSeconds, duration.ToSeconds() - span.startSeconds);
    return span;
  }
  const long long toUs = CheckTimes(p, durationUs);
  SelectedSpan span;
  span.start = ServerTime(p.ssUs, kMicro);
  span.startSeconds = static_cast<double>(p.ssUs) / kMicro;
  span.durationSeconds = p.toUs ? static_cast<double>(toUs - p.ssUs) / kMicro
                                : duration.ToSeconds() - span.startSeconds;  // to the end, exactly
  if (rate.first > 0) {
    span.first = FirstFrameAtOrAfter(p.ssUs, rate);
    span.end = std::max(span.first, FirstFrameAtOrAfter(toUs, rate));
  }
  return span;
}

}  // namespace cli
