#include <signal.h>

#include <string>
#include <vector>

#include "app/Velmora.h"

int main(int argc, char** argv) {
  // A reader that goes away must not kill the run with SIGPIPE: the exit
  // code stays 0 and writes to the closed pipe simply fail.
  ::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv, argv + argc);
  return velmora::RunFrame(args, velmora::RunPublication);
}
