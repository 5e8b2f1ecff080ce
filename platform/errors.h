#pragma once
// Errors of the application core. Every failure is an exception derived from
// std::exception whose what() is the exact text the user sees; the handler
// guard (errorreport.h) is the only place that catches them.

#include <QString>
#include <stdexcept>
#include <string>

namespace larkvale::platform {

// An error's text as the user sees it, in the error report and in a failed
// download's row: a full stop is appended unless it already ends in one.
QString ErrorReportText(const QString& message);

// An input/output failure of the file system, with the program's error code
// (2 file not found, 3 invalid filename, 4 too many open files, 5 access
// denied, 101 disk full, ...) and its fixed text.
class EInOutError : public std::runtime_error {
 public:
  explicit EInOutError(int code);
  int ErrorCode() const { return code_; }

 private:
  int code_;
};

// "File not found", "Invalid filename", ..., "I/O error %d".
std::string InOutErrorText(int code);

// The program's error code for an errno value: the codes above where one
// fits, otherwise the errno value itself.
int IoCodeFromErrno(int err);

// Failures of the settings store ("Failed to create key %s", ...).
class ESettingsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file that cannot be created: "Cannot create file "%s". %s", with its
// path and the system's reason ("No such file or directory").
class EFCreateError : public std::runtime_error {
 public:
  EFCreateError(const QString& path, const QString& reason);
};

// A text field that must hold a whole number: "'%s' is not a valid integer value".
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace larkvale::platform
