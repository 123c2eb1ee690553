#include "window/WindowDesktop.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Return_Button.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/Exceptions.h"

namespace velmora {
namespace {

// FLTK treats "\n" as the line break; the program's texts use CR LF.
std::string WithLineFeeds(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') continue;
      out += '\n';
      continue;
    }
    out += text[i];
  }
  return out;
}

// A one-line field keeps only the first line of what was put into it (as a
// pasted text with line breaks would be cut by a one-line edit control), so a
// typed value can never add lines to the profile file it is written to.
std::string FirstLine(const char* value) {
  std::string text = value ? value : "";
  size_t end = text.find_first_of("\r\n");
  if (end != std::string::npos) text.resize(end);
  return text;
}

// The FLTK font index for a family name (fontconfig matches it to an
// installed face). FLTK keeps the name pointer, so the names live as long as
// the process.
Fl_Font FontNamed(const std::string& family) {
  static std::deque<std::string> names;
  static std::map<std::string, Fl_Font> fonts;
  static Fl_Font next = FL_FREE_FONT;
  auto found = fonts.find(family);
  if (found != fonts.end()) return found->second;
  names.push_back(" " + family);  // leading blank: regular weight, upright
  Fl::set_font(next, names.back().c_str());
  fonts[family] = next;
  return next++;
}

// A text drawn as given: FLTK's "@" symbols and "&" shortcuts stay plain
// characters. With autoSize, the box takes the size of its text (one line per
// line break, no wrapping); otherwise the text wraps inside the box.
class TextBox : public Fl_Box {
 public:
  TextBox(int x, int y, int w, int h, const std::string& text, bool autoSize)
      : Fl_Box(x, y, w, h), text_(WithLineFeeds(text)), autoSize_(autoSize) {
    box(FL_NO_BOX);
  }
  // Resizes to the text in the current label font (autoSize only).
  void FitText() {
    if (!autoSize_) return;
    fl_font(labelfont(), labelsize());
    int w = 0, h = 0;
    fl_measure(text_.c_str(), w, h, 0);
    size(w, h);
  }
  void draw() override {
    fl_font(labelfont(), labelsize());
    fl_color(labelcolor());
    Fl_Align align = FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_CLIP;
    if (!autoSize_) align |= FL_ALIGN_WRAP;
    fl_draw(text_.c_str(), x(), y(), w(), h(), align, nullptr, 0);
  }

 private:
  std::string text_;
  bool autoSize_;
};

// A push button that a focused Enter presses too, as desktop buttons do.
class PushButton : public Fl_Button {
 public:
  using Fl_Button::Fl_Button;
  int handle(int event) override {
    if (event == FL_KEYBOARD && Fl::focus() == this &&
        (Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter)) {
      do_callback();
      return 1;
    }
    return Fl_Button::handle(event);
  }
};

void PlaceCentred(Fl_Window& window) {
  int sx = 0, sy = 0, sw = 0, sh = 0;
  Fl::screen_xywh(sx, sy, sw, sh, 0);
  window.position(sx + (sw - window.w()) / 2, sy + (sh - window.h()) / 2);
}

// Shows `window` modally and waits until it is hidden.
void RunModal(Fl_Window& window) {
  window.set_modal();
  window.show();
  while (window.shown()) Fl::wait();
  Fl::flush();
}

std::string ProgramCaption() {
  const char* name = program_invocation_short_name;
  return name && *name ? name : "velmora";
}

// The message box: the text, one OK button (Enter, Esc and closing the
// window close it too), no icon, centred, fixed size.
class MessageWindow : public Fl_Double_Window {
 public:
  explicit MessageWindow(const std::string& text) : Fl_Double_Window(100, 100), caption_(ProgramCaption()) {
    constexpr int kMargin = 20, kMaxTextWidth = 440, kButtonW = 77, kButtonH = 27;
    fl_font(FL_HELVETICA, 14);
    int tw = kMaxTextWidth, th = 0;
    std::string shown = WithLineFeeds(text);
    fl_measure(shown.c_str(), tw, th, 0);
    tw = std::max(tw, 160);
    th = std::max(th, fl_height());
    int width = tw + 2 * kMargin;
    int height = kMargin + th + kMargin + kButtonH + 12;
    size(width, height);
    begin();
    auto* textBox = new TextBox(kMargin, kMargin, tw + 2, th + 2, text, false);
    textBox->labelfont(FL_HELVETICA);
    textBox->labelsize(14);
    textBox->labelcolor(FL_BLACK);
    auto* ok =
        new Fl_Return_Button(width - kMargin - kButtonW, height - 12 - kButtonH, kButtonW, kButtonH, "OK");
    ok->callback([](Fl_Widget*, void* data) { static_cast<Fl_Window*>(data)->hide(); }, this);
    end();
    label(caption_.c_str());
    size_range(width, height, width, height);
    callback([](Fl_Widget* w, void*) { w->hide(); });
    PlaceCentred(*this);
  }

 private:
  std::string caption_;
};

// How long the X server may take to accept the program's connection.
constexpr int kDisplayOpenSeconds = 15;

// XOpenDisplay on a helper thread, given up after `seconds`: a display on an
// unreachable host, or a server that accepts but never answers, would block
// the run without end. A connection given up on is closed by the helper
// when it finally returns.
Display* OpenDisplayWithin(int seconds) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    Display* display = nullptr;
  };
  auto shared = std::make_shared<Shared>();
  std::thread helper;
  try {
    helper = std::thread([shared] {
      Display* display = XOpenDisplay(nullptr);
      std::lock_guard<std::mutex> lock(shared->mutex);
      if (shared->abandoned) {
        if (display != nullptr) XCloseDisplay(display);
        return;
      }
      shared->display = display;
      shared->finished = true;
      shared->done.notify_one();
    });
  } catch (const std::system_error&) {
    return nullptr;  // no thread to wait with: no display
  }
  helper.detach();
  std::unique_lock<std::mutex> lock(shared->mutex);
  if (!shared->done.wait_for(lock, std::chrono::seconds(seconds), [&] { return shared->finished; })) {
    shared->abandoned = true;
    return nullptr;
  }
  return shared->display;
}

class WindowDesktop : public Desktop {
 public:
  void ShowMessage(const std::string& text) override {
    if (!OpenWindowDisplay()) return Fallback().ShowMessage(text);
    MessageWindow window(text);
    RunModal(window);
  }
  void ShowPrompt(PromptForm& form) override {
    if (!OpenWindowDisplay()) return Fallback().ShowPrompt(form);
    TQorIn2Form dialog(form);
    dialog.ShowModal();
    form.edit1 = dialog.Edit1Text();
    form.edit2 = dialog.Edit2Text();
    form.esito = dialog.Esito();
  }

 private:
  // The platform's own choice: the terminal when there is one, else silent.
  Desktop& Fallback() {
    if (!fallback_) fallback_ = MakeTerminalDesktop();
    if (!fallback_) fallback_ = MakeSilentDesktop();
    return *fallback_;
  }
  std::unique_ptr<Desktop> fallback_;
};

}  // namespace

struct TQorIn2Form::Window : public Fl_Double_Window {
  explicit Window(const PromptForm& form)
      : Fl_Double_Window(kQorIn2ClientWidth, kQorIn2ClientHeight), caption(form.caption) {
    Fl_Font font = FontNamed(form.fontName);
    int size = form.fontPixels > 0 ? form.fontPixels : 13;
    auto styled = [&](Fl_Widget* w) {
      w->labelfont(font);
      w->labelsize(size);
      w->labelcolor(FL_BLACK);
    };
    begin();
    // Creation order is the tab order: Edit2, OKBtn, CancelBtn, Edit1 (the
    // bevel and the label take no focus).
    const FormRect& b = kQorIn2Bevel1;
    Bevel1 = new Fl_Box(FL_ENGRAVED_FRAME, b.left, b.top, b.width, b.height, nullptr);
    const FormRect& l = kQorIn2Label1;
    Label1 = new TextBox(l.left, form.labelTop, l.width, l.height, form.label, true);
    styled(Label1);
    Label1->FitText();
    const FormRect& e2 = kQorIn2Edit2;
    Edit2 = new Fl_Input(e2.left, e2.top, e2.width, e2.height);
    const FormRect& ok = kQorIn2OKBtn;
    OKBtn = new Fl_Return_Button(ok.left, ok.top, ok.width, ok.height, "OK");
    const FormRect& c = kQorIn2CancelBtn;
    CancelBtn = new PushButton(c.left, c.top, c.width, c.height, "Cancel");
    const FormRect& e1 = kQorIn2Edit1;
    Edit1 = new Fl_Input(e1.left, e1.top, e1.width, e1.height);
    end();
    for (Fl_Input* edit : {Edit1, Edit2}) {
      styled(edit);
      edit->textfont(font);
      edit->textsize(size);
      edit->textcolor(FL_BLACK);
    }
    Edit1->value(form.edit1.c_str());
    Edit2->value(form.edit2.c_str());
    styled(OKBtn);
    styled(CancelBtn);
    CancelBtn->shortcut(FL_Escape);
    OKBtn->callback([](Fl_Widget*, void* data) { static_cast<Window*>(data)->Close(1); }, this);
    CancelBtn->callback([](Fl_Widget*, void* data) { static_cast<Window*>(data)->Close(2); }, this);
    // The window's own callback runs for Esc (when no button took it) and
    // for the close box of the title bar, which leaves Esito at 0.
    callback(
        [](Fl_Widget*, void* data) {
          auto* self = static_cast<Window*>(data);
          bool escape = Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape;
          self->Close(escape ? 2 : self->esito);
        },
        this);
    label(caption.c_str());
    color(FL_BACKGROUND_COLOR);
    size_range(kQorIn2ClientWidth, kQorIn2ClientHeight, kQorIn2ClientWidth, kQorIn2ClientHeight);
  }

  void Close(uint16_t outcome) {
    esito = outcome;
    hide();
  }

  // Moves the focus to Edit1 with its text selected, as a field entered by
  // the keyboard shows it.
  bool FocusEdit1() {
    if (!Edit1->take_focus()) return false;
    Edit1->position(Edit1->size(), 0);
    return true;
  }

  // The window becoming active moves the focus to Edit1.
  int handle(int event) override {
    if (event == FL_FOCUS && FocusEdit1()) return 1;
    return Fl_Double_Window::handle(event);
  }

  Fl_Return_Button* OKBtn = nullptr;
  PushButton* CancelBtn = nullptr;
  Fl_Box* Bevel1 = nullptr;
  TextBox* Label1 = nullptr;
  Fl_Input* Edit2 = nullptr;
  Fl_Input* Edit1 = nullptr;
  uint16_t esito = 0;
  std::string caption;
};

TQorIn2Form::TQorIn2Form(const PromptForm& form) {
  // FLTK would end the process when it had to open the display itself.
  if (!OpenWindowDisplay()) {
    const char* name = std::getenv("DISPLAY");
    throw Exception(std::string("Cannot open display: ") + (name ? name : ""));
  }
  window_ = std::make_unique<Window>(form);
}

TQorIn2Form::~TQorIn2Form() = default;

void TQorIn2Form::ShowModal() {
  window_->esito = 0;
  PlaceCentred(*window_);
  window_->set_modal();
  window_->show();
  window_->FocusEdit1();
  while (window_->shown()) Fl::wait();
  Fl::flush();
}

uint16_t TQorIn2Form::Esito() const { return window_->esito; }
std::string TQorIn2Form::Edit1Text() const { return FirstLine(window_->Edit1->value()); }
std::string TQorIn2Form::Edit2Text() const { return FirstLine(window_->Edit2->value()); }

bool OpenWindowDisplay() {
  static const bool open = [] {
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') return false;
    // Opened here first, because FLTK's own opening ends the process when
    // the display cannot be reached.
    Display* display = OpenDisplayWithin(kDisplayOpenSeconds);
    if (display == nullptr) return false;
    fl_open_display(display);
    return true;
  }();
  return open;
}

std::unique_ptr<Desktop> MakeWindowDesktop() { return std::make_unique<WindowDesktop>(); }

void InstallWindowDesktop() { SetDefaultDesktop(MakeWindowDesktop()); }

}  // namespace velmora
