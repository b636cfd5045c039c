// The subcommands of the tarnlink tool. Each takes its own argv (argv[0] is
// the subcommand name) and returns the process exit code.
#ifndef TARNLINK_TOOLS_CLI_COMMANDS_H_
#define TARNLINK_TOOLS_CLI_COMMANDS_H_

namespace tarnlink::cli {

int RunDump(int argc, char** argv);
int RunSend(int argc, char** argv);
int RunPlay(int argc, char** argv);
int RunGen(int argc, char** argv);
int RunInfo(int argc, char** argv);
int RunAutoSend(int argc, char** argv);
int RunSim(int argc, char** argv);
int RunDemo(int argc, char** argv);
int RunStats(int argc, char** argv);
int RunServe(int argc, char** argv);
// The extcap program for Wireshark (the tool run as tarnlink-extcap).
int RunExtcap(int argc, char** argv);

}  // namespace tarnlink::cli

#endif  // TARNLINK_TOOLS_CLI_COMMANDS_H_
