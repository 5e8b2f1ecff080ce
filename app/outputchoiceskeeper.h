#pragma once
// Keeps the converter's output choices in the settings file: the stored
// ones are shown over what the page shows, and from the first activation on
// (when the engine's lists exist and the stored choices can be shown) a
// change is written a moment later, once for a burst of changes.

#include <QObject>
#include <QString>

class QTimer;

namespace larkvale::app {

class ConverterPage;

class OutputChoicesKeeper : public QObject {
  Q_OBJECT
 public:
  OutputChoicesKeeper(ConverterPage& page, QString settingsFile, QObject* parent = nullptr);

  // The stored choices over the page's; nothing when none are stored.
  void restore();
  // From now on the page's changes are written.
  void startKeeping() { keeping_ = true; }
  // A write still waiting, now (the window closes).
  void flush();

 private:
  void store();

  ConverterPage& page_;
  const QString settingsFile_;
  QTimer* pending_;
  bool keeping_ = false;
  bool failed_ = false;  // one line on standard error, not one per write
};

}  // namespace larkvale::app
