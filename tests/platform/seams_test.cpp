#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <stdexcept>

#include "platform/clipboard.h"
#include "platform/errorreport.h"
#include "platform/version.h"
#include "support/fakes.h"

namespace larkvale::platform {
namespace {

TEST(ErrorReport, GuardShowsTheTextWithOneFullStopAndCarriesOn) {
  testing::ScriptedDialogs dialogs;
  EXPECT_FALSE(RunGuarded(dialogs, "Larkvale_HD", [] { throw std::runtime_error("Invalid filename"); }));
  EXPECT_FALSE(RunGuarded(dialogs, "Larkvale_HD", [] { throw std::runtime_error("Connection Closed Gracefully."); }));
  EXPECT_TRUE(RunGuarded(dialogs, "Larkvale_HD", [] {}));
  ASSERT_EQ(dialogs.shown.size(), 2u);
  EXPECT_EQ(dialogs.shown[0].kind, "error");
  EXPECT_EQ(dialogs.shown[0].title, "Larkvale_HD");
  EXPECT_EQ(dialogs.shown[0].text, "Invalid filename.");
  EXPECT_EQ(dialogs.shown[1].text, "Connection Closed Gracefully.");
}

TEST(Version, EmptyBuildVersionReadsAsZeros) {
  EXPECT_EQ(VersionOrDefault(""), "0.0.0.0");
  EXPECT_EQ(VersionOrDefault("1.2.3.4"), "1.2.3.4");
  EXPECT_FALSE(ProgramVersion().isEmpty());
}

TEST(WrapLikeEditBox, BreaksAtLineEndsAndAtTheBoxWidth) {
  const QFont font = QApplication::font();
  EXPECT_EQ(WrapLikeEditBox("a\r\nb\rc\nd", font, 657), (QStringList{"a", "b", "c", "d"}));
  EXPECT_EQ(WrapLikeEditBox(QString("one\ntwo") + QChar(0) + "three", font, 657), (QStringList{"one", "two"}));

  // A long paragraph of words becomes several lines, each no wider than the
  // box, that together hold the whole paragraph.
  QString paragraph;
  for (int i = 0; i < 200; ++i) paragraph += QStringLiteral("word%1 ").arg(i);
  const QStringList lines = WrapLikeEditBox(paragraph, font, 300);
  ASSERT_GT(lines.size(), 3);
  EXPECT_EQ(lines.join(QString()), paragraph);
  const QFontMetrics metrics(font);
  for (const QString& line : lines) EXPECT_LE(metrics.horizontalAdvance(line.trimmed()), 300);

  // Paragraphs that cannot matter are passed through unwrapped.
  EXPECT_EQ(WrapLikeEditBox(paragraph, font, 300, [](const QString&) { return false; }), QStringList{paragraph});
}

}  // namespace
}  // namespace larkvale::platform
