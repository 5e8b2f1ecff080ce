#include "engine/firstframe.h"

#include "engine/ffmpegutil.h"

#include <algorithm>

namespace larkvale::engine {

QImage FirstFrame(const std::string& path, QSize box) {
  InputPtr fc = OpenInput(path);
  if (!fc) return {};
  const AVCodec* dec = nullptr;
  int v = av_find_best_stream(fc.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &dec, 0);
  if (v < 0 || !dec) return {};
  AVStream* st = fc->streams[v];
  CodecPtr cc(avcodec_alloc_context3(dec));
  if (!cc || avcodec_parameters_to_context(cc.get(), st->codecpar) < 0) return {};
  if (avcodec_open2(cc.get(), dec, nullptr) < 0) return {};
  PacketPtr pkt = MakePacket();
  FramePtr frame = MakeFrame();
  bool got = false;
  bool flushed = false;
  while (!got) {
    int r = avcodec_receive_frame(cc.get(), frame.get());
    if (r == 0) {
      got = true;
      break;
    }
    if (r != AVERROR(EAGAIN) || flushed) break;
    int rr = av_read_frame(fc.get(), pkt.get());
    if (rr < 0) {
      avcodec_send_packet(cc.get(), nullptr);
      flushed = true;
      continue;
    }
    if (pkt->stream_index == v) avcodec_send_packet(cc.get(), pkt.get());
    av_packet_unref(pkt.get());
  }
  if (!got || frame->width <= 0 || frame->height <= 0) return {};

  // Shown with its display shape, so non-square pixels are corrected.
  AVRational sar = frame->sample_aspect_ratio.num > 0 ? frame->sample_aspect_ratio : AVRational{1, 1};
  int dispW = std::max(1, int(frame->width * av_q2d(sar) + 0.5));
  int dispH = frame->height;
  int w = dispW, h = dispH;
  if (box.isValid() && box.width() > 0 && box.height() > 0) {
    double s = std::min(box.width() / double(dispW), box.height() / double(dispH));
    w = std::max(1, int(dispW * s + 0.5));
    h = std::max(1, int(dispH * s + 0.5));
  }
  SwsPtr sws(sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format), w, h,
                            AV_PIX_FMT_RGB32, SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!sws) return {};
  QImage img(w, h, QImage::Format_RGB32);
  uint8_t* dst[4] = {img.bits(), nullptr, nullptr, nullptr};
  int dstStride[4] = {int(img.bytesPerLine()), 0, 0, 0};
  sws_scale(sws.get(), frame->data, frame->linesize, 0, frame->height, dst, dstStride);
  return img;
}

}  // namespace larkvale::engine
