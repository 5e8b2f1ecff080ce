#pragma once
// A download's ".part" file and what is kept with it: its state beside it
// ("<part>.state": the first reply's validators and length, the ranges of a
// split), its marks (extended attributes: where it came from, whether
// several connections wrote it), and the rename that makes it whole.

#include <QString>
#include <cstdint>
#include <string>
#include <vector>

namespace larkvale::queue {

// What is kept beside a .part, in "<part>.state": the first reply's
// validators and whole length, one "name: value" line each after a first
// line "larkvale-part 1". Lines a reader does not know are skipped, so that
// later versions can add their own (the ranges of several connections).
struct PartState {
  std::string etag;          // as the server sent it, quotes and W/ included
  std::string lastModified;  // the header's text, as If-Range must repeat it
  std::int64_t total = -1;   // the whole file's length; -1 unknown
  // The body came compressed ("gzip", ...): its bytes are checked only at
  // its end, so a .part of it is never continued. Kept as "coding: ...".
  std::string coding;
  // A file fetched over several connections: its ranges ([start, end) and
  // the bytes each has from its start), kept as "range: <start> <end>
  // <have>" lines. Such a .part is not a prefix: only these say what is whole.
  struct Range {
    std::int64_t start = 0, end = 0, have = 0;
  };
  std::vector<Range> ranges;
  bool Split() const { return !ranges.empty(); }
  // The ranges cover [0, total) in order, each `have` within its range.
  bool RangesValid() const;

  static QString FileNameFor(const QString& part) { return part + QStringLiteral(".state"); }
  // false when there is no readable state (nothing is kept then).
  static bool Load(const QString& part, PartState& state);
  // Replaces the file atomically; false when it cannot be written.
  bool Save(const QString& part) const;
  static void Remove(const QString& part);
};

// A .part written by several connections carries this mark (an extended
// attribute) from before its first byte, so that it is never taken for a
// prefix even when its state is gone. A file system without attributes
// gets no split.
bool MarkSplit(const QString& part, bool on);
bool MarkedSplit(const QString& part);


// Records `link` in the .part's "user.xdg.origin.url" attribute (the
// freedesktop.org name for where a download came from), without a user and
// password: attributes are read by anyone who can read the file. Best
// effort: without it the .part is simply not found again.
void RecordOrigin(const QString& part, const QString& link);

// The link recorded in a .part file's "user.xdg.origin.url" attribute; empty
// when it has none (or the file system keeps no attributes).
QString PartOrigin(const QString& part);

// Renames `from` to `to` only while nothing is under `to`: a finished
// download never replaces a file it did not write. False with errno set
// (EEXIST when the name is taken).
bool RenameWithoutReplacing(const QString& from, const QString& to);

// Creates `path` as an empty file, or raises "Cannot create file "%s". %s".
void CreateEmptyFile(const QString& path);

// The length of the file, -1 when there is none.
std::int64_t FileLength(const QString& path);

// A reply's validator (ETag, Last-Modified) as it is kept and sent back:
// one line, of a sane length (anything longer is no validator a server
// means to be repeated).
std::string ValidatorText(const std::string& value);

}  // namespace larkvale::queue
