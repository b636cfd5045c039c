// The parts of a Gateway, each with its own state and lock: the link, the
// device model, the traffic generator and the recorder, around the context
// they share. Event injection (tools/sim/events.cc) sends through the link.
#ifndef TARNLINK_TOOLS_SIM_PARTS_H_
#define TARNLINK_TOOLS_SIM_PARTS_H_

#include "tools/sim/context.h"
#include "tools/sim/device_model.h"
#include "tools/sim/gateway.h"
#include "tools/sim/link.h"
#include "tools/sim/recorder.h"
#include "tools/sim/traffic.h"

namespace tarnlink::sim {

class Gateway::Impl {
 public:
  explicit Impl(GatewayConfig config)
      : ctx(std::move(config)),
        recorder(ctx),
        link(
            ctx,
            [this](int conn_id, const std::string& peer, const std::vector<uint8_t>& packet) {
              model.HandlePacket(conn_id, peer, packet);
            },
            [this] { recorder.Bump(); }),
        model(ctx, link, recorder),
        traffic(ctx, link, recorder) {}

  Context ctx;
  Recorder recorder;
  Link link;
  DeviceModel model;
  TrafficGenerator traffic;
};

}  // namespace tarnlink::sim

#endif  // TARNLINK_TOOLS_SIM_PARTS_H_
