#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QFile>
#include <QHeaderView>
#include <QTest>
#include <QTextBrowser>

#include "platform/help.h"
#include "platform/version.h"
#include "support/fakes.h"
#include "support/media_fixtures.h"
#include "support/window_parts.h"
#include "widgets/shelllist.h"
#include "widgets/taskpane.h"

namespace larkvale::app {
namespace {

using testing::Child;
using testing::FakeDesktop;
using testing::Only;

// The Explorer's view buttons, left to right.
QList<QToolButton*> ViewButtons(const MainWindow& form) {
  QList<QToolButton*> buttons;
  for (const char* name :
       {"largeiconsViewButton", "smalliconsViewButton", "listViewButton", "detailsViewButton", "thumbnailsViewButton"})
    buttons << Child<QToolButton>(&form, name);
  return buttons;
}
using widgets::TColor;

TEST(Window, StartsOnTheBrowserPageWithItsLayout) {
  FakeDesktop desktop;
  MainWindow form(desktop.services);
  EXPECT_EQ(form.windowTitle(), "Larkvale_HD");
  EXPECT_EQ(form.activePage(), MainWindow::pgBrowser);
  EXPECT_EQ(Child<widgets::TaskPane>(&form, "mxTaskPanePro1")->HeaderCaption(), "Browser");
  EXPECT_EQ(form.size(), QSize(1086, 769));
  EXPECT_EQ(Child<widgets::StyledButton>(&form, "mxTPButton10")->text(), "Stop downloads");
  EXPECT_EQ(Child<widgets::StyledButton>(&form, "mxTPButton10")->ImageIndex(), 1);
  EXPECT_FALSE(Child<QAbstractButton>(&form, "mxMSButton5")->isEnabled());
  EXPECT_FALSE(Child<QAbstractButton>(&form, "mxMSButton4")->isEnabled());
  EXPECT_EQ(Child<QWidget>(&form, "TimelineHost")->width(), 507);
  EXPECT_EQ(Child<widgets::ShellList>(&form, "ShellList")->Folder(), form.state().videoDir);
  EXPECT_EQ(Child<widgets::ShellList>(&form, "ShellList")->Style(), widgets::ShellList::vsReport);
}

TEST(Window, PageNavigation) {
  FakeDesktop desktop;
  MainWindow form(desktop.services);
  struct Step {
    QAbstractButton* button;
    MainWindow::Page page;
    const char* caption;
  } steps[] = {
      {Child<QAbstractButton>(&form, "ConverterPageButton"), MainWindow::pgConverter, "Video Converter"},
      {Child<QAbstractButton>(&form, "FilesPageButton"), MainWindow::pgExplorer, "Explorer"},
      {Child<QAbstractButton>(&form, "ExplorerBackButton"), MainWindow::pgConverter, "Video Converter"},  // not Browser
      {Child<QAbstractButton>(&form, "ConverterNextButton"), MainWindow::pgExplorer, "Explorer"},
      {Child<QAbstractButton>(&form, "BrowserPageButton"), MainWindow::pgBrowser, "Browser"},
      {Child<QAbstractButton>(&form, "ConverterPageButton"), MainWindow::pgConverter, "Video Converter"},
      {Child<QAbstractButton>(&form, "ConverterBackButton"), MainWindow::pgBrowser, "Browser"}};
  for (const Step& s : steps) {
    SCOPED_TRACE(s.caption);
    s.button->click();
    EXPECT_EQ(form.activePage(), s.page);
    EXPECT_EQ(Child<widgets::TaskPane>(&form, "mxTaskPanePro1")->HeaderCaption(), s.caption);
  }
}

TEST(Window, ControlDigitsShowThePages) {
  FakeDesktop desktop;
  MainWindow form(desktop.services);
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  form.activateWindow();
  QTest::keyClick(&form, Qt::Key_3, Qt::ControlModifier);
  EXPECT_EQ(form.activePage(), MainWindow::pgExplorer);
  QTest::keyClick(&form, Qt::Key_2, Qt::ControlModifier);
  EXPECT_EQ(form.activePage(), MainWindow::pgConverter);
  QTest::keyClick(&form, Qt::Key_1, Qt::ControlModifier);
  EXPECT_EQ(form.activePage(), MainWindow::pgBrowser);
}

TEST(Window, EmailShowsTopicThenMessageThenOpensTheAddress) {
  FakeDesktop desktop;
  MainWindow form(desktop.services);
  Child<QAbstractButton>(&form, "EmailButton")->click();
  EXPECT_EQ(desktop.help.shown, std::vector<int>{223});
  ASSERT_EQ(desktop.dialogs.shown.size(), 1u);
  EXPECT_EQ(desktop.dialogs.shown[0].kind, "message");
  EXPECT_EQ(desktop.dialogs.shown[0].text, "Please mention your name,  Windows and program version number");
  ASSERT_EQ(desktop.shell.opened.size(), 1u);
  const QByteArray expected = "mailto:" + QByteArray::fromStdString(form.state().sites.supportMail) +
                              "?subject=larkvale%20support&body=Hi!%0dMy%20name%20is%20%0d%20Windows%20version%20:%20%"
                              "0d%20Program%20version%20:" +
                              platform::ProgramVersion().toUtf8();
  EXPECT_EQ(MailtoAddress(QString::fromStdString(form.state().sites.supportMail)).toUtf8(), expected);
  // Qt writes the hex digits of %0d in upper case; the address is the same.
  EXPECT_EQ(desktop.shell.opened[0], QUrl::fromEncoded(expected));
  EXPECT_TRUE(expected.endsWith("Program%20version%20:" + platform::ProgramVersion().toUtf8()));
}

TEST(Window, WebSiteCommandsAndHelp) {
  FakeDesktop desktop;
  MainWindow form(desktop.services);
  Child<QAbstractButton>(&form, "WebSiteButton")->click();
  QMetaObject::invokeMethod(Child<widgets::TaskPane>(&form, "mxTaskPanePro1"), "homeClicked");
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QCoreApplication::sendEvent(Child<QLabel>(&form, "WebSiteLabel"), &release);
  ASSERT_EQ(desktop.shell.opened.size(), 3u);
  for (const QUrl& url : desktop.shell.opened) EXPECT_EQ(url, QUrl(QString::fromStdString(form.state().sites.webSite)));
  Child<QAbstractButton>(&form, "HelpButton")->click();
  EXPECT_EQ(desktop.help.shown, std::vector<int>{0});
}

TEST(Help, ShippedFileHasTheContentsAndBothTopics) {
  QFile file(QStringLiteral(LARKVALE_APPDIR) + "LarkvaleHelp.html");
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray html = file.readAll();
  for (const char* anchor : {"id=\"contents\"", "id=\"topic-223\"", "id=\"topic-1502\""}) EXPECT_TRUE(html.contains(anchor)) << anchor;

  platform::QtHelp help;
  help.SetHelpFile(QStringLiteral(LARKVALE_APPDIR) + "LarkvaleHelp.html");
  help.ShowTopic(1502);
  ASSERT_NE(help.Viewer(), nullptr);
  EXPECT_EQ(help.Viewer()->source().fragment(), "topic-1502");
  EXPECT_FALSE(help.Viewer()->toPlainText().isEmpty());

  platform::QtHelp missing;
  missing.SetHelpFile("/nonexistent/LarkvaleHelp.html");
  missing.ShowContents();
  EXPECT_EQ(missing.Viewer(), nullptr);
}

TEST(Explorer, BrowseFilesShowsTheDownloadFolderAndViewsSwitch) {
  FakeDesktop desktop;
  MainWindow form(desktop.services);
  Child<QAbstractButton>(&form, "mxTPButton9brw")->click();
  EXPECT_EQ(form.activePage(), MainWindow::pgExplorer);
  EXPECT_EQ(Child<widgets::ShellList>(&form, "ShellList")->Folder(), form.state().videoDir + "/flv/");

  QStringList hints;
  for (QToolButton* b : ViewButtons(form)) hints << b->toolTip();
  EXPECT_EQ(hints, QStringList({"Show Large Icons", "Show Small Icons", "Show List", "Show Details", "Show Thumbnails"}));
  using S = widgets::ShellList;
  const S::ViewStyle styles[] = {S::vsIcon, S::vsSmallIcon, S::vsList, S::vsReport};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    ViewButtons(form)[4]->click();
    EXPECT_TRUE(Child<widgets::ShellList>(&form, "ShellList")->Thumbnails());
    EXPECT_EQ(Child<widgets::ShellList>(&form, "ShellList")->Style(), S::vsIcon);
    ViewButtons(form)[i]->click();
    EXPECT_FALSE(Child<widgets::ShellList>(&form, "ShellList")->Thumbnails());
    EXPECT_EQ(Child<widgets::ShellList>(&form, "ShellList")->Style(), styles[i]);
  }
}

TEST(Explorer, ARemovedDownloadFolderShowsAnEmptyViewAndTheReason) {
  FakeDesktop desktop;
  MainWindow form(desktop.services);
  const QString flv = form.state().videoDir + "/flv/";
  ASSERT_TRUE(QDir(flv).removeRecursively());
  Child<QAbstractButton>(&form, "mxTPButton9brw")->click();
  EXPECT_EQ(form.activePage(), MainWindow::pgExplorer);
  auto* files = Child<widgets::ShellList>(&form, "ShellList");
  for (QToolButton* view : ViewButtons(form)) {
    SCOPED_TRACE(view->toolTip().toStdString());
    view->click();
    EXPECT_EQ(files->CurrentView()->model()->rowCount(files->CurrentView()->rootIndex()), 0);
  }
  EXPECT_TRUE(files->ShownPaths().isEmpty());
  EXPECT_EQ(Child<widgets::StatusLabel>(&form, "status")->Text(),
            "Folder not found: " + QDir::toNativeSeparators(flv));
}

TEST(Explorer, ListHidesDotFilesAndShowsThumbnailsOfPictures) {
  FakeDesktop desktop;
  const QString folder = desktop.root.path() + "/shown";
  QDir().mkpath(folder);
  QImage picture(40, 20, QImage::Format_RGB32);
  picture.fill(Qt::red);
  ASSERT_TRUE(picture.save(folder + "/picture.png"));
  QFile(folder + "/.hidden").open(QIODevice::WriteOnly);
  QFile(folder + "/video.flv").open(QIODevice::WriteOnly);

  widgets::ShellList list;
  int made = 0;
  list.SetThumbnailMaker([&](const QString&) {
    ++made;
    return QImage();
  });
  list.SetFolder(folder);
  QTRY_COMPARE(list.ShownPaths().size(), 2);
  EXPECT_FALSE(list.ShownPaths().contains(folder + "/.hidden"));

  list.SetThumbnails(true);
  QAbstractItemModel* shown = list.CurrentView()->model();
  for (int r = 0; r < shown->rowCount(list.CurrentView()->rootIndex()); ++r) {
    const QModelIndex index = shown->index(r, 0, list.CurrentView()->rootIndex());
    const QVariant decoration = shown->data(index, Qt::DecorationRole);
    if (index.data().toString() == "picture.png") {
      ASSERT_EQ(decoration.typeId(), QMetaType::QPixmap);
      EXPECT_EQ(decoration.value<QPixmap>().width(), widgets::ShellList::kThumbnailSize);
    }
  }
  EXPECT_EQ(made, 1);  // the video went to the maker; the picture did not
}

TEST(Explorer, ThumbnailViewShowsTheFirstFrameOfVideos) {
  FakeDesktop desktop;
  MainWindow form(desktop.services);
  const QString video = form.state().flvDir + "clip.flv";
  testsupport::FixtureSpec clip;
  clip.seconds = 1;
  clip.width = 160;
  clip.height = 90;
  clip.audio = false;
  ASSERT_TRUE(testsupport::MakeMediaFixture(video.toStdString(), clip));
  QFile(form.state().flvDir + "notes.txt").open(QIODevice::WriteOnly);
  Child<QAbstractButton>(&form, "mxTPButton9brw")->click();
  ViewButtons(form)[4]->click();
  QAbstractItemView* view = Child<widgets::ShellList>(&form, "ShellList")->CurrentView();
  QTRY_COMPARE(view->model()->rowCount(view->rootIndex()), 2);
  for (int r = 0; r < 2; ++r) {
    const QModelIndex index = view->model()->index(r, 0, view->rootIndex());
    const QVariant decoration = index.data(Qt::DecorationRole);
    SCOPED_TRACE(index.data().toString().toStdString());
    if (index.data().toString() == "clip.flv") {
      ASSERT_EQ(decoration.typeId(), QMetaType::QPixmap);
      // A wide picture fitted into the 100 x 100 box.
      EXPECT_EQ(decoration.value<QPixmap>().width(), widgets::ShellList::kThumbnailSize);
      EXPECT_LT(decoration.value<QPixmap>().height(), widgets::ShellList::kThumbnailSize);
    } else {
      EXPECT_NE(decoration.typeId(), QMetaType::QPixmap);  // not media: its icon
    }
  }
}

// --- The download list on the window ----------------------------------------

struct GridFixture : ::testing::Test {
  FakeDesktop desktop;
  MainWindow form{desktop.services};
  queue::DownloadList& list = *form.state().downloadList;
  void AddRow(const QString& url, int progress, const QString& file = {}) {
    const int row = list.RowCount();
    list.AddRows(1);
    list.SetCellText(queue::colUrl, row, url);
    list.SetCellInt(queue::colSize, row, 0);
    list.SetCellInt(queue::colProgress, row, progress);
    list.SetCellText(queue::colFile, row, file);
  }
};

TEST_F(GridFixture, FinishedRowsAreGreyAndStruckTheCurrentOneBlueEvenRowsShaded) {
  AddRow("a", 100);
  AddRow("b", 40);
  AddRow("c", 100);
  AddRow("d", 0);
  form.state().currentDownloadRow = 2;
  const TColor grey = TColor::System(widgets::clGrayTextIndex);
  const TColor blue = TColor::Rgb(0, 0, 255);
  const TColor menuBar = TColor::System(widgets::clMenuBarIndex);
  for (int column = 0; column < queue::colCount; ++column) {
    SCOPED_TRACE(column);
    const auto row0 = Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->LookOf(column, 0);
    EXPECT_EQ(row0.text, grey);
    EXPECT_TRUE(row0.style & widgets::fsStrikeOut);
    EXPECT_EQ(row0.cell, menuBar);
    EXPECT_EQ(row0.grid, menuBar);
    const auto row1 = Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->LookOf(column, 1);
    EXPECT_FALSE(row1.text == grey);
    EXPECT_FALSE(row1.style & widgets::fsStrikeOut);
    EXPECT_FALSE(row1.cell == menuBar);
    const auto row2 = Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->LookOf(column, 2);  // finished and current
    EXPECT_EQ(row2.text, blue);
    EXPECT_TRUE(row2.style & widgets::fsStrikeOut);
    EXPECT_EQ(row2.cell, menuBar);
  }
  // Progress 99.5 reads as 100.
  list.SetCellText(queue::colProgress, 1, "99.5");
  EXPECT_TRUE(Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->LookOf(0, 1).style & widgets::fsStrikeOut);
}

TEST_F(GridFixture, InputRowEnterAddsARowAndTabKeepsTheText) {
  form.show();
  QLineEdit* url = Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->InputCell(queue::colUrl);
  EXPECT_EQ(url->placeholderText(), "Click here to add new FLV url");
  EXPECT_TRUE(Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->InputCell(queue::colProgress)->isReadOnly());
  EXPECT_TRUE(Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->InputCell(queue::colNo)->isReadOnly());

  url->setFocus();
  QTest::keyClicks(url, "http://h/v.flv");
  QTest::keyClick(url, Qt::Key_Tab);
  EXPECT_EQ(list.RowCount(), 0);
  EXPECT_EQ(url->text(), "http://h/v.flv");

  QTest::keyClick(url, Qt::Key_Return);
  ASSERT_EQ(list.RowCount(), 1);
  EXPECT_EQ(list.CellText(queue::colUrl, 0), "http://h/v.flv");
  EXPECT_EQ(list.CellInt(queue::colSize, 0), 0);
  EXPECT_FALSE(list.CellEmpty(queue::colSize, 0));
  EXPECT_EQ(list.data(list.index(0, queue::colProgress)).toString(), "");  // 0 shows an empty cell
  EXPECT_EQ(list.CellText(queue::colFile, 0), "");
  EXPECT_EQ(url->text(), "");

  // Enter with nothing typed still adds a row.
  QTest::keyClick(Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->InputCell(queue::colFile), Qt::Key_Return);
  EXPECT_EQ(list.RowCount(), 2);
  EXPECT_EQ(list.CellText(queue::colUrl, 1), "");
}

TEST_F(GridFixture, DoubleClickOpensFinishedFilesAndOtherwiseShowsTheBrowserPage) {
  const QString file = form.state().flvDir + "flv0video.avi";
  QFile(file).open(QIODevice::WriteOnly);
  AddRow("done", 100, file);
  AddRow("pending", 0);

  form.showPage(MainWindow::pgExplorer);
  Only<DownloadsPanel>(&form)->openSelectedRow();  // nothing selected
  EXPECT_EQ(form.activePage(), MainWindow::pgExplorer);
  EXPECT_TRUE(desktop.shell.opened.empty());

  Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->SelectRow(0);
  Only<DownloadsPanel>(&form)->openSelectedRow();
  ASSERT_EQ(desktop.shell.opened.size(), 1u);
  EXPECT_EQ(desktop.shell.opened[0], QUrl::fromLocalFile(file));
  EXPECT_EQ(form.activePage(), MainWindow::pgExplorer);

  Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->SelectRow(1);
  Only<DownloadsPanel>(&form)->openSelectedRow();
  EXPECT_EQ(desktop.shell.opened.size(), 1u);
  EXPECT_EQ(form.activePage(), MainWindow::pgBrowser);
}

TEST_F(GridFixture, DeleteRemovesTheSelectedRowOnlyAndLeavesTheFile) {
  const QString file = form.state().flvDir + "flv0video.avi";
  QFile(file).open(QIODevice::WriteOnly);
  AddRow("first", 100, file);
  AddRow("second", 0);
  AddRow("third", 0);
  Only<DownloadsPanel>(&form)->deleteSelectedRow();
  EXPECT_EQ(list.RowCount(), 3);

  Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->SelectRow(0);
  Child<QAction>(&form, "Delete1")->trigger();
  ASSERT_EQ(list.RowCount(), 2);
  EXPECT_EQ(list.CellText(queue::colUrl, 0), "second");
  EXPECT_EQ(list.CellInt(queue::colNo, 0), 1);
  EXPECT_TRUE(QFile::exists(file));

  // The Delete key does the same.
  form.show();
  Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->SelectRow(1);
  QTest::keyClick(Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->View(), Qt::Key_Delete);
  ASSERT_EQ(list.RowCount(), 1);
  EXPECT_EQ(list.CellText(queue::colUrl, 0), "second");
}

TEST_F(GridFixture, HeaderClicksSortAndASecondClickReverses) {
  AddRow("b", 10);
  AddRow("a", 90);
  AddRow("c", 5);
  QHeaderView* header = Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->View()->horizontalHeader();
  EXPECT_EQ(header->sortIndicatorSection(), queue::colSize);  // marked at start, not sorted
  EXPECT_EQ(list.CellText(queue::colUrl, 0), "b");

  auto urls = [&] {
    QStringList u;
    for (int r = 0; r < list.RowCount(); ++r) u << list.CellText(queue::colUrl, r);
    return u;
  };
  Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->ClickHeader(queue::colUrl);
  EXPECT_EQ(urls(), QStringList({"a", "b", "c"}));
  Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->ClickHeader(queue::colUrl);
  EXPECT_EQ(urls(), QStringList({"c", "b", "a"}));
  Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->ClickHeader(queue::colProgress);
  EXPECT_EQ(urls(), QStringList({"c", "b", "a"}));  // 5, 10, 90
  EXPECT_EQ(header->sortIndicatorSection(), queue::colProgress);
  Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->ClickHeader(queue::colNo);  // not sortable
  EXPECT_EQ(urls(), QStringList({"c", "b", "a"}));
  // Values changing later do not re-sort.
  list.SetCellInt(queue::colProgress, 0, 99);
  EXPECT_EQ(urls(), QStringList({"c", "b", "a"}));
}

TEST_F(GridFixture, ARowChangingThousandsOfTimesRepaintsAtMostOncePerFrame) {
  AddRow("busy", 0);
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  QCoreApplication::processEvents();
  // The rows are drawn on the view's viewport: its paint events are the grid's repaints.
  struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint) ++paints;
      return false;
    }
  } counter;
  Child<QAbstractScrollArea>(&form, "DownloadGridView")->viewport()->installEventFilter(&counter);
  QElapsedTimer clock;
  clock.start();
  for (int i = 0; i < 10000; ++i) {
    list.BeginUpdate();
    list.SetCellInt(queue::colProgress, 0, i % 100);
    list.EndUpdate();
    QCoreApplication::processEvents();
  }
  QTest::qWait(40);
  const int paints = counter.paints;
  EXPECT_GE(paints, 1);  // the last value is shown
  // One paint per 16 ms frame at most, plus the trailing one.
  EXPECT_LE(paints, clock.elapsed() / 16 + 2);
}

}  // namespace
}  // namespace larkvale::app
