// Audio outputs: WAV files (RF64 past 4 GiB), streamable WAV on a pipe, and
// raw interleaved samples.
#include "Encoders.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

namespace cli {

namespace {

std::string Reason() { return std::strerror(errno); }

}  // namespace

// --- audio -------------------------------------------------------------------

namespace {

void Put16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}
void Put32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
void Put64(std::uint8_t* at, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The header's layout: RIFF, a JUNK chunk that keeps the room of a ds64
// chunk (it becomes one when the data passes what 32-bit sizes hold), fmt
// (plain PCM for 16-bit mono and stereo, the extensible form for float and
// more channels), fact for float samples, and the data chunk's header.
constexpr std::size_t kRiffSizeAt = 4;
constexpr std::size_t kJunkAt = 12;
constexpr std::size_t kJunkBytes = 28;  // ds64: RIFF size, data size, sample count, an empty table
constexpr std::uint32_t kUnknownSize = 0xFFFFFFFFu;

bool Seekable(std::FILE* stream) {
#ifdef _WIN32
  struct _stat64 status {};
  return ::_fstat64(::_fileno(stream), &status) == 0 && (status.st_mode & _S_IFMT) == _S_IFREG;
#else
  struct stat status {};
  return ::fstat(::fileno(stream), &status) == 0 && S_ISREG(status.st_mode);
#endif
}

}  // namespace

AudioWriter::AudioWriter(OutputFile& out, Container container, int sampleRate, int channels, bool floatSamples)
    : m_out(out),
      m_wav(container == Container::kWav),
      m_frameBytes(static_cast<std::size_t>(channels) * (floatSamples ? 4 : 2)) {
  if (!m_wav) return;
  const bool extensible = floatSamples || channels > 2;
  const std::uint16_t bits = floatSamples ? 32 : 16;
  const std::size_t fmtBytes = extensible ? 40 : 16;
  std::vector<std::uint8_t> header(12 + 8 + kJunkBytes + 8 + fmtBytes + (floatSamples ? 12 : 0) + 8, 0);
  std::uint8_t* at = header.data();
  std::memcpy(at, "RIFF", 4);
  std::memcpy(at + 8, "WAVE", 4);
  at += 12;
  std::memcpy(at, "JUNK", 4);
  Put32(at + 4, kJunkBytes);
  at += 8 + kJunkBytes;
  std::memcpy(at, "fmt ", 4);
  Put32(at + 4, static_cast<std::uint32_t>(fmtBytes));
  Put16(at + 8, extensible ? 0xFFFE : 1);  // WAVE_FORMAT_EXTENSIBLE, WAVE_FORMAT_PCM
  Put16(at + 10, static_cast<std::uint16_t>(channels));
  Put32(at + 12, static_cast<std::uint32_t>(sampleRate));
  Put32(at + 16, static_cast<std::uint32_t>(sampleRate * m_frameBytes));
  Put16(at + 20, static_cast<std::uint16_t>(m_frameBytes));
  Put16(at + 22, bits);
  if (extensible) {
    Put16(at + 24, 22);
    Put16(at + 26, bits);
    // The usual speaker positions for 1 to 8 channels; none named past that.
    static const std::uint32_t kMasks[] = {0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x13F, 0x63F};
    Put32(at + 28, channels <= 8 ? kMasks[channels - 1] : 0);
    // KSDATAFORMAT_SUBTYPE_PCM or _IEEE_FLOAT: the format tag in the first
    // word of the base GUID.
    static const std::uint8_t kSubtype[16] = {0,    0,    0,    0,    0x00, 0x00, 0x10, 0x00,
                                              0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    std::memcpy(at + 32, kSubtype, 16);
    Put16(at + 32, floatSamples ? 3 : 1);
  }
  at += 8 + fmtBytes;
  if (floatSamples) {
    std::memcpy(at, "fact", 4);
    Put32(at + 4, 4);
    m_factAt = static_cast<std::size_t>(at + 8 - header.data());
    at += 12;
  }
  std::memcpy(at, "data", 4);
  m_dataSizeAt = static_cast<std::size_t>(at + 4 - header.data());
  // On a pipe the sizes cannot be completed: at their largest, readers of
  // streams take them as "until the end of the stream".
  m_seekable = Seekable(out.Stream());
  if (!m_seekable) {
    Put32(header.data() + kRiffSizeAt, kUnknownSize);
    Put32(header.data() + m_dataSizeAt, kUnknownSize);
    if (m_factAt != 0) Put32(header.data() + m_factAt, kUnknownSize);
  }
  out.Write(header.data(), header.size());
  m_header = std::move(header);
}

AudioWriter::~AudioWriter() = default;

void AudioWriter::Append(const void* samples, std::size_t bytes) {
  const std::size_t whole = bytes - bytes % m_frameBytes;
  m_out.Write(samples, whole);
  m_dataBytes += whole;
}

void AudioWriter::Close() {
  if (!m_wav || !m_seekable) return;
  // The data of whole 16- or 32-bit frames has an even length: no pad byte.
  std::vector<std::uint8_t>& header = m_header;
  const std::uint64_t riffBytes = header.size() - 8 + m_dataBytes;
  const std::uint64_t frames = m_dataBytes / m_frameBytes;
  const bool rf64 = riffBytes > kUnknownSize - 1;
  std::FILE* stream = m_out.Stream();
  if (rf64) {
    // RF64: the 32-bit sizes say "see ds64", which holds the 64-bit ones.
    std::memcpy(header.data(), "RF64", 4);
    Put32(header.data() + kRiffSizeAt, kUnknownSize);
    std::memcpy(header.data() + kJunkAt, "ds64", 4);
    Put64(header.data() + kJunkAt + 8, riffBytes);
    Put64(header.data() + kJunkAt + 16, m_dataBytes);
    Put64(header.data() + kJunkAt + 24, frames);
    Put32(header.data() + kJunkAt + 32, 0);
    Put32(header.data() + m_dataSizeAt, kUnknownSize);
    if (m_factAt != 0) Put32(header.data() + m_factAt, kUnknownSize);
  } else {
    Put32(header.data() + kRiffSizeAt, static_cast<std::uint32_t>(riffBytes));
    Put32(header.data() + m_dataSizeAt, static_cast<std::uint32_t>(m_dataBytes));
    if (m_factAt != 0) Put32(header.data() + m_factAt, static_cast<std::uint32_t>(frames));
  }
  if (std::fflush(stream) != 0 || std::fseek(stream, 0, SEEK_SET) != 0) {
    throw OutputError("cannot complete the header of " + m_out.Name() + ": " + Reason());
  }
  m_out.Write(header.data(), header.size());
}

}  // namespace cli
