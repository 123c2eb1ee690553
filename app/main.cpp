#include <string>
#include <vector>

#include "app/Publication.h"
#include "app/Velmora.h"
#include "app/frame/ProgramFrame.h"
#include "window/WindowDesktop.h"

// The run: the frame of every program, then the run frame around the
// archive stage and the publication (app/Publication.cpp). The exit code
// stays 0 on every path; after a stop signal the process ends by it.
int main(int argc, char** argv) {
  return velmora::EseguiProgramma(argc, argv, [](const std::vector<std::string>& args) {
    // Message boxes and the server prompt go to a window when a display is
    // reachable; the display is opened only when something is shown.
    velmora::InstallWindowDesktop();
    return velmora::RunFrame(args, velmora::RunPublication);
  });
}
