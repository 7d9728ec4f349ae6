// simcardctl: the far end of the software card from the command line.
//   simcardctl [-s unix:PATH|tcp:PORT] [-f SimCard.ini] COMMAND [ARGS...]
// Without -s the control endpoint is read from SimCard.ini (default: the one
// in the working directory). Prints the card's answer; exits 0 for "OK ...",
// 1 for "ERR ...", 2 when the card cannot be reached.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/card/config.h"
#include "platform/card/control.h"

int main(int argc, char** argv) {
  std::string endpoint, ini = "SimCard.ini";
  int i = 1;
  for (; i < argc; i++) {
    if (strcmp(argv[i], "-s") == 0 && i + 1 < argc) {
      endpoint = argv[++i];
    } else if (strcmp(argv[i], "-f") == 0 && i + 1 < argc) {
      ini = argv[++i];
    } else {
      break;
    }
  }
  if (i >= argc) {
    fprintf(stderr, "usage: simcardctl [-s unix:PATH|tcp:PORT] [-f SimCard.ini] COMMAND [ARGS...]\n"
                    "       simcardctl HELP   lists the commands\n");
    return 2;
  }
  if (endpoint.empty()) {
    plat::card::CardConfig cfg;
    std::string err;
    if (!plat::card::ReadCardConfig(ini, &cfg, &err)) {
      printf("ERR %s\n", err.c_str());
      return 2;
    }
    if (cfg.control.empty()) {
      printf("ERR %s names no Control endpoint\n", ini.c_str());
      return 2;
    }
    endpoint = cfg.control;
  }
  std::string line;
  for (; i < argc; i++) {
    if (!line.empty()) line.push_back(' ');
    line += argv[i];
  }
  std::string answer = plat::SimCardCommand(endpoint, line);
  printf("%s\n", answer.c_str());
  if (answer.compare(0, 2, "OK") == 0) return 0;
  if (answer.compare(0, 23, "ERR cannot reach the ca") == 0) return 2;
  return 1;
}
