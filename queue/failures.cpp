#include "queue/failures.h"

#include <QFileInfo>
#include <QLocale>
#include <QStorageInfo>
#include <system_error>

#include "http/exceptions.h"
#include "http/retryafter.h"

namespace larkvale::queue {
namespace {

// Replies that say "not now" rather than "no".
bool TransientStatus(int code) {
  return code == 408 || code == 429 || code == 500 || code == 502 || code == 503 || code == 504;
}

// Resets, aborts, a broken pipe and time-outs of the socket itself.
bool TransientSocketError(int code) {
  return code == 10052 || code == 10053 || code == 10054 || code == 10058 || code == 10060;
}

}  // namespace

QString DiskFullText(const QString& folder) {
  QStorageInfo storage(folder);
  storage.refresh();
  const qint64 free = storage.isValid() ? std::max<qint64>(storage.bytesAvailable(), 0) : 0;
  return QStringLiteral("Disk full: %1 MB free in %2").arg(free / 1000000).arg(folder);
}

Failure DescribeFailure(std::exception_ptr error, const http::TNetHTTP* client, const QString& part) {
  Failure f;
  try {
    std::rethrow_exception(error);
  } catch (const http::ENetHTTPProtocolException& e) {
    f.error = QString::fromUtf8(e.what());
    if (TransientStatus(e.ReplyCode)) {
      f.transient = true;
      // "HTTP/1.1 503 Service Unavailable" reads "503 Service Unavailable".
      const QString line = f.error.trimmed();
      f.reason = line.startsWith(QStringLiteral("HTTP/")) ? line.section(' ', 1) : line;
      if (client)
        f.retryAfterMs =
            RetryAfterMs(client->Response.HeaderLines.ValueOf("Retry-After"), QDateTime::currentDateTimeUtc());
    }
  } catch (const http::ENetSocketError& e) {
    f.error = QString::fromUtf8(e.what());
    if (TransientSocketError(e.SocketErrorCode)) {
      f.transient = true;
      // "Socket Error # 10054\r\nConnection reset by peer." reads "Connection reset by peer".
      f.reason = f.error.section(QStringLiteral("\r\n"), -1).trimmed();
      if (f.reason.endsWith('.')) f.reason.chop(1);
    }
  } catch (const http::ENetReadTimeout& e) {
    f.error = QString::fromUtf8(e.what());
    f.transient = true;
    f.reason = f.error.trimmed();
    if (f.reason.endsWith('.')) f.reason.chop(1);
  } catch (const std::system_error& e) {
    f.error = QString::fromUtf8(e.what());
    if (e.code() == std::errc::no_space_on_device) {
      f.diskFull = true;
      f.error = DiskFullText(QFileInfo(part).absolutePath());
    }
  } catch (const std::exception& e) {
    f.error = QString::fromUtf8(e.what());
    if (f.error.isEmpty()) f.error = QStringLiteral("Unknown error");
  } catch (...) {
    f.error = QStringLiteral("Unknown error");
  }
  return f;
}

std::int64_t RetryAfterMs(const std::string& value, const QDateTime& now, std::int64_t capMs) {
  // One reader for files and stream pieces alike.
  return http::RetryAfterMs(value, now.toMSecsSinceEpoch(), capMs);
}

}  // namespace larkvale::queue
