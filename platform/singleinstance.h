#pragma once
// One running program per user: the first start listens on a local socket
// in the user's runtime folder; a later start hands its URL argument to it
// and exits, so no second window works on the same folders.
//
// Protocol: the later start sends the URL as UTF-8 and a line feed (an empty
// line when it has none), the running one answers "ok\n" and closes.

#include <QObject>
#include <QString>
#include <QStringList>

class QLocalServer;
class QLocalSocket;

namespace larkvale::platform {

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  enum class Role {
    Listening,  // the first start: carry on, hand-offs arrive as signals
    HandedOff,  // another start runs and took the URL: exit
    NoAnswer,   // another start runs but did not confirm within the time: exit
    Alone,      // the socket cannot be made (no runtime folder): carry on without
  };

  explicit SingleInstance(QString socketPath = DefaultSocketPath(), QObject* parent = nullptr);
  ~SingleInstance() override;

  // <runtime folder>/Larkvale_HD.socket; the runtime folder is
  // $XDG_RUNTIME_DIR, or Qt's private fallback when that is unset.
  static QString DefaultSocketPath();

  // Decides this start's role; `url` is what a later start hands over (may
  // be empty). Blocks for at most about `timeoutMs`.
  Role Claim(const QString& url, int timeoutMs = 3000);

 signals:
  // A later start handed over a non-empty URL, as given on its command line.
  void urlReceived(const QString& url);
  // A later start asked for this one, with or without a URL: raise the window.
  void activationRequested();

 private:
  void Accept();
  void ReadFrom(QLocalSocket* socket);

  QString socketPath_;
  QLocalServer* server_ = nullptr;
};

// The URL argument of a command line (program name first): the first
// argument that is not an option, or empty. Qt's own options are gone once
// QApplication has read them.
QString UrlArgument(const QStringList& arguments);

}  // namespace larkvale::platform
