// The daemon's reply lines by exact form: which error reply a line is, if any.
#pragma once

#include <optional>
#include <string_view>

#include "marlox.h"

namespace marlox::lib {

// TEXT when line (without its line feed) is {"error":"TEXT"}, TEXT as the daemon inserted it,
// unescaped; nullopt for any other line.
std::optional<std::string_view> error_text(std::string_view line);

// The error reply TEXT stands for: one of version 1's, or MARLOX_ERROR_OTHER.
marlox_error error_kind(std::string_view text);

// The part of TEXT after "invalid field: " or "spawn: " for those errors; empty otherwise.
std::string_view error_detail(marlox_error kind, std::string_view text);

// The error a connect stream's first line stands for, or nullopt when it is output. Only a line
// that is byte for byte an error reply of version 1 counts: an error text a later daemon adds is
// output to this version, and so is every near miss.
std::optional<marlox_error> connect_error(std::string_view line);

}  // namespace marlox::lib
