#include "extract/mediatypes.h"

#include <array>
#include <utility>

#include "extract/linkresolver.h"

namespace larkvale::extract {
namespace {

// The extensions that plain links are taken by.
constexpr std::array<std::string_view, 8> kVideoFileExtensions = {".mp4", ".webm", ".mkv", ".mov",
                                                                  ".m4v", ".ogv",  ".flv", ".avi"};
// Further media extensions a file may keep as its own.
constexpr std::array<std::string_view, 12> kOtherMediaExtensions = {
    ".mpg", ".mpeg", ".3gp", ".wmv", ".mp3", ".m4a", ".ogg", ".oga", ".opus", ".wav", ".flac", ".aac"};

// Media types and the extension a file of that type gets.
constexpr std::array<std::pair<std::string_view, std::string_view>, 27> kTypeExtensions = {{
    {"video/mp4", ".mp4"},        {"video/webm", ".webm"},        {"video/x-matroska", ".mkv"},
    {"video/quicktime", ".mov"},  {"video/x-m4v", ".m4v"},        {"video/ogg", ".ogv"},
    {"video/x-flv", ".flv"},      {"video/flv", ".flv"},          {"video/x-msvideo", ".avi"},
    {"video/avi", ".avi"},        {"video/msvideo", ".avi"},      {"video/mpeg", ".mpg"},
    {"video/3gpp", ".3gp"},       {"video/x-ms-wmv", ".wmv"},     {"audio/mpeg", ".mp3"},
    {"audio/mp3", ".mp3"},        {"audio/mp4", ".m4a"},          {"audio/x-m4a", ".m4a"},
    {"audio/ogg", ".ogg"},        {"audio/opus", ".opus"},        {"audio/wav", ".wav"},
    {"audio/x-wav", ".wav"},      {"audio/wave", ".wav"},         {"audio/flac", ".flac"},
    {"audio/x-flac", ".flac"},    {"audio/aac", ".aac"},          {"audio/webm", ".webm"},
}};

std::string Lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// "video/mp4" from " Video/MP4 ; codecs=avc1".
std::string MediaType(std::string_view contentType) {
  contentType = contentType.substr(0, contentType.find(';'));
  while (!contentType.empty() && (contentType.front() == ' ' || contentType.front() == '\t'))
    contentType.remove_prefix(1);
  while (!contentType.empty() && (contentType.back() == ' ' || contentType.back() == '\t'))
    contentType.remove_suffix(1);
  return Lowered(contentType);
}

// ".mp4" from ".../Clip.MP4", empty when the last segment has no dot.
std::string PathExtension(std::string_view address) {
  std::string_view path = LinkPath(address);
  path = path.substr(path.rfind('/') == std::string_view::npos ? 0 : path.rfind('/') + 1);
  const auto dot = path.rfind('.');
  if (dot == std::string_view::npos) return {};
  return Lowered(path.substr(dot));
}

template <std::size_t N>
bool Contains(const std::array<std::string_view, N>& list, std::string_view value) {
  for (const auto& item : list)
    if (item == value) return true;
  return false;
}

bool IsMediaExtension(std::string_view extension) {
  return Contains(kVideoFileExtensions, extension) || Contains(kOtherMediaExtensions, extension);
}

bool IsStreamMediaType(const std::string& type) {
  return type == "application/x-mpegurl" || type == "application/vnd.apple.mpegurl" || type == "audio/mpegurl" ||
         type == "audio/x-mpegurl" || type == "application/dash+xml";
}

}  // namespace

bool HasStreamExtension(std::string_view address) {
  const std::string extension = PathExtension(address);
  return extension == ".m3u8" || extension == ".mpd";
}

bool IsStreamType(std::string_view contentType, std::string_view address) {
  const std::string type = MediaType(contentType);
  if (IsStreamMediaType(type)) return true;
  if (type == "text/plain" || type == "application/octet-stream" || type == "binary/octet-stream")
    return HasStreamExtension(address);
  return false;
}

std::string MediaExtension(std::string_view address, std::string_view contentType) {
  const std::string fromPath = PathExtension(address);
  if (IsMediaExtension(fromPath)) return fromPath;
  if (HasStreamExtension(address)) return ".mp4";
  const std::string type = MediaType(contentType);
  if (IsStreamMediaType(type)) return ".mp4";
  for (const auto& [name, extension] : kTypeExtensions)
    if (type == name) return std::string(extension);
  return {};
}

std::string MediaFileName(unsigned long long n, std::string_view address, std::string_view contentType) {
  std::string extension = MediaExtension(address, contentType);
  if (extension.empty()) extension = ".flv";
  return "flv" + std::to_string(n) + "video" + extension;
}

bool IsDirectMedia(std::string_view contentType, std::string_view address) {
  const std::string type = MediaType(contentType);
  if (type == "audio/mpegurl" || type == "audio/x-mpegurl" || type == "audio/x-scpls") return false;
  for (const std::string_view family : {"video/", "audio/"})
    if (type.size() > family.size() && type.compare(0, family.size(), family) == 0) return true;
  if (type == "application/octet-stream" || type == "binary/octet-stream")
    return IsMediaExtension(PathExtension(address));
  return false;
}

bool HasVideoFileExtension(std::string_view address) {
  return Contains(kVideoFileExtensions, PathExtension(address));
}

}  // namespace larkvale::extract
