#pragma once
// Whether a fetched piece of a stream is media of a kind the join reads,
// before it counts as whole. A server that answers a segment with an error
// page, a login page or an empty body under 200 must not have that piece
// skipped by the join and the file called done with a gap in it.
//
// Kinds: an MPEG transport stream (the sync byte 0x47 at the start and every
// 188 bytes over what is checked), ISO base media boxes (fMP4 segments and
// init sections: a sequence of well-formed box headers that starts with a
// box that can stand at the top of a file), Matroska/WebM elements, and
// packed audio (ADTS AAC, MPEG audio, AC-3, each possibly led by ID3 tags).
// Pure functions: the fetcher reads the bytes.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace larkvale::stream {

enum class PieceRole {
  kSegment,  // a media segment
  kInit,     // an initialisation section: it must hold the stream's description
};

// Bytes of the piece from `offset`, up to `n` (fewer only at its end).
using PieceRead = std::function<std::string(std::int64_t offset, std::size_t n)>;

// Empty when the piece of `size` bytes is media for `role`; else why not, as
// a phrase that follows "the server sent " ("an empty body", "something
// that is not media (it begins \"<!DOCTYPE html>\")").
std::string WhyNotMedia(std::int64_t size, const PieceRead& read, PieceRole role);
std::string WhyNotMedia(std::string_view bytes, PieceRole role);

// Whether a reply's Content-Type names a page rather than media
// ("text/html", "application/xhtml+xml", with any parameters).
bool IsPageType(std::string_view contentType);

}  // namespace larkvale::stream
