// The driver as the tool sees it: one of the two libraries loaded privately
// (both export the same names), and a session that opens a device, starts
// its channels and tells an unreachable gateway from a working one.
#ifndef TARNLINK_TOOLS_CLI_DRIVER_H_
#define TARNLINK_TOOLS_CLI_DRIVER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tarnlink/tarnlink.h"
#include "tools/cli/options.h"
#include "tools/common/driver_api.h"

namespace tarnlink::cli {

class Driver : public DriverApi {
 public:
  explicit Driver(const std::string& path) : DriverApi(path) {}
  // The library PathFor names; nullptr, with one line on standard error, when
  // it does not load or is not a driver.
  static std::unique_ptr<Driver> Load(const ConnectOptions& options);
  // --lib, then TARNLINK_LIB, then (run from the build folder) the library
  // built with the tool, then one beside it, then the installed one by its
  // soname.
  static std::string PathFor(const ConnectOptions& options);
};

// Channels of a device type: tarnlink::ChannelsOfType of the model table.
using tarnlink::ChannelsOfType;

// An open device with started channels; closed again on destruction.
class Session {
 public:
  // Opens, applies the connection settings, starts `channels` (empty: all)
  // and makes sure a gateway is there: the TCP client connected, a gateway
  // connected to the server within --wait, a UDP gateway answered (only
  // with probe_udp: datagrams that need no answer need no gateway either).
  // On failure prints one line to stderr and returns nullptr.
  static std::unique_ptr<Session> Open(const Driver& driver, const ConnectOptions& options,
                                       std::vector<uint32_t> channels, bool probe_udp = true);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const Driver& driver() const { return driver_; }
  const ConnectOptions& options() const { return options_; }
  uint32_t type() const { return options_.device_type(); }
  uint32_t index() const { return options_.index; }
  uint32_t device() const { return device_; }
  uint32_t channel_count() const { return channel_count_; }
  const std::vector<uint32_t>& channels() const { return channels_; }
  uint32_t handle(uint32_t channel) const { return device_ | channel; }

  bool GetU32(uint32_t channel, uint32_t key, uint32_t* value) const;
  bool SetU32(uint32_t channel, uint32_t key, uint32_t value) const;

 private:
  Session(const Driver& driver, const ConnectOptions& options) : driver_(driver), options_(options) {}

  const Driver& driver_;
  ConnectOptions options_;
  uint32_t device_ = 0;
  uint32_t channel_count_ = 0;
  std::vector<uint32_t> channels_;
  std::vector<uint32_t> started_;
};

// Ctrl-C and SIGTERM set a flag that long-running subcommands poll.
void InstallStopSignals();
// Standard output is a pipe or socket whose reader has gone (`tarnlink dump |
// head` after head ended). Such a closed pipe is an ordinary end of output,
// for every command: exit 0 without a message, as a can-utils tool ends in a
// pipeline. Any other output that cannot be written is a failure.
bool StdoutReaderGone();
bool StopRequested();
void RequestStop();

}  // namespace tarnlink::cli

#endif  // TARNLINK_TOOLS_CLI_DRIVER_H_
