#include <string>
#include <vector>

#include "app/Velmora.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  return velmora::RunFrame(args, velmora::RunPublication);
}
