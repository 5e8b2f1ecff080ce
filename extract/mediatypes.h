#pragma once
// What a media address is: its file extension, the name its download gets,
// and whether a reply head says the address is itself a video. Pure
// functions over text; the HTTP side reads the head and passes it in.

#include <string>
#include <string_view>

namespace larkvale::extract {

// ".mp4", ".webm", ... in lower case: from the last segment of the
// address's path when that ends in a known media extension, else from the
// media type of `contentType` (parameters such as "; codecs=..." ignored),
// else empty. A stream (see HasStreamExtension, IsStreamType) is saved as
// ".mp4".
std::string MediaExtension(std::string_view address, std::string_view contentType = {});

// The download file name "flv" + n + "video" + extension, with the address's
// own extension; ".flv" when neither the path nor the type tells (so links
// without one keep the name they always had).
std::string MediaFileName(unsigned long long n, std::string_view address, std::string_view contentType = {});

// Whether the address is itself a video (or sound) to be queued directly:
// the reply says video/* or audio/*, or a generic binary type
// (application/octet-stream, binary/octet-stream) while the path ends in a
// media extension. Playlists (audio/mpegurl, audio/x-mpegurl, audio/x-scpls)
// are not media: they only list where the media is.
bool IsDirectMedia(std::string_view contentType, std::string_view address);

// Whether the path of `address` ends in one of the video extensions the page
// finder takes from plain links: .mp4 .webm .mkv .mov .m4v .ogv .flv .avi.
bool HasVideoFileExtension(std::string_view address);

// Whether the path of `address` ends in .m3u8 (an HLS playlist) or .mpd (a
// DASH manifest): a stream, downloaded piece by piece into one .mp4.
bool HasStreamExtension(std::string_view address);

// Whether a reply head says the address is such a stream: the types
// application/x-mpegurl, application/vnd.apple.mpegurl, audio/mpegurl,
// audio/x-mpegurl and application/dash+xml, or text/plain or a generic
// binary type while the path ends in .m3u8 or .mpd.
bool IsStreamType(std::string_view contentType, std::string_view address);

}  // namespace larkvale::extract
