#include "app/fileselect.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <QWidget>

#include "app/copychoice.h"
#include "app/storedsettings.h"
#include "media/host.h"
#include "media/mux/container.h"

namespace corvane {
namespace {

CFileDialogRunner& Runner() {
  static CFileDialogRunner runner;
  return runner;
}

// Runs `work` on the thread of `context`; a caller on another thread waits for it.
void RunOn(QObject* context, const std::function<void()>& work) {
  if (!context || QThread::currentThread() == context->thread()) {
    work();
    return;
  }
  QMetaObject::invokeMethod(context, work, Qt::BlockingQueuedConnection);
}

}  // namespace

const char* const kOpenTitle = "Open AVI";
const char* const kSaveTitle = "Save AVI";

const QStringList& AviFilter() {
  static const QStringList filter{QStringLiteral("AVI Files (*.avi)"),
                                  QStringLiteral("All files (*.*)")};
  return filter;
}

const QStringList& OutputFilter() {
  static const QStringList filter{
      QStringLiteral("AVI Files (*.avi)"), QStringLiteral("MP4 (*.mp4 *.m4v)"),
      QStringLiteral("Matroska (*.mkv)"),  QStringLiteral("WebM (*.webm)"),
      QStringLiteral("QuickTime (*.mov)"), QStringLiteral("All files (*.*)")};
  return filter;
}

const QStringList& SourceFilter() {
  static const QStringList filter = [] {
    QStringList entries{QStringLiteral(
        "Videos and images (*.avi *.mp4 *.m4v *.mov *.mkv *.webm *.ts *.m2ts *.mts *.mpg *.mpeg "
        "*.vob *.flv *.wmv *.asf *.3gp *.ogv *.dv *.y4m *.png *.apng *.jpg *.jpeg *.bmp *.gif "
        "*.webp *.tif *.tiff)")};
    entries += AviFilter();
    return entries;
  }();
  return filter;
}

void SetFileDialogRunner(CFileDialogRunner runner) {
  Runner() = std::move(runner);
}

std::optional<std::string> SelectFile(QWidget* owner, const QStringList& filter,
                                      const QString& title, EFileKind kind,
                                      std::optional<bool>* copyUnchanged) {
  const CFileRequest request{owner, filter, title, kind, copyUnchanged != nullptr};
  CFileAnswer answer;
  QObject* uiContext = owner ? static_cast<QObject*>(owner) : QCoreApplication::instance();
  RunOn(uiContext, [&] {
    answer = Runner() ? Runner()(request) : RunQtFileDialog(request);
    if (answer.m_error != 0) {
      answer.m_name.clear();
      ShowMessage(Format("%s%ld", "GetOpenFileName returned\nError #", answer.m_error),
                  MB_ICONERROR, "File selector error");
    }
    if (owner) owner->update();
  });
  if (answer.m_name.empty()) return std::nullopt;
  if (copyUnchanged) *copyUnchanged = answer.m_copyUnchanged;
  return answer.m_name;
}

CAviFileDialog::CAviFileDialog(QWidget* owner, const QStringList& filter, const QString& title,
                               EFileKind kind)
    : QFileDialog(owner, title), m_kind(kind) {
  setOption(QFileDialog::DontUseNativeDialog);
  setNameFilters(filter);
  if (!filter.isEmpty()) selectNameFilter(filter.front());
  if (kind == EFileKind::kOpen) {
    setAcceptMode(QFileDialog::AcceptOpen);
    setFileMode(QFileDialog::ExistingFile);
  } else {
    setAcceptMode(QFileDialog::AcceptSave);
    setFileMode(QFileDialog::AnyFile);
    // Both questions are asked in accept(), the same way.
    setOption(QFileDialog::DontConfirmOverwrite);
    setDefaultSuffix(QStringLiteral("avi"));
    // A name typed without an extension gets the one of the file type chosen.
    connect(this, &QFileDialog::filterSelected, this, [this](const QString& selected) {
      const qsizetype star = selected.indexOf(QStringLiteral("(*."));
      if (star < 0) return;
      const QString suffix =
          selected.mid(star + 3).section(QLatin1Char(' '), 0, 0).remove(QLatin1Char(')'));
      if (suffix != QStringLiteral("*")) setDefaultSuffix(suffix);
    });
  }
  // "*.*" means every file here, also names without a dot.
  connect(this, &QFileDialog::filterSelected, this, [this](const QString& selected) {
    if (!selected.contains(QStringLiteral("(*.*)"))) return;
    if (auto* model = findChild<QFileSystemModel*>()) model->setNameFilters({});
  });
  m_warn = [this](const QString& warning) { QMessageBox::warning(this, windowTitle(), warning); };
  m_confirm = [this](const QString& question) {
    return QMessageBox::question(this, windowTitle(), question,
                                 QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
  };
}

QString CAviFileDialog::ChosenName() const {
  const QStringList files = selectedFiles();
  if (files.isEmpty()) return {};
  QString name = files.front();
  if (m_kind != EFileKind::kSave || QFileInfo(name).isDir()) return name;
  const QString suffix = defaultSuffix();
  const CContainerInfo* chosen = ContainerNamed(suffix.toStdString());
  if (chosen && chosen->m_kind != EContainer::kAvi && !ContainerForPath(name.toStdString()))
    name += QLatin1Char('.') + suffix;
  return name;
}

void CAviFileDialog::OfferCopyChoice() {
  if (m_copyUnchanged) return;
  m_copyUnchanged = new QCheckBox(tr("&Copy unchanged frames"), this);
  m_copyUnchanged->setObjectName(QStringLiteral("copyUnchanged"));
  m_copyUnchanged->setToolTip(
      tr("Frames no layer shows on are written as the main video's own, where the output is "
         "compressed with the main video's codec"));
  // Under the file types, in the column of the fields.
  if (auto* grid = qobject_cast<QGridLayout*>(layout()))
    grid->addWidget(m_copyUnchanged, grid->rowCount(), 1);
  else if (layout())
    layout()->addWidget(m_copyUnchanged);
  m_copyFor = OutputKind();
  m_copyUnchanged->setChecked(CopyChoice(m_copyFor));
  connect(this, &QFileDialog::filterSelected, this, [this] { FollowContainer(); });
  if (auto* name = findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
    connect(name, &QLineEdit::textChanged, this, [this] { FollowContainer(); });
}

EContainer CAviFileDialog::OutputKind() const {
  const QString name = ChosenName();
  if (name.isEmpty() || QFileInfo(name).isDir()) {
    // No name yet: the file type's.
    const CContainerInfo* typed = ContainerNamed(defaultSuffix().toStdString());
    return typed ? typed->m_kind : EContainer::kAvi;
  }
  return OutputContainer(name.toStdString()).m_kind;
}

void CAviFileDialog::FollowContainer() {
  const EContainer kind = OutputKind();
  // The box keeps what the user made of it until the name or the type names another container.
  if (kind == m_copyFor) return;
  m_copyFor = kind;
  m_copyUnchanged->setChecked(CopyChoice(kind));
}

void CAviFileDialog::accept() {
  if (m_kind == EFileKind::kSave) {
    const QString chosen = ChosenName();
    if (!chosen.isEmpty()) {
      const QFileInfo info(chosen);
      if (!info.isDir() && !info.absoluteDir().exists()) {
        if (m_warn)
          m_warn(tr("%1\nThe folder does not exist.")
                     .arg(QDir::toNativeSeparators(info.absolutePath())));
        return;
      }
      if (!info.isDir()) {
        const QString name = QDir::toNativeSeparators(info.absoluteFilePath());
        const QString question =
            info.exists()
                ? tr("%1 already exists.\nDo you want to replace it?").arg(name)
                : tr("%1\nThis file does not exist.\nDo you want to create it?").arg(name);
        if (!m_confirm || !m_confirm(question)) return;
      }
    }
  }
  QFileDialog::accept();
}

CFileAnswer RunQtFileDialog(const CFileRequest& request) {
  CAviFileDialog dialog(request.m_owner, request.m_filter, request.m_title, request.m_kind);
  if (const QString folder = StoredFolder(); !folder.isEmpty() && QDir(folder).exists())
    dialog.setDirectory(folder);
  if (request.m_copyChoice) dialog.OfferCopyChoice();
  CFileAnswer answer;
  if (dialog.exec() != QDialog::Accepted) return answer;
  const QString chosen = dialog.ChosenName();
  if (chosen.isEmpty()) return answer;
  StoreFolderOf(chosen);
  if (const QCheckBox* copy = dialog.CopyUnchanged()) {
    answer.m_copyUnchanged = copy->isChecked();
    KeepCopyChoice(OutputContainer(chosen.toStdString()).m_kind, copy->isChecked());
  }
  const QByteArray name = chosen.toUtf8();
  if (name.size() > kMaxNameBytes) {
    answer.m_error = kNameTooLong;
    return answer;
  }
  answer.m_name = name.toStdString();
  return answer;
}

}  // namespace corvane
