#include "app/gui/pin_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QInputDialog>
#include <QLabel>
#include <QPushButton>
#include <chrono>
#include <future>
#include <thread>

namespace {

certstore::TPinRequest Request(bool AFinalTry = false) {
  certstore::TPinRequest request;
  request.TokenLabel = u"Token Teste";
  request.Holder = u"EMPRESA TOKEN LTDA";
  request.TokenId = "0/1/teste";
  request.FinalTry = AFinalTry;
  return request;
}

// The dialog a connection thread's request put on the desktop, once the event loop shows it.
QInputDialog* ShownDialog() {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    QApplication::processEvents(QEventLoop::AllEvents, 50);
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (auto* dialog = qobject_cast<QInputDialog*>(widget); dialog && dialog->isVisible())
        return dialog;
  }
  return nullptr;
}

struct TAsked {
  std::optional<std::string> Pin;
  Text WhyNot;
};

std::future<TAsked> AskFromAnotherThread(TPinDialogSource& ASource,
                                         certstore::TPinRequest ARequest) {
  return std::async(std::launch::async, [&ASource, ARequest] {
    TAsked asked;
    if (auto pin = ASource.Pin(ARequest, asked.WhyNot)) asked.Pin = pin->Bytes();
    return asked;
  });
}

TAsked Answer(std::future<TAsked>& AAsked) {
  while (AAsked.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
    QApplication::processEvents();
  return AAsked.get();
}

TEST(PinDialogTest, TheOperatorTypesThePinForAConnectionThread) {
  TPinDialogSource source;
  auto asked = AskFromAnotherThread(source, Request(true));
  QInputDialog* dialog = ShownDialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->textEchoMode(), QLineEdit::Password);
  EXPECT_TRUE(dialog->labelText().contains(QStringLiteral("Token Teste")));
  EXPECT_TRUE(dialog->labelText().contains(QStringLiteral("EMPRESA TOKEN LTDA")));
  EXPECT_TRUE(dialog->labelText().contains(QStringLiteral("bloqueia o PIN")));
  dialog->setTextValue(QStringLiteral("1234"));
  dialog->accept();
  const TAsked answer = Answer(asked);
  ASSERT_TRUE(answer.Pin.has_value());
  EXPECT_EQ(*answer.Pin, "1234");
}

TEST(PinDialogTest, CancelAndAClosingProgramGiveNoPin) {
  TPinDialogSource source;
  auto cancelled = AskFromAnotherThread(source, Request());
  QInputDialog* dialog = ShownDialog();
  ASSERT_NE(dialog, nullptr);
  dialog->setTextValue(QStringLiteral("1234"));
  dialog->reject();
  const TAsked answer = Answer(cancelled);
  EXPECT_FALSE(answer.Pin.has_value());
  EXPECT_EQ(text::ToUtf8(answer.WhyNot), "digitação cancelada");

  // Closed while a dialog waits: the thread is let go at once, and later requests too.
  auto pending = AskFromAnotherThread(source, Request());
  ASSERT_NE(ShownDialog(), nullptr);
  source.Close();
  EXPECT_FALSE(Answer(pending).Pin.has_value());
  EXPECT_FALSE(AskFromAnotherThread(source, Request()).get().Pin.has_value());
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (auto* left = qobject_cast<QInputDialog*>(widget)) left->reject();
  QApplication::processEvents();
}

// A dialog nobody answers closes on its own, and the reason does not say anyone cancelled.
TEST(PinDialogTest, AnUnansweredDialogSaysSo) {
  TPinDialogSource source(1);
  auto asked = AskFromAnotherThread(source, Request());
  ASSERT_NE(ShownDialog(), nullptr);
  const TAsked answer = Answer(asked);
  EXPECT_FALSE(answer.Pin.has_value());
  EXPECT_EQ(text::ToUtf8(answer.WhyNot), "sem resposta em 1 s");
}

}  // namespace
