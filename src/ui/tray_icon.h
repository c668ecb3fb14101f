// The activity indicator: the model of a notification-area icon (shown
// flag, add then modify, remove only when shown) and the main form's blink
// around it (SwapIcons starts a 200 ms activity picture, Timer1_Timer ends
// it). There is no notification area here: the browser pages show the
// icon's face in their headers and poll its state.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/timer.h"

namespace tagvane {

// The two pictures (html/Tagvane/images/indicator_idle.gif and
// indicator_active.gif).
enum class TrayPicture { kNone = 0, kNormal = 1, kActivity = 2 };

// What the icon last asked of a shell. Only the last one is kept: the
// icon runs for months and blinks many times a second.
struct NotifyCall {
  int operation = 0;  // 0 add, 1 modify, 2 delete
  TrayPicture picture = TrayPicture::kNone;
  std::string tip;
};

class TrayIcon {
 public:
  static constexpr int kAdd = 0;
  static constexpr int kModify = 1;
  static constexpr int kDelete = 2;
  // Mouse messages that reach the callback: left and right buttons down,
  // up and double-click.
  static constexpr int kFirstButtonMessage = 513;
  static constexpr int kLastButtonMessage = 518;

  // The caption is the tip (at most 63 characters are kept, as the record's
  // 64-character field holds).
  void SetCaption(std::string caption);
  const std::string& Caption() const { return caption_; }
  void SetCallback(std::function<void(int)> target) { callback_ = std::move(target); }
  // show: add (first time) or modify with picture; !show: delete when shown.
  void Update(bool show, TrayPicture picture);
  // A mouse message from the shell; buttons only, one at a time.
  void MouseEvent(int message);

  bool Shown() const { return shown_; }
  TrayPicture Picture() const { return shown_ ? picture_ : TrayPicture::kNone; }
  // The last call made, and how many were made in all.
  const NotifyCall& LastCall() const { return last_call_; }
  uint64_t CallCount() const { return call_count_; }

 private:
  void Notify(int operation, TrayPicture picture);

  std::string caption_;
  std::function<void(int)> callback_;
  TrayPicture picture_ = TrayPicture::kNone;
  bool shown_ = false;
  bool in_callback_ = false;
  NotifyCall last_call_;
  uint64_t call_count_ = 0;
};

// The main form's part: Image1/Image2, Timer1 and the blink.
class ActivityIndicator {
 public:
  static constexpr int kBlinkMs = 200;

  explicit ActivityIndicator(TimerService& timers);

  // Tray set-up, the last step of start-up: caption "RFID " + location,
  // then the normal picture through Timer1_Timer.
  void SetUp(const std::string& caption);
  // Starts (or restarts) a blink: the activity picture for 200 ms.
  void SwapIcons();
  // Ends a blink: back to the normal picture, Timer1 off.
  void Timer1_Timer();
  // A new tip (the settings were read again); the icon shows it at once.
  void SetCaption(const std::string& caption);
  // Shut-down: the icon goes.
  void Remove() { tray_.Update(false, TrayPicture::kNone); }
  // The menu pops up on a left or right button release.
  void TrayIconCallback(int message);

  TrayIcon& Tray() { return tray_; }
  const TrayIcon& Tray() const { return tray_; }
  bool Active() const { return tray_.Picture() == TrayPicture::kActivity; }
  // Blinks started so far; a page that polls slower than a blink lasts
  // still sees that one happened.
  uint64_t Blinks() const { return blinks_; }
  uint64_t MenuPopups() const { return menu_popups_; }

 private:
  TrayIcon tray_;
  Timer timer1_;
  uint64_t blinks_ = 0;
  uint64_t menu_popups_ = 0;
};

}  // namespace tagvane
