// simcardctl: the far end of the software card from the command line.
//   simcardctl [-s unix:PATH|tcp:PORT] [-f SimCard.ini] COMMAND [ARGS...]
// Without -s the control endpoint is read from SimCard.ini (default: the one
// in the working directory). Prints the card's answer; exits 0 for "OK ...",
// 1 for "ERR ...", 2 when the card cannot be reached. HELP alone is answered
// here, with the answers of every command.
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/card/config.h"
#include "platform/card/control.h"
#include "platform/card/farend.h"
#include "platform/text.h"

namespace {

const char kUsage[] =
    "usage: simcardctl [-s unix:PATH|tcp:PORT] [-f SimCard.ini] COMMAND [ARGS...]\n"
    "  -s  the card's control endpoint; without it, the Control key of SimCard.ini\n"
    "  -f  the SimCard.ini to read it from (default: SimCard.ini in this folder)\n"
    "Prints the card's answer, one line: \"OK ...\" (exit 0) or \"ERR why\" (exit 1);\n"
    "exit 2 when the card cannot be reached. ch is a card line: trunk channels first,\n"
    "then the analog ports. Paths are relative to the program's folder and stay\n"
    "inside it: an absolute path or a \"..\" component is refused.\n";

// Works without a card or SimCard.ini, so it helps before anything runs.
void PrintHelp() {
  std::fputs(kUsage, stdout);
  std::puts("Commands (answer after \"->\"):");
  for (const auto& c : plat::SimCardFarEnd::Commands())
    std::printf("  %s%s%s\n      -> %s\n", c.name.c_str(), c.args.empty() ? "" : " ", c.args.c_str(),
                c.answer.c_str());
}

}  // namespace

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
    fprintf(stderr, "%s       simcardctl HELP   lists the commands and their answers\n", kUsage);
    return 2;
  }
  if (i + 1 == argc && strcasecmp(argv[i], "HELP") == 0) {
    PrintHelp();
    return 0;
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
  // File names in answers are the lines' GB bytes.
  plat::WriteTerminal(stdout, answer + "\n");
  if (answer.compare(0, 2, "OK") == 0) return 0;
  if (answer.compare(0, 23, "ERR cannot reach the ca") == 0) return 2;
  return 1;
}
