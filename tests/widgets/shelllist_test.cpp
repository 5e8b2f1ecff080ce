// The file list of one folder: a folder that is not there, and the width of
// the Name column in the details view.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include "widgets/shelllist.h"

namespace larkvale::widgets {
namespace {

void Touch(const QString& path) { QFile(path).open(QIODevice::WriteOnly); }

int Rows(const QAbstractItemView* view) { return view->model()->rowCount(view->rootIndex()); }

TEST(ShellList, AFolderThatIsNotThereShowsNothingAndIsReported) {
  QTemporaryDir root;
  const QString folder = root.path() + "/flv";
  QStringList reported;
  ShellList list;
  list.OnFolderMissing = [&](const QString& f) { reported << f; };
  list.resize(600, 300);
  list.show();

  for (ShellList::ViewStyle style : {ShellList::vsReport, ShellList::vsIcon, ShellList::vsList}) {
    SCOPED_TRACE(int(style));
    list.SetViewStyle(style);
    EXPECT_FALSE(list.SetFolder(folder));
    EXPECT_EQ(Rows(list.CurrentView()), 0);
    EXPECT_TRUE(list.ShownPaths().isEmpty());
  }
  EXPECT_EQ(reported, QStringList(3, folder));
  EXPECT_EQ(list.Folder(), folder);

  // Once it is there it is shown as usual.
  ASSERT_TRUE(QDir().mkpath(folder));
  Touch(folder + "/flv0video.avi");
  list.SetViewStyle(ShellList::vsReport);
  EXPECT_TRUE(list.SetFolder(folder));
  ASSERT_TRUE(QTest::qWaitFor([&] { return Rows(list.CurrentView()) == 1; }, 5000));
  EXPECT_EQ(list.ShownPaths(), QStringList{folder + "/flv0video.avi"});
  EXPECT_EQ(reported.size(), 3);

  // Removed while shown: nothing, not the file system's root, and reported.
  ASSERT_TRUE(QDir(folder).removeRecursively());
  ASSERT_TRUE(QTest::qWaitFor([&] { return reported.size() == 4; }, 10000)) << "the removal went unnoticed";
  EXPECT_EQ(Rows(list.CurrentView()), 0);
  EXPECT_TRUE(list.ShownPaths().isEmpty());
}

TEST(ShellList, TheNameColumnFitsItsNamesAndTakesTheSpareWidth) {
  QTemporaryDir root;
  Touch(root.path() + "/a.avi");
  ShellList list;
  list.resize(900, 300);
  list.show();
  ASSERT_TRUE(list.SetFolder(root.path()));
  auto* view = static_cast<QTreeView*>(list.CurrentView());
  QHeaderView* header = view->header();
  ASSERT_GE(header->count(), 2);
  const auto othersWidth = [&] {
    int others = 0;
    for (int c = 1; c < header->count(); ++c) others += header->sectionSize(c);
    return others;
  };
  // A short name: the column fills the row up to the other columns.
  ASSERT_TRUE(QTest::qWaitFor([&] { return Rows(view) == 1; }, 5000));
  EXPECT_TRUE(QTest::qWaitFor([&] { return header->sectionSize(0) + othersWidth() == view->viewport()->width(); }, 5000))
      << header->sectionSize(0) << " + " << othersWidth() << " != " << view->viewport()->width();
  EXPECT_GT(header->sectionSize(0), othersWidth()) << "the spare width went elsewhere";

  // A name longer than the view is wide: the column is as wide as the name.
  const QString longName = QString(120, QChar('n')) + ".avi";
  Touch(root.path() + "/" + longName);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Rows(view) == 2; }, 5000));
  const int nameWidth = view->fontMetrics().horizontalAdvance(longName);
  EXPECT_TRUE(QTest::qWaitFor([&] { return header->sectionSize(0) >= nameWidth; }, 5000))
      << header->sectionSize(0) << " < " << nameWidth;

  // A wider window gives the spare width to the names, not to the last column.
  list.resize(3000, 300);
  EXPECT_TRUE(QTest::qWaitFor([&] { return header->sectionSize(0) + othersWidth() == view->viewport()->width(); }, 5000));
  EXPECT_GT(header->sectionSize(0), 2 * othersWidth());
}

}  // namespace
}  // namespace larkvale::widgets
