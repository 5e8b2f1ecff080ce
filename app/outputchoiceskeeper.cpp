#include "app/outputchoiceskeeper.h"

#include <QTimer>
#include <cstdio>
#include <exception>
#include <utility>

#include "app/converterpage.h"
#include "app/sharedstate.h"
#include "convert/choicesstore.h"
#include "platform/settings.h"

namespace larkvale::app {

OutputChoicesKeeper::OutputChoicesKeeper(ConverterPage& page, QString settingsFile, QObject* parent)
    : QObject(parent), page_(page), settingsFile_(std::move(settingsFile)), pending_(new QTimer(this)) {
  pending_->setSingleShot(true);
  pending_->setInterval(1000);
  connect(pending_, &QTimer::timeout, this, &OutputChoicesKeeper::store);
  connect(&page_, &ConverterPage::outputChoicesChanged, this, [this] {
    if (keeping_ && !pending_->isActive()) pending_->start();
  });
}

void OutputChoicesKeeper::restore() {
  platform::SettingsAccessor accessor(settingsFile_);
  if (accessor.OpenKey(kSettingsKey, false))
    page_.setOutputChoices(convert::RestoreOutputChoices(accessor, page_.outputChoices()));
}

void OutputChoicesKeeper::flush() {
  if (pending_->isActive()) store();
}

void OutputChoicesKeeper::store() {
  pending_->stop();
  try {
    platform::SettingsAccessor accessor(settingsFile_);
    accessor.OpenKey(kSettingsKey, true);
    convert::StoreOutputChoices(accessor, page_.outputChoices());
    failed_ = false;
  } catch (const std::exception& e) {
    // A background write has no one to answer a box; the choices stay on screen.
    if (!failed_) std::fprintf(stderr, "Larkvale_HD: cannot keep the converter's settings: %s\n", e.what());
    failed_ = true;
  }
}

}  // namespace larkvale::app
