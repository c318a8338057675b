// render-icon SVG SIZE PNG [parado]: the program's icon at one size, for the build; "parado"
// makes the variant the tray shows while the server is not running: the icon in grey with a
// red disc and a white bar over its lower right corner.

#include <QColor>
#include <QCoreApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <algorithm>
#include <cstdio>
#include <string_view>

namespace {

void MarkStopped(QImage& AImage) {
  for (int y = 0; y < AImage.height(); ++y) {
    for (int x = 0; x < AImage.width(); ++x) {
      const QColor colour = AImage.pixelColor(x, y);
      const int grey = qGray(colour.rgb());
      AImage.setPixelColor(x, y, QColor(grey, grey, grey, colour.alpha()));
    }
  }
  const qreal size = AImage.width();
  const qreal diameter = size * 0.56;
  const qreal outline = std::max<qreal>(1.0, size / 24.0);
  const QRectF disc(size - diameter + outline / 2, size - diameter + outline / 2,
                    diameter - outline, diameter - outline);
  QPainter painter(&AImage);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(Qt::white, outline));
  painter.setBrush(QColor(204, 0, 0));
  painter.drawEllipse(disc);
  const qreal barWidth = disc.width() * 0.6, barHeight = std::max<qreal>(1.0, disc.height() * 0.2);
  painter.fillRect(QRectF(disc.center().x() - barWidth / 2, disc.center().y() - barHeight / 2,
                          barWidth, barHeight),
                   Qt::white);
}

}  // namespace

int main(int argc, char** argv) {
  const bool stopped = argc == 5 && std::string_view(argv[4]) == "parado";
  if (argc != 4 && !stopped) {
    std::fputs("Uso: render-icon SVG TAMANHO PNG [parado]\n", stderr);
    return 2;
  }
  QCoreApplication app(argc, argv);
  QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
  const int size = QString::fromLatin1(argv[2]).toInt();
  if (!renderer.isValid() || size <= 0) {
    std::fprintf(stderr, "render-icon: %s não pôde ser lido\n", argv[1]);
    return 1;
  }
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  renderer.render(&painter);
  painter.end();
  if (stopped) MarkStopped(image);
  if (!image.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
    std::fprintf(stderr, "render-icon: %s não pôde ser gravado\n", argv[3]);
    return 1;
  }
  return 0;
}
