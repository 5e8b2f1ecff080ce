#include "platform/settings.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "platform/errors.h"

namespace larkvale::platform {
namespace {

const QString kKey = QStringLiteral("Software\\Larkvale_HD");

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& data) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(data);
}

template <class F>
std::string MessageOf(F&& f) {
  try {
    f();
  } catch (const ESettingsError& e) {
    return e.what();
  }
  return "no error";
}

class SettingsTest : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  QString file = SettingsFilePath(dir.path() + "/config");
};

TEST_F(SettingsTest, StringsSurviveTheRoundTripWhateverTheyHold) {
  const QStringList values = {"/home/ann/larkvale/Larkvale_HD", "C:\\larkvale\\x", "with \"quotes\" and = signs",
                              QString::fromUtf8("Vid\xc3\xa9os \xe2\x9c\x93"), ""};
  for (const QString& value : values) {
    SCOPED_TRACE(value.toStdString());
    SettingsAccessor writer(file);
    writer.CreateKey(kKey);
    writer.WriteString("videodir", value);
    SettingsAccessor reader(file);
    ASSERT_TRUE(reader.OpenKey(kKey, false));
    ASSERT_TRUE(reader.ValueExists("videodir"));
    EXPECT_EQ(reader.ReadString("videodir"), value);
  }
  // Rewriting replaced the value instead of piling up lines.
  EXPECT_EQ(ReadAll(file).count("videodir"), 1);
}

TEST_F(SettingsTest, MissingKeyIsNotOpenedAndCannotBeWritten) {
  SettingsAccessor accessor(file);
  EXPECT_FALSE(accessor.OpenKey(kKey, false));
  EXPECT_FALSE(accessor.ValueExists("videodir"));
  EXPECT_EQ(MessageOf([&] { accessor.WriteString("videodir", "/x"); }), "Failed to set data for 'videodir'");
  EXPECT_FALSE(QFile::exists(file));
}

TEST_F(SettingsTest, ValueOfAnotherTypeIsReportedByName) {
  WriteAll(file, "[Software\\Larkvale_HD]\n\"videodir\"=dword:00000005\n");
  SettingsAccessor accessor(file);
  ASSERT_TRUE(accessor.OpenKey(kKey, false));
  EXPECT_TRUE(accessor.ValueExists("videodir"));
  EXPECT_EQ(MessageOf([&] { accessor.ReadString("videodir"); }), "Invalid data type for 'videodir'");
}

TEST_F(SettingsTest, KeyThatCannotBeCreatedIsReportedWithItsPath) {
  // The config home is a file, so the settings folder cannot exist.
  WriteAll(dir.path() + "/config", "not a folder");
  SettingsAccessor accessor(file);
  EXPECT_EQ(MessageOf([&] { accessor.CreateKey(kKey); }), "Failed to create key Software\\Larkvale_HD");
}

TEST_F(SettingsTest, GarbageAndOtherKeysAreKeptWhenTheValueIsWritten) {
  const QByteArray garbage = QByteArrayLiteral("\x01\x02 not a line\n[Other]\n\"videodir\"=\"/elsewhere\"\n");
  WriteAll(file, garbage);
  SettingsAccessor accessor(file);
  accessor.CreateKey(kKey);
  EXPECT_FALSE(accessor.ValueExists("videodir"));  // the other key's value is not ours
  accessor.WriteString("videodir", "/mine");
  const QByteArray after = ReadAll(file);
  EXPECT_TRUE(after.startsWith(garbage));
  EXPECT_EQ(SettingsAccessor(file).ReadString("videodir"), QString());  // nothing open yet
  SettingsAccessor reader(file);
  ASSERT_TRUE(reader.OpenKey(kKey, false));
  EXPECT_EQ(reader.ReadString("videodir"), "/mine");
  // Written through a temporary file: nothing else is left in the folder.
  EXPECT_EQ(QDir(QFileInfo(file).absolutePath()).entryList(QDir::Files).size(), 1);
}

TEST(InOutErrorText, CodesAndErrnoMapping) {
  struct Case {
    int err;
    const char* text;
  } cases[] = {{ENOENT, "Invalid filename"},   {ENOTDIR, "Invalid filename"}, {EACCES, "File access denied"},
               {EPERM, "File access denied"},  {EROFS, "File access denied"}, {EMFILE, "Too many open files"},
               {ENOSPC, "Disk full"},          {EEXIST, "I/O error 17"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(EInOutError(IoCodeFromErrno(c.err)).what(), std::string(c.text));
  }
  EXPECT_EQ(InOutErrorText(2), "File not found");
  EXPECT_EQ(InOutErrorText(100), "Read beyond end of file");
  EXPECT_EQ(InOutErrorText(106), "Invalid numeric input");
}

}  // namespace
}  // namespace larkvale::platform
