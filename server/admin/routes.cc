#include "server/admin/routes.h"

namespace halvex::server {

const Route* route_find(std::span<const Route> table, std::string_view path) {
  for (const Route& r : table) {
    if (r.prefix ? path.substr(0, r.path.size()) == r.path : path == r.path) return &r;
  }
  return nullptr;
}

bool route_changes_state(std::string_view method) {
  return method != "GET" && method != "HEAD" && method != "OPTIONS";
}

}  // namespace halvex::server
