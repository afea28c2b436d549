// Choosing the files the user names: the two sources through the open dialog, the output
// through the save dialog.
//
// SelectFile runs a file dialog on the UI thread (a caller on another thread waits for it) and
// returns the chosen name. The dialog itself is a seam: tests install a runner that answers in
// its place.
#pragma once

#include <QFileDialog>
#include <QStringList>
#include <functional>
#include <optional>
#include <string>

#include "media/mux/container.h"

class QCheckBox;
class QWidget;

namespace corvane {

enum class EFileKind { kOpen = 1, kSave = 2 };

// The two entries of the AVI filter, "AVI Files (*.avi)" first.
const QStringList& AviFilter();
// The open dialogs' filter: every video and image the program reads first, then the AVI filter.
// The save dialog's file types: the output containers, AVI first, then all files.
const QStringList& OutputFilter();
const QStringList& SourceFilter();
extern const char* const kOpenTitle;  // "Open AVI"
extern const char* const kSaveTitle;  // "Save AVI"

// Dialog error code for a chosen name longer than a name may be.
constexpr long kNameTooLong = 0x3003;
// Longest name handed back, in bytes of UTF-8.
constexpr int kMaxNameBytes = 4095;

// What a file dialog is asked for, and what it answers.
struct CFileRequest {
  QWidget* m_owner = nullptr;
  QStringList m_filter;
  QString m_title;
  EFileKind m_kind = EFileKind::kOpen;
  bool m_copyChoice = false;  // a mix's output: "Copy unchanged frames" is offered
};
struct CFileAnswer {
  std::string m_name;                   // empty: nothing chosen
  long m_error = 0;                     // not 0: the dialog failed with this code
  std::optional<bool> m_copyUnchanged;  // the box's state, where the dialog said it
};
using CFileDialogRunner = std::function<CFileAnswer(const CFileRequest&)>;

// Replaces the file dialog (null: the Qt dialog below). Not thread-safe: install it before
// any dialog can run.
void SetFileDialogRunner(CFileDialogRunner runner);

// Runs the dialog for `request`. A failure with a code shows "GetOpenFileName returned\nError
// #<code>" captioned "File selector error"; cancelling shows nothing. The owner is repainted
// either way. Returns the chosen name, or nothing. With `copyUnchanged` the dialog offers
// "Copy unchanged frames" and its state goes there (nothing when the dialog did not say).
std::optional<std::string> SelectFile(QWidget* owner, const QStringList& filter,
                                      const QString& title, EFileKind kind,
                                      std::optional<bool>* copyUnchanged = nullptr);

// The Qt file dialog behind SelectFile. Opening accepts only an existing file in an existing
// folder; saving needs an existing folder and asks before it replaces an existing file and
// before it creates a new one.
class CAviFileDialog : public QFileDialog {
  Q_OBJECT
 public:
  CAviFileDialog(QWidget* owner, const QStringList& filter, const QString& title, EFileKind kind);

  // Asks a Yes/No question; true for Yes. A message box unless replaced.
  std::function<bool(const QString& question)> m_confirm;
  // Tells the user why a name is refused. A message box unless replaced.
  std::function<void(const QString& warning)> m_warn;

  void accept() override;

  // The name chosen, as it will be written: saving under a file type other than AVI, a name
  // whose extension names no container gets that type's (QFileDialog adds it only to names
  // without a dot).
  QString ChosenName() const;

  // Adds "Copy unchanged frames" under the file types: the box shows the choice for the
  // container the name would be written as, and follows it as the name or the type changes.
  void OfferCopyChoice();
  QCheckBox* CopyUnchanged() const { return m_copyUnchanged; }

 private:
  // The container the name chosen so far would be written as.
  EContainer OutputKind() const;
  void FollowContainer();

  EFileKind m_kind;
  QCheckBox* m_copyUnchanged = nullptr;
  EContainer m_copyFor = EContainer::kAvi;  // the container the box shows the choice for
};

// Runs CAviFileDialog modally for `request`.
CFileAnswer RunQtFileDialog(const CFileRequest& request);

}  // namespace corvane
