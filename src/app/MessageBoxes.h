#pragma once

#include <string>

class QWidget;

namespace kf {

enum class BoxIcon { None, Critical, Warning, Information };

// Every message box the program shows goes through here, so tests can record them.
class MessageBoxes {
  public:
    virtual ~MessageBoxes() = default;
    // Returns when the box is closed. An empty title means the program's own name.
    virtual void show(const std::string& text, const std::string& title, BoxIcon icon) = 0;
};

// QMessageBox for users. The text also goes to stderr; on the offscreen platform, where
// nobody can click, the box returns at once.
class QtMessageBoxes : public MessageBoxes {
  public:
    explicit QtMessageBoxes(QWidget* parent = nullptr) : parent_(parent) {}
    void setParent(QWidget* parent) { parent_ = parent; }
    void show(const std::string& text, const std::string& title, BoxIcon icon) override;

  private:
    QWidget* parent_;
};

}  // namespace kf
