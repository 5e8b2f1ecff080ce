#pragma once
// Message boxes and file dialogs behind a small interface, so that tests
// script the answers and read the texts. Every cancel answers with an empty
// result.

#include <QPointer>
#include <QString>
#include <QStringList>

// Only the desktop half (QtDialogs) needs the widget itself; the interface
// is used without a display by the command line.
class QWidget;

namespace larkvale::platform {

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // A stop icon and an OK button.
  virtual void ShowError(const QString& title, const QString& text) = 0;
  // A plain message with an OK button.
  virtual void ShowMessage(const QString& title, const QString& text) = 0;
  // Several files may be chosen; the list is in the dialog's order.
  virtual QStringList GetOpenFileNames(const QString& title, const QString& dir, const QString& filter) = 0;
  virtual QString GetSaveFileName(const QString& title, const QString& dir, const QString& filter,
                                  const QString& defaultSuffix) = 0;
  virtual QString ChooseFolder(const QString& title, const QString& dir) = 0;
  // A question with Yes and No buttons, No the default; true for Yes.
  virtual bool AskYesNo(const QString& title, const QString& text) = 0;
};

// The desktop's dialogs, owned by `parent` when it is set.
class QtDialogs : public Dialogs {
 public:
  void SetParent(QWidget* parent);
  void ShowError(const QString& title, const QString& text) override;
  void ShowMessage(const QString& title, const QString& text) override;
  QStringList GetOpenFileNames(const QString& title, const QString& dir, const QString& filter) override;
  QString GetSaveFileName(const QString& title, const QString& dir, const QString& filter,
                          const QString& defaultSuffix) override;
  QString ChooseFolder(const QString& title, const QString& dir) override;
  bool AskYesNo(const QString& title, const QString& text) override;

 private:
  QPointer<QWidget> parent_;
};

}  // namespace larkvale::platform
