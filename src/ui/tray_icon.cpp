#include "ui/tray_icon.h"

namespace tagvane {

void TrayIcon::SetCaption(std::string caption) {
  if (caption.size() > 63) caption.resize(63);
  caption_ = std::move(caption);
}

void TrayIcon::Update(bool show, TrayPicture picture) {
  if (show) {
    picture_ = picture;
    Notify(shown_ ? kModify : kAdd, picture);
    shown_ = true;
    return;
  }
  if (shown_) Notify(kDelete, TrayPicture::kNone);
  shown_ = false;
}

void TrayIcon::Notify(int operation, TrayPicture picture) {
  last_call_.operation = operation;
  last_call_.picture = picture;
  last_call_.tip = caption_;  // reuses the string's storage
  ++call_count_;
}

void TrayIcon::MouseEvent(int message) {
  if (in_callback_) return;
  in_callback_ = true;
  if (message >= kFirstButtonMessage && message <= kLastButtonMessage && callback_) {
    try {
      callback_(message);
    } catch (...) {
      // A failing callback must not leave the guard set.
    }
  }
  in_callback_ = false;
}

ActivityIndicator::ActivityIndicator(TimerService& timers) : timer1_(timers) {
  timer1_.SetOnTick([this] { Timer1_Timer(); });
}

void ActivityIndicator::SetUp(const std::string& caption) {
  tray_.SetCaption(caption);
  tray_.SetCallback([this](int message) { TrayIconCallback(message); });
  Timer1_Timer();
}

void ActivityIndicator::SetCaption(const std::string& caption) {
  tray_.SetCaption(caption);
  if (tray_.Shown()) tray_.Update(true, tray_.Picture());
}

void ActivityIndicator::SwapIcons() {
  ++blinks_;
  timer1_.SetInterval(kBlinkMs);
  timer1_.SetEnabled(true);
  tray_.Update(true, TrayPicture::kActivity);
}

void ActivityIndicator::Timer1_Timer() {
  tray_.Update(true, TrayPicture::kNormal);
  timer1_.SetEnabled(false);
}

void ActivityIndicator::TrayIconCallback(int message) {
  // 514 left button up, 517 right button up: the menu. Here the menu is
  // always on the page, so this only counts the requests.
  if (message == 514 || message == 517) ++menu_popups_;
}

}  // namespace tagvane
