// UPlayerWindow.h - the player's main window.
//
// A video area, a control bar (play/pause, stop, seek back and forward, a position slider with
// elapsed and total time, volume) and a status line that says what the playback module
// reported. Every key press inside the window goes to the kernel's IMDInputSink as a Windows
// key-down message (UMDQtKeys.h), so the bindings of the Controls page work here; the buttons
// perform the same actions by posting MDM_ACTION. Opening goes straight to IMDPlayer (the
// playback module wants OpenFile on the thread that serves the graph's events: this one).
//
// What the window remembers lives in the settings section "PlayerWindow": Recent1..Recent10,
// Geometry, Volume (0..100), ResumeFile and ResumePosition (tenths of a second, saved every few
// seconds while playing and when the window goes), OfferResume, and OpenAtStart (a file opened
// once at start and then cleared: the run folder's first start opens the demo clip with it).
//
// Test hook: MIDAVO_PLAYERWIN_LOG names a file the window appends what it shows to ("status
// ...", "notify 0xFA04", "tick <position> <duration> slider=<0..1000> time=<text>", ...).
// MIDAVO_PLAYERWIN_SHOT names a folder: a few seconds into playing the window saves itself there
// (player.png), shows the control panel beside it, saves the screen (player-control-panel.png)
// and shuts the host down.
//
// Threads: everything runs on the host's main thread; the module hands notifications over with
// queued calls (Notify, Action).
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include "UMDBase.h"

class QLabel;
class QSlider;
class QToolButton;
class QPushButton;
class QMenu;
class QWidget;

class TPlayerWindow final : public QMainWindow {
 public:
  TPlayerWindow(IMDKernel* kernel, IMDPlayer* player, IMDVideo* video);
  ~TPlayerWindow() override;

  // A notification (MDN_*) or an action the kernel broadcast; main thread.
  void Notify(int32_t code);
  void Action(int32_t code);
  // Opens a local file or a stream URL (http://, mdsf://).
  void OpenMedia(const QString& what);
  // Saves what the window remembers and lets go of the playback module (the host stops).
  void Shutdown();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void BuildUi();
  void BuildMenus();
  void PickFile();
  void Perform(int32_t code);
  void SetStatus(const QString& text);
  void Tick();
  void PlaceVideo();
  void ApplyVolume();
  void SavePosition(bool force);
  void AddRecent(const QString& what);
  void RebuildRecentMenu();
  void OfferResume(double seconds);
  void ToggleFullScreen();
  void SetPlayingLook(bool playing);
  QString ReadSetting(const char16_t* key, const QString& def = {});
  void WriteSetting(const char16_t* key, const QString& value);
  int ReadInt(const char16_t* key, int def);
  void WriteInt(const char16_t* key, int value);
  static QString FormatTime(double seconds);
  static QString ShortName(const QString& what);
  void Log(const QString& line);

  IMDKernel* FKernel;
  TComPtr<IMDPlayer> FPlayer;
  TComPtr<IMDVideo> FVideo;
  TComPtr<IMDSettings> FSettings;
  TComPtr<IMDInputSink> FInput;

  QWidget* FVideoArea = nullptr;   // black backdrop, drop target
  QWidget* FVideoView = nullptr;   // native child the picture is drawn into
  QLabel* FIdleLabel = nullptr;    // shown in the backdrop while there is no picture
  QWidget* FControls = nullptr;
  QToolButton* FPlayButton = nullptr;
  QToolButton* FMuteButton = nullptr;
  QSlider* FPosition = nullptr;
  QSlider* FVolume = nullptr;
  QLabel* FTime = nullptr;
  QLabel* FStatus = nullptr;
  QWidget* FResumeBox = nullptr;
  QLabel* FResumeText = nullptr;
  QMenu* FRecentMenu = nullptr;
  QTimer FTimer;
  QTimer FResumeTimer;
  QTimer FVolumeSave;

  QRect FNormalGeometry;     // before full screen
  QString FCurrent;          // what is open (or opening), "" for nothing
  QString FPendingResume;    // the file the resume offer is about
  double FResumeAt = 0;
  QStringList FRecent;
  double FDuration = 0;
  double FPosSeconds = 0;
  double FLastSaved = -1;
  qint64 FLastSaveMs = 0;
  qint64 FLastLogMs = 0;
  bool FOpen = false;
  bool FOpening = false;
  bool FFailed = false;   // the last open failed  // between a successful OpenFile/OpenStream and its outcome
  bool FPlaying = false;
  bool FHasVideo = false;
  bool FClosing = false;
  bool FMuted = false;
  bool FFullScreen = false;
  QString FShotPath;
  QString FLogPath;
};
