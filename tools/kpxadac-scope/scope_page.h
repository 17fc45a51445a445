// The page, built from web/scope/ at build time and compiled in.
#pragma once

#include <string_view>

namespace scope {
std::string_view scopePage();
}
