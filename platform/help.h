#pragma once
// The application's help: one HTML file in AppDir with the table of contents
// at the top and topics as anchors ("topic-223"), shown in the program's own
// help window. A missing file shows nothing and reports nothing.

#include <QPointer>
#include <QString>

// Only the desktop half (QtHelp) needs the widget itself.
class QTextBrowser;

namespace larkvale::platform {

class Help {
 public:
  virtual ~Help() = default;
  virtual void SetHelpFile(const QString& path) = 0;
  virtual void ShowContents() = 0;
  virtual void ShowTopic(int topic) = 0;
};

class QtHelp : public Help {
 public:
  ~QtHelp() override;
  void SetHelpFile(const QString& path) override { helpFile_ = path; }
  void ShowContents() override;
  void ShowTopic(int topic) override;
  // The window, once shown (for tests).
  QTextBrowser* Viewer() const;

 private:
  void Show(const QString& anchor);
  QString helpFile_;
  QPointer<QTextBrowser> viewer_;
};

// The anchor of a topic number inside the help file.
QString HelpTopicAnchor(int topic);

}  // namespace larkvale::platform
