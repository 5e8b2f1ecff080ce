#pragma once
// Progress on standard error. On a terminal one line is redrawn in place: a
// bar, the amount done, the speed and the time left. Anywhere else (a log, a
// pipe, cron's mail) each job writes a single line when it ends.

#include <QString>
#include <chrono>
#include <cstdint>
#include <cstdio>

namespace larkvale::cli {

// "1.5 MiB", "512 B": sizes in binary units, one decimal.
QString SizeText(double bytes);
// "1:05", "1:02:03".
QString ClockText(double seconds);

class ProgressLine {
 public:
  enum class Unit { Bytes, Seconds };
  // `label` starts the line (a file name). `terminal` chooses the redrawn bar.
  ProgressLine(QString label, Unit unit, bool terminal, std::FILE* out = stderr);

  void SetTotal(double total);  // 0 or less: not known
  // What was there before this run (a resumed download): counted in the
  // amount done, not in the speed.
  void SetStart(double start);
  void SetDone(double done);
  // The job ended: the bar is finished off, or the single line written.
  void Finish(const QString& ending);

  // Standard error is a terminal.
  static bool StandardErrorIsTerminal();

 private:
  void Draw(bool force);
  QString Amount(double value) const;
  double Elapsed() const;

  QString label_;
  Unit unit_;
  bool terminal_;
  std::FILE* out_;
  double total_ = 0;
  double startAmount_ = 0;
  double done_ = 0;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace larkvale::cli
