// "Copy unchanged frames" in the desktop program: the mix's save dialog offers the box, checked
// for every file type but AVI; checked, a Motion JPEG mix into Matroska writes the main's own
// packets where the layer does not show and the status line counts them; unchecked, it writes
// none of them, and a recipe of the mix says so.
#include <QCheckBox>

#include "mix/recipe.h"
#include "mixtestsupport.h"

using namespace corvane;
using namespace corvane::test;

namespace {

// The packets' hashes of a file's video stream, in order.
QStringList PacketHashes(const std::string& path) {
  const CCommandResult result =
      RunCommand("ffmpeg -v error -i " + ShellQuote(path) + " -map 0:v -c copy -f framemd5 -");
  QStringList hashes;
  for (const QString& line : QString::fromStdString(result.m_output).split('\n')) {
    if (!line.startsWith('#') && line.count(',') == 5) hashes << line.section(',', 5).trimmed();
  }
  return hashes;
}

}  // namespace

class CCopyUnchangedTest : public QObject {
  Q_OBJECT
 private slots:
  void boxStartsFromTheFileTypesDefault() {
    CAviFileDialog dialog(nullptr, OutputFilter(), kSaveTitle, EFileKind::kSave);
    dialog.OfferCopyChoice();
    QCheckBox* box = dialog.CopyUnchanged();
    QVERIFY(!box->isChecked());
    for (const QString& type : OutputFilter().mid(1, 4)) {
      dialog.selectNameFilter(type);
      emit dialog.filterSelected(type);
      QVERIFY2(box->isChecked(), qPrintable(type));
    }
    // The name's extension rules over the type's.
    dialog.selectFile(QStringLiteral("out.avi"));
    QVERIFY(!box->isChecked());
  }

  void checkedCopiesTheMainsPacketsWhereNoLayerShows_data() {
    QTest::addColumn<bool>("checked");
    QTest::newRow("checked") << true;
    QTest::newRow("unchecked") << false;
  }
  void checkedCopiesTheMainsPacketsWhereNoLayerShows() {
    QFETCH(bool, checked);
    CTempDir folder;
    const std::string main = folder.Path("main.avi");
    const std::string output = folder.Path("out.mkv");
    QVERIFY(MakeLongMain(main, 60));
    CMixRig rig;
    rig.OpenSources(main, TopFixture());
    CPlacement shown;  // frames 15 to 29
    shown.m_from = 0.5;
    shown.m_to = 1.0;
    rig.Dialog().SetPlacement(shown);
    AVICOMPRESSOPTIONS mjpeg{};
    mjpeg.fccHandler = FindCompressor(std::string("mjpeg"))->m_fourCC;
    mjpeg.dwQuality = 0xFFFFFFFFu;
    mjpeg.dwFlags = AVICOMPRESSF_VALID;
    rig.m_compression = mjpeg;
    bool offered = false;
    SetFileDialogRunner([&](const CFileRequest& request) {
      offered = request.m_copyChoice;
      return CFileAnswer{output, 0, checked};
    });
    rig.Dialog().MenuCommand(kMixCommand)->trigger();
    QVERIFY(rig.WaitForIdle());

    QVERIFY(offered);
    QCOMPARE(rig.Dialog().ControlText(kStatusId),
             checked ? QStringLiteral("Done: 60 frames (45 copied, 15 encoded) and the audio in "
                                      "out.mkv")
                     : QStringLiteral("Done: 60 frames and the audio in out.mkv"));
    const QStringList mains = PacketHashes(main);
    const QStringList written = PacketHashes(output);
    QCOMPARE(written.size(), 60);
    QCOMPARE(mains.size(), 60);
    for (int frame = 0; frame < 60; ++frame) {
      const bool copy = checked && (frame < 15 || frame >= 30);
      QVERIFY2((written[frame] == mains[frame]) == copy, qPrintable(QString::number(frame)));
    }
    // Matroska copies by default: only leaving the box unchecked goes into a recipe.
    QCOMPARE(rig.Dialog().CurrentRecipe().m_smart,
             checked ? std::nullopt : std::optional<bool>(false));
  }
};

QTEST_MAIN(CCopyUnchangedTest)
#include "copyunchanged_test.moc"
