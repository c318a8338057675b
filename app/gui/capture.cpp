#include "app/gui/capture.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QInputDialog>
#include <QPainter>
#include <QPixmap>
#include <QTreeWidget>
#include <QWidget>
#include <cstdio>

#include "app/gui/form_messages.h"
#include "platform/gui/desktop.h"

namespace {

// Past the first status tick, so the window shows the server's state.
constexpr int kFirstPictureMs = 1500;
constexpr int kPollMs = 100;

void Settle() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

}  // namespace

TCapture::TCapture(QString AFolder) : FFolder(std::move(AFolder)) {
  QDir().mkpath(FFolder);
  QTimer::singleShot(kFirstPictureMs, this, &TCapture::CaptureStarted);
  FPoll.setInterval(kPollMs);
  connect(&FPoll, &QTimer::timeout, this, &TCapture::WaitForStop);
}

void TCapture::SetForm(QWidget& AForm) {
  FForm = &AForm;
  if (FFailed) QTimer::singleShot(0, FForm, &QWidget::close);
}

void TCapture::CaptureStarted() {
  if (QWidget* box = QApplication::activeModalWidget()) {
    CaptureFailedStart(*box);
    return;
  }
  if (!FForm) {
    // Still being made: the next look.
    QTimer::singleShot(kPollMs, this, &TCapture::CaptureStarted);
    return;
  }
  Trigger("actShowForm");
  Settle();
  Save(*FForm, QStringLiteral("janela-iniciado.png"));

  QString port;
  if (const auto* list = FForm->findChild<QTreeWidget*>(QStringLiteral("lstConfigServer"));
      list && list->topLevelItemCount() > 0)
    port = list->topLevelItem(0)->text(1);
  const auto dialog =
      MakeInputDialog(FForm, form_messages::kConfigCaption, form_messages::kPortRow, port);
  dialog->show();
  Settle();
  Save(*dialog, QStringLiteral("dialogo-porta.png"));
  dialog->close();
  Mark(QStringLiteral("iniciado"));
  FPoll.start();
}

void TCapture::WaitForStop() {
  if (!QFile::exists(QDir(FFolder).filePath(QStringLiteral("parar")))) return;
  FPoll.stop();
  Trigger("actStopServer");
  Trigger("actStatusServer");
  Trigger("actShowForm");
  Settle();
  Save(*FForm, QStringLiteral("janela-parado.png"));
  Mark(QStringLiteral("parado"));
  FForm->close();
}

void TCapture::CaptureFailedStart(QWidget& ABox) {
  // The box belongs to the window, which its creation has not handed over yet.
  QWidget* form = ABox.parentWidget() ? ABox.parentWidget()->window() : nullptr;
  Settle();
  const QPixmap box = ABox.grab();
  QPixmap picture = form ? form->grab() : QPixmap(box.size());
  if (!form) picture.fill(Qt::white);
  // The box over the window's middle, the window grown where the box is larger.
  const QSize size = picture.size().expandedTo(box.size() + QSize(16, 16));
  QPixmap both(size);
  both.fill(Qt::white);
  QPainter painter(&both);
  painter.drawPixmap(0, 0, picture);
  const QPoint at((size.width() - box.width()) / 2, (size.height() - box.height()) / 2);
  painter.fillRect(QRect(at + QPoint(3, 3), box.size()), QColor(0, 0, 0, 60));  // its shadow
  painter.drawPixmap(at, box);
  painter.end();
  const QString file = QDir(FFolder).filePath(QStringLiteral("janela-falha.png"));
  if (!both.save(file, "PNG"))
    std::fprintf(stderr, "assinador-nfse: a imagem %s não pôde ser gravada\n",
                 file.toLocal8Bit().constData());
  Mark(QStringLiteral("falha"));
  FFailed = true;
  ABox.close();
}

void TCapture::Save(QWidget& AWidget, const QString& AName) {
  const QString file = QDir(FFolder).filePath(AName);
  if (!AWidget.grab().save(file, "PNG"))
    std::fprintf(stderr, "assinador-nfse: a imagem %s não pôde ser gravada\n",
                 file.toLocal8Bit().constData());
}

void TCapture::Mark(const QString& AName) {
  QFile mark(QDir(FFolder).filePath(AName));
  if (!mark.open(QIODevice::WriteOnly))
    std::fprintf(stderr, "assinador-nfse: %s não pôde ser criado\n",
                 mark.fileName().toLocal8Bit().constData());
}

void TCapture::Trigger(const char* AAction) {
  if (auto* action = FForm->findChild<QAction*>(QString::fromLatin1(AAction))) action->trigger();
}
