#include "platform/gui/desktop.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

namespace {

// Keys as typed into the edit box: '\r' is Return, '\x1b' Escape, anything else itself.
void Type(QWidget& AEdit, const QString& AKeys) {
  for (const QChar key : AKeys) {
    const int code = key == u'\r'     ? Qt::Key_Return
                     : key == u'\x1b' ? Qt::Key_Escape
                                      : static_cast<int>(key.unicode());
    const QString text = key.isPrint() ? QString(key) : QString();
    QKeyEvent press(QEvent::KeyPress, code, Qt::NoModifier, text);
    QApplication::sendEvent(&AEdit, &press);
  }
}

TEST(DesktopTest, InputQueryAsTheOperatorAnswersIt) {
  struct Case {
    const char* name;
    QString keys;
    bool accepted;
    QString value;  // AValue afterwards
  };
  const Case kCases[] = {
      {"Return: OK is the default", "\r", true, "8080"},
      {"typing replaces the value, all of it selected", "90\r", true, "90"},
      {"Escape cancels and leaves the value", "90\x1b", false, "8080"},
      {"at most 255 characters", QString(300, u'1') + u'\r', true, QString(255, u'1')},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    QString title, prompt;
    QStringList buttons;
    QRect placed, screen;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
      auto* edit = dialog ? dialog->findChild<QLineEdit*>() : nullptr;
      if (!edit) {
        ADD_FAILURE() << "no input dialog with an edit box";
        if (dialog) dialog->reject();
        return;
      }
      title = dialog->windowTitle();
      prompt = dialog->findChild<QLabel*>()->text();
      for (const QPushButton* button : dialog->findChildren<QPushButton*>())
        buttons << button->text().remove(u'&');
      placed = dialog->frameGeometry();
      screen = dialog->screen()->availableGeometry();
      Type(*edit, c.keys);
      if (dialog->isVisible()) {
        ADD_FAILURE() << "the keys did not close the dialog";
        dialog->reject();
      }
    });
    TQtDesktop desktop;
    QString value = QStringLiteral("8080");
    EXPECT_EQ(desktop.InputQuery(nullptr, QStringLiteral("Configuração do Gerenciador"),
                                 QStringLiteral("Porta"), value),
              c.accepted);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(title, QStringLiteral("Configuração do Gerenciador"));
    EXPECT_EQ(prompt, QStringLiteral("Porta"));
    EXPECT_TRUE(buttons.contains(QStringLiteral("OK")) &&
                buttons.contains(QStringLiteral("Cancelar")))
        << buttons.join(u',').toStdString();
    EXPECT_LE((placed.center() - screen.center()).manhattanLength(), 4) << "centred on the screen";
  }
}

TEST(DesktopTest, ShownTextBreaksLinesAtEachCR) {
  struct Case {
    QString text, shown;
  };
  const Case kCases[] = {
      {"", ""},           {"a", "a"},       {"a\rb", "a\nb"}, {"a\r\rb\r", "a\n\nb\n"},
      {"a\r\nb", "a\nb"}, {"a\nb", "a\nb"},
  };
  for (const Case& c : kCases) EXPECT_EQ(ShownText(c.text), c.shown) << c.text.toStdString();
}

}  // namespace
