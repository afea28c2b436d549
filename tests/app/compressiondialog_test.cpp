// The compression dialog: the catalogue's compressors with full frames first, each setting
// enabled where the compressor honours it, the choice as the compressed stream takes it, and
// the dialog shown by a mix worker, modal and owned by the main dialog: OK writes the chosen
// codec (read back with ffprobe), Cancel makes the job report "AVISaveOptions failed".
#include "app/compressiondialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>

#include "mixtestsupport.h"

using namespace corvane;
using namespace corvane::test;

namespace {

// What an AVI's compression dialog lists: the catalogue less the codecs AVI does not take.
std::vector<CCompressorInfo> AviCatalogue() {
  std::vector<CCompressorInfo> fitting;
  for (const CCompressorInfo& info : CompressorCatalogue())
    if (CompressorFits(info, ContainerInfo(EContainer::kAvi))) fitting.push_back(info);
  return fitting;
}

int IndexOf(const std::string& name) {
  const std::vector<CCompressorInfo> catalogue = AviCatalogue();
  for (size_t at = 0; at < catalogue.size(); ++at) {
    if (catalogue[at].m_name == name) return static_cast<int>(at);
  }
  return -1;
}

// Acts on the compression dialog as soon as a worker has it shown.
class CDialogDriver {
 public:
  explicit CDialogDriver(std::function<void(CCompressionDialog&)> act) : m_act(std::move(act)) {
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
      auto* dialog = qobject_cast<CCompressionDialog*>(QApplication::activeModalWidget());
      if (!dialog) return;
      m_timer.stop();
      m_owner = dialog->parentWidget();
      m_modal = dialog->isModal();
      m_title = dialog->windowTitle();
      m_act(*dialog);
    });
    m_timer.start(10);
  }
  QWidget* m_owner = nullptr;
  bool m_modal = false;
  QString m_title;

 private:
  QTimer m_timer;
  std::function<void(CCompressionDialog&)> m_act;
};

QPushButton* Button(CCompressionDialog& dialog, QDialogButtonBox::StandardButton which) {
  auto* box = dialog.findChild<QDialogButtonBox*>();
  return box ? box->button(which) : nullptr;
}

}  // namespace

class CCompressionDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void listsEveryCatalogueCompressorWithFullFramesFirst() {
    CCompressionDialog dialog(nullptr, AVICOMPRESSOPTIONS{});
    QComboBox* list = dialog.Compressors();
    const std::vector<CCompressorInfo> catalogue = AviCatalogue();
    QCOMPARE(list->count(), int(catalogue.size()));
    QCOMPARE(list->itemText(0), QStringLiteral("Full Frames (Uncompressed)"));
    for (int at = 0; at < list->count(); ++at)
      QCOMPARE(list->itemText(at), QString::fromStdString(catalogue[size_t(at)].m_displayName));
    QCOMPARE(list->currentIndex(), 0);
    QCOMPARE(dialog.KeyFrames()->text(), QStringLiteral("&Key frame every"));
    QCOMPARE(dialog.DataRate()->text(), QStringLiteral("&Data rate"));
  }

  // Each container's dialog lists the compressors it takes, in catalogue order, starting from
  // its default; the choice made last for a container is where its next dialog starts.
  void eachContainerOffersItsCodecsFromItsDefaultAndRemembersTheLastChoice() {
    for (const CContainerInfo& container : Containers()) {
      CCompressionDialog dialog(nullptr, AVICOMPRESSOPTIONS{}, container);
      QStringList expected;
      for (const CCompressorInfo& info : CompressorCatalogue())
        if (CompressorFits(info, container)) expected << QString::fromStdString(info.m_displayName);
      QStringList listed;
      for (int at = 0; at < dialog.Compressors()->count(); ++at)
        listed << dialog.Compressors()->itemText(at);
      QCOMPARE(listed, expected);
      const CCompressorInfo* standard = container.m_kind == EContainer::kAvi
                                            ? &CompressorCatalogue().front()
                                            : FindCompressor(std::string(container.m_defaultCodec));
      QVERIFY(standard);
      QCOMPARE(dialog.Compressors()->currentText(),
               QString::fromStdString(standard->m_displayName));
    }
    const CContainerInfo& mp4 = ContainerInfo(EContainer::kMp4);
    const CCompressorInfo* mpeg4 = FindCompressor(std::string("mpeg4"));
    QVERIFY(mpeg4);
    CDialogDriver choose([&](CCompressionDialog& dialog) {
      dialog.Compressors()->setCurrentText(QString::fromStdString(mpeg4->m_displayName));
      dialog.accept();
    });
    AVICOMPRESSOPTIONS first{};
    QVERIFY(RunCompressionDialog(nullptr, first, mp4));
    QCOMPARE(first.fccHandler, mpeg4->m_fourCC);
    CDialogDriver keep([](CCompressionDialog& dialog) { dialog.accept(); });
    AVICOMPRESSOPTIONS again{};
    QVERIFY(RunCompressionDialog(nullptr, again, mp4));
    QCOMPARE(again.fccHandler, mpeg4->m_fourCC);
  }

  void eachSettingIsEnabledWhereTheCompressorHonoursIt() {
    CCompressionDialog dialog(nullptr, AVICOMPRESSOPTIONS{});
    dialog.KeyFrames()->setChecked(true);
    dialog.DataRate()->setChecked(false);
    const std::vector<CCompressorInfo> catalogue = AviCatalogue();
    for (size_t at = 0; at < catalogue.size(); ++at) {
      const CCompressorInfo& info = catalogue[at];
      dialog.Compressors()->setCurrentIndex(int(at));
      const QByteArray name = QByteArray::fromStdString(info.m_name);
      QVERIFY2(dialog.Quality()->isEnabled() == info.m_honoursQuality, name);
      QVERIFY2(dialog.KeyFrames()->isEnabled() == info.m_honoursKeyFrames, name);
      QVERIFY2(dialog.KeyFrameEvery()->isEnabled() == info.m_honoursKeyFrames, name);
      QVERIFY2(dialog.DataRate()->isEnabled() == info.m_honoursDataRate, name);
      QVERIFY2(!dialog.DataRateKb()->isEnabled(), name);
      const AVICOMPRESSOPTIONS options = dialog.Options();
      QCOMPARE(options.fccHandler, info.m_fourCC);
      QCOMPARE(options.fccType, streamtypeVIDEO);
      QCOMPARE((options.dwFlags & AVICOMPRESSF_KEYFRAMES) != 0, info.m_honoursKeyFrames);
      QCOMPARE(options.dwFlags & AVICOMPRESSF_DATARATE, 0u);
      QCOMPARE(options.dwQuality == 0xFFFFFFFFu, !info.m_honoursQuality);
    }
  }

  void theChoiceBecomesTheOptions() {
    const int mjpeg = IndexOf("mjpeg");
    if (mjpeg < 0) QSKIP("this FFmpeg has no Motion JPEG encoder");
    CCompressionDialog dialog(nullptr, AVICOMPRESSOPTIONS{});
    dialog.Compressors()->setCurrentIndex(mjpeg);
    dialog.Quality()->setValue(93);
    AVICOMPRESSOPTIONS options = dialog.Options();
    QCOMPARE(options.fccHandler, MakeFourCC('M', 'J', 'P', 'G'));
    QCOMPARE(options.dwQuality, 9300u);
    QCOMPARE(options.dwFlags, AVICOMPRESSF_VALID);

    const int mpeg4 = IndexOf("mpeg4");
    if (mpeg4 < 0) QSKIP("this FFmpeg has no MPEG-4 Part 2 encoder");
    dialog.Compressors()->setCurrentIndex(mpeg4);
    dialog.KeyFrames()->setChecked(true);
    dialog.KeyFrameEvery()->setValue(30);
    dialog.DataRate()->setChecked(true);
    dialog.DataRateKb()->setValue(500);
    // A data rate takes the place of a fixed quality.
    QVERIFY(!dialog.Quality()->isEnabled());
    options = dialog.Options();
    QCOMPARE(options.dwKeyFrameEvery, 30u);
    QCOMPARE(options.dwBytesPerSecond, 500u * 1024u);
    QCOMPARE(options.dwQuality, 0xFFFFFFFFu);
    QCOMPARE(options.dwFlags, AVICOMPRESSF_VALID | AVICOMPRESSF_KEYFRAMES | AVICOMPRESSF_DATARATE);

    // Shown again with that choice, the dialog starts from it.
    CCompressionDialog again(nullptr, options);
    QCOMPARE(again.Compressors()->currentIndex(), mpeg4);
    QCOMPARE(again.KeyFrameEvery()->value(), 30);
    QCOMPARE(again.DataRateKb()->value(), 500);
    QVERIFY(again.DataRate()->isChecked());
  }

  // A digit that would take a number box past its range is refused, and the dialog says what the
  // box takes instead of leaving a shortened number without a word; a change hides that again.
  void numberBoxesSayWhatTheyTakeWhenTheyRefuseADigit() {
    const int mpeg4 = IndexOf("mpeg4");
    if (mpeg4 < 0) QSKIP("this FFmpeg has no MPEG-4 Part 2 encoder");
    CCompressionDialog dialog(nullptr, AVICOMPRESSOPTIONS{});
    dialog.Compressors()->setCurrentIndex(mpeg4);
    dialog.KeyFrames()->setChecked(true);
    dialog.DataRate()->setChecked(true);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const struct {
      QSpinBox* m_box;
      const char* m_typed;
      int m_kept;
      const char* m_hint;
    } cases[] = {
        {dialog.KeyFrameEvery(), "100000", 100000, ""},
        {dialog.KeyFrameEvery(), "200000", 20000, "A key frame every 1 to 100000 frames"},
        {dialog.DataRateKb(), "5000000", 500000, "A data rate of 1 to 4000000 KB/sec"},
    };
    for (const auto& row : cases) {
      row.m_box->setFocus();
      row.m_box->selectAll();
      QTest::keyClicks(row.m_box, QString::fromLatin1(row.m_typed));
      QVERIFY2(row.m_box->value() == row.m_kept, row.m_typed);
      QCOMPARE(dialog.HintText(), QString::fromLatin1(row.m_hint));
      QTest::keyClick(row.m_box, Qt::Key_Backspace);
      QVERIFY(dialog.HintText().isEmpty());
    }
  }

  void okInTheDialogShownByTheWorkerWritesTheChosenCodec() {
    const int mjpeg = IndexOf("mjpeg");
    if (mjpeg < 0) QSKIP("this FFmpeg has no Motion JPEG encoder");
    CMixRig rig;
    rig.UseCompressionDialog();
    rig.OpenSources(MainFixture(), TopFixture());
    CTempDir folder;
    const std::string output = folder.Path("mjpeg.avi");
    rig.SaveAs(output);
    std::optional<CMenuState> menuWhileShown;
    CDialogDriver driver([&](CCompressionDialog& dialog) {
      menuWhileShown = MenuState(rig.Dialog());
      dialog.Compressors()->setCurrentIndex(mjpeg);
      dialog.Quality()->setValue(93);
      Button(dialog, QDialogButtonBox::Ok)->click();
    });
    rig.Dialog().MenuCommand(kMixCommand)->trigger();
    QVERIFY(rig.WaitForIdle());

    QCOMPARE(driver.m_owner, static_cast<QWidget*>(&rig.Dialog()));
    QVERIFY(driver.m_modal);
    QCOMPARE(driver.m_title, QStringLiteral("Video Compression"));
    QVERIFY(menuWhileShown);
    QCOMPARE(*menuWhileShown, kMixingMenu);
    QVERIFY2(rig.m_boxes.empty(), rig.m_boxes.empty() ? "" : rig.m_boxes[0].m_text.c_str());
    const std::vector<CPeerStream> streams = PeerStreams(output);
    const std::optional<CPeerStream> video = PeerStream(streams, "video");
    const std::optional<CPeerStream> audio = PeerStream(streams, "audio");
    QVERIFY(video && audio);
    QCOMPARE(video->at("codec_name"), std::string("mjpeg"));
    QCOMPARE(video->at("nb_read_frames"), std::string("60"));
    QCOMPARE(audio->at("codec_name"), std::string("pcm_s16le"));
  }

  void cancelInTheDialogMakesTheJobReportAVISaveOptionsFailed() {
    CMixRig rig;
    rig.UseCompressionDialog();
    rig.OpenSources(MainFixture(), TopFixture());
    CTempDir folder;
    const std::string output = folder.Path("cancelled.avi");
    rig.SaveAs(output);
    CDialogDriver driver(
        [](CCompressionDialog& dialog) { Button(dialog, QDialogButtonBox::Cancel)->click(); });
    rig.Dialog().MenuCommand(kMixCommand)->trigger();
    QVERIFY(rig.WaitForIdle());

    QCOMPARE(driver.m_owner, static_cast<QWidget*>(&rig.Dialog()));
    QCOMPARE(rig.m_boxes.size(), size_t(1));
    QCOMPARE(rig.m_boxes[0].m_text, std::string("AVISaveOptions failed"));
    QCOMPARE(rig.m_boxes[0].m_flags, MB_ICONINFORMATION);
    QCOMPARE(MenuState(rig.Dialog()), kIdleMenu);
    QVERIFY(!CompletionEventOpen());
    // The job goes on to the audio copy all the same.
    const std::optional<CPeerStream> audio = PeerStream(PeerStreams(output), "audio");
    QVERIFY(audio);
    QCOMPARE(audio->at("nb_frames"),
             PeerStream(PeerStreams(MainFixture()), "audio")->at("nb_frames"));
  }
};

QTEST_MAIN(CCompressionDialogTest)
#include "compressiondialog_test.moc"
