#include "platform/dialogs.h"

#include <QFileDialog>
#include <QMessageBox>

namespace larkvale::platform {

void QtDialogs::SetParent(QWidget* parent) { parent_ = parent; }

void QtDialogs::ShowError(const QString& title, const QString& text) {
  QMessageBox::critical(parent_, title, text, QMessageBox::Ok);
}

void QtDialogs::ShowMessage(const QString& title, const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent_);
  box.exec();
}

QStringList QtDialogs::GetOpenFileNames(const QString& title, const QString& dir, const QString& filter) {
  return QFileDialog::getOpenFileNames(parent_, title, dir, filter);
}

QString QtDialogs::GetSaveFileName(const QString& title, const QString& dir, const QString& filter,
                                   const QString& defaultSuffix) {
  QFileDialog dialog(parent_, title, dir, filter);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix(defaultSuffix);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().constFirst();
}

QString QtDialogs::ChooseFolder(const QString& title, const QString& dir) {
  return QFileDialog::getExistingDirectory(parent_, title, dir);
}

bool QtDialogs::AskYesNo(const QString& title, const QString& text) {
  return QMessageBox::question(parent_, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
         QMessageBox::Yes;
}

}  // namespace larkvale::platform
