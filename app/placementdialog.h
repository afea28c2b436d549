// "Placement and timing": where the top layer goes (Custom, the four corners or the centre, with
// a margin), its size, the part of the main video it is shown on and its fades. A modal dialog
// of the main window; it edits a copy of the placement and gives it back on OK.
#pragma once

#include <QDialog>

#include "mix/placement.h"

class QComboBox;
class QLabel;
class QLineEdit;

namespace corvane {

class CPlacementDialog : public QDialog {
  Q_OBJECT
 public:
  CPlacementDialog(QWidget* parent, const CPlacement& placement);

  // What the fields say; valid once the dialog was accepted (OK takes only fields that read).
  const CPlacement& Placement() const { return m_placement; }

  // The fields, for tests.
  QComboBox* Position() const { return m_position; }
  QLineEdit* Field(const char* name) const;
  // Reads the fields into Placement(); false, with the reason shown under them, when one of
  // them does not read.
  bool ReadFields();
  QString ErrorText() const;

  void accept() override;

 private:
  void UpdateEnabled();

  CPlacement m_placement;
  QComboBox* m_position = nullptr;
  QLineEdit* m_margin = nullptr;
  QLineEdit* m_scale = nullptr;
  QLineEdit* m_from = nullptr;
  QLineEdit* m_to = nullptr;
  QLineEdit* m_fadeIn = nullptr;
  QLineEdit* m_fadeOut = nullptr;
  QLabel* m_error = nullptr;
};

// A time for a field: seconds with up to three decimals ("12.5"); empty below 0.
QString TimeText(double seconds);
// A position as the dialog's list names it ("Bottom right", "Custom (left, top)").
QString PositionName(ECorner corner);

}  // namespace corvane
