#pragma once

#include <stdexcept>
#include <string>

namespace velmora {

// The application's one user-facing error. what() is the sentence shown to the learner, unchanged.
class VelmoraError : public std::runtime_error {
public:
    explicit VelmoraError(const std::string& message) : std::runtime_error(message) {}
};

// The text a handler reports for any caught exception: a VelmoraError's sentence, or the
// platform error's own description.
inline std::string errorDescription(const std::exception& error) { return error.what(); }

}  // namespace velmora
