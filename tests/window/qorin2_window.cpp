// Shows the prompt and the message box on the X display of $DISPLAY so a
// test can drive them with xdotool. Prints "window" (or "no window" when the
// display cannot be opened) first, then the outcome, one line each.
//   qorin2_window chiedi <dir>    ChiediServer on <dir>: "server=...", "drive=..."
//   qorin2_window prompt          the stored form: "esito=...", "edit1=...", "edit2=..."
//   qorin2_window message <text>  a message box: "closed"
#include <cstdio>
#include <string>

#include "archive/Qorin2.h"
#include "platform/Exceptions.h"
#include "window/WindowDesktop.h"

namespace {

void Line(const std::string& text) {
  std::fputs((text + "\n").c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace velmora;
  std::string mode = argc > 1 ? argv[1] : "";
  if ((mode == "chiedi" || mode == "message") && argc < 3) mode.clear();
  if (mode != "chiedi" && mode != "prompt" && mode != "message") {
    std::fputs("usage: qorin2_window chiedi <dir> | prompt | message <text>\n", stderr);
    return 2;
  }
  Line(OpenWindowDisplay() ? "window" : "no window");
  InstallWindowDesktop();
  try {
    if (mode == "chiedi") {
      ServerLocation location = ChiediServer(argv[2]);
      Line("server=" + location.serverName);
      Line("drive=" + location.driveLetter);
    } else if (mode == "prompt") {
      PromptForm form;
      CurrentDesktop().ShowPrompt(form);
      Line("esito=" + std::to_string(form.esito));
      Line("edit1=" + form.edit1);
      Line("edit2=" + form.edit2);
    } else {
      CurrentDesktop().ShowMessage(argv[2]);
      Line("closed");
    }
  } catch (const Exception& e) {
    Line(std::string(e.ClassName()) + ": " + e.Message());
    return 1;
  }
  return 0;
}
