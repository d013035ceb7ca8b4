// The failure family shared by the command-line tool and the plug-in. The type alone
// carries the meaning: no class holds data, and what() is the standard one.
#pragma once

#include <exception>

namespace Zarn {
namespace Support {

class generic_error : public std::exception {};

class internal_error : public generic_error {};
class external_error : public generic_error {};

class unsupported_error : public internal_error {};

class not_found_error : public external_error {};
class params_error : public external_error {};
class deny_error : public external_error {};
class busy_error : public external_error {};

}  // namespace Support
}  // namespace Zarn
