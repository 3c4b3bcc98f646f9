#include "fenwix/client/verbs.hpp"

namespace fenwix {

Json header_name_args(std::string_view name) { return Json{{"name", std::string(name)}}; }

Json set_header_args(std::string_view name, std::string_view value) {
  return Json{{"name", std::string(name)}, {"value", std::string(value)}};
}

}  // namespace fenwix
