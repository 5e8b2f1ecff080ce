// The proxy choice: "No proxy", "From the environment", or a proxy's
// address. Downloads take a new choice at once; the browser engine reads
// its proxy when it starts, so it follows on the next start.
#pragma once

#include <QDialog>

#include "http/proxy.h"
#include "platform/services.h"

class QLabel;
class QLineEdit;
class QRadioButton;

namespace larkvale::app {

class ProxyDialog : public QDialog {
  Q_OBJECT
 public:
  ProxyDialog(const http::TNetProxySetting& current, QWidget* parent = nullptr);
  // The choice as it stands (after an accept, the one accepted).
  http::TNetProxySetting setting() const;
  // As the settings file keeps it.
  QString settingText() const;

  void accept() override;

 private:
  QRadioButton* none_;
  QRadioButton* environment_;
  QRadioButton* address_;
  QLineEdit* addressEdit_;
  QLabel* problem_;
};

// The proxy dialog over `parent`: an accepted choice is written to
// `settingsFile` and taken at once by downloads and the browser.
void ChooseProxy(const platform::Services& services, const QString& settingsFile, QWidget* parent);

}  // namespace larkvale::app
