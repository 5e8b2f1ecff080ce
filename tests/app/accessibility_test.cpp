#include <gtest/gtest.h>

#include <QAccessible>
#include <QLineEdit>
#include <QTest>
#include <vector>

#include "browser/webbrowser.h"
#include "support/fakes.h"
#include "support/window_parts.h"

namespace larkvale::app {
namespace {

using testing::Child;
using testing::FakeDesktop;
using testing::Only;

QString AccessibleText(QWidget* widget) {
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(widget);
  if (!iface || !iface->textInterface()) return QStringLiteral("<no text interface>");
  return iface->textInterface()->text(0, iface->textInterface()->characterCount());
}

TEST(Accessibility, BrowserPageTabsDownThePage) {
  FakeDesktop desktop;
  MainWindow form(desktop.services);
  const std::vector<std::pair<const char*, QWidget*>> expected = {
      {"Back", Child<QAbstractButton>(&form, "mxMSButton5")},
      {"Forward", Child<QAbstractButton>(&form, "mxMSButton4")},
      {"Address", Child<QComboBox>(&form, "URLs")},
      {"Browse", Child<QAbstractButton>(&form, "mxTPButton4")},
      {"Stop", Child<QAbstractButton>(&form, "mxTPButton3")},
      {"Stop downloads", Child<widgets::StyledButton>(&form, "mxTPButton10")},
      {"Home", Child<QAbstractButton>(&form, "mxImageButton1")},
      {"Download", Child<QAbstractButton>(&form, "mxImageButton4")},
      {"Web page", Child<browser::TWebBrowser>(&form, "WebBrowser1")},
      {"download list", Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->View()},
      {"new row's FLV url", Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->InputCell(queue::colUrl)},
      {"new row's File", Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->InputCell(queue::colFile)},
      {"Browse files", Child<QAbstractButton>(&form, "mxTPButton9brw")},
      {"Change dir", Child<QAbstractButton>(&form, "mxTPButton21vdir")},
  };
  // Positions in the focus chain, starting at the first control of the page.
  std::vector<QWidget*> chain;
  QWidget* w = Child<QAbstractButton>(&form, "mxMSButton5");
  do {
    chain.push_back(w);
    w = w->nextInFocusChain();
  } while (w != Child<QAbstractButton>(&form, "mxMSButton5") && chain.size() < 2000);
  int previous = -1;
  for (auto [name, widget] : expected) {
    SCOPED_TRACE(name);
    if (QWidget* proxy = widget->focusProxy()) widget = proxy;  // the web page's view
    // The web page takes focus only once its view can show a page (not here,
    // without a graphics back end); everything else always does.
    if (widget->focusPolicy() == Qt::NoFocus &&
        widget != Child<browser::TWebBrowser>(&form, "WebBrowser1")->focusProxy())
      ADD_FAILURE() << "no focus";
    if (widget->focusPolicy() == Qt::NoFocus) continue;
    const auto at = std::find(chain.begin(), chain.end(), widget);
    ASSERT_NE(at, chain.end());
    const int position = int(at - chain.begin());
    EXPECT_GT(position, previous);
    previous = position;
  }
}

TEST(Accessibility, NamedLabelsExposeTheirCurrentText) {
  FakeDesktop desktop;
  MainWindow form(desktop.services);
  Child<widgets::StatusLabel>(&form, "status")->SetText(QStringLiteral("Connecting..."));
  Child<QLabel>(&form, "Label2")->setText(QStringLiteral("Converting <b>50</b> %"));
  const struct {
    QLabel* label;
    const char* name;
    const char* text;
  } cases[] = {
      {Child<widgets::StatusLabel>(&form, "status"), "Status", "Connecting..."},
      {Child<QLabel>(&form, "Label2"), "Conversion status", "Converting 50 %"},  // rich text read as plain text
      {Child<QLabel>(&form, "WebSiteLabel"), "Larkvale_HD on the web: news, tips and updates",
       "Larkvale_HD on the web: news, tips and updates"},  // no name of its own: named by its text
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(c.label);
    ASSERT_NE(iface, nullptr);
    EXPECT_EQ(iface->role(), QAccessible::StaticText);
    EXPECT_EQ(iface->text(QAccessible::Name), c.name);
    EXPECT_EQ(AccessibleText(c.label), c.text);
    EXPECT_EQ(iface->text(QAccessible::Value), c.text);
    EXPECT_TRUE(iface->state().readOnly);
  }
  // The text follows the label.
  Child<widgets::StatusLabel>(&form, "status")->SetText(QStringLiteral("Done"));
  QTest::qWait(40);  // past the status line's frame
  EXPECT_EQ(AccessibleText(Child<widgets::StatusLabel>(&form, "status")), "Done");
}

TEST(Accessibility, TheAddressFieldAndTheNewRowFieldsAreNamed) {
  FakeDesktop desktop;
  MainWindow form(desktop.services);
  EXPECT_EQ(QAccessible::queryAccessibleInterface(Child<QComboBox>(&form, "URLs")->lineEdit())->text(QAccessible::Name),
            "Address");

  // The input row is reachable from the grid, not buried under the table's cells.
  QAccessibleInterface* grid =
      QAccessible::queryAccessibleInterface(Child<widgets::DownloadGrid>(&form, "DownloadGrid1"));
  ASSERT_NE(grid, nullptr);
  QStringList names;
  std::vector<QAccessibleInterface*> todo = {grid};
  while (!todo.empty()) {
    QAccessibleInterface* node = todo.back();
    todo.pop_back();
    if (node->role() == QAccessible::EditableText) names << node->text(QAccessible::Name);
    if (node->role() == QAccessible::Table) continue;  // cells
    for (int i = 0; i < node->childCount(); ++i)
      if (QAccessibleInterface* child = node->child(i)) todo.push_back(child);
  }
  for (const char* name : {"New row: FLV url", "New row: Size", "New row: File"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(names.contains(QString::fromLatin1(name)));
  }
}

}  // namespace
}  // namespace larkvale::app
