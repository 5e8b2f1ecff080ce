#include "platform/datadir.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace larkvale::platform {
namespace {

// A tree with an executable folder and an installed data folder beside it:
// <root>/bin, <root>/share/larkvale_hd, and a configured prefix elsewhere.
class DataDirTest : public ::testing::Test {
 protected:
  QTemporaryDir root;
  QString bin = root.filePath("bin");
  QString shared = root.filePath("share/larkvale_hd");
  QString prefix = root.filePath("prefix/share/larkvale_hd");

  void SetUp() override {
    for (const QString& d : {bin, shared, prefix}) ASSERT_TRUE(QDir().mkpath(d));
  }
  static void Mark(const QString& dir) {
    QFile f(QDir(dir).filePath(kDataMarkerFile));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }
  QString Find() const { return FindDataDir(bin, "../share/larkvale_hd", prefix); }
};

TEST_F(DataDirTest, BuildTreeComesFirstThenTheInstalledTreeThenThePrefix) {
  // Nothing anywhere: the executable's folder, as before installing existed.
  EXPECT_EQ(Find(), bin + "/");
  Mark(prefix);
  EXPECT_EQ(Find(), prefix + "/");
  Mark(shared);
  EXPECT_EQ(Find(), shared + "/");  // cleaned: no "bin/../" left in it
  Mark(bin);
  EXPECT_EQ(Find(), bin + "/");
}

TEST_F(DataDirTest, AFolderNamedLikeTheMarkerDoesNotCount) {
  ASSERT_TRUE(QDir().mkpath(QDir(shared).filePath(kDataMarkerFile)));
  EXPECT_EQ(Find(), bin + "/");
}

TEST(DataDir, TheRunningTestsFindTheBuildTreeData) {
  // The test executable sits in the build's bin folder with the data copied
  // beside it, exactly like the program.
  EXPECT_EQ(ProgramDataDir(), QStringLiteral(LARKVALE_APPDIR));
}

}  // namespace
}  // namespace larkvale::platform
