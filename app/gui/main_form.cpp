#include "app/gui/main_form.h"

#include <QAction>
#include <QCloseEvent>
#include <QCursor>
#include <QFont>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QTreeWidget>
#include <ctime>
#include <exception>
#include <string>

#include "app/controller/controller_messages.h"
#include "app/gui/app_icon.h"
#include "app/gui/form_messages.h"
#include "app/gui/tray_hint.h"
#include "platform/diagnostics.h"
#include "platform/exception.h"
#include "server/classes/config_server.h"

namespace {

namespace msg = form_messages;

// The designed client area, at 96 DPI.
constexpr int kClientWidth = 527;
constexpr int kClientHeight = 243;
constexpr QColor kStoppedColour(255, 0, 0);
constexpr QColor kStartedColour(0, 128, 0);
constexpr QColor kBorderColour(0, 0, 0);  // the window frame's colour of a single border

QString ToQString(TextView AText) {
  return QString::fromUtf16(AText.data(), static_cast<qsizetype>(AText.size()));
}

// The entered port: leading blanks skipped, then decimal with an optional sign, or hexadecimal
// after "$" or "0x"; 0 for anything that does not convert in full, which the controller refuses.
std::int32_t PortOfEnteredText(const QString& AText) {
  qsizetype start = 0;
  while (start < AText.size() && (AText[start] == u' ' || AText[start] == u'\t')) ++start;
  const QByteArray digits = AText.mid(start).toUtf8();
  return TConfigServerINI::PortOf(std::string_view(digits.constData(), digits.size()));
}

// Tahoma by name, as the window was drawn; where it is missing, the nearest shapes at hand.
void AskForTahoma() {
  static const QStringList kSubstitutes = {QStringLiteral("Verdana"), QStringLiteral("DejaVu Sans"),
                                           QStringLiteral("Liberation Sans")};
  if (QFont::substitutes(QStringLiteral("Tahoma")).isEmpty())
    QFont::insertSubstitutions(QStringLiteral("Tahoma"), kSubstitutes);
}

QFont TahomaFont(int APixelSize, bool ABold) {
  QFont font(QStringLiteral("Tahoma"));
  font.setPixelSize(APixelSize);
  font.setBold(ABold);
  return font;
}

void SetBackground(QWidget& AWidget, const QColor& ABackground) {
  QPalette palette = AWidget.palette();
  palette.setColor(QPalette::Window, ABackground);
  AWidget.setPalette(palette);
  AWidget.setAutoFillBackground(true);
}

// A static text with a single border. Qt draws a plain frame in the text's colour, which for
// the status (white on red, on a white panel) would leave no border to see.
class TBorderedLabel final : public QLabel {
 public:
  using QLabel::QLabel;

 protected:
  void paintEvent(QPaintEvent* AEvent) override {
    QLabel::paintEvent(AEvent);
    QPainter painter(this);
    painter.setPen(kBorderColour);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
  }
};

}  // namespace

TfrmMainServer::TfrmMainServer(TSC& AContainer, IDesktop& ADesktop,
                               std::filesystem::path AConfigFile, TLogFunction AJournal,
                               QWidget* AParent)
    : QWidget(AParent),
      FContainer(AContainer),
      FDesktop(ADesktop),
      FConfigFile(std::move(AConfigFile)),
      FJournal(AJournal ? std::move(AJournal) : TLogger::JournalAt({})) {
  setObjectName(QStringLiteral("frmMainServer"));
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    FScale = screen->logicalDotsPerInch() / 96.0;
  AskForTahoma();
  setFont(TahomaFont(Scaled(11), false));
  setWindowTitle(msg::kCaption);
  setWindowIcon(AppIcon());
  CreateActions();
  CreateControls();
  CreateTrayIcon();

  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setInterval(1000);
  connect(Timer1, &QTimer::timeout, actStatusServer, &QAction::trigger);
  connect(Timer1, &QTimer::timeout, this, &TfrmMainServer::TrayIcon1MouseMove);
  Timer1->start();

  TimerCertificates = new QTimer(this);
  TimerCertificates->setObjectName(QStringLiteral("TimerCertificates"));
  TimerCertificates->setInterval(60 * 60 * 1000);
  connect(TimerCertificates, &QTimer::timeout, this, &TfrmMainServer::CheckCertificates);
  TimerCertificates->start();

  resize(Scaled(kClientWidth), Scaled(kClientHeight));
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect placed = geometry();
    placed.moveCenter(screen->geometry().center());
    move(placed.topLeft());
  }
  FormCreate();
}

TfrmMainServer::~TfrmMainServer() { FormDestroy(); }

int TfrmMainServer::Scaled(int APixels) const { return qRound(APixels * FScale); }

template <class THandler>
void TfrmMainServer::Guarded(THandler AHandler) {
  try {
    AHandler();
  } catch (const std::exception& e) {
    FDesktop.ShowError(this, ToQString(MessageOf(e)));
  } catch (...) {
    diagnostics::ReportCurrentException(u"Gerenciador");
  }
}

void TfrmMainServer::CreateActions() {
  const auto action = [this](const char* AName, const QString& ACaption,
                             void (TfrmMainServer::*AHandler)()) {
    auto* made = new QAction(ACaption, this);
    made->setObjectName(QString::fromLatin1(AName));
    connect(made, &QAction::triggered, this, AHandler);
    return made;
  };
  actStartServer =
      action("actStartServer", msg::kStartServer, &TfrmMainServer::actStartServerExecute);
  actStopServer = action("actStopServer", msg::kStopServer, &TfrmMainServer::actStopServerExecute);
  actStatusServer = action("actStatusServer", QStringLiteral("actStatusServer"),
                           &TfrmMainServer::actStatusServerExecute);
  actLoadConfigServer = action("actLoadConfigServer", QStringLiteral("actLoadConfigServer"),
                               &TfrmMainServer::actLoadConfigServerExecute);
  actMinimizeForm =
      action("actMinimizeForm", msg::kMinimizeForm, &TfrmMainServer::actMinimizeFormExecute);
  actShowForm = action("actShowForm", msg::kShowForm, &TfrmMainServer::actShowFormExecute);
  actCloseForm = action("actCloseForm", msg::kCloseForm, &TfrmMainServer::actCloseFormExecute);
  updConfigServer =
      action("updConfigServer", msg::kConfigServer, &TfrmMainServer::updConfigServerExecute);
}

void TfrmMainServer::CreateControls() {
  pnlFundo01 = new QWidget(this);
  pnlFundo01->setObjectName(QStringLiteral("pnlFundo01"));
  SetBackground(*pnlFundo01, Qt::white);

  lblStatusServer = new TBorderedLabel(msg::kStopped, pnlFundo01);
  lblStatusServer->setObjectName(QStringLiteral("lblStatusServer"));
  lblStatusServer->setAlignment(Qt::AlignCenter);
  lblStatusServer->setFrameStyle(QFrame::Box | QFrame::Plain);
  lblStatusServer->setLineWidth(1);
  lblStatusServer->setFont(TahomaFont(Scaled(20), true));
  SetBackground(*lblStatusServer, kStoppedColour);
  QPalette labelPalette = lblStatusServer->palette();
  labelPalette.setColor(QPalette::WindowText, Qt::white);
  lblStatusServer->setPalette(labelPalette);

  lstConfigServer = new QTreeWidget(pnlFundo01);
  lstConfigServer->setObjectName(QStringLiteral("lstConfigServer"));
  lstConfigServer->setColumnCount(2);
  lstConfigServer->setHeaderLabels({msg::kParameter, msg::kValue});
  lstConfigServer->header()->setSectionResizeMode(QHeaderView::Stretch);
  lstConfigServer->header()->setSectionsMovable(false);
  lstConfigServer->setRootIsDecorated(false);
  lstConfigServer->setItemsExpandable(false);
  lstConfigServer->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lstConfigServer->setSelectionBehavior(QAbstractItemView::SelectRows);
  lstConfigServer->setSelectionMode(QAbstractItemView::SingleSelection);
  lstConfigServer->setAllColumnsShowFocus(true);
  lstConfigServer->setFont(TahomaFont(Scaled(13), false));

  mnuConfig = new QMenu(this);
  mnuConfig->setObjectName(QStringLiteral("mnuConfig"));
  auto* alterar = mnuConfig->addAction(updConfigServer->text());
  alterar->setObjectName(QStringLiteral("AlterarConfigurao1"));
  connect(alterar, &QAction::triggered, updConfigServer, &QAction::trigger);
  mnuConfig->addSeparator()->setObjectName(QStringLiteral("N2"));
  // Choosing it only closes the menu.
  auto* cancelar = mnuConfig->addAction(msg::kCancel);
  cancelar->setObjectName(QStringLiteral("Cancelar1"));
  mnuConfig->setDefaultAction(cancelar);
  lstConfigServer->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(lstConfigServer, &QWidget::customContextMenuRequested, this, [this](const QPoint& APos) {
    mnuConfig->popup(lstConfigServer->viewport()->mapToGlobal(APos));
  });

  const auto button = [this](const char* AName, QAction* AAction) {
    auto* made = new QPushButton(AAction->text(), pnlFundo01);
    made->setObjectName(QString::fromLatin1(AName));
    made->setCursor(Qt::PointingHandCursor);
    made->setFont(TahomaFont(Scaled(12), true));
    connect(made, &QPushButton::clicked, AAction, &QAction::trigger);
    return made;
  };
  btnStartServer = button("btnStartServer", actStartServer);
  btnStopServer = button("btnStopServer", actStopServer);
  btnMinimizeForm = button("btnMinimizeForm", actMinimizeForm);

  // A static text takes no focus; the rest in the designed order.
  lblStatusServer->setFocusPolicy(Qt::NoFocus);
  QWidget::setTabOrder(lstConfigServer, btnStartServer);
  QWidget::setTabOrder(btnStartServer, btnStopServer);
  QWidget::setTabOrder(btnStopServer, btnMinimizeForm);

  FAnchored = {
      {lblStatusServer, QRect(7, 4, 513, 31), true, true, false},
      {lstConfigServer, QRect(7, 41, 513, 111), true, true, true},
      {btnStartServer, QRect(7, 160, 165, 73), false, false, true},
      {btnStopServer, QRect(182, 160, 165, 73), false, false, true},
      {btnMinimizeForm, QRect(355, 160, 165, 73), false, false, true},
  };
}

void TfrmMainServer::CreateTrayIcon() {
  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
  auto* exibir = PopupMenu1->addAction(actShowForm->text());
  exibir->setObjectName(QStringLiteral("ExibirGerenciador1"));
  connect(exibir, &QAction::triggered, actShowForm, &QAction::trigger);
  PopupMenu1->addSeparator()->setObjectName(QStringLiteral("N1"));
  auto* fechar = PopupMenu1->addAction(actCloseForm->text());
  fechar->setObjectName(QStringLiteral("FecharGerenciador1"));
  connect(fechar, &QAction::triggered, actCloseForm, &QAction::trigger);

  TrayIcon1 = new QSystemTrayIcon(StoppedAppIcon(), this);
  TrayIcon1->setObjectName(QStringLiteral("TrayIcon1"));
  TrayIcon1->setContextMenu(PopupMenu1);
  FTrayHint = msg::kInitialHint;
  FDesktop.SetTrayHint(*TrayIcon1, FTrayHint);
  connect(TrayIcon1, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason AReason) {
            if (AReason == QSystemTrayIcon::DoubleClick) actShowForm->trigger();
            TrayIcon1MouseMove();
          });
  TrayIcon1->show();
}

void TfrmMainServer::FormCreate() {
  try {
    FServerController = std::make_unique<TServerController>(FContainer.dsSvr, FContainer.dsTCP,
                                                            FConfigFile, FJournal);
  } catch (const std::exception& e) {
    // No controller: the window stays shown in the stopped state, the port's row empty.
    FDesktop.ShowError(this, ToQString(MessageOf(e)));
    LoadConfigServerList();
    return;
  }
  Guarded([this] {
    bool started = true;
    try {
      LoadConfigServerList();
      FServerController->StartServer();
    } catch (const std::exception& e) {
      const Text message = Text(controller_messages::kStartFailed) + CR + MessageOf(e);
      FServerController->LogError(message);
      FDesktop.ShowError(this, ToQString(message));
      started = false;
    }
    CheckCertificates();
    // Only a running server goes to the tray: a failed start, or one that could not even be
    // logged, leaves the window in sight, stopped, under the error box.
    if (started) setWindowState(windowState() | Qt::WindowMinimized);
  });
  ShowTrayState();
}

void TfrmMainServer::ShowTrayState() {
  const bool started =
      FServerController && FServerController->StatusServer() == TStatusDSServer::sdsStarted;
  if (FTrayShowsStarted == started) return;
  FTrayShowsStarted = started;
  TrayIcon1->setIcon(started ? AppIcon() : StoppedAppIcon());
}

void TfrmMainServer::FormDestroy() noexcept {
  Timer1->stop();
  TimerCertificates->stop();
  if (!FServerController) return;
  try {
    // Synchronous: when it returns every connection has ended and the status reads stopped,
    // even when stopping failed, so the container can go next.
    FServerController->StopServer();
  } catch (...) {
    diagnostics::ReportCurrentException(u"Gerenciador");
  }
  FServerController.reset();
}

void TfrmMainServer::actStartServerExecute() {
  Guarded([this] {
    if (!FServerController) {
      // The INI file was missing at start; the operator may have made it since.
      FServerController = std::make_unique<TServerController>(FContainer.dsSvr, FContainer.dsTCP,
                                                              FConfigFile, FJournal);
    }
    LoadConfigServerList();
    FServerController->StartServer();
  });
}

void TfrmMainServer::actStopServerExecute() {
  Guarded([this] {
    if (FServerController) FServerController->StopServer();
  });
}

void TfrmMainServer::actStatusServerExecute() {
  btnStartServer->setEnabled(false);
  btnStopServer->setEnabled(false);
  const bool started =
      FServerController && FServerController->StatusServer() == TStatusDSServer::sdsStarted;
  if (started) {
    btnStopServer->setEnabled(true);
    SetBackground(*lblStatusServer, kStartedColour);
    lblStatusServer->setText(msg::kStarted);
  } else {
    btnStartServer->setEnabled(true);
    SetBackground(*lblStatusServer, kStoppedColour);
    lblStatusServer->setText(msg::kStopped);
  }
  ShowTrayState();
  if (!(windowState() & Qt::WindowMinimized)) return;
  // Asked at every tick: at the session's start the panel that holds the tray may come later.
  if (FDesktop.TrayAvailable()) {
    hide();
  } else if (!FNoTrayReported) {
    // Hidden, the window could only come back through a tray icon nobody sees.
    FNoTrayReported = true;
    Guarded([this] { FJournal(TLogLevel::llInfo, msg::kNoTray.toStdU16String()); });
  }
}

void TfrmMainServer::actLoadConfigServerExecute() {
  Guarded([this] { LoadConfigServerList(); });
}

void TfrmMainServer::LoadConfigServerList() {
  lstConfigServer->clear();
  auto* row = new QTreeWidgetItem(lstConfigServer, QStringList{msg::kPortRow});
  // Without a file, the row with no value: "Alterar Configuração" makes the file.
  if (!FServerController) return;
  const IConfigServerPtr config = FServerController->getConfigServer();
  row->setText(1, QString::number(config->getPort()));
}

void TfrmMainServer::actMinimizeFormExecute() {
  setWindowState(windowState() | Qt::WindowMinimized);
}

void TfrmMainServer::actShowFormExecute() {
  // Normal: neither minimised nor maximised, whatever it was before it went to the tray.
  setWindowState(windowState() &
                 ~(Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen));
  show();
  raise();
  activateWindow();
}

void TfrmMainServer::actCloseFormExecute() { close(); }

void TfrmMainServer::updConfigServerExecute() {
  Guarded([this] { EditConfigServer(); });
}

void TfrmMainServer::TrayIcon1MouseMove() { RefreshTrayHint(); }

void TfrmMainServer::RefreshTrayHint() {
  if (!FServerController) return;
  Guarded([this] {
    const QString hint = TrayHintText(
        WithHintLine(FServerController->GetHintApplication(), FExpiryWatch.HintLine()));
    if (hint == FTrayHint) return;
    FTrayHint = hint;
    FDesktop.SetTrayHint(*TrayIcon1, FTrayHint);
  });
}

void TfrmMainServer::CheckCertificates() {
  std::vector<TCertificateDates> certificates;
  try {
    certificates = StoreCertificateDates();
  } catch (const std::exception&) {
    return;  // a store that cannot be listed is told of by the signing requests
  }
  const std::vector<Text> records = FExpiryWatch.Check(certificates, std::time(nullptr));
  Guarded([&] {
    for (const Text& record : records) FJournal(TLogLevel::llInfo, record);
  });
  // The hint takes the line at the next tick of the status timer.
}

void TfrmMainServer::EditConfigServer() {
  const QList<QTreeWidgetItem*> selected = lstConfigServer->selectedItems();
  if (selected.isEmpty()) {
    FDesktop.ShowWarning(this, msg::kSelectParameter);
    return;
  }
  QString value = selected.front()->text(1);
  if (!FDesktop.InputQuery(this, msg::kConfigCaption, selected.front()->text(0), value)) return;
  const std::int32_t port = PortOfEnteredText(value);
  try {
    if (FServerController) {
      FServerController->UpdatePortServer(port);
    } else {
      // No file yet: made with the port typed, once it is known to be usable, then the server
      // starts on it.
      TServerController::CheckPortBindable(port);
      TConfigServerINI config =
          FConfigFile.empty() ? TConfigServerINI() : TConfigServerINI(FConfigFile);
      config.setPort(port);
      config.SaveConfiguration();
      FServerController = std::make_unique<TServerController>(FContainer.dsSvr, FContainer.dsTCP,
                                                              FConfigFile, FJournal);
      FServerController->StartServer();
    }
    LoadConfigServerList();
  } catch (const std::exception& e) {
    FDesktop.ShowError(this, msg::kUpdateFailed + QChar(CR) + ToQString(MessageOf(e)));
  }
}

void TfrmMainServer::closeEvent(QCloseEvent* AEvent) {
  AEvent->accept();
  emit Closed();
}

void TfrmMainServer::resizeEvent(QResizeEvent* AEvent) {
  QWidget::resizeEvent(AEvent);
  pnlFundo01->setGeometry(rect());
  const int growX = width() - Scaled(kClientWidth);
  const int growY = height() - Scaled(kClientHeight);
  for (const TAnchoredControl& anchored : FAnchored) {
    QRect placed(Scaled(anchored.Design.x()), Scaled(anchored.Design.y()),
                 Scaled(anchored.Design.width()), Scaled(anchored.Design.height()));
    if (anchored.Right) placed.setWidth(std::max(0, placed.width() + growX));
    if (anchored.Top && anchored.Bottom)
      placed.setHeight(std::max(0, placed.height() + growY));
    else if (anchored.Bottom)
      placed.moveTop(placed.top() + growY);
    anchored.Control->setGeometry(placed);
  }
}
