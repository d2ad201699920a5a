// What the fs. handlers share beyond their parameter records.
#pragma once

#include <string_view>

namespace vesk {

// "." and "..": names every directory holds that lead to itself and to its parent.
inline bool is_dot_or_dotdot(std::string_view name) {
    return name == "." || name == "..";
}

}  // namespace vesk
