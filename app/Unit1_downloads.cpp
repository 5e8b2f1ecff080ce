// The download list's handlers, the Download action and the queue runner.
#include <QUrl>

#include "app/Unit1_p.h"
#include "platform/filesystem.h"
#include "platform/shell.h"

namespace larkvale::app {

using widgets::TColor;

void TForm1::DownloadGrid1CellFormating(QObject*, int, int ARow, TColor& TextColor, widgets::FontStyles& FontStyle,
                                        widgets::CellState) {
  // A finished row reads grey and struck through; the row being downloaded
  // reads blue, and blue wins over grey.
  if (DownloadList->CellInt(QStringLiteral("ProgressColumn1"), ARow) == 100) {
    TextColor = TColor::System(widgets::clGrayTextIndex);
    FontStyle |= widgets::fsStrikeOut;
  }
  if (ARow == CurrentDownloadRow) TextColor = TColor::Rgb(0, 0, 255);
}

void TForm1::DownloadGrid1CellColoring(QObject*, int, int ARow, TColor& CellColor, TColor& GridColor,
                                       widgets::CellState) {
  if (ARow % 2 == 0) {
    CellColor = TColor::System(widgets::clMenuBarIndex);
    GridColor = TColor::System(widgets::clMenuBarIndex);
  }
}

void TForm1::DownloadGrid1DblClick() {
  Guard([this] {
    const int row = DownloadGrid1->SelectedRow();
    if (row < 0) return;
    const QString path = DownloadList->CellText(queue::colFile, row);
    if (platform::FileExists(path))
      services_.shell->Open(QUrl::fromLocalFile(path));
    else
      ShowPage(pgBrowser);
  });
}

void TForm1::Delete1Click() {
  Guard([this] {
    const int row = DownloadGrid1->SelectedRow();
    if (row >= 0) DownloadList->DeleteRow(row);
  });
}

void TForm1::mxTPButton9Click() {}

}  // namespace larkvale::app
