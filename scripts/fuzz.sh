#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset) in build-fuzz/ and runs each one for
# the given number of seconds (default 30). Exits non-zero on any crash.
#   scripts/fuzz.sh [seconds]
set -euo pipefail

seconds="${1:-30}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${root}/build-fuzz"
targets=(fuzz_stream_parser fuzz_json_answers fuzz_on_receive fuzz_exports fuzz_capture fuzz_play_input fuzz_frame_text
  fuzz_extcap_args fuzz_socketcand fuzz_mqtt_payload fuzz_gateway_url)

# The fuzz preset: clang-14, every target instrumented (TARNLINK_SANITIZER=fuzzer).
(cd "${root}" && cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j2)

status=0
for target in "${targets[@]}"; do
  corpus="${build}/corpus/${target}"
  artifacts="${build}/artifacts/${target}"
  mkdir -p "${corpus}" "${artifacts}"
  args=(-max_total_time="${seconds}" -print_final_stats=1 -artifact_prefix="${artifacts}/")
  # Long enough for a maximum packet plus its neighbours.
  [[ "${target}" == fuzz_stream_parser ]] && args+=(-max_len=140000)
  # Several chunks of up to 4 KiB, with reads and answers between them.
  [[ "${target}" == fuzz_on_receive ]] && args+=(-max_len=20000)
  # Files of the tool's readers: room for a 64 KiB name or line, and no single
  # allocation past 16 MiB, which would be a length trusted before it was bounded.
  [[ "${target}" == fuzz_capture || "${target}" == fuzz_play_input ]] && args+=(-max_len=200000 -malloc_limit_mb=16)
  # A unit that runs this long is a hang: no input may wait on the network.
  [[ "${target}" == fuzz_on_receive || "${target}" == fuzz_exports ]] && args+=(-timeout=10)
  log="${build}/${target}.log"
  echo "== ${target}: ${seconds} s (log: ${log})"
  # New inputs go to the first corpus folder; the committed seeds are read only.
  if "${build}/fuzz/${target}" "${args[@]}" "${corpus}" "${root}/fuzz/corpus/${target}" >"${log}" 2>&1; then
    grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^#[0-9]+ +DONE' "${log}" || true
  else
    echo "!! ${target} failed; see ${log} and ${artifacts}/"
    tail -n 40 "${log}"
    status=1
  fi
done
exit "${status}"
