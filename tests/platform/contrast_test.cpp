#include "platform/contrast.h"

#include <gtest/gtest.h>

namespace larkvale::platform {
namespace {

TEST(Contrast, RatiosMatchTheKnownValues) {
  struct Case {
    const char* text;
    const char* background;
    double ratio;
  };
  // Reference values as published by WCAG contrast checkers.
  const Case cases[] = {
      {"#000000", "#ffffff", 21.0},  {"#ffffff", "#ffffff", 1.0},  {"#777777", "#ffffff", 4.48},
      {"#767676", "#ffffff", 4.54},  {"#ff0000", "#ffffff", 4.00}, {"#0000ff", "#ffffff", 8.59},
      {"#00ff00", "#000000", 15.30}, {"#595959", "#ffffff", 7.00},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " on " + c.background);
    EXPECT_NEAR(ContrastRatio(QColor(c.text), QColor(c.background)), c.ratio, 0.01);
    // Swapping text and background gives the same ratio.
    EXPECT_DOUBLE_EQ(ContrastRatio(QColor(c.text), QColor(c.background)),
                     ContrastRatio(QColor(c.background), QColor(c.text)));
  }
}

TEST(Contrast, AaThresholdsForBodyAndLargeText) {
  // #767676 is the lightest grey that passes on white; #777777 just fails.
  EXPECT_TRUE(PassesContrastAA(QColor("#767676"), Qt::white));
  EXPECT_FALSE(PassesContrastAA(QColor("#777777"), Qt::white));
  // Pure red on white (4.0) passes only for large text.
  EXPECT_FALSE(PassesContrastAA(Qt::red, Qt::white));
  EXPECT_TRUE(PassesContrastAA(Qt::red, Qt::white, true));
  // The dark-theme fault: white text on a light panel.
  EXPECT_FALSE(PassesContrastAA(Qt::white, QColor("#f0f0f0"), true));
}

TEST(Contrast, ReadableOnMovesAColourJustFarEnough) {
  struct Case {
    const char* color;
    QList<QColor> backgrounds;
    const char* expected;  // empty: any colour that passes, of the same hue
  };
  const Case cases[] = {
      {"#000000", {QColor("#ffffff")}, "#000000"},                    // already readable: kept
      {"#bebebe", {QColor("#ffffff")}, "#767676"},                    // grey text on white: the lightest grey that reads
      {"#828282", {QColor("#242424"), QColor("#323232")}, ""},        // a dark desktop's grey text, on two panels
      {"#ff0000", {QColor("#ffffff"), QColor("#c6dfef")}, ""},        // red on white and on a selection tint
      {"#242424", {QColor("#0000ff")}, ""},                           // a dark cell behind blue text: lightened
      {"#f0f0f0", {QColor("#f7f9fb"), QColor("#e6ecf2")}, ""},        // white text on a light gradient: darkened
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.color);
    const QColor in(c.color);
    const QColor out = ReadableOn(in, c.backgrounds);
    for (const QColor& b : c.backgrounds) EXPECT_GE(ContrastRatio(out, b), 4.5) << qPrintable(out.name());
    if (*c.expected) EXPECT_EQ(out.name(), c.expected);
    // Same hue (greys stay grey), only lightness moved.
    if (in.hue() >= 0 && out.hue() >= 0) EXPECT_NEAR(out.hue(), in.hue(), 2);
    EXPECT_EQ(in.hue() < 0, out.hue() < 0 || out == Qt::black || out == Qt::white);
  }
  // Qt's default input prompt: black at half strength, seen on white.
  const QColor prompt = BlendOnto(QColor(0, 0, 0, 128), Qt::white);
  EXPECT_EQ(prompt.name(), "#7f7f7f");
  EXPECT_EQ(ReadableOn(prompt, {Qt::white}).name(), "#767676");
}

}  // namespace
}  // namespace larkvale::platform
