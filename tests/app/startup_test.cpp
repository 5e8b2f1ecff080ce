#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTimer>

#include "app/clipboardpickup.h"
#include "app/sharedstate.h"
#include "platform/settings.h"
#include "support/fakes.h"
#include "support/window_parts.h"

namespace larkvale::app {
namespace {

using testing::Child;
using testing::FakeDesktop;
using testing::Only;

bool IsDir(const QString& path) { return QFileInfo(path).isDir(); }

void Touch(const QString& path, const QByteArray& data = "x") {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
  f.write(data);
}

QString StoredVideoDir(const QString& settingsFile) {
  platform::SettingsAccessor accessor(settingsFile);
  if (!accessor.OpenKey(kSettingsKey, false)) return "<no key>";
  return accessor.ValueExists(kVideoDirValue) ? accessor.ReadString(kVideoDirValue) : "<no value>";
}

QString SettingsFile(const FakeDesktop& desktop) {
  return platform::SettingsFilePath(desktop.services.environment.configHome);
}

void StoreVideoDir(const FakeDesktop& desktop, const QByteArray& valueText) {
  const QString file = platform::SettingsFilePath(desktop.services.environment.configHome);
  QDir().mkpath(QFileInfo(file).absolutePath());
  Touch(file, "[Software\\Larkvale_HD]\n\"videodir\"=" + valueText + "\n");
}

TEST(Startup, FirstStartCreatesTheDefaultTreeAndStoresIt) {
  FakeDesktop desktop;
  MainWindow form(desktop.services);
  const QString expected = desktop.home + "/larkvale/Larkvale_HD";
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  EXPECT_EQ(form.windowTitle(), "Larkvale_HD");
  EXPECT_EQ(form.activePage(), MainWindow::pgBrowser);
  EXPECT_EQ(form.state().videoDir, expected);
  EXPECT_EQ(form.state().tempDir, expected + "/temp/");
  EXPECT_EQ(form.state().flvDir, expected + "/flv/");
  EXPECT_TRUE(IsDir(form.state().tempDir));
  EXPECT_TRUE(IsDir(form.state().flvDir));
  EXPECT_EQ(StoredVideoDir(SettingsFile(desktop)), expected);
  EXPECT_EQ(form.state().appDir, desktop.services.environment.appDir);
  EXPECT_EQ(desktop.help.file, form.state().appDir + "LarkvaleHelp.html");
  EXPECT_EQ(Child<QAbstractButton>(&form, "mxTPButton13")->text(), "Play");  // the preview stands still
  EXPECT_EQ(Only<BrowserPage>(&form)->historyIndex(), -1);
}

TEST(Startup, StoredFolderWinsAndTheDefaultTreeIsStillCreated) {
  FakeDesktop desktop;
  const QString stored = desktop.root.path() + "/videos";
  QDir().mkpath(stored);
  StoreVideoDir(desktop, "\"" + stored.toUtf8() + "\"");
  MainWindow form(desktop.services);
  EXPECT_TRUE(desktop.dialogs.shown.empty());
  EXPECT_EQ(form.state().videoDir, stored);
  EXPECT_TRUE(IsDir(stored + "/temp"));
  EXPECT_TRUE(IsDir(stored + "/flv"));
  EXPECT_TRUE(IsDir(desktop.home + "/larkvale/Larkvale_HD/flv"));
  EXPECT_EQ(form.state().flvDir, stored + "/flv/");
  EXPECT_EQ(StoredVideoDir(SettingsFile(desktop)), stored);  // read, not rewritten
}

TEST(Startup, StoredFolderThatIsGoneStopsStartupWithTheStateSoFar) {
  FakeDesktop desktop;
  const QString gone = desktop.root.path() + "/gone";
  StoreVideoDir(desktop, "\"" + gone.toUtf8() + "\"");
  MainWindow form(desktop.services);
  EXPECT_EQ(desktop.dialogs.Errors(), QStringList{"Invalid filename."});
  EXPECT_EQ(desktop.dialogs.shown[0].title, "Larkvale_HD");
  EXPECT_EQ(form.state().videoDir, gone);
  EXPECT_EQ(form.state().tempDir, gone + "/temp/");
  // Downloads go to the default tree's folder.
  EXPECT_EQ(form.state().flvDir, desktop.home + "/larkvale/Larkvale_HD/flv/");
  EXPECT_FALSE(IsDir(gone));
  EXPECT_EQ(form.windowTitle(), "Larkvale_HD");
  // The converter shows the chosen format's panel only, as after a clean start.
  for (const char* panel : {"Panel1mpeg", "Panel1flv", "Panel3gp", "avipanel", "wmvpanel", "Panel1wav", "Panel1mp3"}) {
    SCOPED_TRACE(panel);
    EXPECT_EQ(Child<QWidget>(&form, panel)->isHidden(), std::string(panel) != "avipanel");
  }
}

TEST(Startup, BadHomesAndBadSettingsGiveTheirMessages) {
  struct Case {
    const char* name;
    std::function<void(FakeDesktop&)> prepare;
    QString error;
  };
  const std::vector<Case> cases = {
      {"home is a file",
       [](FakeDesktop& d) {
         QDir(d.home).removeRecursively();
         Touch(d.home);
       },
       "Invalid filename."},
      // Refused to root as well as to anybody else.
      {"home cannot be written", [](FakeDesktop& d) { d.services.environment.homeDir = "/sys"; }, "File access denied."},
      {"stored value is not a string", [](FakeDesktop& d) { StoreVideoDir(d, "dword:00000005"); },
       "Invalid data type for 'videodir'."},
      {"settings folder cannot exist",
       [](FakeDesktop& d) { Touch(d.services.environment.configHome); },
       "Failed to create key Software\\Larkvale_HD."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDesktop desktop;
    c.prepare(desktop);
    MainWindow form(desktop.services);
    EXPECT_EQ(desktop.dialogs.Errors(), QStringList{c.error});
    EXPECT_EQ(form.windowTitle(), "Larkvale_HD");
  }
}

TEST(Startup, GarbageSettingsFileGetsTheValueAndKeepsItsBytes) {
  FakeDesktop desktop;
  const QString file = platform::SettingsFilePath(desktop.services.environment.configHome);
  QDir().mkpath(QFileInfo(file).absolutePath());
  QByteArray garbage;
  for (int i = 0; i < 4096; ++i) garbage += char((i * 37) % 127 + 1);
  Touch(file, garbage);
  MainWindow form(desktop.services);
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  EXPECT_EQ(StoredVideoDir(file), form.state().videoDir);
  QFile written(file);
  ASSERT_TRUE(written.open(QIODevice::ReadOnly));
  EXPECT_TRUE(written.readAll().startsWith(garbage));
}

TEST(Startup, ScratchFolderLosesItsPlainFilesOnly) {
  FakeDesktop desktop;
  const QString temp = desktop.home + "/larkvale/Larkvale_HD/temp/";
  QDir().mkpath(temp + "sub");
  Touch(temp + "temp.txt");
  Touch(temp + "other.bin");
  Touch(temp + ".hidden");
  Touch(temp + "sub/inner.txt");
  MainWindow form(desktop.services);
  EXPECT_FALSE(QFile::exists(temp + "temp.txt"));
  EXPECT_FALSE(QFile::exists(temp + "other.bin"));
  EXPECT_TRUE(QFile::exists(temp + ".hidden"));
  EXPECT_TRUE(QFile::exists(temp + "sub/inner.txt"));
}

TEST(Startup, ClipboardAddressIsTheLastMatchingLineTrimmed) {
  struct Case {
    const char* name;
    QString clipboard;
    QString address;
  };
  const std::vector<Case> cases = {
      {"two watch lines", " \thttp://www.youtube.com/watch?v=first \r\nnoise\n\thttp://www.youtube.com/watch?v=second\x01  ",
       "http://www.youtube.com/watch?v=second"},
      {"google video before youtube on one line", "http://video.google.com/x youtube.com",
       "http://video.google.com/x youtube.com"},
      {"google video line last", "youtube.com/watch?v=a\nhttp://video.google.com/videoplay?docid=1",
       "http://video.google.com/videoplay?docid=1"},
      {"no text", "", ""},
      {"no match", "just some words\nand more", ""},
      {"text ends at NUL", QString("nothing here") + QChar(0) + "\nyoutube.com/watch?v=hidden", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDesktop desktop;
    desktop.clipboard.text = c.clipboard;
    MainWindow form(desktop.services);
    EXPECT_EQ(Child<QComboBox>(&form, "URLs")->currentText(), c.address);
  }
}

TEST(Startup, ClipboardLineWiderThanTheBoxIsSplitBeforeMatching) {
  // One paragraph: filler words, then the address. Wrapped at the box width,
  // the address lands on its own line and is picked without the filler.
  QString filler;
  for (int i = 0; i < 60; ++i) filler += "filler ";
  const QString address = "http://www.youtube.com/watch?v=wrapped";
  FakeDesktop desktop;
  desktop.clipboard.text = filler + address;
  MainWindow form(desktop.services);
  const QString picked = Child<QComboBox>(&form, "URLs")->currentText();
  EXPECT_TRUE(picked.endsWith(address)) << picked.toStdString();
  EXPECT_LT(picked.size(), (filler + address).size());
}

TEST(Startup, HugeOrBinaryClipboardIsHarmless) {
  QString huge;
  huge.reserve(4 << 20);
  for (int i = 0; i < (4 << 20) / 16; ++i) huge += QStringLiteral("words and more\r\n");
  huge += "  http://www.youtube.com/watch?v=last  ";
  EXPECT_EQ(PickWatchAddress(huge, QFont()), "http://www.youtube.com/watch?v=last");

  QString binary;
  for (int i = 1; i < 200000; ++i) binary += QChar(char16_t(i % 0xD000 + 1));
  EXPECT_NO_THROW(PickWatchAddress(binary, QFont()));
}

TEST(ChangeDir, CancelChangesNothingAndAChoiceMovesTheFolders) {
  FakeDesktop desktop;
  MainWindow form(desktop.services);
  const QString before = form.state().videoDir;

  desktop.dialogs.folderAnswers = {""};
  Child<QAbstractButton>(&form, "mxTPButton21vdir")->click();
  EXPECT_EQ(form.state().videoDir, before);
  EXPECT_EQ(StoredVideoDir(SettingsFile(desktop)), before);
  ASSERT_EQ(desktop.dialogs.asked.size(), 1u);
  EXPECT_EQ(desktop.dialogs.asked[0].dir, before);  // opens on VideoDir

  const QString chosen = desktop.root.path() + "/chosen";
  QDir().mkpath(chosen);
  desktop.dialogs.folderAnswers = {chosen};
  Child<QAbstractButton>(&form, "mxTPButton21vdir")->click();
  EXPECT_EQ(form.state().videoDir, chosen);
  EXPECT_EQ(form.state().tempDir, chosen + "/temp/");
  EXPECT_EQ(form.state().flvDir, chosen + "/flv/");
  EXPECT_TRUE(IsDir(chosen + "/temp"));
  EXPECT_TRUE(IsDir(chosen + "/flv"));
  EXPECT_EQ(StoredVideoDir(SettingsFile(desktop)), chosen);
  EXPECT_TRUE(desktop.dialogs.Errors().isEmpty());

  // A chosen folder that is gone by the time it is used: the value is stored,
  // then creating its temp folder fails.
  const QString vanished = desktop.root.path() + "/vanished";
  desktop.dialogs.folderAnswers = {vanished};
  Child<QAbstractButton>(&form, "mxTPButton21vdir")->click();
  EXPECT_EQ(desktop.dialogs.Errors(), QStringList{"Invalid filename."});
  EXPECT_EQ(form.state().videoDir, vanished);
  EXPECT_EQ(StoredVideoDir(SettingsFile(desktop)), vanished);
  EXPECT_EQ(form.state().flvDir, chosen + "/flv/");
}

TEST(Shutdown, ClosingTheWindowStopsDownloads) {
  FakeDesktop desktop;
  MainWindow form(desktop.services);
  form.show();
  QMetaObject::invokeMethod(Child<widgets::TaskPane>(&form, "mxTaskPanePro1"), "closeClicked");
  EXPECT_TRUE(form.state().downloadsStopped);
  EXPECT_FALSE(form.isVisible());
}

}  // namespace
}  // namespace larkvale::app
