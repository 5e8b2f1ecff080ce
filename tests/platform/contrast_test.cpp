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

}  // namespace
}  // namespace larkvale::platform
