// What the mix commands check before they write anything: a key channel or an offset the mix
// would not take as the window shows it is refused (and the mix preview says why instead of
// showing a picture), and an output name whose extension names no container is put to the user
// before an AVI is written under it.
#include <QFile>
#include <QFileInfo>

#include "app/compositewindow.h"
#include "mixtestsupport.h"

using namespace corvane;
using namespace corvane::test;

class CMixChecksTest : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() { MixEngine().m_placement = CPlacement{}; }

  // Each value is refused by both mix commands before the save dialog, with the reason, and the
  // preview shows the reason; a value the mix takes goes on to the save dialog.
  void valuesTheMixWouldNotTakeAreRefused() {
    struct CCase {
      int m_id;
      const char* m_text;
      const char* m_refusal;  // empty: taken
    };
    const CCase cases[] = {
        {kRedId, "300", "r must be 0 to 255"},
        {kGreenId, "256", "g must be 0 to 255"},
        {kBlueId, "99999999999", "b must be 0 to 255"},
        {kTopId, "2147483648", "top must be within \u00b12147483647"},
        {kLeftId, "-2147483648", "left must be within \u00b12147483647"},
        {kLeftId, "-50", ""},
        {kBlueId, "255", ""},
    };
    CMixRig rig;
    rig.OpenSources(MainFixture(), TopFixture());
    rig.Dialog().OnPreviewMix();
    CCompositeWindow& preview = *rig.Dialog().CompositeWindow();
    for (const CCase& row : cases) {
      for (const int id : {kRedId, kGreenId, kBlueId, kLeftId, kTopId})
        rig.SetText(id, QStringLiteral("0"));
      rig.SetText(row.m_id, QString::fromLatin1(row.m_text));
      const QString refusal = QString::fromUtf8(row.m_refusal);
      preview.Render();
      if (refusal.isEmpty()) {
        QVERIFY2(!preview.Picture().isNull(), row.m_text);
      } else {
        QCOMPARE(preview.FrameText(), refusal);
        QVERIFY(preview.Picture().isNull());
      }
      for (const int command : {kMixCommand, kAlphaMixCommand}) {
        rig.m_boxes.clear();
        rig.m_requests.clear();
        rig.Dialog().MenuCommand(command)->trigger();
        QVERIFY(rig.WaitForIdle());
        QCOMPARE(MenuState(rig.Dialog()), kIdleMenu);
        QVERIFY(!CompletionEventOpen());
        if (refusal.isEmpty()) {
          QVERIFY2(rig.m_boxes.empty(), row.m_text);
          QCOMPARE(rig.m_requests.size(), size_t(1));  // the save dialog, cancelled
        } else {
          QCOMPARE(rig.m_boxes.size(), size_t(1));
          QCOMPARE(QString::fromStdString(rig.m_boxes[0].m_text), refusal);
          QCOMPARE(rig.m_boxes[0].m_flags, MB_ICONERROR);
          QVERIFY(rig.m_requests.empty());
        }
      }
    }
  }

  // A name whose extension names no container asks whether to write the AVI under .avi instead:
  // Yes writes that file, No writes nothing. A name that names a container or has no extension
  // is written as it is, without a question.
  void anUnknownExtensionIsPutToTheUser() {
    struct CCase {
      const char* m_name;
      bool m_existing;          // a file of the suggested name is there already
      QList<int> m_answers;     // to the boxes, in order
      QStringList m_questions;  // the boxes, in order; "%1" stands for the folder
      const char* m_written;    // empty: nothing written
    };
    const QString replace =
        QStringLiteral("%1/out.avi already exists.\nDo you want to replace it?");
    const CCase cases[] = {
        {"out.flv",
         false,
         {IDYES},
         {"out.flv: Corvane cannot write .flv files. Save as out.avi?"},
         "out.avi"},
        {"out.flv",
         false,
         {IDNO},
         {"out.flv: Corvane cannot write .flv files. Save as out.avi?"},
         ""},
        {"clip.v2.WMV",
         false,
         {IDYES},
         {"clip.v2.WMV: Corvane cannot write .WMV files. Save as clip.v2.avi?"},
         "clip.v2.avi"},
        {"out.flv",
         true,
         {IDYES, IDNO},
         {"out.flv: Corvane cannot write .flv files. Save as out.avi?", replace},
         ""},
        {"out", false, {}, {}, "out"},
        {"out.AVI", false, {}, {}, "out.AVI"},
    };
    for (const CCase& row : cases) {
      CMixRig rig;
      rig.OpenSources(MainFixture(), TopFixture());
      CTempDir folder;
      const QString there =
          QFileInfo(QString::fromStdString(folder.Dir().string())).absoluteFilePath();
      if (row.m_existing) {
        QFile existing(there + QStringLiteral("/out.avi"));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write("kept");
      }
      rig.SaveAs(folder.Path(row.m_name));
      QList<int> answers = row.m_answers;
      rig.m_answer = [&answers](const CBox&) {
        return answers.isEmpty() ? IDNO : answers.takeFirst();
      };
      rig.Dialog().MenuCommand(kMixCommand)->trigger();
      QVERIFY(rig.WaitForIdle());

      QStringList asked;
      for (const CBox& box : rig.m_boxes) {
        QCOMPARE(box.m_flags, MB_YESNO | MB_ICONQUESTION);
        asked << QString::fromStdString(box.m_text);
      }
      QStringList questions;
      for (const QString& question : row.m_questions) questions << question.arg(there);
      QCOMPARE(asked, questions);
      QCOMPARE(MenuState(rig.Dialog()), kIdleMenu);
      const QStringList files = QDir(there).entryList(QDir::Files);
      const QString written = QString::fromLatin1(row.m_written);
      if (written.isEmpty()) {
        QCOMPARE(rig.m_compressionChoices, 0);
        QCOMPARE(files, row.m_existing ? QStringList{"out.avi"} : QStringList{});
        if (row.m_existing) QCOMPARE(QFileInfo(there + "/out.avi").size(), qint64(4));
        continue;
      }
      QCOMPARE(files, QStringList{written});
      QFile file(there + QLatin1Char('/') + written);
      QVERIFY(file.open(QIODevice::ReadOnly));
      QCOMPARE(file.read(4), QByteArray("RIFF"));
      const std::optional<CPeerStream> video =
          PeerStream(PeerStreams(file.fileName().toStdString()), "video");
      QVERIFY(video);
      QCOMPARE(video->at("nb_read_frames"), std::string("60"));
    }
  }
};

QTEST_MAIN(CMixChecksTest)
#include "mixchecks_test.moc"
