#include <signal.h>

#include <string>
#include <vector>

#include "app/Publication.h"
#include "app/Velmora.h"
#include "window/WindowDesktop.h"

int main(int argc, char** argv) {
  // A reader that goes away must not kill the run with SIGPIPE: the exit
  // code stays 0 and writes to the closed pipe simply fail.
  ::signal(SIGPIPE, SIG_IGN);
  // Message boxes and the server prompt go to a window when a display is
  // reachable; the display is opened only when something is shown.
  velmora::InstallWindowDesktop();
  std::vector<std::string> args(argv, argv + argc);
  return velmora::RunFrame(args, velmora::RunPublication);
}
