// The About box: the program's icon, name and version, the credit line and a link to the
// installed user guide.
//
// The link is blue until opening it has once succeeded, then purple for the rest of the
// process; a failed open only beeps. Opening and beeping are seams for tests.
#pragma once

#include <QDialog>
#include <QUrl>
#include <functional>

namespace corvane {

constexpr int kLinkId = 1021;

// The link's colours: not yet visited, visited.
QColor LinkColour(bool visited);
// Whether opening the link has succeeded in this process.
bool LinkVisited();

// The user guide as installed with the program (or, in a build tree, the copy in it).
QUrl UserGuideUrl();

// Opens an address with the desktop's default handler; true on success. Replaceable.
std::function<bool(const QUrl&)>& LinkOpener();
// The failure sound. Replaceable.
std::function<void()>& Beeper();

class CLinkControl;

class CAboutDialog : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutDialog(QWidget* parent = nullptr);

  CLinkControl* Link() const { return m_link; }
  // Opens the link's address; marks it visited on success, beeps on failure.
  void OnLinkClicked();

 private:
  CLinkControl* m_link = nullptr;
};

// The hand-drawn link: the address in the link colour, underlined.
class CLinkControl : public QWidget {
  Q_OBJECT
 public:
  CLinkControl(const QString& address, QWidget* parent);
  const QString& Address() const { return m_address; }

 signals:
  void clicked();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  QString m_address;
};

}  // namespace corvane
