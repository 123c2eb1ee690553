// The windowed desktop: the two-field dialog TQorIn2Form and the message box
// as FLTK windows on the X display. Only the programs that may show a window
// link this library (the run and its window test); the database layer talks
// to the user through CurrentDesktop() alone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Desktop.h"

namespace velmora {

// A rectangle of the dialog's client area, in pixels.
struct FormRect {
  int left;
  int top;
  int width;
  int height;
};

// The stored layout of TQorIn2Form.
inline constexpr int kQorIn2ClientWidth = 329;
inline constexpr int kQorIn2ClientHeight = 148;
inline constexpr FormRect kQorIn2Bevel1{8, 8, 313, 89};
inline constexpr FormRect kQorIn2Label1{13, 32, 140, 16};  // grows to fit its text
inline constexpr FormRect kQorIn2Edit1{24, 56, 129, 24};
inline constexpr FormRect kQorIn2Edit2{168, 56, 127, 24};
inline constexpr FormRect kQorIn2OKBtn{93, 108, 77, 27};
inline constexpr FormRect kQorIn2CancelBtn{177, 108, 77, 27};

// The dialog window; creating it opens the display (OpenWindowDisplay) and
// raises Exception "Cannot open display: <$DISPLAY>" when there is none.
// The texts, label position, font and field contents come from `form`; the
// layout above is fixed. Keyboard: Tab runs Edit2, OKBtn, CancelBtn, Edit1;
// Enter anywhere is OK; Esc is Cancel. Whenever the window becomes active
// the focus moves to Edit1.
class TQorIn2Form {
 public:
  explicit TQorIn2Form(const PromptForm& form);
  ~TQorIn2Form();
  TQorIn2Form(const TQorIn2Form&) = delete;
  TQorIn2Form& operator=(const TQorIn2Form&) = delete;

  // Shows the window centred on the screen and returns when it is closed:
  // Esito is then 1 (OK or Enter), 2 (Cancel or Esc) or 0 (closed by the
  // window manager).
  void ShowModal();
  uint16_t Esito() const;
  std::string Edit1Text() const;
  std::string Edit2Text() const;

 private:
  struct Window;
  std::unique_ptr<Window> window_;
};

// Opens the X display named by $DISPLAY for FLTK, once per process; true
// when it is open. Without $DISPLAY, when the display cannot be opened, or
// when its server has not answered within 15 seconds, returns false and FLTK
// is never touched (no exit, no endless wait).
bool OpenWindowDisplay();

// The windowed desktop: message boxes and the prompt as FLTK windows when
// OpenWindowDisplay() succeeds on first use; otherwise every call goes to
// the terminal desktop when there is a terminal, else to the silent one.
std::unique_ptr<Desktop> MakeWindowDesktop();

// Registers MakeWindowDesktop() as the process's desktop. The program's main
// calls it once at start, before anything can show a message. Opening the
// display is deferred to the first message or prompt, so runs that show
// none never connect to a display.
void InstallWindowDesktop();

}  // namespace velmora
