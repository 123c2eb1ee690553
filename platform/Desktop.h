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

// The process's current desktop: the one of a live DesktopOverride, else the
// one set by SetDefaultDesktop, else chosen on first use (terminal when both
// a controlling terminal and a terminal on standard input exist, silent
// otherwise) and kept for the rest of the process.
Desktop& CurrentDesktop();

// Makes `desktop` the current one from now on (the windowed desktop of a
// higher layer registers itself through this); nullptr restores the choice.
// A reference from CurrentDesktop() to a replaced desktop becomes invalid.
void SetDefaultDesktop(std::unique_ptr<Desktop> desktop);

// The terminal desktop talks on /dev/tty (UTF-8). It is chosen on first use
// only when standard input is a terminal as well, so a run started by
// another program never waits for an answer.
//  - Message: a blank line, the text, then "[OK] "; Enter (or Ctrl-D)
//    closes it.
//  - Prompt: a blank line, "== caption ==", the label, a hint line, then one
//    question per field, Edit1 first (it has the focus on activation), then
//    Edit2: "Campo 1: " and "Campo 2: ", with the field's current text in
//    brackets when it has one ("Campo 1 [srv]: "). The typed line, taken
//    as typed, becomes the field's text; Enter alone keeps the current text
//    (an empty field stays empty). Answering both questions is OK (esito 1).
//    A line of only Esc, or Ctrl-D on an empty line, is Cancel (esito 2) and
//    leaves both fields unchanged. When the terminal fails (hung up) the
//    prompt counts as closed: esito 0, fields unchanged.
// Returns nullptr when the process has no controlling terminal.
std::unique_ptr<Desktop> MakeTerminalDesktop();

// The silent desktop: each message is written to standard error as one line
// (its line breaks become blanks); every prompt stays closed unanswered
// (esito 0, fields unchanged).
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
