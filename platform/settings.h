#pragma once
// The per-user settings store: a small file of keys and typed values under
// $XDG_CONFIG_HOME, used the way a registry accessor is used. Each use
// creates an accessor, performs its steps and drops it; nothing is cached
// between uses. Every write replaces the file atomically (write a temporary
// file, flush it, rename it over the old one), so a crash never leaves a
// truncated file.
//
// File format (UTF-8):
//   [Software\Larkvale_HD]
//   "videodir"="/home/ann/larkvale/Larkvale_HD"
// A string value is a quoted text with \\ and \" escapes. Anything else after
// the "=" (dword:..., hex:..., garbage) is a value of another type. Lines the
// accessor does not understand are kept as they are when the file is rewritten.

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace larkvale::platform {

class SettingsAccessor {
 public:
  explicit SettingsAccessor(QString filePath);

  // Opens `key`, creating it when missing. Throws ESettingsError
  // "Failed to create key %s" when it cannot be created.
  void CreateKey(const QString& key);
  // Opens `key`; false when it does not exist (or `canCreate` is true and it
  // cannot be created, which throws as CreateKey does).
  bool OpenKey(const QString& key, bool canCreate);

  // On the open key. Without an open key there are no values.
  bool ValueExists(const QString& name) const;
  // Throws ESettingsError "Invalid data type for '%s'" when the value is not a string.
  QString ReadString(const QString& name) const;
  // Throws ESettingsError "Failed to set data for '%s'" when no key is open or
  // the file cannot be written.
  void WriteString(const QString& name, const QString& value);
  // Several values in one replacement of the file: all of them or, when it
  // fails (the same error as WriteString, naming the first value), none.
  void WriteStrings(const QList<QPair<QString, QString>>& values);

  const QString& FilePath() const { return filePath_; }

 private:
  struct Value {
    bool found = false;
    bool isString = false;
    QString text;
  };
  bool Load(QStringList& lines) const;
  bool Save(const QStringList& lines) const;
  Value Find(const QString& name) const;

  QString filePath_;
  QString openKey_;  // empty while no key is open
};

// $XDG_CONFIG_HOME/Larkvale_HD/settings.ini for the given config home.
QString SettingsFilePath(const QString& configHome);

}  // namespace larkvale::platform
