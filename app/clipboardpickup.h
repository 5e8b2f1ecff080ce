#pragma once
#include <QFont>
#include <QString>

namespace larkvale::app {

// Width of the hidden edit box the clipboard text is pasted into; its lines
// decide what counts as one line of the clipboard.
inline constexpr int kPickupBoxWidthPx = 657;

// The watch-page address on the clipboard: the last line (as the edit box
// shows the text) that contains the video site's or the Google Video
// service's domain, trimmed of blanks and control characters. Empty when no
// line matches.
QString PickWatchAddress(const QString& clipboardText, const QFont& font);

// Removes leading and trailing blanks and control characters.
QString TrimBlanksAndControls(const QString& text);

}  // namespace larkvale::app
