#include "app/gui/main_form.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <QAction>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/controller/controller_messages.h"
#include "app/gui/app_icon.h"
#include "app/gui/form_messages.h"
#include "platform/exception.h"
#include "tests/support/free_port.h"
#include "tests/support/scratch_directory.h"
#include "tests/transport/tcp/tcp_test_support.h"

namespace {

namespace msg = form_messages;

const QColor kRed(255, 0, 0);
const QColor kGreen(0, 128, 0);

// Answers the window's dialogs as a test tells it and keeps what the window asked and showed.
class TFakeDesktop : public IDesktop {
 public:
  struct TQuery {
    QString Caption, Prompt, Value;
  };

  void ShowWarning(QWidget*, const QString& AText) override { Warnings.push_back(AText); }
  void ShowError(QWidget*, const QString& AText) override { Errors.push_back(AText); }
  bool InputQuery(QWidget*, const QString& ACaption, const QString& APrompt,
                  QString& AValue) override {
    Queries.push_back({ACaption, APrompt, AValue});
    if (!Answer) return false;
    AValue = *Answer;
    return true;
  }
  bool TrayAvailable() const override { return Tray; }
  void SetTrayHint(QSystemTrayIcon&, const QString& AHint) override { Hints.push_back(AHint); }

  std::optional<QString> Answer;  // what the operator types; nullopt: Cancel
  bool Tray = true;
  std::vector<QString> Warnings, Errors, Hints;
  std::vector<TQuery> Queries;
};

std::string Ini(const std::string& APort) { return "[CONFIGURACAO]\r\nPORTA=" + APort + "\r\n"; }

QString Q(TextView AText) {
  return QString::fromUtf16(AText.data(), static_cast<qsizetype>(AText.size()));
}

// What the status label's painting shows: the single border (left edge and bottom-right
// corner), the background just inside it, and whether any pixel has the text's white.
struct TPainted {
  QColor Left, Corner, Background;
  bool White = false;
};
TPainted Painted(QWidget& ALabel) {
  const QImage image = ALabel.grab().toImage();
  TPainted painted{image.pixelColor(0, image.height() / 2),
                   image.pixelColor(image.width() - 1, image.height() - 1), image.pixelColor(2, 2)};
  for (int y = 0; y < image.height() && !painted.White; ++y)
    for (int x = 0; x < image.width() && !painted.White; ++x)
      painted.White = image.pixelColor(x, y) == QColor(Qt::white);
  return painted;
}

// A port another program holds (this test, which does not name itself): what to do, and the
// transport's own words.
QString InUse(std::uint16_t APort) {
  return QStringLiteral(
             "[Serviço] A porta %1 já está em uso por outro programa deste "
             "computador. Feche esse programa ou escolha outra PORTA no arquivo de "
             "configuração (ss -ltnp mostra que programa usa cada porta).")
             .arg(APort) +
         QChar(CR) +
         QStringLiteral("Detalhe: Could not bind socket. Address and port are already in use.");
}

QString Kept(std::uint16_t APort) {
  return QChar(CR) + QStringLiteral("O servidor continua atendendo na porta %1.").arg(APort);
}

QString InvalidPort(const std::filesystem::path& AIni, const QString& AFound) {
  return QStringLiteral("[Configuração do Servidor] PORTA ausente ou inválida em \"") +
         QString::fromStdString(AIni.string()) + QStringLiteral("\": ") + AFound +
         QStringLiteral(
             ". Informe na seção [CONFIGURACAO] uma porta TCP de 1 a 65535 (por "
             "exemplo PORTA=8080).");
}

// Whether the tray shows AIcon (compared as drawn at one size).
bool TrayShows(const QSystemTrayIcon& ATray, const QIcon& AIcon) {
  return ATray.icon().pixmap(QSize(32, 32)).toImage() == AIcon.pixmap(QSize(32, 32)).toImage();
}

// Whether the server closed the connection within AMs milliseconds (it sends nothing unasked).
bool ClosedWithin(int AFd, int AMs) {
  pollfd polled{AFd, POLLIN, 0};
  if (::poll(&polled, 1, AMs) <= 0) return false;
  char byte;
  return ::recv(AFd, &byte, 1, MSG_DONTWAIT) <= 0;
}

class MainFormTest : public testing::Test {
 protected:
  std::unique_ptr<TfrmMainServer> Create() {
    auto form = std::make_unique<TfrmMainServer>(FContainer, FDesktop, FIni, Journal());
    form->show();  // as the program does: shown in the state its creation left
    return form;
  }
  TLogFunction Journal() {
    return [this](TLogLevel ALevel, const Text& AMessage) {
      if (FJournalFails) throw Exception(std::string_view("Cannot open file journal.log"));
      FRecords.emplace_back(ALevel, AMessage);
    };
  }
  void WriteIni(int APort) { TScratchDirectory::WriteBytes(FIni, Ini(std::to_string(APort))); }
  std::string IniBytes() const { return TScratchDirectory::ReadBytes(FIni); }

  template <class T>
  static T& Child(TfrmMainServer& AForm, const char* AName) {
    T* child = AForm.findChild<T*>(QString::fromLatin1(AName));
    if (!child) throw std::runtime_error(std::string("no child ") + AName);
    return *child;
  }
  static void Trigger(TfrmMainServer& AForm, const char* AAction) {
    Child<QAction>(AForm, AAction).trigger();
  }
  // The port the list shows; empty when it has no row.
  static QString ListedPort(TfrmMainServer& AForm) {
    auto& list = Child<QTreeWidget>(AForm, "lstConfigServer");
    return list.topLevelItemCount() == 0 ? QString() : list.topLevelItem(0)->text(1);
  }
  static void SelectPortRow(TfrmMainServer& AForm) {
    auto& list = Child<QTreeWidget>(AForm, "lstConfigServer");
    list.setCurrentItem(list.topLevelItem(0));
  }
  std::size_t Count(TLogLevel ALevel, TextView AStart) const {
    std::size_t count = 0;
    for (const auto& [level, message] : FRecords)
      if (level == ALevel && message.starts_with(AStart)) ++count;
    return count;
  }
  std::size_t Reloads() const { return Count(TLogLevel::llInfo, controller_messages::kReload); }
  bool Started() const { return FContainer.dsSvr.Started(); }

  TScratchDirectory FDir{"assinador-gui"};
  std::filesystem::path FIni = FDir / "assinador-nfse.ini";
  // Before the container, whose service logs here.
  std::vector<std::pair<TLogLevel, Text>> FRecords;
  bool FJournalFails = false;
  TSC FContainer{Journal()};
  TFakeDesktop FDesktop;
};

TEST_F(MainFormTest, StartsTheServerMinimisedWithTwoReloadRecordsAndThePortListed) {
  const std::uint16_t port = FreePort();
  WriteIni(port);
  const auto form = Create();
  EXPECT_TRUE(Started());
  EXPECT_EQ(FContainer.dsTCP.BoundPort(), port);
  EXPECT_TRUE(form->windowState() & Qt::WindowMinimized);
  EXPECT_EQ(Reloads(), 2u);
  EXPECT_EQ(FRecords.size(), 2u) << "no error record";
  EXPECT_EQ(FRecords.front().second, Text(controller_messages::kReload) + CR + u"Porta: " +
                                         text::FromAscii(std::to_string(port)));
  auto& list = Child<QTreeWidget>(*form, "lstConfigServer");
  ASSERT_EQ(list.topLevelItemCount(), 1);
  EXPECT_EQ(list.topLevelItem(0)->text(0), msg::kPortRow);
  EXPECT_EQ(list.topLevelItem(0)->text(1), QString::number(port));
  EXPECT_TRUE(FDesktop.Errors.empty());
  // Until the first tick the label shows the designed stopped state.
  EXPECT_EQ(Child<QLabel>(*form, "lblStatusServer").text(), msg::kStopped);
  EXPECT_TRUE(Child<QTimer>(*form, "Timer1").isActive());
  EXPECT_EQ(Child<QTimer>(*form, "Timer1").interval(), 1000);
}

TEST_F(MainFormTest, TickShowsTheServerStateAndHidesTheMinimisedWindow) {
  struct Case {
    const char* name;
    bool taken;  // the INI's port is held by someone else: the start fails
    QString text;
    QColor colour;
  };
  const Case kCases[] = {{"started", false, msg::kStarted, kGreen},
                         {"start failed", true, msg::kStopped, kRed}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FRecords.clear();
    const TTakenPort taken;
    WriteIni(c.taken ? taken.Port() : FreePort());
    const auto form = Create();
    EXPECT_TRUE(form->isVisible());
    Trigger(*form, "actStatusServer");
    const auto& label = Child<QLabel>(*form, "lblStatusServer");
    EXPECT_EQ(label.text(), c.text);
    EXPECT_EQ(label.palette().color(QPalette::Window), c.colour);
    EXPECT_EQ(label.palette().color(QPalette::WindowText), QColor(Qt::white));
    EXPECT_TRUE(label.autoFillBackground());
    // As drawn: a dark single border that the white text does not take over.
    const TPainted painted = Painted(Child<QLabel>(*form, "lblStatusServer"));
    EXPECT_EQ(painted.Left, QColor(Qt::black));
    EXPECT_EQ(painted.Corner, QColor(Qt::black));
    EXPECT_EQ(painted.Background, c.colour);
    EXPECT_TRUE(painted.White) << "the text";
    EXPECT_EQ(Child<QPushButton>(*form, "btnStartServer").isEnabled(), c.taken);
    EXPECT_EQ(Child<QPushButton>(*form, "btnStopServer").isEnabled(), !c.taken);
    EXPECT_TRUE(Child<QPushButton>(*form, "btnMinimizeForm").isEnabled());
    const auto& tray = Child<QSystemTrayIcon>(*form, "TrayIcon1");
    if (c.taken) {
      // Logged, and shown: the window stays in sight under the error box.
      EXPECT_TRUE(form->isVisible());
      EXPECT_FALSE(form->windowState() & Qt::WindowMinimized);
      const QString message =
          Q(controller_messages::kStartFailed) + QChar(CR) + InUse(taken.Port());
      EXPECT_EQ(FDesktop.Errors, std::vector<QString>{message});
      EXPECT_EQ(Count(TLogLevel::llError, message.toStdU16String()), 1u);
      EXPECT_TRUE(TrayShows(tray, StoppedAppIcon()));
    } else {
      EXPECT_FALSE(form->isVisible()) << "hidden: only the tray icon shows";
      EXPECT_TRUE(FDesktop.Errors.empty());
      EXPECT_EQ(Count(TLogLevel::llError, controller_messages::kStartFailed), 0u);
      EXPECT_TRUE(TrayShows(tray, AppIcon()));
    }

    // The state follows the server at every tick, and the window comes back in normal state.
    Trigger(*form, c.taken ? "actStartServer" : "actStopServer");
    Trigger(*form, "actStatusServer");
    EXPECT_EQ(label.text(), msg::kStopped);
    EXPECT_TRUE(TrayShows(tray, StoppedAppIcon()));
    Trigger(*form, "actShowForm");
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->windowState() & Qt::WindowMinimized);
    Trigger(*form, "actStatusServer");
    EXPECT_TRUE(form->isVisible()) << "a window in normal state stays";
    Trigger(*form, "actMinimizeForm");
    Trigger(*form, "actStatusServer");
    EXPECT_FALSE(form->isVisible());
    FDesktop.Errors.clear();
  }
}

TEST_F(MainFormTest, ShowFormBringsTheWindowBackInNormalState) {
  WriteIni(FreePort());
  const auto form = Create();
  auto& tray = Child<QSystemTrayIcon>(*form, "TrayIcon1");
  struct Case {
    const char* name;
    Qt::WindowStates state;  // before it went to the tray (or stayed)
    std::function<void()> show;
  };
  const std::function<void()> byAction = [&] { Trigger(*form, "actShowForm"); };
  const std::function<void()> byTrayMenu = [&] { Trigger(*form, "ExibirGerenciador1"); };
  const std::function<void()> byDoubleClick = [&] {
    emit tray.activated(QSystemTrayIcon::DoubleClick);
  };
  const Case kCases[] = {
      {"minimised, action", Qt::WindowMinimized, byAction},
      {"minimised, tray menu", Qt::WindowMinimized, byTrayMenu},
      {"minimised, double click", Qt::WindowMinimized, byDoubleClick},
      {"maximised then minimised, double click", Qt::WindowMaximized | Qt::WindowMinimized,
       byDoubleClick},
      {"maximised then minimised, action", Qt::WindowMaximized | Qt::WindowMinimized, byAction},
      {"maximised and shown, tray menu", Qt::WindowMaximized, byTrayMenu},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    form->setWindowState(c.state);
    Trigger(*form, "actStatusServer");
    EXPECT_EQ(form->isVisible(), !(c.state & Qt::WindowMinimized));
    c.show();
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->windowState() &
                 (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen))
        << form->windowState().toInt();
  }
  // A single click only refreshes the hint.
  form->setWindowState(Qt::WindowMinimized);
  Trigger(*form, "actStatusServer");
  emit tray.activated(QSystemTrayIcon::Trigger);
  EXPECT_FALSE(form->isVisible());
}

TEST_F(MainFormTest, WithoutATrayTheMinimisedWindowStaysAndTheJournalSaysWhyOnce) {
  FDesktop.Tray = false;
  WriteIni(FreePort());
  const auto form = Create();
  for (int tick = 0; tick < 3; ++tick) Trigger(*form, "actStatusServer");
  EXPECT_TRUE(form->isVisible());
  EXPECT_TRUE(form->windowState() & Qt::WindowMinimized);
  EXPECT_EQ(Count(TLogLevel::llInfo, msg::kNoTray.toStdU16String()), 1u);
  EXPECT_TRUE(Started()) << "the server keeps running";
  // The panel that holds the tray came later in the session.
  FDesktop.Tray = true;
  Trigger(*form, "actStatusServer");
  EXPECT_FALSE(form->isVisible());
}

TEST_F(MainFormTest, ListRefreshReloadsTheFileAndShowsItsPort) {
  const std::uint16_t port = FreePort();
  WriteIni(port);
  const auto form = Create();
  const std::size_t before = Reloads();
  WriteIni(4321);  // a hand edit: shown at the next refresh, used at the next start
  Trigger(*form, "actLoadConfigServer");
  auto& list = Child<QTreeWidget>(*form, "lstConfigServer");
  ASSERT_EQ(list.topLevelItemCount(), 1) << "rows are replaced, not added";
  EXPECT_EQ(list.topLevelItem(0)->text(0), msg::kPortRow);
  EXPECT_EQ(ListedPort(*form), QStringLiteral("4321"));
  EXPECT_EQ(Reloads(), before + 1);
  EXPECT_EQ(FContainer.dsTCP.BoundPort(), port) << "the running server is left alone";

  // A file gone after the start: the controller logs it and the list shows the last port.
  std::filesystem::remove(FIni);
  Trigger(*form, "actLoadConfigServer");
  EXPECT_EQ(ListedPort(*form), QStringLiteral("4321"));
  EXPECT_EQ(Count(TLogLevel::llError, controller_messages::kReloadFailed), 1u);
  EXPECT_TRUE(FDesktop.Errors.empty());
}

TEST_F(MainFormTest, PortDialog) {
  // What the operator does in the dialog, given the port the server runs on and one held by
  // someone else.
  using TAnswer = std::function<std::optional<QString>(std::uint16_t, std::uint16_t)>;
  using TShown = std::function<QString(std::uint16_t, std::uint16_t)>;
  struct Case {
    const char* name;
    bool select;
    TAnswer answer;
    bool asked;    // the input dialog appeared
    TShown shown;  // the error box's text, given the port and the taken one; null: no error box
    std::size_t reloads;  // reload records the command added (the file is rewritten with them)
  };
  const auto same = [](std::uint16_t APort, std::uint16_t) {
    return std::optional<QString>(QString::number(APort));
  };
  const auto typed = [](const char* AText) -> TAnswer {
    return [AText](auto, auto) { return std::optional<QString>(QString::fromUtf8(AText)); };
  };
  const TShown invalid = [](std::uint16_t, std::uint16_t) {
    return msg::kUpdateFailed + QChar(CR) + Q(controller_messages::kInvalidPort);
  };
  const Case kCases[] = {
      {"no row selected", false, same, false, nullptr, 0},
      {"cancelled", true, [](auto, auto) { return std::optional<QString>(); }, true, nullptr, 0},
      // Rewritten and restarted: the reload of the restart and that of the list.
      {"same value confirmed", true, same, true, nullptr, 2},
      {"not a number", true, typed("80a"), true, invalid, 0},
      {"zero", true, typed("0"), true, invalid, 0},
      {"above 65535", true, typed("70000"), true, invalid, 0},
      // Bound first: the server and the file stay as they were, and the box says why.
      {"taken port", true,
       [](auto, std::uint16_t ATaken) { return std::optional<QString>(QString::number(ATaken)); },
       true,
       [](std::uint16_t APort, std::uint16_t ATaken) {
         return msg::kUpdateFailed + QChar(CR) + InUse(ATaken) + Kept(APort);
       },
       0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FRecords.clear();
    FDesktop = TFakeDesktop();
    const TTakenPort taken;
    const std::uint16_t port = FreePort();
    WriteIni(port);
    const auto form = Create();
    const std::string fileBefore = IniBytes();
    const UniqueFd client = tcptest::Connect(port);
    ASSERT_TRUE(client);
    if (c.select) SelectPortRow(*form);
    FDesktop.Answer = c.answer(port, taken.Port());
    const std::size_t reloadsBefore = Reloads();

    Trigger(*form, "updConfigServer");

    if (c.select) {
      EXPECT_TRUE(FDesktop.Warnings.empty());
    } else {
      EXPECT_EQ(FDesktop.Warnings, std::vector<QString>{msg::kSelectParameter});
    }
    ASSERT_EQ(FDesktop.Queries.size(), c.asked ? 1u : 0u);
    if (c.asked) {
      EXPECT_EQ(FDesktop.Queries[0].Caption, msg::kConfigCaption);
      EXPECT_EQ(FDesktop.Queries[0].Prompt, msg::kPortRow);
      EXPECT_EQ(FDesktop.Queries[0].Value, QString::number(port));
    }
    if (!c.shown) {
      EXPECT_TRUE(FDesktop.Errors.empty());
    } else {
      EXPECT_EQ(FDesktop.Errors, std::vector<QString>{c.shown(port, taken.Port())});
    }
    EXPECT_NE(IniBytes().find("PORTA=" + std::to_string(port)), std::string::npos) << IniBytes();
    if (c.reloads == 0) {
      EXPECT_EQ(IniBytes(), fileBefore) << "file untouched";
    }
    EXPECT_TRUE(Started());
    EXPECT_EQ(FContainer.dsTCP.BoundPort(), port);
    EXPECT_EQ(Reloads(), reloadsBefore + c.reloads);
    EXPECT_EQ(ListedPort(*form), QString::number(port)) << "the list shows the port in force";
    // A restart drops the connections of the server that stopped.
    EXPECT_EQ(ClosedWithin(client.get(), c.reloads > 0 ? 5000 : 50), c.reloads > 0);
    Trigger(*form, "actStatusServer");
    EXPECT_EQ(Child<QLabel>(*form, "lblStatusServer").text(), msg::kStarted);
  }
}

// What a hand-written INI file gives at the start of the window.
TEST_F(MainFormTest, IniFileCasesAtTheStart) {
  const std::uint16_t port = FreePort();
  const std::string number = std::to_string(port);
  struct Case {
    const char* name;
    std::string file;
    QString found;  // as the start failure quotes it; empty: the server starts
    QString listed;
  };
  const Case kCases[] = {
      {"missing key", "[CONFIGURACAO]\r\nOUTRA=" + number + "\r\n", "chave ausente", "0"},
      {"text", Ini("oito mil"), "\"oito mil\"", "0"},
      {"zero", Ini("0"), "\"0\"", "0"},
      {"above 65535", Ini("70000"), "\"70000\"", "70000"},
      {"byte-order mark", "\xEF\xBB\xBF" + Ini(number), "", QString::number(port)},
      {"section in other case", "[configuracao]\r\nPorta=" + number + "\r\n", "",
       QString::number(port)},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FRecords.clear();
    FDesktop = TFakeDesktop();
    TScratchDirectory::WriteBytes(FIni, c.file);
    const auto form = Create();
    EXPECT_EQ(ListedPort(*form), c.listed);
    Trigger(*form, "actStatusServer");
    const auto& tray = Child<QSystemTrayIcon>(*form, "TrayIcon1");
    if (c.found.isEmpty()) {
      EXPECT_TRUE(Started());
      EXPECT_EQ(FContainer.dsTCP.BoundPort(), port);
      EXPECT_TRUE(FDesktop.Errors.empty());
      EXPECT_FALSE(form->isVisible()) << "in the tray";
      EXPECT_TRUE(TrayShows(tray, AppIcon()));
      continue;
    }
    const QString message =
        Q(controller_messages::kStartFailed) + QChar(CR) + InvalidPort(FIni, c.found);
    EXPECT_FALSE(Started());
    EXPECT_EQ(FDesktop.Errors, std::vector<QString>{message});
    EXPECT_EQ(Count(TLogLevel::llError, message.toStdU16String()), 1u);
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(Child<QLabel>(*form, "lblStatusServer").text(), msg::kStopped);
    EXPECT_TRUE(TrayShows(tray, StoppedAppIcon()));
    EXPECT_EQ(IniBytes(), c.file) << "left as it was";
  }
}

TEST_F(MainFormTest, ANewPortTypedWithBlanksOrInHexadecimalMovesTheServer) {
  for (const bool hexadecimal : {false, true}) {
    SCOPED_TRACE(hexadecimal ? "hexadecimal" : "decimal");
    WriteIni(FreePort());
    const auto form = Create();
    const std::uint16_t next = FreePort();
    SelectPortRow(*form);
    FDesktop.Answer = hexadecimal ? QStringLiteral("0x") + QString::number(next, 16)
                                  : QStringLiteral("  ") + QString::number(next);
    Trigger(*form, "updConfigServer");
    EXPECT_TRUE(FDesktop.Errors.empty());
    EXPECT_EQ(FContainer.dsTCP.BoundPort(), next);
    EXPECT_EQ(ListedPort(*form), QString::number(next));
    EXPECT_NE(IniBytes().find("PORTA=" + std::to_string(next)), std::string::npos);
  }
}

TEST_F(MainFormTest, HintGoesToTheTrayOnlyWhenItChanges) {
  WriteIni(FreePort());
  const auto form = Create();
  ASSERT_EQ(FDesktop.Hints, std::vector<QString>{msg::kInitialHint});
  Trigger(*form, "actStatusServer");
  form->TrayIcon1MouseMove();
  form->TrayIcon1MouseMove();
  ASSERT_EQ(FDesktop.Hints.size(), 2u);
  EXPECT_TRUE(FDesktop.Hints[1].endsWith(QStringLiteral("\rMonitoramento: INICIADO")))
      << FDesktop.Hints[1].toStdString();
  EXPECT_LE(FDesktop.Hints[1].size(), 127);
  Trigger(*form, "actStopServer");
  form->TrayIcon1MouseMove();
  form->TrayIcon1MouseMove();
  ASSERT_EQ(FDesktop.Hints.size(), 3u);
  EXPECT_TRUE(FDesktop.Hints[2].endsWith(QStringLiteral("\rMonitoramento: PARADO")));
}

TEST_F(MainFormTest, ClosingEndsTheProgramAndDestroyingStopsTheServer) {
  const std::uint16_t port = FreePort();
  WriteIni(port);
  auto form = Create();
  const UniqueFd client = tcptest::Connect(port);
  ASSERT_TRUE(client);
  int closed = 0;
  QObject::connect(form.get(), &TfrmMainServer::Closed, [&] { ++closed; });
  Trigger(*form, "actCloseForm");
  EXPECT_EQ(closed, 1);
  EXPECT_TRUE(Started()) << "the server goes with the window, before the container";
  form.reset();
  EXPECT_FALSE(Started());
  EXPECT_TRUE(tcptest::ClosedByServer(client.get()));
  EXPECT_FALSE(tcptest::Connect(port)) << "nobody listens any more";
}

TEST_F(MainFormTest, MissingIniShowsTheMessageAndLeavesAHarmlessStoppedWindow) {
  const auto form = Create();
  ASSERT_EQ(FDesktop.Errors.size(), 1u);
  EXPECT_TRUE(FDesktop.Errors[0].contains(QStringLiteral("não foi encontrado!")))
      << FDesktop.Errors[0].toStdString();
  EXPECT_TRUE(FDesktop.Errors[0].contains(QString::fromStdString(FIni.string())));
  EXPECT_FALSE(form->windowState() & Qt::WindowMinimized) << "stays shown";
  EXPECT_TRUE(FRecords.empty()) << "nothing logged";
  EXPECT_FALSE(Started());

  for (const char* action : {"actStatusServer", "actStopServer", "actLoadConfigServer",
                             "updConfigServer", "actMinimizeForm", "actShowForm"})
    Trigger(*form, action);
  form->TrayIcon1MouseMove();
  EXPECT_EQ(Child<QLabel>(*form, "lblStatusServer").text(), msg::kStopped);
  EXPECT_TRUE(Child<QPushButton>(*form, "btnStartServer").isEnabled());
  EXPECT_FALSE(Child<QPushButton>(*form, "btnStopServer").isEnabled());
  ASSERT_EQ(Child<QTreeWidget>(*form, "lstConfigServer").topLevelItemCount(), 1);
  EXPECT_EQ(Child<QTreeWidget>(*form, "lstConfigServer").topLevelItem(0)->text(0), msg::kPortRow);
  EXPECT_EQ(ListedPort(*form), QString()) << "no value without a file";
  EXPECT_EQ(FDesktop.Warnings, std::vector<QString>{msg::kSelectParameter});
  EXPECT_TRUE(TrayShows(Child<QSystemTrayIcon>(*form, "TrayIcon1"), StoppedAppIcon()));
  EXPECT_EQ(FDesktop.Hints, std::vector<QString>{msg::kInitialHint});
  EXPECT_TRUE(FDesktop.Queries.empty());
  EXPECT_EQ(FDesktop.Errors.size(), 1u);

  // The start button tries again: still missing, the same message; once made, it starts.
  Trigger(*form, "actStartServer");
  ASSERT_EQ(FDesktop.Errors.size(), 2u);
  EXPECT_EQ(FDesktop.Errors[1], FDesktop.Errors[0]);
  const std::uint16_t port = FreePort();
  WriteIni(port);
  Trigger(*form, "actStartServer");
  EXPECT_EQ(FDesktop.Errors.size(), 2u);
  EXPECT_TRUE(Started());
  EXPECT_EQ(ListedPort(*form), QString::number(port));
}

TEST_F(MainFormTest, WithoutAnIniThePortDialogMakesItAndStartsTheServer) {
  const auto form = Create();
  ASSERT_EQ(FDesktop.Errors.size(), 1u);  // the missing file
  SelectPortRow(*form);
  const TTakenPort taken;
  struct Case {
    const char* name;
    QString typed;
    QString shown;
  };
  const Case kCases[] = {
      {"not a number", "porta", Q(controller_messages::kInvalidPort)},
      {"taken", QString::number(taken.Port()), InUse(taken.Port())},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FDesktop.Errors.clear();
    FDesktop.Answer = c.typed;
    Trigger(*form, "updConfigServer");
    EXPECT_EQ(FDesktop.Errors, std::vector<QString>{msg::kUpdateFailed + QChar(CR) + c.shown});
    EXPECT_FALSE(std::filesystem::exists(FIni)) << "nothing made";
    EXPECT_FALSE(Started());
  }
  FDesktop.Errors.clear();
  ASSERT_EQ(FDesktop.Queries.back().Value, QString()) << "asked with an empty value";
  const std::uint16_t port = FreePort();
  FDesktop.Answer = QString::number(port);
  Trigger(*form, "updConfigServer");
  EXPECT_TRUE(FDesktop.Errors.empty());
  EXPECT_EQ(IniBytes(), "[CONFIGURACAO]\nPORTA=" + std::to_string(port) + "\n");
  EXPECT_TRUE(Started());
  EXPECT_EQ(FContainer.dsTCP.BoundPort(), port);
  EXPECT_EQ(ListedPort(*form), QString::number(port));
}

TEST_F(MainFormTest, StartButtonFailureGoesToTheErrorBoxAndIsNotLogged) {
  const TTakenPort taken;
  WriteIni(FreePort());
  const auto form = Create();
  Trigger(*form, "actStopServer");
  WriteIni(taken.Port());
  FRecords.clear();
  Trigger(*form, "actStartServer");
  ASSERT_EQ(FDesktop.Errors.size(), 1u);
  EXPECT_FALSE(FDesktop.Errors[0].isEmpty());
  EXPECT_EQ(Count(TLogLevel::llError, u""), 0u);
  EXPECT_FALSE(Started());
  EXPECT_EQ(ListedPort(*form), QString::number(taken.Port()));
}

TEST_F(MainFormTest, AJournalThatCannotBeWrittenReachesTheErrorBoxNeverPastAHandler) {
  WriteIni(FreePort());
  FJournalFails = true;
  const auto form = Create();
  ASSERT_EQ(FDesktop.Errors.size(), 1u) << "the start's own guard could not log either";
  EXPECT_EQ(FDesktop.Errors[0], QStringLiteral("Cannot open file journal.log"));
  // The failure left the creation handler before it minimised: the window stays in sight.
  EXPECT_FALSE(form->windowState() & Qt::WindowMinimized);
  Trigger(*form, "actStatusServer");
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(Started());

  Trigger(*form, "actLoadConfigServer");
  Trigger(*form, "actStartServer");
  EXPECT_EQ(FDesktop.Errors.size(), 3u);
  Trigger(*form, "actMinimizeForm");
  FDesktop.Tray = false;
  Trigger(*form, "actStatusServer");  // the note about the missing tray cannot be written
  EXPECT_EQ(FDesktop.Errors.size(), 4u);
  FJournalFails = false;
  Trigger(*form, "actStartServer");
  EXPECT_EQ(FDesktop.Errors.size(), 4u);
  EXPECT_TRUE(Started());
}

TEST_F(MainFormTest, ControlsCaptionsAndMenusAsDesigned) {
  WriteIni(FreePort());
  auto form = Create();
  const double scale = form->screen()->logicalDotsPerInch() / 96.0;
  const auto px = [scale](int APixels) { return qRound(APixels * scale); };
  const auto rect = [&](int x, int y, int w, int h) { return QRect(px(x), px(y), px(w), px(h)); };

  EXPECT_EQ(form->windowTitle(), msg::kCaption);
  EXPECT_EQ(form->size(), QSize(px(527), px(243)));
  // The program's own icon at every size, built in, for the window and the tray.
  for (const int size : kAppIconSizes)
    EXPECT_FALSE(QImage(QStringLiteral(":/icons/assinador-nfse-%1.png").arg(size)).isNull())
        << size;
  EXPECT_EQ(form->windowIcon().availableSizes().size(), std::size(kAppIconSizes));
  EXPECT_EQ(form->font().family(), QStringLiteral("Tahoma"));
  EXPECT_EQ(form->font().pixelSize(), px(11));
  EXPECT_EQ(Child<QWidget>(*form, "pnlFundo01").geometry(), form->rect());
  EXPECT_EQ(Child<QWidget>(*form, "pnlFundo01").palette().color(QPalette::Window),
            QColor(Qt::white));

  struct Control {
    const char* name;
    QRect designed;
    QRect grown;  // after the window grew by 100 x 50
  };
  const Control kControls[] = {
      {"lblStatusServer", rect(7, 4, 513, 31), QRect(px(7), px(4), px(513) + 100, px(31))},
      {"lstConfigServer", rect(7, 41, 513, 111), QRect(px(7), px(41), px(513) + 100, px(111) + 50)},
      {"btnStartServer", rect(7, 160, 165, 73), QRect(px(7), px(160) + 50, px(165), px(73))},
      {"btnStopServer", rect(182, 160, 165, 73), QRect(px(182), px(160) + 50, px(165), px(73))},
      {"btnMinimizeForm", rect(355, 160, 165, 73), QRect(px(355), px(160) + 50, px(165), px(73))},
  };
  for (const Control& c : kControls) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Child<QWidget>(*form, c.name).geometry(), c.designed);
  }
  form->resize(form->size() + QSize(100, 50));
  for (const Control& c : kControls) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Child<QWidget>(*form, c.name).geometry(), c.grown);
  }

  const auto& label = Child<QLabel>(*form, "lblStatusServer");
  EXPECT_EQ(label.alignment(), Qt::AlignCenter);
  EXPECT_EQ(label.frameShape(), QFrame::Box);
  EXPECT_TRUE(label.font().bold());
  EXPECT_EQ(label.font().pixelSize(), px(20));
  EXPECT_EQ(label.palette().color(QPalette::Window), kRed);

  auto& list = Child<QTreeWidget>(*form, "lstConfigServer");
  EXPECT_EQ(list.headerItem()->text(0), msg::kParameter);
  EXPECT_EQ(list.headerItem()->text(1), msg::kValue);
  EXPECT_EQ(list.editTriggers(), QAbstractItemView::NoEditTriggers);
  EXPECT_EQ(list.selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_EQ(list.font().pixelSize(), px(13));
  EXPECT_EQ(list.contextMenuPolicy(), Qt::CustomContextMenu);

  struct Button {
    const char* name;
    QString caption;
  };
  for (const Button& b :
       {Button{"btnStartServer", msg::kStartServer}, Button{"btnStopServer", msg::kStopServer},
        Button{"btnMinimizeForm", msg::kMinimizeForm}}) {
    SCOPED_TRACE(b.name);
    const auto& button = Child<QPushButton>(*form, b.name);
    EXPECT_EQ(button.text(), b.caption);
    EXPECT_EQ(button.cursor().shape(), Qt::PointingHandCursor);
    EXPECT_TRUE(button.font().bold());
    EXPECT_EQ(button.font().pixelSize(), px(12));
    EXPECT_EQ(button.font().family(), QStringLiteral("Tahoma"));
  }
  // Tab order: the named controls that Tab reaches, in the chain's order; the static text takes
  // no focus.
  std::vector<QString> tabOrder;
  for (QWidget* w = form->nextInFocusChain(); w != form.get(); w = w->nextInFocusChain())
    if (!w->objectName().isEmpty() && (w->focusPolicy() & Qt::TabFocus))
      tabOrder.push_back(w->objectName());
  EXPECT_EQ(tabOrder, (std::vector<QString>{"lstConfigServer", "btnStartServer", "btnStopServer",
                                            "btnMinimizeForm"}));
  EXPECT_EQ(label.focusPolicy(), Qt::NoFocus);

  const auto names = [](const QMenu& AMenu) {
    std::vector<std::pair<QString, QString>> items;
    for (const QAction* item : AMenu.actions())
      items.emplace_back(item->objectName(), item->isSeparator() ? QString("-") : item->text());
    return items;
  };
  const auto& config = Child<QMenu>(*form, "mnuConfig");
  EXPECT_EQ(
      names(config),
      (std::vector<std::pair<QString, QString>>{
          {"AlterarConfigurao1", msg::kConfigServer}, {"N2", "-"}, {"Cancelar1", msg::kCancel}}));
  ASSERT_NE(config.defaultAction(), nullptr);
  EXPECT_EQ(config.defaultAction()->objectName(), QStringLiteral("Cancelar1"));
  const auto& tray = Child<QSystemTrayIcon>(*form, "TrayIcon1");
  ASSERT_NE(tray.contextMenu(), nullptr);
  EXPECT_EQ(tray.contextMenu()->objectName(), QStringLiteral("PopupMenu1"));
  EXPECT_EQ(names(*tray.contextMenu()),
            (std::vector<std::pair<QString, QString>>{{"ExibirGerenciador1", msg::kShowForm},
                                                      {"N1", "-"},
                                                      {"FecharGerenciador1", msg::kCloseForm}}));
  EXPECT_TRUE(tray.isVisible());
  EXPECT_EQ(tray.icon().availableSizes().size(), std::size(kAppIconSizes));

  // Menu items run their actions: "Alterar Configuração" reaches the port dialog.
  Child<QAction>(*form, "AlterarConfigurao1").trigger();
  EXPECT_EQ(FDesktop.Warnings, std::vector<QString>{msg::kSelectParameter});
  Child<QAction>(*form, "Cancelar1").trigger();
  EXPECT_EQ(FDesktop.Warnings.size(), 1u) << "Cancelar only closes the menu";
  int closed = 0;
  QObject::connect(form.get(), &TfrmMainServer::Closed, [&] { ++closed; });
  Child<QAction>(*form, "FecharGerenciador1").trigger();
  EXPECT_EQ(closed, 1);
}

}  // namespace
