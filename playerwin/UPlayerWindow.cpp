#include "UPlayerWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QTextStream>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindow>
#include <QPainter>
#include <QPainterPath>
#include <array>
#include <cmath>

#include "../host/input/UMDQtKeys.h"
#include "UMDDShow.h"

namespace {

constexpr const char16_t* kSection = u"PlayerWindow";
constexpr int kRecentMax = 10;
constexpr int kSaveEveryMs = 3000;

// A slider that jumps to where it is clicked, as people expect of a seek bar.
class TSeekSlider final : public QSlider {
 public:
  using QSlider::QSlider;

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton) {
      const int value = QStyle::sliderValueFromPosition(minimum(), maximum(),
                                                        static_cast<int>(event->position().x()),
                                                        width());
      setValue(value);
      emit sliderMoved(value);
    }
    QSlider::mousePressEvent(event);
  }
};

// The native window the video sink draws into: Qt must never paint over it.
class TVideoView final : public QWidget {
 public:
  explicit TVideoView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_NativeWindow);
    setAttribute(Qt::WA_PaintOnScreen);
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_DontCreateNativeAncestors);
    setFocusPolicy(Qt::NoFocus);
  }
  QPaintEngine* paintEngine() const override { return nullptr; }

 protected:
  void paintEvent(QPaintEvent*) override {}
};

// The control bar's icons, drawn light for the dark bar (the style's own media icons are dark).
enum class TGlyph { Play, Pause, Stop, Back, Forward, Open, Volume, Muted, FullScreen };

QIcon Glyph(TGlyph glyph) {
  QPixmap pixmap(48, 48);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor ink(0xEE, 0xEE, 0xEE);
  p.setBrush(ink);
  p.setPen(Qt::NoPen);
  auto triangle = [&](double x, double w, bool right) {
    QPainterPath path;
    if (right) {
      path.moveTo(x, 10); path.lineTo(x + w, 24); path.lineTo(x, 38);
    } else {
      path.moveTo(x + w, 10); path.lineTo(x, 24); path.lineTo(x + w, 38);
    }
    path.closeSubpath();
    p.drawPath(path);
  };
  switch (glyph) {
    case TGlyph::Play: triangle(15, 22, true); break;
    case TGlyph::Pause: p.drawRoundedRect(QRectF(13, 10, 8, 28), 2, 2); p.drawRoundedRect(QRectF(27, 10, 8, 28), 2, 2); break;
    case TGlyph::Stop: p.drawRoundedRect(QRectF(12, 12, 24, 24), 3, 3); break;
    case TGlyph::Back: triangle(6, 18, false); triangle(22, 18, false); break;
    case TGlyph::Forward: triangle(8, 18, true); triangle(24, 18, true); break;
    case TGlyph::Open: {
      QPainterPath path;
      path.moveTo(6, 14); path.lineTo(18, 14); path.lineTo(22, 18); path.lineTo(42, 18);
      path.lineTo(42, 38); path.lineTo(6, 38); path.closeSubpath();
      p.drawPath(path);
      break;
    }
    case TGlyph::Volume:
    case TGlyph::Muted: {
      QPainterPath path;
      path.moveTo(6, 18); path.lineTo(14, 18); path.lineTo(24, 9); path.lineTo(24, 39);
      path.lineTo(14, 30); path.lineTo(6, 30); path.closeSubpath();
      p.drawPath(path);
      p.setBrush(Qt::NoBrush);
      p.setPen(QPen(ink, 3, Qt::SolidLine, Qt::RoundCap));
      if (glyph == TGlyph::Volume) {
        p.drawArc(QRectF(20, 16, 12, 16), -60 * 16, 120 * 16);
        p.drawArc(QRectF(20, 10, 20, 28), -60 * 16, 120 * 16);
      } else {
        p.drawLine(QPointF(30, 18), QPointF(42, 30));
        p.drawLine(QPointF(42, 18), QPointF(30, 30));
      }
      break;
    }
    case TGlyph::FullScreen: {
      p.setBrush(Qt::NoBrush);
      p.setPen(QPen(ink, 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      for (const auto& corner : {std::array<QPointF, 3>{QPointF(8, 18), QPointF(8, 8), QPointF(18, 8)},
                                 std::array<QPointF, 3>{QPointF(30, 8), QPointF(40, 8), QPointF(40, 18)},
                                 std::array<QPointF, 3>{QPointF(40, 30), QPointF(40, 40), QPointF(30, 40)},
                                 std::array<QPointF, 3>{QPointF(18, 40), QPointF(8, 40), QPointF(8, 30)}})
        p.drawPolyline(corner.data(), 3);
      break;
    }
  }
  return QIcon(pixmap);
}

const char* kStyle = R"(
QMainWindow, QWidget#Backdrop { background: #141414; }
QWidget#Controls { background: #232323; border-top: 1px solid #333; }
QMenuBar { background: #232323; color: #ddd; }
QMenuBar::item:selected { background: #3a3a3a; }
QMenu { background: #2a2a2a; color: #ddd; border: 1px solid #444; }
QMenu::item:selected { background: #2f7fd0; }
QMenu::item:disabled { color: #777; }
QStatusBar { background: #1b1b1b; color: #bbb; }
QStatusBar QLabel { color: #bbb; }
QLabel#Time { color: #e8e8e8; font-family: monospace; padding: 0 6px; }
QLabel#Idle { color: #8a8a8a; font-size: 15pt; }
QToolButton { background: transparent; border: none; border-radius: 4px; padding: 4px; }
QToolButton:hover { background: #3a3a3a; }
QToolButton:pressed { background: #2f7fd0; }
QSlider::groove:horizontal { height: 5px; background: #4a4a4a; border-radius: 2px; }
QSlider::sub-page:horizontal { background: #2f8fe8; border-radius: 2px; }
QSlider::handle:horizontal { background: #f0f0f0; width: 13px; height: 13px; margin: -5px 0; border-radius: 6px; }
QPushButton#ResumeYes, QPushButton#ResumeNo { color: #eee; background: #2f7fd0; border: none; border-radius: 3px; padding: 2px 10px; }
QPushButton#ResumeNo { background: #444; }
)";

}  // namespace

TPlayerWindow::TPlayerWindow(IMDKernel* kernel, IMDPlayer* player, IMDVideo* video)
    : FKernel(kernel), FPlayer(player), FVideo(video) {
  FSettings = TComPtr<IMDSettings>::Query(kernel);
  FInput = TComPtr<IMDInputSink>::Query(kernel);
  FLogPath = qEnvironmentVariable("MIDAVO_PLAYERWIN_LOG");
  FShotPath = qEnvironmentVariable("MIDAVO_PLAYERWIN_SHOT");
  setObjectName(QStringLiteral("PlayerWindow"));
  setWindowTitle(QStringLiteral("Midavo"));
  setAcceptDrops(true);
  setStyleSheet(QString::fromLatin1(kStyle));
  BuildUi();
  BuildMenus();

  for (int i = 1; i <= kRecentMax; ++i) {
    const QString item = ReadSetting(QStringLiteral("Recent%1").arg(i).toStdU16String().c_str());
    if (!item.isEmpty() && !FRecent.contains(item)) FRecent << item;
  }
  RebuildRecentMenu();
  FVolume->setValue(std::clamp(ReadInt(u"Volume", 80), 0, 100));

  const QByteArray geometry = QByteArray::fromBase64(ReadSetting(u"Geometry").toLatin1());
  if (geometry.isEmpty() || !restoreGeometry(geometry)) resize(960, 600);

  connect(&FTimer, &QTimer::timeout, this, [this] { Tick(); });
  FTimer.start(250);
  FResumeTimer.setSingleShot(true);
  connect(&FResumeTimer, &QTimer::timeout, this, [this] { FResumeBox->hide(); });

  qApp->installEventFilter(this);
  show();
  activateWindow();
  Log(QStringLiteral("window 0x%1").arg(winId(), 0, 16));
  SetStatus(QStringLiteral("Ready. Open a file or drop one here."));

  const QString atStart = ReadSetting(u"OpenAtStart");
  if (!atStart.isEmpty()) {
    WriteSetting(u"OpenAtStart", QString());
    QTimer::singleShot(0, this, [this, atStart] { OpenMedia(atStart); });
  }
}

TPlayerWindow::~TPlayerWindow() {
  qApp->removeEventFilter(this);
  Log(QStringLiteral("destroyed"));
}

void TPlayerWindow::BuildUi() {
  auto* central = new QWidget(this);
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  FVideoArea = new QWidget(central);
  FVideoArea->setObjectName(QStringLiteral("Backdrop"));
  FVideoArea->setAttribute(Qt::WA_StyledBackground);
  FVideoArea->setMinimumSize(320, 180);
  FVideoArea->installEventFilter(this);
  FIdleLabel = new QLabel(QStringLiteral("Drop a file here, or open one from the File menu"), FVideoArea);
  FIdleLabel->setObjectName(QStringLiteral("Idle"));
  FIdleLabel->setAlignment(Qt::AlignCenter);
  FVideoView = new TVideoView(FVideoArea);
  FVideoView->hide();
  column->addWidget(FVideoArea, 1);

  FControls = new QWidget(central);
  FControls->setObjectName(QStringLiteral("Controls"));
  FControls->setAttribute(Qt::WA_StyledBackground);
  auto* outer = new QVBoxLayout(FControls);
  outer->setContentsMargins(10, 6, 10, 6);
  outer->setSpacing(4);

  auto* seekRow = new QHBoxLayout;
  FPosition = new TSeekSlider(Qt::Horizontal, FControls);
  FPosition->setObjectName(QStringLiteral("Position"));
  FPosition->setRange(0, 1000);
  FPosition->setEnabled(false);
  FTime = new QLabel(QStringLiteral("0:00 / 0:00"), FControls);
  FTime->setObjectName(QStringLiteral("Time"));
  seekRow->addWidget(FPosition, 1);
  seekRow->addWidget(FTime);
  outer->addLayout(seekRow);

  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(2);
  auto button = [&](TGlyph icon, const QString& tip, auto onClick) {
    auto* b = new QToolButton(FControls);
    b->setIcon(Glyph(icon));
    b->setIconSize(QSize(22, 22));
    b->setToolTip(tip);
    b->setFocusPolicy(Qt::NoFocus);
    b->setAutoRaise(true);
    connect(b, &QToolButton::clicked, this, onClick);
    buttons->addWidget(b);
    return b;
  };
  FPlayButton = button(TGlyph::Play, QStringLiteral("Play / Pause"),
                       [this] { Perform(FPlaying ? MDA_PAUSE : MDA_PLAY); });
  FPlayButton->setObjectName(QStringLiteral("PlayPause"));
  button(TGlyph::Stop, QStringLiteral("Stop"), [this] { Perform(MDA_STOP); });
  button(TGlyph::Back, QStringLiteral("Seek backward"),
         [this] { Perform(MDA_SEEK_BACKWARD); });
  button(TGlyph::Forward, QStringLiteral("Seek forward"),
         [this] { Perform(MDA_SEEK_FORWARD); });
  buttons->addSpacing(10);
  button(TGlyph::Open, QStringLiteral("Open file (Ctrl+O)"), [this] { PickFile(); });
  buttons->addStretch(1);
  FMuteButton = button(TGlyph::Volume, QStringLiteral("Mute"), [this] {
    FMuted = !FMuted;
    FMuteButton->setIcon(Glyph(FMuted ? TGlyph::Muted : TGlyph::Volume));
    ApplyVolume();
  });
  FVolume = new QSlider(Qt::Horizontal, FControls);
  FVolume->setObjectName(QStringLiteral("Volume"));
  FVolume->setRange(0, 100);
  FVolume->setFixedWidth(110);
  FVolume->setFocusPolicy(Qt::NoFocus);
  FVolume->setToolTip(QStringLiteral("Volume"));
  buttons->addWidget(FVolume);
  button(TGlyph::FullScreen, QStringLiteral("Full screen (F11)"), [this] { ToggleFullScreen(); });
  outer->addLayout(buttons);
  column->addWidget(FControls);
  setCentralWidget(central);

  FPosition->setFocusPolicy(Qt::NoFocus);
  connect(FPosition, &QSlider::sliderMoved, this, [this](int value) {
    if (FPlayer && FOpen && FDuration > 0) FPlayer->SetPosition(FDuration * value / 1000.0);
  });
  connect(FVolume, &QSlider::valueChanged, this, [this](int value) {
    FMuted = false;
    FMuteButton->setIcon(Glyph(value == 0 ? TGlyph::Muted : TGlyph::Volume));
    ApplyVolume();
    FVolumeSave.start(500);  // once the slider rests, not at every step of a drag
  });
  FVolumeSave.setSingleShot(true);
  connect(&FVolumeSave, &QTimer::timeout, this, [this] { WriteInt(u"Volume", FVolume->value()); });

  FStatus = new QLabel(this);
  FStatus->setObjectName(QStringLiteral("Status"));
  statusBar()->addWidget(FStatus, 1);
  FResumeBox = new QWidget(this);
  auto* resumeRow = new QHBoxLayout(FResumeBox);
  resumeRow->setContentsMargins(0, 0, 0, 0);
  FResumeText = new QLabel(FResumeBox);
  auto* yes = new QPushButton(QStringLiteral("Resume"), FResumeBox);
  yes->setObjectName(QStringLiteral("ResumeYes"));
  auto* no = new QPushButton(QStringLiteral("Start over"), FResumeBox);
  no->setObjectName(QStringLiteral("ResumeNo"));
  for (QPushButton* b : {yes, no}) b->setFocusPolicy(Qt::NoFocus);
  resumeRow->addWidget(FResumeText);
  resumeRow->addWidget(yes);
  resumeRow->addWidget(no);
  statusBar()->addPermanentWidget(FResumeBox);
  FResumeBox->hide();
  connect(yes, &QPushButton::clicked, this, [this] {
    FResumeBox->hide();
    if (FPlayer && FOpen && FCurrent == FPendingResume) {
      FPlayer->SetPosition(FResumeAt);
      SetStatus(QStringLiteral("Resumed at %1").arg(FormatTime(FResumeAt)));
    }
  });
  connect(no, &QPushButton::clicked, this, [this] { FResumeBox->hide(); });
}

void TPlayerWindow::BuildMenus() {
  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  QAction* open = file->addAction(QStringLiteral("&Open File..."), this, [this] { PickFile(); });
  open->setShortcut(QKeySequence::Open);
  file->addAction(QStringLiteral("Open &URL..."), this, [this] {
    bool ok = false;
    QPointer<TPlayerWindow> alive(this);
    const QString url = QInputDialog::getText(this, QStringLiteral("Open URL"),
        QStringLiteral("Stream address (http://host:port/path or mdsf://host:port):"),
        QLineEdit::Normal, QStringLiteral("http://"), &ok);
    // The host may have stopped (and taken the window) while the dialog ran.
    if (alive && ok && !url.trimmed().isEmpty()) OpenMedia(url.trimmed());
  });
  FRecentMenu = file->addMenu(QStringLiteral("Open &Recent"));
  file->addAction(QStringLiteral("&Close"), this, [this] {
    if (FPlayer) FPlayer->CloseMedia();
  });
  file->addSeparator();
  file->addAction(QStringLiteral("&Quit"), this, [this] { Perform(MDA_SHUTDOWN); });

  QMenu* play = menuBar()->addMenu(QStringLiteral("&Playback"));
  play->addAction(QStringLiteral("Play / Pause"), this, [this] { Perform(FPlaying ? MDA_PAUSE : MDA_PLAY); });
  play->addAction(QStringLiteral("Stop"), this, [this] { Perform(MDA_STOP); });
  play->addAction(QStringLiteral("Seek Forward"), this, [this] { Perform(MDA_SEEK_FORWARD); });
  play->addAction(QStringLiteral("Seek Backward"), this, [this] { Perform(MDA_SEEK_BACKWARD); });

  QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
  view->addAction(QStringLiteral("&Full Screen\tF11"), this, [this] { ToggleFullScreen(); });
  view->addAction(QStringLiteral("&Control Panel"), this, [this] { Perform(MDA_SHOW_CONTROL_PANEL); });
}

void TPlayerWindow::PickFile() {
  QPointer<TPlayerWindow> alive(this);
  const QString file = QFileDialog::getOpenFileName(this, QStringLiteral("Open media"), QString(),
      QStringLiteral("Media (*.avi *.mp3 *.mp4 *.mkv *.webm *.ogg *.ogv *.oga *.wav *.flac *.mov *.m4a *.opus);;All files (*)"));
  // The host may have stopped (and taken the window) while the dialog ran.
  if (alive && !file.isEmpty()) OpenMedia(file);
}

void TPlayerWindow::Perform(int32_t code) {
  TMDMessage msg{};
  msg.Msg = MDM_ACTION;
  msg.Param1 = code;
  FKernel->HandleMessage(&msg);
}

void TPlayerWindow::OpenMedia(const QString& what) {
  if (FClosing) return;
  if (!FPlayer) {
    SetStatus(QStringLiteral("Cannot open \"%1\": no playback module is loaded (Modules/vidcore.so).").arg(ShortName(what)));
    return;
  }
  SavePosition(true);
  FResumeBox->hide();
  const bool stream = what.startsWith(QStringLiteral("http://"), Qt::CaseInsensitive) ||
                      what.startsWith(QStringLiteral("mdsf://"), Qt::CaseInsensitive);
  const QString target = stream ? what : QFileInfo(what).absoluteFilePath();
  if (!stream && !QFileInfo(target).isFile()) {
    SetStatus(QStringLiteral("Cannot open \"%1\": there is no such file.").arg(target));
    return;
  }
  if (FOpening) {
    SetStatus(QStringLiteral("Still opening %1; try again in a moment.").arg(ShortName(FCurrent)));
    return;
  }
  FOpen = false;
  FCurrent = target;
  FDuration = 0;
  FLastSaved = -1;
  const std::u16string text = target.toStdU16String();
  const HRESULT hr = stream ? FPlayer->OpenStream(text.c_str()) : FPlayer->OpenFile(text.c_str());
  Log(QStringLiteral("open %1 0x%2").arg(target).arg(static_cast<uint32_t>(hr), 0, 16));
  if (MD_FAILED(hr)) {
    FCurrent.clear();
    SetStatus(QStringLiteral("Could not open \"%1\": it cannot be played (not a media file we can decode, or not reachable).")
                  .arg(ShortName(target)));
    return;
  }
  FOpening = true;
  FFailed = false;
  SetStatus(QStringLiteral("Opening %1...").arg(ShortName(target)));
}

void TPlayerWindow::Notify(int32_t code) {
  Log(QStringLiteral("notify 0x") + QString::number(static_cast<uint32_t>(code), 16).toUpper());
  const QString name = ShortName(FCurrent);
  switch (code) {
    case MDN_OPENED: {
      FOpening = false;
      FOpen = true;
      setWindowTitle(QStringLiteral("%1 - Midavo").arg(name));
      AddRecent(FCurrent);
      const HRESULT hasVideo = FVideo ? FVideo->HasVideo() : E_FAIL;
      FHasVideo = hasVideo == S_OK;
      if (FHasVideo) {
        const HRESULT owned = FVideo->SetVideoOwner(static_cast<MDHANDLE>(FVideoView->winId()));
        // An owned video window does not show itself.
        const HRESULT shown = FVideo->SetVideoVisible(MD_TRUE);
        Log(QStringLiteral("video owner 0x%1 0x%2 0x%3").arg(FVideoView->winId(), 0, 16)
                .arg(static_cast<uint32_t>(owned), 0, 16).arg(static_cast<uint32_t>(shown), 0, 16));
        FVideoView->show();
        FIdleLabel->hide();
      } else {
        FVideoView->hide();
        FIdleLabel->setText(QStringLiteral("\u266A  %1").arg(name));
        FIdleLabel->show();
      }
      Log(QStringLiteral("has video 0x%1").arg(static_cast<uint32_t>(hasVideo), 0, 16));
      PlaceVideo();
      ApplyVolume();
      FPosition->setEnabled(true);
      SetStatus(QStringLiteral("Opened %1").arg(name));
      if (ReadSetting(u"ResumeFile") == FCurrent && ReadInt(u"OfferResume", 1) != 0)
        OfferResume(ReadInt(u"ResumePosition", 0) / 10.0);
      Perform(MDA_PLAY);
      break;
    }
    case MDN_OPEN_FAILED:
      FFailed = true;
      FOpening = false;
      FOpen = false;
      SetStatus(QStringLiteral("Could not open \"%1\": it cannot be played (not a media file we can decode, or not reachable).")
                    .arg(name));
      FCurrent.clear();
      SetPlayingLook(false);
      break;
    case MDN_PLAYING:
      SetPlayingLook(true);
      SetStatus(QStringLiteral("Playing %1").arg(name));
      if (!FShotPath.isEmpty()) {
        const QString dir = FShotPath;
        FShotPath.clear();
        QTimer::singleShot(3000, this, [this, dir] {
          if (QScreen* screen = QGuiApplication::primaryScreen())
            screen->grabWindow(winId()).save(dir + QStringLiteral("/player.png"));
          Perform(MDA_SHOW_CONTROL_PANEL);
        });
        QTimer::singleShot(4500, this, [this] {
          // Side by side: the player on the left, the control panel beside it.
          move(16, 16);
          for (QWidget* other : QApplication::topLevelWidgets())
            if (other != this && other->isVisible() && other->isWindow()) {
              other->move(frameGeometry().right() + 16, 16);
              // Show the bindings the player's keys follow.
              for (QTabWidget* tabs : other->findChildren<QTabWidget*>())
                for (int i = 0; i < tabs->count(); ++i)
                  if (tabs->tabText(i).remove(QLatin1Char('&')) == QStringLiteral("Controls")) tabs->setCurrentIndex(i);
            }
        });
        QTimer::singleShot(6000, this, [this, dir] {
          if (QScreen* screen = QGuiApplication::primaryScreen())
            screen->grabWindow(0).save(dir + QStringLiteral("/player-control-panel.png"));
          Log(QStringLiteral("shot ") + dir);
          Perform(MDA_SHUTDOWN);
        });
      }
      break;
    case MDN_PAUSED:
      SetPlayingLook(false);
      SetStatus(QStringLiteral("Paused at %1").arg(FormatTime(FPosSeconds)));
      SavePosition(true);
      break;
    case MDN_STOPPED:
      SetPlayingLook(false);
      SetStatus(QStringLiteral("Stopped"));
      break;
    case MDN_COMPLETE:
      SetPlayingLook(false);
      SetStatus(QStringLiteral("Finished %1").arg(name));
      if (FCurrent == ReadSetting(u"ResumeFile")) WriteInt(u"ResumePosition", 0);
      FLastSaved = 0;
      break;
    case MDN_CLOSED:
      FOpening = false;
      FOpen = false;
      FHasVideo = false;
      SetPlayingLook(false);
      FVideoView->hide();
      FIdleLabel->setText(QStringLiteral("Drop a file here, or open one from the File menu"));
      FIdleLabel->show();
      FPosition->setValue(0);
      FPosition->setEnabled(false);
      FTime->setText(QStringLiteral("0:00 / 0:00"));
      setWindowTitle(QStringLiteral("Midavo"));
      // A failed open is closed right after: its message is what the user needs to read.
      if (!FFailed) SetStatus(QStringLiteral("Closed"));
      break;
    default:
      break;
  }
}

void TPlayerWindow::Action(int32_t code) {
  Log(QStringLiteral("action 0x") + QString::number(static_cast<uint32_t>(code), 16).toUpper());
}

void TPlayerWindow::SetPlayingLook(bool playing) {
  FPlaying = playing;
  FPlayButton->setIcon(Glyph(playing ? TGlyph::Pause : TGlyph::Play));
}

void TPlayerWindow::SetStatus(const QString& text) {
  FStatus->setText(text);
  Log(QStringLiteral("status ") + text);
}

void TPlayerWindow::Tick() {
  if (!FPlayer || !FOpen) return;
  double position = 0, duration = 0;
  if (MD_FAILED(FPlayer->GetPosition(&position))) return;
  if (MD_FAILED(FPlayer->GetDuration(&duration))) duration = 0;
  FPosSeconds = position;
  FDuration = duration;
  if (FCurrent.contains(QStringLiteral("://"))) {
    // A stream has no length and cannot be sought.
    FPosition->setEnabled(false);
    FPosition->setValue(0);
    FTime->setText(QStringLiteral("live"));
  } else if (!FPosition->isSliderDown())
    FPosition->setValue(duration > 0 ? static_cast<int>(std::lround(1000.0 * position / duration)) : 0);
  if (!FCurrent.contains(QStringLiteral("://")))
    FTime->setText(duration > 0 ? FormatTime(position) + QStringLiteral(" / ") + FormatTime(duration)
                                : FormatTime(position));
  SavePosition(false);
  const qint64 now = QDateTime::currentMSecsSinceEpoch();
  if (!FLogPath.isEmpty() && now - FLastLogMs >= 1000) {
    FLastLogMs = now;
    Log(QStringLiteral("tick %1 %2 slider=%3 time=%4")
            .arg(position, 0, 'f', 1).arg(duration, 0, 'f', 1).arg(FPosition->value()).arg(FTime->text()));
  }
}

void TPlayerWindow::SavePosition(bool force) {
  // A stream has no place to come back to.
  if (!FOpen || FCurrent.isEmpty() || FCurrent.contains(QStringLiteral("://")) || !FSettings) return;
  const qint64 now = QDateTime::currentMSecsSinceEpoch();
  if (!force && now - FLastSaveMs < kSaveEveryMs) return;
  FLastSaveMs = now;
  if (std::abs(FPosSeconds - FLastSaved) < 0.05) return;
  FLastSaved = FPosSeconds;
  // Near the end there is nothing to resume.
  const bool atEnd = FDuration > 0 && FPosSeconds > FDuration - 2;
  WriteSetting(u"ResumeFile", FCurrent);
  WriteInt(u"ResumePosition", atEnd ? 0 : static_cast<int>(FPosSeconds * 10));
}

void TPlayerWindow::OfferResume(double seconds) {
  if (seconds < 3) return;
  FPendingResume = FCurrent;
  FResumeAt = seconds;
  FResumeText->setText(QStringLiteral("Resume from %1?").arg(FormatTime(seconds)));
  FResumeBox->show();
  FResumeTimer.start(20000);
  Log(QStringLiteral("offer resume %1").arg(seconds, 0, 'f', 1));
}

void TPlayerWindow::ApplyVolume() {
  if (!FPlayer || !FOpen) return;
  TComPtr<IBasicAudio> audio;
  if (MD_FAILED(FPlayer->QueryGraphInterface(&IID_IBasicAudio, audio.PutVoid())) || !audio) return;
  const int value = FMuted ? 0 : FVolume->value();
  // Hundredths of a decibel: the slider is a loudness scale, 0 is silence.
  const int32_t level = value <= 0 ? -10000
                                   : std::max(-10000, static_cast<int32_t>(std::lround(2000.0 * std::log10(value / 100.0))));
  const HRESULT hr = audio->put_Volume(level);
  Log(QStringLiteral("volume %1 0x%2").arg(level).arg(static_cast<uint32_t>(hr), 0, 16));
}

void TPlayerWindow::PlaceVideo() {
  const QSize area = FVideoArea->size();
  FIdleLabel->setGeometry(0, 0, area.width(), area.height());
  if (!FHasVideo || !FVideo) return;
  int32_t vw = 0, vh = 0;
  QRect target(QPoint(0, 0), area);
  if (MD_SUCCEEDED(FVideo->GetVideoSize(&vw, &vh)) && vw > 0 && vh > 0) {
    QSize fit = QSize(vw, vh).scaled(area, Qt::KeepAspectRatio);
    target = QRect(QPoint((area.width() - fit.width()) / 2, (area.height() - fit.height()) / 2), fit);
  }
  FVideoView->setGeometry(target);
  const HRESULT placed = FVideo->SetVideoPosition(0, 0, target.width(), target.height());
  Log(QStringLiteral("video at %1,%2 %3x%4 0x%5").arg(target.x()).arg(target.y()).arg(target.width())
          .arg(target.height()).arg(static_cast<uint32_t>(placed), 0, 16));
}

void TPlayerWindow::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  QTimer::singleShot(0, this, [this] { PlaceVideo(); });
}

void TPlayerWindow::ToggleFullScreen() {
  if (FFullScreen) {
    FFullScreen = false;
    showNormal();
    if (FNormalGeometry.isValid()) setGeometry(FNormalGeometry);
    menuBar()->show();
    statusBar()->show();
  } else {
    FFullScreen = true;
    FNormalGeometry = geometry();
    menuBar()->hide();
    statusBar()->hide();
    showFullScreen();
    // Without a window manager that honours the full screen state nothing resizes the window:
    // then it takes the screen itself.
    QTimer::singleShot(200, this, [this] {
      QScreen* where = screen();
      if (FFullScreen && where && geometry() != where->geometry()) setGeometry(where->geometry());
    });
  }
  QTimer::singleShot(400, this, [this] {
    Log(QStringLiteral("full screen %1 %2x%3").arg(FFullScreen ? QStringLiteral("on") : QStringLiteral("off"))
            .arg(width()).arg(height()));
  });
}

bool TPlayerWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == FVideoArea && event->type() == QEvent::Resize) {
    PlaceVideo();
    return false;
  }
  if (watched == FVideoArea && event->type() == QEvent::MouseButtonDblClick) {
    ToggleFullScreen();
    return true;
  }
  if (event->type() != QEvent::KeyPress) return false;
  auto* widget = qobject_cast<QWidget*>(watched);
  if (!widget || widget->window() != this) return false;
  auto* key = static_cast<QKeyEvent*>(event);
  if (key->key() == Qt::Key_F11 || (key->key() == Qt::Key_Escape && FFullScreen)) ToggleFullScreen();
  TMDKeyDown down;
  if (MDTranslateKeyPress(key, &down) && down.Message == MD_WM_KEYDOWN && FInput) {
    Log(QStringLiteral("key %1").arg(down.VirtualKey));
    FInput->HandleInput(down.VirtualKey, down.Flags);
  }
  return true;
}

void TPlayerWindow::closeEvent(QCloseEvent* event) {
  // The window is the player: closing it ends the program, in order, through the kernel.
  event->ignore();
  if (FClosing) return;
  FClosing = true;
  SavePosition(true);
  WriteSetting(u"Geometry", QString::fromLatin1(saveGeometry().toBase64()));
  Log(QStringLiteral("close"));
  Perform(MDA_SHUTDOWN);
}

void TPlayerWindow::Shutdown() {
  FClosing = true;
  FTimer.stop();
  if (FVolumeSave.isActive()) {
    FVolumeSave.stop();
    WriteInt(u"Volume", FVolume->value());
  }
  SavePosition(true);
  WriteSetting(u"Geometry", QString::fromLatin1(saveGeometry().toBase64()));
  if (FPlayer) FPlayer->CloseMedia();
  FPlayer.Reset();
  FVideo.Reset();
}

void TPlayerWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls() || event->mimeData()->hasText()) event->acceptProposedAction();
}

void TPlayerWindow::dropEvent(QDropEvent* event) {
  const QMimeData* data = event->mimeData();
  QString what;
  if (data->hasUrls() && !data->urls().isEmpty()) {
    const QUrl url = data->urls().first();
    what = url.isLocalFile() ? url.toLocalFile() : url.toString();
  } else if (data->hasText()) {
    what = data->text().trimmed();
  }
  if (what.isEmpty()) return;
  event->acceptProposedAction();
  OpenMedia(what);
}

void TPlayerWindow::AddRecent(const QString& what) {
  FRecent.removeAll(what);
  FRecent.prepend(what);
  while (FRecent.size() > kRecentMax) FRecent.removeLast();
  for (int i = 0; i < FRecent.size(); ++i) {
    const std::u16string key = QStringLiteral("Recent%1").arg(i + 1).toStdU16String();
    if (ReadSetting(key.c_str()) != FRecent[i]) WriteSetting(key.c_str(), FRecent[i]);
  }
  RebuildRecentMenu();
}

void TPlayerWindow::RebuildRecentMenu() {
  FRecentMenu->clear();
  for (const QString& item : FRecent)
    FRecentMenu->addAction(ShortName(item), this, [this, item] { OpenMedia(item); })->setToolTip(item);
  if (FRecent.isEmpty()) FRecentMenu->addAction(QStringLiteral("(none)"))->setEnabled(false);
  else {
    FRecentMenu->addSeparator();
    FRecentMenu->addAction(QStringLiteral("Clear list"), this, [this] {
      FRecent.clear();
      for (int i = 0; i < kRecentMax; ++i) {
        const std::u16string key = QStringLiteral("Recent%1").arg(i + 1).toStdU16String();
        if (!ReadSetting(key.c_str()).isEmpty()) WriteSetting(key.c_str(), QString());
      }
      RebuildRecentMenu();
    });
  }
}

QString TPlayerWindow::ReadSetting(const char16_t* key, const QString& def) {
  if (!FSettings) return def;
  const std::u16string d = def.toStdU16String();
  const char16_t* value = nullptr;
  FSettings->ReadString(kSection, key, d.c_str(), &value);
  return value ? QString::fromStdU16String(value) : def;
}

void TPlayerWindow::WriteSetting(const char16_t* key, const QString& value) {
  if (FSettings) FSettings->WriteString(kSection, key, value.toStdU16String().c_str());
}

int TPlayerWindow::ReadInt(const char16_t* key, int def) {
  int32_t value = def;
  if (FSettings) FSettings->ReadInteger(kSection, key, def, &value);
  return value;
}

void TPlayerWindow::WriteInt(const char16_t* key, int value) {
  if (FSettings) FSettings->WriteInteger(kSection, key, value);
}

QString TPlayerWindow::FormatTime(double seconds) {
  const qint64 s = std::max<qint64>(0, static_cast<qint64>(seconds));
  if (s >= 3600)
    return QStringLiteral("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
  return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString TPlayerWindow::ShortName(const QString& what) {
  if (what.contains(QStringLiteral("://"))) return what;
  return QFileInfo(what).fileName();
}

void TPlayerWindow::Log(const QString& line) {
  if (FLogPath.isEmpty()) return;
  QFile file(FLogPath);
  if (!file.open(QIODevice::Append | QIODevice::Text)) return;
  QTextStream(&file) << line << '\n';
}
