#include "platform/errors.h"

#include <cerrno>
#include <cstdio>

namespace larkvale::platform {

QString ErrorReportText(const QString& message) { return message.endsWith('.') ? message : message + '.'; }

EInOutError::EInOutError(int code) : std::runtime_error(InOutErrorText(code)), code_(code) {}

EFCreateError::EFCreateError(const QString& path, const QString& reason)
    : std::runtime_error(QStringLiteral("Cannot create file \"%1\". %2").arg(path, reason).toStdString()) {}

std::string InOutErrorText(int code) {
  switch (code) {
    case 2: return "File not found";
    case 3: return "Invalid filename";
    case 4: return "Too many open files";
    case 5: return "File access denied";
    case 100: return "Read beyond end of file";
    case 101: return "Disk full";
    case 106: return "Invalid numeric input";
    default: {
      char text[32];
      std::snprintf(text, sizeof text, "I/O error %d", code);
      return text;
    }
  }
}

int IoCodeFromErrno(int err) {
  switch (err) {
    case ENOENT:  // a missing parent folder, as a path that cannot be resolved
    case ENOTDIR:
    case ENAMETOOLONG:
      return 3;
    case EACCES:
    case EPERM:
    case EROFS:
      return 5;
    case EMFILE:
    case ENFILE:
      return 4;
    case ENOSPC:
    case EDQUOT:
      return 101;
    default:
      return err;
  }
}

}  // namespace larkvale::platform
