// Choosing files: what the open commands ask for, the error box, cancelling, the dialog's own
// rules for opening and saving, and a worker's request being served on the UI thread.
#include "app/fileselect.h"

#include <QApplication>
#include <QComboBox>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <fstream>
#include <thread>

#include "app/maindialog.h"
#include "app/qthost.h"
#include "guitestsupport.h"

using namespace corvane;
using namespace corvane::test;

class CFileSelectTest : public QObject {
  Q_OBJECT

 private slots:
  void theOpenCommandsAskForAnExistingAviWithTheirTitle() {
    CMainDialog dialog;
    CScriptedFiles files;
    files.Cancel();
    files.Cancel();
    dialog.OnOpenMain();
    dialog.OnOpenTop();
    QCOMPARE(files.Requests().size(), size_t(2));
    for (const CFileRequest& request : files.Requests()) {
      QCOMPARE(request.m_title, QStringLiteral("Open AVI"));
      QCOMPARE(request.m_filter.size(), 3);
      QVERIFY(request.m_filter[0].startsWith("Videos and images (*.avi *.mp4 "));
      QVERIFY(request.m_filter[0].contains("*.png") && request.m_filter[0].contains("*.gif"));
      QCOMPARE(request.m_filter.mid(1), (QStringList{"AVI Files (*.avi)", "All files (*.*)"}));
      QCOMPARE(request.m_kind, EFileKind::kOpen);
      QCOMPARE(request.m_owner, &dialog);
    }
  }

  void aDialogFailureShowsItsCodeInTheFileSelectorErrorBox() {
    CMainDialog dialog;
    std::vector<CRecordedBox> boxes;
    dialog.Host().m_answerBox = [&](const std::string& text, const std::string& caption,
                                    uint32_t flags) {
      boxes.push_back({text, caption, flags});
      return IDOK;
    };
    CScriptedFiles files;
    files.Fail(kNameTooLong);
    const auto name =
        SelectFile(&dialog, AviFilter(), QStringLiteral("Save AVI"), EFileKind::kSave);
    QVERIFY(!name.has_value());
    QCOMPARE(boxes.size(), size_t(1));
    QCOMPARE(boxes[0].m_text, std::string("GetOpenFileName returned\nError #12291"));
    QCOMPARE(boxes[0].m_caption, std::string("File selector error"));
    QCOMPARE(boxes[0].m_flags, MB_ICONERROR);
  }

  void cancellingShowsNothingAndChoosingReturnsTheName() {
    CMainDialog dialog;
    int boxes = 0;
    dialog.Host().m_answerBox = [&](const std::string&, const std::string&, uint32_t) {
      ++boxes;
      return IDOK;
    };
    CScriptedFiles files;
    files.Cancel();
    files.Choose("/tmp/out put.avi");
    QVERIFY(!SelectFile(&dialog, AviFilter(), "Save AVI", EFileKind::kSave).has_value());
    QCOMPARE(SelectFile(&dialog, AviFilter(), "Save AVI", EFileKind::kSave).value_or(""),
             std::string("/tmp/out put.avi"));
    QCOMPARE(boxes, 0);
  }

  void aWorkersRequestIsServedOnTheUiThread() {
    CMainDialog dialog;
    QThread* servingThread = nullptr;
    SetFileDialogRunner([&](const CFileRequest& request) {
      servingThread = QThread::currentThread();
      return CFileAnswer{request.m_title.toStdString() + ".avi", 0, {}};
    });
    std::atomic<bool> done{false};
    std::string chosen;
    std::thread worker([&] {
      chosen = SelectFile(&dialog, AviFilter(), "Save AVI", EFileKind::kSave).value_or("");
      done = true;
    });
    QTRY_VERIFY(done.load());
    worker.join();
    SetFileDialogRunner(nullptr);
    QCOMPARE(chosen, std::string("Save AVI.avi"));
    QCOMPARE(servingThread, QThread::currentThread());
  }

  void savingAsksBeforeCreatingAndBeforeReplacing() {
    CTempDir folder;
    const QString fresh = QString::fromStdString(folder.Path("fresh.avi"));
    const QString existing = QString::fromStdString(folder.Path("existing.avi"));
    std::ofstream(existing.toStdString()) << "x";

    CAviFileDialog dialog(nullptr, AviFilter(), "Save AVI", EFileKind::kSave);
    QStringList questions;
    bool answer = false;
    dialog.m_confirm = [&](const QString& question) {
      questions << question;
      return answer;
    };
    dialog.setDirectory(QString::fromStdString(folder.Dir().string()));
    dialog.selectFile(fresh);
    dialog.accept();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(questions.size(), 1);
    QVERIFY2(questions[0].contains("does not exist") && questions[0].contains("fresh.avi"),
             qPrintable(questions[0]));

    dialog.selectFile(existing);
    dialog.accept();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(questions.size(), 2);
    QVERIFY2(questions[1].contains("already exists"), qPrintable(questions[1]));

    answer = true;
    dialog.accept();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.selectedFiles().value(0), existing);
  }

  void savingRefusesAFolderThatDoesNotExist() {
    CTempDir folder;
    CAviFileDialog dialog(nullptr, AviFilter(), "Save AVI", EFileKind::kSave);
    int questions = 0;
    QStringList warnings;
    dialog.m_confirm = [&](const QString&) { return ++questions > 0; };
    dialog.m_warn = [&](const QString& warning) { warnings << warning; };
    dialog.setDirectory(QString::fromStdString(folder.Dir().string()));
    dialog.selectFile(QString::fromStdString(folder.Path("no/such/out.avi")));
    dialog.accept();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(questions, 0);
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings[0].contains("does not exist"), qPrintable(warnings[0]));
  }

  void savingAddsTheAviExtension() {
    CTempDir folder;
    CAviFileDialog dialog(nullptr, AviFilter(), "Save AVI", EFileKind::kSave);
    dialog.m_confirm = [](const QString&) { return true; };
    dialog.setDirectory(QString::fromStdString(folder.Dir().string()));
    dialog.selectFile(QStringLiteral("mixed"));
    dialog.accept();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.selectedFiles().value(0), QString::fromStdString(folder.Path("mixed.avi")));
  }

  // Under another file type, a name whose extension names no container gets that type's; under
  // AVI, as always, only a name without a dot does.
  void savingAddsTheChosenTypesExtensionWhereTheNameHasNone() {
    CTempDir folder;
    const struct {
      const char* m_filter;
      const char* m_typed;
      const char* m_written;
    } rows[] = {{"WebM (*.webm)", "holiday.final", "holiday.final.webm"},
                {"MP4 (*.mp4 *.m4v)", "clip", "clip.mp4"},
                {"Matroska (*.mkv)", "take.MOV", "take.MOV"},
                {"QuickTime (*.mov)", "out.flv", "out.flv.mov"},
                {"AVI Files (*.avi)", "out.flv", "out.flv"}};
    for (const auto& row : rows) {
      CAviFileDialog dialog(nullptr, OutputFilter(), "Save", EFileKind::kSave);
      QStringList questions;
      dialog.m_confirm = [&](const QString& question) {
        questions << question;
        return true;
      };
      dialog.setDirectory(QString::fromStdString(folder.Dir().string()));
      dialog.selectNameFilter(QString::fromLatin1(row.m_filter));
      emit dialog.filterSelected(QString::fromLatin1(row.m_filter));
      dialog.selectFile(QString::fromLatin1(row.m_typed));
      dialog.accept();
      const QString written = QString::fromStdString(folder.Path(row.m_written));
      QCOMPARE(dialog.ChosenName(), written);
      QCOMPARE(questions.size(), 1);
      QVERIFY2(questions[0].contains(QFileInfo(written).fileName()), qPrintable(questions[0]));
    }
  }

  void allFilesAlsoListsNamesWithoutADot() {
    CAviFileDialog dialog(nullptr, AviFilter(), "Open AVI", EFileKind::kOpen);
    auto* model = dialog.findChild<QFileSystemModel*>();
    auto* types = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    QVERIFY(model && types);
    QCOMPARE(model->nameFilters(), QStringList{"*.avi"});
    QTest::keyClick(types, Qt::Key_Down);  // the user picks the second entry
    QCOMPARE(dialog.selectedNameFilter(), QStringLiteral("All files (*.*)"));
    QVERIFY2(model->nameFilters().isEmpty(), qPrintable(model->nameFilters().join(' ')));
  }

  void openingRefusesAFileThatDoesNotExist() {
    CTempDir folder;
    CAviFileDialog dialog(nullptr, AviFilter(), "Open AVI", EFileKind::kOpen);
    dialog.setDirectory(QString::fromStdString(folder.Dir().string()));
    QString warning;
    QTimer::singleShot(0, [&] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        warning = box->text();
        box->close();
      }
    });
    dialog.selectFile(QString::fromStdString(folder.Path("nothing.avi")));
    dialog.accept();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(!warning.isEmpty());

    const std::string real = folder.Path("real.avi");
    std::ofstream(real) << "x";
    dialog.selectFile(QString::fromStdString(real));
    dialog.accept();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.fileMode(), QFileDialog::ExistingFile);
  }

 private:
  struct CRecordedBox {
    std::string m_text;
    std::string m_caption;
    uint32_t m_flags;
  };
};

QTEST_MAIN(CFileSelectTest)
#include "fileselect_test.moc"
