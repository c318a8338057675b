#include "app/gui/pin_dialog.h"

#include <QApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <memory>
#include <string>

#include "platform/certstore/token_messages.h"

namespace {

// What one dialog hands back to the waiting thread.
struct TAnswer {
  bool Done = false;
  bool Given = false;
  bool TimedOut = false;
  std::string Pin;
  ~TAnswer() { certstore::TPin wiped{std::move(Pin)}; }
};

QString Prompt(const certstore::TPinRequest& ARequest) {
  QString prompt = QStringLiteral("O token \"%1\" pede o PIN para assinar com o certificado de %2.")
                       .arg(QString::fromStdU16String(ARequest.TokenLabel),
                            QString::fromStdU16String(ARequest.Holder));
  if (ARequest.FinalTry) {
    prompt += QStringLiteral("\n\nAtenção: mais uma tentativa errada bloqueia o PIN.");
  } else if (ARequest.CountLow) {
    prompt += QStringLiteral("\n\nO token já registra tentativas erradas: confira o PIN.");
  }
  return prompt;
}

}  // namespace

std::optional<certstore::TPin> TPinDialogSource::Pin(const certstore::TPinRequest& ARequest,
                                                     Text& AWhyNot) {
  AWhyNot = Text{token_messages::kPinCancelled};
  auto answer = std::make_shared<TAnswer>();
  const QString prompt = Prompt(ARequest);
  const int seconds = FAnswerSeconds;
  auto show = [this, answer, prompt, seconds] {
    auto* dialog = new QInputDialog();
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(QStringLiteral("PIN do token"));
    dialog->setLabelText(prompt);
    dialog->setTextEchoMode(QLineEdit::Password);
    dialog->setOkButtonText(QStringLiteral("Assinar"));
    dialog->setCancelButtonText(QStringLiteral("Cancelar"));
    dialog->setWindowFlag(Qt::WindowStaysOnTopHint);
    QTimer::singleShot(std::chrono::seconds(seconds), dialog, [this, answer, dialog] {
      {
        std::lock_guard lock(FLock);
        answer->TimedOut = true;
      }
      dialog->reject();
    });
    QObject::connect(dialog, &QDialog::finished, dialog, [this, answer, dialog](int AResult) {
      {
        std::lock_guard lock(FLock);
        answer->Done = true;
        answer->Given = AResult == QDialog::Accepted;
        if (answer->Given) answer->Pin = dialog->textValue().toStdString();
      }
      // What the field held goes with the dialog; overwritten first.
      dialog->setTextValue(QString(dialog->textValue().size(), QLatin1Char(' ')));
      FAnswered.notify_all();
    });
    dialog->open();
    dialog->raise();
    dialog->activateWindow();
  };
  {
    std::lock_guard lock(FLock);
    if (FClosed) return std::nullopt;
  }
  if (QThread::currentThread() == qApp->thread()) {
    show();  // the GUI thread itself asks: wait in a local loop
    while (true) {
      {
        std::lock_guard lock(FLock);
        if (answer->Done || FClosed) break;
      }
      QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
  } else {
    QMetaObject::invokeMethod(qApp, show, Qt::QueuedConnection);
    std::unique_lock lock(FLock);
    // A little longer than the dialog's own limit: the dialog's Cancel is the answer.
    if (!FAnswered.wait_for(lock, std::chrono::seconds(FAnswerSeconds + 5),
                            [&] { return answer->Done || FClosed; }))
      answer->TimedOut = true;
  }
  std::lock_guard lock(FLock);
  // Nobody cancelled a dialog that closed on its own: the journal and the client say so.
  if (answer->TimedOut && !answer->Given)
    AWhyNot = Text{token_messages::kPinUnanswered} +
              text::FromUtf8(std::to_string(FAnswerSeconds)) + u" s";
  if (!answer->Done || !answer->Given) return std::nullopt;
  return certstore::TPin{std::move(answer->Pin)};
}

void TPinDialogSource::Close() {
  {
    std::lock_guard lock(FLock);
    FClosed = true;
  }
  FAnswered.notify_all();
}
