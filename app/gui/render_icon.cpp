// render-icon SVG SIZE PNG: the program's icon at one size, for the build.

#include <QCoreApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("Uso: render-icon SVG TAMANHO PNG\n", stderr);
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
  if (!image.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
    std::fprintf(stderr, "render-icon: %s não pôde ser gravado\n", argv[3]);
    return 1;
  }
  return 0;
}
