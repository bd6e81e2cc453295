#pragma once

#include <QLabel>

namespace kf {

// A label that reports clicks, for the labels the user can click.
class ClickLabel : public QLabel {
    Q_OBJECT
  public:
    using QLabel::QLabel;

  signals:
    void clicked();

  protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

}  // namespace kf
