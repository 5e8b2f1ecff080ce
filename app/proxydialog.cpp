#include "app/proxydialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>

#include "app/pagewidgets.h"
#include "browser/browserproxy.h"
#include "http/exceptions.h"
#include "platform/settings.h"
#include "queue/proxychoice.h"

namespace larkvale::app {

ProxyDialog::ProxyDialog(const http::TNetProxySetting& current, QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("ProxyDialog"));
  setWindowTitle(tr("Proxy"));
  auto* column = new QVBoxLayout(this);
  none_ = new QRadioButton(tr("No proxy"), this);
  none_->setObjectName(QStringLiteral("NoProxyChoice"));
  environment_ = new QRadioButton(tr("From the environment"), this);
  environment_->setObjectName(QStringLiteral("EnvironmentProxyChoice"));
  address_ = new QRadioButton(tr("Proxy address:"), this);
  address_->setObjectName(QStringLiteral("AddressProxyChoice"));
  addressEdit_ = new QLineEdit(this);
  addressEdit_->setObjectName(QStringLiteral("ProxyAddress"));
  addressEdit_->setAccessibleName(tr("Proxy address"));
  addressEdit_->setPlaceholderText(QStringLiteral("http://127.0.0.1:3128  socks5h://127.0.0.1:1080"));
  auto* note = new QLabel(tr("From the environment: http_proxy, https_proxy, all_proxy and no_proxy. "
                             "The browser uses a new choice from the next start."),
                          this);
  note->setWordWrap(true);
  problem_ = new QLabel(this);
  problem_->setObjectName(QStringLiteral("ProxyProblem"));
  problem_->setWordWrap(true);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  for (QWidget* w : {static_cast<QWidget*>(none_), static_cast<QWidget*>(environment_),
                     static_cast<QWidget*>(address_), static_cast<QWidget*>(addressEdit_),
                     static_cast<QWidget*>(note), static_cast<QWidget*>(problem_), static_cast<QWidget*>(buttons)})
    column->addWidget(w);
  connect(buttons, &QDialogButtonBox::accepted, this, &ProxyDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &ProxyDialog::reject);
  connect(addressEdit_, &QLineEdit::textEdited, this, [this] { address_->setChecked(true); });

  switch (current.Mode) {
    case http::TNetProxySetting::NoProxy: none_->setChecked(true); break;
    case http::TNetProxySetting::FromEnvironment: environment_->setChecked(true); break;
    case http::TNetProxySetting::Fixed:
      address_->setChecked(true);
      addressEdit_->setText(QString::fromStdString(current.Address));
      break;
  }
}

http::TNetProxySetting ProxyDialog::setting() const {
  if (none_->isChecked()) return {http::TNetProxySetting::NoProxy, ""};
  if (address_->isChecked()) return http::ParseProxySetting(addressEdit_->text().toStdString());
  return {};
}

QString ProxyDialog::settingText() const {
  const http::TNetProxySetting s = setting();
  switch (s.Mode) {
    case http::TNetProxySetting::NoProxy: return QStringLiteral("none");
    case http::TNetProxySetting::Fixed: return QString::fromStdString(s.Address);
    case http::TNetProxySetting::FromEnvironment: break;
  }
  return QStringLiteral("environment");
}

void ProxyDialog::accept() {
  // An address that cannot be used is said now, not at the next download.
  if (address_->isChecked()) {
    if (addressEdit_->text().trimmed().isEmpty()) {
      problem_->setText(tr("Enter the proxy's address."));
      return;
    }
    try {
      http::ParseProxyAddress(addressEdit_->text().toStdString());
    } catch (const http::ENetProxyError& e) {
      problem_->setText(QString::fromUtf8(e.what()));
      return;
    }
  }
  problem_->clear();
  QDialog::accept();
}

void ChooseProxy(const platform::Services& services, const QString& settingsFile, QWidget* parent) {
  ProxyDialog dialog(http::ProxySetting(), parent);
  if (dialog.exec() != QDialog::Accepted) return;
  Guarded(services, [&] {
    platform::SettingsAccessor accessor(settingsFile);
    accessor.OpenKey(kSettingsKey, true);
    accessor.WriteString(queue::kProxyValueName, dialog.settingText());
    http::SetProxySetting(dialog.setting());
    browser::ApplyBrowserProxy(dialog.setting());
  });
}

}  // namespace larkvale::app
