#pragma once
// The names of downloads: "flv" + N + "video" + extension in the download
// folder, the ".part" a download is written to until it is whole, and the
// book of names given to rows.
//
// A row's final name is its own from the moment it is chosen until the row
// goes: no other row may take it, whether or not anything is on disk under
// it yet (a row waiting for its host has only the name), and whatever order
// rows running together end in. On disk a new name is claimed by creating
// its .part exclusively, so a second program downloading into the same
// folder cannot take it either.

#include <QString>
#include <QtGlobal>
#include <map>

namespace larkvale::queue {

// "flv" + N + "video" + extension in the download folder.
QString DownloadFileName(const QString& flvDir, int n, const QString& extension);
// ".avi" for links carrying "fmt="; else the media extension of the link's
// path (".mp4", ".webm", ...); else ".flv".
QString ExtensionFor(const QString& link);
// What a download is written to until it is complete.
inline QString PartFileName(const QString& finalName) { return finalName + QStringLiteral(".part"); }
inline bool IsPartFileName(const QString& path) { return path.endsWith(QStringLiteral(".part")); }
// The first name from `n` on whose file and .part are both missing; `n` is
// left at its number.
QString FreeName(const QString& flvDir, int& n, const QString& extension);
// Creates `part` as an empty file only when nothing is there: false when a
// file already is (or it cannot be made; the transfer then says why).
bool ClaimPart(const QString& part);

class NameBook {
 public:
  // The first name from `n` on that no other row holds and that is free on
  // disk; it is held for `row` from now on (any name it held before is let
  // go). `n` is left at its number.
  QString Take(quint64 row, const QString& flvDir, int& n, const QString& extension);
  // `row` holds `finalName` (a name it already had: its .part or file).
  // False, and nothing changes, when another row holds it.
  bool Hold(quint64 row, const QString& finalName);
  // The row is gone, or its name is free again.
  void Release(quint64 row);
  // The name held for `row`; empty when none.
  QString NameOf(quint64 row) const;
  // Another row than `row` holds `finalName`.
  bool HeldByOther(quint64 row, const QString& finalName) const;
  // Forgets every row not in `keep` (rows deleted meanwhile).
  template <class Keep>
  void KeepOnly(const Keep& keep) {
    for (auto it = byRow_.begin(); it != byRow_.end();) {
      if (keep(it->first)) {
        ++it;
      } else {
        byName_.erase(it->second);
        it = byRow_.erase(it);
      }
    }
  }
  std::size_t Size() const { return byRow_.size(); }

 private:
  std::map<QString, quint64> byName_;
  std::map<quint64, QString> byRow_;
};

}  // namespace larkvale::queue
