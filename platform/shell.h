#pragma once
// Opening files, web addresses and mailto: addresses with the desktop's
// associated program. Never through a shell command line.

#include <QString>
#include <QUrl>

namespace larkvale::platform {

class Shell {
 public:
  virtual ~Shell() = default;
  // Reports nothing when no program handles the address.
  virtual void Open(const QUrl& url) = 0;
};

class QtShell : public Shell {
 public:
  void Open(const QUrl& url) override;
};

}  // namespace larkvale::platform
