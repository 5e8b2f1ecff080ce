#pragma once
// What the fake notification service of tests/desktop/notify_test.sh
// recorded: one JSON object per line, one line per call it received.

#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <vector>

namespace larkvale::testing {

inline std::vector<QJsonObject> Recorded(const QString& path) {
  std::vector<QJsonObject> entries;
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return entries;
  for (const QByteArray& line : f.readAll().split('\n'))
    if (!line.isEmpty()) entries.push_back(QJsonDocument::fromJson(line).object());
  return entries;
}

}  // namespace larkvale::testing
