#include "cli/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace larkvale::cli {

QString SizeText(double bytes) {
  static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  return unit == 0 ? QStringLiteral("%1 B").arg(qint64(bytes))
                   : QStringLiteral("%1 %2").arg(bytes, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

QString ClockText(double seconds) {
  const qint64 s = std::isfinite(seconds) ? qint64(std::max(0.0, std::round(seconds))) : 0;
  const auto two = [](qint64 v) { return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')); };
  if (s >= 3600) return QStringLiteral("%1:%2:%3").arg(s / 3600).arg(two(s / 60 % 60), two(s % 60));
  return QStringLiteral("%1:%2").arg(s / 60).arg(two(s % 60));
}

ProgressLine::ProgressLine(QString label, Unit unit, bool terminal, std::FILE* out)
    : label_(std::move(label)), unit_(unit), terminal_(terminal), out_(out) {}

bool ProgressLine::StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

double ProgressLine::Elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

QString ProgressLine::Amount(double value) const {
  return unit_ == Unit::Bytes ? SizeText(value) : ClockText(value);
}

void ProgressLine::SetTotal(double total) {
  total_ = total;
  Draw(false);
}

void ProgressLine::SetStart(double start) {
  startAmount_ = start;
  done_ = std::max(done_, start);
  Draw(false);
}

void ProgressLine::SetDone(double done) {
  done_ = done;
  Draw(false);
}

void ProgressLine::Draw(bool force) {
  if (!terminal_) return;
  const auto now = std::chrono::steady_clock::now();
  // A few redraws a second are enough to read and cost nothing.
  if (!force && drawn_ && now - lastDraw_ < std::chrono::milliseconds(200)) return;
  lastDraw_ = now;
  drawn_ = true;

  const double elapsed = Elapsed();
  const double speed = elapsed > 0 ? (done_ - startAmount_) / elapsed : 0;
  QString line = label_ + QLatin1Char(' ');
  constexpr int kWidth = 24;
  if (total_ > 0) {
    const double fraction = std::clamp(done_ / total_, 0.0, 1.0);
    const int filled = int(fraction * kWidth);
    line += QLatin1Char('[') + QString(filled, QLatin1Char('#')) + QString(kWidth - filled, QLatin1Char('-')) +
            QStringLiteral("] %1% ").arg(int(fraction * 100), 3);
    line += Amount(done_) + QStringLiteral(" of ") + Amount(total_);
  } else {
    line += Amount(done_);
  }
  if (unit_ == Unit::Bytes)
    line += QStringLiteral("  ") + SizeText(speed) + QStringLiteral("/s");
  else if (elapsed > 0)
    line += QStringLiteral("  %1x").arg(speed, 0, 'f', 1);
  if (total_ > 0 && speed > 0 && done_ < total_)
    line += QStringLiteral("  ") + ClockText((total_ - done_) / speed) + QStringLiteral(" left");
  // \r and clearing to the end of the line redraw it in place.
  std::fprintf(out_, "\r%s\033[K", line.toLocal8Bit().constData());
  std::fflush(out_);
}

void ProgressLine::Finish(const QString& ending) {
  const double elapsed = Elapsed();
  if (terminal_) {
    Draw(true);
    std::fprintf(out_, "  %s\n", ending.toLocal8Bit().constData());
  } else {
    QString line = label_ + QStringLiteral(": ") + ending + QStringLiteral(", ") + Amount(done_);
    if (unit_ == Unit::Bytes && startAmount_ > 0)
      line += QStringLiteral(" (%1 bytes, resumed at byte %2)").arg(qint64(done_)).arg(qint64(startAmount_));
    else if (unit_ == Unit::Bytes)
      line += QStringLiteral(" (%1 bytes)").arg(qint64(done_));
    line += QStringLiteral(" in %1 s").arg(elapsed, 0, 'f', 1);
    std::fprintf(out_, "%s\n", line.toLocal8Bit().constData());
  }
  std::fflush(out_);
}

}  // namespace larkvale::cli
