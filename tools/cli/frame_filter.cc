#include "tools/cli/frame_filter.h"

namespace tarnlink::cli {
namespace {

bool ParseHexWord(std::string_view text, uint32_t* out) {
  uint64_t v = 0;
  if (!ParseHex(text, UINT32_MAX, &v)) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool ParseFilter(std::string_view item, FrameFilter* out, std::string* error) {
  const size_t sep = item.find_first_of(":~");
  FrameFilter f;
  if (sep == std::string_view::npos || !ParseHexWord(item.substr(0, sep), &f.id) ||
      !ParseHexWord(item.substr(sep + 1), &f.mask)) {
    *error = "'" + std::string(item) + "' is not a filter (id:mask or id~mask, in hex)";
    return false;
  }
  f.invert = item[sep] == '~';
  if (sep == 8) f.id |= VELA_ID_EFF_FLAG;
  f.mask &= ~VELA_ID_ERR_FLAG;
  *out = f;
  return true;
}

}  // namespace

bool ParseFilterList(std::string_view text, std::vector<FrameFilter>* out, std::string* error) {
  std::vector<FrameFilter> parsed;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    FrameFilter f;
    if (!ParseFilter(text.substr(start, comma - start), &f, error)) return false;
    parsed.push_back(f);
    start = comma + 1;
  }
  out->insert(out->end(), parsed.begin(), parsed.end());
  return true;
}

bool FiltersPass(const std::vector<FrameFilter>& filters, const Frame& frame) {
  if (filters.empty() || frame.error()) return true;
  for (const FrameFilter& f : filters) {
    const bool equal = (frame.id & f.mask) == (f.id & f.mask);
    if (equal != f.invert) return true;
  }
  return false;
}

}  // namespace tarnlink::cli
