#pragma once
// Scripted stand-ins for the desktop seams: they record what the program
// showed and answer dialogs from a queue.

#include <QDir>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>
#include <deque>
#include <vector>

#include "platform/clipboard.h"
#include "platform/dialogs.h"
#include "platform/help.h"
#include "platform/services.h"
#include "platform/shell.h"

namespace larkvale::testing {

class ScriptedDialogs : public platform::Dialogs {
 public:
  struct Shown {
    QString kind;  // "error", "message" or "question"
    QString title;
    QString text;
  };
  void ShowError(const QString& title, const QString& text) override { shown.push_back({"error", title, text}); }
  void ShowMessage(const QString& title, const QString& text) override { shown.push_back({"message", title, text}); }
  QStringList GetOpenFileNames(const QString& title, const QString& dir, const QString& filter) override {
    asked.push_back({"open", dir, filter});
    return Next(openAnswers);
  }
  QString GetSaveFileName(const QString& title, const QString& dir, const QString& filter,
                          const QString& defaultSuffix) override {
    asked.push_back({"save", dir, filter});
    return Next(saveAnswers);
  }
  QString ChooseFolder(const QString& title, const QString& dir) override {
    asked.push_back({"folder", dir, QString()});
    return Next(folderAnswers);
  }
  // Recorded as shown (kind "question"); no answer left answers No.
  bool AskYesNo(const QString& title, const QString& text) override {
    shown.push_back({"question", title, text});
    return !yesNoAnswers.empty() && Next(yesNoAnswers);
  }

  QStringList Texts() const {
    QStringList t;
    for (const Shown& s : shown) t << s.text;
    return t;
  }
  QStringList Errors() const {
    QStringList t;
    for (const Shown& s : shown)
      if (s.kind == "error") t << s.text;
    return t;
  }

  std::vector<Shown> shown;
  struct Asked {
    QString kind, dir, filter;
  };
  std::vector<Asked> asked;
  std::deque<QStringList> openAnswers;  // an empty list cancels
  std::deque<QString> saveAnswers;      // an empty text cancels
  std::deque<QString> folderAnswers;    // an empty text cancels
  std::deque<bool> yesNoAnswers;

 private:
  template <class T>
  static T Next(std::deque<T>& answers) {
    if (answers.empty()) return T();
    T a = answers.front();
    answers.pop_front();
    return a;
  }
};

class FakeClipboard : public platform::Clipboard {
 public:
  QString Text() override { return text; }
  QString text;
};

class RecordingShell : public platform::Shell {
 public:
  void Open(const QUrl& url) override { opened.push_back(url); }
  std::vector<QUrl> opened;
};

class RecordingHelp : public platform::Help {
 public:
  void SetHelpFile(const QString& path) override { file = path; }
  void ShowContents() override { shown.push_back(0); }
  void ShowTopic(int topic) override { shown.push_back(topic); }
  QString file;
  std::vector<int> shown;  // 0 = the table of contents
};

// A home, a config home and an AppDir in a fresh temporary folder, with the
// scripted seams around them.
struct FakeDesktop {
  FakeDesktop() {
    home = root.path() + "/home";
    QDir().mkpath(home);
    services.dialogs = &dialogs;
    services.clipboard = &clipboard;
    services.shell = &shell;
    services.help = &help;
    services.environment.homeDir = home;
    services.environment.configHome = root.path() + "/config";
    services.environment.dataHome = root.path() + "/data";
    services.environment.appDir = QStringLiteral(LARKVALE_APPDIR);
  }
  QTemporaryDir root;
  QString home;
  ScriptedDialogs dialogs;
  FakeClipboard clipboard;
  RecordingShell shell;
  RecordingHelp help;
  platform::Services services;
};

}  // namespace larkvale::testing
