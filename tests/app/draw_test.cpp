// Drawing a held frame: bottom-up and top-down DIBs land 1:1 at the origin with the right row
// order, only the picture's own size is drawn, and frames that are absent or not 24-bit
// uncompressed draw nothing.
#include <QImage>
#include <QPainter>
#include <QTest>
#include <cstring>
#include <vector>

#include "media/avidefs.h"
#include "preview/previewpicture.h"
#include "preview/render/previewdraw.h"

using namespace corvane;

namespace {

const QColor kBackground(1, 2, 3);

// A packed DIB of width x height in which pixel (x, y from the top) has red x*40, green y*40,
// blue 7; bottom-up unless `topDown`.
std::vector<uint8_t> MakeDib(int width, int height, bool topDown) {
  const int stride = FrameStride(width);
  std::vector<uint8_t> dib(sizeof(BITMAPINFOHEADER) + static_cast<size_t>(stride) * height);
  BITMAPINFOHEADER header{};
  header.biSize = sizeof(BITMAPINFOHEADER);
  header.biWidth = width;
  header.biHeight = topDown ? -height : height;
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biSizeImage = static_cast<uint32_t>(stride * height);
  std::memcpy(dib.data(), &header, sizeof(header));
  for (int y = 0; y < height; ++y) {
    const int row = topDown ? y : height - 1 - y;
    uint8_t* line = dib.data() + sizeof(header) + static_cast<size_t>(row) * stride;
    for (int x = 0; x < width; ++x) {
      line[x * 3] = 7;
      line[x * 3 + 1] = static_cast<uint8_t>(y * 40);
      line[x * 3 + 2] = static_cast<uint8_t>(x * 40);
    }
  }
  return dib;
}

QImage Paint(const CPreviewPicture& picture) {
  QImage image(8, 8, QImage::Format_RGB32);
  image.fill(kBackground);
  QPainter painter(&image);
  Draw(picture, &painter);
  return image;
}

void Hold(CPreviewPicture& picture, const std::vector<uint8_t>& dib, int width, int height) {
  picture.m_width = width;
  picture.m_height = height;
  picture.m_frame = reinterpret_cast<const BITMAPINFOHEADER*>(dib.data());
  picture.m_loaded = 1;
}

}  // namespace

class CDrawTest : public QObject {
  Q_OBJECT

 private slots:
  void bottomUpAndTopDownFramesDrawTopRowFirst_data() {
    QTest::addColumn<bool>("topDown");
    QTest::newRow("bottom-up") << false;
    QTest::newRow("top-down") << true;
  }
  void bottomUpAndTopDownFramesDrawTopRowFirst() {
    QFETCH(bool, topDown);
    const auto dib = MakeDib(5, 3, topDown);  // odd width: padded rows
    CPreviewPicture picture;
    Hold(picture, dib, 5, 3);
    const QImage image = Paint(picture);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 5; ++x) QCOMPARE(image.pixelColor(x, y), QColor(x * 40, y * 40, 7));
    QCOMPARE(image.pixelColor(5, 0), kBackground);
    QCOMPARE(image.pixelColor(0, 3), kBackground);
    picture.m_frame = nullptr;  // not owned here
  }

  void onlyThePicturesOwnSizeIsDrawnAndNeverMoreThanTheFrame() {
    const auto dib = MakeDib(5, 3, false);
    CPreviewPicture picture;
    Hold(picture, dib, 2, 2);
    QImage image = Paint(picture);
    QCOMPARE(image.pixelColor(1, 1), QColor(40, 40, 7));
    QCOMPARE(image.pixelColor(2, 0), kBackground);
    QCOMPARE(image.pixelColor(0, 2), kBackground);

    Hold(picture, dib, 50, 40);  // a header larger than the frame
    image = Paint(picture);
    QCOMPARE(image.pixelColor(4, 2), QColor(160, 80, 7));
    QCOMPARE(image.pixelColor(5, 2), kBackground);
    QCOMPARE(image.pixelColor(4, 3), kBackground);
    picture.m_frame = nullptr;
  }

  void framesThatCannotBeDrawnLeaveThePainterAlone() {
    auto dib = MakeDib(4, 4, false);
    CPreviewPicture picture;
    Hold(picture, dib, 4, 4);
    picture.m_loaded = 0;
    QCOMPARE(Paint(picture).pixelColor(0, 0), kBackground);

    picture.m_loaded = 1;
    reinterpret_cast<BITMAPINFOHEADER*>(dib.data())->biBitCount = 32;
    QCOMPARE(Paint(picture).pixelColor(0, 0), kBackground);
    reinterpret_cast<BITMAPINFOHEADER*>(dib.data())->biBitCount = 24;
    reinterpret_cast<BITMAPINFOHEADER*>(dib.data())->biCompression = 0x47504A4D;
    QCOMPARE(Paint(picture).pixelColor(0, 0), kBackground);

    picture.m_frame = nullptr;
    QCOMPARE(Paint(picture).pixelColor(0, 0), kBackground);
    Draw(picture, nullptr);  // no painter: nothing to do, and no crash
  }
};

QTEST_MAIN(CDrawTest)
#include "draw_test.moc"
