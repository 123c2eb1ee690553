// The desktop seam: the modal message box and the two-field prompt window.
// The process has one current desktop: a window when a display can be
// opened, else a text dialog on the controlling terminal, else a silent one
// that writes message texts to standard error and closes every prompt
// unanswered. Tests install a scripted desktop with DesktopOverride.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace velmora {

// What the prompt window shows and what the user left in it. The defaults
// are the stored form; the caller changes texts before showing it.
struct PromptForm {
  std::string caption = "Dialog";
  std::string label = "Inserisci data e numero:";  // may hold CR LF
  int labelTop = 32;
  std::string edit1 = "Edit1";  // tab order 3; focus on activation
  std::string edit2;            // tab order 0
  std::string fontName = "Tahoma";
  int fontPixels = 13;
  // 0 until a button is pressed (also after closing the window), 1 after OK
  // (or Enter), 2 after Cancel (or Esc).
  uint16_t esito = 0;
};

class Desktop {
 public:
  virtual ~Desktop() = default;
  // Shows `text` with one OK button, no icon, centred; returns when closed.
  virtual void ShowMessage(const std::string& text) = 0;
  // Shows `form` modally; on return edit1, edit2 and esito hold the outcome.
  virtual void ShowPrompt(PromptForm& form) = 0;
};

// The process's current desktop (chosen on first use when none was set).
Desktop& CurrentDesktop();

// Makes `desktop` the current one from now on (the windowed desktop of a
// higher layer registers itself through this); nullptr restores the choice.
void SetDefaultDesktop(std::unique_ptr<Desktop> desktop);

// The terminal and silent forms, for the choice above and for tests.
std::unique_ptr<Desktop> MakeTerminalDesktop();  // nullptr without a terminal
std::unique_ptr<Desktop> MakeSilentDesktop();

// While alive, CurrentDesktop() returns `desktop` (not owned).
class DesktopOverride {
 public:
  explicit DesktopOverride(Desktop& desktop);
  ~DesktopOverride();
  DesktopOverride(const DesktopOverride&) = delete;
  DesktopOverride& operator=(const DesktopOverride&) = delete;

 private:
  Desktop* previous_;
};

}  // namespace velmora
