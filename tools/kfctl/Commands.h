// kfctl's subcommands. Each writes its report to out (an aligned table, or JSON with --json),
// a failure's reason to err, and returns the exit code.
#pragma once

#include <iosfwd>

#include "Cli.h"

namespace Kfctl {

struct Streams {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  bool json;
  bool terminal;  // standard error is a terminal: progress on one rewritten line
};

int runInit(const Arguments& args, const std::string& home, Streams io);
int runStatus(const Arguments& args, Streams io);
int runUpdate(const Arguments& args, Streams io);
int runCheck(const Arguments& args, Streams io);
int runScheduled(const Arguments& args, Streams io);
int runRollback(const Arguments& args, Streams io);
int runApply(const Arguments& args, Streams io);
int runEvents(const Arguments& args, Streams io);
int runSetting(const Arguments& args, Streams io);
int runEncrypt(const Arguments& args, Streams io);
int runTrust(const Arguments& args, Streams io);
int runService(const Arguments& args, Streams io);

}  // namespace Kfctl
