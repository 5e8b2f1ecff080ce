#pragma once
#include <QLabel>

namespace larkvale::widgets {

// Shows a file path, shortened in the middle when it does not fit; the full
// path is the hint and the accessible description.
class PathLabel : public QLabel {
  Q_OBJECT
 public:
  explicit PathLabel(QWidget* parent = nullptr);
  void SetPath(const QString& path);
  QString Path() const { return path_; }
  QSize minimumSizeHint() const override;

 protected:
  void resizeEvent(QResizeEvent* e) override;

 private:
  void Elide();
  QString path_;
};

}  // namespace larkvale::widgets
