// The module moravane-cli-media.so: NUT and Matroska through libavformat.
// The muxers are FFmpeg's, the bytes they write go through an AVIOContext
// whose callbacks are the program's OutputFile.
#include "Media.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/buffer.h>
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstring>
#include <exception>

#include <sys/stat.h>

namespace cli {

namespace {

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

AVPixelFormat PixelFormatOf(const PictureFormat& p) {
  const AVPixelFormat format = av_get_pix_fmt(PixelFormatName(p.chroma, p.bits).c_str());
  if (format == AV_PIX_FMT_NONE) throw OutputError("FFmpeg's libraries have no " + PixelFormatName(p.chroma, p.bits));
  return format;
}

bool Seekable(std::FILE* stream) {
  struct stat status {};
  return ::fstat(::fileno(stream), &status) == 0 && S_ISREG(status.st_mode);
}

// The libraries' objects of one stream, freed with it.
struct State {
  OutputFile& out;
  MediaFormat format;
  AVFormatContext* context = nullptr;
  AVIOContext* io = nullptr;
  AVCodecContext* encoder = nullptr;  // FFV1; rawvideo needs none
  AVStream* video = nullptr;
  AVStream* audio = nullptr;
  AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  // Raw pictures' packets: megabytes each, reused once the muxer has
  // written them rather than fresh (and page-faulted) memory every frame.
  AVBufferPool* pictures = nullptr;
  int pictureBytes = 0;
  std::int64_t frames = 0;
  std::int64_t samples = 0;
  // What OutputFile threw inside a callback, thrown again once FFmpeg has
  // returned: no exception may cross its C frames.
  std::exception_ptr failure;
  bool seekable = false;

  explicit State(OutputFile& file, const MediaFormat& f) : out(file), format(f) {}
  ~State() {
    av_packet_free(&packet);
    av_frame_free(&frame);
    av_buffer_pool_uninit(&pictures);
    avcodec_free_context(&encoder);
    avformat_free_context(context);  // without a trailer: the caller discards the output
    if (io != nullptr) av_freep(&io->buffer);
    avio_context_free(&io);
  }

  // Throws what a callback caught, else an OutputError with FFmpeg's text.
  void Check(int result, const char* what) {
    if (result >= 0) return;
    if (failure) std::rethrow_exception(std::exchange(failure, nullptr));
    throw OutputError("cannot " + std::string(what) + " " + out.Name() + ": " + AvError(result));
  }

  static int Write(void* opaque, std::uint8_t* data, int bytes) {
    auto* self = static_cast<State*>(opaque);
    try {
      self->out.Write(data, static_cast<std::size_t>(bytes));
      return bytes;
    } catch (...) {
      self->failure = std::current_exception();
      return AVERROR(EIO);
    }
  }

  static std::int64_t Seek(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<State*>(opaque);
    std::FILE* stream = self->out.Stream();
    if (std::fflush(stream) != 0) return AVERROR(errno);
    if (whence & AVSEEK_SIZE) {
      struct stat status {};
      return ::fstat(::fileno(stream), &status) == 0 ? static_cast<std::int64_t>(status.st_size) : AVERROR(errno);
    }
    if (::fseeko(stream, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE) != 0) return AVERROR(errno);
    return static_cast<std::int64_t>(::ftello(stream));
  }

  // Straight to the muxer, which keeps no reference: the picture's packet
  // is back in its pool at once and the next picture is converted into
  // the same memory, where interleaving held two or three megabyte-sized
  // packets going round. The caller interleaves: each picture, then the
  // sound that starts within its time.
  void Send(AVPacket* p, AVStream* stream, AVRational from) {
    av_packet_rescale_ts(p, from, stream->time_base);
    p->stream_index = stream->index;
    const int written = av_write_frame(context, p);
    av_packet_unref(p);
    Check(written, "write");
  }

  void Drain(bool flush) {
    if (flush) Check(avcodec_send_frame(encoder, nullptr), "encode");
    for (;;) {
      const int got = avcodec_receive_packet(encoder, packet);
      if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return;
      Check(got, "encode");
      Send(packet, video, encoder->time_base);
    }
  }
};

class LibavWriter final : public MediaWriter {
 public:
  LibavWriter(OutputFile& out, const MediaFormat& format);
  void WriteVideo(const FrameView& frame) override;
  void WriteAudio(const std::int16_t* samples, std::size_t frames) override;
  void Close() override;

 private:
  State m;
};

}  // namespace

LibavWriter::LibavWriter(OutputFile& out, const MediaFormat& f) : m(out, f) {
  State& s = m;
  // The libraries' notes (FFV1 choosing its coder) are not the user's business;
  // their errors are, and reach the user through Check's messages too.
  av_log_set_level(AV_LOG_ERROR);
  const char* muxer = f.matroska ? "matroska" : "nut";
  s.Check(avformat_alloc_output_context2(&s.context, nullptr, muxer, nullptr), "set up");
  constexpr int kBufferBytes = 1 << 16;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferBytes));
  if (buffer == nullptr) throw std::bad_alloc();
  // A regular file can be sought (Matroska then completes its duration and
  // index); a pipe, a FIFO or a device is written straight through.
  s.seekable = Seekable(out.Stream());
  s.io = avio_alloc_context(buffer, kBufferBytes, 1, &s, nullptr, &State::Write, s.seekable ? &State::Seek : nullptr);
  if (s.io == nullptr) {
    av_free(buffer);
    throw std::bad_alloc();
  }
  s.io->direct = 1;  // frames go to OutputFile as they are, not in 64 KiB pieces
  s.context->pb = s.io;
  s.context->flags |= AVFMT_FLAG_CUSTOM_IO;
  s.packet = av_packet_alloc();
  if (s.packet == nullptr) throw std::bad_alloc();

  s.pixelFormat = PixelFormatOf(f.picture);
  const AVRational frameTime{f.rateDenominator, f.rateNumerator};
  s.video = avformat_new_stream(s.context, nullptr);
  if (s.video == nullptr) throw std::bad_alloc();
  s.video->time_base = frameTime;
  s.video->avg_frame_rate = s.video->r_frame_rate = AVRational{f.rateNumerator, f.rateDenominator};
  s.video->sample_aspect_ratio = AVRational{f.aspectNumerator, f.aspectDenominator};
  s.video->disposition = AV_DISPOSITION_DEFAULT;  // the track a player picks
  AVCodecParameters* par = s.video->codecpar;
  // The colour tags say how the samples were made: limited range, and the
  // matrix's own primaries and transfer (BT.601 as 525-line SMPTE 170M).
  const bool bt709 = f.picture.matrix == ColourMatrix::kBt709;
  const AVColorSpace space = bt709 ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
  const AVColorPrimaries primaries = bt709 ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M;
  const AVColorTransferCharacteristic transfer = bt709 ? AVCOL_TRC_BT709 : AVCOL_TRC_SMPTE170M;
  const AVFieldOrder fields = f.interlace == 't'   ? AV_FIELD_TT
                              : f.interlace == 'b' ? AV_FIELD_BB
                                                   : AV_FIELD_PROGRESSIVE;
  if (f.ffv1) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_FFV1);
    if (codec == nullptr) throw OutputError("FFmpeg's libraries here have no FFV1 encoder");
    s.encoder = avcodec_alloc_context3(codec);
    if (s.encoder == nullptr) throw std::bad_alloc();
    AVCodecContext* e = s.encoder;
    e->width = f.width;
    e->height = f.height;
    e->pix_fmt = s.pixelFormat;
    e->time_base = frameTime;
    e->framerate = s.video->avg_frame_rate;
    e->level = 3;  // slices and a CRC per slice; its parameters lie in the stream header
    if (s.context->oformat->flags & AVFMT_GLOBALHEADER) e->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    s.Check(avcodec_open2(e, codec, nullptr), "start the FFV1 encoder for");
    s.Check(avcodec_parameters_from_context(par, e), "set up");
    s.frame = av_frame_alloc();
    if (s.frame == nullptr) throw std::bad_alloc();
  } else {
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = AV_CODEC_ID_RAWVIDEO;
    par->format = s.pixelFormat;
    par->width = f.width;
    par->height = f.height;
    par->codec_tag = avcodec_pix_fmt_to_codec_tag(s.pixelFormat);
    par->bits_per_coded_sample = av_get_bits_per_pixel(av_pix_fmt_desc_get(s.pixelFormat));
  }
  // The stream's tags, for both ways: FFV1 stores none of these itself.
  par->sample_aspect_ratio = s.video->sample_aspect_ratio;
  par->field_order = fields;
  par->color_range = AVCOL_RANGE_MPEG;
  par->color_space = space;
  par->color_primaries = primaries;
  par->color_trc = transfer;

  if (f.sampleRate > 0) {
    s.audio = avformat_new_stream(s.context, nullptr);
    if (s.audio == nullptr) throw std::bad_alloc();
    s.audio->time_base = AVRational{1, f.sampleRate};
    s.audio->disposition = AV_DISPOSITION_DEFAULT;
    AVCodecParameters* a = s.audio->codecpar;
    a->codec_type = AVMEDIA_TYPE_AUDIO;
    a->codec_id = AV_CODEC_ID_PCM_S16LE;
    a->format = AV_SAMPLE_FMT_S16;
    a->sample_rate = f.sampleRate;
    av_channel_layout_default(&a->ch_layout, f.channels);
    a->bits_per_coded_sample = 16;
    a->block_align = 2 * f.channels;
    a->bit_rate = static_cast<std::int64_t>(f.sampleRate) * 16 * f.channels;
  }
  // Matroska's muxer puts a CRC-32 over every cluster, which for raw
  // pictures is a checksum over every byte: 2.4 ms of a 1080p frame, more
  // than the conversion. A file keeps them, for whoever checks it later; a
  // stream into a pipe or FIFO is read at once and goes without.
  AVDictionary* options = nullptr;
  if (f.matroska && !s.seekable) av_dict_set(&options, "write_crc32", "0", 0);
  const int written = avformat_write_header(s.context, &options);
  av_dict_free(&options);
  s.Check(written, "write the header of");
}

void LibavWriter::WriteVideo(const FrameView& view) {
  State& s = m;
  const MediaFormat& f = s.format;
  if (view.width != f.width || view.height != f.height) throw OutputError("frames of one stream must have one size");
  const AVRational frameTime{f.rateDenominator, f.rateNumerator};
  if (s.encoder != nullptr) {
    AVFrame* frame = s.frame;
    av_frame_unref(frame);
    frame->format = s.pixelFormat;
    frame->width = f.width;
    frame->height = f.height;
    s.Check(av_frame_get_buffer(frame, 0), "allocate a frame for");
    const std::size_t strides[3] = {static_cast<std::size_t>(frame->linesize[0]),
                                    static_cast<std::size_t>(frame->linesize[1]),
                                    static_cast<std::size_t>(frame->linesize[2])};
    ConvertPicture(view, f.picture, frame->data, strides);
    frame->pts = s.frames++;
    s.Check(avcodec_send_frame(s.encoder, frame), "encode");
    s.Drain(false);
    return;
  }
  // Raw pictures are converted straight into the packet, planes without
  // padding, as rawvideo is read.
  if (s.pictures == nullptr) {
    s.pictureBytes = av_image_get_buffer_size(s.pixelFormat, f.width, f.height, 1);
    s.Check(s.pictureBytes, "lay out");
    s.pictures = av_buffer_pool_init(s.pictureBytes + AV_INPUT_BUFFER_PADDING_SIZE, nullptr);
    if (s.pictures == nullptr) throw std::bad_alloc();
  }
  av_packet_unref(s.packet);
  s.packet->buf = av_buffer_pool_get(s.pictures);
  if (s.packet->buf == nullptr) throw std::bad_alloc();
  s.packet->data = s.packet->buf->data;
  s.packet->size = s.pictureBytes;
  std::uint8_t* planes[4];
  int lines[4];
  s.Check(av_image_fill_arrays(planes, lines, s.packet->data, s.pixelFormat, f.width, f.height, 1), "lay out");
  const std::size_t strides[3] = {static_cast<std::size_t>(lines[0]), static_cast<std::size_t>(lines[1]),
                                  static_cast<std::size_t>(lines[2])};
  ConvertPicture(view, f.picture, planes, strides);
  s.packet->pts = s.packet->dts = s.frames++;
  s.packet->duration = 1;
  s.packet->flags |= AV_PKT_FLAG_KEY;
  s.Send(s.packet, s.video, frameTime);
}

void LibavWriter::WriteAudio(const std::int16_t* samples, std::size_t frames) {
  State& s = m;
  if (s.audio == nullptr || frames == 0) return;
  const std::size_t bytes = frames * 2 * s.format.channels;
  s.Check(av_new_packet(s.packet, static_cast<int>(bytes)), "allocate a packet for");
  std::memcpy(s.packet->data, samples, bytes);
  s.packet->pts = s.packet->dts = s.samples;
  s.packet->duration = static_cast<std::int64_t>(frames);
  s.packet->flags |= AV_PKT_FLAG_KEY;
  s.samples += static_cast<std::int64_t>(frames);
  s.Send(s.packet, s.audio, AVRational{1, s.format.sampleRate});
}

void LibavWriter::Close() {
  State& s = m;
  if (s.encoder != nullptr) s.Drain(true);
  s.Check(av_write_trailer(s.context), "complete");
  avio_flush(s.io);
  if (s.failure) std::rethrow_exception(std::exchange(s.failure, nullptr));
}

}  // namespace cli

// What the program looks up in this module.
extern "C" {
__attribute__((visibility("default"))) extern const char moravane_cli_media_version[];
const char moravane_cli_media_version[] = MORAVANE_CLI_VERSION;

__attribute__((visibility("default"))) cli::MediaWriter* moravane_cli_media_open(cli::OutputFile& out,
                                                                                 const cli::MediaFormat& format) {
  static_assert(std::is_same_v<decltype(&moravane_cli_media_open), cli::OpenMediaWriterFunction>);
  return new cli::LibavWriter(out, format);
}
}
