// The subcommands of the tarnlink tool. Each takes its own argv (argv[0] is
// the subcommand name) and returns the process exit code.
//
// A new command is one row of TARNLINK_CLI_COMMANDS and one file, <name>.cc,
// defining its Run function: the declaration, the dispatch table and the
// usage text are made from the rows, and the build takes every file here.
#ifndef TARNLINK_TOOLS_CLI_COMMANDS_H_
#define TARNLINK_TOOLS_CLI_COMMANDS_H_

// X(name, function, one line of the usage), in the order the usage lists them.
#define TARNLINK_CLI_COMMANDS(X)                                                            \
  X(demo, RunDemo, "a ten-second session on the built-in simulator (or --host GATEWAY)")    \
  X(dump, RunDump, "print received frames (candump formats; -L for the log format)")        \
  X(send, RunSend, "send frames given in cansend syntax (123#DEADBEEF, 123##1AABB, 123#R)") \
  X(play, RunPlay, "send a candump -L log again, at its pace, like canplayer")              \
  X(gen, RunGen, "generate traffic like cangen, with a rate summary")                       \
  X(info, RunInfo, "device information, device queries, size/remain, connected gateways")   \
  X(autosend, RunAutoSend, "add, send, stop and list the gateway's timed transmissions")    \
  X(sim, RunSim, "run the gateway simulator for a driver to talk to")                       \
  X(stats, RunStats, "the driver's counters: traffic, loss, connections, requests")         \
  X(serve, RunServe, "share gateways: a socketcand server, and an MQTT bridge for fleets")

namespace tarnlink::cli {

#define TARNLINK_CLI_DECLARE(name, function, summary) int function(int argc, char** argv);
TARNLINK_CLI_COMMANDS(TARNLINK_CLI_DECLARE)
#undef TARNLINK_CLI_DECLARE

// The extcap program for Wireshark (the tool run as tarnlink-extcap).
int RunExtcap(int argc, char** argv);

}  // namespace tarnlink::cli

#endif  // TARNLINK_TOOLS_CLI_COMMANDS_H_
