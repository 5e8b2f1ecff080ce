#include "platform/clipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QTextLayout>

namespace larkvale::platform {

QString QtClipboard::Text() {
  QClipboard* clipboard = QGuiApplication::clipboard();
  return clipboard ? clipboard->text() : QString();
}

QStringList WrapLikeEditBox(const QString& text, const QFont& font, int widthPx,
                            const std::function<bool(const QString&)>& mayMatter) {
  const qsizetype nul = text.indexOf(QChar(0));
  const QString visible = nul >= 0 ? text.left(nul) : text;

  QStringList paragraphs;
  qsizetype start = 0;
  for (qsizetype i = 0; i < visible.size(); ++i) {
    const QChar c = visible[i];
    if (c != '\r' && c != '\n') continue;
    paragraphs << visible.mid(start, i - start);
    if (c == '\r' && i + 1 < visible.size() && visible[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < visible.size() || visible.isEmpty()) paragraphs << visible.mid(start);

  QStringList lines;
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  for (const QString& paragraph : paragraphs) {
    if (paragraph.isEmpty() || (mayMatter && !mayMatter(paragraph))) {
      lines << paragraph;
      continue;
    }
    QTextLayout layout(paragraph, font);
    layout.setTextOption(option);
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
      line.setLineWidth(widthPx);
      lines << paragraph.mid(line.textStart(), line.textLength());
    }
    layout.endLayout();
  }
  return lines;
}

}  // namespace larkvale::platform
