#pragma once
// The first picture of a media file, for thumbnails. Kept out of the
// engine's core so that the command line, which shows no pictures, needs no
// Qt GUI library.

#include <QImage>
#include <QSize>

#include <string>

namespace larkvale::engine {

// The first decodable picture, scaled to fit `box` keeping its shape (a null
// size keeps the picture's own size). Null image when there is no picture,
// or the file is missing or not media.
QImage FirstFrame(const std::string& path, QSize box = {});

}  // namespace larkvale::engine
