#pragma once
// Clipboard text, and the line splitting of a word-wrapping edit box.

#include <QFont>
#include <QString>
#include <QStringList>
#include <functional>

namespace larkvale::platform {

class Clipboard {
 public:
  virtual ~Clipboard() = default;
  // The clipboard's text, empty when it holds none.
  virtual QString Text() = 0;
};

class QtClipboard : public Clipboard {
 public:
  QString Text() override;
};

// The lines a multi-line edit box of `widthPx` pixels with word wrap shows for
// `text`: the text is cut at CR LF, CR and LF, and each paragraph wider than
// the box is broken at word boundaries (a word wider than the box anywhere).
// The text ends at its first NUL, as clipboard text does. Paragraphs for which
// `mayMatter` is false are returned unwrapped: wrapping can only split them,
// and skipping the layout keeps megabytes of text cheap.
QStringList WrapLikeEditBox(const QString& text, const QFont& font, int widthPx,
                            const std::function<bool(const QString&)>& mayMatter = {});

}  // namespace larkvale::platform
