// JSON output lines, encoded by nlohmann-json.
#include "ctl/json_output.h"

#include <nlohmann/json.hpp>

namespace marlox::ctl {

std::string json_line(std::string_view name, std::string_view text) {
    const nlohmann::json object = {{name, text}};
    // The daemon's lines are UTF-8 already; the replace handler makes dump() unable to throw.
    return object.dump(/*indent=*/-1, /*indent_char=*/' ', /*ensure_ascii=*/false,
                       nlohmann::json::error_handler_t::replace) +
           '\n';
}

}  // namespace marlox::ctl
